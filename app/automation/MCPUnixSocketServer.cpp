#include "app/automation/MCPUnixSocketServer.h"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <atomic>
#include <cerrno>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>

#include "LocalAutomation/AppGroupContainer.h"
#include "LocalAutomation/MCPPeerIdentity.h"
#include "LocalAutomation/MCPUnixSocket.h"
#include "LocalAutomation/MCPUnixSocketHandle.h"
#include "MCP/Core/Actor.h"
#include "MCP/Core/detail/ReactorDescriptor.h"
#include "MCP/Server/Server.h"
#include "app/automation/AcceptLoop.h"
#include "app/automation/MCPConnectionAdmission.h"
#include "app/automation/MCPUnixSocketTransport.h"
#include "app/automation/ServerThreads.h"
#include "app/automation/SocketFiles.h"

namespace fw::automation {

namespace asio = boost::asio;
namespace identity = MCPPeerIdentity;

// The server's state. Everything below `strand_` is touched only on the strand; the threads of
// the accept loop and of the handshakes hold the core weakly and come back through post(). A
// thread that has just locked the core may hold it for a moment, and the core owns a strand of
// the executor: every one of those threads is joined by stop() and by the owner's destruction,
// so none of them can be the last to let go of the core once the executor's context is gone.
class MCPUnixSocketServer::Core : public std::enable_shared_from_this<Core> {
public:
    Core(asio::any_io_executor executor, ConnectionChanged connectionChanged,
         AcceptLoopEnded acceptLoopEnded, SessionSetup setupSession, Location location)
        : executor_(std::move(executor)),
          strand_(asio::make_strand(executor_)),
          connectionChanged_(std::move(connectionChanged)),
          acceptLoopEnded_(std::move(acceptLoopEnded)),
          setupSession_(std::move(setupSession)),
          location_(std::move(location)) {}

    ~Core() {
        // Only reached without stop() when the owner let go of a listening server and its
        // executor never ran the stop it was given.
        if (listener_) {
            listener_->shutdown();
        }
        for (auto& [id, handle] : pending_) {
            handle->shutdown();
        }
        releaseFiles();
    }

    const asio::any_io_executor& executor() const noexcept { return executor_; }
    const mcp::Strand& strand() const noexcept { return strand_; }
    bool mayBeListening() const noexcept { return active_.load(); }

    // After this no callback runs and no thread starts; returns once every thread of the
    // server has ended. The owner is going away.
    void detachOwner() {
        {
            std::lock_guard guard(callbackLock_);
            connectionChanged_ = nullptr;
            acceptLoopEnded_ = nullptr;
        }
        threads_->close();
    }

    asio::awaitable<std::uint64_t> start();
    asio::awaitable<void> stop();

    // --- Steps on the strand, reached from the accept loop, the handshakes and the transports.

    void accept(std::shared_ptr<MCPUnixSocketHandle> handle, std::uint64_t generation);
    asio::awaitable<void> startSession(std::shared_ptr<MCPUnixSocketHandle> handle,
                                       bool accepted, std::uint64_t generation);
    asio::awaitable<void> connectionClosed(std::string id);
    void loopEnded(std::uint64_t generation, const SocketError& error);

private:
    struct Session {
        std::shared_ptr<mcp::Server> server;
        std::shared_ptr<MCPUnixSocketTransport> transport;
    };

    std::filesystem::path resolvedBundle() const;
    void report();
    void report(std::uint64_t generation, int connections);
    int liveConnections() const { return static_cast<int>(pending_.size() + sessions_.size()); }
    bool isCurrent(const std::string& id, std::uint64_t generation) const {
        return !stopping_ && generation == generation_ && pending_.contains(id);
    }
    // Drops a pending connection and reports the new count when it was still pending.
    void dropPending(const std::string& id);
    void releaseFiles();
    void runHandshake(std::shared_ptr<MCPUnixSocketHandle> handle, std::uint64_t generation);

    const asio::any_io_executor executor_;
    const mcp::Strand strand_;

