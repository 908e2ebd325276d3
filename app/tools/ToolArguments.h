// ToolArguments: the readers of a tool call's arguments. Each reader looks a key up in the
// "arguments" object and accepts only the JSON cases it names; every refusal is a ToolError
// whose message begins with the key:
//
//   string / optionalString        a string                   "<key> must be a string."
//   integer (default) / required   the integer case only      "<key> must be an integer."
//                                  (required, absent: "missing_argument" "<key> is required.")
//   number                         a double, or an integer    "<key> must be a number."
//   boolean                        true or false              "<key> must be a boolean."
//   uuid / optionalUUID            a string in the 8-4-4-4-12 form, either case
//                                  (not a string: as `string`; other text:
//                                  "<key> must be a folder or job UUID.")
//
// A key present with the value null is present: it fails the reader's type test. Only an
// absent key takes the default (or none). The reader codes are "invalid_argument" unless said
// otherwise.
//
// A view of the object it was given, which must outlive it. Use it on one thread.
#pragma once

#include <QUuid>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

#include "MCP/JSON/Value.h"

namespace fw {

// The identifier in `text` when it is exactly 8-4-4-4-12 hexadecimal digits (either case);
// nothing otherwise (no braces, no other form).
std::optional<QUuid> parseUUID(std::string_view text);

// The canonical text of an identifier: upper-case hexadecimal in 8-4-4-4-12 groups.
std::string uuidText(const QUuid& id);

class ToolArguments {
public:
    explicit ToolArguments(const mcp::Object& arguments) : arguments_(arguments) {}

    // "unknown_argument" "<key> is not a supported argument." for the first key (in the
    // object's order) that `allowed` does not hold.
    void rejectUnknown(std::initializer_list<std::string_view> allowed) const;

    // The value under `key`, or null when absent.
    const mcp::Value* find(std::string_view key) const { return arguments_.find(key); }

    std::string string(std::string_view key) const;
    std::optional<std::string> optionalString(std::string_view key) const;
    std::int64_t integer(std::string_view key, std::int64_t defaultValue) const;
    std::int64_t requiredInteger(std::string_view key) const;
    std::optional<double> number(std::string_view key) const;
    std::optional<bool> boolean(std::string_view key) const;
    QUuid uuid(std::string_view key) const;
    std::optional<QUuid> optionalUUID(std::string_view key) const;

private:
    const mcp::Object& arguments_;
};

}  // namespace fw
