// Session identifiers of the stateful HTTP server transport: where they come from, and which
// texts may be one (visible ASCII only, as a header value must carry it unchanged).
#pragma once

#include <string>
#include <string_view>

namespace mcp {

class SessionIDGenerator {
public:
    virtual ~SessionIDGenerator() = default;
    virtual std::string generateSessionID() = 0;
};

// A new random UUID in its canonical upper-case 36-character form for every session.
class UUIDSessionIDGenerator final : public SessionIDGenerator {
public:
    std::string generateSessionID() override;
};

// True when every byte lies in 0x21-0x7E (the empty text included).
bool isValidSessionID(std::string_view text) noexcept;

}  // namespace mcp
