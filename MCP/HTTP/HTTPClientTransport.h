// HTTPClientTransport: the client side of streamable HTTP. Every outgoing message is the body of
// one POST to the endpoint; the server answers in that POST's response with one JSON document or
// with an event stream, and, when `streaming` is on, a long-lived GET event stream carries what
// the server sends on its own. Everything received goes into the one stream of receive().
//
//   auto endpoint = *mcp::URL::parse("http://127.0.0.1:8080/mcp");
//   auto transport = std::make_shared<mcp::HTTPClientTransport>(
//       io.get_executor(), endpoint, mcp::HTTPClientTransport::Configuration{}, true,
//       std::nullopt, 10.0, nullptr, nullptr, std::nullopt);
//   co_await client->connect(transport);
//
// Each POST carries "Accept: application/json, text/event-stream", "Content-Type:
// application/json", "MCP-Protocol-Version" (the client hands over the negotiated version through
// useProtocolVersion()), "MCP-Session-Id" once the server has given one, "Authorization" from the
// authorizer, and then goes through the request modifier. send() returns when the answer has been
// read: for an event stream, when the stream has ended.
//
// Answers to a POST:
//   2xx                   JSON: the body is one message; event stream: each event's data is one
//                         message; anything else is logged ("Unexpected content type: ...").
//                         A request's answer must be its response: a JSON body that is no
//                         response to it fails send() ("The server's answer to request 1 is not
//                         its response."), and so does an event stream that ends without it and
//                         cannot be resumed ("The server's event stream ended without the
//                         response to request 1."), so that the request never waits for ever.
//   400                   internalError "Bad request"
//   401, 403              handed to the authorizer, which may have the POST sent again, at most
//                         maxAuthorizationAttempts() times in all; else "Authentication
//                         required" (401) or "Access forbidden" (403)
//   404                   with a session: "Session expired" (the session id is dropped); else
//                         "Endpoint not found"
//   405                   "Server does not support streaming" (and the GET stream stops) when
//                         streaming, else "Method not allowed"
//   408, 429              "Request timeout", "Too many requests"
//   5xx                   "Server error: <status>"
//   other                 "Unexpected HTTP response: <status> (<content type>)"
// The "MCP-Session-Id" of any answer, an error answer included, is kept.
//
// The GET stream waits first, at most `sseInitializationTimeout` seconds, for the server's
// session id (one that arrived before the wait counts), then opens, reads and reopens the stream
// with "Last-Event-ID" set to the last id seen on a GET stream, `retryInterval` milliseconds
// apart (the events' "retry" values, kept between the configured floor and ceiling). It stops on
// disconnect(), on a 405, and on a 404 while a session is held (the session has expired), to a
// GET or to a POST, whichever learns it first. A 400 to a resumption means that the server no
// longer holds that event: the gap is logged and the stream reopens without "Last-Event-ID";
// after three 400s in a row the loop stops with an error. A POST
// event stream that breaks after an event with an id is resumed by a GET with that id, so the
// answer it still owes is not lost.
//
// Limits: the head of every answer must arrive within `requestTimeout`, and a JSON body may not
// pause longer than that; event-stream bodies have `eventStreamIdleTimeout` (none by default), so
// a long tool call or a quiet GET stream does not fail, unless the server is known to send
// keep-alive comments (`serverKeepAliveInterval`): then three intervals without a byte break the
// stream, and it is reopened or resumed as any broken one is. Redirects are followed only within the
// endpoint's origin (307 and 308), so credentials never travel to another origin.
//
// disconnect() ends the session it holds with a DELETE first (at most two seconds, the request
// timeout if shorter; the authorizer's header but never its challenge flow; any refusal or
// failure is only logged), then shuts the HTTP client down.
//
// Thread-safety: an actor on its own strand; every operation may be awaited from any executor.
// The authorizer is called on that strand only, but sends and the GET stream call it side by
// side: one may be suspended inside the authorizer while another calls in (see
// MCP/OAuth/HTTPClientAuthorizer.h). Create it with
// std::make_shared: its tasks keep it alive while they run. A transport serves one connection:
// disconnect() ends its message stream and shuts its HTTP client down.
#pragma once

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/steady_timer.hpp>
#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "Logging/Logger.h"
#include "MCP/Core/Actor.h"
#include "MCP/Core/Transport.h"
#include "MCP/OAuth/HTTPClientAuthorizer.h"
#include "MCP/OAuth/URL.h"
#include "platform/http/Client.h"

