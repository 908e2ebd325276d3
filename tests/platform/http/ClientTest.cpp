#include "platform/http/Client.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/system/system_error.hpp>

#include "tests/platform/http/RunAsync.h"
#include "tests/platform/http/ScriptedServer.h"
#include "tests/platform/http/TestCertificates.h"

namespace fw::http {
namespace {

namespace asio = boost::asio;
using namespace std::chrono_literals;
using testing::ReceivedRequest;
using testing::ScriptedServer;
using testing::ServerExchange;
using Awaitable = asio::awaitable<void>;

struct Fetched {
    int status = 0;
    std::string reason;
    Headers headers;
    std::string body;
};

asio::awaitable<Fetched> fetch(Client client, Request request) {
    Response response = co_await client.send(std::move(request));
    Fetched fetched{response.status, response.reason, response.headers, {}};
    fetched.body = co_await response.body.readAll();
    co_return fetched;
}

// The error a coroutine fails with; fails the test when it succeeds or throws something else.
template <class T>
Error failureOf(asio::io_context& context, asio::awaitable<T> work) {
    try {
        testing::runAsync(context, std::move(work));
    } catch (const Error& error) {
        return error;
    }
    ADD_FAILURE() << "expected an fw::http::Error";
    return Error(Error::Kind::invalidURL, "none");
}

// A GET of `url`. Coroutines pass requests made here rather than braced temporaries, which
// g++ 12 destroys wrongly inside a co_await expression.
Request get(std::string url) {
    Request request;
    request.url = std::move(url);
    return request;
}

std::string portOf(const ScriptedServer& server) { return std::to_string(server.port()); }

class HTTPClient : public ::testing::Test {
protected:
    asio::io_context context;
    Client client{context.get_executor()};
};

TEST_F(HTTPClient, StatusesHeadersAndBodies) {
    struct Case {
        int status;
        std::string body;
    };
    for (const Case& c : {Case{200, "hello"}, Case{204, ""}, Case{404, "missing"},
                          Case{500, "broken"}}) {
        ScriptedServer server([&](ServerExchange& exchange) -> Awaitable {
            auto headers = testing::fields("X-Twice", "one", "x-twice", "two");
            co_await exchange.respond(c.status, std::move(headers), c.body);
        });
        Fetched fetched = testing::runAsync(context, fetch(client, {.url = server.url("/a?b=c")}));
        EXPECT_EQ(fetched.status, c.status);
        EXPECT_EQ(fetched.reason, testing::reasonPhrase(c.status));
        EXPECT_EQ(fetched.body, c.body);
        EXPECT_EQ(fetched.headers.get("X-TWICE"), "one, two");
        ASSERT_EQ(server.requests().size(), 1u);
        EXPECT_EQ(server.requests()[0].target, "/a?b=c");
        EXPECT_EQ(server.requests()[0].method, "GET");
    }
}

TEST_F(HTTPClient, SendsMethodHeadersAndBody) {
    ScriptedServer server([](ServerExchange& exchange) -> Awaitable {
        co_await exchange.respond(200, {}, exchange.request().body);
    });
    Request request{.method = "POST", .url = server.url("/post")};
    request.headers.set("Content-Type", "application/json");
    request.headers.set("Authorization", "Bearer t");
    request.body = R"({"x":1})";
    Fetched fetched = testing::runAsync(context, fetch(client, request));
    EXPECT_EQ(fetched.body, R"({"x":1})");
    auto received = server.requests().at(0);
    EXPECT_EQ(received.method, "POST");
    EXPECT_EQ(received.headers.get("content-type"), "application/json");
    EXPECT_EQ(received.headers.get("authorization"), "Bearer t");
    EXPECT_EQ(received.headers.get("Host"), "127.0.0.1:" + portOf(server));
}

TEST_F(HTTPClient, HeadArrivesBeforeTheBody) {
    std::atomic<bool> headSeen = false;
    ScriptedServer server([&](ServerExchange& exchange) -> Awaitable {
        co_await exchange.startChunked(200, testing::fields("Content-Type", "text/plain"));
        co_await exchange.waitFor([&] { return headSeen.load(); });  // the client has the head
        co_await exchange.chunk("after the head");
        co_await exchange.endChunks();
    });
    auto body = testing::runAsync(context, [&]() -> asio::awaitable<std::string> {
        Response response = co_await client.send(get(server.url("/")));
        headSeen = true;
        EXPECT_EQ(response.headers.get("content-type"), "text/plain");
        co_return co_await response.body.readAll();
    }());
    EXPECT_EQ(body, "after the head");
}

TEST_F(HTTPClient, ChunkedBodyWithDelaysArrivesInBlocks) {
    ScriptedServer server([](ServerExchange& exchange) -> Awaitable {
        co_await exchange.startChunked(200, {});
        for (const char* part : {"one ", "two ", "three"}) {
            co_await exchange.chunk(part);
            co_await exchange.pause(30ms);
        }
        co_await exchange.endChunks();
    });
    auto blocks = testing::runAsync(context, [&]() -> asio::awaitable<std::vector<std::string>> {
        Response response = co_await client.send(get(server.url("/")));
        std::vector<std::string> blocks;
        while (auto bytes = co_await response.body.next()) {
            blocks.emplace_back(reinterpret_cast<const char*>(bytes->data()), bytes->size());
        }
        co_return blocks;
    }());
    std::string all;
    for (const auto& block : blocks) {
        all += block;
    }
    EXPECT_EQ(all, "one two three");
    EXPECT_GE(blocks.size(), 2u);
}

TEST_F(HTTPClient, BodyBrokenMidway) {
    struct Case {
        const char* name;
        bool reset;
        std::string expected;
    };
    for (const Case& c : {Case{"close", false, "closed before the response was complete."},
                          Case{"reset", true, "failed: Connection reset by peer."}}) {
        ScriptedServer server([&](ServerExchange& exchange) -> Awaitable {
            co_await exchange.write("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nonly ten b");
            co_await exchange.pause(20ms);
            c.reset ? exchange.reset() : exchange.close();
        });
        Error error = failureOf(context, fetch(client, {.url = server.url("/")}));
        EXPECT_EQ(error.kind(), Error::Kind::connectionFailed) << c.name;
        EXPECT_EQ(error.what(), "The connection to 127.0.0.1:" + portOf(server) + " " + c.expected)
            << c.name;
    }
}

TEST_F(HTTPClient, IdleTimeoutIsTimeWithoutProgress) {
    ScriptedServer server([](ServerExchange& exchange) -> Awaitable {
        co_await exchange.startChunked(200, {});
        if (exchange.request().target == "/steady") {
            // 600 ms in all, never more than 100 ms without a byte.
            for (int i = 0; i < 6; ++i) {
                co_await exchange.chunk("tick ");
                co_await exchange.pause(100ms);
            }
            co_await exchange.endChunks();
        } else {
            co_await exchange.chunk("one");
            co_await exchange.holdOpen();
        }
    });
    Fetched steady = testing::runAsync(
        context, fetch(client, {.url = server.url("/steady"), .idleTimeout = 400ms}));
    EXPECT_EQ(steady.body, "tick tick tick tick tick tick ");

    Error error = failureOf(context, fetch(client, {.url = server.url("/stall"), .idleTimeout = 300ms}));
    EXPECT_EQ(error.kind(), Error::Kind::timedOut);
    EXPECT_EQ(error.what(),
              "The server at 127.0.0.1:" + portOf(server) + " sent nothing for 300 milliseconds.");
}

TEST_F(HTTPClient, IdleTimeoutCanChangeOnceTheHeadIsIn) {
    ScriptedServer server([](ServerExchange& exchange) -> Awaitable {
        co_await exchange.startChunked(200, {});
        co_await exchange.chunk("one ");
        if (exchange.request().target == "/quiet") {
            co_await exchange.pause(700ms);
            co_await exchange.chunk("two");
            co_await exchange.endChunks();
        } else {
            co_await exchange.holdOpen();
        }
    });
    auto read = [&](std::string path,
                    std::optional<std::chrono::milliseconds> idle) -> asio::awaitable<std::string> {
        Request request = get(server.url(path));
        request.idleTimeout = 200ms;
        Response response = co_await client.send(std::move(request));
        response.body.setIdleTimeout(idle);
        co_return co_await response.body.readAll();
    };
    // Without a limit the quiet body is read to its end.
    EXPECT_EQ(testing::runAsync(context, read("/quiet", std::nullopt)), "one two");
    Error error = failureOf(context, read("/stall", 100ms));
    EXPECT_EQ(error.kind(), Error::Kind::timedOut);
    EXPECT_EQ(error.what(),
              "The server at 127.0.0.1:" + portOf(server) + " sent nothing for 100 milliseconds.");
}

TEST_F(HTTPClient, HeadTimeout) {
    ScriptedServer server([](ServerExchange& exchange) -> Awaitable { co_await exchange.holdOpen(); });
    Error error =
        failureOf(context, fetch(client, {.url = server.url("/"), .connectTimeout = 250ms}));
    EXPECT_EQ(error.kind(), Error::Kind::timedOut);
    EXPECT_EQ(error.what(), "The server at 127.0.0.1:" + portOf(server) +
                                " did not answer within 250 milliseconds.");
}

TEST_F(HTTPClient, RefusedConnectionAndBadURLs) {
    std::string url;
    {
        ScriptedServer gone([](ServerExchange&) -> Awaitable { co_return; });
        url = gone.url("/");
    }
    Error refused = failureOf(context, fetch(client, {.url = url}));
    EXPECT_EQ(refused.kind(), Error::Kind::connectFailed);
    EXPECT_EQ(refused.what(), "Could not connect to " + url.substr(7, url.size() - 8) +
                                  ": Connection refused.");

    for (const char* bad : {"ftp://example.org/", "/relative", "http://", "not a url"}) {
        Error error = failureOf(context, fetch(client, {.url = bad}));
        EXPECT_EQ(error.kind(), Error::Kind::invalidURL) << bad;
        EXPECT_EQ(error.what(), "The URL \"" + std::string(bad) +
                                    "\" is not an absolute http or https URL.");
    }
}

TEST_F(HTTPClient, RedirectsAreNotFollowedUnlessOptedInWithinTheOrigin) {
    ScriptedServer elsewhere([](ServerExchange& exchange) -> Awaitable {
        co_await exchange.respond(200, {}, "elsewhere");
    });
    ScriptedServer server([&](ServerExchange& exchange) -> Awaitable {
        const auto& target = exchange.request().target;
        if (target == "/found") {
            co_await exchange.respond(302, testing::fields("Location", "/final"), "moved");
        } else if (target == "/temporary") {
            co_await exchange.respond(307, testing::fields("Location", "/final"), "");
        } else if (target == "/away") {
            co_await exchange.respond(308, testing::fields("Location", elsewhere.url("/final")), "");
        } else {
            co_await exchange.respond(200, {}, "final " + exchange.request().method + " " +
                                                   exchange.request().body);
        }
    });
    Fetched found = testing::runAsync(
        context, fetch(client, {.url = server.url("/found"), .followSameOriginRedirects = true}));
    EXPECT_EQ(found.status, 302);
    EXPECT_EQ(found.headers.get("Location"), "/final");

    Fetched notOptedIn = testing::runAsync(context, fetch(client, {.url = server.url("/temporary")}));
    EXPECT_EQ(notOptedIn.status, 307);

    Request post{.method = "POST", .url = server.url("/temporary"), .body = "payload",
                 .followSameOriginRedirects = true};
    post.headers.set("Authorization", "Bearer secret");
    Fetched followed = testing::runAsync(context, fetch(client, post));
    EXPECT_EQ(followed.status, 200);
    EXPECT_EQ(followed.body, "final POST payload");

    Request away{.url = server.url("/away"), .followSameOriginRedirects = true};
    away.headers.set("Authorization", "Bearer secret");
    Fetched other = testing::runAsync(context, fetch(client, away));
    EXPECT_EQ(other.status, 308);
    EXPECT_TRUE(elsewhere.requests().empty());  // the Authorization never left its origin
}

TEST_F(HTTPClient, LoaderRedirectsChangeAPostToABodylessGetWhereABrowserWould) {
    ScriptedServer server([](ServerExchange& exchange) -> Awaitable {
        const auto& target = exchange.request().target;
        if (target.size() == 4 && target[0] == '/') {  // "/301" ... "/308"
            co_await exchange.respond(std::stoi(target.substr(1)),
                                      testing::fields("Location", "/final"), "");
        } else {
            auto type = exchange.request().headers.get("Content-Type");
            co_await exchange.respond(200, {}, exchange.request().method + " [" +
                                                   exchange.request().body + "] " +
                                                   type.value_or("-"));
        }
    });
    struct Case {
        const char* method;
        int status;
        const char* seen;
    };
    for (auto [method, status, seen] : std::vector<Case>{
             {"POST", 301, "GET [] -"},
             {"POST", 302, "GET [] -"},
             {"POST", 303, "GET [] -"},
             {"PUT", 303, "GET [] -"},
             {"PUT", 302, "PUT [data] text/plain"},
             {"POST", 307, "POST [data] text/plain"},
             {"POST", 308, "POST [data] text/plain"},
         }) {
        Request request{.method = method, .url = server.url("/" + std::to_string(status)),
                        .body = "data", .followSameOriginRedirectsAsLoader = true};
        request.headers.set("Content-Type", "text/plain");
        Fetched fetched = testing::runAsync(context, fetch(client, request));
        EXPECT_EQ(fetched.status, 200) << method << " " << status;
        EXPECT_EQ(fetched.body, seen) << method << " " << status;
    }
}

TEST_F(HTTPClient, KeepAliveReusesOneConnection) {
    ScriptedServer server([](ServerExchange& exchange) -> Awaitable {
        co_await exchange.respond(200, {}, "x");
    });
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(testing::runAsync(context, fetch(client, {.url = server.url("/")})).body, "x");
    }
    EXPECT_EQ(server.connectionCount(), 1);
}

TEST_F(HTTPClient, ConnectionClosedWhileIdleIsReplaced) {
    ScriptedServer server([](ServerExchange& exchange) -> Awaitable {
        co_await exchange.respond(200, {}, "x");
        exchange.close();  // without saying so in the head
    });
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(testing::runAsync(context, fetch(client, {.url = server.url("/")})).body, "x");
    }
    EXPECT_EQ(server.connectionCount(), 3);
}

