#include "MCP/HTTP/StreamableHTTPServer.h"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/as_tuple.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <algorithm>
#include <atomic>
#include <cctype>
#include <mutex>
#include <unordered_map>

#include "Logging/NoOpLogHandler.h"
#include "MCP/HTTP/JSONRPCMessageKind.h"
#include "MCP/HTTP/StatefulHTTPServerTransport.h"
#include "MCP/HTTP/StatelessHTTPServerTransport.h"
#include "MCP/Messages/Version.h"

namespace mcp {

namespace asio = boost::asio;
using Clock = std::chrono::steady_clock;

namespace {

HTTPRequest toHTTPRequest(fw::http::ServerRequest& request) {
    HTTPRequest converted;
    converted.method = std::move(request.method);
    for (const auto& [name, value] : request.headers) {
        converted.headers.emplace(name, value);
    }
    if (!request.body.empty()) {
        converted.body = std::move(request.body);
    }
    converted.path = std::move(request.path);
    return converted;
}

std::string upperCased(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return text;
}

void stopInBackground(const asio::any_io_executor& executor, std::shared_ptr<Server> server) {
    if (server) {
        asio::co_spawn(
            executor, [server]() -> asio::awaitable<void> { co_await server->stop(); },
            asio::detached);
    }
}

}  // namespace

class StreamableHTTPServer::Router final : public fw::http::ServerHandler,
                                           public std::enable_shared_from_this<Router> {
public:
    Router(asio::any_io_executor executor, Options options, ServerFactory makeServer)
        : executor_(std::move(executor)),
          options_(std::move(options)),
          makeServer_(std::move(makeServer)),
          logger_(options_.logger ? *options_.logger
                                  : logging::Logger("mcp.transport.http.server.host",
                                                    logging::NoOpLogHandler())),
          pipeline_(options_.validationPipeline
                        ? options_.validationPipeline
                        : (options_.mode == Mode::stateful
                               ? StandardValidationPipeline::statefulDefault()
                               : StandardValidationPipeline::statelessDefault())),
          sweep_(executor_) {}

    asio::awaitable<fw::http::ServerResponse> handle(fw::http::ServerRequest request) override {
        const std::uint64_t connection = request.connection;
        HTTPRequest converted = toHTTPRequest(request);
        if (converted.path != options_.endpointPath) {
            co_return outsideEndpoint(converted);
        }
        if (options_.mode == Mode::stateless) {
            co_return co_await handleStateless(connection, std::move(converted));
        }
        co_return co_await handleStateful(std::move(converted));
    }

    void connectionClosed(std::uint64_t connection) override {
        if (options_.mode != Mode::stateless) {
            return;
        }
        Stateless ended;
        {
            std::lock_guard lock(mutex_);
            auto found = perConnection_.find(connection);
            if (found == perConnection_.end()) {
                return;
            }
            ended = std::move(found->second);
            perConnection_.erase(found);
        }
        ended.transport->terminate();
        stopInBackground(executor_, std::move(ended.server));
    }

    void startSweeping() {
        asio::co_spawn(executor_, sweep(shared_from_this()), asio::detached);
    }

    void stop() {
        std::unordered_map<std::string, std::shared_ptr<Session>> sessions;
        std::unordered_map<std::uint64_t, Stateless> connections;
        {
            std::lock_guard lock(mutex_);
            stopped_ = true;
            sessions.swap(sessions_);
            connections.swap(perConnection_);
        }
        asio::post(sweep_.get_executor(), [self = shared_from_this()] { self->sweep_.cancel(); });
        for (auto& [id, session] : sessions) {
            session->transport->terminate();
            stopInBackground(executor_, session->server);
        }
        for (auto& [id, entry] : connections) {
            entry.transport->terminate();
            stopInBackground(executor_, entry.server);
        }
    }

    std::size_t sessionCount() const {
        std::lock_guard lock(mutex_);
        return sessions_.size();
    }

private:
    struct Session {
        std::shared_ptr<StatefulHTTPServerTransport> transport;
        std::shared_ptr<Server> server;
        Clock::time_point lastActive = Clock::now();
        std::size_t exchanges = 0;  // requests being answered and streams being read
        bool established = false;   // a request came with the session's id
    };
    // What one exchange of a session tells of its life. A request the session serves is a sign
    // of life when it ends; a stream that broke (its client vanished, its writes failed) is one
    // only for its start, however long it stayed open: a dead stream keeps no session alive.
    struct Activity {
        std::atomic<bool> counts{false};
        std::atomic<bool> broken{false};
        const Clock::time_point start = Clock::now();
    };
    struct Stateless {
        std::shared_ptr<StatelessHTTPServerTransport> transport;
        std::shared_ptr<Server> server;
    };

    // A request for another path: an embedder's validator may answer it; nobody else does.
    fw::http::ServerResponse outsideEndpoint(const HTTPRequest& request) {
        if (auto answer = pipeline_->validate(request, outsideContext(request))) {
            return convert(std::move(*answer), nullptr);
        }
        fw::http::ServerResponse notFound;
        notFound.status = 404;
        notFound.headers.set("Content-Type", "text/plain; charset=utf-8");
        notFound.body = "Not Found";
        return notFound;
    }

    // The checks that do not depend on a session (origin, Accept, Content-Type, ...).
    static HTTPValidationContext outsideContext(const HTTPRequest& request) {
        return HTTPValidationContext{upperCased(request.method), std::nullopt, true,
                                     &Version::supported()};
    }

    asio::awaitable<fw::http::ServerResponse> handleStateless(std::uint64_t connection,
                                                              HTTPRequest request) {
        Stateless entry;
        bool created = false;
        bool known = false;
        {
            std::lock_guard lock(mutex_);
            known = perConnection_.count(connection) != 0;
        }
        if (!known) {
            // No server is built for a request that is refused anyway. What the transport
            // refuses before its checks (another method, no body, no JSON-RPC message) it
            // refuses without a server; the rest goes through the checks (a bearer token among
            // them) as the transport would run them.
            std::optional<JSONRPCMessageKind> kind;
            if (upperCased(request.method) == "POST" && request.body) {
                kind = JSONRPCMessageKind::classify(*request.body);
            }
            if (!kind) {
                StatelessHTTPServerTransport scratch(options_.validationPipeline, options_.logger);
                co_return convert(co_await scratch.handleRequest(std::move(request)), nullptr);
            }
            const HTTPValidationContext context{"POST", std::nullopt, kind->isInitializeRequest(),
                                                &Version::supported()};
            if (auto answer = pipeline_->validate(request, context)) {
                co_return convert(std::move(*answer), nullptr);
            }
        }
        {
            std::lock_guard lock(mutex_);
            auto found = perConnection_.find(connection);
            if (found != perConnection_.end()) {
                entry = found->second;
            } else {
                entry.transport = std::make_shared<StatelessHTTPServerTransport>(
                    options_.validationPipeline, options_.logger);
                entry.server = makeServer_(executor_);
                perConnection_.emplace(connection, entry);
                created = true;
            }
        }
        if (created) {
            co_await entry.server->start(entry.transport);
        }
        HTTPResponse answer = co_await entry.transport->handleRequest(std::move(request));
        co_return convert(std::move(answer), nullptr);
    }

    asio::awaitable<fw::http::ServerResponse> handleStateful(HTTPRequest request) {
        if (auto header = request.header(HTTPHeaderName::sessionID)) {
            std::shared_ptr<Session> session;
            {
                std::lock_guard lock(mutex_);
                auto found = sessions_.find(*header);
                if (found != sessions_.end()) {
                    session = found->second;
                    ++session->exchanges;
                    session->established = true;
                }
            }
            if (!session) {
                if (auto answer = pipeline_->validate(request, outsideContext(request))) {
                    co_return convert(std::move(*answer), nullptr);
                }
                co_return convert(HTTPResponse::error(404, MCPError::invalidRequest(
                                                               "Not Found: Invalid or expired "
                                                               "session ID")),
                                  nullptr);
            }
            auto activity = std::make_shared<Activity>();
            auto guard = exchangeGuard(session, activity);
            HTTPResponse answer = session->transport->handle(std::move(request));
            // A refused request is no sign of life: a client that only resends what the session
            // cannot serve does not keep it.
            activity->counts = answer.statusCode() < 400;
            if (session->transport->isTerminated()) {
                endSession(*header);
            }
            co_return convert(std::move(answer), std::move(guard), activity);
        }

        std::optional<JSONRPCMessageKind> kind;
        if (upperCased(request.method) == "POST" && request.body) {
            kind = JSONRPCMessageKind::classify(*request.body);
        }
        if (!kind || !kind->isInitializeRequest()) {
            // The transport's own answer for a request outside any session.
            StatefulHTTPServerTransport scratch(transportOptions());
            co_return convert(scratch.handle(std::move(request)), nullptr);
        }
        // No server is built for an initialization that the session-free checks (a bearer token
        // among them) refuse anyway.
        if (auto answer = pipeline_->validate(request, outsideContext(request))) {
            co_return convert(std::move(*answer), nullptr);
        }
        std::optional<std::string> displaced;
        {
            std::lock_guard lock(mutex_);
            if (!stopped_ && sessions_.size() >= options_.maxSessions) {
                displaced = sessionToDisplace();
            }
            if (stopped_ || (sessions_.size() >= options_.maxSessions && !displaced)) {
                co_return convert(
                    HTTPResponse::error(503, MCPError::internalError("Too many sessions")),
                    nullptr);
            }
        }
        if (displaced) {
            logger_.debug("Session ended to make room",
                          [&] { return logging::Metadata{{"sessionID", *displaced}}; });
            endSession(*displaced);
        }
        auto session = std::make_shared<Session>();
        session->transport = std::make_shared<StatefulHTTPServerTransport>(transportOptions());
        session->server = makeServer_(executor_);
        co_await session->server->start(session->transport);
        HTTPResponse answer = session->transport->handle(std::move(request));
        auto id = session->transport->sessionID();
        if (!id) {
            session->transport->terminate();
            stopInBackground(executor_, session->server);
            co_return convert(std::move(answer), nullptr);
        }
        {
            std::lock_guard lock(mutex_);
            session->exchanges = 1;
            sessions_.insert_or_assign(*id, session);
        }
        logger_.debug("Session opened", [&] { return logging::Metadata{{"sessionID", *id}}; });
        auto activity = std::make_shared<Activity>();
        activity->counts = true;
        co_return convert(std::move(answer), exchangeGuard(session, activity), activity);
    }

    // The session a newcomer may take the place of: one that never got past "initialize", else
    // the one idle for longest; never one that is busy. Under the lock.
    std::optional<std::string> sessionToDisplace() const {
        const std::string* best = nullptr;
        const Session* chosen = nullptr;
        for (const auto& [id, session] : sessions_) {
            if (session->exchanges != 0) {
                continue;
            }
            if (!chosen || (!session->established && chosen->established) ||
                (session->established == chosen->established &&
                 session->lastActive < chosen->lastActive)) {
                best = &id;
                chosen = session.get();
            }
        }
        return best ? std::optional<std::string>(*best) : std::nullopt;
    }

    StatefulHTTPServerTransport::Options transportOptions() const {
        StatefulHTTPServerTransport::Options transport;
        transport.validationPipeline = options_.validationPipeline;
        transport.retryInterval = options_.retryInterval;
        transport.eventStore = options_.eventStore;
        transport.maxQueuedBytesPerStream = options_.maxQueuedBytesPerStream;
        transport.logger = options_.logger;
        return transport;
    }

    // Held while a request of `session` is answered or its stream is read; counted already.
    // Its end counts as activity when `activity` says so by then.
    std::shared_ptr<void> exchangeGuard(const std::shared_ptr<Session>& session,
                                        std::shared_ptr<Activity> activity) {
        std::weak_ptr<Router> weak = weak_from_this();
        return std::shared_ptr<void>(nullptr, [weak, session, activity](void*) {
            if (auto self = weak.lock()) {
                std::lock_guard lock(self->mutex_);
                --session->exchanges;
                if (activity->counts) {
                    const auto seen = activity->broken ? activity->start : Clock::now();
                    session->lastActive = std::max(session->lastActive, seen);
                }
            }
        });
    }

    void endSession(const std::string& id) {
        std::shared_ptr<Session> session;
        {
            std::lock_guard lock(mutex_);
            auto found = sessions_.find(id);
            if (found == sessions_.end()) {
                return;
            }
            session = std::move(found->second);
            sessions_.erase(found);
        }
        session->transport->terminate();
        stopInBackground(executor_, session->server);
    }

    fw::http::ServerResponse convert(HTTPResponse answer, std::shared_ptr<void> guard,
                                     std::shared_ptr<Activity> activity = nullptr) {
        fw::http::ServerResponse response;
        response.status = answer.statusCode();
        response.headers = answer.headers();
        if (MessageStream* chunks = answer.chunks()) {
            auto stream = std::make_shared<MessageStream>(std::move(*chunks));
            response.nextChunk = [stream, guard = std::move(guard)] { return stream->next(); };
            if (activity) {
                response.bodyBroken = [activity] { activity->broken = true; };
            }
        } else if (auto body = answer.body()) {
            response.body = std::move(*body);
        }
        return response;
    }

    static asio::awaitable<void> sweep(std::shared_ptr<Router> self) {
        const auto period = std::clamp<std::chrono::milliseconds>(
            std::min(self->options_.idleTimeout, self->options_.initializeTimeout) / 4,
            std::chrono::milliseconds(20), std::chrono::seconds(30));
        for (;;) {
            self->sweep_.expires_after(period);
            co_await self->sweep_.async_wait(asio::as_tuple(asio::use_awaitable));
            std::vector<std::string> expired;
            {
                std::lock_guard lock(self->mutex_);
                if (self->stopped_) {
                    co_return;
                }
                const auto now = Clock::now();
                for (const auto& [id, session] : self->sessions_) {
                    const auto limit =
                        session->established
                            ? self->options_.idleTimeout
                            : std::min(self->options_.idleTimeout, self->options_.initializeTimeout);
                    if (session->exchanges == 0 && now - session->lastActive >= limit) {
                        expired.push_back(id);
                    }
                }
            }
            for (const auto& id : expired) {
                self->logger_.debug("Idle session expired",
                                    [&] { return logging::Metadata{{"sessionID", id}}; });
                self->endSession(id);
            }
        }
    }

    const asio::any_io_executor executor_;
    const Options options_;
    const ServerFactory makeServer_;
    const logging::Logger logger_;
    const std::shared_ptr<const HTTPRequestValidationPipeline> pipeline_;
    asio::steady_timer sweep_;
    mutable std::mutex mutex_;
    bool stopped_ = false;
    std::unordered_map<std::string, std::shared_ptr<Session>> sessions_;
    std::unordered_map<std::uint64_t, Stateless> perConnection_;
};

StreamableHTTPServer::StreamableHTTPServer(asio::any_io_executor executor, Options options,
                                           ServerFactory makeServer)
    : router_(std::make_shared<Router>(executor, options, std::move(makeServer))),
      http_(std::make_unique<fw::http::Server>(executor, options.http, router_)) {}

StreamableHTTPServer::~StreamableHTTPServer() {
    stop();
}

void StreamableHTTPServer::start() {
    http_->start();
    router_->startSweeping();
}

std::uint16_t StreamableHTTPServer::port() const {
    return http_->port();
}

void StreamableHTTPServer::stop() {
    http_->stop();
    router_->stop();
}

std::size_t StreamableHTTPServer::sessionCount() const {
    return router_->sessionCount();
}

}  // namespace mcp
