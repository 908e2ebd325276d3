// Identifier coding, text form and random identifiers.
#include "MCP/ID.h"

#include <openssl/rand.h>

#include <array>
#include <cmath>
#include <random>

#include "MCP/DecodingError.h"
#include "MCP/Hasher.h"

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
    if (const auto* text = stringValue()) {
        return Value(*text);
    }
    return Value(*numberValue());
}

ID ID::fromValue(const Value& value) {
    if (const std::string* text = value.stringValue()) {
        return ID(*text);
    }
    if (auto text = value.jsonString()) {
        return ID(std::move(*text));
    }
    if (auto number = value.intValue()) {
        return ID(*number);
    }
    if (auto number = value.doubleValue();
        number && *number >= -0x1p63 && *number < 0x1p63 && std::trunc(*number) == *number) {
        return ID(static_cast<std::int64_t>(*number));
    }
    if (value.isNull()) {
        return ID();
    }
    throw DecodingError::dataCorrupted({}, "ID must be string or number");
}

bool operator==(const ID& a, const ID& b) {
    if (a.storage_.index() != b.storage_.index()) {
        return false;
    }
    if (const auto* text = a.stringValue()) {
        return textEquals(*text, *b.stringValue());
    }
    return *a.numberValue() == *b.numberValue();
}

std::size_t ID::hash() const noexcept {
    Hasher hasher;
    if (const auto* text = stringValue()) {
        hasher.combine(0);
        hasher.combineText(*text);
    } else {
        hasher.combine(1);
        hasher.combine(*numberValue());
    }
    return hasher.finish();
}

}  // namespace mcp
