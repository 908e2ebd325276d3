// A transport that a test drives by hand: the server receives what the test pushes, what the server
// sends is recorded, and connect() and send() can be held until the test lets them go. It also
// supplies HTTP request contexts, like the HTTP server transports, and records the requests the
// server says it will not answer. One thread only, like the io_context of the server tests.
#pragma once

#include <exception>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "Logging/Logger.h"
#include "Logging/NoOpLogHandler.h"
#include "MCP/Core/Transport.h"
#include "tests/MCP/ServerTestSupport.h"

namespace mcp::testing {

class ScriptedTransport final : public Transport {
public:
    explicit ScriptedTransport(asio::io_context& io, std::optional<logging::Logger> logger = {})
        : connectGate(io),
          sendGate(io),
          logger_(logger ? std::move(*logger) : logging::Logger("test", logging::NoOpLogHandler())) {
        auto [stream, source] = MessageStream::make();
        stream_.emplace(std::move(stream));
        source_.emplace(std::move(source));
    }

    // What the server will receive, and the end of its stream.
    void push(std::string message) { source_->yield(std::move(message)); }
    void finish(std::exception_ptr error = nullptr) { source_->finish(error); }

    const logging::Logger& logger() const override { return logger_; }
    asio::awaitable<void> connect() override {
        if (holdConnect) {
            co_await connectGate.wait();
        }
        if (connectFailure) {
            std::rethrow_exception(connectFailure);
        }
    }
    asio::awaitable<void> disconnect() override {
        ++disconnects;
        source_->finish();
        co_return;
    }
    asio::awaitable<void> send(std::string message) override {
        ++sendsWaiting;
        if (holdSends) {
            co_await sendGate.wait();
        }
        --sendsWaiting;
        if (sendFailure) {
            std::rethrow_exception(sendFailure);
        }
        sent.push_back(std::move(message));
    }
    MessageStream receive() override {
        ++receives;
        if (!stream_) {
            auto [stream, source] = MessageStream::make();
            source.finish();
            return std::move(stream);
        }
        MessageStream stream = std::move(*stream_);
        stream_.reset();
        return stream;
    }

    bool providesHTTPRequestContexts() const noexcept override { return suppliesHTTP; }
    asio::awaitable<std::optional<HTTPRequest>> httpRequestContext(ID id) override {
        co_return HTTPRequest{.method = "POST",
                              .headers = {{"Mcp-Session-Id", "session-1"}},
                              .body = std::nullopt,
                              .path = "/mcp/" + id.description()};
    }
    asio::awaitable<void> requestEndedWithoutAnswer(ID id) override {
        unanswered.push_back(id.description());
        co_return;
    }

    bool holdConnect = false;
    std::exception_ptr connectFailure;
    bool holdSends = false;
    std::exception_ptr sendFailure;  // thrown by every send() (after the gate) while set
    bool suppliesHTTP = false;
    Gate connectGate;
    Gate sendGate;

    std::vector<std::string> sent;
    std::vector<std::string> unanswered;
    int sendsWaiting = 0;
    int receives = 0;
    int disconnects = 0;

private:
    logging::Logger logger_;
    std::optional<MessageStream> stream_;
    std::optional<MessageStream::Source> source_;
};

}  // namespace mcp::testing
