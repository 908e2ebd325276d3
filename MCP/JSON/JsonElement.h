// JsonElement: one value of a JSON text, read in place from the parse, for readers that take what
// they need straight from the text (MCP/TypedJsonDecoding.h) instead of building the whole Value
// first.
//
//   bool parsed = mcp::visitJson(text, [&](const mcp::JsonElement& root) {
//       if (std::optional<mcp::JsonElement> id = root.find("id")) { ... }
//   });
//
// visitJson() parses `text` as parseJson() does with the default options and, when the text is
// valid, calls `visit` with its root and answers true. It answers false without calling `visit`
// when parseJson() would fail, and also for a valid text that holds an integer beyond the 64-bit
// range: the caller then takes the Value road (parseJson, tryParseJson), which reads such numbers.
//
// An element, and every text read from it, is valid only during the call of `visit` that handed it
// out. `visit` may parse other JSON text meanwhile (that parse uses buffers of its own).
//
// Kinds: integers that fit a signed 64-bit integer are `integer`; every other number is `number`
// (read as the double that parseJson makes of it). Strings give their text as it is, data URLs
// too; toValue() builds exactly the Value that parseJson builds for the element (data URLs become
// the data case there). Objects may repeat a key: find() answers the last member of that name, as
// the parsed Value keeps the last one; members() gives every member in text order.
//
// Thread-safety: an element belongs to the thread that visits it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <type_traits>
#include <utility>

#include "MCP/JSON/Value.h"

namespace mcp {

class JsonElement {
public:
    enum class Kind : std::uint8_t { null, boolean, integer, number, string, array, object };

    Kind kind() const noexcept;
    bool isNull() const noexcept { return kind() == Kind::null; }

    // Each answers only for its own kind (number() for integers too, as a double).
    std::optional<bool> boolean() const noexcept;
    std::optional<std::int64_t> integer() const noexcept;
    std::optional<double> number() const noexcept;
    std::optional<std::string_view> string() const noexcept;

    // The elements of an array or the members of an object; 0 for any other kind.
    std::size_t size() const noexcept;
    // The last member named `key` of an object; absent when there is none or this is no object.
    std::optional<JsonElement> find(std::string_view key) const noexcept;

    // The members of an object in text order (none for any other kind).
    class Members {
    public:
        // The next member; false after the last.
        bool next(std::string_view& key, JsonElement& value) noexcept;

    private:
        friend class JsonElement;
        alignas(8) unsigned char state_[32] = {};
    };
    Members members() const noexcept;

    // The elements of an array in order (none for any other kind).
    class Elements {
    public:
        // The next element; false after the last.
        bool next(JsonElement& element) noexcept;

    private:
        friend class JsonElement;
        alignas(8) unsigned char state_[32] = {};
    };
    Elements elements() const noexcept;

    // The Value parseJson builds for this element.
    Value toValue() const;

    // Only a place for next() to fill: an element made this way must not be read.
    JsonElement() noexcept = default;

private:
    friend class JsonReader;
    alignas(8) unsigned char element_[16] = {};
};

namespace detail {
using JsonVisit = void (*)(void* context, const JsonElement& root);
bool visitJson(std::string_view text, JsonVisit visit, void* context);
}  // namespace detail

// See the top of this header. Exceptions thrown by `visit` pass through.
template <class Visit>
bool visitJson(std::string_view text, Visit&& visit) {
    return detail::visitJson(
        text,
        [](void* context, const JsonElement& root) {
            (*static_cast<std::remove_reference_t<Visit>*>(context))(root);
        },
        const_cast<void*>(static_cast<const void*>(&visit)));
}

}  // namespace mcp
