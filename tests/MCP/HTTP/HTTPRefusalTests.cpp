// What the HTTP server transports refuse, and how: a body the server would not answer never
// reaches it and gets a -32600 answer of its own, and every refusal body is a JSON-RPC error the
// protocol's published schema accepts.
#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "MCP/HTTP/StatefulHTTPServerTransport.h"
#include "MCP/HTTP/StatelessHTTPServerTransport.h"
#include "MCP/JSON/JsonParser.h"
#include "MCP/Messages/MessageClassification.h"
#include "MCP/Messages/Tools.h"
#include "examples/ExampleTools.h"
#include "tests/MCP/ChildProcess.h"
#include "tests/MCP/HTTP/ExampleHTTPHost.h"
#include "tests/MCP/SchemaValidator.h"
#include "tests/MCP/ServerTestSupport.h"

namespace mcp {
namespace {

namespace asio = boost::asio;
using testing::runFor;
using testing::SchemaValidator;

const SchemaValidator& protocolSchema() {
    static const SchemaValidator schema = SchemaValidator::fromFile(FW_MCP_SCHEMA_FILE);
    return schema;
}

// The problems of an error body against the schema's error answer and message forms.
std::vector<std::string> errorBodyProblems(const std::string& body) {
    std::optional<Value> parsed = tryParseJson(body);
    if (!parsed) {
        return {"not JSON: " + body};
    }
    std::vector<std::string> problems = protocolSchema().problems(*parsed, "JSONRPCErrorResponse");
    for (std::string& problem :
         protocolSchema().problems(*parsed, "JSONRPCMessage")) {
        problems.push_back(std::move(problem));
    }
    return problems;
}

std::string joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) {
        text += line + "\n";
    }
    return text;
}

const std::string kInitialize =
    R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":"2025-11-25",)"
    R"("capabilities":{},"clientInfo":{"name":"t","version":"1"}}})";

class FixedSessionID : public SessionIDGenerator {
public:
    std::string generateSessionID() override { return "S1"; }
};

HTTPRequest post(std::string body, std::optional<std::string> session = "S1",
                 std::string accept = "application/json, text/event-stream") {
    HTTPRequest request{"POST",
                        {{"Accept", std::move(accept)},
                         {"Content-Type", "application/json"},
                         {"MCP-Protocol-Version", "2025-11-25"}},
                        std::move(body),
                        "/mcp"};
    if (session) {
        request.headers["MCP-Session-Id"] = *session;
    }
    return request;
}

// A real server behind each kind of transport: the example tools, with a "tools/call" that
// counts the calls it gets.
class HTTPRefusalTest : public ::testing::Test {
protected:
    std::shared_ptr<Server> makeServer() {
        auto server = example::makeExampleToolServer(io.get_executor());
        server->withMethodHandler<CallTool>(
            [this](CallTool::Parameters) -> asio::awaitable<CallTool::Result> {
                ++toolCalls;
                co_return CallTool::Result{.content = {ToolContent::text("ran")}};
            });
        return server;
    }

    std::shared_ptr<StatefulHTTPServerTransport> initializedStateful() {
        StatefulHTTPServerTransport::Options options;
        options.sessionIDGenerator = std::make_shared<FixedSessionID>();
        auto transport = std::make_shared<StatefulHTTPServerTransport>(options);
        server = makeServer();
        runFor(io, server->start(transport));
        auto answer = transport->handle(post(kInitialize, std::nullopt));
        EXPECT_NE(drain(answer).find(R"("serverInfo")"), std::string::npos);
        return transport;
    }

    std::shared_ptr<StatelessHTTPServerTransport> startedStateless() {
        auto transport = std::make_shared<StatelessHTTPServerTransport>();
        server = makeServer();
        runFor(io, server->start(transport));
        return transport;
    }

    std::string drain(HTTPResponse& answer) {
        std::string all;
        if (MessageStream* chunks = answer.chunks()) {
            while (auto chunk = runFor(io, chunks->next())) {
                all += *chunk;
            }
        } else if (auto body = answer.body()) {
            all = *body;
        }
        return all;
    }

    void TearDown() override {
        if (server) {
            runFor(io, server->stop());
        }
    }

    asio::io_context io;
    std::shared_ptr<Server> server;
    int toolCalls = 0;
};

