// SessionBus: the few calls the companion makes on the user's session bus to have it start the
// application (D-Bus activation) and to learn which process then owns the installation's name.
//
// Synchronous; every call is bounded by the start-up deadline. Not thread-safe: one caller.
#pragma once

#include <sys/types.h>

#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "bridge/StartupDeadline.h"

namespace fw::bridge {

class SessionBus {
public:
    // How an activation ended.
    struct Activation {
        enum class Outcome {
            started,       // the name has an owner now (started, or running already)
            unknownName,   // no service file of the bus provides the name
            childExited,   // the started program exited before it took the name
            childSignaled, // the started program was ended by a signal before it took the name
            failed,        // any other refusal; `message` is the bus's
        };
        Outcome outcome = Outcome::failed;
        // The exit status or signal number for childExited and childSignaled, when the bus
        // gave it.
        std::optional<int> number;
        std::string message;
    };

    // Connects and registers on the bus at `address`. None when it cannot be reached.
    static std::unique_ptr<SessionBus> connect(const std::string& address);
    ~SessionBus();
    SessionBus(const SessionBus&) = delete;
    SessionBus& operator=(const SessionBus&) = delete;

    // Asks the bus to start the program that provides `name`, waiting until it owns the name or
    // fails, at most until `deadline` (then BridgeError::startupDeadline is thrown).
    Activation startService(const std::string& name, MonotonicTime deadline);
    // Asks the bus to read its configuration and service folders again. Failures are ignored.
    void reloadConfiguration(MonotonicTime deadline);
    // The process that owns `name`; none when it has no owner or the bus will not tell.
    std::optional<pid_t> ownerProcess(const std::string& name, MonotonicTime deadline);

private:
    struct Connection;
    explicit SessionBus(std::unique_ptr<Connection> connection);
    std::unique_ptr<Connection> connection_;
};

}  // namespace fw::bridge