// Every MCP message and token request is a POST: a kept-alive connection that the server has
// closed must not fail it, whether the FIN lies waiting in the pool or the server drops the
// connection on reading the next request without answering.
TEST_F(HTTPClient, PostOnAConnectionTheServerClosedIsSentAgain) {
    struct Case {
        const char* name;
        bool closeAfterAnswer;  // else: close on the second request, unanswered
    };
    for (const Case& c : {Case{"FIN after the answer", true}, Case{"FIN instead of an answer", false}}) {
        ScriptedServer server([&](ServerExchange& exchange) -> Awaitable {
            const auto& request = exchange.request();
            if (!c.closeAfterAnswer && request.connection == 1 && request.body == "second") {
                exchange.close();
                co_return;
            }
            co_await exchange.respond(200, {}, "got " + request.body);
            if (c.closeAfterAnswer) {
                exchange.close();
            }
        });
        for (const char* body : {"first", "second"}) {
            Request request{.method = "POST", .url = server.url("/mcp")};
            request.body = body;
            Fetched fetched = testing::runAsync(context, fetch(client, request));
            EXPECT_EQ(fetched.body, std::string("got ") + body) << c.name;
        }
        EXPECT_EQ(server.connectionCount(), 2) << c.name;
    }
}

// Once a byte of the answer has come, the server may have acted on the request: no resend.
TEST_F(HTTPClient, ARequestWhoseAnswerBeganIsNotSentAgain) {
    ScriptedServer server([](ServerExchange& exchange) -> Awaitable {
        if (exchange.request().body == "second") {
            co_await exchange.write("HTTP/1.1 20");
            exchange.close();
            co_return;
        }
        co_await exchange.respond(200, {}, "ok");
    });
    Request first{.method = "POST", .url = server.url("/")};
    first.body = "first";
    EXPECT_EQ(testing::runAsync(context, fetch(client, first)).body, "ok");
    Request second{.method = "POST", .url = server.url("/")};
    second.body = "second";
    Error error = failureOf(context, fetch(client, second));
    EXPECT_EQ(error.kind(), Error::Kind::connectionFailed);
    EXPECT_EQ(server.requests().size(), 2u);
}

