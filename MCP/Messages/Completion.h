// Argument completion: the request "completion/complete" (Complete), by which a client asks the
// server for candidate values of one argument of a prompt or of a resource template.
//
//   CompletionReference   a Prompt::Reference ({"type": "ref/prompt", "name", "title"?}) or a
//                         ResourceReference ({"type": "ref/resource", "uri"}), told apart by
//                         "type"; any other type fails with "Unknown reference type: <type>"
//   Complete::Parameters  {"ref", "argument": {"name", "value"}, "context"?: {"arguments"}}
//   Complete::Result      {"completion": {"values", "total"?, "hasMore"?}, "_meta"?}
//
// A ResourceReference decoded on its own requires "type" to be exactly "ref/resource" ("Expected
// ref/resource type"). Nothing here bounds the candidates or checks them against the total.
//
// Plain values: copy them freely and use them from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <variant>
#include <vector>

#include "MCP/JSON/Record.h"
#include "MCP/JSON/RecordHooks.h"
#include "MCP/Messages/Metadata.h"
#include "MCP/Messages/Method.h"
#include "MCP/Messages/Prompts.h"

namespace mcp {

struct ResourceReference {
    static constexpr std::string_view kType = "ref/resource";

    std::string uri{};

    static constexpr auto codingFields() {
        return std::tuple{field("uri", &ResourceReference::uri)};
    }
    static void finishEncoding(const ResourceReference&, std::vector<Object::Entry>& entries) {
        entries.emplace_back("type", Value(std::string(kType)));
    }
    static void checkDecoding(const Object& object);
};

// What a completion request completes an argument of: a prompt (case 0) or a resource (case 1).
class CompletionReference {
public:
    CompletionReference() = default;
    CompletionReference(PromptReference prompt) : storage_(std::move(prompt)) {}
    CompletionReference(ResourceReference resource) : storage_(std::move(resource)) {}

    const PromptReference* prompt() const noexcept { return std::get_if<0>(&storage_); }
    const ResourceReference* resource() const noexcept { return std::get_if<1>(&storage_); }
    std::size_t index() const noexcept { return storage_.index(); }

    Value toValue() const;
    // Throws DecodingError.
    static CompletionReference fromValue(const Value& value);

    friend bool operator==(const CompletionReference& a, const CompletionReference& b);
    // The case number, then the payload's fields.
    std::size_t hash() const;

private:
    std::variant<PromptReference, ResourceReference> storage_;
};

// The records inside Complete's parameters and result, defined ahead of it rather than nested in
// it: clang cannot tell a nested type with default member initializers default-constructible
// before the enclosing type is complete, and then finds no coding for it. Complete names each one
// where it is used (Complete::Parameters::Argument and ::Context, Complete::Result::Completion).
namespace Completion {

struct Argument {
    std::string name{};
    std::string value{};

    static constexpr auto codingFields() {
        return std::tuple{field("name", &Argument::name), field("value", &Argument::value)};
    }
};

struct Context {
    std::map<std::string, std::string> arguments{};

    static constexpr auto codingFields() {
        return std::tuple{field("arguments", &Context::arguments)};
    }
};

// The candidates a server offers.
struct Values {
    std::vector<std::string> values{};
    std::optional<std::int64_t> total{};
    std::optional<bool> hasMore{};

    static constexpr auto codingFields() {
        return std::tuple{field("values", &Values::values),
                          optionalField("total", &Values::total),
                          optionalField("hasMore", &Values::hasMore)};
    }
};

}  // namespace Completion

struct Complete {
    struct Parameters {
        using Argument = Completion::Argument;
        using Context = Completion::Context;

        CompletionReference ref{};
        Argument argument{};
        std::optional<Context> context{};

        static constexpr auto codingFields() {
            return std::tuple{field("ref", &Parameters::ref),
                              field("argument", &Parameters::argument),
                              optionalField("context", &Parameters::context)};
        }
    };

    struct Result {
        using Completion = mcp::Completion::Values;

        Completion completion{};
        std::optional<Metadata> _meta{};

        static constexpr auto codingFields() {
            return std::tuple{field("completion", &Result::completion),
                              optionalField("_meta", &Result::_meta)};
        }
    };

    static constexpr std::string_view name = "completion/complete";
};

}  // namespace mcp

template <>
struct std::hash<mcp::CompletionReference> {
    std::size_t operator()(const mcp::CompletionReference& ref) const { return ref.hash(); }
};
