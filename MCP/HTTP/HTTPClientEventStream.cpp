// The HTTP client transport's event streams: reading one event-stream body, resuming a broken
// POST stream, and the long-lived GET stream with its wait for the session id and its
// reconnections.
#include <boost/asio/as_tuple.hpp>
#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/system/system_error.hpp>
#include <algorithm>
#include <charconv>

#include "EventSource/AsyncServerSentEventsSequence.h"
#include "MCP/Core/detail/ErrorText.h"
#include "MCP/HTTP/HTTPClientTransport.h"
#include "MCP/HTTP/HTTPResponse.h"
#include "MCP/Messages/MCPError.h"

namespace mcp {

namespace asio = boost::asio;
using detail::describeError;

namespace {

const char* flag(bool value) { return value ? "true" : "false"; }

// Seconds as people write a decimal: 10.0, 0.5, 2.25.
std::string secondsText(double seconds) {
    char text[64];
    auto [end, error] = std::to_chars(text, text + sizeof text, seconds);
    std::string result(text, error == std::errc() ? end : text);
    if (result.find_first_of(".eEn") == std::string::npos) {
        result += ".0";
    }
    return result;
}

asio::awaitable<bool> isCancelled() {
    auto state = co_await asio::this_coro::cancellation_state;
    co_return state.cancelled() != asio::cancellation_type::none;
}

}  // namespace

// --- Event-stream bodies ------------------------------------------------------------------------

asio::awaitable<bool> HTTPClientTransport::processSSE(fw::http::ResponseBody body,
                                                      StreamPosition& position) {
    logger_.debug("📥 Starting SSE event processing");
    body.setIdleTimeout(eventStreamSilenceLimit());
    auto events = eventsource::serverSentEvents(std::move(body));
    std::int64_t eventsProcessed = 0;
    bool hadData = false;
    while (auto event = co_await events.next()) {
        ++eventsProcessed;
        if (co_await isCancelled()) {
            logger_.debug("⏹️ SSE processing cancelled", [&] {
                return logging::Metadata{{"eventsProcessed", std::to_string(eventsProcessed)}};
            });
            co_return hadData;
        }
        logger_.trace("SSE event received", [&] {
            return logging::Metadata{{"type", event->event.value_or("message")},
                                     {"id", event->id.value_or("none")}};
        });
        if (event->id && !event->id->empty()) {
            position.lastEventID = *event->id;
            logger_.debug("Stored event ID for resumability",
                          [&] { return logging::Metadata{{"eventID", *event->id}}; });
        }
        if (event->retry) {
            setRetryInterval(*event->retry);
        }
        if (!event->data.empty()) {
            if (position.awaited && !position.answered &&
                responseID(event->data) == position.awaited) {
                position.answered = true;
            }
            messageContinuation_->yield(std::move(event->data));
            hadData = true;
            position.delivered = true;
        }
    }
    logger_.debug("✓ SSE event stream completed", [&] {
        return logging::Metadata{{"eventsProcessed", std::to_string(eventsProcessed)},
                                 {"hadData", flag(hadData)}};
    });
    co_return hadData;
}

std::optional<std::chrono::milliseconds> HTTPClientTransport::eventStreamSilenceLimit() const {
    // Three missed keep-alive comments: one late comment is no sign of a dead stream.
    constexpr int kMissedKeepAlives = 3;
    std::optional<std::chrono::milliseconds> limit = configuration_.eventStreamIdleTimeout;
    if (const auto& interval = configuration_.serverKeepAliveInterval;
        interval && interval->count() > 0) {
        const auto silence = *interval * kMissedKeepAlives;
        limit = limit ? std::min(*limit, silence) : silence;
    }
    return limit;
}

void HTTPClientTransport::setRetryInterval(std::int64_t milliseconds) {
    // The floor wins over a ceiling set below it.
    retryInterval_ = std::max<std::int64_t>(
        configuration_.minimumRetryInterval.count(),
        std::min<std::int64_t>(milliseconds, configuration_.maximumRetryInterval.count()));
    logger_.debug("SSE retry interval updated", [&] {
        return logging::Metadata{{"retryMs", std::to_string(retryInterval_)}};
    });
}

std::chrono::milliseconds HTTPClientTransport::reconnectionDelay() const {
    return std::max(configuration_.minimumRetryInterval,
                    std::min(std::chrono::milliseconds(retryInterval_),
                             configuration_.maximumRetryInterval));
}

asio::awaitable<void> HTTPClientTransport::sleep(std::chrono::milliseconds duration) {
    asio::steady_timer timer(strand_, duration);
    sleeping_.insert(&timer);  // disconnect() ends the wait
    auto [code] = co_await timer.async_wait(asio::as_tuple(asio::use_awaitable));
    sleeping_.erase(&timer);
    if (code || !isConnected_) {
        throw boost::system::system_error(asio::error::operation_aborted);
    }
}

fw::http::Request HTTPClientTransport::makeGet(
    const std::optional<std::string>& lastEventID) const {
    fw::http::Request request;
    request.method = "GET";
    request.url = endpoint_.absoluteString();
    request.headers.set(HTTPHeaderName::accept, "text/event-stream");
    request.headers.set(HTTPHeaderName::cacheControl, "no-cache");
    if (protocolVersion_) {
        request.headers.set(HTTPHeaderName::protocolVersion, *protocolVersion_);
    }
    if (sessionID_) {
        request.headers.set(HTTPHeaderName::sessionID, *sessionID_);
    }
    if (lastEventID) {
        request.headers.set(HTTPHeaderName::lastEventID, *lastEventID);
    }
    return finish(std::move(request));
}

// --- A POST's event stream ----------------------------------------------------------------------

asio::awaitable<bool> HTTPClientTransport::processPostEventStream(fw::http::ResponseBody body,
                                                                  std::optional<ID> awaited) {
    // Its own position: the GET stream never resumes from a request's events.
    StreamPosition position;
    position.awaited = std::move(awaited);
    std::exception_ptr failure;
    try {
        co_await processSSE(std::move(body), position);
    } catch (...) {
        failure = std::current_exception();
    }
    // A stream that ended cleanly but still owes its response is resumed as a broken one is.
    const auto owesResponse = [&] { return position.awaited && !position.answered; };
    const auto resumable = [&] {
        return failure ? isResumable(failure, position)
                       : owesResponse() && isConnected_ && position.lastEventID.has_value();
    };
    for (int resumption = 1; resumable() && resumption <= configuration_.maxStreamResumptions;
         ++resumption) {
        logger_.info("↻ Resuming interrupted POST SSE stream", [&] {
            return logging::Metadata{
                {"lastEventID", *position.lastEventID},
                {"attempt", std::to_string(resumption)},
                {"error", failure ? describeError(failure) : "ended without the response"}};
        });
        bool waited = true;
        try {
            co_await sleep(reconnectionDelay());
        } catch (...) {
            waited = false;  // disconnected: the stream's own failure stands
        }
        if (!waited) {
            break;
        }
        try {
            co_await resumeEventStream(position);
            failure = nullptr;
        } catch (...) {
            failure = std::current_exception();
        }
    }
    if (failure) {
        std::rethrow_exception(failure);
    }
    if (owesResponse()) {
        throw MCPError::internalError("The server's event stream ended without the response to "
                                      "request " + position.awaited->description() + ".");
    }
    co_return position.delivered;
}

bool HTTPClientTransport::isResumable(const std::exception_ptr& failure,
                                      const StreamPosition& position) const {
    if (!isConnected_ || !position.lastEventID) {
        return false;
    }
    try {
        std::rethrow_exception(failure);
    } catch (const fw::http::Error& error) {
        using Kind = fw::http::Error::Kind;
        return error.kind() == Kind::connectionFailed || error.kind() == Kind::timedOut ||
               error.kind() == Kind::connectFailed;
    } catch (...) {
        return false;
    }
}

asio::awaitable<bool> HTTPClientTransport::resumeEventStream(StreamPosition& position) {
    co_await prepareAuthorization();
    fw::http::Response response = co_await session_.send(makeGet(position.lastEventID));
    takeSessionID(response.headers);
    if (response.status == 404 && sessionID_) {
        sessionExpired();
    }
    if (response.status != 200) {
        throw MCPError::internalError("HTTP error: " + std::to_string(response.status));
    }
    co_return co_await processSSE(std::move(response.body), position);
}

// --- The GET stream -----------------------------------------------------------------------------

void HTTPClientTransport::refuseGetStream(bool resuming) {
    if (resuming) {
        // The server no longer holds the event to resume from: what it sent after that event is
        // lost. The stream is opened afresh, from what comes next.
        logger_.warning("⚠️ The server cannot resume the event stream; events sent since the last "
                        "one received may be lost",
                        [&] {
                            return logging::Metadata{
                                {"lastEventID", getStream_.lastEventID.value_or("none")}};
                        });
        getStream_.lastEventID.reset();
    }
    if (++refusedGETs_ >= kMaxRefusedGETs) {
        logger_.error([&] {
            return "❌ The server refused the event stream " + std::to_string(refusedGETs_) +
                   " times in a row (HTTP 400); it is not reopened.";
        });
        stopStreaming();
    }
}

void HTTPClientTransport::triggerInitialSessionIDSignal() {
    if (initialSessionIDSignalled_) {
        logger_.debug(
            "✗ No continuation to trigger - signal already consumed or SSE task not waiting");
        return;
    }
    // Latched: a wait that begins later finds it set.
    initialSessionIDSignalled_ = true;
    initialSessionIDTimer_.cancel();
    logger_.debug("✓ Initial session ID signal triggered for SSE task");
}

asio::awaitable<bool> HTTPClientTransport::waitForInitialSessionID() {
    if (!initialSessionIDSignalled_) {
        initialSessionIDTimer_.expires_after(
            std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                std::chrono::duration<double>(std::max(0.0, sseInitializationTimeout_))));
        co_await initialSessionIDTimer_.async_wait(asio::as_tuple(asio::use_awaitable));
    }
    co_return initialSessionIDSignalled_;
}

