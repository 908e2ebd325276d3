// A connection whose states, reads and send outcomes the test scripts: for the network
// transport's timing tests, where no socket may decide when things happen.
//
// Each start() reports the next script of states (or, when none is left, `preparing` then
// `ready`); reads wait for what the test pushes; each send is recorded and completes with what
// `sendOutcome` says (no error by default). Callbacks run on the executor given to start(), as a
// real connection's do, and a cancel() or start() drops the reports of earlier starts.
#pragma once

#include <boost/asio/post.hpp>
#include <cerrno>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/net/Connection.h"

namespace mcp::testing {

class ScriptedConnection final : public fw::net::Connection {
public:
    using State = fw::net::ConnectionState;

    // What one read delivers: bytes, the peer's end, or an error.
    struct Read {
        std::optional<std::string> content;
        bool isComplete = false;
        std::error_code error;
    };

    std::deque<std::vector<State>> scripts;
    std::function<std::error_code(const std::string&)> sendOutcome;

    int starts = 0;
    int cancels = 0;
    std::vector<std::string> sent;
    std::vector<std::size_t> readMaximums;

    State state() const override { return state_; }
    void setStateUpdateHandler(StateHandler handler) override { handler_ = std::move(handler); }

    void start(boost::asio::any_io_executor executor) override {
        executor_ = executor;
        ++starts;
        ++generation_;
        std::vector<State> script = {State::preparing(), State::ready()};
        if (!scripts.empty()) {
            script = std::move(scripts.front());
            scripts.pop_front();
        }
        for (const State& state : script) {
            report(state);
        }
    }

    void cancel() override {
        ++cancels;
        ++generation_;
        if (pendingRead_) {
            deliver(Read{std::nullopt, false, std::error_code(ECANCELED, std::system_category())});
        }
        report(State::cancelled());
    }

    void send(std::string bytes, SendCompletion completion) override {
        std::error_code outcome = sendOutcome ? sendOutcome(bytes) : std::error_code{};
        if (state_.kind != State::Kind::ready && !outcome) {
            outcome = std::error_code(ENOTCONN, std::system_category());
        }
        if (!outcome) {
            sent.push_back(std::move(bytes));
        }
        boost::asio::post(*executor_,
                          [completion = std::move(completion), outcome] { completion(outcome); });
    }

    void receive(std::size_t, std::size_t maximum, ReceiveCompletion completion) override {
        readMaximums.push_back(maximum);
        pendingRead_ = std::move(completion);
        if (!reads_.empty()) {
            Read read = std::move(reads_.front());
            reads_.pop_front();
            deliver(std::move(read));
        }
    }

    // What the next read gives (kept until one is asked for).
    void push(Read read) {
        if (pendingRead_) {
            deliver(std::move(read));
        } else {
            reads_.push_back(std::move(read));
        }
    }
    void pushBytes(std::string bytes) { push(Read{std::move(bytes), false, {}}); }
    void pushEnd() { push(Read{std::nullopt, true, {}}); }

    // Every sent byte, in order.
    std::string sentBytes() const {
        std::string all;
        for (const std::string& bytes : sent) {
            all += bytes;
        }
        return all;
    }

private:
    void report(State state) {
        boost::asio::post(*executor_, [this, state, generation = generation_] {
            if (generation != generation_) {
                return;
            }
            state_ = state;
            if (handler_) {
                handler_(state);
            }
        });
    }

    void deliver(Read read) {
        auto completion = std::exchange(pendingRead_, nullptr);
        boost::asio::post(*executor_, [completion = std::move(completion), read = std::move(read)] {
            completion(read.content, read.isComplete, read.error);
        });
    }

    std::optional<boost::asio::any_io_executor> executor_;
    State state_;
    StateHandler handler_;
    std::uint64_t generation_ = 0;
    ReceiveCompletion pendingRead_;
    std::deque<Read> reads_;
};

}  // namespace mcp::testing
