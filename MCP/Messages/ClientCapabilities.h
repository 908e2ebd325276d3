// ClientCapabilities (Client::Capabilities): what a client announces in its "initialize" request.
// Each member is optional and written only when present, so the all-absent value is {}.
//
// JSON: {"sampling"?: {"tools"?, "context"?}, "elicitation"?: {"form"?, "url"?},
// "experimental"?: {any}, "roots"?: {"listChanged"?}}. The markers inside "sampling" and
// "elicitation" are present for any JSON value but null. "sampling" that is not an object reads as
// sampling without sub-features; "elicitation" that is not an object, or an object naming neither
// mode, reads as form-mode support. "roots" must be an object. Other keys are ignored and not
// kept. A plain value.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <tuple>

#include "MCP/JSON/Coding.h"
#include "MCP/JSON/Record.h"
#include "MCP/JSON/Value.h"

namespace mcp {

struct ClientCapabilities {
    // Members of the nested types have no default member initializers: clang cannot tell such a
    // type default-constructible before the enclosing type is complete.
    struct Sampling {
        struct Tools : Fieldless {};
        struct Context : Fieldless {};
        std::optional<Tools> tools;
        std::optional<Context> context;
        static constexpr auto codingFields() {
            return std::tuple{optionalField("tools", &Sampling::tools),
                              optionalField("context", &Sampling::context)};
        }
    };
    struct Elicitation {
        struct Form : Fieldless {};
        struct URL : Fieldless {};
        std::optional<Form> form;
        std::optional<URL> url;
        static constexpr auto codingFields() {
            return std::tuple{optionalField("form", &Elicitation::form),
                              optionalField("url", &Elicitation::url)};
        }
    };
    struct Roots {
        std::optional<bool> listChanged;
        static constexpr auto codingFields() {
            return std::tuple{optionalField("listChanged", &Roots::listChanged)};
        }
    };

    std::optional<Sampling> sampling{};
    std::optional<Elicitation> elicitation{};
    std::optional<std::map<std::string, Value>> experimental{};
    std::optional<Roots> roots{};

    static constexpr auto codingFields() {
        return std::tuple{optionalField("sampling", &ClientCapabilities::sampling),
                          optionalField("elicitation", &ClientCapabilities::elicitation),
                          optionalField("experimental", &ClientCapabilities::experimental),
                          optionalField("roots", &ClientCapabilities::roots)};
    }
};

template <>
struct Coder<ClientCapabilities::Sampling> {
    using T = ClientCapabilities::Sampling;
    static Value encode(const T& value) { return encodeRecord(value); }
    static T decode(const Value& value) {
        return value.objectValue() != nullptr ? decodeRecord<T>(value) : T{};
    }
    static bool equals(const T& a, const T& b) { return recordEquals(a, b); }
    static void hash(Hasher& hasher, const T& value) { hashRecord(hasher, value); }
};

template <>
struct Coder<ClientCapabilities::Elicitation> {
    using T = ClientCapabilities::Elicitation;
    static Value encode(const T& value) { return encodeRecord(value); }
    static T decode(const Value& value) {
        T elicitation;
        if (value.objectValue() != nullptr) {
            elicitation = decodeRecord<T>(value);
        }
        if (!elicitation.form && !elicitation.url) {
            elicitation.form = T::Form{};
        }
        return elicitation;
    }
    static bool equals(const T& a, const T& b) { return recordEquals(a, b); }
    static void hash(Hasher& hasher, const T& value) { hashRecord(hasher, value); }
};

}  // namespace mcp
