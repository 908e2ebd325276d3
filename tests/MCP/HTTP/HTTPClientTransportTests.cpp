// The HTTP client transport against a scripted HTTP server on loopback: the headers of its
// requests, every answer status, authorization challenges, redirects, time limits, event streams
// with ids and retry values, the resumption of a broken POST stream, and the GET stream loop.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <boost/asio/co_spawn.hpp>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "MCP/Client/Client.h"
#include "MCP/HTTP/HTTPClientTransport.h"
#include "MCP/JSON/JsonParser.h"
#include "MCP/JSON/JsonWriter.h"
#include "MCP/Messages/MCPError.h"
#include "tests/MCP/LogLineRecorder.h"
#include "tests/MCP/ServerTestSupport.h"
#include "tests/platform/http/ScriptedServer.h"

namespace mcp {
namespace {

namespace asio = boost::asio;
using fw::http::testing::fields;
using fw::http::testing::ReceivedRequest;
using fw::http::testing::ScriptedServer;
using fw::http::testing::ServerExchange;
using testing::runFor;
using testing::runUntil;
using namespace std::chrono_literals;

const fw::http::testing::Fields kNoFields;
const std::string kPing = R"({"jsonrpc":"2.0","id":1,"method":"ping"})";
const std::string kAnswer = R"({"jsonrpc":"2.0","id":1,"result":{}})";
const std::string kNotice =
    R"({"jsonrpc":"2.0","method":"notifications/message","params":{"level":"info","data":1}})";

// One event as a server writes it.
std::string event(std::string id, std::string data, std::string retry = "") {
    std::string text;
    if (!id.empty()) {
        text += "id: " + id + "\n";
    }
    if (!retry.empty()) {
        text += "retry: " + retry + "\n";
    }
    return text + "data: " + data + "\n\n";
}

// A whole event-stream answer: the head, then `events` in one chunk.
asio::awaitable<void> respondEvents(ServerExchange& exchange, std::string events,
                                    fw::http::testing::Fields extra = {}) {
    if (std::none_of(extra.begin(), extra.end(),
                     [](const auto& field) { return field.first == "Content-Type"; })) {
        extra.emplace_back("Content-Type", "text/event-stream");
    }
    co_await exchange.startChunked(200, extra);
    co_await exchange.chunk(events);
    co_await exchange.endChunks();
}

// An authorizer whose answers the test sets, and which notes what it is asked.
class FakeAuthorizer final : public HTTPClientAuthorizer {
public:
    struct Challenge {
        int statusCode = 0;
        std::map<std::string, std::string> headers;
        std::optional<std::string> method;
        std::optional<std::string> sentAuthorization;
    };

    int maxAttempts = 3;
    std::optional<std::string> header = "Bearer one";
    // The header after each challenge; the answer to each challenge.
    std::optional<std::string> headerAfterChallenge;
    bool retry = true;
    bool failValidation = false;
    bool failPreparation = false;
    bool failChallenge = false;

    std::vector<Challenge> challenges;
    int preparations = 0;

    int maxAuthorizationAttempts() const override { return maxAttempts; }
    void validateEndpoint(const URL&) const override {
        if (failValidation) {
            throw std::runtime_error("The endpoint may not carry credentials.");
        }
    }
    std::optional<std::string> authorizationHeader(const URL&) noexcept override { return header; }
    asio::awaitable<bool> handleChallenge(int statusCode, std::map<std::string, std::string> headers,
                                          URL, std::optional<std::string> method,
                                          std::optional<std::string> sentAuthorization,
                                          fw::http::Client&) override {
        challenges.push_back(
            {statusCode, std::move(headers), std::move(method), std::move(sentAuthorization)});
        if (failChallenge) {
            throw std::runtime_error("The token endpoint refused.");
        }
        if (headerAfterChallenge) {
            header = headerAfterChallenge;
        }
        co_return retry;
    }
    asio::awaitable<void> prepareAuthorization(URL, fw::http::Client&) override {
        ++preparations;
        if (failPreparation) {
            throw std::runtime_error("No token could be had.");
        }
        co_return;
    }
};

struct Settings {
    bool streaming = false;
    double sseInitializationTimeout = 10.0;
    std::optional<std::string> protocolVersion;
    std::shared_ptr<HTTPClientAuthorizer> authorizer;
    HTTPClientTransport::RequestModifier modifier;
    HTTPClientTransport::Configuration configuration{};
};

class HTTPClientTransportTest : public ::testing::Test {
protected:
    std::shared_ptr<HTTPClientTransport> make(const ScriptedServer& server, Settings settings = {},
                                              const std::string& path = "/mcp") {
        auto transport = std::make_shared<HTTPClientTransport>(
            io.get_executor(), *URL::parse(server.url(path)), settings.configuration,
            settings.streaming, settings.protocolVersion, settings.sseInitializationTimeout,
            settings.authorizer, settings.modifier,
            logging::Logger("test", testing::LogLineRecorder(logs)));
        transports.push_back(transport);
        return transport;
    }

    void TearDown() override {
        if (HasFailure()) {
            for (const auto& line : *logs) {
                std::cerr << "  log: " << line << "\n";
            }
        }
        for (auto& transport : transports) {
            runFor(io, transport->disconnect());
        }
        // The GET loops end on the io_context.
        testing::runIdle(io, 20ms);
    }

    // "ok", the detail of an MCPError, or the text of another failure.
    std::string outcome(asio::awaitable<void> operation) {
        try {
            runFor(io, std::move(operation), 20s);
            return "ok";
        } catch (const MCPError& error) {
            return error.detail().value_or(error.what());
        } catch (const std::exception& error) {
            return error.what();
        }
    }

    std::optional<std::string> next(MessageStream& stream) {
        return runFor(io, stream.next(), 20s);
    }

    bool logged(std::string_view text) const {
        return std::any_of(logs->begin(), logs->end(), [&](const std::string& line) {
            return line.find(text) != std::string::npos;
        });
    }

    static std::vector<ReceivedRequest> requestsOf(const ScriptedServer& server,
                                                   std::string_view method) {
        std::vector<ReceivedRequest> found;
        for (auto& request : server.requests()) {
            if (request.method == method) {
                found.push_back(request);
            }
        }
        return found;
    }

