// Writing a typed value as JSON text without building its Value first.
//
//   std::string out;
//   mcp::appendTypedJson(out, result);   // the same bytes as appendJson(out, encodeValue(result))
//
// Records with a plain field table, tagged unions of such records, texts, booleans, integers,
// raw-value enumerations, optionals, lists, Values and objects are written directly, with the
// members of every object in the writer's sorted key order; anything else (a record with hooks or
// a coder of its own, doubles, maps) goes through its Value. The text is always the one appendJson writes for
// the encoded value. Throws EncodingError like appendJson, though its coding path may be shorter:
// callers that report the error write the value through its Value again to get the full path.
// `out` may then hold part of the text.
//
// Stateless templates: safe from any thread.
#pragma once

#include <algorithm>
#include <array>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "MCP/JSON/Coding.h"
#include "MCP/JSON/JsonWriter.h"
#include "MCP/JSON/Record.h"
#include "MCP/JSON/TaggedUnion.h"

namespace mcp {

template <class T>
void appendTypedJson(std::string& out, const T& value);

namespace detail {

template <class T>
concept StandardForm = requires {
    requires Coder<T>::kStandardForm;
};

template <class T>
struct IsOptionalType : std::false_type {};
template <class T>
struct IsOptionalType<std::optional<T>> : std::true_type {};
template <class T>
struct IsVectorType : std::false_type {};
template <class T>
struct IsVectorType<std::vector<T>> : std::true_type {};

// Keys that need no escaping: what the field tables of this library use.
constexpr bool isPlainKey(std::string_view key) {
    for (char c : key) {
        if (c == '"' || c == '\\' || static_cast<unsigned char>(c) < 0x20 ||
            static_cast<unsigned char>(c) >= 0x80) {
            return false;
        }
    }
    return true;
}

// The keys of a record's field table, with `extra` (a union's tag, when not empty) last.
template <class T>
constexpr auto fieldKeys(std::string_view extra) {
    constexpr std::size_t count = std::tuple_size_v<decltype(T::codingFields())>;
    std::array<std::string_view, count + 1> keys{};
    std::size_t i = 0;
    std::apply([&](const auto&... f) { ((keys[i++] = f.key), ...); }, T::codingFields());
    keys[count] = extra;
    return keys;
}

// The order in which the writer of objects puts the keys (bytewise), as indices into
// fieldKeys(); the empty extra key, if any, comes first and is skipped when writing.
template <class T>
constexpr auto fieldOrder(std::string_view extra) {
    auto keys = fieldKeys<T>(extra);
    std::array<std::size_t, keys.size()> order{};
    for (std::size_t i = 0; i < order.size(); ++i) {
        order[i] = i;
    }
    std::sort(order.begin(), order.end(),
              [&](std::size_t a, std::size_t b) { return keys[a] < keys[b]; });
    return order;
}

// Whether a record (with `extra` beside its fields) can be written field by field: distinct keys
// that need no escaping.
template <class T>
constexpr bool writableFields(std::string_view extra) {
    auto keys = fieldKeys<T>(extra);
    auto order = fieldOrder<T>(extra);
    for (std::size_t i = 0; i < keys.size(); ++i) {
        if (!isPlainKey(keys[i])) {
            return false;
        }
        if (i > 0 && !keys[order[i]].empty() && keys[order[i]] == keys[order[i - 1]]) {
            return false;
        }
    }
    return true;
}

template <class T>
concept DirectRecord = RecordType<T> && StandardForm<T> && writableFields<T>({});

inline void appendKey(std::string& out, bool& first, std::string_view key) {
    out += first ? std::string_view("{\"") : std::string_view(",\"");
    first = false;
    out += key;
    out += std::string_view("\":");
}

template <class T, class F>
void appendField(std::string& out, bool& first, const F& f, const T& record) {
    const auto& member = record.*(f.member);
    if constexpr (IsOptionalType<typename F::Member>::value) {
        if (f.rule == FieldRule::optional || f.rule == FieldRule::nullable) {
            if (member) {
                appendKey(out, first, f.key);
                appendTypedJson(out, *member);
            } else if (f.rule == FieldRule::nullable) {
                appendKey(out, first, f.key);
                out += std::string_view("null");
            }
            return;
        }
    }
    appendKey(out, first, f.key);
    appendTypedJson(out, member);
}

// Where a record's members go without a tag, and beside the tag of union U.
struct NoTag {
    static constexpr std::string_view key{};
};
template <class U>
struct UnionTag {
    static constexpr std::string_view key = U::tagTable.key;
};

// The members of `record` as one object, with `tag` under Tag::key when that is not empty.
template <class Tag, class T>
void appendRecordObject(std::string& out, const T& record, std::string_view tag) {
    static constexpr auto fields = T::codingFields();
    static constexpr auto order = fieldOrder<T>(Tag::key);
    constexpr std::size_t count = std::tuple_size_v<decltype(fields)>;
    bool first = true;
    auto writeAt = [&]<std::size_t K>(std::integral_constant<std::size_t, K>) {
        if constexpr (K == count) {
            if constexpr (!Tag::key.empty()) {
                appendKey(out, first, Tag::key);
                appendJsonString(out, tag);
            }
        } else {
            appendField(out, first, std::get<K>(fields), record);
        }
    };
    [&]<std::size_t... I>(std::index_sequence<I...>) {
        (writeAt(std::integral_constant<std::size_t, order[I]>{}), ...);
    }
    (std::make_index_sequence<order.size()>{});
    out += first ? std::string_view("{}") : std::string_view("}");
}

template <class U, std::size_t... I>
constexpr bool directUnionCases(std::index_sequence<I...>) {
    using Storage = typename U::Storage;
    return (... && (RecordType<std::variant_alternative_t<I, Storage>> &&
                    StandardForm<std::variant_alternative_t<I, Storage>> &&
                    writableFields<std::variant_alternative_t<I, Storage>>(U::tagTable.key)));
}

template <class T>
concept DirectUnion = std::is_base_of_v<TaggedUnionBase, T> && requires {
    typename T::Storage;
} && directUnionCases<T>(std::make_index_sequence<std::variant_size_v<typename T::Storage>>{});

}  // namespace detail

template <class T>
void appendTypedJson(std::string& out, const T& value) {
    if constexpr (std::is_same_v<T, bool> && detail::StandardForm<T>) {
        out += value ? std::string_view("true") : std::string_view("false");
    } else if constexpr (std::is_integral_v<T> && std::is_signed_v<T> && detail::StandardForm<T>) {
        char digits[24];
        out.append(
            digits,
            std::to_chars(digits, digits + sizeof digits, static_cast<std::int64_t>(value)).ptr);
    } else if constexpr (std::is_same_v<T, std::string> && detail::StandardForm<T>) {
        appendJsonString(out, value);
    } else if constexpr (std::is_same_v<T, Value> || std::is_same_v<T, Object>) {
        appendJson(out, value);
    } else if constexpr (RawValueEnum<T> && detail::StandardForm<T>) {
        appendJsonString(out, rawValue(value));
    } else if constexpr (detail::IsOptionalType<T>::value && detail::StandardForm<T>) {
        if (value) {
            appendTypedJson(out, *value);
        } else {
            out += std::string_view("null");
        }
    } else if constexpr (detail::IsVectorType<T>::value && detail::StandardForm<T>) {
        out += '[';
        for (std::size_t i = 0; i < value.size(); ++i) {
            if (i != 0) {
                out += ',';
            }
            appendTypedJson(out, value[i]);
        }
        out += ']';
    } else if constexpr (detail::DirectRecord<T>) {
        detail::appendRecordObject<detail::NoTag>(out, value, {});
    } else if constexpr (detail::DirectUnion<T>) {
        std::visit(
            [&](const auto& payload) {
                detail::appendRecordObject<detail::UnionTag<T>>(out, payload, value.tag());
            },
            value.storage());
    } else {
        appendJson(out, encodeValue(value));
    }
}

}  // namespace mcp
