// The standard input/output transport over real pipes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <cerrno>
#include <chrono>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "MCP/Messages/MCPError.h"
#include "MCP/Transports/StdioTransport.h"
#include "tests/MCP/ServerTestSupport.h"

namespace mcp {
namespace {

using namespace mcp::testing;

struct Pipe {
    Pipe() {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) {
            throw std::runtime_error("Could not make a pipe.");
        }
        read = fds[0];
        write = fds[1];
    }
    ~Pipe() {
        closeRead();
        closeWrite();
    }
    void closeRead() {
        if (read != -1) {
            ::close(read);
            read = -1;
        }
    }
    void closeWrite() {
        if (write != -1) {
            ::close(write);
            write = -1;
        }
    }
    void put(const std::string& bytes) const {
        ASSERT_EQ(::write(write, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    // Reads into `received` on a thread of its own until the write end is closed.
    std::thread readAll(std::string& received) const {
        return std::thread([fd = read, &received] {
            char chunk[8192];
            ssize_t n = 0;
            while ((n = ::read(fd, chunk, sizeof chunk)) > 0) {
                received.append(chunk, static_cast<std::size_t>(n));
            }
        });
    }
    int read = -1;
    int write = -1;
};

// The error number under a transport error; -1 for anything else, 0 for no error.
int errorNumberOf(std::exception_ptr failure) {
    if (!failure) {
        return 0;
    }
    try {
        std::rethrow_exception(failure);
    } catch (const MCPError& error) {
        const auto* system = dynamic_cast<const SystemError*>(error.underlyingError().get());
        if (error.kind() == MCPError::Kind::transportError && system &&
            system->code().category() == std::system_category()) {
            return system->code().value();
        }
    } catch (...) {
    }
    return -1;
}

// Takes every message of the stream; what it ended with (null for a normal end).
asio::awaitable<std::exception_ptr> drainToEnd(MessageStream stream,
                                               std::vector<std::string>* messages = nullptr) {
    try {
        while (auto message = co_await stream.next()) {
            if (messages) {
                messages->push_back(std::move(*message));
            }
        }
    } catch (...) {
        co_return std::current_exception();
    }
    co_return nullptr;
}

int flagsOf(int descriptor) {
    return ::fcntl(descriptor, F_GETFL);
}

// A pseudo-terminal: the controlling side and the terminal a program would see as its own.
struct Terminal {
    Terminal() {
        controller = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (controller == -1 || ::grantpt(controller) != 0 || ::unlockpt(controller) != 0) {
            throw std::runtime_error("Could not make a pseudo-terminal.");
        }
        terminal = ::open(::ptsname(controller), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (terminal == -1) {
            throw std::runtime_error("Could not open the pseudo-terminal.");
        }
    }
    ~Terminal() {
        closeTerminal();
        ::close(controller);
    }
    void closeTerminal() {
        if (terminal != -1) {
            ::close(terminal);
            terminal = -1;
        }
    }
    int controller = -1;
    int terminal = -1;
};

struct SocketPair {
    SocketPair() {
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
            throw std::runtime_error("Could not make a socket pair.");
        }
    }
    ~SocketPair() {
        closePeer();
        ::close(fds[0]);
    }
    void closePeer() {
        if (fds[1] != -1) {
            ::close(fds[1]);
            fds[1] = -1;
        }
    }
    int fds[2] = {-1, -1};
};

TEST(StdioTransport, SplitsLinesAndKeepsWhatIsNotTheLineFeed) {
    asio::io_context io;
    Pipe input;
    Pipe output;
    auto transport = std::make_shared<StdioTransport>(io.get_executor(), input.read, output.write);
    runFor(io, transport->connect());
    input.put("a\n\nb");
    input.put("\r\nsplit ");
    input.put("line\n{\"x\":1}\n{\"y\":2}\nunterminated");
    input.closeWrite();
    Drained drained = runFor(io, drain(transport->receive()));
    EXPECT_EQ(drained.messages,
              (std::vector<std::string>{"a", "b\r", "split line", "{\"x\":1}", "{\"y\":2}"}));
    EXPECT_EQ(drained.error, "");
    // End of input leaves sending possible.
    runFor(io, transport->send("still writing"));
    char buffer[64] = {};
    EXPECT_EQ(::read(output.read, buffer, sizeof buffer), 14);
    EXPECT_EQ(std::string(buffer), "still writing\n");
}

TEST(StdioTransport, SendsOnlyWhileConnected) {
    asio::io_context io;
    Pipe input;
    Pipe output;
    auto transport = std::make_shared<StdioTransport>(io.get_executor(), input.read, output.write);
    auto expectNotConnected = [&] {
        try {
            runFor(io, transport->send("x"));
            ADD_FAILURE() << "sent while not connected";
        } catch (const MCPError& error) {
            EXPECT_EQ(error.kind(), MCPError::Kind::transportError);
        }
    };
    expectNotConnected();
    runFor(io, transport->connect());
    runFor(io, transport->connect());  // a second connect does nothing
    runFor(io, transport->send(""));
    char buffer[4] = {};
    EXPECT_EQ(::read(output.read, buffer, sizeof buffer), 1);
    EXPECT_EQ(buffer[0], '\n');
    runFor(io, transport->disconnect());
    expectNotConnected();
    EXPECT_TRUE(runFor(io, drain(transport->receive())).messages.empty());
}

// A write that a peer blocks (it stopped reading) ends at disconnect with a transport error, and a
// send still waiting behind it writes nothing: disconnect releases whoever waits on the peer.
TEST(StdioTransport, DisconnectEndsABlockedWrite) {
    asio::io_context io;
    Pipe input;
    Pipe output;
    auto transport = std::make_shared<StdioTransport>(io.get_executor(), input.read, output.write);
    runFor(io, transport->connect());
    const std::string big(200 * 1024, 'a');  // more than the pipe holds: the write waits
    std::optional<std::exception_ptr> first;
    std::optional<std::exception_ptr> second;
    asio::co_spawn(io, transport->send(big), [&](std::exception_ptr error) { first = error; });
    asio::co_spawn(io, transport->send("b"), [&](std::exception_ptr error) { second = error; });
    runIdle(io, 20ms);
    ASSERT_FALSE(first);
    ASSERT_FALSE(second);
    runFor(io, transport->disconnect());
    const auto deadline = std::chrono::steady_clock::now() + 2s;
    while ((!first || !second) && std::chrono::steady_clock::now() < deadline) {
        io.run_one_for(std::chrono::milliseconds(10));
    }
    ASSERT_TRUE(first) << "the blocked write outlived disconnect";
    ASSERT_TRUE(second);
    EXPECT_EQ(errorNumberOf(*first), ENOTCONN);
    EXPECT_EQ(errorNumberOf(*second), ENOTCONN);
    // What went out is a part of the big line and nothing of the line behind it.
    std::string received;
    std::thread reader = output.readAll(received);
    output.closeWrite();
    reader.join();
    EXPECT_LT(received.size(), big.size());
    EXPECT_EQ(received.find_first_not_of('a'), std::string::npos);
}

TEST(StdioTransport, CancelledSendersAreReleasedAndAPartLineStillGoesOutWhole) {
    asio::io_context io;
    Pipe input;
    Pipe output;
    auto transport = std::make_shared<StdioTransport>(io.get_executor(), input.read, output.write);
    runFor(io, transport->connect());
    const std::string big(200 * 1024, 'a');  // more than the pipe holds: the write waits
    std::optional<std::exception_ptr> first;
    std::optional<std::exception_ptr> second;
    asio::cancellation_signal firstSignal;
    asio::cancellation_signal secondSignal;
    asio::co_spawn(io, transport->send(big),
                   asio::bind_cancellation_slot(firstSignal.slot(),
                                                [&](std::exception_ptr error) { first = error; }));
    asio::co_spawn(io, transport->send("b"),
                   asio::bind_cancellation_slot(secondSignal.slot(),
                                                [&](std::exception_ptr error) { second = error; }));
    runIdle(io, 20ms);
    ASSERT_FALSE(first);
    ASSERT_FALSE(second);
    // The part-written line's sender and the one queued behind it, while the reader is away.
    firstSignal.emit(asio::cancellation_type::terminal);
    secondSignal.emit(asio::cancellation_type::terminal);
    runUntil(
        io, [&] { return first && second; }, 20s);
    ASSERT_TRUE(first) << "the cancelled sender of a part-written line still waits";
    ASSERT_TRUE(second);
    for (const auto& error : {*first, *second}) {
        try {
            std::rethrow_exception(error);
        } catch (const boost::system::system_error& thrown) {
            EXPECT_EQ(thrown.code(), asio::error::operation_aborted);
        } catch (...) {
            ADD_FAILURE() << "not operation_aborted";
        }
    }
    // The rest of the big line still goes out, then the next line.
    std::string received;
    std::thread reader = output.readAll(received);
    std::optional<std::exception_ptr> third;
    asio::co_spawn(io, transport->send("c"), [&](std::exception_ptr error) { third = error; });
    runUntil(
        io, [&] { return third.has_value(); }, 20s);
    EXPECT_TRUE(third && !*third);
    runFor(io, transport->disconnect());
    output.closeWrite();
    reader.join();
    EXPECT_EQ(received, big + "\nc\n");
}

TEST(StdioTransport, TrySendTakesALineOnlyWhenNoneIsUnderWay) {
    asio::io_context io;
    Pipe input;
    Pipe output;
    auto transport = std::make_shared<StdioTransport>(io.get_executor(), input.read, output.write);
    std::string early = "early";
    EXPECT_THROW(transport->trySend(early), MCPError);
    EXPECT_EQ(early, "early");
    runFor(io, transport->connect());
    std::string small = "a";
    EXPECT_TRUE(transport->trySend(small));
    // More than the pipe holds: taken, its rest queued; a line behind it must wait.
    std::string big(200 * 1024, 'b');
    EXPECT_TRUE(transport->trySend(big));
    std::string behind = "c";
    EXPECT_FALSE(transport->trySend(behind));
    EXPECT_EQ(behind, "c");
    std::string received;
    std::thread reader = output.readAll(received);
    std::optional<std::exception_ptr> sent;
    asio::co_spawn(io, transport->send(behind), [&](std::exception_ptr error) { sent = error; });
    runUntil(io, [&] { return sent.has_value(); }, 20s);
    EXPECT_TRUE(sent && !*sent);
    runFor(io, transport->disconnect());
    output.closeWrite();
    reader.join();
    EXPECT_EQ(received, "a\n" + std::string(200 * 1024, 'b') + "\nc\n");
}

TEST(StdioTransport, OverlongLineEndsTheStreamWithAnError) {
    asio::io_context io;
    Pipe input;
    Pipe output;
    auto transport = std::make_shared<StdioTransport>(io.get_executor(), input.read, output.write,
                                                      std::nullopt, 16);
    runFor(io, transport->connect());
    input.put("short\n" + std::string(40, 'x'));
    Drained drained = runFor(io, drain(transport->receive()));
    EXPECT_EQ(drained.messages, (std::vector<std::string>{"short"}));
    EXPECT_EQ(drained.error, "Internal error: Message exceeds the line length limit of 16 bytes");
}

// A server whose answer is bigger than the pipe, to a client that stopped reading, is released by
// stop(): the blocked write ends and nothing is left running.
TEST(StdioTransport, StopReleasesAServerBlockedOnAClientThatStoppedReading) {
    asio::io_context io;
    Pipe input;
    Pipe output;
    Server::Capabilities capabilities;
    capabilities.tools = Server::Capabilities::Tools{};
    auto server = std::make_shared<Server>(io.get_executor(), "Frameweaver", "1.0.0", std::nullopt,
                                           std::nullopt, capabilities);
    std::atomic<bool> answered = false;
    server->withMethodHandler<CallTool>(
        [&](CallTool::Parameters) -> asio::awaitable<CallTool::Result> {
            answered = true;
            CallTool::Result result{.content = {ToolContent::text(std::string(300 * 1024, 'x'))}};
            co_return result;
        });
    auto transport = std::make_shared<StdioTransport>(io.get_executor(), input.read, output.write);
    runFor(io, server->start(transport));
    input.put(R"({"jsonrpc":"2.0","id":1,"method":"tools/call","params":{"name":"big"}})"
              "\n");
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (!answered && std::chrono::steady_clock::now() < deadline) {
        io.run_one_for(std::chrono::milliseconds(10));
    }
    ASSERT_TRUE(answered);
    runIdle(io, 50ms);  // the answer fills the pipe and its write waits
    runFor(io, server->stop());
    transport.reset();
    server.reset();
    io.run_for(2s);
    EXPECT_TRUE(io.stopped()) << "work was left waiting on the client after stop()";
}

// A read that fails ends the stream with a transport error carrying the error number; only the
// end of input is a normal end.
TEST(StdioTransport, ReadErrorsEndTheStreamWithTheirErrorNumber) {
    using Trigger = std::function<void(StdioTransport&, asio::io_context&)>;
    auto endOf = [](int input, int output, const Trigger& trigger) {
        asio::io_context io;
        auto transport = std::make_shared<StdioTransport>(io.get_executor(), input, output);
        runFor(io, transport->connect());
        trigger(*transport, io);
        std::exception_ptr end = runFor(io, drainToEnd(transport->receive()));
        runFor(io, transport->disconnect());
        return end;
    };
    struct Case {
        const char* name;
        int expected;
        std::function<std::exception_ptr()> run;
    };
    const Case cases[] = {
        {"a socket whose peer went away leaving data unread", ECONNRESET,
         [&] {
             SocketPair sockets;
             return endOf(sockets.fds[0], sockets.fds[0],
                          [&](StdioTransport& transport, asio::io_context& io) {
                              runFor(io, transport.send("never read"));
                              sockets.closePeer();
                          });
         }},
        {"a terminal's controlling side after the terminal closed", EIO,
         [&] {
             Terminal terminal;
             Pipe output;
             return endOf(terminal.controller, output.write,
                          [&](StdioTransport&, asio::io_context&) { terminal.closeTerminal(); });
         }},
        {"a descriptor open only for writing", EBADF,
         [&] {
             Pipe input;
             Pipe output;
             return endOf(input.write, output.write, [](StdioTransport&, asio::io_context&) {});
         }},
        {"a pipe whose writer closed (the end of input)", 0,
         [&] {
             Pipe input;
             Pipe output;
             return endOf(input.read, output.write,
                          [&](StdioTransport&, asio::io_context&) { input.closeWrite(); });
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(errorNumberOf(c.run()), c.expected);
    }
}

// Non-blocking mode is the transport's business only while it is connected: a process's standard
// input and output (a terminal, the parent's pipe) are handed back as they were found.
TEST(StdioTransport, GivesTheDescriptorsBackAsItFoundThem) {
    struct Kind {
        const char* name;
        std::function<std::pair<int, int>()> make;
    };
    std::optional<Pipe> input;
    std::optional<Pipe> output;
    std::optional<SocketPair> sockets;
    std::optional<Terminal> terminal;
    int terminalTwin = -1;
    const Kind kinds[] = {
        {"two pipes",
         [&] {
             input.emplace();
             output.emplace();
             return std::pair(input->read, output->write);
         }},
        {"one socket both ways",
         [&] {
             sockets.emplace();
             return std::pair(sockets->fds[0], sockets->fds[0]);
         }},
        {"a terminal as input and output",
         [&] {
             terminal.emplace();
             terminalTwin = ::fcntl(terminal->terminal, F_DUPFD_CLOEXEC, 0);
             return std::pair(terminal->terminal, terminalTwin);
         }},
        {"a pipe already non-blocking",
         [&] {
             input.emplace();
             output.emplace();
             ::fcntl(input->read, F_SETFL, flagsOf(input->read) | O_NONBLOCK);
             return std::pair(input->read, output->write);
         }},
    };
    for (const Kind& kind : kinds) {
        for (const bool byDestruction : {false, true}) {
            SCOPED_TRACE(std::string(kind.name) +
                         (byDestruction ? ", destroyed" : ", disconnected"));
            asio::io_context io;
            const auto [in, out] = kind.make();
            const int inputBefore = flagsOf(in);
            const int outputBefore = flagsOf(out);
            auto transport = std::make_shared<StdioTransport>(io.get_executor(), in, out);
            runFor(io, transport->connect());
            EXPECT_TRUE(flagsOf(in) & O_NONBLOCK);
            EXPECT_TRUE(flagsOf(out) & O_NONBLOCK);
            if (byDestruction) {
                transport.reset();
            } else {
                runFor(io, transport->disconnect());
            }
            EXPECT_EQ(flagsOf(in), inputBefore);
            EXPECT_EQ(flagsOf(out), outputBefore);
            transport.reset();
            io.run();
            input.reset();
            output.reset();
            sockets.reset();
            if (terminalTwin != -1) {
                ::close(terminalTwin);
                terminalTwin = -1;
            }
            terminal.reset();
        }
    }
}

TEST(StdioTransport, AFailedConnectLeavesTheInputAsItWas) {
    asio::io_context io;
    Pipe input;
    const int before = flagsOf(input.read);
    constexpr int kNoSuchDescriptor = 987654;
    auto transport =
        std::make_shared<StdioTransport>(io.get_executor(), input.read, kNoSuchDescriptor);
    std::exception_ptr failure;
    try {
        runFor(io, transport->connect());
    } catch (...) {
        failure = std::current_exception();
    }
    EXPECT_EQ(errorNumberOf(failure), EBADF);
    EXPECT_EQ(flagsOf(input.read), before);
}

// Sets the disposition of SIGPIPE for a scope.
class SigpipeDisposition {
public:
    explicit SigpipeDisposition(void (*handler)(int)) {
        struct sigaction action = {};
        action.sa_handler = handler;
        sigemptyset(&action.sa_mask);
        ::sigaction(SIGPIPE, &action, &previous_);
    }
    ~SigpipeDisposition() { ::sigaction(SIGPIPE, &previous_, nullptr); }
    SigpipeDisposition(const SigpipeDisposition&) = delete;
    SigpipeDisposition& operator=(const SigpipeDisposition&) = delete;

private:
    struct sigaction previous_ = {};
};

bool sigpipePending() {
    sigset_t pending;
    sigemptyset(&pending);
    ::sigpending(&pending);
    return sigismember(&pending, SIGPIPE) == 1;
}

// Writing to a reader that has gone away is a transport error (EPIPE): it never kills the process
// with SIGPIPE, whatever the process does with that signal, and leaves no SIGPIPE pending.
TEST(StdioTransport, WritingToAGoneReaderIsAnErrorNotASignal) {
    struct Case {
        const char* name;
        bool socket;
        void (*disposition)(int);
    };
    const Case cases[] = {
        {"a pipe, SIGPIPE at its default", false, SIG_DFL},
        {"a pipe, SIGPIPE ignored", false, SIG_IGN},
        {"a socket, SIGPIPE at its default", true, SIG_DFL},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SigpipeDisposition disposition(c.disposition);
        asio::io_context io;
        Pipe input;
        Pipe output;
        SocketPair sockets;
        const int out = c.socket ? sockets.fds[0] : output.write;
        c.socket ? sockets.closePeer() : output.closeRead();
        auto transport = std::make_shared<StdioTransport>(io.get_executor(), input.read, out);
        runFor(io, transport->connect());
        std::exception_ptr failure;
        try {
            runFor(io, transport->send("nobody reads this"));
        } catch (...) {
            failure = std::current_exception();
        }
        EXPECT_EQ(errorNumberOf(failure), EPIPE);
        EXPECT_FALSE(sigpipePending());
        runFor(io, transport->disconnect());
    }
}

// With messages left unread the transport stops reading, so the peer's writes block on the full
// pipe; taking the messages lets it read on, and every line arrives whole and in order.
TEST(StdioTransport, StopsReadingWhileMessagesWaitUnread) {
    SigpipeDisposition ignored(SIG_IGN);  // a failed test closes the pipe on its writer
    asio::io_context io;
    Pipe input;
    Pipe output;
    constexpr std::size_t kMaxPending = 4;
    auto transport =
        std::make_shared<StdioTransport>(io.get_executor(), input.read, output.write, std::nullopt,
                                         StdioTransport::kDefaultMaxLineLength, kMaxPending);
    runFor(io, transport->connect());
    MessageStream stream = transport->receive();
    // Half a megabyte: far more than the pipe, the transport's read buffer and the limit hold.
    constexpr int kLines = 500;
    auto lineOf = [](int index) {
        std::string line = std::to_string(index);
        line.resize(999, '.');
        return line;
    };
    std::atomic<bool> written = false;
    std::thread writer([&, fd = input.write] {
        for (int index = 0; index < kLines; ++index) {
            const std::string line = lineOf(index) + "\n";
            for (std::size_t done = 0; done < line.size();) {
                const ssize_t count = ::write(fd, line.data() + done, line.size() - done);
                if (count <= 0) {
                    return;
                }
                done += static_cast<std::size_t>(count);
            }
        }
        written = true;
    });
    // Time enough for the whole of it to go through a transport that reads on regardless.
    const auto deadline = std::chrono::steady_clock::now() + 1500ms;
    while (!written && std::chrono::steady_clock::now() < deadline) {
        io.run_one_for(std::chrono::milliseconds(10));
    }
    EXPECT_FALSE(written) << "the transport read on while nobody took its messages";
    std::vector<std::string> received;
    try {
        runFor(
            io,
            [&]() -> asio::awaitable<void> {
                while (received.size() < kLines) {
                    auto message = co_await stream.next();
                    if (!message) {
                        break;
                    }
                    received.push_back(std::move(*message));
                }
            }(),
            20s);
    } catch (...) {
        input.closeRead();
        writer.join();
        throw;
    }
    writer.join();
    EXPECT_TRUE(written);
    ASSERT_EQ(received.size(), static_cast<std::size_t>(kLines));
    for (int index = 0; index < kLines; ++index) {
        ASSERT_EQ(received[static_cast<std::size_t>(index)], lineOf(index)) << index;
    }
}

// What a peer writes reaches the transport through one of these; each gives the transport its
// end, and the peer writes with `put` (one write call: one packet on a packet socket).
struct PeerChannel {
    std::string name;
    std::function<void(int (&ends)[2])> make;  // ends[0] for the transport, ends[1] for the peer
    bool closeDropsInput = false;  // a terminal's hang-up discards what it has not handed out
};

void PrintTo(const PeerChannel& channel, std::ostream* out) {
    *out << channel.name;
}

void makeSocketPair(int (&ends)[2], int type) {
    if (::socketpair(AF_UNIX, type | SOCK_CLOEXEC, 0, ends) != 0) {
        throw std::runtime_error("Could not make a socket pair.");
    }
}

// Up to `count` messages, fewer when the stream ends first.
asio::awaitable<std::vector<std::string>> takeMessages(MessageStream* stream, std::size_t count) {
    std::vector<std::string> taken;
    while (taken.size() < count) {
        auto message = co_await stream->next();
        if (!message) {
            break;
        }
        taken.push_back(std::move(*message));
    }
    co_return taken;
}

// Writes all of `bytes` to the non-blocking `descriptor` unless `stop` is set first.
bool writeUnlessStopped(int descriptor, std::string_view bytes, const std::atomic<bool>& stop) {
    while (!bytes.empty()) {
        const ssize_t count = ::write(descriptor, bytes.data(), bytes.size());
        if (count > 0) {
            bytes.remove_prefix(static_cast<std::size_t>(count));
            continue;
        }
        if (count == -1 && (errno == EAGAIN || errno == EINTR) && !stop) {
            pollfd writable = {descriptor, POLLOUT, 0};
            ::poll(&writable, 1, 100);
            continue;
        }
        return false;
    }
    return true;
}

// A short read empties a pipe or a stream socket, and the transport then waits for readiness
// instead of trying another read; on a packet socket or a terminal each read takes one packet or
// line, and what is left must still be read. Lines written after the transport found the input
// empty, two at once, then a stream of them in pieces from another thread while the transport is
// served by four threads, then a last one written with the peer's close: every line arrives whole,
// once and in order, and the end of input ends the stream.
class StdioTransportReceiving : public ::testing::TestWithParam<PeerChannel> {};

TEST_P(StdioTransportReceiving, ReadsEveryLineThatWaits) {
    SigpipeDisposition ignored(SIG_IGN);  // a failed test closes the input on its writer
    int ends[2] = {-1, -1};
    GetParam().make(ends);
    Pipe output;
    asio::io_context io(4);
    auto transport = std::make_shared<StdioTransport>(io.get_executor(), ends[0], output.write);
    runFor(io, transport->connect());
    MessageStream stream = transport->receive();
    auto put = [peer = ends[1]](const std::string& bytes) {
        ASSERT_EQ(::write(peer, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    };
    put("first\n");
    EXPECT_EQ(runFor(io, takeMessages(&stream, 1), 20s), std::vector<std::string>{"first"});
    put("second\n");
    put("third\n");
    EXPECT_EQ(runFor(io, takeMessages(&stream, 2), 20s),
              (std::vector<std::string>{"second", "third"}));

    constexpr int kLines = 2000;
    std::atomic<bool> stop = false;
    ::fcntl(ends[1], F_SETFL, ::fcntl(ends[1], F_GETFL) | O_NONBLOCK);
    std::thread writer([&, peer = ends[1]] {
        std::string pending;
        for (int index = 0; index < kLines; ++index) {
            pending += "line " + std::to_string(index) + "\n";
            if (index % 3 != 2 && index != kLines - 1) {
                continue;
            }
            // Pieces of 1 to 40 bytes, ends of lines falling anywhere in them.
            for (std::size_t done = 0; done < pending.size();) {
                const std::size_t size = std::min<std::size_t>(
                    1 + (done * 7 + static_cast<std::size_t>(index)) % 40, pending.size() - done);
                if (!writeUnlessStopped(peer, std::string_view(pending).substr(done, size), stop)) {
                    return;
                }
                done += size;
            }
            pending.clear();
        }
    });
    std::vector<std::string> lines;
    std::atomic<bool> collected = false;
    asio::co_spawn(io, takeMessages(&stream, kLines),
                   [&](std::exception_ptr, std::vector<std::string> taken) {
                       lines = std::move(taken);
                       collected = true;
                   });
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    std::vector<std::thread> runners;
    for (int i = 0; i < 4; ++i) {
        runners.emplace_back([&] {
            while (!collected && std::chrono::steady_clock::now() < deadline) {
                io.run_one_for(std::chrono::milliseconds(10));
            }
        });
    }
    for (auto& runner : runners) {
        runner.join();
    }
    stop = true;
    writer.join();
    // A last line and the peer's end, before the transport reads again: the line arrives (but on
    // a terminal, which drops it) and the stream ends (for a terminal with EIO).
    std::optional<Drained> rest;
    if (collected) {
        ::fcntl(ends[1], F_SETFL, ::fcntl(ends[1], F_GETFL) & ~O_NONBLOCK);
        put("last\n");
        ::close(std::exchange(ends[1], -1));
        rest = runFor(io, drain(std::move(stream)), 20s);
    }
    // Ends the stream, and with it a collector still waiting.
    runFor(io, transport->disconnect());
    io.restart();
    io.run();
    ::close(ends[0]);
    if (ends[1] != -1) {
        ::close(ends[1]);
    }
    ASSERT_TRUE(collected);
    ASSERT_EQ(lines.size(), static_cast<std::size_t>(kLines));
    for (int index = 0; index < kLines; ++index) {
        ASSERT_EQ(lines[static_cast<std::size_t>(index)], "line " + std::to_string(index));
    }
    EXPECT_EQ(rest->messages, GetParam().closeDropsInput ? std::vector<std::string>{}
                                                         : std::vector<std::string>{"last"});
}

INSTANTIATE_TEST_SUITE_P(
    Channels, StdioTransportReceiving,
    ::testing::Values(
        PeerChannel{"Pipe",
                    [](int (&ends)[2]) {
                        if (::pipe2(ends, O_CLOEXEC) != 0) {
                            throw std::runtime_error("Could not make a pipe.");
                        }
                    }},
        PeerChannel{"StreamSocket", [](int (&ends)[2]) { makeSocketPair(ends, SOCK_STREAM); }},
        PeerChannel{"PacketSocket", [](int (&ends)[2]) { makeSocketPair(ends, SOCK_SEQPACKET); }},
        PeerChannel{"Terminal",
                    [](int (&ends)[2]) {
                        // The transport reads the terminal; the peer types on its controlling
                        // side, without echo (nobody reads it back), one line per read.
                        auto terminal = std::make_unique<Terminal>();
                        termios settings = {};
                        ::tcgetattr(terminal->terminal, &settings);
                        settings.c_lflag &= ~static_cast<tcflag_t>(ECHO);
                        ::tcsetattr(terminal->terminal, TCSANOW, &settings);
                        ends[0] = std::exchange(terminal->terminal, -1);
                        ends[1] = std::exchange(terminal->controller, -1);
                    },
                    true}),
    [](const ::testing::TestParamInfo<PeerChannel>& info) { return info.param.name; });

// Senders on one thread and on several: lines far larger than the pipe's buffer (every write is
// partial and the others have to wait) mixed with short ones (written at once when the way is
// free).
class StdioTransportConcurrentSends : public ::testing::TestWithParam<int> {};

TEST_P(StdioTransportConcurrentSends, NeverInterleave) {
    const int threads = GetParam();
    asio::io_context io(threads);
    Pipe input;
    Pipe output;
    auto transport = std::make_shared<StdioTransport>(io.get_executor(), input.read, output.write);
    runFor(io, transport->connect());
    constexpr int kSenders = 12;
    auto lengthOf = [](int sender) -> std::size_t { return sender % 2 == 0 ? 200 * 1024 : 100; };
    std::string received;
    std::thread reader = output.readAll(received);
    std::atomic<int> finished = 0;
    std::atomic<int> failures = 0;
    for (int sender = 0; sender < kSenders; ++sender) {
        asio::co_spawn(
            io, transport->send(std::string(lengthOf(sender), static_cast<char>('a' + sender))),
            [&](std::exception_ptr error) {
                failures += error ? 1 : 0;
                ++finished;
            });
    }
    std::vector<std::thread> runners;
    for (int i = 0; i < threads; ++i) {
        runners.emplace_back([&] {
            while (finished < kSenders) {
                io.run_one_for(std::chrono::milliseconds(10));
            }
        });
    }
    for (auto& runner : runners) {
        runner.join();
    }
    EXPECT_EQ(failures, 0);
    output.closeWrite();
    reader.join();
    std::size_t total = 0;
    for (int sender = 0; sender < kSenders; ++sender) {
        total += lengthOf(sender) + 1;
    }
    ASSERT_EQ(received.size(), total);
    std::vector<bool> seen(kSenders, false);
    for (std::size_t start = 0; start < received.size();) {
        const char letter = received[start];
        ASSERT_GE(letter, 'a');
        ASSERT_LT(letter, 'a' + kSenders);
        const std::size_t length = lengthOf(letter - 'a');
        EXPECT_EQ(received.find_first_not_of(letter, start), start + length);
        EXPECT_EQ(received[start + length], '\n');
        seen[static_cast<std::size_t>(letter - 'a')] = true;
        start += length + 1;
    }
    EXPECT_EQ(std::count(seen.begin(), seen.end(), true), kSenders);
}

INSTANTIATE_TEST_SUITE_P(Threads, StdioTransportConcurrentSends, ::testing::Values(1, 4));

}  // namespace
}  // namespace mcp
