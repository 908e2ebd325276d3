// AsyncServerSentEventsSequence: the events of a byte stream, such as the streamed body of an
// HTTP response. Each sequence drives one Parser of its own and hands out the events it
// queues, each as soon as the byte that ends its blank line has been read, without waiting for
// more bytes.
//
//   auto events = eventsource::serverSentEvents(std::move(response.body));
//   while (auto event = co_await events.next()) { use(*event); }
//
// `Base` is any byte source with
//     boost::asio::awaitable<std::optional<std::span<const std::uint8_t>>> next();
// giving blocks of bytes (valid until its next call) and nothing at its end; fw::http's
// ResponseBody is one. A stream that ends without a closing blank line still yields its last
// event. Errors of the base pass through unchanged, and the parser keeps its partial line, so
// a further next() reads on from the base. A line or an event beyond the parser's limits fails
// with StreamLimitError.
//
// Thread-safety: a sequence is used by one coroutine at a time.
#pragma once

#include <boost/asio/awaitable.hpp>
#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <utility>

#include "EventSource/Event.h"
#include "EventSource/Parser.h"

namespace eventsource {

// A line or an event of an event stream went beyond the parser's limits.
class StreamLimitError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

template <class Base>
class AsyncServerSentEventsSequence {
public:
    explicit AsyncServerSentEventsSequence(Base base, Parser::Limits limits = {})
        : base_(std::move(base)), parser_(limits) {}

    // The next event; nothing at the end of the stream.
    boost::asio::awaitable<std::optional<Event>> next() {
        for (;;) {
            if (auto event = parser_.getNextEvent()) {
                co_return event;
            }
            if (!pending_.empty()) {
                std::size_t taken = parser_.consumeUntilEvent(pending_);
                pending_ = pending_.subspan(taken);
                if (parser_.limitError()) {
                    pending_ = {};
                    throw StreamLimitError(*parser_.limitError());
                }
                continue;
            }
            auto block = co_await base_.next();
            if (!block) {
                parser_.finish();
                if (parser_.limitError()) {
                    throw StreamLimitError(*parser_.limitError());
                }
                co_return parser_.getNextEvent();
            }
            pending_ = *block;
        }
    }

    Base& base() { return base_; }
    const Parser& parser() const { return parser_; }

private:
    Base base_;
    Parser parser_;
    std::span<const std::uint8_t> pending_;  // bytes of the base's last block not yet parsed
};

template <class Base>
AsyncServerSentEventsSequence<Base> serverSentEvents(Base base, Parser::Limits limits = {}) {
    return AsyncServerSentEventsSequence<Base>(std::move(base), limits);
}

}  // namespace eventsource
