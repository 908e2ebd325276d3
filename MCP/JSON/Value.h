// Value: an arbitrary JSON value of the MCP library, with an eighth case for raw bytes.
//
// The eight cases are bool, int (signed 64-bit), double, string, data, array, object and null. The
// data case holds bytes with an optional media type; it travels in JSON as a "data:" URL and is
// recognised again when a JSON string that is such a URL is parsed (see MCP/JsonParser.h and
// MCP/DataURL.h).
//
// Objects keep their entries sorted by key (bytewise), so lookups are binary searches and the
// writer emits sorted keys without sorting. Strings compare by Unicode canonical equivalence, with
// a fast path for identical and plain-ASCII bytes; equal values hash alike.
//
// A Value is a plain value. Copying copies arrays, objects and strings and shares the (immutable)
// payload of the data case; moving is cheap and never allocates. Distinct Values may be used from
// different threads; one Value must not be mutated while another thread reads it.
//
//   mcp::Value v = mcp::Value::object({{"name", "export_movie"}, {"count", 3}});
//   if (const mcp::Value* name = v.find("name"); name && name->stringValue()) ...
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

namespace mcp {

class Value;

using Bytes = std::vector<std::uint8_t>;
using Array = std::vector<Value>;

// The map of an object case: unique keys kept in ascending bytewise order.
class Object {
public:
    using Entry = std::pair<std::string, Value>;
    using const_iterator = std::vector<Entry>::const_iterator;

    Object() noexcept = default;
    // A later entry whose key is already present replaces the earlier value.
    Object(std::initializer_list<Entry> entries);
    // Takes entries in any order; for duplicate keys the last one wins. Used by the parser.
    static Object fromEntries(std::vector<Entry> entries);

    std::size_t size() const noexcept;
    bool empty() const noexcept;
    const_iterator begin() const noexcept { return entries_.begin(); }
    const_iterator end() const noexcept { return entries_.end(); }
    void reserve(std::size_t count);

    // The value under `key`, or nullptr.
    const Value* find(std::string_view key) const noexcept;
    Value* find(std::string_view key) noexcept;
    bool contains(std::string_view key) const noexcept { return find(key) != nullptr; }

    // Sets `key` to `value` (inserting or replacing) and answers the stored value.
    Value& insertOrAssign(std::string key, Value value);
    // The value under `key`, inserting null first when it is missing.
    Value& operator[](std::string_view key);
    // Removes `key`; answers whether it was present.
    bool erase(std::string_view key);

    friend bool operator==(const Object& a, const Object& b);

private:
    std::vector<Entry> entries_;
};

class Value {
public:
    // The cases, in declaration order.
    enum class Kind : std::uint8_t { Bool, Int, Double, String, Data, Array, Object, Null };

    // Payload of the data case. A decoded data URL always has a media type; one built in code may
    // not.
    struct Data {
        std::optional<std::string> mimeType;
        Bytes bytes;
    };

    // Null.
    Value() noexcept : storage_(std::in_place_index<kNullIndex>) {}
    Value(std::nullptr_t) noexcept : Value() {}
    Value(bool b) noexcept : storage_(std::in_place_index<0>, b) {}
    // Any integer type that fits a signed 64-bit integer (not char, not unsigned 64-bit).
    template <class I>
    requires(std::is_integral_v<I> && !std::is_same_v<I, bool> && !std::is_same_v<I, char> &&
             (std::is_signed_v<I> || sizeof(I) < sizeof(std::int64_t))) Value(I i)
    noexcept : storage_(std::in_place_index<1>, static_cast<std::int64_t>(i)) {}
    Value(double d) noexcept : storage_(std::in_place_index<2>, d) {}
    Value(float f) noexcept : Value(static_cast<double>(f)) {}
    // Always the string case, also when the text is a data URL.
    Value(std::string s) noexcept : storage_(std::in_place_index<3>, std::move(s)) {}
    Value(std::string_view s) : Value(std::string(s)) {}
    Value(const char* s) : Value(std::string(s)) {}
    Value(Data data);
    Value(Array array) noexcept : storage_(std::in_place_index<5>, std::move(array)) {}
    Value(Object object) noexcept : storage_(std::in_place_index<6>, std::move(object)) {}