    std::mutex callbackLock_;
    ConnectionChanged connectionChanged_;  // guarded by callbackLock_
    AcceptLoopEnded acceptLoopEnded_;      // guarded by callbackLock_
    const SessionSetup setupSession_;
    const Location location_;
    const std::shared_ptr<MCPConnectionAdmission> admission_ =
        std::make_shared<MCPConnectionAdmission>(kMaximumConnections);
    std::atomic<bool> active_{false};
    const std::shared_ptr<ServerThreads> threads_ = std::make_shared<ServerThreads>();

    std::shared_ptr<MCPUnixSocketHandle> listener_;
    int lockDescriptor_ = -1;
    std::optional<std::filesystem::path> socketURL_;
    dev_t socketDevice_ = 0;
    ino_t socketInode_ = 0;
    std::filesystem::path bundleURL_;
    std::unordered_map<std::string, std::shared_ptr<MCPUnixSocketHandle>> pending_;
    std::unordered_map<std::string, Session> sessions_;
    bool stopping_ = false;
    std::uint64_t generation_ = 0;
};

std::filesystem::path MCPUnixSocketServer::Core::resolvedBundle() const {
    if (location_.appBundleURL) {
        return identity::resolvedURL(*location_.appBundleURL);
    }
    return identity::resolvedURL(identity::appBundleURL(identity::currentExecutableURL()));
}

void MCPUnixSocketServer::Core::report() {
    report(generation_, liveConnections());
}

void MCPUnixSocketServer::Core::report(std::uint64_t generation, int connections) {
    std::lock_guard guard(callbackLock_);
    if (connectionChanged_) {
        connectionChanged_(generation, connections);
    }
}

void MCPUnixSocketServer::Core::loopEnded(std::uint64_t generation, const SocketError& error) {
    if (stopping_ || generation != generation_ || !listener_) {
        return;
    }
    std::lock_guard guard(callbackLock_);
    if (acceptLoopEnded_) {
        acceptLoopEnded_(generation, error);
    }
}

void MCPUnixSocketServer::Core::dropPending(const std::string& id) {
    auto found = pending_.find(id);
    if (found == pending_.end()) {
        return;
    }
    found->second->shutdown();
    pending_.erase(found);
    report();
}

void MCPUnixSocketServer::Core::releaseFiles() {
    if (socketURL_) {
        SocketFiles::unlinkIfSame(*socketURL_, socketDevice_, socketInode_);
        socketURL_.reset();
        socketDevice_ = 0;
        socketInode_ = 0;
    }
    if (lockDescriptor_ >= 0) {
        SocketFiles::unlockInstance(std::exchange(lockDescriptor_, -1));
    }
}

asio::awaitable<std::uint64_t> MCPUnixSocketServer::Core::start() {
    if (listener_) {
        co_return generation_;
    }
    if (stopping_) {
        throw SocketError::io(EBUSY);
    }
    const std::filesystem::path bundle = resolvedBundle();
    const std::filesystem::path socket =
        location_.container ? identity::socketURL(bundle, location_.container)
                            : identity::socketURL(bundle);

    const int lock = SocketFiles::lockInstance(identity::lockFileURL(socket));
    SocketFiles::ListeningSocket listening;
    try {
        listening = SocketFiles::listen(socket, kListenBacklog);
    } catch (...) {
        SocketFiles::unlockInstance(lock);
        throw;
    }
    auto listener = std::make_shared<MCPUnixSocketHandle>(listening.descriptor);
    const std::uint64_t generation = generation_ + 1;
    AcceptLoop loop{.listener = listener,
                    .admission = admission_,
                    .generation = generation,
                    .connectionAdmitted =
                        [weak = weak_from_this()](std::shared_ptr<MCPUnixSocketHandle> handle,
                                                  std::uint64_t run) {
                            auto core = weak.lock();
                            if (!core) {
                                return false;
                            }
                            asio::post(core->strand_,
                                       [core, handle = std::move(handle), run]() mutable {
                                           core->accept(std::move(handle), run);
                                       });
                            return true;
                        },
                    .ended =
                        [weak = weak_from_this()](std::uint64_t run, SocketError error) {
                            if (auto core = weak.lock()) {
                                asio::post(core->strand_, [core, run, error] {
                                    core->loopEnded(run, error);
                                });
                            }
                        }};
    int failure = 0;
    try {
        if (!threads_->start(listener, [loop = std::move(loop)]() mutable {
                runAcceptLoop(std::move(loop));
            })) {
            failure = ECANCELED;  // the owner is going away
        }
    } catch (const std::system_error& error) {
        failure = error.code().value();
    }
    if (failure != 0) {
        listener->shutdown();
        SocketFiles::unlinkIfSame(socket, listening.device, listening.inode);
        SocketFiles::unlockInstance(lock);
        throw SocketError::io(failure);
    }
    socketDevice_ = listening.device;
    socketInode_ = listening.inode;
    socketURL_ = socket;
    lockDescriptor_ = lock;
    listener_ = std::move(listener);
    bundleURL_ = bundle;
    generation_ = generation;
    active_ = true;
    co_return generation_;
}

void MCPUnixSocketServer::Core::accept(std::shared_ptr<MCPUnixSocketHandle> handle,
                                       std::uint64_t generation) {
    if (stopping_ || generation != generation_) {
        handle->shutdown();
        return;
    }
    if (liveConnections() >= kMaximumConnections) {
        MCPUnixSocket::writeRefusal(handle->descriptor(), MCPUnixSocket::busyLine);
        handle->shutdown();
        return;
    }
    pending_.emplace(handle->id(), handle);
    report();
    MCPUnixSocket::configure(handle->descriptor(), true);
    runHandshake(std::move(handle), generation);
}

void MCPUnixSocketServer::Core::runHandshake(std::shared_ptr<MCPUnixSocketHandle> handle,
                                             std::uint64_t generation) {
    auto verdict = [weak = weak_from_this(), generation](
                       std::shared_ptr<MCPUnixSocketHandle> handle, bool accepted) {
        auto core = weak.lock();
        if (!core) {
            handle->shutdown();
            return;
        }
        asio::co_spawn(
            core->strand_,
            [core, handle = std::move(handle), accepted, generation]() mutable {
                return core->startSession(std::move(handle), accepted, generation);
            },
            asio::detached);
    };
    bool started = false;
    try {
        started = threads_->start(handle, [handle, bundle = bundleURL_, verdict]() mutable {
            const bool accepted = performHandshake(*handle, bundle);
            verdict(std::move(handle), accepted);
        });
    } catch (const std::system_error&) {
    }
    if (!started) {
        dropPending(handle->id());
    }
}

asio::awaitable<void> MCPUnixSocketServer::Core::startSession(
    std::shared_ptr<MCPUnixSocketHandle> handle, bool accepted, std::uint64_t generation) {
    const std::string id = handle->id();
    if (!pending_.contains(id)) {
        co_return;  // stopped meanwhile
    }
    if (!accepted || !isCurrent(id, generation)) {
        dropPending(id);
        co_return;
    }
    MCPUnixSocket::configure(handle->descriptor(), false);
    // Read on the executor the session's server runs on: a message reaches it without a hop.
    // A write the socket cannot take at once is finished on one of the server's threads, which
    // the server joins before it and its executor go.
    auto transport = std::make_shared<MCPUnixSocketTransport>(
        executor_, handle,
        [weak = weak_from_this(), id] {
            if (auto core = weak.lock()) {
                asio::co_spawn(
                    core->strand_, [core, id] { return core->connectionClosed(id); },
                    asio::detached);
            }
        },
        MCPUnixSocketTransport::kWriteStallLimit, threads_);
    handle.reset();
    mcp::ServerCapabilities capabilities;
    capabilities.tools = mcp::ServerCapabilities::Tools{};
    auto server = std::make_shared<mcp::Server>(executor_, "Frameweaver", "1.0.0", std::nullopt,
                                                std::nullopt, std::move(capabilities),
                                                mcp::ServerConfiguration::defaults());
    if (setupSession_) {
        std::weak_ptr<MCPUnixSocketTransport> weakTransport = transport;
        setupSession_(*server, [weakTransport] {
            auto transport = weakTransport.lock();
            return transport && transport->isOpen();
        });
    }
    if (!isCurrent(id, generation) || !transport->isOpen()) {
        if (pending_.erase(id) > 0) {
            report();
        }
        co_await transport->disconnect();
        co_return;
    }
    bool started = true;
    try {
        co_await server->start(transport);
    } catch (...) {
        started = false;
    }
    if (!started) {
        if (pending_.erase(id) > 0) {
            report();
        }
        co_await transport->disconnect();
        co_await server->stop();
        co_return;
    }
    if (isCurrent(id, generation) && transport->isOpen()) {
        pending_.erase(id);
        sessions_.emplace(id, Session{std::move(server), std::move(transport)});
        co_return;
    }
    // The transport's close, or stop(), has taken the connection out of the tables.
    co_await server->stop();
}

asio::awaitable<void> MCPUnixSocketServer::Core::connectionClosed(std::string id) {
    if (pending_.erase(id) > 0) {
        report();
    }
    auto found = sessions_.find(id);
    if (found == sessions_.end()) {
        co_return;
    }
    Session session = std::move(found->second);
    sessions_.erase(found);
    report();
    co_await session.server->stop();
}

asio::awaitable<void> MCPUnixSocketServer::Core::stop() {
    if (!listener_ && pending_.empty() && sessions_.empty()) {
        co_return;
    }
    stopping_ = true;
    const std::uint64_t run = generation_++;
    if (auto listener = std::exchange(listener_, nullptr)) {
        listener->shutdown();  // the accept loop ends within one poll interval
    }
    for (auto& [id, handle] : pending_) {
        handle->shutdown();
    }
    pending_.clear();
    auto sessions = std::exchange(sessions_, {});
    report(run, 0);
    for (auto& [id, session] : sessions) {
        co_await session.transport->disconnect();
        co_await session.server->stop();
    }
    sessions.clear();
    // The accept loop and the handshakes were woken through their sockets above; a handshake
    // still checking its peer's executable ends once the check is done.
    threads_->shutDownAndJoin();
    releaseFiles();
    stopping_ = false;
    active_ = false;
}

// --- MCPUnixSocketServer ----------------------------------------------------------------------

MCPUnixSocketServer::MCPUnixSocketServer(asio::any_io_executor executor,
                                         ConnectionChanged connectionChanged,
                                         AcceptLoopEnded acceptLoopEnded,
                                         SessionSetup setupSession, Location location)
    : core_(std::make_shared<Core>(std::move(executor), std::move(connectionChanged),
                                   std::move(acceptLoopEnded), std::move(setupSession),
                                   std::move(location))) {
    // Connections are read through the reactor of the executor's context: made now, it belongs
    // to the server's own footprint, and a connection adds only its socket.
    mcp::detail::ReactorDescriptor::prepare(core_->executor());
}

MCPUnixSocketServer::~MCPUnixSocketServer() {
    core_->detachOwner();
    if (core_->mayBeListening()) {
        asio::co_spawn(
            core_->strand(), [core = core_]() -> asio::awaitable<void> { co_await core->stop(); },
            asio::detached);
    }
}

asio::any_io_executor MCPUnixSocketServer::executor() const {
    return core_->executor();
}

asio::awaitable<std::uint64_t> MCPUnixSocketServer::start() {
    return mcp::onStrand(core_->strand(), [core = core_] { return core->start(); });
}

asio::awaitable<void> MCPUnixSocketServer::stop() {
    return mcp::onStrand(core_->strand(), [core = core_] { return core->stop(); });
}

}  // namespace fw::automation
