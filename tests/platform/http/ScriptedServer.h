// ScriptedServer: a small HTTP/1.1 server on 127.0.0.1, plain or TLS, for tests of HTTP
// clients. It runs on a thread of its own; a handler coroutine, given each request in turn,
// writes whatever bytes the test wants (a whole response, a chunked stream with pauses, half a
// body), and may close or reset the connection. Connections stay open for further requests
// until the handler closes them or the client does.
//
//   ScriptedServer server([](ServerExchange& exchange) -> boost::asio::awaitable<void> {
//       co_await exchange.respond(200, {{"Content-Type", "text/plain"}}, "hello");
//   });
//   client.send({.url = server.url("/path")});
#pragma once

#include <boost/asio/awaitable.hpp>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/http/Headers.h"

namespace fw::http::testing {

struct ReceivedRequest {
    std::string method;
    std::string target;
    Headers headers;
    std::string body;
    int connection = 0;  // 1 for the first connection accepted, and so on
    std::chrono::steady_clock::time_point time;
};

class ServerExchange {
public:
    virtual ~ServerExchange() = default;

    virtual const ReceivedRequest& request() const = 0;
    // Raw bytes onto the connection.
    virtual boost::asio::awaitable<void> write(std::string bytes) = 0;
    virtual boost::asio::awaitable<void> pause(std::chrono::milliseconds duration) = 0;
    // Waits, checking every few milliseconds, until `condition` holds (at most a minute).
    virtual boost::asio::awaitable<void> waitFor(std::function<bool()> condition) = 0;
    // Waits until the client closes the connection or the server stops.
    virtual boost::asio::awaitable<void> holdOpen() = 0;
    // Ends the connection once the handler returns: with FIN, or with RST.
    virtual void close() = 0;
    virtual void reset() = 0;

    // A whole response with Content-Length.
    boost::asio::awaitable<void> respond(int status,
                                         std::vector<std::pair<std::string, std::string>> headers,
                                         std::string body);
    // The head of a chunked response; chunk() and endChunks() follow.
    boost::asio::awaitable<void> startChunked(
        int status, std::vector<std::pair<std::string, std::string>> headers);
    boost::asio::awaitable<void> chunk(std::string_view data);
    boost::asio::awaitable<void> endChunks();
};

using Fields = std::vector<std::pair<std::string, std::string>>;

// Header fields from names and values in turn: fields("Location", "/a", "X-B", "b"). (g++ 12
// cannot take a braced list of pairs inside a co_await expression.)
template <class... Texts>
Fields fields(Texts&&... texts) {
    std::vector<std::string> flat{std::string(std::forward<Texts>(texts))...};
    Fields result;
    for (std::size_t i = 0; i + 1 < flat.size(); i += 2) {
        result.emplace_back(flat[i], flat[i + 1]);
    }
    return result;
}

using ServerHandler = std::function<boost::asio::awaitable<void>(ServerExchange&)>;

class ScriptedServer {
public:
    struct TLS {
        std::string certificatePEM;
        std::string keyPEM;
    };

    explicit ScriptedServer(ServerHandler handler, std::optional<TLS> tls = std::nullopt);
    ~ScriptedServer();
    ScriptedServer(const ScriptedServer&) = delete;
    ScriptedServer& operator=(const ScriptedServer&) = delete;

    std::uint16_t port() const;
    // "http://127.0.0.1:PORT" + path (https for a TLS server); `host` replaces the address.
    std::string url(std::string_view path, std::string_view host = "127.0.0.1") const;

    std::vector<ReceivedRequest> requests() const;
    int connectionCount() const;
    // True once `count` requests have arrived; false after `timeout`.
    bool waitForRequests(std::size_t count,
                         std::chrono::milliseconds timeout = std::chrono::seconds(30)) const;

    struct State;

private:
    std::shared_ptr<State> state_;
    std::uint16_t port_ = 0;
};

// The status line's text for the statuses tests use.
std::string_view reasonPhrase(int status);

}  // namespace fw::http::testing
