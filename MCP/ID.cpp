// Identifier coding, text form and random identifiers.
#include "MCP/ID.h"

#include <openssl/rand.h>
#include <pthread.h>

#include <array>
#include <cstring>
#include <random>
#include <utility>
#include <variant>

#include "MCP/DecodingError.h"
#include "MCP/detail/StringOrInteger.h"

namespace mcp {

namespace {

// Random bytes drawn from OpenSSL a few thousand at a time: one draw per identifier would cost a
// system call (OpenSSL's fork check) and most of a request's time on a fast transport.
struct RandomPool {
    static constexpr std::size_t kSize = 4096;
    std::array<unsigned char, kSize> bytes{};
    std::size_t used = kSize;

    void take(unsigned char* out, std::size_t count) {
        if (used + count > kSize) {
            refill();
        }
        std::memcpy(out, bytes.data() + used, count);
        used += count;
    }

    void refill() {
        if (RAND_bytes(bytes.data(), static_cast<int>(bytes.size())) != 1) {
            // OpenSSL's generator failing is not expected; the identifier only has to be
            // unique among this process's requests, which the system's entropy source still
            // gives.
            std::random_device device;
            for (auto& byte : bytes) {
                byte = static_cast<unsigned char>(device());
            }
        }
        used = 0;
    }
};

RandomPool& randomPool() {
    thread_local RandomPool pool;
    // A forked child must not hand out the bytes its parent hands out too.
    static const bool forkGuard = [] {
        ::pthread_atfork(nullptr, nullptr, [] { randomPool().used = RandomPool::kSize; });
        return true;
    }();
    (void)forkGuard;
    return pool;
}

}  // namespace

ID ID::newRandom() {
    std::array<unsigned char, 16> bytes{};
    randomPool().take(bytes.data(), bytes.size());
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
