// AutomationServer: what the local-automation controller drives of the socket server. The
// controller owns one while automation runs; a factory makes a fresh one for every start.
//
// The real one wraps MCPUnixSocketServer (SocketServerAdapter.h); tests drive the controller
// with a fake.
//
// Contract:
//   - `start` and `stop` are called on the main thread, never while another of them is under
//     way, and complete by calling their completion on the main thread, later (never inside
//     the call). A failed start leaves the server idle.
//   - The callbacks may be called on any thread. `connectionCountChanged` reports the number
//     of connections after every change (0 on stop); `acceptLoopEnded` reports that the server
//     stopped accepting on its own, with the failure that ended it. Neither is called after
//     the server is destroyed.
#pragma once

#include <functional>
#include <memory>
#include <optional>

#include "platform/Error.h"

namespace fw {

class AutomationServer {
public:
    struct Callbacks {
        std::function<void(int count)> connectionCountChanged;
        std::function<void(platform::Error error)> acceptLoopEnded;
    };
    using StartCompletion = std::function<void(std::optional<platform::Error>)>;

    virtual ~AutomationServer() = default;

    virtual void start(StartCompletion done) = 0;
    virtual void stop(std::function<void()> done) = 0;
};

using AutomationServerFactory =
    std::function<std::shared_ptr<AutomationServer>(AutomationServer::Callbacks)>;

}  // namespace fw