namespace mcp {

struct HTTPClientTransportConfiguration {
    // The HTTP client's own options (connection pool, certificate authorities, connect time).
    fw::http::ClientOptions http{};
    // How long the head of an answer may take, and a JSON body may pause.
    std::chrono::milliseconds requestTimeout = std::chrono::seconds(60);
    // How long an event-stream body may stay quiet; none: without limit.
    std::optional<std::chrono::milliseconds> eventStreamIdleTimeout{};
    // How often the server writes keep-alive comments into a quiet event stream, when it is
    // known to: a stream that then brings not a byte for three such intervals is taken for a
    // broken one (its server or the way to it is gone) and dropped; the GET stream reopens with
    // "Last-Event-ID" and a POST's stream is resumed, as after any break. The shorter of this
    // limit and `eventStreamIdleTimeout` holds.
    std::optional<std::chrono::milliseconds> serverKeepAliveInterval{};
    // The bounds of the reconnection delay, whatever the server's "retry" says.
    std::chrono::milliseconds minimumRetryInterval = std::chrono::milliseconds(100);
    std::chrono::milliseconds maximumRetryInterval = std::chrono::seconds(60);
    // How often a broken POST event stream is resumed before its error is given up to send().
    int maxStreamResumptions = 3;
};

class HTTPClientTransport final : public Transport,
                                  public std::enable_shared_from_this<HTTPClientTransport> {
public:
    using Configuration = HTTPClientTransportConfiguration;
    // Applied to every request (POST and GET) as the last step before it is sent.
    using RequestModifier = std::function<fw::http::Request(fw::http::Request)>;

    // Does no I/O. A null modifier changes nothing; with no logger it logs nothing
    // ("mcp.transport.http.client"). `sseInitializationTimeout` is in seconds.
    HTTPClientTransport(boost::asio::any_io_executor executor, URL endpoint,
                        Configuration configuration, bool streaming,
                        std::optional<std::string> protocolVersion,
                        double sseInitializationTimeout,
                        std::shared_ptr<HTTPClientAuthorizer> authorizer,
                        RequestModifier requestModifier, std::optional<logging::Logger> logger);
    ~HTTPClientTransport() override;
    HTTPClientTransport(const HTTPClientTransport&) = delete;
    HTTPClientTransport& operator=(const HTTPClientTransport&) = delete;

    const logging::Logger& logger() const override { return logger_; }
    boost::asio::awaitable<void> connect() override;
    boost::asio::awaitable<void> disconnect() override;
    boost::asio::awaitable<void> send(std::string message) override;
    MessageStream receive() override;
    boost::asio::awaitable<void> useProtocolVersion(std::string version) override;

    const URL& endpoint() const noexcept { return endpoint_; }
    double sseInitializationTimeout() const noexcept { return sseInitializationTimeout_; }
    boost::asio::awaitable<std::optional<std::string>> sessionID();
    boost::asio::awaitable<std::optional<std::string>> protocolVersion();
    boost::asio::awaitable<void> setProtocolVersion(std::optional<std::string> version);

    // The JSON-RPC method of a message for the authorizer: the trimmed text of the "method"
    // member of a JSON object; nothing for a batch, other JSON, a blank method or bytes that are
    // no JSON.
    static std::optional<std::string> jsonRPCMethod(std::string_view message);
    // "Authentication required" for 401, "Access forbidden" for 403.
    static std::string authorizationFailureMessage(std::int64_t statusCode);
    // The id of a request (an object with a text "method" and a text or integer "id"), and the
    // id of a response (an object with such an "id" and "result" or "error"); nothing else.
    static std::optional<ID> requestID(std::string_view message);
    static std::optional<ID> responseID(std::string_view message);

private:
    // Where one event stream has got to: the id of its last event that carried one, and
    // whether it has delivered a message.
    struct StreamPosition {
        std::optional<std::string> lastEventID;
        bool delivered = false;
        // The request whose response the stream owes (a POST's stream), and whether it came.
        std::optional<ID> awaited;
        bool answered = false;
    };

    boost::asio::awaitable<void> connectOnStrand();
    boost::asio::awaitable<void> disconnectOnStrand();
    // DELETE of the session held, if any, with a short time limit; never fails.
    boost::asio::awaitable<void> endSession();
    static constexpr std::chrono::milliseconds kSessionEndTimeout{2000};
    boost::asio::awaitable<void> sendOnStrand(std::string message);
    // validateEndpoint() and prepareAuthorization() of the authorizer, failures as
    // "Authorization flow failed: ...".
    boost::asio::awaitable<void> prepareAuthorization();
    fw::http::Request makePost(const std::string& message) const;
    fw::http::Request makeGet(const std::optional<std::string>& lastEventID) const;
    // Authorization and the request modifier, the last steps of every request.
    fw::http::Request finish(fw::http::Request request) const;
    boost::asio::awaitable<void> processResponse(fw::http::Response response,
                                                 const std::optional<ID>& awaited);
    void processHTTPResponse(const fw::http::Response& response, const std::string& contentType);
    // A 404 while a session is held: forgets the session, stops the GET stream and throws
    // "Session expired".
    [[noreturn]] void sessionExpired();
    // Keeps the answer's "MCP-Session-Id", if any, and wakes the GET stream at the first one.
    void takeSessionID(const fw::http::Headers& headers);

    // How long an event-stream body may bring nothing at all, comments included.
    std::optional<std::chrono::milliseconds> eventStreamSilenceLimit() const;
    // Reads one event-stream body into the message stream; true when a message came.
    boost::asio::awaitable<bool> processSSE(fw::http::ResponseBody body, StreamPosition& position);
    // A POST's event stream, resumed by GET when it breaks, or ends without the response to
    // `awaited`, after an event with an id.
    boost::asio::awaitable<bool> processPostEventStream(fw::http::ResponseBody body,
                                                        std::optional<ID> awaited);
    boost::asio::awaitable<bool> resumeEventStream(StreamPosition& position);
    bool isResumable(const std::exception_ptr& failure, const StreamPosition& position) const;

    // The GET stream loop (the task started by connect()) and one GET exchange of it.
    static boost::asio::awaitable<void> startListeningForServerEvents(
        std::shared_ptr<HTTPClientTransport> self);
    boost::asio::awaitable<void> listen();
    boost::asio::awaitable<void> connectToEventStream();
    // Waits for the first session id: true when it came, false when the timeout passed first.
    boost::asio::awaitable<bool> waitForInitialSessionID();
    void triggerInitialSessionIDSignal();
    // A 400 to a GET: a refused resumption drops its id; refusals in a row stop the loop.
    void refuseGetStream(bool resuming);
    void stopStreaming();
    void cancelActiveGET();
    boost::asio::awaitable<void> sleep(std::chrono::milliseconds duration);
    std::chrono::milliseconds reconnectionDelay() const;
    void setRetryInterval(std::int64_t milliseconds);

    const logging::Logger logger_;
    const Strand strand_;
    const URL endpoint_;
    const Configuration configuration_;
    fw::http::Client session_;
    const bool streaming_;
    const double sseInitializationTimeout_;
    const std::shared_ptr<HTTPClientAuthorizer> authorizer_;
    const RequestModifier requestModifier_;

    // On the strand.
    std::optional<std::string> sessionID_;
    std::optional<std::string> protocolVersion_;
    bool isConnected_ = false;
    // The first session id arrived (or disconnect() ended the wait for it); stays set.
    bool initialSessionIDSignalled_ = false;
    boost::asio::steady_timer initialSessionIDTimer_;
    // The GET stream loop: running, told to stop, and how to interrupt what it awaits.
    bool streamingStarted_ = false;
    bool streamingStopped_ = false;
    boost::asio::cancellation_signal streamingSignal_;
    // Interrupts the body of the GET stream being read, if any.
    std::shared_ptr<boost::asio::cancellation_signal> activeGET_;
    StreamPosition getStream_;
    // GETs answered 400 since the last that opened a stream.
    static constexpr int kMaxRefusedGETs = 3;
    int refusedGETs_ = 0;
    // The waits before reconnections, which disconnect() ends.
    std::set<boost::asio::steady_timer*> sleeping_;
    std::int64_t retryInterval_ = 3000;

    std::optional<MessageStream> messageStream_;
    std::optional<MessageStream::Source> messageContinuation_;
};

}  // namespace mcp
