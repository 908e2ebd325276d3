// Value to compact JSON text.
#include "MCP/JSON/JsonWriter.h"

#include <simdjson.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "MCP/JSON/DataURL.h"

namespace mcp {

namespace {

// Values built in code are not bounded by the parser's nesting limit; keep the writer's recursion
// far from the end of the stack all the same.
constexpr std::size_t kMaxWriteDepth = 1024;

// Characters that cannot appear raw inside a JSON string: controls, '"' and '\\'.
constexpr std::array<bool, 256> makeEscapeTable() {
    std::array<bool, 256> table{};
    for (int c = 0; c < 0x20; ++c) {
        table[static_cast<std::size_t>(c)] = true;
    }
    table['"'] = true;
    table['\\'] = true;
    return table;
}
constexpr std::array<bool, 256> kNeedsEscape = makeEscapeTable();

constexpr std::uint64_t kOnes = 0x0101010101010101ull;
constexpr std::uint64_t kHighs = 0x8080808080808080ull;

// Whether any of the eight bytes is a control character, '"' or '\\' (bytes of 0x80 and above
// may report a false positive, which only sends the loop down the byte-wise path).
inline bool needsEscape(std::uint64_t x) noexcept {
    const std::uint64_t below20 = x - kOnes * 0x20;
    const std::uint64_t quote = x ^ (kOnes * '"');
    const std::uint64_t backslash = x ^ (kOnes * '\\');
    return (((below20 & ~x) | ((quote - kOnes) & ~quote) | ((backslash - kOnes) & ~backslash)) &
            kHighs) != 0;
}

}  // namespace

EncodingError::EncodingError(CodingPath codingPath, std::string debugDescription)
    : codingPath_(std::move(codingPath)), debugDescription_(std::move(debugDescription)) {
    message_ = debugDescription_;
    if (!codingPath_.empty()) {
        message_ += " (at ";
        message_ += describeCodingPath(codingPath_);
        message_ += ')';
    }
}

namespace {

// What one pass over a text finds: whether it is valid UTF-8 (checked only when it is not plain
// ASCII) and whether anything in it needs an escape.
struct TextScan {
    bool valid = true;
    bool escapes = false;
};

TextScan scanText(std::string_view text) {
    const char* p = text.data();
    const char* const end = p + text.size();
    std::uint64_t high = 0;
    bool escapes = false;
    for (; end - p >= 8; p += 8) {
        std::uint64_t chunk;
        std::memcpy(&chunk, p, 8);
        high |= chunk;
        escapes |= needsEscape(chunk);
    }
    for (; p != end; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        high |= c;
        escapes |= kNeedsEscape[c];
    }
    const bool valid = (high & kHighs) == 0 || simdjson::validate_utf8(text.data(), text.size());
    return {valid, escapes};
}

// The escape that stands for `c` in a JSON string (one that needsEscape), written into `buffer`
// when it is a \u sequence.
std::string_view escapeSequence(unsigned char c, char (&buffer)[6]) {
    switch (c) {
        case '"':
            return "\\\"";
        case '\\':
            return "\\\\";
        case '\n':
            return "\\n";
        case '\r':
            return "\\r";
        case '\t':
            return "\\t";
        case '\b':
            return "\\b";
        case '\f':
            return "\\f";
        default: {
            static constexpr char kHex[] = "0123456789abcdef";
            buffer[0] = '\\';
            buffer[1] = 'u';
            buffer[2] = '0';
            buffer[3] = '0';
            buffer[4] = kHex[c >> 4];
            buffer[5] = kHex[c & 15];
            return std::string_view(buffer, sizeof buffer);
        }
    }
}

// Hands the body of a JSON string to `put` piece by piece: runs of characters as they are and the
// escapes between them. `escapes` is what scanText found.
template <class Put>
void putEscaped(std::string_view text, bool escapes, Put&& put) {
    if (!escapes) {
        put(text);
        return;
    }
    const char* const end = text.data() + text.size();
    const char* run = text.data();
    for (const char* p = text.data(); p != end; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        if (kNeedsEscape[c]) {
            put(std::string_view(run, static_cast<std::size_t>(p - run)));
            char buffer[6];
            put(escapeSequence(c, buffer));
            run = p + 1;
        }
    }
    put(std::string_view(run, static_cast<std::size_t>(end - run)));
}

}  // namespace

// Appends to one output string through a raw cursor: the string is grown ahead in large steps
// and trimmed to what was written at the end, so writing a character is a store, not a call.
// Failures travel outwards as a false result: each container on the way adds its key, so the path
// to the offending value costs nothing unless something fails.
class JsonWriter {
public:
    explicit JsonWriter(std::string& out) : out_(out), start_(out.size()) {}

    void write(const Value& value) { finish(writeValue(value, 0)); }
    void write(const Object& object) { finish(writeObject(object, 0)); }

private:
    void finish(bool written) {
        out_.resize(written && pos_ ? static_cast<std::size_t>(pos_ - out_.data()) : start_);
        if (!written) {
            throw EncodingError(CodingPath(reversePath_.rbegin(), reversePath_.rend()),
                                std::move(failure_));
        }
    }

    // Room for `count` more characters at pos_.
    void reserve(std::size_t count) {
        if (static_cast<std::size_t>(end_ - pos_) >= count) {
            return;
        }
        const std::size_t used = pos_ ? static_cast<std::size_t>(pos_ - out_.data()) : out_.size();
        std::size_t size = std::max<std::size_t>(out_.size() * 2, 256);
        size = std::max(size, used + count);
        out_.resize(size);
        pos_ = out_.data() + used;
        end_ = out_.data() + size;
    }
    void put(char c) {
        reserve(1);
        *pos_++ = c;
    }
    void put(std::string_view text) {
        if (text.empty()) {
            return;
        }
        reserve(text.size());
        std::memcpy(pos_, text.data(), text.size());
        pos_ += text.size();
    }

