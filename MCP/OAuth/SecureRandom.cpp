#include "MCP/OAuth/SecureRandom.h"

#include <openssl/rand.h>

#include <array>
#include <climits>
#include <stdexcept>

#include "MCP/JSON/DataURL.h"

namespace mcp {

void secureRandomBytes(std::span<std::uint8_t> bytes) {
    while (!bytes.empty()) {
        const std::size_t count = std::min<std::size_t>(bytes.size(), INT_MAX);
        if (RAND_bytes(bytes.data(), static_cast<int>(count)) != 1) {
            throw std::runtime_error("The system's secure random source gave no random bytes.");
        }
        bytes = bytes.subspan(count);
    }
}

std::string randomUUIDText(const RandomByteSource& random) {
    std::array<std::uint8_t, 16> bytes{};
    random(bytes);
    bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0F) | 0x40);  // version 4
    bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(36);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) {
            text.push_back('-');
        }
        text.push_back(kDigits[bytes[i] >> 4]);
        text.push_back(kDigits[bytes[i] & 0x0F]);
    }
    return text;
}

std::string base64URLEncode(std::span<const std::uint8_t> bytes) {
    std::string text = base64Encode(bytes);
    while (!text.empty() && text.back() == '=') {
        text.pop_back();
    }
    for (char& c : text) {
        if (c == '+') {
            c = '-';
        } else if (c == '/') {
            c = '_';
        }
    }
    return text;
}

}  // namespace mcp