// Bodies with a method that the server would take for an answer, or could answer under no id:
// before, each opened a request stream that never ended or got 202 and no answer (with a null
// id the tool even ran).
const std::vector<std::pair<std::string, std::string>>& unanswerableBodies() {
    const std::string call = R"("method":"tools/call","params":{"name":"echo"})";
    static const std::vector<std::pair<std::string, std::string>> bodies = {
        {R"({"jsonrpc":"2.0","id":5,)" + call + R"(,"result":{}})",
         "A request cannot carry a result or an error"},
        {R"({"jsonrpc":"2.0","id":"r",)" + call + R"(,"error":{"code":1,"message":"m"}})",
         "A request cannot carry a result or an error"},
        {R"({"jsonrpc":"2.0","id":null,)" + call + "}", "ID must be string or number"},
        {R"({"jsonrpc":"2.0","id":1.5,)" + call + "}", "ID must be string or number"},
        {R"({"jsonrpc":"2.0","id":true,)" + call + "}", "ID must be string or number"},
        {R"({"jsonrpc":"2.0","id":{},)" + call + "}", "ID must be string or number"},
        {R"({"jsonrpc":"2.0","id":[1],)" + call + "}", "ID must be string or number"},
        {R"({"jsonrpc":"2.0","id":18446744073709551616,)" + call + "}",
         "ID must be string or number"},
    };
    return bodies;
}

TEST_F(HTTPRefusalTest, StatefulTransportRefusesWhatTheServerWouldNotAnswer) {
    auto transport = initializedStateful();
    for (const auto& [body, reason] : unanswerableBodies()) {
        SCOPED_TRACE(body);
        HTTPResponse answer = transport->handle(post(body));
        EXPECT_EQ(answer.statusCode(), 400);
        ASSERT_NE(answer.mcpError(), nullptr);
        EXPECT_EQ(answer.mcpError()->code(), -32600);
        EXPECT_EQ(answer.mcpError()->detail(), reason);
        EXPECT_EQ(answer.headers().get("MCP-Session-Id"), "S1");
        EXPECT_EQ(errorBodyProblems(*answer.body()), std::vector<std::string>{});
    }
    // Nothing of it reached the server, which still answers.
    HTTPResponse call =
        transport->handle(post(R"({"jsonrpc":"2.0","id":9,"method":"tools/call","params":{"name":"echo"}})"));
    EXPECT_NE(drain(call).find(R"("text":"ran")"), std::string::npos);
    EXPECT_EQ(toolCalls, 1);
}

TEST_F(HTTPRefusalTest, StatelessTransportRefusesWhatTheServerWouldNotAnswer) {
    auto transport = startedStateless();
    for (const auto& [body, reason] : unanswerableBodies()) {
        SCOPED_TRACE(body);
        HTTPResponse answer = runFor(io, transport->handleRequest(post(body, std::nullopt)));
        EXPECT_EQ(answer.statusCode(), 400);
        ASSERT_NE(answer.mcpError(), nullptr);
        EXPECT_EQ(answer.mcpError()->code(), -32600);
        EXPECT_EQ(answer.mcpError()->detail(), reason);
        EXPECT_EQ(errorBodyProblems(*answer.body()), std::vector<std::string>{});
    }
    HTTPResponse call = runFor(io, transport->handleRequest(post(
        R"({"jsonrpc":"2.0","id":9,"method":"tools/call","params":{"name":"echo"}})", std::nullopt)));
    EXPECT_NE(drain(call).find(R"("text":"ran")"), std::string::npos);
    EXPECT_EQ(toolCalls, 1);
}

// The same over loopback, through the streamable-HTTP host and curl: the answer comes at once
// instead of a request stream that never ends.
class HTTPRefusalOverLoopbackTest : public ::testing::Test, protected testing::ExampleHTTPHost {
protected:
    void TearDown() override { stopHost(); }

    // curl's status line, headers and body; `headers` are extra -H arguments, quoted.
    std::string curl(const std::string& body, const std::string& headers) {
        return testing::shell("curl -sS -N --max-time 30 -D - -X POST -H 'Content-Type: "
                              "application/json' -H 'Accept: application/json, "
                              "text/event-stream' " +
                              headers + " --data-binary '" + body + "' " + url())
            .first;
    }
};