// Interim answers are passed over: the final answer is the response, and the next request on
// the kept-alive connection reads its own answer, not the previous one's.
TEST_F(HTTPClient, InterimAnswersComeBeforeTheFinalOne) {
    struct Case {
        const char* name;
        std::string interim;
    };
    for (const Case& c :
         {Case{"100", "HTTP/1.1 100 Continue\r\n\r\n"},
          Case{"103", "HTTP/1.1 103 Early Hints\r\nLink: </style.css>; rel=preload\r\n\r\n"},
          Case{"100 and 103", "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 103 Early Hints\r\n"
                              "Link: </a.js>; rel=preload\r\n\r\n"}}) {
        ScriptedServer server([&](ServerExchange& exchange) -> Awaitable {
            co_await exchange.write(c.interim);
            co_await exchange.respond(200, testing::fields("X-Answer", exchange.request().target),
                                      "answer to " + exchange.request().target);
        });
        for (const char* path : {"/one", "/two"}) {
            Request request{.method = "POST", .url = server.url(path)};
            request.body = "{}";
            Fetched fetched = testing::runAsync(context, fetch(client, request));
            EXPECT_EQ(fetched.status, 200) << c.name;
            EXPECT_EQ(fetched.headers.get("X-Answer"), path) << c.name;
            EXPECT_EQ(fetched.body, std::string("answer to ") + path) << c.name;
        }
        EXPECT_EQ(server.connectionCount(), 1) << c.name;
    }
}

