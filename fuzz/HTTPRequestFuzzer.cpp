// One HTTP request, as the HTTP server transports handle it: the stateful transport (with a session
// already initialized) and the stateless one, each with its default validation pipeline and a real
// server behind it. The first byte picks the method, the second which headers come (Accept,
// Content-Type, the session, the protocol version, a Last-Event-ID), the rest is the body.
//
// Every request gets exactly one final answer: a refusal whose body is a JSON-RPC error without a
// null id, 202 only for what the server does not answer, and for a request its one answer, on an
// event stream that then ends or as the JSON body. Everything runs on one thread and the server
// waits for nothing but the transport, so a stream still open once no work is left will never
// end: that is a request left unanswered.
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "EventSource/Parser.h"
#include "MCP/HTTP/JSONRPCMessageKind.h"
#include "MCP/HTTP/StatefulHTTPServerTransport.h"
#include "MCP/HTTP/StatelessHTTPServerTransport.h"
#include "MCP/JSON/JsonParser.h"
#include "MCP/Messages/Tools.h"
#include "MCP/Server/Server.h"
#include "fuzz/FuzzCheck.h"

namespace {

namespace asio = boost::asio;

constexpr const char* kInitialize =
    R"({"jsonrpc":"2.0","id":"init","method":"initialize","params":{"protocolVersion":"2025-11-25",)"
    R"("capabilities":{},"clientInfo":{"name":"fuzz","version":"1"}}})";

class FixedSessionID : public mcp::SessionIDGenerator {
public:
    std::string generateSessionID() override { return "S1"; }
};

// A server with one tool ("echo") that answers at once.
std::shared_ptr<mcp::Server> makeServer(asio::io_context& io) {
    mcp::Server::Capabilities capabilities;
    capabilities.tools = mcp::Server::Capabilities::Tools{};
    auto server = std::make_shared<mcp::Server>(io.get_executor(), "Frameweaver", "1.0.0",
                                                std::nullopt, std::nullopt, capabilities);
    server->withMethodHandler<mcp::CallTool>(
        [](mcp::CallTool::Parameters parameters) -> asio::awaitable<mcp::CallTool::Result> {
            co_return mcp::CallTool::Result{.content = {mcp::ToolContent::text(parameters.name)}};
        });
    return server;
}

// Runs ready work until none is left.
void settle(asio::io_context& io) {
    io.restart();
    while (io.poll() > 0) {
    }
}

struct Drained {
    bool ended = false;
    std::string bytes;
};

// Reads a stream answer's chunks for as long as work is left.
Drained drain(asio::io_context& io, mcp::HTTPResponse& answer) {
    auto drained = std::make_shared<Drained>();
    asio::co_spawn(
        io,
        [](mcp::MessageStream* chunks, std::shared_ptr<Drained> into) -> asio::awaitable<void> {
            while (auto chunk = co_await chunks->next()) {
                into->bytes += *chunk;
            }
            into->ended = true;
        }(answer.chunks(), drained),
        [](std::exception_ptr) {});
    settle(io);
    return *drained;
}

// The data of each event of a stream, the priming events' empty data left out.
std::vector<std::string> eventData(const std::string& bytes) {
    eventsource::Parser parser;
    parser.consume(std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
    parser.finish();
    std::vector<std::string> data;
    while (auto event = parser.getNextEvent()) {
        if (!event->data.empty()) {
            data.push_back(event->data);
        }
    }
    return data;
}

// Whether `message` answers the request `id`.
bool answers(const std::string& message, const mcp::ID& id) {
    auto kind = mcp::JSONRPCMessageKind::classify(message);
    return kind && kind->kind == mcp::JSONRPCMessageKind::Kind::response && kind->id == id;
}

void checkRefusal(const mcp::HTTPResponse& answer, const std::string& transport) {
    fuzz::check(answer.statusCode() >= 400, "a refusal has an error status", transport);
    const std::optional<std::string> body = answer.body();
    fuzz::check(body.has_value(), "a refusal has a body", transport);
    const std::optional<mcp::Value> parsed = mcp::tryParseJson(*body);
    fuzz::check(parsed && parsed->find("error") != nullptr, "a refusal is a JSON-RPC error", *body);
    const mcp::Value* id = parsed->find("id");
    fuzz::check(id == nullptr || !id->isNull(), "a refusal never carries a null id", *body);
}

struct Input {
    mcp::HTTPRequest request;
    std::optional<mcp::JSONRPCMessageKind> kind;  // what the body is, when it is one message
};

Input readInput(const std::uint8_t* data, std::size_t size, bool stateful) {
    static const char* const kMethods[] = {"POST", "POST", "GET", "DELETE", "PUT", "post"};
    const std::uint8_t method = size > 0 ? data[0] : 0;
    const std::uint8_t flags = size > 1 ? data[1] : 0xFF;
    Input input;
    mcp::HTTPRequest& request = input.request;
    request.method = kMethods[method % std::size(kMethods)];
    request.path = "/mcp";
    std::string accept;
    if (flags & 0x01) {
        accept = "application/json";
    }
    if (flags & 0x02) {
        accept += accept.empty() ? "text/event-stream" : ", text/event-stream";
    }
    if (!accept.empty()) {
        request.headers["Accept"] = accept;
    }
    if (flags & 0x04) {
        request.headers["Content-Type"] = "application/json";
    }
    if (stateful && (flags & 0x08)) {
        request.headers["MCP-Session-Id"] = (flags & 0x10) ? "S2" : "S1";
    }
    if (flags & 0x20) {
        request.headers["MCP-Protocol-Version"] = (flags & 0x10) ? "1999-01-01" : "2025-11-25";
    }
    if (flags & 0x40) {
        request.headers["Last-Event-ID"] = (flags & 0x80) ? "init_1" : "_standalone_1";
    }
    if (size > 2) {
        request.body = std::string(reinterpret_cast<const char*>(data) + 2, size - 2);
        input.kind = mcp::JSONRPCMessageKind::classify(*request.body);
    }
    return input;
}

void checkStateful(const std::uint8_t* data, std::size_t size) {
    asio::io_context io;
    mcp::StatefulHTTPServerTransport::Options options;
    options.sessionIDGenerator = std::make_shared<FixedSessionID>();
    auto transport = std::make_shared<mcp::StatefulHTTPServerTransport>(options);
    auto server = makeServer(io);
    asio::co_spawn(io, server->start(transport), [](std::exception_ptr) {});
    settle(io);
    mcp::HTTPResponse initialized = transport->handle(
        mcp::HTTPRequest{"POST",
                         {{"Accept", "application/json, text/event-stream"},
                          {"Content-Type", "application/json"}},
                         kInitialize,
                         "/mcp"});
    fuzz::check(initialized.chunks() != nullptr, "the session initializes");
    fuzz::check(drain(io, initialized).ended, "the initialize stream ends");

    Input input = readInput(data, size, true);
    const bool isPost = input.request.method == "POST" || input.request.method == "post";
    mcp::HTTPResponse answer = transport->handle(std::move(input.request));
    const bool isRequest = input.kind && input.kind->isRequest();
    switch (answer.kind()) {
        case mcp::HTTPResponse::Kind::error:
            checkRefusal(answer, "stateful");
            break;
        case mcp::HTTPResponse::Kind::accepted:
            fuzz::check(!isRequest, "a request is never accepted without an answer");
            break;
        case mcp::HTTPResponse::Kind::stream:
            if (isPost) {
                fuzz::check(isRequest, "only a request opens a stream");
                const Drained drained = drain(io, answer);
                fuzz::check(drained.ended, "a request's stream ends once answered", drained.bytes);
                int count = 0;
                for (const std::string& message : eventData(drained.bytes)) {
                    count += answers(message, *input.kind->id);
                }
                fuzz::check(count == 1, "a request's stream carries exactly one answer",
                            drained.bytes);
            }
            break;
        default:
            break;
    }
    asio::co_spawn(io, server->stop(), [](std::exception_ptr) {});
    settle(io);
}

void checkStateless(const std::uint8_t* data, std::size_t size) {
    asio::io_context io;
    auto transport = std::make_shared<mcp::StatelessHTTPServerTransport>();
    auto server = makeServer(io);
    asio::co_spawn(io, server->start(transport), [](std::exception_ptr) {});
    settle(io);

    Input input = readInput(data, size, false);
    std::optional<mcp::HTTPResponse> answer;
    int finals = 0;
    asio::co_spawn(io, transport->handleRequest(std::move(input.request)),
                   [&](std::exception_ptr failure, mcp::HTTPResponse response) {
                       ++finals;
                       if (!failure) {
                           answer.emplace(std::move(response));
                       }
                   });
    settle(io);
    fuzz::check(finals == 1, "the stateless transport gives exactly one final answer");
    fuzz::check(answer.has_value(), "the stateless transport answers without failing");
    const bool isRequest = input.kind && input.kind->isRequest();
    switch (answer->kind()) {
        case mcp::HTTPResponse::Kind::error:
            checkRefusal(*answer, "stateless");
            break;
        case mcp::HTTPResponse::Kind::accepted:
            fuzz::check(!isRequest, "a request is never accepted without an answer");
            break;
        case mcp::HTTPResponse::Kind::data:
            fuzz::check(isRequest && answers(*answer->body(), *input.kind->id),
                        "a JSON answer answers the request", *answer->body());
            break;
        default:
            fuzz::check(false, "the stateless transport answers with an error, 202 or JSON");
    }
    asio::co_spawn(io, server->stop(), [](std::exception_ptr) {});
    settle(io);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    checkStateful(data, size);
    checkStateless(data, size);
    return 0;
}
