// Record: a plain MCP value type whose JSON form is an object of named members, described once by
// a field table. Encoding to a Value, decoding from a Value (with the standard decoding errors and
// coding paths), equality and hashing all follow from the table, so a record type is a few lines:
//
//   struct Icon {
//       enum class Theme { light, dark };
//       friend constexpr auto rawValues(Theme) {
//           return mcp::RawValues<Theme, 2>{"Theme", {{{Theme::light, "light"}, {Theme::dark,
//           "dark"}}}};
//       }
//
//       std::string src;
//       std::optional<std::string> mimeType{};
//       std::optional<std::vector<std::string>> sizes{};
//       std::optional<Theme> theme{};
//
//       static constexpr auto codingFields() {
//           return std::tuple{mcp::field("src", &Icon::src),
//                             mcp::optionalField("mimeType", &Icon::mimeType),
//                             mcp::optionalField("sizes", &Icon::sizes),
//                             mcp::optionalField("theme", &Icon::theme)};
//       }
//   };
//
//   mcp::Value v = mcp::encodeValue(icon);            // {"src": ..., "theme": "dark"}
//   Icon back = mcp::decodeValue<Icon>(v);            // throws mcp::DecodingError
//   bool same = icon == back;                          // field by field, in table order
//   std::size_t h = std::hash<Icon>{}(icon);           // fields fed in table order
//
// The kinds of field (the member type M must itself be Codable, MCP/Coding.h):
//   field(key, &T::m)              required: always written; decoding fails with keyNotFound when
//                                  the key is missing (null fails as the member type decides).
//   optionalField(key, &T::m)      std::optional<M>: written only when present; a missing key or
//                                  null decodes as absent.
// clang-format off
//   nullableField(key, &T::m)      std::optional<M>: written as null when absent; read as
//                                  optionalField.
//   defaultedField(key, &T::m, f)  always written; a missing key or null decodes as f() (or M{}
//                                  when no f is given).
// clang-format on
//
// Decoding reads the fields in table order and stops at the first failure; keys the table does
// not name are ignored and not kept; a value that is not an object fails with typeMismatch.
// Equality compares every field (texts by canonical equivalence, optionals by presence then value)
// and hashing feeds every field in table order (an optional as 0 or 1, then its value).
// The type must be default-constructible: decoding starts from T{} and fills the fields. Give
// every member a default initializer (`{}`) so that designated initialisation
// (`Icon{.src = "a.png"}`) leaves the others absent without compiler warnings.
//
// operator== is a template in namespace mcp, found by argument-dependent lookup for records
// declared directly in mcp (nested classes included). A record declared in another namespace
// (a nested one, or an anonymous one in a test) brings it in with `using mcp::operator==;`.
// std::hash<T> is provided for every record.
//
// Records are plain values; the functions here keep no state and may run on any thread.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "MCP/JSON/Coding.h"

