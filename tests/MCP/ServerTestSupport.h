// A server on an in-memory pair, driven from a test through the client side with raw JSON lines,
// on an io_context that the test thread runs. Shared by the server tests.
#pragma once

#include <gtest/gtest.h>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <algorithm>
#include <chrono>
#include <deque>
#include <exception>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "MCP/Messages/Tools.h"
#include "MCP/Server/Server.h"
#include "MCP/Transports/InMemoryTransport.h"

namespace mcp::testing {

namespace asio = boost::asio;
using namespace std::chrono_literals;

// Runs the io_context on the calling thread until `operation` has finished, at most `timeout`.
// Rethrows what the operation threw; throws std::runtime_error on time-out (the operation is then
// cancelled and allowed to end).
template <class T>
T runFor(asio::io_context& io, asio::awaitable<T> operation,
         std::chrono::steady_clock::duration timeout = 5s) {
    // Work that is only awaited (a stream, a result) is no work to the io_context: keep it running.
    auto guard = asio::make_work_guard(io);
    if (io.stopped()) {
        io.restart();
    }
    std::optional<T> result;
    std::exception_ptr failure;
    bool done = false;
    asio::cancellation_signal cancel;
    asio::co_spawn(
        io, std::move(operation),
        asio::bind_cancellation_slot(cancel.slot(), [&](std::exception_ptr error, T value) {
            failure = error;
            if (!error) {
                result.emplace(std::move(value));
            }
            done = true;
        }));
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done && std::chrono::steady_clock::now() < deadline) {
        io.run_one_for(deadline - std::chrono::steady_clock::now());
    }
    if (!done) {
        cancel.emit(asio::cancellation_type::all);
        while (!done) {
            io.run_one();
        }
        throw std::runtime_error("The operation did not finish in time.");
    }
    if (failure) {
        std::rethrow_exception(failure);
    }
    return std::move(*result);
}

inline void runFor(asio::io_context& io, asio::awaitable<void> operation,
                   std::chrono::steady_clock::duration timeout = 5s) {
    runFor(
        io,
        [](asio::awaitable<void> inner) -> asio::awaitable<bool> {
            co_await std::move(inner);
            co_return true;
        }(std::move(operation)),
        timeout);
}

// Runs work for `duration` (lets background tasks make progress), then on until no handler is
// ready: on a loaded machine the pause alone can pass before queued work had its turn.
inline void runIdle(asio::io_context& io, std::chrono::steady_clock::duration duration) {
    auto guard = asio::make_work_guard(io);
    if (io.stopped()) {
        io.restart();
    }
    const auto deadline = std::chrono::steady_clock::now() + duration;
    while (std::chrono::steady_clock::now() < deadline) {
        io.run_one_for(deadline - std::chrono::steady_clock::now());
    }
    while (io.poll() > 0) {
    }
}

// Runs ready work until `done()` holds, at most `timeout`.
template <class Predicate>
void runUntil(asio::io_context& io, Predicate done,
              std::chrono::steady_clock::duration timeout = 3s) {
    auto guard = asio::make_work_guard(io);  // an idle io_context would stop and run nothing
    if (io.stopped()) {
        io.restart();
    }
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done() && std::chrono::steady_clock::now() < deadline) {
        io.run_one_for(std::min<std::chrono::steady_clock::duration>(
            deadline - std::chrono::steady_clock::now(), 10ms));
    }
}

class ServerHarness {
public:
    explicit ServerHarness(Server::Configuration configuration = {},
                           std::optional<logging::Logger> logger = std::nullopt)
        : work_(asio::make_work_guard(io)) {
        Server::Capabilities capabilities;
        capabilities.tools = Server::Capabilities::Tools{};
        server = std::make_shared<Server>(io.get_executor(), "Frameweaver", "1.0.0", std::nullopt,
                                          std::nullopt, capabilities, configuration);
        std::tie(client, serverSide) = InMemoryTransport::createConnectedPair(std::move(logger));
    }

    ~ServerHarness() {
        try {
            runFor(io, server->stop());
        } catch (...) {
        }
        runIdle(io, 1ms);
    }

    void start(Server::InitializeHook hook = {}) {
        runFor(io, server->start(serverSide, std::move(hook)));
        runFor(io, client->connect());
        // One reader for the whole test collects what the server sends.
        asio::co_spawn(io, collect(client->receive(), received_, finished_), asio::detached);
    }

    void send(std::string line) { runFor(io, client->send(std::move(line))); }

    // The next message from the server, or nothing within `timeout`.
    std::optional<std::string> receive(std::chrono::steady_clock::duration timeout = 3s) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (received_->empty() && std::chrono::steady_clock::now() < deadline) {
            io.run_one_for(deadline - std::chrono::steady_clock::now());
        }
        if (received_->empty()) {
            return std::nullopt;
        }
        std::string message = std::move(received_->front());
        received_->pop_front();
        return message;
    }

    std::string exchange(std::string line) {
        send(std::move(line));
        auto answer = receive();
        return answer.value_or("<no answer>");
    }

    // Sends the initialize request with id 0 and returns its answer.
    std::string initialize(std::string capabilities = "{}") {
        return exchange(
            R"({"jsonrpc":"2.0","id":0,"method":"initialize","params":{"protocolVersion":"2025-06-18","capabilities":)" +
            capabilities + R"(,"clientInfo":{"name":"test","version":"1"}}})");
    }

    asio::io_context io;
    std::shared_ptr<Server> server;
    std::shared_ptr<InMemoryTransport> client;
    std::shared_ptr<InMemoryTransport> serverSide;

private:
    static asio::awaitable<void> collect(MessageStream stream,
                                         std::shared_ptr<std::deque<std::string>> received,
                                         std::shared_ptr<bool> finished) {
        try {
            while (auto message = co_await stream.next()) {
                received->push_back(std::move(*message));
            }
        } catch (...) {
        }
        *finished = true;
    }

    std::shared_ptr<std::deque<std::string>> received_ =
        std::make_shared<std::deque<std::string>>();
    std::shared_ptr<bool> finished_ = std::make_shared<bool>(false);
    asio::executor_work_guard<asio::io_context::executor_type> work_;
};

// A latch a handler can wait on until the test opens it.
class Gate {
public:
    explicit Gate(asio::io_context& io) : timer_(io, asio::steady_timer::time_point::max()) {}
    asio::awaitable<void> wait() {
        while (!open_) {
            auto [error] = co_await timer_.async_wait(asio::as_tuple(asio::use_awaitable));
            if (error && !open_) {
                auto state = co_await asio::this_coro::cancellation_state;
                if (state.cancelled() != asio::cancellation_type::none) {
                    throw boost::system::system_error(asio::error::operation_aborted);
                }
            }
        }
    }
    void open() {
        open_ = true;
        timer_.cancel();
    }

private:
    asio::steady_timer timer_;
    bool open_ = false;
};

// Everything a stream yields until it ends, and the text of the error it ended with.
struct Drained {
    std::vector<std::string> messages;
    std::string error;
};

inline asio::awaitable<Drained> drain(MessageStream stream) {
    Drained drained;
    try {
        while (auto message = co_await stream.next()) {
            drained.messages.push_back(std::move(*message));
        }
    } catch (const std::exception& error) {
        drained.error = error.what();
    }
    co_return drained;
}

}  // namespace mcp::testing