asio::awaitable<void> HTTPClientTransport::startListeningForServerEvents(
    std::shared_ptr<HTTPClientTransport> self) {
    co_await self->listen();
}

asio::awaitable<void> HTTPClientTransport::listen() {
    if (!isConnected_) {
        co_return;
    }
    if (!sessionID_ && !initialSessionIDSignalled_) {
        const std::string timeout = secondsText(sseInitializationTimeout_);
        logger_.debug([&] { return "⏳ Waiting for session ID to be set (timeout: " + timeout +
                                   "s)..."; });
        const auto start = std::chrono::steady_clock::now();
        if (!co_await waitForInitialSessionID()) {
            logger_.warning([&] {
                return "⏱️ Timeout waiting for session ID (" + timeout +
                       "s). SSE stream will proceed anyway.";
            });
        }
        if (sessionID_) {
            logger_.debug([&] {
                auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
                    std::chrono::steady_clock::now() - start);
                return "✓ Session ID received after " + std::to_string(elapsed.count()) +
                       "ms, proceeding with SSE connection";
            });
        }
    } else {
        logger_.debug("✓ Session ID already available, proceeding with SSE connection immediately");
    }

    auto running = [this] { return isConnected_ && !streamingStopped_; };
    logger_.debug("🔄 Starting SSE retry loop", [&] {
        return logging::Metadata{{"isConnected", flag(isConnected_)},
                                 {"isCancelled", flag(streamingStopped_)}};
    });
    std::int64_t attempt = 0;
    while (running()) {
        ++attempt;
        logger_.debug("🔄 SSE retry loop iteration", [&] {
            return logging::Metadata{{"attempt", std::to_string(attempt)},
                                     {"isFirstAttempt", flag(attempt == 1)}};
        });
        std::exception_ptr failure;
        try {
            if (attempt > 1) {
                const auto delay = reconnectionDelay();
                logger_.debug("⏳ Waiting before SSE reconnection", [&] {
                    return logging::Metadata{{"retryMs", std::to_string(delay.count())}};
                });
                co_await sleep(delay);
                logger_.debug("✓ Wait complete, reconnecting now");
            }
            logger_.debug([&] {
                return "📡 Calling connectToEventStream (attempt #" + std::to_string(attempt) + ")";
            });
            co_await connectToEventStream();
            logger_.info("🔌 SSE stream closed gracefully, will reconnect", [&] {
                return logging::Metadata{{"attempt", std::to_string(attempt)},
                                         {"willRetryAfter",
                                          std::to_string(reconnectionDelay().count()) + "ms"}};
            });
        } catch (...) {
            failure = std::current_exception();
        }
        if (failure) {
            if (!running()) {
                logger_.debug("⏹️ SSE task cancelled");
                break;
            }
            logger_.error([&] {
                return "❌ SSE connection error (attempt #" + std::to_string(attempt) +
                       "): " + describeError(failure);
            });
        }
        logger_.debug("🔄 End of retry loop iteration", [&] {
            return logging::Metadata{{"isConnected", flag(isConnected_)},
                                     {"isCancelled", flag(streamingStopped_)},
                                     {"willContinue", flag(running())}};
        });
    }
    logger_.debug("⏹️ SSE retry loop exited", [&] {
        return logging::Metadata{{"isConnected", flag(isConnected_)},
                                 {"isCancelled", flag(streamingStopped_)},
                                 {"totalAttempts", std::to_string(attempt)}};
    });
}

