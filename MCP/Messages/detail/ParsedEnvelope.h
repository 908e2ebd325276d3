// The members of a JSON-RPC envelope read in place from the parse (MCP/JsonElement.h), for the
// receive paths that take the usual messages without building their Value first. Internal to the
// MCP library.
//
// Stateless: safe from any thread (the elements belong to the visiting thread).
#pragma once

#include <optional>

#include "MCP/JSON/JsonElement.h"
#include "MCP/Messages/ID.h"

namespace mcp::detail {

// The last member of each name, as the parsed Value keeps them; all absent for a non-object.
struct ParsedEnvelope {
    explicit ParsedEnvelope(const JsonElement& message) noexcept;

    // Whether "jsonrpc" is the text "2.0".
    bool hasVersion() const noexcept;

    std::optional<JsonElement> version;
    std::optional<JsonElement> id;
    std::optional<JsonElement> method;
    std::optional<JsonElement> params;
    std::optional<JsonElement> result;
    std::optional<JsonElement> error;
};

// The ID a text or an integer reads as (as ID's own decoding reads them); absent for every other
// kind, which the Value road decides on.
std::optional<ID> plainID(const JsonElement& id);

}  // namespace mcp::detail
