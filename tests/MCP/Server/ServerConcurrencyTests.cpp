// The server under concurrent load on a four-thread io_context: many tool calls in flight at once,
// some cancelled at random, each of the others answered exactly once under its own id.
#include <gtest/gtest.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/use_future.hpp>
#include <chrono>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "MCP/JSON/JsonParser.h"
#include "MCP/Messages/Tools.h"
#include "MCP/Server/Server.h"
#include "MCP/Transports/InMemoryTransport.h"

namespace mcp {
namespace {

namespace asio = boost::asio;
using namespace std::chrono_literals;
using namespace boost::asio::experimental::awaitable_operators;

constexpr int kRequests = 200;

struct Outcome {
    std::map<std::int64_t, int> answers;        // id -> number of answers
    std::map<std::int64_t, std::string> texts;  // id -> the text its tool answered
    std::set<std::int64_t> cancelled;
    std::vector<std::string> strays;  // anything that is no answer to a call
};

// Sends every call, cancels some of them at random along the way, and reads answers until every
// call that was not cancelled has one; then a little longer, to catch duplicates.
asio::awaitable<Outcome> drive(std::shared_ptr<InMemoryTransport> client, std::uint32_t seed) {
    Outcome outcome;
    std::mt19937 random(seed);
    MessageStream answers = client->receive();
    for (int id = 1; id <= kRequests; ++id) {
        co_await client->send(R"({"jsonrpc":"2.0","id":)" + std::to_string(id) +
                              R"(,"method":"tools/call","params":{"name":"work","arguments":{"delay":)" +
                              std::to_string(random() % 4) + "}}}");
        if (random() % 4 == 0) {
            const int target = 1 + static_cast<int>(random() % id);
            outcome.cancelled.insert(target);
            co_await client->send(
                R"({"jsonrpc":"2.0","method":"notifications/cancelled","params":{"requestId":)" +
                std::to_string(target) + "}}");
        }
    }
    auto executor = co_await asio::this_coro::executor;
    auto unanswered = [&] {
        for (int id = 1; id <= kRequests; ++id) {
            if (!outcome.cancelled.count(id) && !outcome.answers.count(id)) {
                return true;
            }
        }
        return false;
    };
    auto deadline = std::chrono::steady_clock::now() + 20s;
    bool settling = false;
    while (std::chrono::steady_clock::now() < deadline) {
        if (!settling && !unanswered()) {
            settling = true;
            deadline = std::chrono::steady_clock::now() + 100ms;
        }
        // One read at a time, bounded by the deadline; the read that loses keeps its element.
        asio::steady_timer timer(executor, deadline);
        auto first = co_await (answers.next() || timer.async_wait(asio::use_awaitable));
        if (first.index() != 0) {
            break;
        }
        std::optional<std::string> message = std::move(std::get<0>(first));
        if (!message) {
            break;
        }
        const Value answer = parseJson(*message);
        const Value* id = answer.find("id");
        const Value* result = answer.find("result");
        if (!id || !id->intValue() || !result) {
            outcome.strays.push_back(*message);
            continue;
        }
        ++outcome.answers[*id->intValue()];
        const Value& text = (*result->find("content")->arrayValue())[0];
        outcome.texts[*id->intValue()] = *text.find("text")->stringValue();
    }
    co_return outcome;
}

TEST(ServerConcurrency, CancelledAndAnsweredRequestsOnFourThreads) {
    asio::io_context io;
    auto work = asio::make_work_guard(io);
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i) {
        threads.emplace_back([&] { io.run(); });
    }
    auto server = std::make_shared<Server>(io.get_executor(), "Frameweaver", "1.0.0");
    server->withMethodHandler<CallTool>(
        [](CallTool::Parameters parameters) -> asio::awaitable<CallTool::Result> {
            const Value* delay = parameters.arguments ? parameters.arguments->find("delay") : nullptr;
            // Some answer at once, others after a pause in which a cancellation can reach them.
            if (delay && delay->intValue() && *delay->intValue() > 0) {
                asio::steady_timer timer(co_await asio::this_coro::executor,
                                         std::chrono::milliseconds(*delay->intValue()));
                co_await timer.async_wait(asio::use_awaitable);
            }
            auto context = Server::currentHandlerContext();
            co_return CallTool::Result{
                .content = {ToolContent::text(context ? context->id.description() : "none")}};
        });
    auto [client, serverSide] = InMemoryTransport::createConnectedPair();
    asio::co_spawn(io, server->start(serverSide), asio::use_future).get();
    asio::co_spawn(io, client->connect(), asio::use_future).get();

    const Outcome outcome =
        asio::co_spawn(asio::make_strand(io), drive(client, 20261210), asio::use_future).get();

    EXPECT_TRUE(outcome.strays.empty()) << outcome.strays.front();
    for (int id = 1; id <= kRequests; ++id) {
        SCOPED_TRACE(id);
        const auto answered = outcome.answers.find(id);
        if (outcome.cancelled.count(id)) {
            // Cancelled after it had finished: answered, but once at most.
            EXPECT_LE(answered == outcome.answers.end() ? 0 : answered->second, 1);
        } else {
            ASSERT_NE(answered, outcome.answers.end());
            EXPECT_EQ(answered->second, 1);
        }
        if (answered != outcome.answers.end()) {
            EXPECT_EQ(outcome.texts.at(id), std::to_string(id));
        }
    }
    EXPECT_GT(outcome.cancelled.size(), 20u);

    Server::Load load;
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    do {
        load = asio::co_spawn(io, server->load(), asio::use_future).get();
    } while (load.runningRequests != 0 && std::chrono::steady_clock::now() < deadline);
    EXPECT_EQ(load.runningRequests, 0u);

    asio::co_spawn(io, server->stop(), asio::use_future).get();
    asio::co_spawn(io, client->disconnect(), asio::use_future).get();
    work.reset();
    for (auto& thread : threads) {
        thread.join();
    }
}

}  // namespace
}  // namespace mcp
