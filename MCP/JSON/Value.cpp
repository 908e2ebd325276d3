// Value: accessors, conversions, text forms, equality and hashing; the sorted object map.
#include "MCP/JSON/Value.h"

#include <locale.h>
#include <utf8proc.h>

#include <algorithm>
#include <bit>
#include <charconv>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "MCP/JSON/DataURL.h"

namespace mcp {

namespace {

// A small streaming hasher: every fed word is mixed into the state (multiply-xorshift), so the
// feeding order of the cases matters as it should.
class Hasher {
public:
    void word(std::uint64_t value) noexcept {
        state_ ^= value + 0x9E3779B97F4A7C15ull + (state_ << 6) + (state_ >> 2);
        state_ *= 0xBF58476D1CE4E5B9ull;
        state_ ^= state_ >> 31;
    }
    void bytes(const void* data, std::size_t size) noexcept {
        const auto* p = static_cast<const unsigned char*>(data);
        word(size);
        while (size >= 8) {
            std::uint64_t chunk;
            std::memcpy(&chunk, p, 8);
            word(chunk);
            p += 8;
            size -= 8;
        }
        std::uint64_t tail = 0;
        if (size != 0) {
            std::memcpy(&tail, p, size);
        }
        word(tail);
    }
    std::uint64_t finish() const noexcept {
        std::uint64_t h = state_;
        h ^= h >> 33;
        h *= 0xFF51AFD7ED558CCDull;
        h ^= h >> 33;
        return h;
    }

private:
    std::uint64_t state_ = 0x243F6A8885A308D3ull;
};

bool isAscii(std::string_view text) noexcept {
    std::uint64_t any = 0;
    std::size_t i = 0;
    for (; i + 8 <= text.size(); i += 8) {
        std::uint64_t chunk;
        std::memcpy(&chunk, text.data() + i, 8);
        any |= chunk;
    }
    for (; i < text.size(); ++i) {
        any |= static_cast<unsigned char>(text[i]);
    }
    return (any & 0x8080808080808080ull) == 0;
}

// NFC form of valid UTF-8; absent for invalid UTF-8.
std::optional<std::string> composed(std::string_view text) {
    utf8proc_uint8_t* result = nullptr;
    const utf8proc_ssize_t length =
        utf8proc_map(reinterpret_cast<const utf8proc_uint8_t*>(text.data()),
                     static_cast<utf8proc_ssize_t>(text.size()), &result,
                     static_cast<utf8proc_option_t>(UTF8PROC_STABLE | UTF8PROC_COMPOSE));
    if (length < 0) {
        return std::nullopt;
    }
    std::string normal(reinterpret_cast<const char*>(result), static_cast<std::size_t>(length));
    std::free(result);
    return normal;
}

void hashText(Hasher& hasher, std::string_view text) {
    if (isAscii(text)) {
        hasher.bytes(text.data(), text.size());
        return;
    }
    if (std::optional<std::string> normal = composed(text)) {
        hasher.bytes(normal->data(), normal->size());
    } else {
        hasher.bytes(text.data(), text.size());
    }
}

void hashValue(Hasher& hasher, const Value& value);

void hashObject(Hasher& hasher, const Object& object) {
    // Order-independent: the sum of the entries' own hashes.
    std::uint64_t sum = 0;
    for (const auto& [key, member] : object) {
        Hasher entry;
        hashText(entry, key);
        hashValue(entry, member);
        sum += entry.finish();
    }
    hasher.word(sum);
}

void hashValue(Hasher& hasher, const Value& value) {
    switch (value.kind()) {
        case Value::Kind::Bool:
            hasher.word(1);
            hasher.word(*value.boolValue() ? 1 : 0);
            break;
        case Value::Kind::Int:
            hasher.word(2);
            hasher.word(static_cast<std::uint64_t>(*value.intValue()));
            break;
        case Value::Kind::Double: {
            hasher.word(3);
            const double d = *value.doubleValue();
            hasher.word(d == 0.0 ? 0 : std::bit_cast<std::uint64_t>(d));
            break;
        }
        case Value::Kind::String:
            hasher.word(4);
            hashText(hasher, *value.stringValue());
            break;
        case Value::Kind::Data: {
            const Value::Data& data = *value.dataValue();
            hasher.word(5);
            if (data.mimeType) {
                hasher.word(1);
                hashText(hasher, *data.mimeType);
            } else {
                hasher.word(0);
            }
            hasher.bytes(data.bytes.data(), data.bytes.size());
            break;
        }
        case Value::Kind::Array: {
            const Array& array = *value.arrayValue();
            hasher.word(6);
            hasher.word(array.size());
            for (const Value& element : array) {
                hashValue(hasher, element);
            }
            break;
        }
        case Value::Kind::Object:
            hasher.word(7);
            hashObject(hasher, *value.objectValue());
            break;
        case Value::Kind::Null:
            hasher.word(0);
            break;
    }
}

struct KeyLess {
    bool operator()(const Object::Entry& entry, std::string_view key) const noexcept {
        return std::string_view(entry.first) < key;
    }
};

locale_t cLocale() {
    static const locale_t locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    return locale;
}

void appendDescription(std::string& out, const Value& value) {
    switch (value.kind()) {
        case Value::Kind::Bool:
            out += *value.boolValue() ? "true" : "false";
            break;
        case Value::Kind::Int: {
            char buffer[24];
            const auto result = std::to_chars(buffer, buffer + sizeof buffer, *value.intValue());
            out.append(buffer, result.ptr);
            break;
        }
        case Value::Kind::Double:
            appendDouble(out, *value.doubleValue());
            break;
        case Value::Kind::String:
            out += *value.stringValue();
            break;
        case Value::Kind::Data:
            out += *value.jsonString();
            break;
        case Value::Kind::Array: {
            out += '[';
            bool first = true;
            for (const Value& element : *value.arrayValue()) {
                if (!first) {
                    out += ", ";
                }
                first = false;
                appendDescription(out, element);
            }
            out += ']';
            break;
        }
        case Value::Kind::Object: {
            const Object& object = *value.objectValue();
            if (object.empty()) {
                out += "[:]";
                break;
            }
            out += '[';
            bool first = true;
            for (const auto& [key, member] : object) {
                if (!first) {
                    out += ", ";
                }
                first = false;
                out += '"';
                out += key;
                out += "\": ";
                appendDescription(out, member);
            }
            out += ']';
            break;
        }
        case Value::Kind::Null:
            break;
    }
}

}  // namespace

// ---- Object ----

Object::Object(std::initializer_list<Entry> entries)
    : Object(fromEntries(std::vector<Entry>(entries))) {}

Object Object::fromEntries(std::vector<Entry> entries) {
    Object object;
    const auto byKey = [](const Entry& a, const Entry& b) { return a.first < b.first; };
    if (entries.size() <= 16) {
        // Stable insertion sort: MCP objects are small, and it needs no scratch buffer.
        for (std::size_t i = 1; i < entries.size(); ++i) {
            if (!byKey(entries[i], entries[i - 1])) {
                continue;
            }
            Entry moving = std::move(entries[i]);
            std::size_t j = i;
            for (; j > 0 && byKey(moving, entries[j - 1]); --j) {
                entries[j] = std::move(entries[j - 1]);
            }
            entries[j] = std::move(moving);
        }
    } else if (!std::is_sorted(entries.begin(), entries.end(), byKey)) {
        std::stable_sort(entries.begin(), entries.end(), byKey);
    }
    // Among equal keys (adjacent now, in their original order) keep the last.
    auto out = entries.begin();
    for (auto in = entries.begin(); in != entries.end(); ++in) {
        auto next = in + 1;
        if (next != entries.end() && next->first == in->first) {
            continue;
        }
        if (out != in) {
            *out = std::move(*in);
        }
        ++out;
    }
    entries.erase(out, entries.end());
    object.entries_ = std::move(entries);
    return object;
}

const Value* Object::find(std::string_view key) const noexcept {
    // The objects of MCP messages have a handful of members: comparing lengths first finds one
    // faster than a binary search, whose every step compares texts.
    if (entries_.size() <= 8) {
        for (const Entry& entry : entries_) {
            if (entry.first.size() == key.size() &&
                (key.empty() || std::memcmp(entry.first.data(), key.data(), key.size()) == 0)) {
                return &entry.second;
            }
        }
        return nullptr;
    }
    const auto it = std::lower_bound(entries_.begin(), entries_.end(), key, KeyLess{});
    return it != entries_.end() && it->first == key ? &it->second : nullptr;
}

Value* Object::find(std::string_view key) noexcept {
    return const_cast<Value*>(static_cast<const Object*>(this)->find(key));
}

Value& Object::insertOrAssign(std::string key, Value value) {
    const auto it = std::lower_bound(entries_.begin(), entries_.end(), key, KeyLess{});
    if (it != entries_.end() && it->first == key) {
        it->second = std::move(value);
        return it->second;
    }
    return entries_.emplace(it, std::move(key), std::move(value))->second;
}

Value& Object::operator[](std::string_view key) {
    const auto it = std::lower_bound(entries_.begin(), entries_.end(), key, KeyLess{});
    if (it != entries_.end() && it->first == key) {
        return it->second;
    }
    return entries_.emplace(it, std::string(key), Value())->second;
}

bool Object::erase(std::string_view key) {
    const auto it = std::lower_bound(entries_.begin(), entries_.end(), key, KeyLess{});
    if (it == entries_.end() || it->first != key) {
        return false;
    }
    entries_.erase(it);
    return true;
}

bool operator==(const Object& a, const Object& b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.entries_.size(); ++i) {
        if (a.entries_[i].first != b.entries_[i].first ||
            !(a.entries_[i].second == b.entries_[i].second)) {
            return false;
        }
    }
    return true;
}

