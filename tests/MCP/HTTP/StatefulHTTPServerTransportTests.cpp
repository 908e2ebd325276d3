// The stateful HTTP server transport: sessions, request streams, the event store's ids, routing
// and replay, byte for byte, and the faults a long session must not run into.
#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <memory>
#include <string>

#include "MCP/HTTP/StatefulHTTPServerTransport.h"
#include "examples/ExampleTools.h"
#include "tests/MCP/ServerTestSupport.h"

namespace mcp {
namespace {

namespace asio = boost::asio;
using testing::runFor;

class FixedSessionID : public SessionIDGenerator {
public:
    explicit FixedSessionID(std::string id) : id_(std::move(id)) {}
    std::string generateSessionID() override { return id_; }

private:
    std::string id_;
};

std::string initializeBody(const std::string& version, const std::string& id = "1") {
    return R"({"jsonrpc":"2.0","id":)" + id +
           R"(,"method":"initialize","params":{"protocolVersion":")" + version +
           R"(","capabilities":{},"clientInfo":{"name":"t","version":"1"}}})";
}

class StatefulTransportTest : public ::testing::Test {
protected:
    std::shared_ptr<StatefulHTTPServerTransport> makeTransport(std::string sessionID = "S1") {
        StatefulHTTPServerTransport::Options options;
        options.sessionIDGenerator = std::make_shared<FixedSessionID>(std::move(sessionID));
        options.retryInterval = retry;
        return std::make_shared<StatefulHTTPServerTransport>(options);
    }

    static HTTPRequest post(std::string body, std::optional<std::string> session = "S1") {
        HTTPRequest request{"POST",
                            {{"Accept", "application/json, text/event-stream"},
                             {"Content-Type", "application/json"}},
                            std::move(body),
                            "/mcp"};
        if (session) {
            request.headers["MCP-Session-Id"] = *session;
        }
        return request;
    }

    static HTTPRequest get(std::optional<std::string> lastEventID = std::nullopt,
                           std::string version = "2025-06-18") {
        HTTPRequest request{"GET",
                            {{"Accept", "text/event-stream"},
                             {"MCP-Session-Id", "S1"},
                             {"MCP-Protocol-Version", version}},
                            std::nullopt,
                            "/mcp"};
        if (lastEventID) {
            request.headers["Last-Event-ID"] = *lastEventID;
        }
        return request;
    }

    // A transport with session S1 whose initialize stream is answered and ended.
    std::shared_ptr<StatefulHTTPServerTransport> initialized(std::string version = "2025-06-18") {
        auto transport = makeTransport();
        auto answer = transport->handle(post(initializeBody(version), std::nullopt));
        EXPECT_EQ(answer.statusCode(), 200);
        runFor(io, transport->sendAnswer(R"({"jsonrpc":"2.0","id":1,"result":{}})",
                                         Transport::Answer{ID(1), false}));
        drain(answer);
        return transport;
    }

    std::optional<std::string> next(HTTPResponse& answer) {
        return runFor(io, answer.chunks()->next());
    }

    // Every chunk until the stream ends, joined.
    std::string drain(HTTPResponse& answer) {
        std::string all;
        while (auto chunk = next(answer)) {
            all += *chunk;
        }
        return all;
    }

    asio::io_context io;
    std::optional<std::int64_t> retry;
};

TEST_F(StatefulTransportTest, InitializeStreamsPrimingThenTheResponse) {
    retry = 3000;
    auto transport = makeTransport();
    MessageStream received = transport->receive();
    auto answer = transport->handle(post(initializeBody("2025-06-18"), std::nullopt));
    ASSERT_EQ(answer.kind(), HTTPResponse::Kind::stream);
    auto headers = answer.headers();
    EXPECT_EQ(headers.get("MCP-Session-Id"), "S1");
    EXPECT_EQ(headers.get("Content-Type"), "text/event-stream");
    EXPECT_EQ(headers.get("Cache-Control"), "no-cache, no-transform");
    EXPECT_EQ(headers.get("Connection"), "keep-alive");
    EXPECT_EQ(runFor(io, received.next()), initializeBody("2025-06-18"));

    EXPECT_EQ(next(answer), "id: 1_1\nretry: 3000\ndata: \n\n");
    const std::string result = R"({"jsonrpc":"2.0","id":1,"result":{}})";
    runFor(io, transport->send(result));
    EXPECT_EQ(next(answer), "id: 1_2\nevent: message\ndata: " + result + "\n\n");
    EXPECT_EQ(next(answer), std::nullopt);
}

TEST_F(StatefulTransportTest, OldProtocolVersionGetsNoPriming) {
    auto transport = makeTransport();
    auto answer = transport->handle(post(initializeBody("2024-11-05"), std::nullopt));
    runFor(io, transport->send(R"({"jsonrpc":"2.0","id":1,"result":{}})"));
    EXPECT_EQ(drain(answer),
              "id: 1_1\nevent: message\ndata: {\"jsonrpc\":\"2.0\",\"id\":1,\"result\":{}}\n\n");
}