    static Value array(std::initializer_list<Value> elements) { return Value(Array(elements)); }
    static Value object(std::initializer_list<Object::Entry> entries) {
        return Value(Object(entries));
    }
    static Value data(Bytes bytes, std::optional<std::string> mimeType = std::nullopt) {
        return Value(Data{std::move(mimeType), std::move(bytes)});
    }
    // The value a JSON string with this text decodes as: data when the text is a data URL whose
    // payload decodes (the text is kept and written back unchanged), otherwise string. Converters
    // that map typed values straight to Value use this so the result equals a JSON round trip.
    static Value fromJsonString(std::string text);

    Value(const Value&);
    Value(Value&&) noexcept = default;
    Value& operator=(const Value&);
    Value& operator=(Value&&) noexcept = default;
    ~Value();

    Kind kind() const noexcept { return static_cast<Kind>(storage_.index()); }
    bool isNull() const noexcept { return kind() == Kind::Null; }

    // Case accessors: each answers only for its own case, never converting.
    std::optional<bool> boolValue() const noexcept;
    std::optional<std::int64_t> intValue() const noexcept;
    std::optional<double> doubleValue() const noexcept;
    const std::string* stringValue() const noexcept;
    std::string* stringValue() noexcept;
    const Data* dataValue() const noexcept;
    const Array* arrayValue() const noexcept;
    Array* arrayValue() noexcept;
    const mcp::Object* objectValue() const noexcept;
    mcp::Object* objectValue() noexcept;

    // The member `key` of an object; nullptr when this is no object or the key is missing.
    const Value* find(std::string_view key) const noexcept;

    // The text this value is written as in JSON when it is a JSON string: the string's text, or the
    // data case's URL (the exact text it was parsed from, when it came from JSON). Absent for the
    // other cases. Decoders of text fields read strings through this.
    std::optional<std::string> jsonString() const;

    // Lenient conversions. With `strict` only the value's own case converts (and int to double);
    // without it the documented conversions apply: "yes"/"on"/1/1.0 to true, integral doubles and
    // decimal texts to integers, C-locale number texts to doubles, scalars to text.
    std::optional<bool> asBool(bool strict = true) const;
    std::optional<std::int64_t> asInt(bool strict = true) const;
    std::optional<double> asDouble(bool strict = true) const;
    std::optional<std::string> asString(bool strict = true) const;

    // The text form: strings without quotes, null as "", doubles shortest round-trip with ".0" when
    // integral, data as its URL, arrays as [a, b], objects as ["k": v] ([:] when empty).
    std::string description() const;
    // A noun for error texts: "a boolean", "an integer", "a number", "a string", "data",
    // "an array", "an object", "null".
    std::string_view typeDescription() const noexcept;

    // Same case and equal payloads; texts by canonical equivalence; doubles by IEEE comparison.
    friend bool operator==(const Value& a, const Value& b);
    // Equal values give equal hashes.
    std::size_t hash() const noexcept;

private:
    friend class JsonReader;
    friend class JsonWriter;

    // The data payload together with the text it was parsed from (empty when built in code or
    // when rebuilding the URL gives the same text).
    struct DataBox {
        Data data;
        std::string sourceText;
    };
    static constexpr std::size_t kNullIndex = 7;
    using Storage =
        std::variant<bool, std::int64_t, double, std::string, std::shared_ptr<const DataBox>, Array,
                     mcp::Object, std::monostate>;

    Value(std::shared_ptr<const DataBox> box) noexcept
        : storage_(std::in_place_index<4>, std::move(box)) {}
    // The data case for a data URL whose payload decodes; absent otherwise.
    static std::optional<Value> fromDataURL(std::string_view text);

    Storage storage_;
};

// The platform text for a double: shortest digits that read back to the same value, ".0" added to
// integral values, exponent form outside [1e-4, 1e16) ("1e-05", "1e+16"). Non-finite values give
// "inf", "-inf", "nan".
std::string formatDouble(double value);
// Appends formatDouble(value) to `out`.
void appendDouble(std::string& out, double value);

// Canonical-equivalence equality and a matching hash for texts (invalid UTF-8 compares bytewise).
bool textEquals(std::string_view a, std::string_view b);
std::size_t textHash(std::string_view text) noexcept;

// Object and Value members that need Value complete.
inline std::size_t Object::size() const noexcept {
    return entries_.size();
}
inline bool Object::empty() const noexcept {
    return entries_.empty();
}
inline void Object::reserve(std::size_t count) {
    entries_.reserve(count);
}
inline Value::~Value() = default;

}  // namespace mcp

template <>
struct std::hash<mcp::Value> {
    std::size_t operator()(const mcp::Value& value) const noexcept { return value.hash(); }
};
