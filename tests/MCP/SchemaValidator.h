// A JSON Schema (draft 2020-12) validator for the tests, over the library's own JSON values: it
// checks messages against the protocol's published schema (tests/MCP/data). It knows the part of
// the vocabulary that schema uses: "$ref" to a local "#/$defs/..." definition, "type", "const",
// "enum", "properties", "required", "additionalProperties", "items", "minItems", "maxItems",
// "minimum", "maximum", "minLength", "maxLength", "anyOf", "oneOf" and "allOf". Annotations
// ("description", "title", "default", "format", ...) are not checked; any other keyword is
// reported as a problem, so that a schema it does not understand never passes unread.
//
//   SchemaValidator schema = SchemaValidator::fromFile(FW_MCP_SCHEMA_FILE);
//   EXPECT_EQ(schema.problems(parseJson(body), "JSONRPCErrorResponse"), {});
//
// Immutable after construction.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "MCP/JSON/Value.h"

namespace mcp::testing {

class SchemaValidator {
public:
    explicit SchemaValidator(Value document);
    // Throws std::runtime_error when the file cannot be read or is no JSON.
    static SchemaValidator fromFile(const std::filesystem::path& path);

    // What keeps `instance` from being valid against the definition `name` (under "$defs"), one
    // sentence each with the path where it was found; empty when it is valid.
    std::vector<std::string> problems(const Value& instance, std::string_view name) const;

private:
    void check(const Value& instance, const Value& schema, const std::string& at,
               std::vector<std::string>& problems) const;
    const Value* definition(std::string_view reference) const;

    Value document_;
};

}  // namespace mcp::testing