// ---- Value ----

Value::Value(Data data)
    : storage_(std::in_place_index<4>,
               std::make_shared<const DataBox>(DataBox{std::move(data), {}})) {}

Value::Value(const Value&) = default;
Value& Value::operator=(const Value&) = default;

std::optional<Value> Value::fromDataURL(std::string_view text) {
    std::optional<DataURLComponents> parts = dataURLComponents(text);
    if (!parts) {
        return std::nullopt;
    }
    // Keep the text only when rebuilding the URL would not give it back: base64 is decoded
    // strictly, so "data:" + type + ";base64," in front means the rebuilt text is the same.
    const bool canonical = text.substr(5, parts->mimeType.size()) == parts->mimeType &&
                           text.substr(5 + parts->mimeType.size(), 8) == ";base64,";
    auto box = std::make_shared<DataBox>();
    box->data.mimeType = std::move(parts->mimeType);
    box->data.bytes = std::move(parts->bytes);
    if (!canonical) {
        box->sourceText = std::string(text);
    }
    return Value(std::shared_ptr<const DataBox>(std::move(box)));
}

Value Value::fromJsonString(std::string text) {
    if (text.starts_with("data:")) {
        if (std::optional<Value> data = fromDataURL(text)) {
            return std::move(*data);
        }
    }
    return Value(std::move(text));
}

