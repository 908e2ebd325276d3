// The network transport's receive side: bytes from a peer cut into lines and heartbeat frames.
// The input's first byte picks the line limit (0: none) and its second the way the rest is cut
// into reads; the rest is fed once whole and once read by read (through both feed() overloads).
// Both must give the same lines and frames and the same verdict on the limit; every line is
// non-empty, holds no LF and fits the limit; every frame reads as a heartbeat whose timestamp,
// written again, reads back the same.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "MCP/Network/NetworkHeartbeat.h"
#include "MCP/Network/NetworkLineFramer.h"
#include "fuzz/FuzzCheck.h"

namespace {

using mcp::NetworkHeartbeat;
using mcp::NetworkLineFramer;

struct Framed {
    std::vector<std::string> pieces;  // "L" + line, or "H" + the frame's 12 bytes
    bool fits = true;
};

void checkFrame(const NetworkHeartbeat::Frame& frame) {
    auto heartbeat = NetworkHeartbeat::fromRawValue(frame);
    fuzz::check(heartbeat.has_value(), "a frame the framer took reads as a heartbeat");
    auto again = NetworkHeartbeat::fromRawValue(heartbeat->rawValue());
    fuzz::check(again.has_value() && *again == *heartbeat, "a heartbeat reads back the same");
    fuzz::check(!heartbeat->timestampText().empty(), "a heartbeat's time can be written");
}

Framed frame(std::optional<std::size_t> limit, std::string_view bytes,
             const std::vector<std::size_t>& cuts) {
    NetworkLineFramer framer(limit);
    Framed framed;
    auto onLine = [&](std::string&& line) {
        fuzz::check(!line.empty(), "no empty line is handed out");
        fuzz::check(line.find('\n') == std::string::npos, "a line holds no LF");
        fuzz::check(!limit || line.size() <= *limit, "a line fits the limit", line);
        framed.pieces.push_back("L" + line);
    };
    auto onHeartbeat = [&](const NetworkHeartbeat::Frame& raw) {
        checkFrame(raw);
        framed.pieces.push_back("H" + std::string(raw.begin(), raw.end()));
    };
    std::size_t position = 0;
    for (std::size_t index = 0; index <= cuts.size(); ++index) {
        const std::size_t end = index < cuts.size() ? cuts[index] : bytes.size();
        const std::string_view read = bytes.substr(position, end - position);
        position = end;
        // Reads alternate between the borrowed and the handed-over overload.
        const bool fits = index % 2 == 0 ? framer.feed(read, onLine, onHeartbeat)
                                         : framer.feed(std::string(read), onLine, onHeartbeat);
        framed.fits = framed.fits && fits;
    }
    return framed;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) {
        return 0;
    }
    const std::optional<std::size_t> limit =
        data[0] == 0 ? std::nullopt : std::optional<std::size_t>(data[0] - 1);
    std::uint32_t seed = data[1];
    const std::string_view bytes(reinterpret_cast<const char*>(data + 2), size - 2);

    // Reads of 1 to 16 bytes, from a small generator the second byte starts.
    std::vector<std::size_t> cuts;
    for (std::size_t position = 0;;) {
        seed = seed * 1103515245u + 12345u;
        position += 1 + (seed >> 16) % 16;
        if (position >= bytes.size()) {
            break;
        }
        cuts.push_back(position);
    }
    const Framed whole = frame(limit, bytes, {});
    const Framed inReads = frame(limit, bytes, cuts);
    fuzz::check(whole.fits == inReads.fits, "the limit's verdict does not depend on the reads");
    fuzz::check(whole.pieces == inReads.pieces, "the reads give what the whole bytes give");

    // The reader of a frame on its own, at any bytes.
    const auto heartbeat = NetworkHeartbeat::from(bytes);
    fuzz::check(!heartbeat || NetworkHeartbeat::isHeartbeat(bytes),
                "what decodes as a heartbeat begins with the magic");
    if (heartbeat) {
        checkFrame(heartbeat->rawValue());
    }
    return 0;
}
