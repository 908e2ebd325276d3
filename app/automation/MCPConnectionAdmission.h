// MCPConnectionAdmission: the count of accepted local automation sockets that still exist, and
// the limit on it. The accept loop takes a slot before it keeps a connection; the slot comes back
// when the connection's socket handle is destroyed (the handle's deinit callback), whatever path
// the connection took, so a connection counts until its descriptor is really closed.
//
//   auto admission = std::make_shared<MCPConnectionAdmission>();
//   if (admission->tryTake()) {
//       auto handle = std::make_shared<MCPUnixSocketHandle>(fd, [admission] { admission->release(); });
//   }
//
// Thread-safety: any thread; the count sits behind its own lock.
#pragma once

#include <mutex>

namespace fw::automation {

class MCPConnectionAdmission {
public:
    explicit MCPConnectionAdmission(int maximum = 16) : maximum_(maximum) {}

    // Takes a slot when fewer than `maximum` are taken; false otherwise.
    bool tryTake();
    // Gives one slot back.
    void release();
    int count() const;
    int maximum() const noexcept { return maximum_; }

private:
    mutable std::mutex lock_;
    const int maximum_;
    int count_ = 0;  // guarded by lock_
};

}  // namespace fw::automation
