// Reading the elements of a parsed text: each JsonElement holds a simdjson DOM element, a position
// in the parser's tape, so reading one walks the tape and copies nothing.
#include "MCP/JSON/JsonElement.h"

#include <simdjson.h>

#include <cstring>
#include <type_traits>

namespace mcp {

namespace dom = simdjson::dom;

namespace {

static_assert(sizeof(dom::element) <= 16 && alignof(dom::element) <= 8 &&
              std::is_trivially_copyable_v<dom::element>);
static_assert(sizeof(dom::object::iterator) <= 16 && alignof(dom::object::iterator) <= 8 &&
              std::is_trivially_copyable_v<dom::object::iterator>);
static_assert(sizeof(dom::array::iterator) <= 16 && alignof(dom::array::iterator) <= 8 &&
              std::is_trivially_copyable_v<dom::array::iterator>);

template <class T>
T load(const unsigned char* bytes) noexcept {
    T value;
    std::memcpy(static_cast<void*>(&value), bytes, sizeof value);
    return value;
}

template <class T>
void store(unsigned char* bytes, const T& value) noexcept {
    std::memcpy(bytes, static_cast<const void*>(&value), sizeof value);
}

// A cursor keeps the current and the end iterator of its container (both empty for none).
template <class Container>
void startCursor(unsigned char* state, const Container& container) noexcept {
    store(state, container.begin());
    store(state + 16, container.end());
}

// The cursor's current position, which it then steps past; absent at the end.
template <class Iterator>
std::optional<Iterator> stepCursor(unsigned char* state) noexcept {
    Iterator at = load<Iterator>(state);
    if (at == load<Iterator>(state + 16)) {
        return std::nullopt;
    }
    Iterator next = at;
    ++next;
    store(state, next);
    return at;
}

}  // namespace

JsonElement::Kind JsonElement::kind() const noexcept {
    switch (load<dom::element>(element_).type()) {
        case dom::element_type::ARRAY:
            return Kind::array;
        case dom::element_type::OBJECT:
            return Kind::object;
        case dom::element_type::INT64:
            return Kind::integer;
        case dom::element_type::UINT64:
        case dom::element_type::DOUBLE:
            return Kind::number;
        case dom::element_type::STRING:
            return Kind::string;
        case dom::element_type::BOOL:
            return Kind::boolean;
        case dom::element_type::NULL_VALUE:
            return Kind::null;
    }
    return Kind::null;
}

std::optional<bool> JsonElement::boolean() const noexcept {
    const dom::element element = load<dom::element>(element_);
    if (element.type() != dom::element_type::BOOL) {
        return std::nullopt;
    }
    return element.get_bool().value_unsafe();
}

std::optional<std::int64_t> JsonElement::integer() const noexcept {
    const dom::element element = load<dom::element>(element_);
    if (element.type() != dom::element_type::INT64) {
        return std::nullopt;
    }
    return element.get_int64().value_unsafe();
}

std::optional<double> JsonElement::number() const noexcept {
    const dom::element element = load<dom::element>(element_);
    switch (element.type()) {
        case dom::element_type::INT64:
            return static_cast<double>(element.get_int64().value_unsafe());
        case dom::element_type::UINT64:
            // As the parser reads a number above the signed range: the nearest double.
            return static_cast<double>(element.get_uint64().value_unsafe());
        case dom::element_type::DOUBLE:
            return element.get_double().value_unsafe();
        default:
            return std::nullopt;
    }
}

std::optional<std::string_view> JsonElement::string() const noexcept {
    const dom::element element = load<dom::element>(element_);
    if (element.type() != dom::element_type::STRING) {
        return std::nullopt;
    }
    return element.get_string().value_unsafe();
}

std::size_t JsonElement::size() const noexcept {
    const dom::element element = load<dom::element>(element_);
    switch (element.type()) {
        case dom::element_type::ARRAY:
            return element.get_array().value_unsafe().size();
        case dom::element_type::OBJECT:
            return element.get_object().value_unsafe().size();
        default:
            return 0;
    }
}

std::optional<JsonElement> JsonElement::find(std::string_view key) const noexcept {
    const dom::element element = load<dom::element>(element_);
    if (element.type() != dom::element_type::OBJECT) {
        return std::nullopt;
    }
    std::optional<JsonElement> found;
    const dom::object object = element.get_object().value_unsafe();
    for (const dom::key_value_pair member : object) {
        if (member.key == key) {
            found.emplace();
            store(found->element_, member.value);
        }
    }
    return found;
}

JsonElement::Members JsonElement::members() const noexcept {
    Members members;
    const dom::element element = load<dom::element>(element_);
    if (element.type() == dom::element_type::OBJECT) {
        const dom::object object = element.get_object().value_unsafe();
        startCursor(members.state_, object);
    }
    return members;
}

bool JsonElement::Members::next(std::string_view& key, JsonElement& value) noexcept {
    const std::optional<dom::object::iterator> at = stepCursor<dom::object::iterator>(state_);
    if (!at) {
        return false;
    }
    key = at->key();
    store(value.element_, at->value());
    return true;
}

JsonElement::Elements JsonElement::elements() const noexcept {
    Elements elements;
    const dom::element element = load<dom::element>(element_);
    if (element.type() == dom::element_type::ARRAY) {
        const dom::array array = element.get_array().value_unsafe();
        startCursor(elements.state_, array);
    }
    return elements;
}

bool JsonElement::Elements::next(JsonElement& element) noexcept {
    const std::optional<dom::array::iterator> at = stepCursor<dom::array::iterator>(state_);
    if (!at) {
        return false;
    }
    store(element.element_, **at);
    return true;
}

}  // namespace mcp
