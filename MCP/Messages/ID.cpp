// Identifier coding, text form and random identifiers.
#include "MCP/Messages/ID.h"

#include <pthread.h>
#include <sys/random.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <random>
#include <utility>
#include <variant>

#include "MCP/JSON/DecodingError.h"
#include "MCP/JSON/Hasher.h"
#include "MCP/Messages/detail/StringOrInteger.h"

namespace mcp {

namespace {

// Random bytes drawn from the kernel a few thousand at a time: one draw per identifier would cost
// a system call and most of a request's time on a fast transport.
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
        if (!fillFromKernel()) {
            // The kernel's generator failing is not expected; the identifier only has to be
            // unique among this process's requests, which the standard library's entropy
            // source still gives.
            std::random_device device;
            for (auto& byte : bytes) {
                byte = static_cast<unsigned char>(device());
            }
        }
        used = 0;
    }

    bool fillFromKernel() {
        std::size_t filled = 0;
        while (filled < bytes.size()) {
            const ssize_t got = ::getrandom(bytes.data() + filled, bytes.size() - filled, 0);
            if (got < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return false;
            }
            filled += static_cast<std::size_t>(got);
        }
        return true;
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

ID::ID(std::string text) : storage_(ShortText{}) {
    if (text.size() <= kShortCapacity) {
        *this = ID(std::string_view(text));
    } else {
        storage_ = std::move(text);
    }
}

ID::ID(std::string_view text) : storage_(ShortText{}) {
    if (text.size() <= kShortCapacity) {
        auto& stored = std::get<ShortText>(storage_);
        std::memcpy(stored.bytes, text.data(), text.size());
        stored.size = static_cast<std::uint8_t>(text.size());
    } else {
        storage_ = std::string(text);
    }
}

ID ID::newRandom() {
    std::array<unsigned char, 16> bytes{};
    randomPool().take(bytes.data(), bytes.size());
    bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40);  // version 4
    bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
    static constexpr char kDigits[] = "0123456789ABCDEF";
    static_assert(kShortCapacity >= 36);
    ID id;
    auto& text = std::get<ShortText>(id.storage_);
    std::size_t size = 0;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) {
            text.bytes[size++] = '-';
        }
        text.bytes[size++] = kDigits[bytes[i] >> 4];
        text.bytes[size++] = kDigits[bytes[i] & 0x0F];
    }
    text.size = static_cast<std::uint8_t>(size);
    return id;
}

std::optional<std::string_view> ID::stringValue() const noexcept {
    if (const auto* text = std::get_if<ShortText>(&storage_)) {
        return std::string_view(text->bytes, text->size);
    }
    if (const auto* text = std::get_if<std::string>(&storage_)) {
        return std::string_view(*text);
    }
    return std::nullopt;
}

std::string ID::description() const {
    if (auto text = stringValue()) {
        return std::string(*text);
    }
    return std::to_string(*numberValue());
}

Value ID::toValue() const {
    if (auto text = stringValue()) {
        return Value(std::string(*text));
    }
    return Value(*numberValue());
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
    if (a.isNumber() || b.isNumber()) {
        return a.isNumber() && b.isNumber() && *a.numberValue() == *b.numberValue();
    }
    return textEquals(*a.stringValue(), *b.stringValue());
}

std::size_t ID::hash() const noexcept {
    Hasher hasher;
    if (auto text = stringValue()) {
        hasher.combine(0);
        hasher.combineText(*text);
    } else {
        hasher.combine(1);
        hasher.combine(*numberValue());
    }
    return hasher.finish();
}

}  // namespace mcp
