// Data-URL matching and splitting, strict base64, percent-decoding.
#include "MCP/JSON/DataURL.h"

#include <simdjson.h>

#include <array>
#include <cstring>

namespace mcp {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::string_view kPrefix = "data:";

// 0..63 for alphabet characters, 0xFF for everything else.
constexpr std::array<std::uint8_t, 256> makeDecodeTable() {
    std::array<std::uint8_t, 256> table{};
    for (auto& entry : table) {
        entry = 0xFF;
    }
    for (std::uint8_t i = 0; i < 64; ++i) {
        table[static_cast<unsigned char>(kAlphabet[i])] = i;
    }
    return table;
}
constexpr std::array<std::uint8_t, 256> kDecode = makeDecodeTable();

// Two output characters for every 12-bit group: halves the table look-ups of the encoder.
struct PairTable {
    std::array<char, 8192> pairs{};
    constexpr PairTable() {
        for (int i = 0; i < 4096; ++i) {
            pairs[static_cast<std::size_t>(2 * i)] = kAlphabet[i >> 6];
            pairs[static_cast<std::size_t>(2 * i + 1)] = kAlphabet[i & 63];
        }
    }
};
constexpr PairTable kPairs{};

// The parts of a data URL header, as views into the text.
struct Header {
    std::string_view mediaType;
    std::string_view charset;  // empty when absent
    bool base64 = false;
    std::string_view payload;
};

std::optional<Header> matchHeader(std::string_view text) noexcept {
    if (text.substr(0, kPrefix.size()) != kPrefix) {
        return std::nullopt;
    }
    const std::size_t comma = text.find(',', kPrefix.size());
    if (comma == std::string_view::npos) {
        return std::nullopt;
    }
    Header header;
    header.payload = text.substr(comma + 1);
    std::string_view rest = text.substr(kPrefix.size(), comma - kPrefix.size());
    std::size_t semicolon = rest.find(';');
    header.mediaType = rest.substr(0, semicolon);
    if (semicolon == std::string_view::npos) {
        return header;
    }
    rest.remove_prefix(semicolon + 1);
    constexpr std::string_view kCharset = "charset=";
    semicolon = rest.find(';');
    std::string_view parameter = rest.substr(0, semicolon);
    if (parameter.substr(0, kCharset.size()) == kCharset && parameter.size() > kCharset.size()) {
        header.charset = parameter.substr(kCharset.size());
        if (semicolon == std::string_view::npos) {
            return header;
        }
        rest.remove_prefix(semicolon + 1);
        semicolon = rest.find(';');
        parameter = rest.substr(0, semicolon);
    }
    // Only ";base64" may follow, and it must be the last parameter (directly before the comma).
    if (parameter == "base64" && semicolon == std::string_view::npos) {
        header.base64 = true;
        return header;
    }
    return std::nullopt;
}

int hexDigit(char c) noexcept {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

}  // namespace

bool isDataURL(std::string_view text) noexcept {
    return matchHeader(text).has_value();
}

std::optional<DataURLComponents> dataURLComponents(std::string_view text) {
    const std::optional<Header> header = matchHeader(text);
    if (!header) {
        return std::nullopt;
    }
    DataURLComponents parts;
    if (header->base64) {
        std::optional<Bytes> bytes = base64Decode(header->payload);
        if (!bytes) {
            return std::nullopt;
        }
        parts.bytes = std::move(*bytes);
    } else {
        std::optional<std::string> decoded = percentDecode(header->payload);
        if (!decoded) {
            return std::nullopt;
        }
        parts.bytes.assign(decoded->begin(), decoded->end());
    }
    parts.mimeType = header->mediaType.empty() ? "text/plain" : std::string(header->mediaType);
    if (!header->charset.empty() && parts.mimeType.starts_with("text/")) {
        parts.mimeType += ";charset=";
        parts.mimeType += header->charset;
    }
    return parts;
}

void appendBase64(std::string& out, std::span<const std::uint8_t> bytes) {
    const std::size_t start = out.size();
    out.resize(start + (bytes.size() + 2) / 3 * 4);
    char* dst = out.data() + start;
    const std::uint8_t* src = bytes.data();
    std::size_t remaining = bytes.size();
    while (remaining >= 3) {
        const std::uint32_t group =
            (std::uint32_t{src[0]} << 16) | (std::uint32_t{src[1]} << 8) | src[2];
        std::memcpy(dst, &kPairs.pairs[(group >> 12) * 2], 2);
        std::memcpy(dst + 2, &kPairs.pairs[(group & 0xFFF) * 2], 2);
        src += 3;
        dst += 4;
        remaining -= 3;
    }
    if (remaining > 0) {
        const std::uint32_t group =
            (std::uint32_t{src[0]} << 16) | (remaining == 2 ? std::uint32_t{src[1]} << 8 : 0);
        dst[0] = kAlphabet[(group >> 18) & 63];
        dst[1] = kAlphabet[(group >> 12) & 63];
        dst[2] = remaining == 2 ? kAlphabet[(group >> 6) & 63] : '=';
        dst[3] = '=';
    }
}

std::string base64Encode(std::span<const std::uint8_t> bytes) {
    std::string out;
    appendBase64(out, bytes);
    return out;
}

std::optional<Bytes> base64Decode(std::string_view text) {
    if (text.size() % 4 != 0) {
        return std::nullopt;
    }
    std::size_t padding = 0;
    if (!text.empty() && text.back() == '=') {
        padding = text[text.size() - 2] == '=' ? 2 : 1;
    }
    Bytes bytes(text.size() / 4 * 3 - padding);
    const auto* src = reinterpret_cast<const unsigned char*>(text.data());
    std::uint8_t* dst = bytes.data();
    const std::size_t fullGroups = padding ? text.size() / 4 - 1 : text.size() / 4;
    for (std::size_t g = 0; g < fullGroups; ++g, src += 4, dst += 3) {
        const std::uint32_t a = kDecode[src[0]], b = kDecode[src[1]], c = kDecode[src[2]],
                            d = kDecode[src[3]];
        if ((a | b | c | d) & 0x80) {
            return std::nullopt;
        }
        const std::uint32_t group = (a << 18) | (b << 12) | (c << 6) | d;
        dst[0] = static_cast<std::uint8_t>(group >> 16);
        dst[1] = static_cast<std::uint8_t>(group >> 8);
        dst[2] = static_cast<std::uint8_t>(group);
    }
    if (padding) {
        const std::uint32_t a = kDecode[src[0]], b = kDecode[src[1]];
        const std::uint32_t c = padding == 2 ? 0 : kDecode[src[2]];
        if ((a | b | c) & 0x80) {
            return std::nullopt;
        }
        const std::uint32_t group = (a << 18) | (b << 12) | (c << 6);
        // Bits beyond the last byte must be zero, so every byte string has exactly one encoding.
        if (padding == 2 ? (group & 0xFFFF) != 0 : (group & 0xFF) != 0) {
            return std::nullopt;
        }
        dst[0] = static_cast<std::uint8_t>(group >> 16);
        if (padding == 1) {
            dst[1] = static_cast<std::uint8_t>(group >> 8);
        }
    }
    return bytes;
}

std::optional<std::string> percentDecode(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        if (i + 2 >= text.size()) {
            return std::nullopt;
        }
        const int high = hexDigit(text[i + 1]);
        const int low = hexDigit(text[i + 2]);
        if (high < 0 || low < 0) {
            return std::nullopt;
        }
        out += static_cast<char>(high * 16 + low);
        i += 2;
    }
    if (!simdjson::validate_utf8(out.data(), out.size())) {
        return std::nullopt;
    }
    return out;
}

void appendDataURL(std::string& out, std::span<const std::uint8_t> bytes,
                   std::optional<std::string_view> mimeType) {
    out.reserve(out.size() + 32 + (bytes.size() + 2) / 3 * 4);
    out += kPrefix;
    out += mimeType ? *mimeType : std::string_view("text/plain");
    out += ";base64,";
    appendBase64(out, bytes);
}

std::string makeDataURL(std::span<const std::uint8_t> bytes,
                        std::optional<std::string_view> mimeType) {
    std::string out;
    appendDataURL(out, bytes, mimeType);
    return out;
}

}  // namespace mcp
