// Bytes from a client, as the embedded HTTP server reads them: the input arrives on one end of a
// socket pair whose other end the server serves, and the client then closes its sending side.
// The handler echoes the request's body, or streams two chunks for "/stream". The server must
// not crash, must close the connection once the client has said all it will, and what it sends
// must be HTTP responses.
#include <sys/socket.h>
#include <unistd.h>

#include <boost/asio/io_context.hpp>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "fuzz/FuzzCheck.h"
#include "platform/http/Server.h"

namespace {

namespace asio = boost::asio;
using namespace std::chrono_literals;

class EchoHandler : public fw::http::ServerHandler {
public:
    asio::awaitable<fw::http::ServerResponse> handle(fw::http::ServerRequest request) override {
        fw::http::ServerResponse response;
        response.headers.set("Content-Type", "text/plain");
        if (request.path == "/stream") {
            auto left = std::make_shared<int>(2);
            response.nextChunk = [left]() -> asio::awaitable<std::optional<std::string>> {
                if (*left == 0) {
                    co_return std::nullopt;
                }
                --*left;
                co_return std::string("data: x\n\n");
            };
        } else {
            response.body = std::move(request.body);
        }
        co_return response;
    }
};

struct Harness {
    asio::io_context context;
    // Small limits, so that inputs of a few kilobytes reach them.
    fw::http::Server server{context.get_executor(),
                            {.maxHeaderBytes = 1024, .maxBodyBytes = 4096},
                            std::make_shared<EchoHandler>()};
};

// Sends what the socket takes of `rest` without blocking.
void sendSome(int descriptor, std::string_view& rest) {
    while (!rest.empty()) {
        ssize_t sent = ::send(descriptor, rest.data(), rest.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent <= 0) {
            return;
        }
        rest.remove_prefix(std::size_t(sent));
    }
}

// Reads what has come; false once the server has closed its end.
bool receiveSome(int descriptor, std::string& answer) {
    char block[4096];
    for (;;) {
        ssize_t got = ::recv(descriptor, block, sizeof block, MSG_DONTWAIT);
        if (got > 0) {
            // Only the beginning matters to the check; the rest is drained.
            if (answer.size() < 64) {
                answer.append(block, std::size_t(got));
            }
            continue;
        }
        return got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Harness* harness = new Harness;
    int ends[2];
    fuzz::check(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) == 0, "socketpair");
    const int client = ends[0];
    harness->server.adopt(ends[1]);

    std::string_view rest(reinterpret_cast<const char*>(data), size);
    std::string answer;
    bool sendingDone = false;
    bool open = true;
    while (open || harness->server.connectionCount() != 0) {
        if (!sendingDone) {
            sendSome(client, rest);
            if (rest.empty()) {
                ::shutdown(client, SHUT_WR);
                sendingDone = true;
            }
        }
        if (harness->context.stopped()) {
            harness->context.restart();
        }
        harness->context.run_for(1ms);
        open = open && receiveSome(client, answer);
    }
    ::close(client);
    fuzz::check(answer.empty() || answer.starts_with("HTTP/1."),
                "the server sent something other than an HTTP response", answer);
    return 0;
}
