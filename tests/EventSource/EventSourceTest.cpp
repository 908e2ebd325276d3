#include "EventSource/EventSource.h"

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>

#include "EventSource/EventSourceError.h"
#include "tests/platform/http/RunAsync.h"
#include "tests/platform/http/ScriptedServer.h"

namespace eventsource {
namespace {

namespace asio = boost::asio;
using fw::http::testing::fields;
using fw::http::testing::ScriptedServer;
using fw::http::testing::ServerExchange;
using namespace std::chrono_literals;
using Awaitable = asio::awaitable<void>;

std::string describe(const std::exception_ptr& error) {
    if (!error) {
        return "end";
    }
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& failure) {
        return failure.what();
    }
}

// What a source reported, in order: "open", "message <data>", and the error callback's
// "end" or error text.
struct Recorder {
    std::vector<std::string> log;
    std::vector<Event> events;

    void attach(EventSource& source) {
        source.onOpen([this]() -> Awaitable {
            log.push_back("open");
            co_return;
        });
        source.onMessage([this](Event event) -> Awaitable {
            log.push_back("message " + event.data);
            events.push_back(std::move(event));
            co_return;
        });
        source.onError([this](std::exception_ptr error) -> Awaitable {
            log.push_back(describe(error));
            co_return;
        });
    }
    std::size_t count(const std::string& entry) const {
        return std::size_t(std::count(log.begin(), log.end(), entry));
    }
};

class EventSourceClient : public ::testing::Test {
protected:
    std::shared_ptr<EventSource> make(const std::string& url) {
        auto source = EventSource::create(client, url);
        recorder.attach(*source);
        return source;
    }
    // Closes the source and runs the context until its loop has ended.
    void closeAndDrain(EventSource& source) {
        source.close();
        context.run_for(50ms);
    }