std::optional<bool> Value::boolValue() const noexcept {
    if (const bool* b = std::get_if<0>(&storage_)) {
        return *b;
    }
    return std::nullopt;
}

std::optional<std::int64_t> Value::intValue() const noexcept {
    if (const std::int64_t* i = std::get_if<1>(&storage_)) {
        return *i;
    }
    return std::nullopt;
}

std::optional<double> Value::doubleValue() const noexcept {
    if (const double* d = std::get_if<2>(&storage_)) {
        return *d;
    }
    return std::nullopt;
}

const std::string* Value::stringValue() const noexcept {
    return std::get_if<3>(&storage_);
}

std::string* Value::stringValue() noexcept {
    return std::get_if<3>(&storage_);
}

const Value::Data* Value::dataValue() const noexcept {
    if (const auto* box = std::get_if<4>(&storage_)) {
        return &(*box)->data;
    }
    return nullptr;
}

const Array* Value::arrayValue() const noexcept {
    return std::get_if<5>(&storage_);
}
Array* Value::arrayValue() noexcept {
    return std::get_if<5>(&storage_);
}
const Object* Value::objectValue() const noexcept {
    return std::get_if<6>(&storage_);
}
Object* Value::objectValue() noexcept {
    return std::get_if<6>(&storage_);
}

const Value* Value::find(std::string_view key) const noexcept {
    const Object* object = objectValue();
    return object ? object->find(key) : nullptr;
}

