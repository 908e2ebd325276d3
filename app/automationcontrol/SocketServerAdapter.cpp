#include "app/automationcontrol/SocketServerAdapter.h"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/asio/use_future.hpp>
#include <chrono>
#include <exception>
#include <future>
#include <vector>

#include "LocalAutomation/IdentityError.h"
#include "LocalAutomation/SocketError.h"
#include "app/automation/MCPUnixSocketServer.h"
#include "app/coordinator/MainThreadBridge.h"

#include <QCoreApplication>
#include <QThread>

namespace fw {
namespace {

namespace asio = boost::asio;
using automation::MCPUnixSocketServer;

inline constexpr const char* kSocketErrorDomain = "SocketErrorDomain";

// The thread of local automation: the servers' strands, every session's MCP server and the
// reading of every connection. Process-long, like the controller that uses them, until
// `shutDownSocketServers` ends it. One thread: nothing run there blocks (the tools run on the Qt
// main thread, slow peers are written by threads of their own), and work a handler posts stays on
// it, where a second thread would be woken for each hand-over within a call.
asio::thread_pool& automationPool() {
    static auto* pool = new asio::thread_pool(1);
    return *pool;
}

asio::any_io_executor automationExecutor() { return automationPool().get_executor(); }

class SocketServerAdapter;

// Every adapter alive, for the shutdown at quit. Main thread only.
std::vector<SocketServerAdapter*>& liveAdapters() {
    static std::vector<SocketServerAdapter*> adapters;
    return adapters;
}

platform::Error errorOf(std::exception_ptr failure) {
    try {
        std::rethrow_exception(std::move(failure));
    } catch (const automation::SocketError& error) {
        return platform::Error(kSocketErrorDomain, error.code(), error.description());
    } catch (const automation::IdentityError& error) {
        return platform::Error(kSocketErrorDomain, 0, error.what());
    } catch (const std::exception& error) {
        return platform::Error(kSocketErrorDomain, 0, error.what());
    }
}

class SocketServerAdapter final : public AutomationServer {
public:
    explicit SocketServerAdapter(Callbacks callbacks)
        : server_(
              automationExecutor(),
              [report = std::move(callbacks.connectionCountChanged)](std::uint64_t, int count) {
                  report(count);
              },
              [report = std::move(callbacks.acceptLoopEnded)](std::uint64_t,
                                                              const automation::SocketError& error) {
                  report(platform::Error(kSocketErrorDomain, error.code(), error.description()));
              },
              sessionSetup()) {
        liveAdapters().push_back(this);
    }
    ~SocketServerAdapter() override { std::erase(liveAdapters(), this); }

    void start(StartCompletion done) override {
        asio::co_spawn(server_.executor(), server_.start(),
                       [done = std::move(done)](std::exception_ptr failure, std::uint64_t) {
                           std::optional<platform::Error> error;
                           if (failure) {
                               error = errorOf(failure);
                           }
                           // Moved, not copied: this handler ends on local automation's
                           // thread, and what `done` holds (the server itself, as the
                           // controller's completions do) must not be released there.
                           postToMainThread(
                               [done = std::move(done), error] { done(error); });
                       });
    }

    void stop(std::function<void()> done) override {
        asio::co_spawn(server_.executor(), server_.stop(),
                       [done = std::move(done)](std::exception_ptr) mutable {
                           postToMainThread(std::move(done));
                       });
    }

    // Stops the server and waits (at most `limit`) until it has.
    void stopAndWait(std::chrono::seconds limit) {
        auto stopped = asio::co_spawn(server_.executor(), server_.stop(), asio::use_future);
        stopped.wait_for(limit);
    }

    static MCPUnixSocketServer::SessionSetup& sessionSetup() {
        static MCPUnixSocketServer::SessionSetup setup = [](mcp::Server&,
                                                            MCPUnixSocketServer::OpenTest) {};
        return setup;
    }

private:
    MCPUnixSocketServer server_;
};

bool onMainThread() {
    const QCoreApplication* application = QCoreApplication::instance();
    return application == nullptr || QThread::currentThread() == application->thread();
}

}  // namespace

std::shared_ptr<AutomationServer> makeSocketServer(AutomationServer::Callbacks callbacks) {
    // The adapter list and the server's teardown (which waits for the server's own threads)
    // belong to the main thread. A last reference dropped anywhere else, such as by a completion
    // finishing on local automation's thread, sends the adapter there to be destroyed.
    return std::shared_ptr<AutomationServer>(
        new SocketServerAdapter(std::move(callbacks)), [](AutomationServer* adapter) {
            if (onMainThread()) {
                delete adapter;
                return;
            }
            // Should the application be gone before this runs, the holder still destroys it.
            postToMainThread([holder = std::shared_ptr<AutomationServer>(adapter)] {});
        });
}

void shutDownSocketServers() {
    for (SocketServerAdapter* adapter : liveAdapters()) {
        adapter->stopAndWait(std::chrono::seconds(5));
    }
    automationPool().stop();
    automationPool().join();
}

void setSocketServerSessionSetup(
    std::function<void(mcp::Server& session, std::function<bool()> isOpen)> setup) {
    SocketServerAdapter::sessionSetup() = std::move(setup);
}

}  // namespace fw