TEST_F(HTTPRefusalOverLoopbackTest, StatefulHostRefusesWhatTheServerWouldNotAnswer) {
    startHost({});
    const std::string head = curl(kInitialize, "");
    std::smatch session;
    ASSERT_TRUE(std::regex_search(head, session,
                                  std::regex("MCP-Session-Id: ([^\r\n]+)", std::regex::icase)))
        << head;
    const std::string headers =
        "-H 'MCP-Protocol-Version: 2025-11-25' -H 'MCP-Session-Id: " + session[1].str() + "'";
    for (const auto& [body, reason] : unanswerableBodies()) {
        SCOPED_TRACE(body);
        const std::string reply = curl(body, headers);
        EXPECT_EQ(reply.rfind("HTTP/1.1 400", 0), 0u) << reply;
        const std::size_t end = reply.find("\r\n\r\n");
        ASSERT_NE(end, std::string::npos) << reply;
        const std::string answer = reply.substr(end + 4);
        EXPECT_NE(answer.find(R"("code":-32600)"), std::string::npos) << answer;
        EXPECT_EQ(errorBodyProblems(answer), std::vector<std::string>{});
    }
    const std::string ping = curl(R"({"jsonrpc":"2.0","id":3,"method":"ping"})", headers);
    EXPECT_NE(ping.find(R"({"id":3,"jsonrpc":"2.0","result":{}})"), std::string::npos) << ping;
}

// Every way the transports refuse an HTTP request, each body checked against the schema.
TEST_F(HTTPRefusalTest, EveryRefusalBodyValidatesAgainstTheProtocolSchema) {
    std::vector<std::pair<std::string, HTTPResponse>> refusals;
    auto stateful = initializedStateful();
    auto refuseStateful = [&](std::string name, HTTPRequest request) {
        refusals.emplace_back(std::move(name), stateful->handle(std::move(request)));
    };
    HTTPRequest put = post("{}");
    put.method = "PUT";
    refuseStateful("PUT", put);
    refuseStateful("empty body", post(""));
    refuseStateful("not JSON", post("{"));
    refuseStateful("batch", post(R"([{"jsonrpc":"2.0","id":2,"method":"ping"}])"));
    refuseStateful("second initialize", post(kInitialize));
    refuseStateful("unknown session", post(R"({"jsonrpc":"2.0","id":2,"method":"ping"})", "S2"));
    refuseStateful("no session", post(R"({"jsonrpc":"2.0","id":2,"method":"ping"})", std::nullopt));
    refuseStateful("JSON only accepted",
                   post(R"({"jsonrpc":"2.0","id":2,"method":"ping"})", "S1", "application/json"));
    HTTPRequest textBody = post(R"({"jsonrpc":"2.0","id":2,"method":"ping"})");
    textBody.headers["Content-Type"] = "text/plain";
    refuseStateful("text body", textBody);
    HTTPRequest oldVersion = post(R"({"jsonrpc":"2.0","id":2,"method":"ping"})");
    oldVersion.headers["MCP-Protocol-Version"] = "1999-01-01";
    refuseStateful("unsupported version", oldVersion);
    refuseStateful("id that would break the stream",
                   post(R"({"jsonrpc":"2.0","id":"a\nb","method":"ping"})"));
    for (const auto& [body, reason] : unanswerableBodies()) {
        refuseStateful(reason, post(body));
    }
    HTTPRequest get{"GET",
                    {{"Accept", "text/event-stream"},
                     {"MCP-Session-Id", "S1"},
                     {"MCP-Protocol-Version", "2025-11-25"},
                     {"Last-Event-ID", "nope_9"}},
                    std::nullopt,
                    "/mcp"};
    refuseStateful("unknown Last-Event-ID", get);
    HTTPRequest jsonGet = get;
    jsonGet.headers.erase("Last-Event-ID");
    jsonGet.headers["Accept"] = "application/json";
    refuseStateful("GET without event streams", jsonGet);
    HTTPRequest deleteOther{"DELETE", {{"MCP-Session-Id", "S2"}}, std::nullopt, "/mcp"};
    refuseStateful("DELETE of another session", deleteOther);
    stateful->terminate();
    refuseStateful("after termination", post(R"({"jsonrpc":"2.0","id":2,"method":"ping"})"));

    auto stateless = std::make_shared<StatelessHTTPServerTransport>();
    auto refuseStateless = [&](std::string name, HTTPRequest request) {
        refusals.emplace_back(std::move(name),
                              runFor(io, stateless->handleRequest(std::move(request))));
    };
    HTTPRequest statelessGet{"GET", {{"Accept", "application/json"}}, std::nullopt, "/mcp"};
    refuseStateless("stateless GET", statelessGet);
    refuseStateless("stateless empty body", post("", std::nullopt));
    refuseStateless("stateless batch", post("[1]", std::nullopt));
    refuseStateless("stateless event streams only",
                    post(R"({"jsonrpc":"2.0","id":2,"method":"ping"})", std::nullopt,
                         "text/event-stream"));
    runFor(io, stateless->disconnect());
    refuseStateless("stateless after termination",
                    post(R"({"jsonrpc":"2.0","id":2,"method":"ping"})", std::nullopt));
    // An error without a description of its own.
    refusals.emplace_back("no description",
                          HTTPResponse::error(500, MCPError::internalError(std::string())));

    for (auto& [name, refusal] : refusals) {
        SCOPED_TRACE(name);
        EXPECT_GE(refusal.statusCode(), 400);
        ASSERT_EQ(refusal.kind(), HTTPResponse::Kind::error);
        const std::optional<std::string> body = refusal.body();
        ASSERT_TRUE(body);
        const std::vector<std::string> problems = errorBodyProblems(*body);
        EXPECT_TRUE(problems.empty()) << *body << "\n" << joined(problems);
    }
}