// A chunk extension or trailer that never ends fails the body as malformed once the
// connection's bounded buffer is full, instead of growing it without end.
TEST_F(HTTPClient, EndlessChunkExtensionIsMalformed) {
    for (const char* prefix : {"1;", "1\r\nx\r\n0\r\nX-Trailer: "}) {
        ScriptedServer server([&](ServerExchange& exchange) -> Awaitable {
            co_await exchange.startChunked(200, {});
            co_await exchange.write(prefix);
            const std::string block(64 * 1024, 'a');
            for (int i = 0; i < 256; ++i) {  // 16 MB, unless the client stops reading first
                co_await exchange.write(block);
            }
            co_await exchange.holdOpen();
        });
        Error error = failureOf(context, fetch(client, {.url = server.url("/")}));
        EXPECT_EQ(error.kind(), Error::Kind::malformedResponse) << prefix;
        EXPECT_EQ(error.what(), "The server at 127.0.0.1:" + portOf(server) +
                                    " sent a malformed HTTP response: a chunk line or trailer "
                                    "is too long.")
            << prefix;
    }
}

// A pool whose origin is not asked again still gives its connections up once they outlive
// their lifetime, at the client's next use.
TEST_F(HTTPClient, IdleConnectionsOfOriginsUsedOnceAreClosed) {
    Client shortLived(context.get_executor(), {.idleConnectionLifetime = 50ms});
    std::atomic<bool> closedByClient = false;
    ScriptedServer once([&](ServerExchange& exchange) -> Awaitable {
        co_await exchange.respond(200, {}, "once");
        co_await exchange.holdOpen();
        closedByClient = true;
    });
    ScriptedServer other([](ServerExchange& exchange) -> Awaitable {
        co_await exchange.respond(200, {}, "other");
    });
    EXPECT_EQ(testing::runAsync(context, fetch(shortLived, get(once.url("/")))).body, "once");
    std::this_thread::sleep_for(100ms);  // past the lifetime
    EXPECT_EQ(testing::runAsync(context, fetch(shortLived, get(other.url("/")))).body, "other");
    EXPECT_TRUE(testing::runUntil(context, [&] { return closedByClient.load(); },
                                  std::chrono::seconds(30)));
}

