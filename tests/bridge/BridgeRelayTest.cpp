// The two directions of the companion's relay over real descriptors: a socket pair stands for
// the connection to the application, pipes for the client's standard streams.
#include "bridge/BridgeRelay.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <string>
#include <thread>

#include "LocalAutomation/MCPUnixSocket.h"
#include "LocalAutomation/SocketError.h"
#include "tests/LocalAutomation/SocketTestSupport.h"

namespace fw::bridge {
namespace {

using automation::MCPUnixSocketLineReader;
using automation::SocketError;
using automation::testing::SocketPair;
namespace socket = automation::MCPUnixSocket;

class Pipe {
public:
    Pipe() {
        if (::pipe2(fds_, O_CLOEXEC) != 0) {
            fds_[0] = fds_[1] = -1;
        }
    }
    ~Pipe() {
        closeRead();
        closeWrite();
    }
    Pipe(const Pipe&) = delete;
    Pipe& operator=(const Pipe&) = delete;
    int read() const { return fds_[0]; }
    int write() const { return fds_[1]; }
    void closeRead() { closeEnd(0); }
    void closeWrite() { closeEnd(1); }

private:
    void closeEnd(int end) {
        if (fds_[end] >= 0) {
            ::close(fds_[end]);
            fds_[end] = -1;
        }
    }
    int fds_[2];
};

// Everything readable from `fd` until its end, on a thread of its own, so that writers never
// block on a full pipe or socket buffer.
class Drain {
public:
    explicit Drain(int fd)
        : thread_([this, fd] {
              char buffer[65536];
              ssize_t n = 0;
              while ((n = ::read(fd, buffer, sizeof buffer)) > 0) {
                  bytes_.append(buffer, static_cast<std::size_t>(n));
              }
          }) {}
    ~Drain() {
        if (thread_.joinable()) {
            thread_.join();
        }
    }
    Drain(const Drain&) = delete;
    Drain& operator=(const Drain&) = delete;

