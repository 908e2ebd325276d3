// A fake socket server for the local-automation controller: it records every start and stop
// in one log shared by all servers it made, completes them on a later turn of the main loop
// (a start with the next scripted failure, if any, or held until released), reports 0 on
// stop like the real one, and lets a test send connection counts and accept-loop ends as a
// server would, from its own callbacks.
#pragma once

#include <QTest>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/automationcontrol/AutomationServer.h"
#include "app/coordinator/MainThreadBridge.h"

namespace fw::testing {

class FakeServers {
public:
    class Server final : public AutomationServer {
    public:
        Server(FakeServers& owner, int number, Callbacks callbacks)
            : owner_(owner), number_(number), callbacks_(std::move(callbacks)) {}

        void start(StartCompletion done) override {
            owner_.log.push_back("start " + std::to_string(number_));
            std::optional<platform::Error> result;
            if (!owner_.startFailures.empty()) {
                result = owner_.startFailures.front();
                owner_.startFailures.pop_front();
            }
            if (owner_.holdStarts) {
                heldStart_ = [done, result] { done(result); };
                return;
            }
            postToMainThread([done, result] { done(result); });
        }
        void stop(std::function<void()> done) override {
            owner_.log.push_back("stop " + std::to_string(number_));
            callbacks_.connectionCountChanged(0);
            postToMainThread(done);
        }

        // As the server would, from its own thread.
        void reportConnections(int count) { callbacks_.connectionCountChanged(count); }
        void endAcceptLoop(platform::Error error) { callbacks_.acceptLoopEnded(std::move(error)); }
        // Completes a start held by `holdStarts`.
        void releaseStart() {
            auto held = std::move(heldStart_);
            heldStart_ = nullptr;
            if (held) {
                held();
            }
        }

    private:
        FakeServers& owner_;
        int number_;
        Callbacks callbacks_;
        std::function<void()> heldStart_;
    };

    AutomationServerFactory factory() {
        return [this](AutomationServer::Callbacks callbacks) {
            auto server = std::make_shared<Server>(*this, static_cast<int>(made.size()) + 1,
                                                   std::move(callbacks));
            made.push_back(server);
            return server;
        };
    }

    std::vector<std::string> log;
    std::deque<platform::Error> startFailures;
    bool holdStarts = false;
    std::vector<std::shared_ptr<Server>> made;
};

// The failure of a start refused because another instance holds the socket's lock.
inline platform::Error socketTakenError() {
    return platform::Error("SocketErrorDomain", 11, "Unix socket error 11");
}

}  // namespace fw::testing