// The answers a server gives to messages it cannot read, over any transport.
TEST_F(HTTPRefusalTest, ServerAnswersToUnreadableMessagesValidateAgainstTheProtocolSchema) {
    const char* lines[] = {
        "nonsense", "5", "[]", R"({"jsonrpc":"2.0","id":7})", R"({"jsonrpc":"2.0","id":null})",
        R"({"jsonrpc":"2.0","id":true,"method":"ping"})", R"({"jsonrpc":"1.0","id":"x","method":"ping"})",
    };
    for (const char* line : lines) {
        SCOPED_TRACE(line);
        ReceivedMessage message = classifyMessage(std::string_view(line));
        const auto* invalid = std::get_if<InvalidMessage>(&message);
        const MCPError error =
            invalid ? invalid->error : MCPError::invalidRequest("Batch array must not be empty");
        const std::string answer = errorAnswerText(error, invalid ? invalid->id : std::nullopt);
        const std::vector<std::string> problems = errorBodyProblems(answer);
        EXPECT_TRUE(problems.empty()) << answer << "\n" << joined(problems);
    }
}

// The validator itself: it refuses what the schema refuses, and never passes what it cannot read.
TEST(SchemaValidatorTest, RefusesNullIdsAndUnknownKeywords) {
    const SchemaValidator& schema = protocolSchema();
    EXPECT_TRUE(schema
                    .problems(parseJson(R"({"jsonrpc":"2.0","error":{"code":-1,"message":"m"}})"),
                              "JSONRPCErrorResponse")
                    .empty());
    EXPECT_FALSE(
        schema
            .problems(parseJson(R"({"jsonrpc":"2.0","id":null,"error":{"code":-1,"message":"m"}})"),
                      "JSONRPCErrorResponse")
            .empty());
    EXPECT_FALSE(schema
                     .problems(parseJson(R"({"jsonrpc":"2.0","id":1,"error":{"code":1.5,"message":"m"}})"),
                               "JSONRPCErrorResponse")
                     .empty());
    EXPECT_FALSE(schema.problems(parseJson(R"({"jsonrpc":"2.0","id":1})"), "JSONRPCMessage").empty());
    EXPECT_TRUE(schema.problems(parseJson(R"({"jsonrpc":"2.0","id":1,"method":"ping"})"),
                                "JSONRPCMessage")
                    .empty());
    const SchemaValidator odd(parseJson(R"({"$defs":{"X":{"patternProperties":{}}}})"));
    EXPECT_FALSE(odd.problems(parseJson("{}"), "X").empty());
    EXPECT_FALSE(schema.problems(parseJson("{}"), "NoSuchDefinition").empty());
}

}  // namespace
}  // namespace mcp