TEST_F(HTTPClient, LongLivedStreamsDoNotHoldUpOtherRequests) {
    ScriptedServer server([](ServerExchange& exchange) -> Awaitable {
        if (exchange.request().target == "/stream") {
            co_await exchange.startChunked(200, {});
            co_await exchange.holdOpen();
        } else {
            co_await exchange.respond(200, {}, "quick");
        }
    });
    auto body = testing::runAsync(context, [&]() -> asio::awaitable<std::string> {
        std::vector<Response> streams;
        for (int i = 0; i < 10; ++i) {
            streams.push_back(co_await client.send(get(server.url("/stream"))));
        }
        Fetched quick = co_await fetch(client, get(server.url("/quick")));
        co_return quick.body;
    }());
    EXPECT_EQ(body, "quick");
    EXPECT_EQ(server.connectionCount(), 11);
}

TEST_F(HTTPClient, CancellationMidBody) {
    ScriptedServer server([](ServerExchange& exchange) -> Awaitable {
        co_await exchange.startChunked(200, {});
        co_await exchange.chunk("first");
        co_await exchange.holdOpen();
    });
    asio::cancellation_signal cancel;
    std::atomic<bool> firstRead = false;
    std::exception_ptr failure;
    bool finished = false;
    asio::co_spawn(
        context,
        [&]() -> Awaitable {
            Response response = co_await client.send(get(server.url("/")));
            co_await response.body.next();
            firstRead = true;
            co_await response.body.next();
        },
        asio::bind_cancellation_slot(cancel.slot(), [&](std::exception_ptr error) {
            failure = error;
            finished = true;
        }));
    ASSERT_TRUE(testing::runUntil(context, [&] { return firstRead.load(); }));
    cancel.emit(asio::cancellation_type::terminal);
    ASSERT_TRUE(testing::runUntil(context, [&] { return finished; }));
    try {
        std::rethrow_exception(failure);
    } catch (const boost::system::system_error& error) {
        EXPECT_EQ(error.code(), asio::error::operation_aborted);
    } catch (...) {
        ADD_FAILURE() << "expected operation_aborted";
    }
    // The connection went with the cancelled body: the next request opens a new one.
    Request again = get(server.url("/"));
    again.idleTimeout = 200ms;
    EXPECT_EQ(failureOf(context, fetch(client, again)).kind(), Error::Kind::timedOut);
    EXPECT_EQ(server.connectionCount(), 2);
}

