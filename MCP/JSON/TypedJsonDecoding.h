// Reading a typed value straight from a parsed JSON element (MCP/JsonElement.h), without building
// its Value first: the reverse of MCP/TypedJson.h.
//
//   mcp::CallTool::Result result = mcp::decodeTypedJson<mcp::CallTool::Result>(element);
//
// The outcome is always the one decodeValue<T>(element.toValue()) gives, failures (DecodingError)
// included. Records with a plain field table, tagged unions of such records, texts, booleans,
// integers, doubles, raw-value enumerations, optionals, lists, Values and objects are read
// directly; anything else (a record with hooks or a coder of its own, maps, types with their own
// fromValue) from the Value of its element. A direct read that meets anything it does not take
// as it is (a data URL where a text is wanted, an integer written with a fraction, a member that
// does not fit) gives the whole value over to the Value road, which then decodes it or throws its
// error with the full coding path.
//
// Stateless templates: safe from any thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <variant>

#include "MCP/JSON/Coding.h"
#include "MCP/JSON/JsonElement.h"
#include "MCP/JSON/ObjectCoding.h"
#include "MCP/JSON/Record.h"
#include "MCP/JSON/TaggedUnion.h"
#include "MCP/JSON/TypedJson.h"

namespace mcp {

namespace detail {

// The value read directly, or absent when the Value road must decide.
template <class T>
std::optional<T> readTyped(const JsonElement& element);

template <class T>
concept ReadableRecord = RecordType<T> && StandardForm<T>;

template <class U, std::size_t... I>
constexpr bool readableCases(std::index_sequence<I...>) {
    return (... && ReadableRecord<std::variant_alternative_t<I, typename U::Storage>>);
}

// The tagged unions whose decoding is TaggedUnion's own (none of them has a fromValue of its own).
template <class T>
concept ReadableUnion = std::is_base_of_v<TaggedUnionBase, T> && requires {
    typename T::Storage;
} && readableCases<T>(std::make_index_sequence<std::variant_size_v<typename T::Storage>>{});

// A string's text where the Value road reads it as the same text: not a data URL, which the
// parser makes the data case.
inline std::optional<std::string_view> plainText(const JsonElement& element) {
    std::optional<std::string_view> text = element.string();
    if (!text || text->starts_with("data:")) {
        return std::nullopt;
    }
    return text;
}

// One row of a field table, by the rules of decodeField (MCP/Record.h); `found` is the member
// under its key.
template <class T, class F>
bool readField(T& record, const F& f, const std::optional<JsonElement>& found) {
    using M = typename F::Member;
    auto take = [&]<class U>(std::type_identity<U>) {
        std::optional<U> member = readTyped<U>(*found);
        if (!member) {
            return false;
        }
        record.*(f.member) = std::move(*member);
        return true;
    };
    switch (f.rule) {
        case FieldRule::required:
            return found && take(std::type_identity<M>{});
        case FieldRule::optional:
        case FieldRule::nullable:
            if constexpr (requires { typename OptionalInner<M>::type; }) {
                if (!found || found->isNull()) {
                    record.*(f.member) = std::nullopt;
                    return true;
                }
                return take(std::type_identity<typename OptionalInner<M>::type>{});
            }
            return true;
        case FieldRule::defaulted:
            if constexpr (!std::is_same_v<std::remove_cvref_t<decltype(f.makeDefault)>,
                                          NoDefault>) {
                if (!found || found->isNull()) {
                    record.*(f.member) = f.makeDefault();
                    return true;
                }
                return take(std::type_identity<M>{});
            }
            return true;
    }
    return true;
}

// The keys of a record's field table, in table order.
template <class T>
constexpr auto recordKeys() {
    constexpr std::size_t count = std::tuple_size_v<decltype(T::codingFields())>;
    std::array<std::string_view, count> keys{};
    std::size_t i = 0;
    std::apply([&](const auto&... f) { ((keys[i++] = f.key), ...); }, T::codingFields());
    return keys;
}

template <class T>
std::optional<T> readRecord(const JsonElement& element) {
    if (element.kind() != JsonElement::Kind::object) {
        return std::nullopt;
    }
    // One walk over the members finds every field's (last) member.
    static constexpr auto keys = recordKeys<T>();
    std::array<std::optional<JsonElement>, keys.size()> found{};
    JsonElement::Members members = element.members();
    std::string_view key;
    JsonElement member;
    while (members.next(key, member)) {
        for (std::size_t i = 0; i < keys.size(); ++i) {
            if (key == keys[i]) {
                found[i] = member;
            }
        }
    }
    std::optional<T> record(std::in_place);
    const bool complete = [&]<std::size_t... I>(std::index_sequence<I...>) {
        static constexpr auto fields = T::codingFields();
        return (readField(*record, std::get<I>(fields), found[I]) && ...);
    }(std::make_index_sequence<keys.size()>{});
    if (!complete) {
        return std::nullopt;
    }
    return record;
}

template <class T, std::size_t... I>
std::optional<T> readUnionCase(const JsonElement& element, std::string_view tag,
                               std::index_sequence<I...>) {
    std::optional<T> result;
    bool matched = false;
    auto tryCase = [&]<std::size_t K>(std::integral_constant<std::size_t, K>) {
        if (matched || tag != T::tagTable.tags[K]) {
            return;
        }
        matched = true;
        using Case = std::variant_alternative_t<K, typename T::Storage>;
        if (std::optional<Case> payload = readRecord<Case>(element)) {
            result.emplace(std::move(*payload));
        }
    };
    (tryCase(std::integral_constant<std::size_t, I>{}), ...);
    return result;
}

template <class T>
std::optional<T> readUnion(const JsonElement& element) {
    const std::optional<JsonElement> tag = element.find(T::tagTable.key);
    if (!tag) {
        return std::nullopt;
    }
    const std::optional<std::string_view> text = tag->string();
    if (!text) {
        return std::nullopt;
    }
    return readUnionCase<T>(element, *text,
                            std::make_index_sequence<std::variant_size_v<typename T::Storage>>{});
}

template <class T>
std::optional<T> readTyped(const JsonElement& element) {
    using Kind = JsonElement::Kind;
    if constexpr (FieldlessType<T>) {
        return T{};
    } else if constexpr (std::is_same_v<T, bool> && StandardForm<T>) {
        return element.boolean();
    } else if constexpr (std::is_integral_v<T> && std::is_signed_v<T> && StandardForm<T>) {
        const std::optional<std::int64_t> number = element.integer();
        if (!number || *number < std::numeric_limits<T>::min() ||
            *number > std::numeric_limits<T>::max()) {
            return std::nullopt;
        }
        return static_cast<T>(*number);
    } else if constexpr (std::is_same_v<T, double>) {
        return element.number();
    } else if constexpr (std::is_same_v<T, std::string> && StandardForm<T>) {
        const std::optional<std::string_view> text = plainText(element);
        if (!text) {
            return std::nullopt;
        }
        return std::string(*text);
    } else if constexpr (std::is_same_v<T, Value>) {
        return element.toValue();
    } else if constexpr (std::is_same_v<T, Object>) {
        if (element.kind() != Kind::object) {
            return std::nullopt;
        }
        Value value = element.toValue();
        return std::move(*value.objectValue());
    } else if constexpr (RawValueEnum<T> && StandardForm<T>) {
        const std::optional<std::string_view> text = plainText(element);
        if (!text) {
            return std::nullopt;
        }
        return fromRawValue<T>(*text);
    } else if constexpr (IsOptionalType<T>::value && StandardForm<T>) {
        if (element.isNull()) {
            return std::optional<T>(std::in_place);
        }
        auto inner = readTyped<typename T::value_type>(element);
        if (!inner) {
            return std::nullopt;
        }
        return std::optional<T>(std::in_place, std::move(*inner));
    } else if constexpr (IsVectorType<T>::value && StandardForm<T>) {
        if (element.kind() != Kind::array) {
            return std::nullopt;
        }
        std::optional<T> list(std::in_place);
        list->reserve(element.size());
        JsonElement::Elements items = element.elements();
        JsonElement item;
        while (items.next(item)) {
            auto value = readTyped<typename T::value_type>(item);
            if (!value) {
                return std::nullopt;
            }
            list->push_back(std::move(*value));
        }
        return list;
    } else if constexpr (ReadableRecord<T>) {
        return readRecord<T>(element);
    } else if constexpr (ReadableUnion<T>) {
        return readUnion<T>(element);
    } else {
        try {
            return decodeValue<T>(element.toValue());
        } catch (const DecodingError&) {
            return std::nullopt;
        }
    }
}

}  // namespace detail

// Throws DecodingError, as decodeValue<T>(element.toValue()) does.
template <Codable T>
T decodeTypedJson(const JsonElement& element) {
    if (std::optional<T> direct = detail::readTyped<T>(element)) {
        return std::move(*direct);
    }
    return decodeValue<T>(element.toValue());
}

}  // namespace mcp
