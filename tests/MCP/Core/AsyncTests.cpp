// The async stream, results awaited by many, pending requests with typed resumption and the
// handler boxes, on a real io_context.
#include <gtest/gtest.h>

#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/system/system_error.hpp>
#include <chrono>
#include <exception>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "MCP/Core/Actor.h"
#include "MCP/Core/AsyncResult.h"
#include "MCP/Core/AsyncStream.h"
#include "MCP/Core/Handlers.h"
#include "MCP/Core/PendingRequest.h"
#include "MCP/Core/RequestContext.h"
#include "MCP/Core/Transport.h"
#include "MCP/Messages/Initialize.h"

namespace mcp {
namespace {

namespace asio = boost::asio;
using asio::awaitable;

// Runs `body` to completion on a fresh io_context; rethrows what escapes it.
template <class F>
void runCoroutine(F body) {
    asio::io_context context;
    std::exception_ptr failure;
    bool finished = false;
    asio::co_spawn(context, std::move(body), [&](std::exception_ptr error) {
        failure = error;
        finished = true;
    });
    context.run();
    ASSERT_TRUE(finished) << "the coroutine never finished";
    if (failure) {
        std::rethrow_exception(failure);
    }
}

// ASSERT_* returns from the function, which a coroutine cannot do.
#define CO_ASSERT_TRUE(condition)                 \
    if (!(condition)) {                           \
        ADD_FAILURE() << "expected: " #condition; \
        co_return;                                \
    }

bool isOperationAborted(const std::exception_ptr& error) {
    if (!error) {
        return false;
    }
    try {
        std::rethrow_exception(error);
    } catch (const boost::system::system_error& e) {
        return e.code() == asio::error::operation_aborted;
    } catch (...) {
        return false;
    }
}

awaitable<void> sleepFor(std::chrono::milliseconds duration) {
    asio::steady_timer timer(co_await asio::this_coro::executor, duration);
    co_await timer.async_wait(asio::use_awaitable);
}

TEST(AsyncStream, DeliversBufferedThenWaitedElementsThenTheEnd) {
    runCoroutine([]() -> awaitable<void> {
        auto [stream, source] = AsyncStream<std::string>::make();
        EXPECT_TRUE(source.yield("one"));
        EXPECT_TRUE(source.yield("two"));
        auto executor = co_await asio::this_coro::executor;
        asio::post(executor, [source] {
            source.yield("three");
            source.finish();
            EXPECT_FALSE(source.yield("late"));
        });
        std::vector<std::string> seen;
        while (auto element = co_await stream.next()) {
            seen.push_back(*element);
        }
        EXPECT_EQ(seen, (std::vector<std::string>{"one", "two", "three"}));
        EXPECT_EQ(co_await stream.next(), std::nullopt);
    });
}

TEST(AsyncStream, AnErrorComesAfterTheBufferedElements) {
    runCoroutine([]() -> awaitable<void> {
        auto [stream, source] = AsyncStream<int>::make();
        source.yield(1);
        source.finish(std::make_exception_ptr(std::runtime_error("peer vanished")));
        EXPECT_EQ(co_await stream.next(), 1);
        try {
            co_await stream.next();
            ADD_FAILURE() << "expected the stream's error";
        } catch (const std::runtime_error& error) {
            EXPECT_STREQ(error.what(), "peer vanished");
        }
        EXPECT_EQ(co_await stream.next(), std::nullopt);
    });
}

TEST(AsyncStream, EndsWhenEverySourceIsGone) {
    runCoroutine([]() -> awaitable<void> {
        auto made = AsyncStream<int>::make();
        auto stream = std::move(made.first);
        {
            auto source = std::move(made.second);
            source.yield(5);
        }
        EXPECT_EQ(co_await stream.next(), 5);
        EXPECT_EQ(co_await stream.next(), std::nullopt);
    });
}

TEST(AsyncStream, CancellingAWaitLosesNoElement) {
    runCoroutine([]() -> awaitable<void> {
        auto [stream, source] = AsyncStream<int>::make();
        asio::cancellation_signal signal;
        auto executor = co_await asio::this_coro::executor;
        std::exception_ptr waitFailure;
        bool waitEnded = false;
        asio::co_spawn(
            executor, [&]() -> awaitable<void> { co_await stream.next(); },
            asio::bind_cancellation_slot(signal.slot(), [&](std::exception_ptr error) {
                waitFailure = error;
                waitEnded = true;
            }));
        co_await sleepFor(std::chrono::milliseconds(1));
        signal.emit(asio::cancellation_type::terminal);
        co_await sleepFor(std::chrono::milliseconds(1));
        EXPECT_TRUE(waitEnded);
        EXPECT_TRUE(isOperationAborted(waitFailure));
        source.yield(9);
        EXPECT_EQ(co_await stream.next(), 9);
    });
}

TEST(AsyncStream, ASecondWaitFailsAndLeavesTheFirstWaiting) {
    runCoroutine([]() -> awaitable<void> {
        auto [stream, source] = AsyncStream<int>::make();
        auto executor = co_await asio::this_coro::executor;
        std::optional<int> first;
        asio::co_spawn(
            executor, [&]() -> awaitable<void> { first = *co_await stream.next(); },
            asio::detached);
        co_await sleepFor(std::chrono::milliseconds(1));
        bool refused = false;
        try {
            co_await stream.next();
        } catch (const std::logic_error&) {
            refused = true;
        }
        EXPECT_TRUE(refused);
        source.yield(4);
        co_await sleepFor(std::chrono::milliseconds(1));
        EXPECT_EQ(first, 4);
    });
}
TEST(AsyncStream, ElementsFromOtherThreadsArriveInOrder) {
    constexpr int kCount = 2000;
    asio::thread_pool producers(2);
    runCoroutine([&]() -> awaitable<void> {
        auto [stream, source] = AsyncStream<int>::make();
        asio::post(producers, [source = source] {
            for (int i = 0; i < kCount; ++i) {
                source.yield(i);
            }
            source.finish();
        });
        int expected = 0;
        while (auto element = co_await stream.next()) {
            EXPECT_EQ(*element, expected++);
        }
        EXPECT_EQ(expected, kCount);
    });
    producers.join();
}

TEST(AsyncResult, EveryAwaiterReceivesTheOneResult) {
    runCoroutine([]() -> awaitable<void> {
        auto [source, result] = AsyncResult<std::string>::make();
        auto executor = co_await asio::this_coro::executor;
        int received = 0;
        for (int i = 0; i < 3; ++i) {
            asio::co_spawn(
                executor,
                [&, result = result]() -> awaitable<void> {
                    EXPECT_EQ(co_await result.value(), "done");
                    ++received;
                },
                asio::detached);
        }
        co_await sleepFor(std::chrono::milliseconds(1));
        EXPECT_TRUE(source.setValue("done"));
        EXPECT_FALSE(source.setValue("again"));
        co_await sleepFor(std::chrono::milliseconds(1));
        EXPECT_EQ(received, 3);
        // A late awaiter gets it at once.
        EXPECT_EQ(co_await result.value(), "done");
        EXPECT_TRUE(result.isReady());
    });
}

TEST(AsyncResult, AnAbandonedResultFailsItsAwaiters) {
    runCoroutine([]() -> awaitable<void> {
        auto made = AsyncResult<int>::make();
        AsyncResult<int> result = made.second;
        made.first = AsyncResult<int>::make().first;  // drop the only source
        try {
            co_await result.value();
            ADD_FAILURE() << "expected AbandonedResultError";
        } catch (const AbandonedResultError&) {
        }
    });
}

TEST(RequestContext, SharesTheTaskResultWithEveryAwaiter) {
    runCoroutine([]() -> awaitable<void> {
        auto [source, result] = AsyncResult<int>::make();
        RequestContext<int> context{ID(3), result};
        RequestContext<int> copy = context;
        source.setError(std::make_exception_ptr(MCPError::connectionClosed()));
        for (const auto* awaited : {&context, &copy}) {
            try {
                co_await awaited->value();
                ADD_FAILURE() << "expected the task's error";
            } catch (const MCPError& error) {
                EXPECT_EQ(error, MCPError::connectionClosed());
            }
        }
        EXPECT_EQ(copy.requestID, ID(3));
    });
}

struct Point {
    std::int64_t x = 0;
    std::int64_t y = 0;
    static constexpr auto codingFields() {
        return std::tuple{field("x", &Point::x), field("y", &Point::y)};
    }
};

// Built outside the coroutines: g++ 12 miscompiles some initializer lists inside them.
Value member(std::string key, Value value) {
    return Value::object({{std::move(key), std::move(value)}});
}
Value someArray() {
    return Value::array({1, "a"});
}
Value pointValue() {
    return Value::object({{"x", 1}, {"y", 2}});
}
Value textAsData() {
    return Value::object({{"text", Value::data({0x68, 0x69}, std::string("text/plain"))}});
}

struct Text {
    std::string text;
    static constexpr auto codingFields() { return std::tuple{field("text", &Text::text)}; }
};

template <class T>
awaitable<std::optional<T>> resumeAndAwait(AnyPendingRequest::Outcome outcome,
                                           std::exception_ptr* failure) {
    PendingRequest<T> pending;
    auto answer = pending.result();
    AnyPendingRequest erased(std::move(pending));
    EXPECT_TRUE(erased.resume(std::move(outcome)));
    EXPECT_FALSE(erased.resume(Value()));  // only the first resumption counts
    try {
        co_return co_await answer.take();
    } catch (...) {
        *failure = std::current_exception();
        co_return std::nullopt;
    }
}

TEST(AnyPendingRequest, ResumesTheTypedCallerWithWhatArrived) {
    runCoroutine([]() -> awaitable<void> {
        std::exception_ptr failure;
        // A Value that fits is decoded into the awaited type.
        auto point = co_await resumeAndAwait<Point>(pointValue(), &failure);
        CO_ASSERT_TRUE(point);
        EXPECT_EQ(point->y, 2);
        // A Value-typed caller takes the Value itself.
        auto value = co_await resumeAndAwait<Value>(someArray(), &failure);
        EXPECT_EQ(value, someArray());
        // Empty accepts any result.
        EXPECT_TRUE(co_await resumeAndAwait<Empty>(Value(5), &failure));
        // A value already of the awaited type is handed over as it is.
        auto direct = co_await resumeAndAwait<Point>(std::any(Point{7, 8}), &failure);
        CO_ASSERT_TRUE(direct);
        EXPECT_EQ(direct->x, 7);
        // A data value reaches a text as its data-URL form.
        auto text = co_await resumeAndAwait<Text>(textAsData(), &failure);
        CO_ASSERT_TRUE(text);
        EXPECT_EQ(text->text, "data:text/plain;base64,aGk=");
    });
}

TEST(AnyPendingRequest, MismatchesAndErrorsReachTheCaller) {
    runCoroutine([]() -> awaitable<void> {
        std::exception_ptr failure;
        EXPECT_FALSE(co_await resumeAndAwait<Point>(member("x", 1), &failure));
        EXPECT_THROW(std::rethrow_exception(failure), TypeMismatchError);
        EXPECT_FALSE(co_await resumeAndAwait<Point>(std::any(std::string("no")), &failure));
        EXPECT_THROW(std::rethrow_exception(failure), TypeMismatchError);
        EXPECT_FALSE(co_await resumeAndAwait<Point>(
            std::make_exception_ptr(MCPError::methodNotFound("Unknown method: x")), &failure));
        try {
            std::rethrow_exception(failure);
        } catch (const MCPError& error) {
            EXPECT_EQ(error.code(), -32601);
            EXPECT_EQ(error.errorDescription(), "Method not found: Unknown method: x");
        }
    });
}

TEST(PendingRequest, ResumedFromAnotherThreadWakesTheCallerOnItsOwnExecutor) {
    asio::thread_pool other(1);
    runCoroutine([&]() -> awaitable<void> {
        PendingRequest<Initialize::Result> pending;
        auto answer = pending.result();
        AnyPendingRequest erased(std::move(pending));
        auto callerThread = std::this_thread::get_id();
        asio::post(other, [erased = std::move(erased)] {
            erased.resume(
                Value::object({{"protocolVersion", "2025-11-25"},
                               {"capabilities", Value(Object())},
                               {"serverInfo", Value::object({{"name", "s"}, {"version", "1"}})}}));
        });
        auto result = co_await answer.take();
        EXPECT_EQ(result.serverInfo.name, "s");
        EXPECT_EQ(std::this_thread::get_id(), callerThread);
    });
    other.join();
}

TEST(PendingRequest, CancellingTheCallerEndsItsWait) {
    runCoroutine([]() -> awaitable<void> {
        PendingRequest<Value> pending;
        asio::cancellation_signal signal;
        std::exception_ptr failure;
        auto executor = co_await asio::this_coro::executor;
        asio::co_spawn(
            executor,
            [answer = pending.result()]() -> awaitable<Value> { co_return co_await answer.take(); },
            asio::bind_cancellation_slot(
                signal.slot(), [&](std::exception_ptr error, Value) { failure = error; }));
        co_await sleepFor(std::chrono::milliseconds(1));
        signal.emit(asio::cancellation_type::terminal);
        co_await sleepFor(std::chrono::milliseconds(1));
        EXPECT_TRUE(isOperationAborted(failure));
    });
}

TEST(PendingRequest, DroppedWithoutAResponseFailsTheCaller) {
    runCoroutine([]() -> awaitable<void> {
        std::optional<PendingRequest<Value>> pending(std::in_place);
        auto result = pending->result();
        pending.reset();
        EXPECT_THROW(co_await result.value(), AbandonedResultError);
        // The same through a table's entry: the caller's handle does not keep the request alive.
        PendingRequest<Value> sent;
        auto answer = sent.result();
        std::optional<AnyPendingRequest> entry(std::in_place, std::move(sent));
        entry.reset();
        EXPECT_THROW(co_await answer.take(), AbandonedResultError);
    });
}

TEST(PendingCall, DroppedEntryFailsTheCallerAndCancellingEndsOnlyTheWait) {
    runCoroutine([]() -> awaitable<void> {
        // The table's entry is the call's only producer: dropped unresumed, the caller fails.
        auto dropped = std::make_shared<PendingCall<Value>>();
        std::optional<AnyPendingRequest> entry(std::in_place, dropped);
        entry.reset();
        EXPECT_THROW(co_await PendingCall<Value>::wait(dropped), AbandonedResultError);
        // A cancelled caller gets operation_aborted; the call stays open for its outcome.
        auto call = std::make_shared<PendingCall<Value>>();
        AnyPendingRequest kept(call);
        asio::cancellation_signal signal;
        std::exception_ptr failure;
        bool ended = false;
        auto executor = co_await asio::this_coro::executor;
        asio::co_spawn(
            executor,
            [call]() -> awaitable<std::optional<Value>> {
                co_return co_await PendingCall<Value>::wait(call);
            },
            asio::bind_cancellation_slot(signal.slot(),
                                         [&](std::exception_ptr error, std::optional<Value>) {
                                             failure = error;
                                             ended = true;
                                         }));
        // The waiter launches first and suspends in wait(): the executor runs in order.
        co_await asio::post(executor, asio::use_awaitable);
        signal.emit(asio::cancellation_type::terminal);
        for (int turn = 0; turn < 100 && !ended; ++turn) {
            co_await asio::post(executor, asio::use_awaitable);
        }
        EXPECT_TRUE(ended);
        EXPECT_TRUE(isOperationAborted(failure));
        EXPECT_FALSE(call->isDone());
        EXPECT_TRUE(kept.resume(Value(3)));
        EXPECT_FALSE(kept.resume(Value(4)));
        // The outcome waits for a caller that comes later.
        auto later = co_await PendingCall<Value>::wait(call);
        EXPECT_EQ(later, Value(3));
    });
}

// Handler boxes.

struct Echo {
    struct Parameters {
        std::string text;
        static constexpr auto codingFields() {
            return std::tuple{field("text", &Parameters::text)};
        }
    };
    using Result = Parameters;
    static constexpr std::string_view name = "echo";
};

struct Said : Fieldless {
    using Parameters = Echo::Parameters;
    static constexpr std::string_view name = "said";
};

Request<AnyMethod> erasedEcho(Value params) {
    return {ID(1), "echo", std::move(params)};
}

TEST(TypedRequestHandler, ReadsTheErasedRequestRunsTheHandlerAndErasesTheAnswer) {
    runCoroutine([]() -> awaitable<void> {
        TypedRequestHandler<Echo> box([](Request<Echo> request) -> awaitable<Response<Echo>> {
            co_return makeResponse<Echo>(request.id, {"data:,hello " + request.params.text});
        });
        RequestHandlerBox& erased = box;
        auto response = co_await erased.handle(erasedEcho(member("text", "x")));
        EXPECT_EQ(response.id, ID(1));
        CO_ASSERT_TRUE(response.isSuccess());
        // The text is a data URL, so the erased result holds data, as a JSON round trip would.
        const Value* text = response.success()->find("text");
        CO_ASSERT_TRUE(text != nullptr);
        EXPECT_EQ(text->kind(), Value::Kind::Data);
        EXPECT_EQ(text->jsonString(), "data:,hello x");
    });
}

TEST(TypedRequestHandler, FailuresAndErrorResponsesPassThrough) {
    runCoroutine([]() -> awaitable<void> {
        bool called = false;
        TypedRequestHandler<Echo> strict([&](Request<Echo> request) -> awaitable<Response<Echo>> {
            called = true;
            if (request.params.text == "throw") {
                throw MCPError::invalidParams("no");
            }
            co_return makeErrorResponse<Echo>(request.id, MCPError::internalError("answered"));
        });
        try {
            co_await strict.handle(erasedEcho(Value()));
            ADD_FAILURE() << "expected a decoding error";
        } catch (const DecodingError& error) {
            EXPECT_EQ(error.debugDescription(), "Missing required params field");
        }
        try {
            co_await strict.handle(erasedEcho(member("other", 1)));
            ADD_FAILURE() << "expected a decoding error";
        } catch (const DecodingError& error) {
            EXPECT_EQ(error.debugDescription(), "Invalid params field");
        }
        EXPECT_FALSE(called);
        EXPECT_THROW(co_await strict.handle(erasedEcho(member("text", "throw"))), MCPError);
        auto response = co_await strict.handle(erasedEcho(member("text", "ok")));
        CO_ASSERT_TRUE(response.failure() != nullptr);
        EXPECT_EQ(*response.failure(), MCPError::internalError("answered"));
    });
}

TEST(TypedNotificationHandler, ReadsTheErasedMessage) {
    runCoroutine([]() -> awaitable<void> {
        std::vector<std::string> heard;
        TypedNotificationHandler<Said> box([&](Message<Said> message) -> awaitable<void> {
            heard.push_back(message.params.text);
            co_return;
        });
        // Named envelopes: g++ 12 destroys braced temporaries inside co_await twice.
        Message<AnyNotification> said{"said", member("text", "hi")};
        Message<AnyNotification> empty{"said", Value()};
        co_await box.handle(said);
        EXPECT_THROW(co_await box.handle(empty), DecodingError);
        EXPECT_EQ(heard, std::vector<std::string>{"hi"});
        NotificationHandlerBox base;
        co_await base.handle(empty);  // does nothing, fails nothing
    });
}

// A transport whose state lives on its strand; checks that onStrand runs the body there.
TEST(Actor, OnStrandRunsTheBodyOnTheStrandAndReturnsItsResult) {
    asio::thread_pool pool(2);
    Strand strand = asio::make_strand(pool.get_executor());
    runCoroutine([&]() -> awaitable<void> {
        int value = co_await onStrand(strand, [&]() -> awaitable<int> {
            EXPECT_TRUE(strand.running_in_this_thread());
            co_return 41 + 1;
        });
        EXPECT_EQ(value, 42);
        EXPECT_THROW(co_await onStrand(strand,
                                       []() -> awaitable<void> {
                                           throw MCPError::connectionClosed();
                                           co_return;
                                       }),
                     MCPError);
    });
    pool.join();
}

}  // namespace
}  // namespace mcp
