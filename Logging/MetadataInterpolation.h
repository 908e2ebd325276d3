// Builds metadata values from literal text with values spliced in, optionally marking the result
// with attributes (see MetadataValueAttributes.h).
//
//     MetadataValue::StringInterpolation b(/*literalCapacity=*/9, /*interpolationCount=*/1);
//     b.appendLiteral("request ");
//     b.appendInterpolation(id, MetadataValueAttributes(Sensitivity{2}));
//     MetadataValue value = std::move(b);  // attributed: text "request 42" plus the attribute
//
// Without any attribute form the result is a plain string value; with one it is a
// string-convertible value whose payload is an AttributedStringCarrier. Handlers that know
// nothing of attributes see only the text.
//
// Plain values without locks; a builder is used once, on one thread.
#pragma once

#include <charconv>
#include <concepts>
#include <cstdint>
#include <ostream>
#include <sstream>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "Logging/MetadataValue.h"

namespace logging {

// An interpolated text with its attributes. Its text form is the text alone.
class AttributedStringCarrier final : public StringConvertible {
public:
    AttributedStringCarrier(std::string string, MetadataValueAttributes attributes)
        : string(std::move(string)), metadataAttributes(std::move(attributes)) {}

    std::string description() const override { return string; }

    std::string string;
    MetadataValueAttributes metadataAttributes;
};

namespace detail {
template <class T>
concept TextStreamable = requires(std::ostream& os, const T& value) {
    os << value;
};
template <class T>
concept DescribesItself = requires(const T& value) {
    { value.description() } -> std::convertible_to<std::string>;
};
}  // namespace detail

class MetadataValue::StringInterpolation {
public:
    // Reserves literalCapacity + 2 × interpolationCount bytes once; a sum that does not fit is a
    // programming error that stops the process.
    StringInterpolation(std::size_t literalCapacity, std::size_t interpolationCount);

    void appendLiteral(std::string_view text) { output_.append(text); }

    // Appends a value's text: strings as they are, numbers in their shortest form, values with
    // description() by it, anything else a std::ostream can print by that printout.
    template <class T>
    void appendInterpolation(const T& value) {
        appendText(value);
    }

    // Appends the value when present, else the text of `makeDefault()`, evaluated only then.
    template <class T, std::invocable Default>
    void appendInterpolation(const std::optional<T>& value, Default&& makeDefault) {
        if (value) {
            appendText(*value);
        } else {
            appendText(std::forward<Default>(makeDefault)());
        }
    }

    // Appends the value, then lets `update` edit the attribute set once. The result is attributed
    // even when `update` changes nothing.
    template <class T, std::invocable<MetadataValueAttributes&> Update>
    void appendInterpolation(const T& value, Update&& update) {
        appendText(value);
        std::forward<Update>(update)(attributes_);
        hasAttributes_ = true;
    }

    // Appends the value, then takes `attributes` as the set (first attribute form) or merges them
    // into it (later forms, the new values winning).
    template <class T>
    void appendInterpolation(const T& value, const MetadataValueAttributes& attributes) {
        appendText(value);
        if (hasAttributes_) {
            attributes_.merge(attributes);
        } else {
            attributes_ = attributes;
        }
        hasAttributes_ = true;
    }

    const std::string& output() const noexcept { return output_; }
    const MetadataValueAttributes& attributes() const noexcept { return attributes_; }
    bool hasAttributes() const noexcept { return hasAttributes_; }

private:
    friend class MetadataValue;

    template <class T>
    void appendText(const T& value) {
        if constexpr (std::is_convertible_v<const T&, std::string_view>) {
            output_.append(std::string_view(value));
        } else if constexpr (std::is_same_v<T, bool>) {
            output_.append(value ? "true" : "false");
        } else if constexpr (std::is_arithmetic_v<T>) {
            char buffer[64];
            const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
            output_.append(buffer, ec == std::errc{} ? end : buffer);
        } else if constexpr (std::is_base_of_v<StringConvertible, T> ||
                             detail::DescribesItself<T>) {
            output_.append(value.description());
        } else if constexpr (detail::TextStreamable<T>) {
            std::ostringstream stream;
            stream << value;
            output_.append(std::move(stream).str());
        } else {
            static_assert(detail::TextStreamable<T>, "no text form for this type");
        }
    }

    std::string output_;
    MetadataValueAttributes attributes_;
    bool hasAttributes_ = false;
};

}  // namespace logging