std::optional<std::string> Value::jsonString() const {
    if (const std::string* s = stringValue()) {
        return *s;
    }
    if (const auto* box = std::get_if<4>(&storage_)) {
        if (!(*box)->sourceText.empty()) {
            return (*box)->sourceText;
        }
        const Data& data = (*box)->data;
        return makeDataURL(data.bytes, data.mimeType
                                           ? std::optional<std::string_view>(*data.mimeType)
                                           : std::nullopt);
    }
    return std::nullopt;
}

std::optional<bool> Value::asBool(bool strict) const {
    if (const bool* b = std::get_if<0>(&storage_)) {
        return *b;
    }
    if (strict) {
        return std::nullopt;
    }
    if (const std::int64_t* i = std::get_if<1>(&storage_)) {
        if (*i == 1 || *i == 0) {
            return *i == 1;
        }
    } else if (const double* d = std::get_if<2>(&storage_)) {
        if (*d == 1.0 || *d == 0.0) {
            return *d == 1.0;
        }
    } else if (const std::string* s = std::get_if<3>(&storage_)) {
        static constexpr std::string_view kTrue[] = {"true", "t", "yes", "y", "on", "1"};
        static constexpr std::string_view kFalse[] = {"false", "f", "no", "n", "off", "0"};
        if (std::find(std::begin(kTrue), std::end(kTrue), *s) != std::end(kTrue)) {
            return true;
        }
        if (std::find(std::begin(kFalse), std::end(kFalse), *s) != std::end(kFalse)) {
            return false;
        }
    }
    return std::nullopt;
}

std::optional<std::int64_t> Value::asInt(bool strict) const {
    if (const std::int64_t* i = std::get_if<1>(&storage_)) {
        return *i;
    }
    if (strict) {
        return std::nullopt;
    }
    if (const double* d = std::get_if<2>(&storage_)) {
        // [-2^63, 2^63): both bounds are exact doubles.
        if (std::isfinite(*d) && std::trunc(*d) == *d && *d >= -9223372036854775808.0 &&
            *d < 9223372036854775808.0) {
            return static_cast<std::int64_t>(*d);
        }
    } else if (const std::string* s = std::get_if<3>(&storage_)) {
        std::string_view text(*s);
        if (!text.empty() && text.front() == '+') {
            text.remove_prefix(1);
            if (!text.empty() && text.front() == '-') {
                return std::nullopt;
            }
        }
        if (text.empty() || text == "-") {
            return std::nullopt;
        }
        std::int64_t result = 0;
        const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), result);
        if (error == std::errc() && end == text.data() + text.size()) {
            return result;
        }
    }
    return std::nullopt;
}

std::optional<double> Value::asDouble(bool strict) const {
    if (const double* d = std::get_if<2>(&storage_)) {
        return *d;
    }
    if (const std::int64_t* i = std::get_if<1>(&storage_)) {
        return static_cast<double>(*i);
    }
    if (strict) {
        return std::nullopt;
    }
    if (const std::string* s = std::get_if<3>(&storage_)) {
        if (s->empty() || s->front() == '\0' ||
            std::isspace(static_cast<unsigned char>(s->front()))) {
            return std::nullopt;
        }
        char* end = nullptr;
        const double result = strtod_l(s->c_str(), &end, cLocale());
        if (end == s->c_str() + s->size()) {
            return result;
        }
    }
    return std::nullopt;
}

std::optional<std::string> Value::asString(bool strict) const {
    if (const std::string* s = std::get_if<3>(&storage_)) {
        return *s;
    }
    if (strict) {
        return std::nullopt;
    }
    switch (kind()) {
        case Kind::Bool:
        case Kind::Int:
        case Kind::Double:
            return description();
        default:
            return std::nullopt;
    }
}

std::string Value::description() const {
    std::string out;
    appendDescription(out, *this);
    return out;
}

std::string_view Value::typeDescription() const noexcept {
    switch (kind()) {
        case Kind::Bool:
            return "a boolean";
        case Kind::Int:
            return "an integer";
        case Kind::Double:
            return "a number";
        case Kind::String:
            return "a string";
        case Kind::Data:
            return "data";
        case Kind::Array:
            return "an array";
        case Kind::Object:
            return "an object";
        case Kind::Null:
            return "null";
    }
    return "null";
}

