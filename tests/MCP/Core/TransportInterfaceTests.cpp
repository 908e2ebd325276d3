// The transport interface is implementable as an actor over the async stream: a loopback
// transport whose sent messages come back on its own receive stream.
#include <gtest/gtest.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/thread_pool.hpp>
#include <optional>
#include <string>
#include <vector>

#include "Logging/Logger.h"
#include "Logging/NoOpLogHandler.h"
#include "MCP/Core/Actor.h"
#include "MCP/Core/Transport.h"
#include "MCP/Messages/MCPError.h"

namespace mcp {
namespace {

namespace asio = boost::asio;
using asio::awaitable;

class LoopbackTransport final : public Transport {
public:
    explicit LoopbackTransport(asio::any_io_executor executor)
        : strand_(asio::make_strand(executor)),
          logger_("mcp.transport.loopback", logging::NoOpLogHandler()) {
        auto [stream, source] = MessageStream::make();
        stream_.emplace(std::move(stream));
        source_.emplace(std::move(source));
    }

    const logging::Logger& logger() const override { return logger_; }

    awaitable<void> connect() override {
        return onStrand(strand_, [this]() -> awaitable<void> {
            connected_ = true;
            co_return;
        });
    }
    awaitable<void> disconnect() override {
        return onStrand(strand_, [this]() -> awaitable<void> {
            connected_ = false;
            source_->finish();
            co_return;
        });
    }
    awaitable<void> send(std::string message) override {
        return onStrand(strand_, [this, message = std::move(message)]() mutable -> awaitable<void> {
            if (!connected_) {
                throw MCPError::connectionClosed();
            }
            source_->yield(std::move(message));
            co_return;
        });
    }
    MessageStream receive() override { return std::move(*stream_); }

private:
    Strand strand_;
    logging::Logger logger_;
    bool connected_ = false;  // on strand_
    std::optional<MessageStream> stream_;
    std::optional<MessageStream::Source> source_;
};

TEST(Transport, LoopbackDeliversEverySentMessageThenEnds) {
    asio::thread_pool pool(2);
    asio::io_context context;
    std::vector<std::string> received;
    bool sendAfterDisconnectFailed = false;
    asio::co_spawn(
        context,
        [&]() -> awaitable<void> {
            LoopbackTransport transport(pool.get_executor());
            Transport& channel = transport;
            co_await channel.connect();
            MessageStream stream = channel.receive();
            for (int i = 0; i < 100; ++i) {
                co_await channel.send("{\"n\":" + std::to_string(i) + "}");
            }
            co_await channel.disconnect();
            while (auto message = co_await stream.next()) {
                received.push_back(*message);
            }
            try {
                co_await channel.send("{}");
            } catch (const MCPError& error) {
                sendAfterDisconnectFailed = error == MCPError::connectionClosed();
            }
            EXPECT_EQ(channel.logger().label(), "mcp.transport.loopback");
        },
        [](std::exception_ptr error) {
            if (error) {
                std::rethrow_exception(error);
            }
        });
    context.run();
    pool.join();
    ASSERT_EQ(received.size(), 100U);
    EXPECT_EQ(received.front(), "{\"n\":0}");
    EXPECT_EQ(received.back(), "{\"n\":99}");
    EXPECT_TRUE(sendAfterDisconnectFailed);
}

}  // namespace
}  // namespace mcp