TEST_F(HTTPClient, ShutdownFailsOpenRequestsAndRefusesNewOnes) {
    ScriptedServer server([](ServerExchange& exchange) -> Awaitable {
        if (exchange.request().target == "/body") {
            co_await exchange.startChunked(200, {});
        }
        co_await exchange.holdOpen();
    });
    std::vector<std::string> failures;
    bool headRead = false;
    auto record = [&](asio::awaitable<void> work) -> Awaitable {
        try {
            co_await std::move(work);
        } catch (const Error& error) {
            failures.push_back(std::to_string(int(error.kind())) + " " + error.what());
        }
    };
    // Named, so that the closures outlive the coroutines they start.
    auto awaitHead = [&]() -> Awaitable { co_await client.send(get(server.url("/head"))); };
    auto awaitBody = [&]() -> Awaitable {
        Response response = co_await client.send(get(server.url("/body")));
        headRead = true;
        co_await response.body.next();
    };
    asio::co_spawn(context, record(awaitHead()), asio::detached);
    asio::co_spawn(context, record(awaitBody()), asio::detached);
    ASSERT_TRUE(testing::runUntil(context, [&] { return headRead && server.requests().size() == 2; }));
    client.shutdown();
    ASSERT_TRUE(testing::runUntil(context, [&] { return failures.size() == 2; }));
    std::string expected = std::to_string(int(Error::Kind::shutDown)) + " The HTTP client was shut down.";
    EXPECT_EQ(failures, (std::vector<std::string>{expected, expected}));

    Error refused = failureOf(context, fetch(client, {.url = server.url("/head")}));
    EXPECT_EQ(refused.kind(), Error::Kind::shutDown);
    EXPECT_EQ(server.requests().size(), 2u);
}

