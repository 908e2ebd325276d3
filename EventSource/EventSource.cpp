#include "EventSource/EventSource.h"

#include <algorithm>
#include <boost/asio/as_tuple.hpp>
#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/system/system_error.hpp>

#include "EventSource/AsyncServerSentEventsSequence.h"
#include "EventSource/EventSourceError.h"

namespace eventsource {

namespace asio = boost::asio;

namespace {

bool isCancellation(const std::exception_ptr& failure) {
    try {
        std::rethrow_exception(failure);
    } catch (const boost::system::system_error& error) {
        return error.code() == asio::error::operation_aborted;
    } catch (...) {
        return false;
    }
}

// Failures after which no new attempt can succeed.
bool endsForGood(const std::exception_ptr& failure) {
    try {
        std::rethrow_exception(failure);
    } catch (const EventSourceError&) {
        return true;
    } catch (const fw::http::Error& error) {
        return error.kind() == fw::http::Error::Kind::shutDown ||
               error.kind() == fw::http::Error::Kind::invalidURL;
    } catch (...) {
        return false;
    }
}

bool isEventStream(std::string_view contentType) {
    constexpr std::string_view kType = "text/event-stream";
    if (contentType.size() < kType.size()) {
        return false;
    }
    return std::equal(kType.begin(), kType.end(), contentType.begin(), [](char a, char b) {
        return a == (b >= 'A' && b <= 'Z' ? char(b - 'A' + 'a') : b);
    });
}

}  // namespace

std::optional<EventSource::ReadyState> EventSource::readyStateFromRawValue(int rawValue) {
    if (rawValue < 0 || rawValue > 2) {
        return std::nullopt;
    }
    return static_cast<ReadyState>(rawValue);
}

std::string_view EventSource::description(ReadyState state) {
    switch (state) {
    case ReadyState::connecting:
        return "connecting";
    case ReadyState::open:
        return "open";
    case ReadyState::closed:
        return "closed";
    }
    return "closed";
}

std::shared_ptr<EventSource> EventSource::create(fw::http::Client client, std::string url) {
    fw::http::Request request;
    request.method = "GET";
    request.url = std::move(url);
    request.headers.set("Accept", "text/event-stream");
    request.headers.set("Cache-Control", "no-cache");
    request.idleTimeout = std::chrono::seconds(60);
    return create(std::move(client), std::move(request));
}

std::shared_ptr<EventSource> EventSource::create(fw::http::Client client,
                                                 fw::http::Request request,
                                                 Parser::Limits limits) {
    return std::shared_ptr<EventSource>(
        new EventSource(std::move(client), std::move(request), limits));
}

EventSource::EventSource(fw::http::Client client, fw::http::Request request,
                         Parser::Limits limits)
    : client_(std::move(client)), request_(std::move(request)), limits_(limits) {}

void EventSource::onOpen(OpenCallback callback) {
    if (callback) {
        std::lock_guard lock(callbacksMutex_);
        onOpen_ = std::move(callback);
    }
}

void EventSource::onMessage(MessageCallback callback) {
    if (callback) {
        std::lock_guard lock(callbacksMutex_);
        onMessage_ = std::move(callback);
    }
}

void EventSource::onError(ErrorCallback callback) {
    if (callback) {
        std::lock_guard lock(callbacksMutex_);
        onError_ = std::move(callback);
    }
}

void EventSource::start() {
    if (started_.exchange(true)) {
        return;
    }
    asio::co_spawn(client_.executor(),
                   [self = shared_from_this()] { return self->connectionLoop(); },
                   asio::bind_cancellation_slot(cancel_.slot(), asio::detached));
}

void EventSource::close() {
    readyState_.store(ReadyState::closed);
    // The signal belongs to the executor the loop runs on; emitting it there ends whatever the
    // loop awaits (the request, the body, the delay).
    asio::post(client_.executor(), [self = shared_from_this()] {
        if (self->loopRunning_) {
            self->cancel_.emit(asio::cancellation_type::terminal);
        }
    });
}

bool EventSource::stopped() const { return readyState_.load() == ReadyState::closed; }

void EventSource::setState(ReadyState state) {
    // `closed` is final.
    auto current = readyState_.load();
    while (current != ReadyState::closed && !readyState_.compare_exchange_weak(current, state)) {
    }
}

asio::awaitable<void> EventSource::connectionLoop() {
    auto self = shared_from_this();  // the loop holds the source until it ends
    loopRunning_ = true;
    Parser parser(limits_);
    while (!stopped()) {
        std::exception_ptr failure;
        try {
            co_await attempt(parser);
        } catch (...) {
            failure = std::current_exception();
        }
        if (failure && isCancellation(failure)) {
            break;
        }
        if (stopped()) {
            break;
        }
        co_await callError(failure);  // nothing when the stream ended
        if (failure && endsForGood(failure)) {
            break;
        }
        if (stopped()) {
            break;
        }
        auto delay = std::clamp(std::chrono::milliseconds(parser.getReconnectionTime()),
                                kMinimumReconnectDelay, kMaximumReconnectDelay);
        asio::steady_timer timer(co_await asio::this_coro::executor, delay);
        try {
            auto [code] = co_await timer.async_wait(asio::as_tuple(asio::use_awaitable));
            if (code) {
                break;
            }
        } catch (const boost::system::system_error&) {
            break;  // cancelled
        }
    }
    readyState_.store(ReadyState::closed);
    loopRunning_ = false;
}

asio::awaitable<void> EventSource::attempt(Parser& parser) {
    setState(ReadyState::connecting);
    // A new connection is a new stream: a half line or pending fields of a broken body are
    // dropped, the last event id and the reconnection time are kept.
    parser.resetStream();
    fw::http::Request request = request_;
    // A redirect within the origin is followed, as a browser's loader follows it; one to
    // another origin comes back as a bad status and ends the source.
    request.followSameOriginRedirectsAsLoader = true;
    if (!parser.getLastEventId().empty()) {
        request.headers.set("Last-Event-ID", parser.getLastEventId());
    }
    fw::http::Response response = co_await client_.send(std::move(request));
    if (response.status != 200) {
        throw EventSourceError::invalidHTTPStatus(response.status);
    }
    auto contentType = response.headers.get("Content-Type");
    if (!contentType) {
        throw EventSourceError::invalidContentType(std::nullopt);
    }
    if (!isEventStream(*contentType)) {
        throw EventSourceError::invalidContentType(std::move(contentType));
    }
    setState(ReadyState::open);
    co_await callOpen();

    bool reading = true;
    while (reading && !stopped()) {
        auto block = co_await response.body.next();
        if (!block) {
            break;
        }
        std::span<const std::uint8_t> rest = *block;
        while (!rest.empty()) {
            if (stopped()) {
                reading = false;  // stop before the next byte, leaving it unread
                break;
            }
            rest = rest.subspan(parser.consumeUntilEvent(rest));
            if (parser.limitError()) {
                throw StreamLimitError(*parser.limitError());
            }
            while (auto event = parser.getNextEvent()) {
                co_await callMessage(std::move(*event));
            }
        }
    }

    // Finalization: the event that the end of input completes, within the limit.
    parser.finish();
    if (parser.limitError()) {
        throw StreamLimitError(*parser.limitError());
    }
    std::int64_t limit = std::max<std::int64_t>(0, maximumFinalizationEventCount_.load());
    for (std::int64_t count = 0;; ++count) {
        auto event = parser.getNextEvent();
        if (!event || count == limit) {
            break;
        }
        co_await callMessage(std::move(*event));
    }
}

asio::awaitable<void> EventSource::callOpen() {
    OpenCallback callback;
    {
        std::lock_guard lock(callbacksMutex_);
        callback = onOpen_;
    }
    if (callback) {
        try {
            co_await callback();
        } catch (...) {
            // A callback's failure is its own; the source goes on.
        }
    }
}

asio::awaitable<void> EventSource::callMessage(Event event) {
    MessageCallback callback;
    {
        std::lock_guard lock(callbacksMutex_);
        callback = onMessage_;
    }
    if (callback) {
        try {
            co_await callback(std::move(event));
        } catch (...) {
        }
    }
}

asio::awaitable<void> EventSource::callError(std::exception_ptr error) {
    ErrorCallback callback;
    {
        std::lock_guard lock(callbacksMutex_);
        callback = onError_;
    }
    if (callback) {
        try {
            co_await callback(error);
        } catch (...) {
        }
    }
}

}  // namespace eventsource
