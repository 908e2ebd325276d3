// Metadata: the free-form "_meta" object that requests and results may carry, among others the
// progress token of a request under "progressToken".
//
// JSON: the object of its fields itself (no wrapper key); anything but an object fails decoding.
// Equality compares the fields; hashing does not depend on their order. A plain value.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>
#include <utility>

#include "MCP/JSON/Value.h"
#include "MCP/Messages/ProgressToken.h"

namespace mcp {

struct Metadata {
    Object fields;

    Metadata() = default;
    explicit Metadata(Object fields) : fields(std::move(fields)) {}
    // `fields` with the token stored under "progressToken".
    Metadata(ProgressToken token, Object fields);

    // The field under `key`, or nullptr.
    const Value* field(std::string_view key) const { return fields.find(key); }

    // A JSON string under "progressToken" gives a text token, a JSON integer an integer token;
    // anything else, or no such key, no token.
    std::optional<ProgressToken> progressToken() const;
    // Stores the token as a JSON string or integer; no token removes the key. Other fields stay.
    void setProgressToken(std::optional<ProgressToken> token);

    Value toValue() const { return Value(fields); }
    // Throws DecodingError.
    static Metadata fromValue(const Value& value);

    friend bool operator==(const Metadata& a, const Metadata& b) { return a.fields == b.fields; }
    std::size_t hash() const;
};

}  // namespace mcp

template <>
struct std::hash<mcp::Metadata> {
    std::size_t operator()(const mcp::Metadata& metadata) const { return metadata.hash(); }
};