class HTTPClientTLS : public ::testing::Test {
protected:
    asio::io_context context;
};

TEST_F(HTTPClientTLS, VerifiesTheCertificateAndTheHostName) {
    auto certificates = testing::makeTestCertificates({"localhost"}, {"127.0.0.1"});
    ScriptedServer server(
        [](ServerExchange& exchange) -> Awaitable {
            co_await exchange.respond(200, {}, "secret");
        },
        ScriptedServer::TLS{certificates.certificatePEM, certificates.keyPEM});
    Client client(context.get_executor(),
                  ClientOptions{.certificateAuthoritiesPEM = certificates.authorityPEM});
    for (const char* host : {"localhost", "127.0.0.1"}) {
        Fetched fetched = testing::runAsync(context, fetch(client, {.url = server.url("/", host)}));
        EXPECT_EQ(fetched.body, "secret") << host;
    }
    // Kept alive over TLS as well.
    EXPECT_EQ(server.connectionCount(), 2);

    // The system's store does not know the test authority.
    Client systemTrust(context.get_executor());
    Error untrusted = failureOf(context, fetch(systemTrust, {.url = server.url("/", "localhost")}));
    EXPECT_EQ(untrusted.kind(), Error::Kind::tlsFailed);
    EXPECT_EQ(untrusted.what(), "The secure connection to localhost:" + portOf(server) +
                                    " failed: certificate verify failed (unable to get local "
                                    "issuer certificate).");
}

TEST_F(HTTPClientTLS, RefusesACertificateForAnotherHost) {
    auto certificates = testing::makeTestCertificates({"other.example"}, {});
    ScriptedServer server(
        [](ServerExchange& exchange) -> Awaitable { co_await exchange.respond(200, {}, "x"); },
        ScriptedServer::TLS{certificates.certificatePEM, certificates.keyPEM});
    Client client(context.get_executor(),
                  ClientOptions{.certificateAuthoritiesPEM = certificates.authorityPEM});
    for (const char* host : {"localhost", "127.0.0.1"}) {
        Error error = failureOf(context, fetch(client, {.url = server.url("/", host)}));
        EXPECT_EQ(error.kind(), Error::Kind::tlsFailed) << host;
        std::string text = error.what();
        EXPECT_NE(text.find("certificate verify failed"), std::string::npos) << text;
        EXPECT_NE(text.find("mismatch"), std::string::npos) << text;
    }
    EXPECT_TRUE(server.requests().empty());
}

}  // namespace
}  // namespace fw::http
