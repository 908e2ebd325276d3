// PendingRequests: the client's requests that the companion relayed to the application and that
// have not been answered yet, so that the end of the application's stream can tell a finished
// conversation from an application that went away in the middle of one (a crash, a kill).
//
// Only the members that make a line a request or a response are looked at: a JSON object with
// "method" and a string or number "id" is a request; one with "id" and "result" or "error" and no
// "method" is a response. Anything else (notifications, lines that are not JSON, batches) is
// passed over; the relay still forwards every line unchanged.
//
//   PendingRequests pending;
//   pending.sent(line);       // before the line is written to the socket
//   pending.received(line);   // for each line from the application
//   if (pending.count() > 0) { /* the application closed the connection too early */ }
//
// Thread-safety: any thread; the two relay directions share one.
#pragma once

#include <cstddef>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

namespace fw::bridge {

class PendingRequests {
public:
    // A line from the client on its way to the application.
    void sent(std::string_view line);
    // A line from the application on its way to the client.
    void received(std::string_view line);
    // Requests relayed and not answered.
    std::size_t count() const;

private:
    mutable std::mutex lock_;
    // The identifier's JSON text, and how many requests in flight carry it.
    std::unordered_map<std::string, int> pending_;  // guarded by lock_
};

}  // namespace fw::bridge