TEST_F(StatefulTransportTest, SessionRefusals) {
    auto transport = initialized();
    struct Case {
        const char* name;
        HTTPRequest request;
        int status;
        std::string message;
    };
    HTTPRequest put = post("{}");
    put.method = "PUT";
    HTTPRequest empty = post("");
    std::vector<Case> cases = {
        {"second initialize", post(initializeBody("2025-06-18", "2")), 400,
         "Invalid Request: Bad Request: Session already initialized"},
        {"batch", post(R"([{"jsonrpc":"2.0","id":2,"method":"ping"}])"), 400,
         "Parse error: Invalid JSON: Invalid JSON-RPC message"},
        {"empty body", empty, 400, "Parse error: Invalid JSON: Empty request body"},
        {"PUT", put, 405, "Invalid Request: Method Not Allowed"},
        {"request id that would break the stream", post(R"({"id":"a\nid: x","method":"ping"})"),
         400, "Invalid Request: Bad Request: Invalid request ID"},
        {"request id with a tab", post(R"({"id":"a\tb","method":"ping"})"), 400,
         "Invalid Request: Bad Request: Invalid request ID"},
        {"request id with an escape", post(R"({"id":"a\u001bb","method":"ping"})"), 400,
         "Invalid Request: Bad Request: Invalid request ID"},
        {"request id with DEL", post(R"({"id":"a\u007f","method":"ping"})"), 400,
         "Invalid Request: Bad Request: Invalid request ID"},
        {"request id with a leading space", post(R"({"id":" a","method":"ping"})"), 400,
         "Invalid Request: Bad Request: Invalid request ID"},
        {"unknown Last-Event-ID", get("nope_9"), 400, "Invalid Request: Invalid Last-Event-ID"},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto answer = transport->handle(std::move(c.request));
        EXPECT_EQ(answer.statusCode(), c.status);
        ASSERT_NE(answer.mcpError(), nullptr);
        EXPECT_EQ(answer.mcpError()->errorDescription(), c.message);
        EXPECT_EQ(answer.headers().get("MCP-Session-Id"), "S1");
    }
    EXPECT_EQ(transport->handle(std::move(put)).headers().get("Allow"), "GET, POST, DELETE");
}

TEST_F(StatefulTransportTest, InvalidGeneratedSessionIdIsOneInternalError) {
    auto transport = makeTransport("bad id");
    auto answer = transport->handle(post(initializeBody("2025-06-18"), std::nullopt));
    EXPECT_EQ(answer.statusCode(), 500);
    EXPECT_EQ(answer.mcpError()->errorDescription(), "Internal error: Invalid session ID generated");
    EXPECT_FALSE(answer.headers().contains("MCP-Session-Id"));
    EXPECT_EQ(transport->sessionID(), std::nullopt);
}

TEST_F(StatefulTransportTest, NotificationsAreAcceptedWithTheSession) {
    auto transport = initialized();
    auto answer = transport->handle(post(R"({"jsonrpc":"2.0","method":"notifications/initialized"})"));
    EXPECT_EQ(answer.statusCode(), 202);
    EXPECT_EQ(answer.headers().get("MCP-Session-Id"), "S1");
    EXPECT_EQ(answer.chunks(), nullptr);
}

TEST_F(StatefulTransportTest, TypedIdsKeepTheirOwnStreamsAndDuplicatesAreRefused) {
    auto transport = initialized();
    auto number = transport->handle(post(R"({"jsonrpc":"2.0","id":7,"method":"ping"})"));
    auto text = transport->handle(post(R"({"jsonrpc":"2.0","id":"7","method":"ping"})"));
    ASSERT_EQ(number.statusCode(), 200);
    ASSERT_EQ(text.statusCode(), 200);
    auto duplicate = transport->handle(post(R"({"jsonrpc":"2.0","id":7,"method":"ping"})"));
    EXPECT_EQ(duplicate.statusCode(), 400);
    EXPECT_EQ(duplicate.mcpError()->errorDescription(),
              "Invalid Request: Bad Request: Duplicate request ID");

    runFor(io, transport->send(R"({"jsonrpc":"2.0","id":"7","result":{"t":1}})"));
    runFor(io, transport->send(R"({"jsonrpc":"2.0","id":7,"result":{"n":1}})"));
    EXPECT_NE(drain(text).find(R"("result":{"t":1})"), std::string::npos);
    EXPECT_NE(drain(number).find(R"("result":{"n":1})"), std::string::npos);
    // Answered: the id may be used again.
    EXPECT_EQ(transport->handle(post(R"({"jsonrpc":"2.0","id":7,"method":"ping"})")).statusCode(),
              200);
}

