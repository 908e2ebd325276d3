#include "LocalAutomation/MCPUnixSocketHandle.h"

#include <openssl/rand.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <random>

namespace fw::automation {

namespace {

// A version 4 UUID in lower-case text form.
std::string randomUUID() {
    std::array<unsigned char, 16> bytes{};
    if (RAND_bytes(bytes.data(), static_cast<int>(bytes.size())) != 1) {
        std::random_device device;
        for (auto& byte : bytes) {
            byte = static_cast<unsigned char>(device());
        }
    }
    bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40);
    bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80);
    char text[37];
    std::snprintf(text, sizeof text,
                  "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", bytes[0],
                  bytes[1], bytes[2], bytes[3], bytes[4], bytes[5], bytes[6], bytes[7], bytes[8],
                  bytes[9], bytes[10], bytes[11], bytes[12], bytes[13], bytes[14], bytes[15]);
    return text;
}

}  // namespace

MCPUnixSocketHandle::MCPUnixSocketHandle(int descriptor, std::function<void()> onDeinit)
    : id_(randomUUID()), descriptor_(descriptor), onDeinit_(std::move(onDeinit)) {}

MCPUnixSocketHandle::~MCPUnixSocketHandle() {
    shutdown();
    (void)::close(descriptor_);
    if (onDeinit_) {
        onDeinit_();
    }
}

bool MCPUnixSocketHandle::isStopped() const {
    std::lock_guard guard(lock_);
    return stopped_;
}

void MCPUnixSocketHandle::shutdown() {
    std::lock_guard guard(lock_);
    if (stopped_) {
        return;
    }
    stopped_ = true;
    (void)::shutdown(descriptor_, SHUT_RDWR);
}

}  // namespace fw::automation