    void waitForRequests(const ScriptedServer& server, std::string_view method,
                         std::size_t count) {
        runUntil(io, [&] { return requestsOf(server, method).size() >= count; }, 20s);
        ASSERT_GE(requestsOf(server, method).size(), count);
    }

    asio::io_context io;
    std::shared_ptr<std::vector<std::string>> logs = std::make_shared<std::vector<std::string>>();
    std::vector<std::shared_ptr<HTTPClientTransport>> transports;
};

// --- POST requests and their answers ---

TEST_F(HTTPClientTransportTest, PostCarriesTheHeadersAndTheAnswerBecomesAMessage) {
    ScriptedServer server([](ServerExchange& exchange) -> asio::awaitable<void> {
        co_await exchange.respond(
            200, fields("Content-Type", "application/json; charset=utf-8", "MCP-Session-Id", "s-1"),
            kAnswer);
    });
    auto authorizer = std::make_shared<FakeAuthorizer>();
    Settings settings{.protocolVersion = "2025-03-26", .authorizer = authorizer};
    settings.modifier = [](fw::http::Request request) {
        request.headers.set("X-Trace", "7");
        return request;
    };
    auto transport = make(server, settings);
    auto stream = transport->receive();

    EXPECT_EQ(outcome(transport->send(kPing)), "Transport not connected");
    runFor(io, transport->connect());
    runFor(io, transport->connect());  // a second connect changes nothing
    EXPECT_EQ(outcome(transport->send(kPing)), "ok");
    EXPECT_EQ(next(stream), kAnswer);
    EXPECT_EQ(runFor(io, transport->sessionID()), "s-1");

    runFor(io, transport->useProtocolVersion("2025-06-18"));
    EXPECT_EQ(outcome(transport->send(kPing)), "ok");

    auto posts = requestsOf(server, "POST");
    ASSERT_EQ(posts.size(), 2u);
    for (const auto& post : posts) {
        EXPECT_EQ(post.target, "/mcp");
        EXPECT_EQ(post.body, kPing);
        EXPECT_EQ(post.headers.get("Accept"), "application/json, text/event-stream");
        EXPECT_EQ(post.headers.get("Content-Type"), "application/json");
        EXPECT_EQ(post.headers.get("Authorization"), "Bearer one");
        EXPECT_EQ(post.headers.get("X-Trace"), "7");
    }
    EXPECT_EQ(posts[0].headers.get("MCP-Protocol-Version"), "2025-03-26");
    EXPECT_FALSE(posts[0].headers.contains("MCP-Session-Id"));
    EXPECT_EQ(posts[1].headers.get("MCP-Protocol-Version"), "2025-06-18");
    EXPECT_EQ(posts[1].headers.get("MCP-Session-Id"), "s-1");
    EXPECT_EQ(authorizer->preparations, 2);
    EXPECT_TRUE(requestsOf(server, "GET").empty());  // streaming off
}

TEST_F(HTTPClientTransportTest, TheClientHandsTheAgreedVersionOverBeforeItConfirms) {
    ScriptedServer server([](ServerExchange& exchange) -> asio::awaitable<void> {
        auto body = tryParseJson(exchange.request().body);
        const Value* id = body ? body->find("id") : nullptr;
        if (!id) {
            co_await exchange.respond(202, kNoFields, "");
            co_return;
        }
        Value answer = Value::object(
            {{"jsonrpc", "2.0"},
             {"id", *id},
             {"result", Value::object({{"protocolVersion", "2025-03-26"},
                                       {"capabilities", Value::object({})},
                                       {"serverInfo", Value::object({{"name", "scripted"},
                                                                     {"version", "1"}})}})}});
        co_await exchange.respond(200, fields("Content-Type", "application/json"), toJson(answer));
    });
    auto transport = make(server);
    auto client = std::make_shared<Client>(io.get_executor(), "test", "1.0.0");
    auto result = runFor(io, client->connect(transport), 20s);
    EXPECT_EQ(result.protocolVersion, "2025-03-26");
    EXPECT_EQ(runFor(io, transport->protocolVersion()), "2025-03-26");
    auto posts = requestsOf(server, "POST");
    ASSERT_EQ(posts.size(), 2u);
    EXPECT_FALSE(posts[0].headers.contains("MCP-Protocol-Version"));
    EXPECT_NE(posts[1].body.find("notifications/initialized"), std::string::npos);
    EXPECT_EQ(posts[1].headers.get("MCP-Protocol-Version"), "2025-03-26");
    runFor(io, client->disconnect());
}

TEST_F(HTTPClientTransportTest, TheRequestModifierComesLast) {
    ScriptedServer server([](ServerExchange& exchange) -> asio::awaitable<void> {
        co_await exchange.respond(202, kNoFields, "");
    });
    Settings settings{.authorizer = std::make_shared<FakeAuthorizer>()};
    settings.modifier = [](fw::http::Request request) {
        request.headers.set("Authorization", "Basic replaced");
        request.headers.remove("MCP-Protocol-Version");
        return request;
    };
    settings.protocolVersion = "2025-06-18";
    auto transport = make(server, settings);
    runFor(io, transport->connect());
    EXPECT_EQ(outcome(transport->send(kPing)), "ok");
    auto posts = requestsOf(server, "POST");
    ASSERT_EQ(posts.size(), 1u);
    EXPECT_EQ(posts[0].headers.get("Authorization"), "Basic replaced");
    EXPECT_FALSE(posts[0].headers.contains("MCP-Protocol-Version"));
    // A 202 without Content-Type is no failure, only a warning.
    EXPECT_TRUE(logged("warning Unexpected content type: "));
}

TEST_F(HTTPClientTransportTest, EveryAnswerStatusHasItsOutcome) {
    struct Case {
        int status;
        std::string contentType;
        bool withSession;
        bool streaming;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {400, "application/json", false, false, "Bad request"},
        {401, "", false, false, "Authentication required"},
        {403, "", false, false, "Access forbidden"},
        {404, "", false, false, "Endpoint not found"},
        {404, "", true, false, "Session expired"},
        {405, "", false, false, "Method not allowed"},
        {405, "", false, true, "Server does not support streaming"},
        {408, "", false, false, "Request timeout"},
        {429, "", false, false, "Too many requests"},
        {500, "", false, false, "Server error: 500"},
        {503, "text/html", false, false, "Server error: 503"},
        {418, "text/plain", false, false, "Unexpected HTTP response: 418 (text/plain)"},
        {418, "", false, false, "Unexpected HTTP response: 418 ()"},
        {302, "", false, false, "Unexpected HTTP response: 302 ()"},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(std::to_string(each.status) + " " + each.expected);
        ScriptedServer server([each](ServerExchange& exchange) -> asio::awaitable<void> {
            if (exchange.request().method == "GET") {
                co_await exchange.respond(405, kNoFields, "");
            } else if (each.withSession && !exchange.request().headers.contains("MCP-Session-Id") &&
                       exchange.request().body == kPing) {
                co_await exchange.respond(
                    200, fields("Content-Type", "application/json", "MCP-Session-Id", "s-1"),
                    kAnswer);
            } else {
                fw::http::testing::Fields headers;
                if (!each.contentType.empty()) {
                    headers.emplace_back("Content-Type", each.contentType);
                }
                co_await exchange.respond(each.status, headers, "{}");
            }
        });
        auto transport = make(server, {.streaming = each.streaming,
                                       .sseInitializationTimeout = 0.0});
        runFor(io, transport->connect());
        if (each.withSession) {
            ASSERT_EQ(outcome(transport->send(kPing)), "ok");
        }
        EXPECT_EQ(outcome(transport->send("{}")), each.expected);
        if (each.withSession) {
            // The expired session is forgotten: the next request goes without it.
            EXPECT_EQ(runFor(io, transport->sessionID()), std::nullopt);
            EXPECT_EQ(outcome(transport->send("{}")), "Endpoint not found");
            EXPECT_FALSE(requestsOf(server, "POST").back().headers.contains("MCP-Session-Id"));
            EXPECT_TRUE(logged("warning Session has expired"));
        }
        runFor(io, transport->disconnect());
    }
}

TEST_F(HTTPClientTransportTest, DisconnectDeletesTheSessionAndNeverFails) {
    for (int status : {200, 401, 404, 405, 500}) {
        SCOPED_TRACE(status);
        ScriptedServer server([status](ServerExchange& exchange) -> asio::awaitable<void> {
            if (exchange.request().method == "DELETE") {
                co_await exchange.respond(status, kNoFields, "");
            } else {
                co_await exchange.respond(
                    200, fields("Content-Type", "application/json", "MCP-Session-Id", "s-1"),
                    kAnswer);
            }
        });
        auto authorizer = std::make_shared<FakeAuthorizer>();
        auto transport = make(server, {.protocolVersion = "2025-06-18", .authorizer = authorizer});
        runFor(io, transport->connect());
        EXPECT_EQ(outcome(transport->send(kPing)), "ok");
        EXPECT_EQ(outcome(transport->disconnect()), "ok");
        auto deletes = requestsOf(server, "DELETE");
        ASSERT_EQ(deletes.size(), 1u);
        EXPECT_EQ(deletes[0].headers.get("MCP-Session-Id"), "s-1");
        EXPECT_EQ(deletes[0].headers.get("MCP-Protocol-Version"), "2025-06-18");
        EXPECT_EQ(deletes[0].headers.get("Authorization"), "Bearer one");
        EXPECT_TRUE(authorizer->challenges.empty());  // a 401 starts no authorization flow
    }
    // Without a session nothing is sent.
    ScriptedServer server([](ServerExchange& exchange) -> asio::awaitable<void> {
        co_await exchange.respond(200, fields("Content-Type", "application/json"), kAnswer);
    });
    auto transport = make(server);
    runFor(io, transport->connect());
    EXPECT_EQ(outcome(transport->send(kPing)), "ok");
    EXPECT_EQ(outcome(transport->disconnect()), "ok");
    EXPECT_TRUE(requestsOf(server, "DELETE").empty());
}

TEST_F(HTTPClientTransportTest, JsonAnswersAreMessagesEvenWhenEmpty) {
    ScriptedServer server([](ServerExchange& exchange) -> asio::awaitable<void> {
        co_await exchange.respond(200, fields("Content-Type", "application/json"), "");
    });
    auto transport = make(server);
    auto stream = transport->receive();
    runFor(io, transport->connect());
    EXPECT_EQ(outcome(transport->send(kNotice)), "ok");
    EXPECT_EQ(next(stream), "");
    // The stream ends only with disconnect(); a failed exchange leaves it open.
    runFor(io, transport->disconnect());
    EXPECT_EQ(next(stream), std::nullopt);
    EXPECT_EQ(outcome(transport->send(kPing)), "Transport not connected");
}

TEST_F(HTTPClientTransportTest, ARequestWhoseAnswerIsNotItsResponseFails) {
    struct Case {
        std::string contentType;
        std::string body;
        std::string expected;
    };
    const std::string notIts = "The server's answer to request 1 is not its response.";
    const std::string endedWithout =
        "The server's event stream ended without the response to request 1.";
    const std::vector<Case> cases = {
        {"application/json", "not json", notIts},
        {"application/json", "", notIts},
        {"application/json", R"({"jsonrpc":"2.0","id":2,"result":{}})", notIts},
        {"application/json", R"({"jsonrpc":"2.0","id":"1","result":{}})", notIts},
        {"application/json", kNotice, notIts},
        {"application/json", kAnswer, "ok"},
        {"application/json", R"({"jsonrpc":"2.0","id":1,"error":{"code":1,"message":"no"}})", "ok"},
        // Streams that end cleanly without the answer and give no id to resume from.
        {"text/event-stream", event("", kNotice), endedWithout},
        {"text/event-stream", event("", R"({"jsonrpc":"2.0","id":2,"result":{}})"), endedWithout},
        {"text/event-stream", ": nothing\n\n", endedWithout},
        {"text/event-stream", event("", kNotice) + event("", kAnswer), "ok"},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(each.contentType + " " + each.body);
        ScriptedServer server([each](ServerExchange& exchange) -> asio::awaitable<void> {
            if (each.contentType == "text/event-stream") {
                co_await respondEvents(exchange, each.body);
            } else {
                co_await exchange.respond(200, fields("Content-Type", each.contentType), each.body);
            }
        });
        auto transport = make(server);
        runFor(io, transport->connect());
        EXPECT_EQ(outcome(transport->send(kPing)), each.expected);
        // What is no request awaits no answer.
        EXPECT_EQ(outcome(transport->send(kNotice)), "ok");
        runFor(io, transport->disconnect());
    }
}

TEST_F(HTTPClientTransportTest, AStreamThatEndsWithoutTheAnswerIsResumedOnce) {
    ScriptedServer server([](ServerExchange& exchange) -> asio::awaitable<void> {
        if (exchange.request().method == "POST") {
            // The server closes the stream early, as a polling server does.
            co_await respondEvents(exchange, event("p-1", "", "10"));
        } else if (exchange.request().headers.get("Last-Event-ID") == "p-1") {
            co_await respondEvents(exchange, event("p-2", kAnswer));
        } else {
            co_await exchange.respond(500, kNoFields, "");
        }
    });
    auto transport = make(server);
    auto stream = transport->receive();
    runFor(io, transport->connect());
    EXPECT_EQ(outcome(transport->send(kPing)), "ok");
    EXPECT_EQ(next(stream), kAnswer);
    EXPECT_EQ(requestsOf(server, "GET").size(), 1u);
}

TEST_F(HTTPClientTransportTest, TheSessionOfAnErrorAnswerIsKept) {
    ScriptedServer server([](ServerExchange& exchange) -> asio::awaitable<void> {
        co_await exchange.respond(500, fields("MCP-Session-Id", "s-err"), "");
    });
    auto transport = make(server);
    runFor(io, transport->connect());
    EXPECT_EQ(outcome(transport->send(kPing)), "Server error: 500");
    EXPECT_EQ(runFor(io, transport->sessionID()), "s-err");
}

// --- Authorization ---

TEST_F(HTTPClientTransportTest, ChallengesAreRetriedUpToTheAuthorizersLimit) {
    ScriptedServer server([](ServerExchange& exchange) -> asio::awaitable<void> {
        co_await exchange.respond(401, fields("WWW-Authenticate", R"(Bearer scope="tools")"), "");
    });
    auto authorizer = std::make_shared<FakeAuthorizer>();
    auto transport = make(server, {.authorizer = authorizer});
    runFor(io, transport->connect());
    const std::string call =
        R"({"jsonrpc":"2.0","id":2,"method":"  tools/call\n","params":{"name":"add"}})";
    EXPECT_EQ(outcome(transport->send(call)), "Authentication required");
    EXPECT_EQ(requestsOf(server, "POST").size(), 3u);
    ASSERT_EQ(authorizer->challenges.size(), 3u);
    EXPECT_EQ(authorizer->challenges[0].statusCode, 401);
    EXPECT_EQ(authorizer->challenges[0].headers["WWW-Authenticate"], R"(Bearer scope="tools")");
    EXPECT_EQ(authorizer->challenges[0].method, "tools/call");
    // The authorizer hears which credentials were refused.
    EXPECT_EQ(authorizer->challenges[0].sentAuthorization, "Bearer one");
    EXPECT_EQ(authorizer->preparations, 1);  // once per send, not per attempt

    // One attempt at most: no retry at all.
    authorizer->maxAttempts = 1;
    EXPECT_EQ(outcome(transport->send(call)), "Authentication required");
    EXPECT_EQ(requestsOf(server, "POST").size(), 4u);
}

TEST_F(HTTPClientTransportTest, ARetryCarriesTheNewCredentials) {
    ScriptedServer server([](ServerExchange& exchange) -> asio::awaitable<void> {
        if (exchange.request().headers.get("Authorization") == "Bearer two") {
            co_await exchange.respond(200, fields("Content-Type", "application/json"), kAnswer);
        } else {
            co_await exchange.respond(403, fields("WWW-Authenticate", "Bearer error=x"), "");
        }
    });
    auto authorizer = std::make_shared<FakeAuthorizer>();
    authorizer->headerAfterChallenge = "Bearer two";
    auto transport = make(server, {.authorizer = authorizer});
    auto stream = transport->receive();
    runFor(io, transport->connect());
    EXPECT_EQ(outcome(transport->send("[" + kPing + "]")), "ok");
    EXPECT_EQ(next(stream), kAnswer);
    ASSERT_EQ(authorizer->challenges.size(), 1u);
    EXPECT_EQ(authorizer->challenges[0].statusCode, 403);
    EXPECT_EQ(authorizer->challenges[0].method, std::nullopt);  // a batch has no method

    // Declined: the status's refusal.
    authorizer->header = "Bearer three";
    authorizer->headerAfterChallenge.reset();
    authorizer->retry = false;
    EXPECT_EQ(outcome(transport->send(kPing)), "Access forbidden");
}

TEST_F(HTTPClientTransportTest, AFailingAuthorizerStopsTheExchange) {
    ScriptedServer server([](ServerExchange& exchange) -> asio::awaitable<void> {
        co_await exchange.respond(401, kNoFields, "");
    });
    auto authorizer = std::make_shared<FakeAuthorizer>();
    auto transport = make(server, {.authorizer = authorizer});
    runFor(io, transport->connect());

    authorizer->failValidation = true;
    EXPECT_EQ(outcome(transport->send(kPing)),
              "Authorization flow failed: The endpoint may not carry credentials.");
    authorizer->failValidation = false;
    authorizer->failPreparation = true;
    EXPECT_EQ(outcome(transport->send(kPing)), "Authorization flow failed: No token could be had.");
    EXPECT_TRUE(server.requests().empty());

    authorizer->failPreparation = false;
    authorizer->failChallenge = true;
    EXPECT_EQ(outcome(transport->send(kPing)),
              "Authorization flow failed: The token endpoint refused.");
    EXPECT_EQ(server.requests().size(), 1u);
}

TEST(HTTPClientTransportMethod, IsTheTrimmedMethodOfAnObject) {
    const std::vector<std::pair<std::string, std::optional<std::string>>> cases = {
        {R"({"method":"ping"})", "ping"},
        {"{\"method\":\" \\n tools/list\\t\"}", "tools/list"},
        {R"({"method":"  "})", std::nullopt},
        {R"({"method":7})", std::nullopt},
        {R"({})", std::nullopt},
        {R"([{"method":"ping"}])", std::nullopt},
        {"not json", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& [body, method] : cases) {
        EXPECT_EQ(HTTPClientTransport::jsonRPCMethod(body), method) << body;
    }
}

TEST_F(HTTPClientTransportTest, RedirectsStayWithinTheEndpointsOrigin) {
    ScriptedServer elsewhere([](ServerExchange& exchange) -> asio::awaitable<void> {
        co_await exchange.respond(200, fields("Content-Type", "application/json"), kAnswer);
    });
    const std::string away = elsewhere.url("/mcp");
    ScriptedServer server([away](ServerExchange& exchange) -> asio::awaitable<void> {
        if (exchange.request().target == "/moved") {
            co_await exchange.respond(307, fields("Location", "/mcp"), "");
        } else if (exchange.request().target == "/away") {
            co_await exchange.respond(307, fields("Location", away), "");
        } else {
            co_await exchange.respond(200, fields("Content-Type", "application/json"), kAnswer);
        }
    });
    auto authorizer = std::make_shared<FakeAuthorizer>();
    auto away307 = make(server, {.authorizer = authorizer}, "/away");
    runFor(io, away307->connect());
    EXPECT_EQ(outcome(away307->send(kPing)), "Unexpected HTTP response: 307 ()");
    EXPECT_TRUE(elsewhere.requests().empty());

    auto moved = make(server, {.authorizer = authorizer}, "/moved");
    auto stream = moved->receive();
    runFor(io, moved->connect());
    EXPECT_EQ(outcome(moved->send(kPing)), "ok");
    EXPECT_EQ(next(stream), kAnswer);
    auto last = server.requests().back();
    EXPECT_EQ(last.target, "/mcp");
    EXPECT_EQ(last.headers.get("Authorization"), "Bearer one");
}

// --- Time limits ---

TEST_F(HTTPClientTransportTest, AnAnswerThatNeverComesTimesOut) {
    ScriptedServer server([](ServerExchange& exchange) -> asio::awaitable<void> {
        if (exchange.request().body == "head") {
            co_await exchange.holdOpen();
        } else {
            co_await exchange.write(
                "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 10\r\n\r\n{\"");
            co_await exchange.holdOpen();
        }
    });
    Settings settings;
    settings.configuration.requestTimeout = 300ms;
    auto transport = make(server, settings);
    runFor(io, transport->connect());
    for (const char* body : {"head", "body"}) {
        try {
            runFor(io, transport->send(body), 20s);
            ADD_FAILURE() << body << " did not fail";
        } catch (const fw::http::Error& error) {
            EXPECT_EQ(error.kind(), fw::http::Error::Kind::timedOut) << body << error.what();
        }
    }
}

TEST_F(HTTPClientTransportTest, AQuietEventStreamOutlastsTheRequestTimeout) {
    ScriptedServer server([](ServerExchange& exchange) -> asio::awaitable<void> {
        co_await exchange.startChunked(200, fields("Content-Type", "text/event-stream"));
        co_await exchange.chunk(event("p-1", ""));
        co_await exchange.pause(1500ms);  // a tool call that takes a while, without progress
        co_await exchange.chunk(event("p-2", kAnswer));
        co_await exchange.endChunks();
    });
    Settings settings;
    settings.configuration.requestTimeout = 300ms;
    auto transport = make(server, settings);
    auto stream = transport->receive();
    runFor(io, transport->connect());
    EXPECT_EQ(outcome(transport->send(kPing)), "ok");
    EXPECT_EQ(next(stream), kAnswer);
}

// --- Event streams ---

TEST_F(HTTPClientTransportTest, EventStreamAnswersDeliverEachEventsData) {
    ScriptedServer server([](ServerExchange& exchange) -> asio::awaitable<void> {
        std::string events = event("e-1", "", "10000") + ": a comment\n\n" +
                             "event: message\ndata: " + kNotice + "\n\n" + event("", kAnswer);
        co_await respondEvents(exchange, events,
                               fields("Content-Type", "text/event-stream; charset=utf-8"));
    });
    auto transport = make(server);
    auto stream = transport->receive();
    runFor(io, transport->connect());
    EXPECT_EQ(outcome(transport->send(kPing)), "ok");
    EXPECT_EQ(next(stream), kNotice);
    EXPECT_EQ(next(stream), kAnswer);
    EXPECT_TRUE(logged("SSE retry interval updated retryMs=10000"));
    EXPECT_TRUE(logged("Stored event ID for resumability eventID=e-1"));
    EXPECT_TRUE(logged("hadData=true"));
}

TEST_F(HTTPClientTransportTest, ABrokenPostStreamIsResumedFromItsLastEvent) {
    ScriptedServer server([](ServerExchange& exchange) -> asio::awaitable<void> {
        if (exchange.request().method == "POST") {
            co_await exchange.startChunked(200, fields("Content-Type", "text/event-stream"));
            co_await exchange.chunk(event("r-1", "", "100"));
            if (exchange.request().body == kPing) {
                co_await exchange.chunk(event("r-2", kNotice));
            }
            exchange.close();  // the connection breaks before the answer
        } else if (exchange.request().headers.get("Last-Event-ID") == "r-2") {
            co_await respondEvents(exchange, event("r-3", kAnswer));
        } else {
            co_await exchange.respond(500, kNoFields, "");
        }
    });
    auto transport = make(server);
    auto stream = transport->receive();
    runFor(io, transport->connect());
    EXPECT_EQ(outcome(transport->send(kPing)), "ok");
    EXPECT_EQ(next(stream), kNotice);
    EXPECT_EQ(next(stream), kAnswer);
    auto gets = requestsOf(server, "GET");
    ASSERT_EQ(gets.size(), 1u);
    EXPECT_EQ(gets[0].headers.get("Accept"), "text/event-stream");

    // A resumption that the server refuses ends the exchange with that refusal.
    EXPECT_EQ(outcome(transport->send("{}")), "HTTP error: 500");
    EXPECT_EQ(requestsOf(server, "GET").size(), 2u);
}

TEST_F(HTTPClientTransportTest, DisconnectEndsTheWaitBeforeAResumption) {
    ScriptedServer server([](ServerExchange& exchange) -> asio::awaitable<void> {
        co_await exchange.startChunked(200, fields("Content-Type", "text/event-stream"));
        co_await exchange.chunk(event("r-1", "", "100000"));
        exchange.close();
    });
    Settings settings;
    settings.configuration.maximumRetryInterval = 600s;
    auto transport = make(server, settings);
    runFor(io, transport->connect());
    std::optional<std::string> failure;
    asio::co_spawn(io, transport->send(kPing), [&](std::exception_ptr error) {
        if (!error) {
            failure = "none";
            return;
        }
        try {
            std::rethrow_exception(error);
        } catch (const fw::http::Error& broken) {
            failure = broken.what();
        } catch (...) {
            failure = "another failure";
        }
    });
    runUntil(io, [&] { return logged("↻ Resuming interrupted POST SSE stream"); }, 20s);
    runFor(io, transport->disconnect());
    runUntil(io, [&] { return failure.has_value(); }, 20s);
    ASSERT_TRUE(failure.has_value());
    EXPECT_NE(failure->find("closed before the response was complete"), std::string::npos)
        << *failure;
    EXPECT_TRUE(requestsOf(server, "GET").empty());
}

TEST_F(HTTPClientTransportTest, ABrokenStreamWithoutEventIDsFails) {
    ScriptedServer server([](ServerExchange& exchange) -> asio::awaitable<void> {
        co_await exchange.startChunked(200, fields("Content-Type", "text/event-stream"));
        co_await exchange.chunk(event("", kNotice));
        exchange.close();
    });
    auto transport = make(server);
    auto stream = transport->receive();
    runFor(io, transport->connect());
    try {
        runFor(io, transport->send(kPing), 20s);
        ADD_FAILURE() << "the broken stream was taken as complete";
    } catch (const fw::http::Error& error) {
        EXPECT_EQ(error.kind(), fw::http::Error::Kind::connectionFailed) << error.what();
    }
    EXPECT_EQ(next(stream), kNotice);  // delivered before the break
    EXPECT_TRUE(requestsOf(server, "GET").empty());
}

// --- The GET stream ---

TEST_F(HTTPClientTransportTest, TheGetStreamWaitsForTheSessionAndCarriesItsHeaders) {
    std::atomic<int> gets{0};
    ScriptedServer server([&gets](ServerExchange& exchange) -> asio::awaitable<void> {
        if (exchange.request().method == "POST") {
            co_await exchange.respond(
                200, fields("Content-Type", "application/json", "MCP-Session-Id", "s-1"), kAnswer);
        } else if (++gets == 1) {
            co_await respondEvents(exchange, event("g-1", "", "100") + event("g-2", kNotice));
        } else {
            co_await exchange.holdOpen();
        }
    });
    // A long timeout: the stream must start when the session id comes, not when this passes.
    auto authorizer = std::make_shared<FakeAuthorizer>();
    auto transport = make(server, {.streaming = true,
                                   .sseInitializationTimeout = 600.0,
                                   .protocolVersion = "2025-06-18",
                                   .authorizer = authorizer});
    auto stream = transport->receive();
    runFor(io, transport->connect());
    EXPECT_EQ(outcome(transport->send(kPing)), "ok");
    EXPECT_EQ(next(stream), kAnswer);
    EXPECT_EQ(next(stream), kNotice);  // from the GET stream
    waitForRequests(server, "GET", 2);

    auto get = requestsOf(server, "GET");
    EXPECT_EQ(get[0].headers.get("Accept"), "text/event-stream");
    EXPECT_EQ(get[0].headers.get("Cache-Control"), "no-cache");
    EXPECT_EQ(get[0].headers.get("MCP-Session-Id"), "s-1");
    EXPECT_EQ(get[0].headers.get("MCP-Protocol-Version"), "2025-06-18");
    EXPECT_EQ(get[0].headers.get("Authorization"), "Bearer one");
    EXPECT_FALSE(get[0].headers.contains("Last-Event-ID"));
    EXPECT_EQ(get[1].headers.get("Last-Event-ID"), "g-2");
    EXPECT_TRUE(logged("⏳ Waiting for session ID to be set (timeout: 600.0s)..."));
    EXPECT_TRUE(logged("✓ Session ID received after "));
    EXPECT_FALSE(logged("Timeout waiting for session ID"));
    EXPECT_TRUE(logged("🔌 SSE stream closed gracefully, will reconnect attempt=1"));
    EXPECT_TRUE(logged("⏳ Waiting before SSE reconnection retryMs=100"));
}

TEST_F(HTTPClientTransportTest, TheWaitForTheSessionEndsAtItsTimeout) {
    ScriptedServer server([](ServerExchange& exchange) -> asio::awaitable<void> {
        co_await exchange.respond(405, kNoFields, "");
    });
    auto transport = make(server, {.streaming = true, .sseInitializationTimeout = 0.2});
    runFor(io, transport->connect());
    waitForRequests(server, "GET", 1);
    EXPECT_FALSE(requestsOf(server, "GET")[0].headers.contains("MCP-Session-Id"));
    EXPECT_TRUE(
        logged("warning ⏱️ Timeout waiting for session ID (0.2s). SSE stream will proceed anyway."));
    // 405: the loop ends after its one attempt.
    runUntil(io, [&] { return logged("⏹️ SSE retry loop exited"); }, 20s);
    EXPECT_TRUE(logged("⏹️ SSE retry loop exited isCancelled=true isConnected=true totalAttempts=1"));
    EXPECT_EQ(requestsOf(server, "GET").size(), 1u);
}

TEST_F(HTTPClientTransportTest, TheGetStreamResumesOnlyFromItsOwnEvents) {
    std::atomic<int> gets{0};
    std::atomic<bool> postDone{false};
    ScriptedServer server([&](ServerExchange& exchange) -> asio::awaitable<void> {
        if (exchange.request().method == "POST") {
            // A request's stream, with ids of its own, read while the GET stream is open.
            co_await respondEvents(exchange, event("post-1", "") + event("post-2", kAnswer),
                                   fields("MCP-Session-Id", "s-1"));
            postDone = true;
        } else if (++gets == 1) {
            co_await exchange.startChunked(200, fields("Content-Type", "text/event-stream"));
            co_await exchange.chunk(event("get-1", kNotice, "100"));
            // Ends only after the request's stream, whose ids came later.
            co_await exchange.waitFor([&] { return postDone.load(); });
            co_await exchange.endChunks();
        } else {
            co_await exchange.holdOpen();
        }
    });
    auto transport = make(server, {.streaming = true, .sseInitializationTimeout = 0.0});
    auto stream = transport->receive();
    runFor(io, transport->connect());
    EXPECT_EQ(next(stream), kNotice);
    EXPECT_EQ(outcome(transport->send(kPing)), "ok");
    EXPECT_EQ(next(stream), kAnswer);
    waitForRequests(server, "GET", 2);
    EXPECT_EQ(requestsOf(server, "GET")[1].headers.get("Last-Event-ID"), "get-1");
    EXPECT_EQ(requestsOf(server, "GET")[1].headers.get("MCP-Session-Id"), "s-1");
}

TEST_F(HTTPClientTransportTest, AGetStreamSilentPastTheServersKeepAlivesIsReopenedFromItsLastEvent) {
    std::atomic<int> gets{0};
    ScriptedServer server([&](ServerExchange& exchange) -> asio::awaitable<void> {
        if (exchange.request().method == "POST") {
            co_await exchange.respond(200, fields("Content-Type", "application/json",
                                                  "MCP-Session-Id", "s-1"),
                                      kAnswer);
        } else if (++gets == 1) {
            // One event, then not even a comment: the server, or the way to it, is gone.
            co_await exchange.startChunked(200, fields("Content-Type", "text/event-stream"));
            co_await exchange.chunk(event("get-1", kNotice, "100"));
            co_await exchange.holdOpen();
        } else {
            co_await exchange.startChunked(200, fields("Content-Type", "text/event-stream"));
            co_await exchange.holdOpen();
        }
    });
    Settings settings{.streaming = true, .sseInitializationTimeout = 0.0};
    settings.configuration.serverKeepAliveInterval = 100ms;
    auto transport = make(server, settings);
    auto stream = transport->receive();
    runFor(io, transport->connect());
    EXPECT_EQ(next(stream), kNotice);
    waitForRequests(server, "GET", 2);
    EXPECT_EQ(requestsOf(server, "GET")[1].headers.get("Last-Event-ID"), "get-1");
}

TEST_F(HTTPClientTransportTest, TheReconnectionDelayHasAFloorAndACeiling) {
    std::atomic<int> gets{0};
    ScriptedServer server([&gets](ServerExchange& exchange) -> asio::awaitable<void> {
        const int number = ++gets;
        // First a retry of 1 ms (the floor applies), then one of a day (the ceiling applies).
        co_await respondEvents(exchange, event("g-" + std::to_string(number), "",
                                               number == 1 ? "1" : "86400000"));
    });
    Settings settings{.streaming = true, .sseInitializationTimeout = 0.0};
    settings.configuration.minimumRetryInterval = 50ms;
    settings.configuration.maximumRetryInterval = 120s;
    auto transport = make(server, settings);
    runFor(io, transport->connect());
    waitForRequests(server, "GET", 2);
    runUntil(io, [&] { return logged("⏳ Waiting before SSE reconnection retryMs=120000"); },
             20s);
    EXPECT_TRUE(logged("⏳ Waiting before SSE reconnection retryMs=50"));
    EXPECT_TRUE(logged("⏳ Waiting before SSE reconnection retryMs=120000"));

    // disconnect() ends the long wait: no further GET.
    runFor(io, transport->disconnect());
    runUntil(io, [&] { return logged("⏹️ SSE retry loop exited"); }, 20s);
    EXPECT_TRUE(logged("⏹️ SSE task cancelled"));
    EXPECT_EQ(requestsOf(server, "GET").size(), 2u);
}

TEST_F(HTTPClientTransportTest, TheGetStreamStopsWhenTheSessionHasExpired) {
    ScriptedServer server([](ServerExchange& exchange) -> asio::awaitable<void> {
        if (exchange.request().method == "POST") {
            co_await exchange.respond(
                200, fields("Content-Type", "application/json", "MCP-Session-Id", "s-1"), kAnswer);
        } else {
            co_await exchange.respond(404, kNoFields, "");
        }
    });
    Settings settings{.streaming = true};
    settings.configuration.minimumRetryInterval = 10ms;
    settings.configuration.maximumRetryInterval = 50ms;
    auto transport = make(server, settings);
    runFor(io, transport->connect());
    EXPECT_EQ(outcome(transport->send(kPing)), "ok");
    runUntil(io, [&] { return logged("⏹️ SSE retry loop exited"); }, 20s);
    EXPECT_TRUE(logged("warning Session has expired"));
    EXPECT_TRUE(logged("totalAttempts=1"));
    EXPECT_EQ(requestsOf(server, "GET").size(), 1u);
    EXPECT_EQ(runFor(io, transport->sessionID()), std::nullopt);
}

TEST_F(HTTPClientTransportTest, APostThatLearnsOfTheExpiredSessionStopsTheGetStream) {
    std::atomic<int> posts{0};
    ScriptedServer server([&posts](ServerExchange& exchange) -> asio::awaitable<void> {
        if (exchange.request().method == "GET") {
            if (exchange.request().headers.contains("MCP-Session-Id")) {
                co_await exchange.startChunked(200, fields("Content-Type", "text/event-stream"));
                co_await exchange.chunk(event("g-1", "", "10"));
                co_await exchange.holdOpen();
            } else {
                // What a stateful host answers a GET without a session, for ever.
                co_await exchange.respond(400, kNoFields, "");
            }
        } else if (++posts == 1) {
            co_await exchange.respond(
                200, fields("Content-Type", "application/json", "MCP-Session-Id", "s-1"), kAnswer);
        } else {
            co_await exchange.respond(404, kNoFields, "");
        }
    });
    Settings settings{.streaming = true};
    settings.configuration.minimumRetryInterval = 10ms;
    settings.configuration.maximumRetryInterval = 10ms;
    auto transport = make(server, settings);
    runFor(io, transport->connect());
    EXPECT_EQ(outcome(transport->send(kPing)), "ok");
    runUntil(io, [&] { return logged("eventID=g-1"); }, 20s);
    EXPECT_EQ(outcome(transport->send(kPing)), "Session expired");
    runUntil(io, [&] { return logged("⏹️ SSE retry loop exited"); }, 20s);
    EXPECT_TRUE(logged("⏹️ SSE retry loop exited isCancelled=true"));
    testing::runIdle(io, 100ms);
    EXPECT_EQ(requestsOf(server, "GET").size(), 1u);
}

TEST_F(HTTPClientTransportTest, ARefusedResumptionReopensTheGetStreamWithoutItsId) {
    std::atomic<int> gets{0};
    ScriptedServer server([&gets](ServerExchange& exchange) -> asio::awaitable<void> {
        if (exchange.request().method == "POST") {
            co_await exchange.respond(
                200, fields("Content-Type", "application/json", "MCP-Session-Id", "s-1"), kAnswer);
        } else if (++gets == 1) {
            co_await respondEvents(exchange, event("g-1", "", "10"));
        } else if (exchange.request().headers.contains("Last-Event-ID")) {
            co_await exchange.respond(400, kNoFields, "");  // the server no longer holds g-1
        } else {
            co_await exchange.startChunked(200, fields("Content-Type", "text/event-stream"));
            co_await exchange.holdOpen();
        }
    });
    auto transport = make(server, {.streaming = true});
    runFor(io, transport->connect());
    EXPECT_EQ(outcome(transport->send(kPing)), "ok");
    waitForRequests(server, "GET", 3);
    auto get = requestsOf(server, "GET");
    EXPECT_EQ(get[1].headers.get("Last-Event-ID"), "g-1");
    EXPECT_FALSE(get[2].headers.contains("Last-Event-ID"));
    EXPECT_TRUE(logged("warning ⚠️ The server cannot resume the event stream; events sent since "
                       "the last one received may be lost lastEventID=g-1"));
}

TEST_F(HTTPClientTransportTest, AGetStreamRefusedAgainAndAgainStops) {
    ScriptedServer server([](ServerExchange& exchange) -> asio::awaitable<void> {
        if (exchange.request().method == "POST") {
            co_await exchange.respond(
                200, fields("Content-Type", "application/json", "MCP-Session-Id", "s-1"), kAnswer);
        } else {
            co_await exchange.respond(400, kNoFields, "");
        }
    });
    Settings settings{.streaming = true};
    settings.configuration.minimumRetryInterval = 10ms;
    settings.configuration.maximumRetryInterval = 10ms;
    auto transport = make(server, settings);
    runFor(io, transport->connect());
    EXPECT_EQ(outcome(transport->send(kPing)), "ok");
    runUntil(io, [&] { return logged("⏹️ SSE retry loop exited"); }, 20s);
    EXPECT_TRUE(logged("error ❌ The server refused the event stream 3 times in a row (HTTP 400); "
                       "it is not reopened."));
    EXPECT_EQ(requestsOf(server, "GET").size(), 3u);
}

TEST_F(HTTPClientTransportTest, FailedGetAttemptsAreLoggedAndRetried) {
    std::atomic<int> gets{0};
    ScriptedServer server([&gets](ServerExchange& exchange) -> asio::awaitable<void> {
        if (++gets == 1) {
            co_await exchange.respond(500, kNoFields, "");
        } else {
            co_await exchange.holdOpen();
        }
    });
    Settings settings{.streaming = true, .sseInitializationTimeout = 0.0};
    settings.configuration.minimumRetryInterval = 10ms;
    settings.configuration.maximumRetryInterval = 50ms;
    auto transport = make(server, settings);
    runFor(io, transport->connect());
    waitForRequests(server, "GET", 2);
    EXPECT_TRUE(logged("error ❌ SSE connection error (attempt #1): "));
    EXPECT_TRUE(logged("HTTP error: 500"));
}

TEST_F(HTTPClientTransportTest, APostStreamWithoutDataReopensTheGetStream) {
    std::atomic<int> gets{0};
    ScriptedServer server([&gets](ServerExchange& exchange) -> asio::awaitable<void> {
        if (exchange.request().method == "POST") {
            co_await respondEvents(exchange, event("p-1", ""));
        } else {
            ++gets;
            co_await exchange.startChunked(200, fields("Content-Type", "text/event-stream"));
            co_await exchange.chunk(event("g-1", "", "100"));
            co_await exchange.holdOpen();
        }
    });
    auto transport = make(server, {.streaming = true, .sseInitializationTimeout = 0.0});
    runFor(io, transport->connect());
    waitForRequests(server, "GET", 1);
    runUntil(io, [&] { return logged("eventID=g-1"); }, 20s);
    EXPECT_EQ(outcome(transport->send(kNotice)), "ok");
    EXPECT_TRUE(logged("POST SSE stream closed without data, triggering GET reconnection"));
    waitForRequests(server, "GET", 2);
    EXPECT_EQ(requestsOf(server, "GET")[1].headers.get("Last-Event-ID"), "g-1");
}

TEST_F(HTTPClientTransportTest, A405ToAPostStopsTheGetStream) {
    ScriptedServer server([](ServerExchange& exchange) -> asio::awaitable<void> {
        if (exchange.request().method == "POST") {
            co_await exchange.respond(405, kNoFields, "");
        } else {
            co_await exchange.startChunked(200, fields("Content-Type", "text/event-stream"));
            co_await exchange.chunk(event("g-1", "", "100"));
            co_await exchange.holdOpen();
        }
    });
    auto transport = make(server, {.streaming = true, .sseInitializationTimeout = 0.0});
    runFor(io, transport->connect());
    runUntil(io, [&] { return logged("eventID=g-1"); }, 20s);
    EXPECT_EQ(outcome(transport->send(kPing)), "Server does not support streaming");
    runUntil(io, [&] { return logged("⏹️ SSE retry loop exited"); }, 20s);
    EXPECT_TRUE(logged("⏹️ SSE task cancelled"));
    EXPECT_EQ(requestsOf(server, "GET").size(), 1u);
}

}  // namespace
}  // namespace mcp