TEST_F(StatefulTransportTest, StoredNotificationIsReplayedOnTheStandaloneStream) {
    auto transport = initialized();
    std::string anchor;
    {
        auto first = transport->handle(get());
        ASSERT_EQ(first.statusCode(), 200);
        anchor = next(first)->substr(4);
        anchor = anchor.substr(0, anchor.find('\n'));
        EXPECT_EQ(anchor, "_GET_stream_3");
        // A second GET while the first is read.
        EXPECT_EQ(transport->handle(get()).statusCode(), 409);
    }  // the client went away: the stream is detached, a new GET is welcome again
    const std::string note = R"({"jsonrpc":"2.0","method":"notifications/message","params":{}})";
    runFor(io, transport->send(note));
    auto resumed = transport->handle(get(anchor));
    ASSERT_EQ(resumed.statusCode(), 200);
    EXPECT_EQ(next(resumed), "id: _GET_stream_4\nevent: message\ndata: " + note + "\n\n");
    EXPECT_EQ(next(resumed), "id: _GET_stream_5\ndata: \n\n");
    // Later notifications go to the resumed stream.
    runFor(io, transport->send(note));
    EXPECT_EQ(next(resumed), "id: _GET_stream_6\nevent: message\ndata: " + note + "\n\n");
}

TEST_F(StatefulTransportTest, ReplayFinishesTheStreamItReplaces) {
    auto transport = initialized();
    auto first = transport->handle(get());
    std::string priming = *next(first);
    std::string anchor = priming.substr(4, priming.find('\n') - 4);
    auto second = transport->handle(get(anchor));
    EXPECT_EQ(second.statusCode(), 200);
    EXPECT_EQ(next(first), std::nullopt);  // ended, not left hanging
}

TEST_F(StatefulTransportTest, ReplayOfARequestStream) {
    auto transport = initialized();
    auto pending = transport->handle(post(R"({"jsonrpc":"2.0","id":5,"method":"tools/call"})"));
    std::string priming = *next(pending);
    EXPECT_EQ(priming, "id: 5_3\ndata: \n\n");
    const std::string progress =
        R"({"jsonrpc":"2.0","method":"notifications/progress","params":{"progressToken":5}})";
    runFor(io, transport->send(progress));  // server notifications go to the GET stream
    // The client loses the stream and resumes it before the response exists.
    pending = HTTPResponse::accepted();
    auto resumed = transport->handle(get("5_3"));
    EXPECT_EQ(next(resumed), "id: 5_5\ndata: \n\n");
    runFor(io, transport->send(R"({"jsonrpc":"2.0","id":5,"result":{}})"));
    EXPECT_EQ(next(resumed), "id: 5_6\nevent: message\ndata: {\"jsonrpc\":\"2.0\",\"id\":5,\"result\":{}}\n\n");
    EXPECT_EQ(next(resumed), std::nullopt);

    // Resumed again after the response: it is replayed, and the stream ends at once.
    auto again = transport->handle(get("5_3"));
    EXPECT_EQ(next(again), "id: 5_6\nevent: message\ndata: {\"jsonrpc\":\"2.0\",\"id\":5,\"result\":{}}\n\n");
    EXPECT_EQ(next(again), "id: 5_7\ndata: \n\n");
    EXPECT_EQ(next(again), std::nullopt);
}

TEST_F(StatefulTransportTest, DeleteEndsTheSession) {
    auto transport = initialized();
    auto open = transport->handle(post(R"({"jsonrpc":"2.0","id":9,"method":"tools/call"})"));
    HTTPRequest remove{"DELETE", {{"MCP-Session-Id", "S1"}}, std::nullopt, "/mcp"};
    auto answer = transport->handle(remove);
    EXPECT_EQ(answer.statusCode(), 200);
    EXPECT_EQ(answer.headers().get("MCP-Session-Id"), "S1");
    EXPECT_EQ(drain(open), "id: 9_3\ndata: \n\n");  // ended by the termination
    auto after = transport->handle(get());
    EXPECT_EQ(after.statusCode(), 404);
    EXPECT_EQ(after.mcpError()->errorDescription(),
              "Invalid Request: Not Found: Session has been terminated");
    EXPECT_THROW(runFor(io, transport->send(R"({"jsonrpc":"2.0","method":"m"})")), MCPError);
}

TEST_F(StatefulTransportTest, ConnectTwiceFails) {
    auto transport = makeTransport();
    runFor(io, transport->connect());
    EXPECT_THROW(runFor(io, transport->connect()), MCPError);
}

TEST_F(StatefulTransportTest, ServesARealServerWithItsHttpContext) {
    auto transport = makeTransport();
    auto server = example::makeExampleToolServer(io.get_executor());
    std::optional<std::string> seenHeader;
    server->withMethodHandler<ListTools>(
        [&](ListTools::Parameters) -> asio::awaitable<ListTools::Result> {
            auto context = Server::currentHandlerContext();
            if (context && context->httpContext) {
                seenHeader = context->httpContext->header("x-probe");
            }
            co_return ListTools::Result{};
        });
    runFor(io, server->start(transport));
    auto init = transport->handle(post(initializeBody("2025-11-25"), std::nullopt));
    EXPECT_NE(drain(init).find(R"("serverInfo")"), std::string::npos);
    auto request = post(R"({"jsonrpc":"2.0","id":2,"method":"tools/list"})");
    request.headers["X-Probe"] = "yes";
    auto list = transport->handle(std::move(request));
    EXPECT_NE(drain(list).find(R"("tools":[])"), std::string::npos);
    EXPECT_EQ(seenHeader, "yes");
    runFor(io, server->stop());
}

}  // namespace
}  // namespace mcp
