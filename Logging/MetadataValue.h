// Structured metadata of log entries: `Metadata` maps keys to `MetadataValue`s, and a value is a
// string, something that renders itself as text, a nested dictionary or a list.
//
// Plain values: copies may be used on different threads; one value must not be changed from two
// threads at once. A string-convertible payload is shared between copies and is asked for its text
// on whatever thread renders it, so it must be safe to read from any thread.
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "Logging/MetadataValueAttributes.h"

namespace logging {

// A payload that renders itself as text, asked each time the text is needed.
class StringConvertible {
public:
    virtual ~StringConvertible() = default;
    virtual std::string description() const = 0;
};

class MetadataValue;

// Keys are kept in byte order, so rendering needs no sort. std::less<> allows look-ups by
// string_view.
using Metadata = std::map<std::string, MetadataValue, std::less<>>;

class MetadataValue {
public:
    using Array = std::vector<MetadataValue>;

    // The four cases, in this order.
    enum class Kind { string, stringConvertible, dictionary, array };

    MetadataValue() = default;                                      // the empty string
    MetadataValue(const char* text) : value_(std::string(text)) {}  // NOLINT: literals
    MetadataValue(std::nullptr_t) = delete;
    MetadataValue(std::string text) : value_(std::move(text)) {}           // NOLINT
    MetadataValue(std::string_view text) : value_(std::string(text)) {}    // NOLINT
    MetadataValue(std::shared_ptr<const StringConvertible> payload);       // NOLINT; null = ""
    MetadataValue(Metadata dictionary) : value_(std::move(dictionary)) {}  // NOLINT
    MetadataValue(Array array) : value_(std::move(array)) {}               // NOLINT

    // Dictionary from pairs; a repeated key is a programming error that stops the process.
    static MetadataValue dictionary(std::initializer_list<std::pair<std::string, MetadataValue>>);
    static MetadataValue array(std::initializer_list<MetadataValue> elements);

    // A string-convertible value holding `payload`'s text at this moment and `attributes`.
    static MetadataValue describing(const StringConvertible& payload,
                                    MetadataValueAttributes attributes);

    Kind kind() const noexcept { return static_cast<Kind>(value_.index()); }
    // Null unless the value is of that kind.
    const std::string* asString() const noexcept { return std::get_if<std::string>(&value_); }
    const StringConvertible* asStringConvertible() const noexcept;
    const Metadata* asDictionary() const noexcept { return std::get_if<Metadata>(&value_); }
    const Array* asArray() const noexcept { return std::get_if<Array>(&value_); }

    // The text form: the string itself, the payload's text, or the bracketed rendering of a
    // dictionary or list whose members are written as quoted string literals.
    std::string description() const;

    // The attributes of an attributed string; empty for every other value.
    MetadataValueAttributes attributes() const;
    // Turns a string or string-convertible value into an attributed string holding its current
    // text; dictionaries and lists are left unchanged.
    void setAttributes(MetadataValueAttributes attributes);

    // Same case, and: equal strings; equal texts for string-convertible values (payload types and
    // attributes do not matter); same keys with equal values; equal elements in order.
    friend bool operator==(const MetadataValue& a, const MetadataValue& b);

    class StringInterpolation;
    MetadataValue(StringInterpolation&& interpolation);  // NOLINT: the interpolation's result

private:
    std::variant<std::string, std::shared_ptr<const StringConvertible>, Metadata, Array> value_;
};

// The text between double quotes with backslash escapes for backslash, quotes, tab, line feed,
// carriage return and NUL, and \u{hex} for any other control character.
std::string quotedStringLiteral(std::string_view text);

}  // namespace logging
