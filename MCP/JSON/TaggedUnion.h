// TaggedUnion: a value that is one of several cases, written as one flat JSON object in which a
// tag key ("type") names the case and the case's own members sit beside it. Content blocks of
// tools, prompts and sampling are such values.
//
// A union type derives from TaggedUnion<Self, Case0, Case1, ...>, where every case is a record
// (MCP/Record.h), and declares its wire tags:
//
//   struct Block : mcp::TaggedUnion<Block, Text, Image> {
//       using TaggedUnion::TaggedUnion;
//       static constexpr mcp::TagTable<2> tagTable{"type", {"text", "image"}, "Unknown block
//       type"};
//   };
//
// Encoding writes the tag and then the case's members. Decoding reads the tag (keyNotFound when
// missing, typeMismatch at the tag key when it is no text), compares it exactly with the tags in
// order, fails with dataCorrupted at the tag key and the table's description when none matches,
// and then reads the case's members from the same object (other keys are ignored). Equality asks
// for the same case and equal payloads; hashing feeds the case number and then the payload's
// fields.
//
// Plain values: copy them freely; nothing here keeps state.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "MCP/JSON/Record.h"

namespace mcp {

template <std::size_t N>
struct TagTable {
    std::string_view key;                  // the member that names the case
    std::array<std::string_view, N> tags;  // the case tags, in case order
    std::string_view unknownTag;           // description of the failure for any other tag
};

// Common base of every TaggedUnion, so that generic code can recognise one.
struct TaggedUnionBase {};

template <class Self, class... Cases>
class TaggedUnion : public TaggedUnionBase {
public:
    using Storage = std::variant<Cases...>;

    // The first case with its payload's defaults (records need a default to decode into).
    TaggedUnion() = default;
    template <class C>
    requires(std::is_same_v<std::remove_cvref_t<C>, Cases> || ...) TaggedUnion(C&& payload)
        : storage_(std::forward<C>(payload)) {}

    // The case number, in declaration order.
    std::size_t index() const noexcept { return storage_.index(); }
    // The wire tag of the case.
    std::string_view tag() const noexcept { return Self::tagTable.tags[storage_.index()]; }
    template <class C>
    bool is() const noexcept {
        return std::holds_alternative<C>(storage_);
    }
    // The payload when this is the case C, else nullptr.
    template <class C>
    const C* get() const noexcept {
        return std::get_if<C>(&storage_);
    }
    const Storage& storage() const noexcept { return storage_; }

    Value toValue() const {
        return std::visit(
            [&](const auto& payload) {
                std::vector<Object::Entry> entries;
                entries.reserve(8);
                entries.emplace_back(std::string(Self::tagTable.key), Value(std::string(tag())));
                appendRecordEntries(entries, payload);
                return Value(Object::fromEntries(std::move(entries)));
            },
            storage_);
    }

    static Self fromValue(const Value& value) { return decode(value); }
    // The payload takes its parts out of the Value.
    static Self fromValue(Value&& value) { return decode(value); }

    friend bool operator==(const Self& a, const Self& b) {
        return a.storage_.index() == b.storage_.index() &&
               std::visit(
                   [&](const auto& payload) {
                       using C = std::remove_cvref_t<decltype(payload)>;
                       return codingEquals(payload, std::get<C>(b.storage_));
                   },
                   a.storage_);
    }

    std::size_t hash() const {
        Hasher hasher;
        hasher.combine(static_cast<std::uint64_t>(storage_.index()));
        std::visit([&](const auto& payload) { hashInto(hasher, payload); }, storage_);
        return hasher.finish();
    }

private:
    // Moves out of `value` unless it is const.
    template <class V>
    static Self decode(V& value) {
        const Object* object = value.objectValue();
        if (object == nullptr) {
            throwWrongKind(value, "an object");
        }
        std::string tag = requiredText(*object, Self::tagTable.key);
        return decodeCase(value, tag, std::index_sequence_for<Cases...>{});
    }

    template <class V, std::size_t... I>
    static Self decodeCase(V& value, std::string_view tag, std::index_sequence<I...>) {
        static_assert(sizeof...(I) == Self::tagTable.tags.size(), "one tag per case");
        auto decodeAs = [&]<class C>(std::type_identity<C>) {
            if constexpr (std::is_const_v<V>) {
                return decodeValue<C>(value);
            } else {
                return decodeValue<C>(std::move(value));
            }
        };
        std::optional<Self> result;
        ((result || tag != Self::tagTable.tags[I]
              ? void()
              : void(result.emplace(
                    decodeAs(std::type_identity<std::variant_alternative_t<I, Storage>>{})))),
         ...);
        if (!result) {
            throw DecodingError::dataCorrupted({CodingKey::key(std::string(Self::tagTable.key))},
                                               std::string(Self::tagTable.unknownTag));
        }
        return std::move(*result);
    }

    Storage storage_;
};

}  // namespace mcp

template <class T>
requires std::is_base_of_v<mcp::TaggedUnionBase, T>
struct std::hash<T> {
    std::size_t operator()(const T& value) const { return value.hash(); }
};