bool operator==(const Value& a, const Value& b) {
    if (a.storage_.index() != b.storage_.index()) {
        return false;
    }
    switch (a.kind()) {
        case Value::Kind::Bool:
            return std::get<0>(a.storage_) == std::get<0>(b.storage_);
        case Value::Kind::Int:
            return std::get<1>(a.storage_) == std::get<1>(b.storage_);
        case Value::Kind::Double:
            return std::get<2>(a.storage_) == std::get<2>(b.storage_);
        case Value::Kind::String:
            return textEquals(std::get<3>(a.storage_), std::get<3>(b.storage_));
        case Value::Kind::Data: {
            const Value::Data& x = *a.dataValue();
            const Value::Data& y = *b.dataValue();
            if (&x == &y) {
                return true;
            }
            if (x.mimeType.has_value() != y.mimeType.has_value()) {
                return false;
            }
            if (x.mimeType && !textEquals(*x.mimeType, *y.mimeType)) {
                return false;
            }
            return x.bytes == y.bytes;
        }
        case Value::Kind::Array:
            return std::get<5>(a.storage_) == std::get<5>(b.storage_);
        case Value::Kind::Object:
            return std::get<6>(a.storage_) == std::get<6>(b.storage_);
        case Value::Kind::Null:
            return true;
    }
    return false;
}

std::size_t Value::hash() const noexcept {
    Hasher hasher;
    hashValue(hasher, *this);
    return static_cast<std::size_t>(hasher.finish());
}

// ---- Texts and numbers ----

bool textEquals(std::string_view a, std::string_view b) {
    if (a == b) {
        return true;
    }
    if (isAscii(a) && isAscii(b)) {
        return false;
    }
    std::optional<std::string> x = composed(a);
    std::optional<std::string> y = composed(b);
    if (!x || !y) {
        return false;
    }
    return *x == *y;
}

std::size_t textHash(std::string_view text) noexcept {
    Hasher hasher;
    hashText(hasher, text);
    return static_cast<std::size_t>(hasher.finish());
}

void appendDouble(std::string& out, double value) {
    if (std::isnan(value)) {
        out += "nan";
        return;
    }
    if (std::isinf(value)) {
        out += value < 0 ? "-inf" : "inf";
        return;
    }
    // Shortest round-trip digits in scientific form: [-]d[.ddd]e[+-]xx.
    char buffer[40];
    const auto result =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
    std::string_view text(buffer, static_cast<std::size_t>(result.ptr - buffer));
    const bool negative = text.front() == '-';
    if (negative) {
        text.remove_prefix(1);
    }
    const std::size_t e = text.find('e');
    std::string digits(text.substr(0, e));
    if (digits.size() > 1) {
        digits.erase(1, 1);  // drop the decimal point
    }
    int exponent = 0;
    std::string_view exponentText = text.substr(e + 1);
    if (exponentText.front() == '+') {
        exponentText.remove_prefix(1);
    }
    std::from_chars(exponentText.data(), exponentText.data() + exponentText.size(), exponent);

    if (negative) {
        out += '-';
    }
    if (value == 0.0) {
        out += "0.0";
        return;
    }
    if (exponent >= -4 && exponent < 16) {
        if (exponent < 0) {
            out += "0.";
            out.append(static_cast<std::size_t>(-exponent - 1), '0');
            out += digits;
        } else {
            const std::size_t integerDigits = static_cast<std::size_t>(exponent) + 1;
            if (digits.size() <= integerDigits) {
                out += digits;
                out.append(integerDigits - digits.size(), '0');
                out += ".0";
            } else {
                out.append(digits, 0, integerDigits);
                out += '.';
                out.append(digits, integerDigits);
            }
        }
        return;
    }
    out += digits.front();
    if (digits.size() > 1) {
        out += '.';
        out.append(digits, 1);
    }
    out += 'e';
    out += exponent < 0 ? '-' : '+';
    const int magnitude = exponent < 0 ? -exponent : exponent;
    if (magnitude < 10) {
        out += '0';
    }
    out += std::to_string(magnitude);
}

std::string formatDouble(double value) {
    std::string out;
    appendDouble(out, value);
    return out;
}

}  // namespace mcp