    const std::string& finish() {
        thread_.join();
        return bytes_;
    }

private:
    std::string bytes_;
    std::thread thread_;
};

// Standard error as the relays write it: a temporary file read back.
class Errors {
public:
    Errors() : file_(std::tmpfile()) {}
    ~Errors() { std::fclose(file_); }
    Errors(const Errors&) = delete;
    Errors& operator=(const Errors&) = delete;
    std::FILE* file() const { return file_; }
    std::string text() const {
        std::fflush(file_);
        std::rewind(file_);
        std::string result;
        char buffer[4096];
        std::size_t n = 0;
        while ((n = std::fread(buffer, 1, sizeof buffer, file_)) > 0) {
            result.append(buffer, n);
        }
        return result;
    }

private:
    std::FILE* file_;
};

std::string line(std::size_t size, char fill = 'x') {
    return std::string(size, fill);
}

TEST(BridgeRelay, TheApplicationsLinesReachStandardOutputAsTheyCame) {
    struct Case {
        const char* name;
        std::string fromApplication;
        std::string toClient;
        RelayEnd end;
        std::string errors;
    };
    const std::string longest = line(socket::kOutgoingMessageMaximum);
    const Case cases[] = {
        {"lines byte for byte, empty ones dropped, a carriage return kept",
         "{\"id\":1}\n\n\r\n{\"a\":\"\xc3\xa9\"}\r\n", "{\"id\":1}\n\r\n{\"a\":\"\xc3\xa9\"}\r\n",
         RelayEnd::closed, ""},
        {"a last line without a line feed is not relayed", "one\ntwo", "one\n", RelayEnd::closed,
         ""},
        {"a line of the largest size", longest + "\n", longest + "\n", RelayEnd::closed, ""},
        {"a line one byte too long ends the relay with a message, before anything after it",
         "first\n" + line(socket::kOutgoingMessageMaximum + 1) + "\nlater\n", "first\n",
         RelayEnd::failed, "Frameweaver MCP bridge output: MCP message exceeds the size limit\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SocketPair connection;
        Pipe output;
        Errors errors;
        PendingRequests pending;
        Drain client(output.read());
        std::thread application([&] {
            connection.sendFar(c.fromApplication);
            connection.closeFar();
        });
        MCPUnixSocketLineReader reader(connection.near());
        const RelayEnd end =
            relaySocketToStandardOutput(reader, output.write(), errors.file(), pending);
        application.join();
        output.closeWrite();
        EXPECT_EQ(client.finish(), c.toClient);
        EXPECT_EQ(end, c.end);
        EXPECT_EQ(errors.text(), c.errors);
    }
}

TEST(BridgeRelay, AFailedReadFromTheApplicationIsReportedAsAFailure) {
    Pipe output;
    Errors errors;
    PendingRequests pending;
    // A descriptor that cannot be read: EBADF.
    MCPUnixSocketLineReader reader(-1);
    EXPECT_EQ(relaySocketToStandardOutput(reader, output.write(), errors.file(), pending),
              RelayEnd::failed);
    EXPECT_EQ(errors.text(),
              "Frameweaver MCP bridge output: Unix socket error " + std::to_string(EBADF) + "\n");
}

TEST(BridgeRelay, AClosedStandardOutputIsThrownWithoutAMessage) {
    std::signal(SIGPIPE, SIG_IGN);
    SocketPair connection;
    Pipe output;
    Errors errors;
    PendingRequests pending;
    output.closeRead();
    ASSERT_TRUE(connection.sendFar("{\"id\":1}\n"));
    MCPUnixSocketLineReader reader(connection.near());
    try {
        relaySocketToStandardOutput(reader, output.write(), errors.file(), pending);
        FAIL() << "the write to a closed pipe succeeded";
    } catch (const SocketError& error) {
        EXPECT_EQ(error, SocketError::io(EPIPE));
        EXPECT_EQ(error.description(), "Unix socket error " + std::to_string(EPIPE));
    }
    EXPECT_EQ(errors.text(), "");
}

TEST(BridgeRelay, TheClientsLinesReachTheSocketAndItsEndHalfClosesIt) {
    struct Case {
        const char* name;
        std::string fromClient;
        std::string toApplication;
        std::string errors;
    };
    const std::string longest = line(socket::kIncomingLineMaximum);
    const Case cases[] = {
        {"lines byte for byte, empty ones dropped, the end of input silent",
         "{\"id\":1}\n\n\r\nlast-without-feed", "{\"id\":1}\n\r\n", ""},
        {"a line of the largest size", longest + "\n", longest + "\n", ""},
        {"a line one byte too long ends the direction with a message",
         "first\n" + line(socket::kIncomingLineMaximum + 1) + "\nlater\n", "first\n",
         "Frameweaver MCP bridge input: MCP message exceeds the size limit\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SocketPair connection;
        Pipe input;
        Errors errors;
        PendingRequests pending;
        // The application reads until the half-close ends its input.
        Drain application(connection.far());
        std::thread client([&] {
            socket::writeAllToStream(c.fromClient, input.write());
            input.closeWrite();
        });
        MCPUnixSocketLineReader reader(input.read());
        relayStandardInputToSocket(reader, connection.near(), errors.file(), pending);
        EXPECT_EQ(application.finish(), c.toApplication);
        client.join();
        EXPECT_EQ(errors.text(), c.errors);
        // Only the writing half is closed: the application can still answer.
        ASSERT_TRUE(connection.sendFar("answer\n"));
        EXPECT_EQ(socket::readLine(connection.near(), 100), "answer");
    }
}

TEST(BridgeRelay, AFailedSocketWriteEndsTheInputDirectionWithAMessage) {
    std::signal(SIGPIPE, SIG_IGN);
    SocketPair connection;
    Pipe input;
    Errors errors;
    PendingRequests pending;
    connection.closeFar();
    ASSERT_EQ(::write(input.write(), "{\"id\":1}\n", 9), 9);
    MCPUnixSocketLineReader reader(input.read());
    relayStandardInputToSocket(reader, connection.near(), errors.file(), pending);
    EXPECT_EQ(errors.text(),
              "Frameweaver MCP bridge input: Unix socket error " + std::to_string(EPIPE) + "\n");
}

// The application's end of stream is a failure while a request relayed to it is unanswered: it
// crashed or was killed, and the client must not take that for a finished conversation.
TEST(BridgeRelay, AnEndWithARelayedRequestUnansweredIsAFailure) {
    struct Case {
        const char* name;
        std::string fromClient;
        std::string fromApplication;
        RelayEnd end;
        std::string errors;
    };
    const std::string unansweredOne =
        "Frameweaver MCP bridge output: The Frameweaver app closed the connection before "
        "answering a request; it may have quit or crashed.\n";
    const Case cases[] = {
        {"every request answered, by a result and by an error",
         "{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"tools/list\"}\n"
         "{\"jsonrpc\":\"2.0\",\"id\":\"b\",\"method\":\"nope\"}\n",
         "{\"jsonrpc\":\"2.0\",\"id\":1,\"result\":{}}\n"
         "{\"jsonrpc\":\"2.0\",\"id\":\"b\",\"error\":{\"code\":-32601,\"message\":\"x\"}}\n",
         RelayEnd::closed, ""},
        {"nothing asked",
         "{\"jsonrpc\":\"2.0\",\"method\":\"notifications/initialized\"}\nnot json\n",
         "{\"jsonrpc\":\"2.0\",\"method\":\"notifications/tools/list_changed\"}\n",
         RelayEnd::closed, ""},
        {"the one request unanswered", "{\"jsonrpc\":\"2.0\",\"id\":7,\"method\":\"tools/call\"}\n",
         "", RelayEnd::failed, unansweredOne},
        {"an answer to another identifier does not count (1 is not \"1\")",
         "{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"ping\"}\n",
         "{\"jsonrpc\":\"2.0\",\"id\":\"1\",\"result\":{}}\n", RelayEnd::failed, unansweredOne},
        {"two of three unanswered",
         "{\"id\":1,\"method\":\"a\"}\n{\"id\":2,\"method\":\"b\"}\n{\"id\":3,\"method\":\"c\"}\n",
         "{\"id\":2,\"result\":{}}\n", RelayEnd::failed,
         "Frameweaver MCP bridge output: The Frameweaver app closed the connection before "
         "answering 2 requests; it may have quit or crashed.\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PendingRequests pending;
        Errors errors;
        {
            // The client's lines go to the application first, which reads them all.
            SocketPair connection;
            Pipe input;
            Drain application(connection.far());
            socket::writeAllToStream(c.fromClient, input.write());
            input.closeWrite();
            MCPUnixSocketLineReader reader(input.read());
            relayStandardInputToSocket(reader, connection.near(), errors.file(), pending);
            EXPECT_EQ(application.finish(), c.fromClient);
        }
        // Then the application answers what it answers and closes the connection.
        SocketPair connection;
        Pipe output;
        Drain client(output.read());
        ASSERT_TRUE(connection.sendFar(c.fromApplication));
        connection.closeFar();
        MCPUnixSocketLineReader reader(connection.near());
        EXPECT_EQ(relaySocketToStandardOutput(reader, output.write(), errors.file(), pending),
                  c.end);
        output.closeWrite();
        EXPECT_EQ(client.finish(), c.fromApplication);
        EXPECT_EQ(errors.text(), c.errors);
    }
}

}  // namespace
}  // namespace fw::bridge
