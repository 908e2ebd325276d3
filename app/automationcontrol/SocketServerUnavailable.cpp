#include "app/automationcontrol/SocketServerAdapter.h"

#include "app/coordinator/MainThreadBridge.h"

namespace fw {
namespace {

class UnavailableServer final : public AutomationServer {
public:
    void start(StartCompletion done) override {
        postToMainThread([done] {
            done(platform::Error("SocketErrorDomain", 0, "Unix socket error 0"));
        });
    }
    void stop(std::function<void()> done) override { postToMainThread(done); }
};

}  // namespace

std::shared_ptr<AutomationServer> makeSocketServer(AutomationServer::Callbacks) {
    return std::make_shared<UnavailableServer>();
}

void setSocketServerSessionSetup(std::function<void(mcp::Server&, std::function<bool()>)>) {}

}  // namespace fw
