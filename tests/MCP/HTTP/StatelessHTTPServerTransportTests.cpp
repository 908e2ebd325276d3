// The stateless HTTP server transport: one JSON answer per POSTed request, with a real server
// behind it, and what becomes of waiters when the transport ends or the client goes away.
#include <gtest/gtest.h>

#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/io_context.hpp>
#include <memory>
#include <string>

#include "MCP/HTTP/StatelessHTTPServerTransport.h"
#include "examples/ExampleTools.h"
#include "tests/MCP/ServerTestSupport.h"

namespace mcp {
namespace {

namespace asio = boost::asio;
using testing::runFor;

HTTPRequest post(std::string body) {
    return HTTPRequest{"POST",
                       {{"Accept", "application/json"}, {"Content-Type", "application/json"}},
                       std::move(body),
                       "/mcp"};
}

// Starts handleRequest() in the background; the answer lands in `answer`.
void spawnRequest(asio::io_context& io, std::shared_ptr<StatelessHTTPServerTransport> transport,
                  HTTPRequest request, std::optional<HTTPResponse>& answer,
                  asio::cancellation_signal* cancel = nullptr, bool* aborted = nullptr) {
    auto handler = [&answer, aborted](std::exception_ptr error, HTTPResponse response) {
        if (error) {
            if (aborted) {
                *aborted = true;
            }
            return;
        }
        answer.emplace(std::move(response));
    };
    if (cancel) {
        asio::co_spawn(io, transport->handleRequest(std::move(request)),
                       asio::bind_cancellation_slot(cancel->slot(), handler));
    } else {
        asio::co_spawn(io, transport->handleRequest(std::move(request)), handler);
    }
}

class StatelessTransportTest : public ::testing::Test {
protected:
    void runUntil(const std::function<bool()>& done) {
        auto guard = asio::make_work_guard(io);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!done() && std::chrono::steady_clock::now() < deadline) {
            io.run_one_for(std::chrono::milliseconds(20));
        }
        ASSERT_TRUE(done());
    }