namespace mcp {

enum class FieldRule { required, optional, nullable, defaulted };

struct NoDefault {};

// One row of a field table. Built with field(), optionalField(), nullableField(), defaultedField().
template <class T, class M, class MakeDefault = NoDefault>
struct Field {
    using Record = T;
    using Member = M;
    std::string_view key;
    M T::*member;
    FieldRule rule;
    MakeDefault makeDefault;
};

template <class T, class M>
constexpr Field<T, M> field(std::string_view key, M T::*member) {
    return {key, member, FieldRule::required, {}};
}
template <class T, class M>
constexpr Field<T, std::optional<M>> optionalField(std::string_view key,
                                                   std::optional<M> T::*member) {
    return {key, member, FieldRule::optional, {}};
}
template <class T, class M>
constexpr Field<T, std::optional<M>> nullableField(std::string_view key,
                                                   std::optional<M> T::*member) {
    return {key, member, FieldRule::nullable, {}};
}
template <class T, class M, class MakeDefault>
constexpr Field<T, M, MakeDefault> defaultedField(std::string_view key, M T::*member,
                                                  MakeDefault makeDefault) {
    return {key, member, FieldRule::defaulted, makeDefault};
}
template <class T, class M>
constexpr auto defaultedField(std::string_view key, M T::*member) {
    return defaultedField(key, member, [] { return M{}; });
}

// A type with a field table.
template <class T>
concept RecordType = std::is_default_constructible_v<T> && requires {
    T::codingFields();
};

namespace detail {

template <class M>
struct OptionalInner;
template <class M>
struct OptionalInner<std::optional<M>> {
    using type = M;
};

template <class T, class F, class R>
void encodeField(std::vector<Object::Entry>& entries, const F& f, R&& record) {
    using M = typename F::Member;
    constexpr bool moving = !std::is_lvalue_reference_v<R>;
    auto& member = record.*(f.member);
    auto encodeMember = [&](auto& m) {
        if constexpr (moving) {
            return encodeValue(std::move(m));
        } else {
            return encodeValue(std::as_const(m));
        }
    };
    if (f.rule == FieldRule::optional || f.rule == FieldRule::nullable) {
        if constexpr (requires { typename OptionalInner<M>::type; }) {
            if (member) {
                entries.emplace_back(std::string(f.key), encodeMember(*member));
            } else if (f.rule == FieldRule::nullable) {
                entries.emplace_back(std::string(f.key), Value());
            }
        }
    } else {
        entries.emplace_back(std::string(f.key), encodeMember(member));
    }
}

template <bool moving, class T, class F, class O>
void decodeField(T& record, const F& f, O& object) {
    using M = typename F::Member;
    auto* found = object.find(f.key);
    auto decodeAs = [&]<class U>(std::type_identity<U>) {
        return decodingAt(f.key, [&] {
            if constexpr (moving) {
                return decodeValue<U>(std::move(*found));
            } else {
                return decodeValue<U>(std::as_const(*found));
            }
        });
    };
    switch (f.rule) {
        case FieldRule::required:
            if (found == nullptr) {
                throw DecodingError::keyNotFound({}, f.key);
            }
            record.*(f.member) = decodeAs(std::type_identity<M>{});
            return;
        case FieldRule::optional:
        case FieldRule::nullable:
            if constexpr (requires { typename OptionalInner<M>::type; }) {
                if (found == nullptr || found->isNull()) {
                    record.*(f.member) = std::nullopt;
                } else {
                    record.*(f.member) =
                        decodeAs(std::type_identity<typename OptionalInner<M>::type>{});
                }
            }
            return;
        case FieldRule::defaulted:
            if constexpr (!std::is_same_v<std::remove_cvref_t<decltype(f.makeDefault)>,
                                          NoDefault>) {
                if (found == nullptr || found->isNull()) {
                    record.*(f.member) = f.makeDefault();
                } else {
                    record.*(f.member) = decodeAs(std::type_identity<M>{});
                }
            }
            return;
    }
}

}  // namespace detail

// The members of `record` as object entries, in table order (absent optionals left out).
// Encoders of tagged variants use this to add their tag beside a record's own members.
template <RecordType T>
void appendRecordEntries(std::vector<Object::Entry>& entries, const T& record) {
    std::apply([&](const auto&... f) { (detail::encodeField<T>(entries, f, record), ...); },
               T::codingFields());
}
template <RecordType T>
void appendRecordEntries(std::vector<Object::Entry>& entries, T&& record) {
    std::apply(
        [&](const auto&... f) { (detail::encodeField<T>(entries, f, std::move(record)), ...); },
        T::codingFields());
}

// Reads the members of a record from an object (a non-object fails with typeMismatch).
// From an rvalue, nested Values, arrays and objects are moved out instead of copied.
template <RecordType T, class V>
requires std::is_same_v<std::remove_cvref_t<V>, Value> T decodeRecord(V&& value) {
    constexpr bool moving = !std::is_lvalue_reference_v<V>;
    auto* object = value.objectValue();
    if (object == nullptr) {
        throwWrongKind(value, "an object");
    }
    T record{};
    std::apply([&](const auto&... f) { (detail::decodeField<moving>(record, f, *object), ...); },
               T::codingFields());
    return record;
}

template <RecordType T>
Value encodeRecord(const T& record) {
    std::vector<Object::Entry> entries;
    entries.reserve(std::tuple_size_v<decltype(T::codingFields())>);
    appendRecordEntries(entries, record);
    return Value(Object::fromEntries(std::move(entries)));
}
template <RecordType T>
requires(!std::is_lvalue_reference_v<T>) Value encodeRecord(T&& record) {
    std::vector<Object::Entry> entries;
    entries.reserve(std::tuple_size_v<decltype(T::codingFields())>);
    appendRecordEntries(entries, std::move(record));
    return Value(Object::fromEntries(std::move(entries)));
}
template <RecordType T>
bool recordEquals(const T& a, const T& b) {
    return std::apply(
        [&](const auto&... f) { return (codingEquals(a.*(f.member), b.*(f.member)) && ...); },
        T::codingFields());
}
template <RecordType T>
void hashRecord(Hasher& hasher, const T& record) {
    std::apply([&](const auto&... f) { (hashInto(hasher, record.*(f.member)), ...); },
               T::codingFields());
}

// The coding of every record type. A record whose decoding needs a twist (leniency towards
// other JSON kinds, say) declares a full specialisation of Coder built from the functions above.
template <RecordType T>
struct Coder<T> {
    // The field table is the whole JSON form (MCP/TypedJson.h writes it directly).
    static constexpr bool kStandardForm = true;
    static Value encode(const T& record) { return encodeRecord(record); }
    static Value encode(T&& record) { return encodeRecord(std::move(record)); }
    static T decode(const Value& value) { return decodeRecord<T>(value); }
    static T decode(Value&& value) { return decodeRecord<T>(std::move(value)); }
    static bool equals(const T& a, const T& b) { return recordEquals(a, b); }
    static void hash(Hasher& hasher, const T& record) { hashRecord(hasher, record); }
};

// Equality of records, found by argument-dependent lookup for every record in namespace mcp.
template <RecordType T>
bool operator==(const T& a, const T& b) {
    return Coder<T>::equals(a, b);
}

}  // namespace mcp

template <mcp::RecordType T>
struct std::hash<T> {
    std::size_t operator()(const T& record) const noexcept { return mcp::codingHash(record); }
};