    [[nodiscard]] bool writeValue(const Value& value, std::size_t depth) {
        switch (value.kind()) {
            case Value::Kind::Bool:
                put(*std::get_if<0>(&value.storage_) ? std::string_view("true")
                                                     : std::string_view("false"));
                return true;
            case Value::Kind::Int: {
                reserve(24);
                pos_ = std::to_chars(pos_, end_, *std::get_if<1>(&value.storage_)).ptr;
                return true;
            }
            case Value::Kind::Double: {
                const double d = *std::get_if<2>(&value.storage_);
                if (!std::isfinite(d)) {
                    return fail(std::string("Unable to encode ") +
                                (std::isnan(d) ? "NaN" : "an infinite number") + " in JSON.");
                }
                thread_local std::string number;
                number.clear();
                appendDouble(number, d);
                put(number);
                return true;
            }
            case Value::Kind::String:
                return writeString(*std::get_if<3>(&value.storage_));
            case Value::Kind::Data:
                return writeData(**std::get_if<4>(&value.storage_));
            case Value::Kind::Array: {
                if (depth >= kMaxWriteDepth) {
                    return failTooDeep();
                }
                const Array& array = *std::get_if<5>(&value.storage_);
                put('[');
                for (std::size_t i = 0; i < array.size(); ++i) {
                    if (i != 0) {
                        put(',');
                    }
                    if (!writeValue(array[i], depth + 1)) {
                        reversePath_.push_back(CodingKey::at(i));
                        return false;
                    }
                }
                put(']');
                return true;
            }
            case Value::Kind::Object:
                return writeObject(*std::get_if<6>(&value.storage_), depth);
            case Value::Kind::Null:
                put("null");
                return true;
        }
        return true;
    }

    [[nodiscard]] bool writeObject(const Object& object, std::size_t depth) {
        if (depth >= kMaxWriteDepth) {
            return failTooDeep();
        }
        put('{');
        bool first = true;
        for (const auto& [key, member] : object) {
            if (!first) {
                put(',');
            }
            first = false;
            if (!writeString(key, ':') || !writeValue(member, depth + 1)) {
                reversePath_.push_back(CodingKey::key(key));
                return false;
            }
        }
        put('}');
        return true;
    }

    [[nodiscard]] bool writeData(const Value::DataBox& box) {
        if (!box.sourceText.empty()) {
            return writeString(box.sourceText);
        }
        const Value::Data& data = box.data;
        const std::string_view type =
            data.mimeType ? std::string_view(*data.mimeType) : "text/plain";
        // The media type may come from code and need escapes; base64 never does.
        put('"');
        put("data:");
        if (!writeStringBody(type)) {
            return false;
        }
        put(";base64,");
        const std::size_t encoded = (data.bytes.size() + 2) / 3 * 4;
        reserve(encoded + 1);
        const std::size_t at = static_cast<std::size_t>(pos_ - out_.data());
        // appendBase64 appends to a string: let it append to ours at the cursor, then take over.
        out_.resize(at);
        appendBase64(out_, data.bytes);
        out_.resize(out_.capacity());
        pos_ = out_.data() + at + encoded;
        end_ = out_.data() + out_.size();
        put('"');
        return true;
    }

    // Writes `text` as a JSON string, followed by `suffix` when it is not NUL (':' after keys).
    [[nodiscard]] bool writeString(std::string_view text, char suffix = '\0') {
        reserve(text.size() + 3);
        *pos_++ = '"';
        if (!writeStringBody(text)) {
            return false;
        }
        reserve(2);
        *pos_++ = '"';
        if (suffix != '\0') {
            *pos_++ = suffix;
        }
        return true;
    }

    // The characters of a JSON string between its quotes.
    [[nodiscard]] bool writeStringBody(std::string_view text) {
        // One pass finds out whether the text is plain ASCII and whether anything needs escaping.
        const TextScan scan = scanText(text);
        if (!scan.valid) {
            return failNotUtf8();
        }
        putEscaped(text, scan.escapes, [&](std::string_view piece) { put(piece); });
        return true;
    }

    bool fail(std::string description) {
        failure_ = std::move(description);
        return false;
    }
    bool failNotUtf8() { return fail("Unable to encode text that is not valid UTF-8 in JSON."); }
    bool failTooDeep() {
        return fail("Unable to encode a value nested more than " + std::to_string(kMaxWriteDepth) +
                    " levels deep in JSON.");
    }

    std::string& out_;
    const std::size_t start_;
    char* pos_ = nullptr;
    char* end_ = nullptr;
    CodingPath reversePath_;
    std::string failure_;
};

void appendJson(std::string& out, const Value& value) {
    JsonWriter(out).write(value);
}

void appendJson(std::string& out, const Object& object) {
    JsonWriter(out).write(object);
}

void appendJsonString(std::string& out, std::string_view text) {
    const TextScan scan = scanText(text);
    if (!scan.valid) {
        throw EncodingError({}, "Unable to encode text that is not valid UTF-8 in JSON.");
    }
    out += '"';
    putEscaped(text, scan.escapes, [&](std::string_view piece) { out += piece; });
    out += '"';
}

std::string toJson(const Value& value) {
    // Grow a per-thread buffer rather than the result, so the result is allocated once.
    thread_local std::string scratch;
    scratch.clear();
    JsonWriter(scratch).write(value);
    std::string out(scratch);
    if (scratch.capacity() > (std::size_t{8} << 20)) {
        std::string().swap(scratch);  // do not keep megabytes per thread after a large message
    }
    return out;
}

}  // namespace mcp
