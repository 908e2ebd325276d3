// Identifier coding, text form and random identifiers.
#include "MCP/ID.h"

#include <openssl/rand.h>

#include <array>
#include <random>
#include <utility>
#include <variant>

#include "MCP/DecodingError.h"
#include "MCP/detail/StringOrInteger.h"

namespace mcp {

ID ID::newRandom() {
    std::array<unsigned char, 16> bytes{};
    if (RAND_bytes(bytes.data(), static_cast<int>(bytes.size())) != 1) {
        // OpenSSL's generator failing is not expected; the identifier only has to be unique
        // among this process's requests, which the system's entropy source still gives.
        std::random_device device;
        for (auto& byte : bytes) {
            byte = static_cast<unsigned char>(device());
        }
    }
    bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40);  // version 4
    bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(36);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) {
            text += '-';
        }
        text += kDigits[bytes[i] >> 4];
        text += kDigits[bytes[i] & 0x0F];
    }
    return ID(std::move(text));
}

std::string ID::description() const {
    if (const auto* text = stringValue()) {
        return *text;
    }
    return std::to_string(*numberValue());
}

Value ID::toValue() const {
    return detail::encodeStringOrInteger(storage_);
}

ID ID::fromValue(const Value& value) {
    if (auto decoded = detail::decodeStringOrInteger(value)) {
        return std::visit([](auto& part) { return ID(std::move(part)); }, *decoded);
    }
    // A null identifier reads as the empty text.
    if (value.isNull()) {
        return ID();
    }
    throw DecodingError::dataCorrupted({}, "ID must be string or number");
}

bool operator==(const ID& a, const ID& b) {
    return detail::stringOrIntegerEquals(a.storage_, b.storage_);
}

std::size_t ID::hash() const noexcept {
    return detail::hashStringOrInteger(storage_);
}

}  // namespace mcp