asio::awaitable<void> HTTPClientTransport::connectToEventStream() {
    if (!isConnected_) {
        logger_.debug("⚠️ Skipping connectToEventStream - transport not connected");
        co_return;
    }
    co_await prepareAuthorization();
    logger_.debug("🔌 Preparing SSE connection request");
    if (getStream_.lastEventID) {
        logger_.info("→ Resuming SSE stream with Last-Event-ID", [&] {
            return logging::Metadata{{"lastEventID", *getStream_.lastEventID}};
        });
    } else {
        logger_.info("→ Connecting to SSE stream (no last event ID to resume from)");
    }
    const bool resuming = getStream_.lastEventID.has_value();
    fw::http::Request request = makeGet(getStream_.lastEventID);
    logger_.debug("Starting SSE connection");
    fw::http::Response response = co_await session_.send(std::move(request));

    if (response.status != 200) {
        if (response.status == 405) {
            stopStreaming();
        } else if (response.status == 404 && sessionID_) {
            sessionExpired();
        } else if (response.status == 400) {
            refuseGetStream(resuming);
        }
        throw MCPError::internalError("HTTP error: " + std::to_string(response.status));
    }
    refusedGETs_ = 0;
    takeSessionID(response.headers);

    auto active = std::make_shared<asio::cancellation_signal>();
    activeGET_ = active;
    std::exception_ptr failure;
    try {
        co_await asio::co_spawn(strand_, processSSE(std::move(response.body), getStream_),
                                asio::bind_cancellation_slot(active->slot(), asio::use_awaitable));
    } catch (...) {
        failure = std::current_exception();
    }
    if (activeGET_ == active) {
        activeGET_.reset();
    }
    if (failure) {
        std::rethrow_exception(failure);
    }
}

}  // namespace mcp