    asio::io_context io;
    std::shared_ptr<StatelessHTTPServerTransport> transport =
        std::make_shared<StatelessHTTPServerTransport>();
};

TEST_F(StatelessTransportTest, AnswersARequestWithTheServersJson) {
    auto server = example::makeExampleToolServer(io.get_executor());
    std::optional<HTTPRequest> seen;
    server->withMethodHandler<ListTools>([&](ListTools::Parameters)
                                             -> asio::awaitable<ListTools::Result> {
        seen = Server::currentHandlerContext()->httpContext;
        co_return ListTools::Result{};
    });
    runFor(io, server->start(transport));
    auto ping = runFor(io, transport->handleRequest(post(R"({"jsonrpc":"2.0","id":1,"method":"ping"})")));
    EXPECT_EQ(ping.statusCode(), 200);
    EXPECT_EQ(ping.headers().get("Content-Type"), "application/json");
    EXPECT_EQ(ping.body(), R"({"id":1,"jsonrpc":"2.0","result":{}})");

    auto list = runFor(io, transport->handleRequest(post(R"({"jsonrpc":"2.0","id":2,"method":"tools/list"})")));
    EXPECT_EQ(list.statusCode(), 200);
    ASSERT_TRUE(seen);
    EXPECT_EQ(seen->body, R"({"jsonrpc":"2.0","id":2,"method":"tools/list"})");
    EXPECT_EQ(runFor(io, transport->httpRequestContext(ID(2))), std::nullopt);  // gone afterwards

    auto note = runFor(io, transport->handleRequest(post(R"({"jsonrpc":"2.0","method":"notifications/initialized"})")));
    EXPECT_EQ(note.statusCode(), 202);
    EXPECT_TRUE(note.headers().empty());
    runFor(io, server->stop());
}

TEST_F(StatelessTransportTest, Refusals) {
    HTTPRequest get{"GET", {{"Accept", "application/json"}}, std::nullopt, "/mcp"};
    auto refused = runFor(io, transport->handleRequest(get));
    EXPECT_EQ(refused.statusCode(), 405);
    EXPECT_EQ(refused.headers().get("Allow"), "POST");
    EXPECT_EQ(runFor(io, transport->handleRequest(post(""))).mcpError()->errorDescription(),
              "Parse error: Invalid JSON: Empty request body");
    EXPECT_EQ(runFor(io, transport->handleRequest(post("[1]"))).mcpError()->errorDescription(),
              "Parse error: Invalid JSON: Invalid JSON-RPC message");
    HTTPRequest wrongAccept = post(R"({"jsonrpc":"2.0","id":1,"method":"ping"})");
    wrongAccept.headers["Accept"] = "text/event-stream";
    EXPECT_EQ(runFor(io, transport->handleRequest(wrongAccept)).statusCode(), 406);
}

TEST_F(StatelessTransportTest, TerminationAnswersWaitersThenRefuses) {
    std::optional<HTTPResponse> first;
    std::optional<HTTPResponse> second;
    spawnRequest(io, transport, post(R"({"jsonrpc":"2.0","id":1,"method":"x"})"), first);
    spawnRequest(io, transport, post(R"({"jsonrpc":"2.0","id":"1","method":"x"})"), second);
    io.poll();
    // The same typed id again while the first waits: refused, the first keeps waiting.
    auto duplicate = runFor(io, transport->handleRequest(post(R"({"jsonrpc":"2.0","id":1,"method":"x"})")));
    EXPECT_EQ(duplicate.statusCode(), 400);
    EXPECT_EQ(duplicate.mcpError()->errorDescription(),
              "Invalid Request: Bad Request: Duplicate request ID");
    transport->terminate();
    runUntil([&] { return first && second; });
    EXPECT_EQ(first->statusCode(), 500);
    EXPECT_EQ(first->mcpError()->errorDescription(),
              "Internal error: Error processing request: Connection closed");
    EXPECT_EQ(second->statusCode(), 500);
    auto later = runFor(io, transport->handleRequest(post(R"({"jsonrpc":"2.0","id":2,"method":"x"})")));
    EXPECT_EQ(later.statusCode(), 404);
    EXPECT_EQ(later.mcpError()->errorDescription(),
              "Invalid Request: Not Found: Transport has been terminated");
}

TEST_F(StatelessTransportTest, AClientThatGoesAwayWithdrawsItsWaiter) {
    std::optional<HTTPResponse> answer;
    asio::cancellation_signal cancel;
    bool aborted = false;
    spawnRequest(io, transport, post(R"({"jsonrpc":"2.0","id":4,"method":"x"})"), answer, &cancel,
                 &aborted);
    io.poll();
    EXPECT_TRUE(runFor(io, transport->httpRequestContext(ID(4))));
    cancel.emit(asio::cancellation_type::all);
    runUntil([&] { return aborted; });
    EXPECT_EQ(runFor(io, transport->httpRequestContext(ID(4))), std::nullopt);
    // The id is free again, and a late response is dropped without harm.
    runFor(io, transport->send(R"({"jsonrpc":"2.0","id":4,"result":{}})"));
    std::optional<HTTPResponse> again;
    spawnRequest(io, transport, post(R"({"jsonrpc":"2.0","id":4,"method":"x"})"), again);
    io.poll();
    runFor(io, transport->send(R"({"jsonrpc":"2.0","id":4,"result":{"ok":true}})"));
    runUntil([&] { return again.has_value(); });
    EXPECT_EQ(again->body(), R"({"jsonrpc":"2.0","id":4,"result":{"ok":true}})");
}

TEST_F(StatelessTransportTest, ServerInitiatedMessages) {
    // Notifications have nowhere to go and are dropped; a request would never be answered.
    runFor(io, transport->send(R"({"jsonrpc":"2.0","method":"notifications/progress","params":{}})"));
    EXPECT_THROW(runFor(io, transport->send(R"({"jsonrpc":"2.0","id":"s1","method":"roots/list"})")),
                 MCPError);
    runFor(io, transport->send(R"({"jsonrpc":"2.0","id":99,"result":{}})"));  // nobody waits
    runFor(io, transport->connect());
    EXPECT_THROW(runFor(io, transport->connect()), MCPError);
}

}  // namespace
}  // namespace mcp
