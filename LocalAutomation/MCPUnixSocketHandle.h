// MCPUnixSocketHandle: the one owner of a connected or listening socket descriptor. Everyone who
// reads, writes or shuts the socket down holds a reference (std::shared_ptr) to the handle, so
// the descriptor number can never be reused under a reader that is still running: only the
// handle's destruction closes it.
//
//   auto handle = std::make_shared<MCPUnixSocketHandle>(fd, [slot] { slot.release(); });
//   handle->shutdown();   // any thread: wakes every read blocked on the socket
//
// Thread-safety: shutdown() and isStopped() may be called from any thread at any time; the
// socket is shut down once. Destruction shuts it down if that has not happened, closes the
// descriptor, then runs `onDeinit` once.
#pragma once

#include <functional>
#include <mutex>
#include <string>

namespace fw::automation {

class MCPUnixSocketHandle {
public:
    explicit MCPUnixSocketHandle(int descriptor, std::function<void()> onDeinit = {});
    ~MCPUnixSocketHandle();
    MCPUnixSocketHandle(const MCPUnixSocketHandle&) = delete;
    MCPUnixSocketHandle& operator=(const MCPUnixSocketHandle&) = delete;

    // A random UUID made at creation, in its usual text form; connection tables are keyed by it.
    const std::string& id() const noexcept { return id_; }
    int descriptor() const noexcept { return descriptor_; }

    bool isStopped() const;
    // The first call shuts the socket down in both directions; later calls do nothing. The
    // descriptor stays open.
    void shutdown();

private:
    const std::string id_;
    const int descriptor_;
    mutable std::mutex lock_;
    bool stopped_ = false;  // guarded by lock_
    std::function<void()> onDeinit_;
};

}  // namespace fw::automation