    asio::io_context context;
    fw::http::Client client{context.get_executor()};
    Recorder recorder;
};

TEST_F(EventSourceClient, ReadyStatesAndTheirTexts) {
    EXPECT_EQ(EventSource::readyStateFromRawValue(0), EventSource::ReadyState::connecting);
    EXPECT_EQ(EventSource::readyStateFromRawValue(2), EventSource::ReadyState::closed);
    EXPECT_EQ(EventSource::readyStateFromRawValue(3), std::nullopt);
    EXPECT_EQ(EventSource::readyStateFromRawValue(-1), std::nullopt);
    EXPECT_EQ(EventSource::description(EventSource::ReadyState::open), "open");
    EXPECT_EQ(EventSourceError::invalidHTTPStatus(204).errorDescription(),
              "Invalid HTTP response status code: 204");
    EXPECT_EQ(EventSourceError::invalidContentType("application/json").errorDescription(),
              "Invalid Content-Type for SSE: application/json");
    EXPECT_EQ(EventSourceError::invalidContentType(std::nullopt).errorDescription(),
              "Missing Content-Type header in SSE response");
}

TEST_F(EventSourceClient, RefusedResponsesEndTheSourceForGood) {
    struct Case {
        int status;
        std::optional<std::string> contentType;
        std::string error;
    };
    for (const Case& c : {Case{204, "text/event-stream", "Invalid HTTP response status code: 204"},
                          Case{500, "text/event-stream", "Invalid HTTP response status code: 500"},
                          Case{200, "application/json", "Invalid Content-Type for SSE: application/json"},
                          Case{200, std::nullopt, "Missing Content-Type header in SSE response"}}) {
        ScriptedServer server([&](ServerExchange& exchange) -> Awaitable {
            auto head = c.contentType ? fields("Content-Type", *c.contentType) : fields();
            co_await exchange.respond(c.status, std::move(head), "data: x\n\n");
        });
        recorder = {};
        auto source = make(server.url("/events"));
        source->start();
        ASSERT_TRUE(fw::http::testing::runUntil(
            context, [&] { return source->readyState() == EventSource::ReadyState::closed; }));
        context.run_for(100ms);  // room for a wrong second attempt
        EXPECT_EQ(recorder.log, std::vector<std::string>{c.error}) << c.error;
        EXPECT_EQ(server.requests().size(), 1u);
    }
}

TEST_F(EventSourceClient, AcceptsEventStreamWithParametersInAnyCase) {
    ScriptedServer server([](ServerExchange& exchange) -> Awaitable {
        co_await exchange.respond(200, fields("Content-Type", "Text/Event-Stream; charset=utf-8"),
                                  "data: hello\n\n");
        exchange.close();
    });
    auto source = make(server.url("/events"));
    source->start();
    ASSERT_TRUE(fw::http::testing::runUntil(context, [&] { return recorder.count("end") >= 1; }));
    EXPECT_EQ(recorder.log, (std::vector<std::string>{"open", "message hello", "end"}));
    closeAndDrain(*source);
}

TEST_F(EventSourceClient, ReconnectsAfterTheRetryTimeWithTheLastEventId) {
    ScriptedServer server([](ServerExchange& exchange) -> Awaitable {
        co_await exchange.startChunked(200, fields("Content-Type", "text/event-stream"));
        if (exchange.request().target == "/events" && !exchange.request().headers.contains("Last-Event-ID")) {
            co_await exchange.chunk("retry: 500\nid: 7\ndata: first\n\n");
        } else {
            co_await exchange.chunk("data: again\n\n");
            co_await exchange.holdOpen();
        }
        co_await exchange.endChunks();
    });
    auto source = make(server.url("/events"));
    source->start();
    ASSERT_TRUE(fw::http::testing::runUntil(context, [&] { return recorder.count("message again"); }));
    EXPECT_EQ(recorder.log, (std::vector<std::string>{"open", "message first", "end", "open",
                                                      "message again"}));
    EXPECT_EQ(recorder.events.at(0), (Event{"7", std::nullopt, "first", 500}));
    auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_FALSE(requests[0].headers.contains("Last-Event-ID"));
    EXPECT_EQ(requests[1].headers.get("Last-Event-ID"), "7");
    EXPECT_EQ(requests[1].headers.get("Accept"), "text/event-stream");
    EXPECT_EQ(requests[1].headers.get("Cache-Control"), "no-cache");
    EXPECT_GE(requests[1].time - requests[0].time, 500ms);
    EXPECT_EQ(source->readyState(), EventSource::ReadyState::open);
    closeAndDrain(*source);
    EXPECT_EQ(source->readyState(), EventSource::ReadyState::closed);
}

TEST_F(EventSourceClient, EmptyIdSendsNoLastEventIdAndTheDelayIsFloored) {
    ScriptedServer server([](ServerExchange& exchange) -> Awaitable {
        co_await exchange.respond(200, fields("Content-Type", "text/event-stream"),
                                  "retry: 1\nid: 3\ndata: a\n\nid\ndata: b\n\n");
    });
    auto source = make(server.url("/events"));
    source->start();
    ASSERT_TRUE(fw::http::testing::runUntil(context, [&] { return server.requests().size() >= 2; }));
    closeAndDrain(*source);
    auto requests = server.requests();
    EXPECT_FALSE(requests[1].headers.contains("Last-Event-ID"));
    // A retry of 1 ms waits the floor of 250 ms, not a hot loop.
    EXPECT_GE(requests[1].time - requests[0].time, 250ms);
}

TEST_F(EventSourceClient, FinalizationLimitForALastBlockWithoutBlankLine) {
    ScriptedServer server([](ServerExchange& exchange) -> Awaitable {
        co_await exchange.respond(200, fields("Content-Type", "text/event-stream"),
                                  "data: a\n\ndata: unfinished");
    });
    for (std::int64_t limit : {std::int64_t(100), std::int64_t(1), std::int64_t(0), std::int64_t(-3)}) {
        recorder = {};
        auto source = make(server.url("/events"));
        source->setMaximumFinalizationEventCount(limit);
        source->start();
        ASSERT_TRUE(fw::http::testing::runUntil(context, [&] { return recorder.count("end") >= 1; }));
        closeAndDrain(*source);
        std::vector<std::string> expected{"open", "message a"};
        if (limit >= 1) {
            expected.push_back("message unfinished");
        }
        expected.push_back("end");
        EXPECT_EQ(std::vector<std::string>(recorder.log.begin(), recorder.log.begin() + long(expected.size())),
                  expected)
            << limit;
    }
}

TEST_F(EventSourceClient, RefusedConnectionIsRetriedUntilClose) {
    std::string url;
    {
        ScriptedServer gone([](ServerExchange&) -> Awaitable { co_return; });
        url = gone.url("/events");
    }
    auto source = make(url);
    source->start();
    ASSERT_TRUE(fw::http::testing::runUntil(context, [&] { return recorder.log.size() >= 2; }));
    EXPECT_EQ(source->readyState(), EventSource::ReadyState::connecting);
    closeAndDrain(*source);
    EXPECT_EQ(source->readyState(), EventSource::ReadyState::closed);
    std::string refused = "Could not connect to " + url.substr(7, url.size() - 14) + ": Connection refused.";
    for (const auto& entry : recorder.log) {
        EXPECT_EQ(entry, refused);
    }
}

TEST_F(EventSourceClient, CloseInsideAMessageCallbackEndsQuietly) {
    ScriptedServer server([](ServerExchange& exchange) -> Awaitable {
        co_await exchange.startChunked(200, fields("Content-Type", "text/event-stream"));
        co_await exchange.chunk("data: one\n\ndata: two\n\n");
        co_await exchange.holdOpen();
    });
    auto source = EventSource::create(client, server.url("/events"));
    recorder.attach(*source);
    source->onMessage([&](Event event) -> Awaitable {
        recorder.log.push_back("message " + event.data);
        source->close();
        co_return;
    });
    source->start();
    ASSERT_TRUE(fw::http::testing::runUntil(
        context, [&] { return source->readyState() == EventSource::ReadyState::closed; }));
    context.run_for(100ms);
    EXPECT_EQ(recorder.log, (std::vector<std::string>{"open", "message one"}));
}

TEST_F(EventSourceClient, CloseBeforeStartMakesNoRequest) {
    ScriptedServer server([](ServerExchange& exchange) -> Awaitable {
        co_await exchange.respond(200, fields("Content-Type", "text/event-stream"), "");
    });
    auto source = make(server.url("/events"));
    source->close();
    source->start();
    context.run_for(200ms);
    EXPECT_TRUE(server.requests().empty());
    EXPECT_TRUE(recorder.log.empty());
    EXPECT_EQ(source->readyState(), EventSource::ReadyState::closed);
}

TEST_F(EventSourceClient, SettingNothingKeepsTheStoredCallback) {
    ScriptedServer server([](ServerExchange& exchange) -> Awaitable {
        co_await exchange.startChunked(200, fields("Content-Type", "text/event-stream"));
        co_await exchange.chunk("data: kept\n\n");
        co_await exchange.holdOpen();
    });
    auto source = make(server.url("/events"));
    source->onMessage(nullptr);
    source->onOpen(nullptr);
    source->start();
    ASSERT_TRUE(fw::http::testing::runUntil(context, [&] { return recorder.count("message kept"); }));
    EXPECT_EQ(recorder.log, (std::vector<std::string>{"open", "message kept"}));
    closeAndDrain(*source);
}

TEST_F(EventSourceClient, BrokenBodyIsNotGluedToTheNextStream) {
    ScriptedServer server([](ServerExchange& exchange) -> Awaitable {
        co_await exchange.startChunked(200, fields("Content-Type", "text/event-stream"));
        if (!exchange.request().headers.contains("Last-Event-ID")) {
            co_await exchange.chunk("retry: 250\nid: 1\ndata: whole\n\ndata: half of a li");
            co_await exchange.pause(20ms);
            exchange.reset();
            co_return;
        }
        co_await exchange.chunk("ne\ndata: fresh\n\n");
        co_await exchange.holdOpen();
    });
    auto source = make(server.url("/events"));
    source->start();
    ASSERT_TRUE(fw::http::testing::runUntil(context, [&] { return recorder.events.size() >= 2; }));
    closeAndDrain(*source);
    EXPECT_EQ(recorder.events.at(0).data, "whole");
    EXPECT_EQ(recorder.events.at(1).data, "fresh");  // not "half of a line\nfresh"
    EXPECT_EQ(recorder.log.at(2).rfind("The connection to 127.0.0.1:", 0), 0u) << recorder.log.at(2);
}

TEST_F(EventSourceClient, OversizedLineIsReportedAndTheSourceReconnects) {
    ScriptedServer server([](ServerExchange& exchange) -> Awaitable {
        co_await exchange.startChunked(200, fields("Content-Type", "text/event-stream"));
        co_await exchange.chunk("retry: 250\ndata: " + std::string(100, 'x'));
        co_await exchange.holdOpen();
    });
    fw::http::Request request;
    request.url = server.url("/events");
    auto source = EventSource::create(client, request, Parser::Limits{.maxLineBytes = 64});
    recorder.attach(*source);
    source->start();
    ASSERT_TRUE(fw::http::testing::runUntil(context, [&] { return server.requests().size() >= 2; }));
    closeAndDrain(*source);
    EXPECT_EQ(recorder.log.at(1), "An event stream line is longer than the limit of 64 bytes.");
}

TEST_F(EventSourceClient, AnOversizedLastEventAtTheEndIsReportedNotEndedCleanly) {
    ScriptedServer server([](ServerExchange& exchange) -> Awaitable {
        co_await exchange.respond(200, fields("Content-Type", "text/event-stream"),
                                  "retry: 250\ndata: a\n\ndata: " + std::string(100, 'x'));
    });
    fw::http::Request request;
    request.url = server.url("/events");
    auto source = EventSource::create(client, request,
                                      Parser::Limits{.maxLineBytes = 256, .maxEventBytes = 64});
    recorder.attach(*source);
    source->start();
    ASSERT_TRUE(fw::http::testing::runUntil(context, [&] { return recorder.log.size() >= 3; }));
    closeAndDrain(*source);
    EXPECT_EQ(recorder.log.at(1), "message a");
    EXPECT_EQ(recorder.log.at(2), "An event's data is larger than the limit of 64 bytes.");
    EXPECT_EQ(recorder.count("end"), 0u);
}

TEST_F(EventSourceClient, EveryRedirectWithinTheOriginIsFollowedAsAGet) {
    for (int status : {301, 302, 303, 307, 308}) {
        SCOPED_TRACE(status);
        Recorder seen;
        ScriptedServer server([status](ServerExchange& exchange) -> Awaitable {
            if (exchange.request().target == "/old") {
                co_await exchange.respond(status, fields("Location", "/events"), "");
            } else {
                co_await exchange.respond(200, fields("Content-Type", "text/event-stream"),
                                          "retry: 100000\ndata: " + exchange.request().method +
                                              " " + exchange.request().target + "\n\n");
            }
        });
        auto source = EventSource::create(client, server.url("/old"));
        seen.attach(*source);
        source->start();
        ASSERT_TRUE(fw::http::testing::runUntil(context, [&] { return seen.count("end") >= 1; }));
        closeAndDrain(*source);
        EXPECT_EQ(seen.log, (std::vector<std::string>{"open", "message GET /events", "end"}));
    }
}

TEST_F(EventSourceClient, ARedirectElsewhereEndsTheSourceAndALoopIsCutShort) {
    ScriptedServer elsewhere([](ServerExchange& exchange) -> Awaitable {
        co_await exchange.respond(200, fields("Content-Type", "text/event-stream"), "data: x\n\n");
    });
    ScriptedServer server([&](ServerExchange& exchange) -> Awaitable {
        if (exchange.request().target == "/away") {
            co_await exchange.respond(301, fields("Location", elsewhere.url("/events")), "");
        } else {
            co_await exchange.respond(302, fields("Location", "/loop"), "");
        }
    });
    auto away = make(server.url("/away"));
    away->start();
    ASSERT_TRUE(fw::http::testing::runUntil(
        context, [&] { return away->readyState() == EventSource::ReadyState::closed; }));
    EXPECT_EQ(recorder.log,
              (std::vector<std::string>{"Invalid HTTP response status code: 301"}));
    EXPECT_TRUE(elsewhere.requests().empty());

    Recorder looped;
    auto loop = EventSource::create(client, server.url("/loop"));
    looped.attach(*loop);
    loop->start();
    ASSERT_TRUE(fw::http::testing::runUntil(context, [&] { return !looped.log.empty(); }));
    closeAndDrain(*loop);
    std::string origin = server.url("/");
    origin = origin.substr(7, origin.size() - 8);  // no "http://" nor "/"
    EXPECT_EQ(looped.log.at(0), "The server at " + origin + " redirected more than 10 times.");
}

TEST_F(EventSourceClient, ClientShutdownEndsTheSource) {
    ScriptedServer server([](ServerExchange& exchange) -> Awaitable {
        co_await exchange.startChunked(200, fields("Content-Type", "text/event-stream"));
        co_await exchange.holdOpen();
    });
    auto source = make(server.url("/events"));
    source->start();
    ASSERT_TRUE(fw::http::testing::runUntil(context, [&] { return recorder.count("open"); }));
    client.shutdown();
    ASSERT_TRUE(fw::http::testing::runUntil(
        context, [&] { return source->readyState() == EventSource::ReadyState::closed; }));
    EXPECT_EQ(recorder.log, (std::vector<std::string>{"open", "The HTTP client was shut down."}));
}

}  // namespace
}  // namespace eventsource
