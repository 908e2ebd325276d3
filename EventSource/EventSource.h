// EventSource: a self-standing server-sent-event client. Given a request, it connects, checks
// that the answer is an event stream (status 200, Content-Type "text/event-stream"), hands
// every event to the message callback, and whenever the stream ends or the connection fails
// reconnects after the server's reconnection time, sending the last event id back in
// "Last-Event-ID". Redirects (301, 302, 303, 307, 308) within the request's origin are followed,
// at most 10 in a row, as a browser's loader follows them. A bad status
// (any other, a redirect elsewhere included) or content type ends it for good.
//
//   auto source = eventsource::EventSource::create(client, "https://example.org/events");
//   source->onMessage([](eventsource::Event event) -> boost::asio::awaitable<void> { ... });
//   source->onError([](std::exception_ptr error) -> boost::asio::awaitable<void> { ... });
//   source->start();
//   ...
//   source->close();
//
// Callbacks are stored at once, so set them before start() and nothing is missed; setting an
// empty callback leaves the stored one. They are awaited in turn by the connection loop. The
// error callback gets nothing (a null exception_ptr) when a stream has ended, else the failure:
// an EventSourceError, a fw::http::Error, or a StreamLimitError. Errors are never thrown.
//
// Each connection starts its parser afresh (no half line of a broken body is glued to the
// next stream) and keeps the last event id and the reconnection time. The wait before a new
// attempt is the server's reconnection time held between 250 milliseconds and one day.
//
// Lifetime: the running loop holds the source, so dropping the last outside reference does not
// stop it; close() does. Thread-safety: the loop runs on the HTTP client's executor; close(),
// readyState() and the setters may be called from any thread.
#pragma once

#include <atomic>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "EventSource/Event.h"
#include "EventSource/Parser.h"
#include "platform/http/Client.h"

namespace eventsource {

class EventSource : public std::enable_shared_from_this<EventSource> {
public:
    enum class ReadyState : int { connecting = 0, open = 1, closed = 2 };
    static std::optional<ReadyState> readyStateFromRawValue(int rawValue);
    // "connecting", "open", "closed"
    static std::string_view description(ReadyState state);

    using OpenCallback = std::function<boost::asio::awaitable<void>()>;
    using MessageCallback = std::function<boost::asio::awaitable<void>(Event)>;
    using ErrorCallback = std::function<boost::asio::awaitable<void>(std::exception_ptr)>;

    static constexpr std::chrono::milliseconds kMinimumReconnectDelay{250};
    static constexpr std::chrono::milliseconds kMaximumReconnectDelay{24 * 60 * 60 * 1000};

    // A GET of `url` with "Accept: text/event-stream", "Cache-Control: no-cache" and an idle
    // timeout of 60 seconds.
    static std::shared_ptr<EventSource> create(fw::http::Client client, std::string url);
    // The request as given; nothing is added to it but "Last-Event-ID" (and that same-origin
    // redirects are followed).
    static std::shared_ptr<EventSource> create(fw::http::Client client,
                                               fw::http::Request request,
                                               Parser::Limits limits = {});

    const std::string& url() const { return request_.url; }
    const fw::http::Request& request() const { return request_; }
    ReadyState readyState() const { return readyState_.load(); }

    std::int64_t maximumFinalizationEventCount() const { return maximumFinalizationEventCount_; }
    void setMaximumFinalizationEventCount(std::int64_t count) {
        maximumFinalizationEventCount_ = count;
    }

    void onOpen(OpenCallback callback);
    void onMessage(MessageCallback callback);
    void onError(ErrorCallback callback);

    // Starts the connection loop on the client's executor; later calls do nothing.
    void start();
    // Ends the source for good: `closed` at once, the loop cancelled.
    void close();

private:
    EventSource(fw::http::Client client, fw::http::Request request, Parser::Limits limits);

    boost::asio::awaitable<void> connectionLoop();
    // One connection: the request, the checks, the body and the finalization. Throws what
    // ends the attempt.
    boost::asio::awaitable<void> attempt(Parser& parser);
    boost::asio::awaitable<void> callOpen();
    boost::asio::awaitable<void> callMessage(Event event);
    boost::asio::awaitable<void> callError(std::exception_ptr error);
    bool stopped() const;
    void setState(ReadyState state);

    const fw::http::Client client_;
    const fw::http::Request request_;
    const Parser::Limits limits_;
    std::atomic<ReadyState> readyState_{ReadyState::connecting};
    std::atomic<std::int64_t> maximumFinalizationEventCount_{100};
    std::atomic<bool> started_{false};
    boost::asio::cancellation_signal cancel_;  // touched on the executor only
    bool loopRunning_ = false;                 // touched on the executor only

    mutable std::mutex callbacksMutex_;
    OpenCallback onOpen_;
    MessageCallback onMessage_;
    ErrorCallback onError_;
};

}  // namespace eventsource
