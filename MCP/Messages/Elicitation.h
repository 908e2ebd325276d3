// Elicitation: a server asks the client, and through it the user, for information, either with a
// form described by a JSON-object schema ("form" mode) or with a URL to open ("url" mode). The
// request is "elicitation/create" (CreateElicitation); when a URL-mode elicitation finishes, the
// notification "notifications/elicitation/complete" names it.
//
//   Elicitation::RequestSchema {"title"?, "description"?, "properties", "required"?, "type":
//   "object"} form parameters            {"message", "mode"?, "requestedSchema", "_meta"?} url
//   parameters             {"message", "mode": "url", "url", "elicitationId", "_meta"?}
//   CreateElicitation::Result  {"action": "accept" | "decline" | "cancel", "content"?, "_meta"?}
//
// The parameters choose their mode by "mode": "url" reads the URL members; a missing, null or
// "form" mode reads the form members (and keeps the mode as read, so an absent mode stays absent);
// any other mode fails. Members of the other mode are ignored. The property schemas are free JSON
// values; nothing here interprets them.
//
// Plain values: copy them freely and use them from any thread.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <variant>
#include <vector>

#include "MCP/JSON/Coding.h"
#include "MCP/JSON/ObjectCoding.h"
#include "MCP/JSON/Record.h"
#include "MCP/JSON/Value.h"
#include "MCP/Messages/Metadata.h"
#include "MCP/Messages/Method.h"

namespace mcp {

namespace Elicitation {

enum class Mode { form, url };
constexpr auto rawValues(Mode) {
    return RawValues<Mode, 2>{"Mode", {{{Mode::form, "form"}, {Mode::url, "url"}}}};
}

// The schema of a requested form: a JSON object schema whose properties are free JSON values.
struct RequestSchema {
    enum class SchemaType { object };
    friend constexpr auto rawValues(SchemaType) {
        return RawValues<SchemaType, 1>{"SchemaType", {{{SchemaType::object, "object"}}}};
    }

    std::optional<std::string> title{};
    std::optional<std::string> description{};
    Object properties{};
    std::optional<std::vector<std::string>> required{};
    SchemaType type = SchemaType::object;

    static constexpr auto codingFields() {
        return std::tuple{optionalField("title", &RequestSchema::title),
                          optionalField("description", &RequestSchema::description),
                          field("properties", &RequestSchema::properties),
                          optionalField("required", &RequestSchema::required),
                          field("type", &RequestSchema::type)};
    }
};

}  // namespace Elicitation

// The form-mode parameters of "elicitation/create" (also CreateElicitation::FormParameters).
struct ElicitationFormParameters {
    std::string message{};
    std::optional<Elicitation::Mode> mode{};
    Elicitation::RequestSchema requestedSchema{};
    std::optional<Metadata> _meta{};

    static constexpr auto codingFields() {
        return std::tuple{field("message", &ElicitationFormParameters::message),
                          optionalField("mode", &ElicitationFormParameters::mode),
                          field("requestedSchema", &ElicitationFormParameters::requestedSchema),
                          optionalField("_meta", &ElicitationFormParameters::_meta)};
    }
};

// The URL-mode parameters (also CreateElicitation::URLParameters); built with the mode "url".
struct ElicitationURLParameters {
    std::string message{};
    Elicitation::Mode mode = Elicitation::Mode::url;
    std::string url{};
    std::string elicitationId{};
    std::optional<Metadata> _meta{};

    static ElicitationURLParameters make(std::string message, std::string url,
                                         std::string elicitationId,
                                         std::optional<Metadata> meta = std::nullopt) {
        return {std::move(message), Elicitation::Mode::url, std::move(url),
                std::move(elicitationId), std::move(meta)};
    }

    static constexpr auto codingFields() {
        return std::tuple{field("message", &ElicitationURLParameters::message),
                          field("mode", &ElicitationURLParameters::mode),
                          field("url", &ElicitationURLParameters::url),
                          field("elicitationId", &ElicitationURLParameters::elicitationId),
                          optionalField("_meta", &ElicitationURLParameters::_meta)};
    }
};

// A form (case 0) or a URL (case 1) elicitation.
class ElicitationParameters {
public:
    using FormParameters = ElicitationFormParameters;
    using URLParameters = ElicitationURLParameters;

    ElicitationParameters() = default;
    ElicitationParameters(ElicitationFormParameters form) : storage_(std::move(form)) {}
    ElicitationParameters(ElicitationURLParameters url) : storage_(std::move(url)) {}

    const ElicitationFormParameters* form() const noexcept { return std::get_if<0>(&storage_); }
    const ElicitationURLParameters* url() const noexcept { return std::get_if<1>(&storage_); }
    std::size_t index() const noexcept { return storage_.index(); }

    Value toValue() const;
    // Throws DecodingError.
    static ElicitationParameters fromValue(const Value& value);

    friend bool operator==(const ElicitationParameters& a, const ElicitationParameters& b);
    // The case number, then the payload's fields.
    std::size_t hash() const;

private:
    std::variant<ElicitationFormParameters, ElicitationURLParameters> storage_;
};

struct CreateElicitation {
    using Parameters = ElicitationParameters;
    using FormParameters = ElicitationFormParameters;
    using URLParameters = ElicitationURLParameters;

    struct Result {
        enum class Action { accept, decline, cancel };
        friend constexpr auto rawValues(Action) {
            return RawValues<Action, 3>{"Action",
                                        {{{Action::accept, "accept"},
                                          {Action::decline, "decline"},
                                          {Action::cancel, "cancel"}}}};
        }

        Action action{};
        std::optional<Object> content{};
        std::optional<Metadata> _meta{};

        static constexpr auto codingFields() {
            return std::tuple{field("action", &Result::action),
                              optionalField("content", &Result::content),
                              optionalField("_meta", &Result::_meta)};
        }
    };

    static constexpr std::string_view name = "elicitation/create";
};

struct ElicitationCompleteNotification : Fieldless {
    struct Parameters {
        std::string elicitationId{};

        static constexpr auto codingFields() {
            return std::tuple{field("elicitationId", &Parameters::elicitationId)};
        }
    };

    static constexpr std::string_view name = "notifications/elicitation/complete";
};

}  // namespace mcp

template <>
struct std::hash<mcp::ElicitationParameters> {
    std::size_t operator()(const mcp::ElicitationParameters& parameters) const {
        return parameters.hash();
    }
};
