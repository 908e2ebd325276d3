// Clock: where the network transport's waits come from (reconnection back-off, heartbeat
// interval, connect timeout). The steady clock is the real one; tests hand in a clock of their own
// whose time they move by hand, so that waits of seconds take no real time.
//
// Thread-safety: implementations may be called from any thread.
#pragma once

#include <boost/asio/any_io_executor.hpp>
#include <chrono>
#include <functional>
#include <memory>

namespace mcp {

class Clock {
public:
    virtual ~Clock() = default;

    // Calls `fire` once, through `executor`, when `delay` has passed. The function returned
    // withdraws the call; a call already on its way may still arrive, so `fire` must cope with
    // being late.
    virtual std::function<void()> schedule(boost::asio::any_io_executor executor,
                                           std::chrono::nanoseconds delay,
                                           std::function<void()> fire) = 0;
};

// The monotonic clock of the system (steady timers), shared by everyone.
std::shared_ptr<Clock> steadyClock();

}  // namespace mcp
