// Coding: how one C++ type is converted to and from a Value, compared and hashed.
//
// `Coder<T>` is the one customisation point. It is provided here for bool, integers, double,
// std::string, Value, std::optional, std::vector, std::map<std::string, T> and enumerations with
// raw text values (see `RawValues` below); MCP/Record.h provides it for record types with a field
// table; any other type gets it by offering
//
//   Value toValue() const;                 // encoding
//   static T fromValue(const Value&);      // decoding, throws DecodingError
//   bool operator==(const T&) const;       // equality
//   std::size_t hash() const;              // hashing (equal values hash alike)
//
// Decoders throw DecodingError whose coding path is relative to the value they were handed;
// containers and records prepend their key or index while the error travels outwards, so the
// caller sees the full path ("params.arguments[0]").
//
// Text members compare by Unicode canonical equivalence and hash accordingly (textEquals,
// textHash of MCP/Value.h); doubles compare by IEEE rules with 0.0 and -0.0 hashing alike.
//
// Free functions and stateless traits: safe from any thread.
#pragma once

#include <array>
#include <cmath>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "MCP/JSON/DecodingError.h"
#include "MCP/JSON/Hasher.h"
#include "MCP/JSON/Value.h"

namespace mcp {

template <class T>
struct Coder;

// A type that Coder<T> can encode, decode, compare and hash.
template <class T>
concept Codable = requires(const T& t, const Value& v, Hasher& h) {
    { Coder<T>::encode(t) } -> std::same_as<Value>;
    { Coder<T>::decode(v) } -> std::same_as<T>;
    { Coder<T>::equals(t, t) } -> std::same_as<bool>;
    Coder<T>::hash(h, t);
};

// The entry points. decodeValue throws DecodingError.
template <Codable T>
Value encodeValue(const T& value) {
    return Coder<T>::encode(value);
}
template <Codable T>
requires(!std::is_lvalue_reference_v<T>) Value encodeValue(T&& value) {
    if constexpr (requires { Coder<T>::encode(std::move(value)); }) {
        return Coder<T>::encode(std::move(value));
    } else {
        return Coder<T>::encode(value);
    }
}
template <Codable T>
T decodeValue(const Value& value) {
    return Coder<T>::decode(value);
}
// Moves what it can (nested Values, arrays, objects) out of `value`.
template <Codable T>
T decodeValue(Value&& value) {
    if constexpr (requires { Coder<T>::decode(std::move(value)); }) {
        return Coder<T>::decode(std::move(value));
    } else {
        return Coder<T>::decode(static_cast<const Value&>(value));
    }
}
template <Codable T>
bool codingEquals(const T& a, const T& b) {
    return Coder<T>::equals(a, b);
}
template <Codable T>
void hashInto(Hasher& hasher, const T& value) {
    Coder<T>::hash(hasher, value);
}
template <Codable T>
std::size_t codingHash(const T& value) {
    Hasher hasher;
    Coder<T>::hash(hasher, value);
    return hasher.finish();
}

// Runs `decode()`; a DecodingError escaping it gets the member `key` (or the array position
// `index`) put in front of its path. The key is only made when decoding fails.
template <class F>
decltype(auto) decodingAt(std::string_view key, F&& decode) {
    try {
        return std::forward<F>(decode)();
    } catch (DecodingError& error) {
        throw std::move(error).prepending(CodingKey::key(std::string(key)));
    }
}
template <class F>
decltype(auto) decodingAt(std::size_t index, F&& decode) {
    try {
        return std::forward<F>(decode)();
    } catch (DecodingError& error) {
        throw std::move(error).prepending(CodingKey::at(index));
    }
}

// The standard failure for a value of the wrong JSON kind: valueNotFound for null, otherwise
// typeMismatch. `expected` is a noun such as "a string".
[[noreturn]] inline void throwWrongKind(const Value& value, std::string_view expected) {
    if (value.isNull()) {
        throw DecodingError::valueNotFound({}, expected);
    }
    throw DecodingError::typeMismatch({}, expected, value.typeDescription());
}

// The text member `key` of an object (a "method", a case tag): keyNotFound when it is missing,
// the text decoder's error with `key` in the path when it is no text.
std::string requiredText(const Object& object, std::string_view key);

// ---------------------------------------------------------------------------------------------
// Enumerations with raw text values. A type opts in with a function found by argument-dependent
// lookup (a hidden friend when the enum is nested in a class):
//
//   enum class Theme { light, dark };
//   friend constexpr auto rawValues(Theme) {
//       return mcp::RawValues<Theme, 2>{"Theme", {{{Theme::light, "light"}, {Theme::dark,
//       "dark"}}}};
//   }
//
// A text names a case only when it equals the raw value exactly; any other text fails decoding
// with dataCorrupted "Cannot initialize Theme from invalid String value purple".

template <class E, std::size_t N>
struct RawValues {
    std::string_view typeName;
    std::array<std::pair<E, std::string_view>, N> cases;
};

template <class E>
concept RawValueEnum = std::is_enum_v<E> && requires(E e) {
    rawValues(e);
};

template <RawValueEnum E>
constexpr std::string_view rawValue(E value) {
    for (const auto& [item, text] : rawValues(E{}).cases) {
        if (item == value) {
            return text;
        }
    }
    return {};
}

template <RawValueEnum E>
constexpr std::optional<E> fromRawValue(std::string_view text) {
    for (const auto& [item, raw] : rawValues(E{}).cases) {
        if (raw == text) {
            return item;
        }
    }
    return std::nullopt;
}

template <RawValueEnum E>
struct Coder<E> {
    // The library's own form for this kind of type, which the typed writer (MCP/TypedJson.h)
    // writes without building a Value first.
    static constexpr bool kStandardForm = true;
    static Value encode(E value) { return Value(std::string(rawValue(value))); }
    static E decode(const Value& value) {
        const std::string* text = value.stringValue();
        if (text == nullptr) {
            throwWrongKind(value, "a string");
        }
        if (auto item = fromRawValue<E>(*text)) {
            return *item;
        }
        throw DecodingError::dataCorrupted({}, "Cannot initialize " +
                                                   std::string(rawValues(E{}).typeName) +
                                                   " from invalid String value " + *text);
    }
    static bool equals(E a, E b) { return a == b; }
    static void hash(Hasher& hasher, E value) { hasher.combineText(rawValue(value)); }
};

// ---------------------------------------------------------------------------------------------
// Scalars.

template <>
struct Coder<bool> {
    // The library's own form for this kind of type, which the typed writer (MCP/TypedJson.h)
    // writes without building a Value first.
    static constexpr bool kStandardForm = true;
    static Value encode(bool value) { return Value(value); }
    static bool decode(const Value& value) {
        if (auto b = value.boolValue()) {
            return *b;
        }
        throwWrongKind(value, "a boolean");
    }
    static bool equals(bool a, bool b) { return a == b; }
    static void hash(Hasher& hasher, bool value) { hasher.combine(value); }
};

// Integers read JSON integers, and numbers with an integral value that fits the type.
template <class I>
requires(std::is_integral_v<I> && !std::is_same_v<I, bool> && std::is_signed_v<I>) struct Coder<I> {
    // The library's own form for this kind of type, which the typed writer (MCP/TypedJson.h)
    // writes without building a Value first.
    static constexpr bool kStandardForm = true;
    static Value encode(I value) { return Value(static_cast<std::int64_t>(value)); }
    static I decode(const Value& value) {
        if (auto i = value.intValue()) {
            if (*i < std::numeric_limits<I>::min() || *i > std::numeric_limits<I>::max()) {
                throw DecodingError::dataCorrupted(
                    {},
                    "Number " + std::to_string(*i) + " does not fit the integer expected here.");
            }
            return static_cast<I>(*i);
        }
        if (auto d = value.doubleValue()) {
            // [-2^63, 2^63) holds exactly the doubles that convert to a signed 64-bit integer.
            if (*d >= -0x1p63 && *d < 0x1p63 && std::trunc(*d) == *d) {
                return decode(Value(static_cast<std::int64_t>(*d)));
            }
            throw DecodingError::dataCorrupted(
                {}, "Number " + formatDouble(*d) + " is not an integer that fits here.");
        }
        throwWrongKind(value, "an integer");
    }
    static bool equals(I a, I b) { return a == b; }
    static void hash(Hasher& hasher, I value) { hasher.combine(static_cast<std::int64_t>(value)); }
};

template <>
struct Coder<double> {
    static Value encode(double value) { return Value(value); }
    static double decode(const Value& value) {
        if (auto d = value.doubleValue()) {
            return *d;
        }
        if (auto i = value.intValue()) {
            return static_cast<double>(*i);
        }
        throwWrongKind(value, "a number");
    }
    static bool equals(double a, double b) { return a == b; }
    static void hash(Hasher& hasher, double value) { hasher.combineDouble(value); }
};

// Text reads a JSON string, and the data case as the data-URL text it is written as. Encoding
// gives what a JSON string with that text decodes as (Value::fromJsonString), so converting a
// typed value straight to a Value equals writing it out and reading it back.
template <>
struct Coder<std::string> {
    // The library's own form for this kind of type, which the typed writer (MCP/TypedJson.h)
    // writes without building a Value first.
    static constexpr bool kStandardForm = true;
    static Value encode(const std::string& text) { return Value::fromJsonString(text); }
    static Value encode(std::string&& text) { return Value::fromJsonString(std::move(text)); }
    static std::string decode(const Value& value) {
        if (const std::string* text = value.stringValue()) {
            return *text;
        }
        if (auto text = value.jsonString()) {
            return std::move(*text);
        }
        throwWrongKind(value, "a string");
    }
    // The text moves out of a Value that is being taken apart.
    static std::string decode(Value&& value) {
        if (std::string* text = value.stringValue()) {
            return std::move(*text);
        }
        return decode(static_cast<const Value&>(value));
    }
    static bool equals(const std::string& a, const std::string& b) { return textEquals(a, b); }
    static void hash(Hasher& hasher, const std::string& text) { hasher.combineText(text); }
};

template <>
struct Coder<Value> {
    // The library's own form for this kind of type, which the typed writer (MCP/TypedJson.h)
    // writes without building a Value first.
    static constexpr bool kStandardForm = true;
    static Value encode(const Value& value) { return value; }
    static Value encode(Value&& value) { return std::move(value); }
    static Value decode(const Value& value) { return value; }
    static Value decode(Value&& value) { return std::move(value); }
    static bool equals(const Value& a, const Value& b) { return a == b; }
    static void hash(Hasher& hasher, const Value& value) { hasher.combineValue(value); }
};

// ---------------------------------------------------------------------------------------------
// Containers.

// Absent is JSON null both ways. (Record fields use their own presence rules, MCP/Record.h.)
template <Codable T>
struct Coder<std::optional<T>> {
    // The library's own form for this kind of type, which the typed writer (MCP/TypedJson.h)
    // writes without building a Value first.
    static constexpr bool kStandardForm = true;
    static Value encode(const std::optional<T>& value) {
        return value ? encodeValue(*value) : Value();
    }
    static Value encode(std::optional<T>&& value) {
        return value ? encodeValue(std::move(*value)) : Value();
    }
    static std::optional<T> decode(const Value& value) {
        if (value.isNull()) {
            return std::nullopt;
        }
        return decodeValue<T>(value);
    }
    static std::optional<T> decode(Value&& value) {
        if (value.isNull()) {
            return std::nullopt;
        }
        return decodeValue<T>(std::move(value));
    }
    static bool equals(const std::optional<T>& a, const std::optional<T>& b) {
        return a.has_value() == b.has_value() && (!a || codingEquals(*a, *b));
    }
    // A presence marker, then the value when present.
    static void hash(Hasher& hasher, const std::optional<T>& value) {
        hasher.combine(value.has_value());
        if (value) {
            hashInto(hasher, *value);
        }
    }
};

// A JSON array; one bad element fails the whole list, its index in the path.
template <Codable T>
struct Coder<std::vector<T>> {
    // The library's own form for this kind of type, which the typed writer (MCP/TypedJson.h)
    // writes without building a Value first.
    static constexpr bool kStandardForm = true;
    static Value encode(const std::vector<T>& list) {
        Array array;
        array.reserve(list.size());
        for (const auto& element : list) {
            array.push_back(encodeValue(element));
        }
        return Value(std::move(array));
    }
    static Value encode(std::vector<T>&& list) {
        Array array;
        array.reserve(list.size());
        for (auto& element : list) {
            array.push_back(encodeValue(std::move(element)));
        }
        return Value(std::move(array));
    }
    template <class V>
    static std::vector<T> decodeArray(V&& value) {
        auto* array = value.arrayValue();
        if (array == nullptr) {
            throwWrongKind(value, "an array");
        }
        std::vector<T> list;
        list.reserve(array->size());
        for (std::size_t i = 0; i < array->size(); ++i) {
            list.push_back(decodingAt(i, [&] {
                if constexpr (std::is_const_v<std::remove_reference_t<V>>) {
                    return decodeValue<T>((*array)[i]);
                } else {
                    return decodeValue<T>(std::move((*array)[i]));
                }
            }));
        }
        return list;
    }
    static std::vector<T> decode(const Value& value) { return decodeArray(value); }
    static std::vector<T> decode(Value&& value) { return decodeArray(value); }
    static bool equals(const std::vector<T>& a, const std::vector<T>& b) {
        if (a.size() != b.size()) {
            return false;
        }
        for (std::size_t i = 0; i < a.size(); ++i) {
            if (!codingEquals(a[i], b[i])) {
                return false;
            }
        }
        return true;
    }
    // The count, then each element.
    static void hash(Hasher& hasher, const std::vector<T>& list) {
        hasher.combine(static_cast<std::uint64_t>(list.size()));
        for (const auto& element : list) {
            hashInto(hasher, element);
        }
    }
};

// A JSON object of any keys; one bad member fails the whole map, its key in the path.
template <Codable T>
struct Coder<std::map<std::string, T>> {
    using Map = std::map<std::string, T>;
    static Value encode(const Map& map) {
        std::vector<Object::Entry> entries;
        entries.reserve(map.size());
        for (const auto& [key, element] : map) {
            entries.emplace_back(key, encodeValue(element));
        }
        return Value(Object::fromEntries(std::move(entries)));
    }
    template <class V>
    static Map decodeObject(V&& value) {
        auto* object = value.objectValue();
        if (object == nullptr) {
            throwWrongKind(value, "an object");
        }
        Map map;
        for (auto& entry : *object) {
            auto& [key, element] = entry;
            map.emplace_hint(map.end(), key, decodingAt(key, [&] {
                                 if constexpr (std::is_const_v<std::remove_reference_t<V>>) {
                                     return decodeValue<T>(element);
                                 } else {
                                     return decodeValue<T>(std::move(const_cast<Value&>(element)));
                                 }
                             }));
        }
        return map;
    }
    static Map decode(const Value& value) { return decodeObject(value); }
    static Map decode(Value&& value) { return decodeObject(value); }
    static bool equals(const Map& a, const Map& b) {
        if (a.size() != b.size()) {
            return false;
        }
        for (const auto& [key, element] : a) {
            auto other = b.find(key);
            if (other == b.end() || !codingEquals(element, other->second)) {
                return false;
            }
        }
        return true;
    }
    // Independent of entry order: each entry hashed on its own, combined by exclusive or.
    static void hash(Hasher& hasher, const Map& map) {
        std::uint64_t combined = 0;
        for (const auto& [key, element] : map) {
            Hasher entry;
            entry.combineText(key);
            hashInto(entry, element);
            combined ^= entry.finish();
        }
        hasher.combine(combined);
    }
};

// ---------------------------------------------------------------------------------------------
// Types with their own coding (see the top of this header).

template <class T>
concept CustomCoded = requires(const T& t, const Value& v) {
    { t.toValue() } -> std::same_as<Value>;
    { T::fromValue(v) } -> std::same_as<T>;
    { t == t } -> std::convertible_to<bool>;
    { t.hash() } -> std::convertible_to<std::size_t>;
};

template <CustomCoded T>
struct Coder<T> {
    static Value encode(const T& value) { return value.toValue(); }
    static T decode(const Value& value) { return T::fromValue(value); }
    // Types that can take their parts out of a Value they are handed offer fromValue(Value&&).
    static T decode(Value&& value) requires requires { T::fromValue(std::move(value)); }
    { return T::fromValue(std::move(value)); }
    static bool equals(const T& a, const T& b) { return a == b; }
    static void hash(Hasher& hasher, const T& value) {
        hasher.combine(static_cast<std::uint64_t>(value.hash()));
    }
};

// ---------------------------------------------------------------------------------------------
// Field-less types (Empty, notification types): derive from Fieldless. They encode as {}, decode
// from any JSON value without reading it, are all equal and feed nothing to a hasher.

struct Fieldless {};

template <class T>
concept FieldlessType = std::is_base_of_v<Fieldless, T> && std::is_empty_v<T>;

template <FieldlessType T>
struct Coder<T> {
    static Value encode(const T&) { return Value(Object()); }
    static T decode(const Value&) { return T{}; }
    static bool equals(const T&, const T&) { return true; }
    static void hash(Hasher&, const T&) {}
};

template <FieldlessType T>
constexpr bool operator==(const T&, const T&) {
    return true;
}

}  // namespace mcp

template <mcp::FieldlessType T>
struct std::hash<T> {
    std::size_t operator()(const T&) const noexcept { return 0; }
};
