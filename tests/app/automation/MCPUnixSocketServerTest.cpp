// The socket server over real sockets with the real peer check and handshake. This test program
// is signed as the companion, and each test's bundle names it as its "frameweaver-mcp", so the
// connections it makes itself pass the check; runs of many connections use the small signed
// companion_peer program instead.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/asio/use_future.hpp>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <latch>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "LocalAutomation/MCPPeerIdentity.h"
#include "LocalAutomation/MCPUnixSocket.h"
#include "LocalAutomation/MCPUnixSocketLineReader.h"
#include "MCP/Messages/Tools.h"
#include "MCP/Server/Server.h"
#include "app/automation/AcceptLoop.h"
#include "app/automation/MCPUnixSocketServer.h"
#include "bridge/BridgeConnection.h"
#include "tests/LocalAutomation/SocketTestSupport.h"
#include "tests/support/TestDirectory.h"

extern char** environ;

namespace fw::automation {
namespace {

namespace asio = boost::asio;
namespace fs = std::filesystem;
using namespace std::chrono_literals;
using fw::testing::TestDirectory;
using Clock = std::chrono::steady_clock;

constexpr auto kLimit = 30s;  // generous: ASan on a loaded machine

int countEntries(const char* directory) {
    int count = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(directory)) {
        ++count;
    }
    return count;
}
int openDescriptors() {
    return countEntries("/proc/self/fd");
}
int runningThreads() {
    return countEntries("/proc/self/task");
}

// What is open and running, for a failure message: each descriptor's target and each
// thread's name.
std::string openResources() {
    std::string text = "descriptors:";
    for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        text += " " + entry.path().filename().string() + "->" +
                fs::read_symlink(entry.path(), error).string();
    }
    text += "; threads:";
    for (const auto& entry : fs::directory_iterator("/proc/self/task")) {
        std::ifstream comm(entry.path() / "comm");
        std::string name;
        std::getline(comm, name);
        text += " " + name;
    }
    return text;
}

// The sockets and the lock file open in this process without close-on-exec.
std::vector<std::string> inheritableDescriptors(const fs::path& lockPath) {
    std::vector<std::string> found;
    for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        const std::string target = fs::read_symlink(entry.path(), error).string();
        const int fd = std::atoi(entry.path().filename().c_str());
        const int flags = ::fcntl(fd, F_GETFD);
        if ((target.rfind("socket:", 0) == 0 || target == lockPath.native()) && flags >= 0 &&
            (flags & FD_CLOEXEC) == 0) {
            found.push_back(std::to_string(fd) + " " + target);
        }
    }
    return found;
}

// Polls `condition` until it holds or the limit passes.
template <class Condition>
bool eventually(Condition condition, std::chrono::milliseconds limit = kLimit) {
    const auto deadline = Clock::now() + limit;
    while (!condition()) {
        if (Clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

// What the server reported.
class Reports {
public:
    void connections(std::uint64_t generation, int count) {
        std::lock_guard guard(mutex_);
        counts_.push_back({generation, count});
        changed_.notify_all();
    }
    void loopEnded(std::uint64_t generation, const SocketError& error) {
        std::lock_guard guard(mutex_);
        loopEnds_.push_back({generation, error});
        changed_.notify_all();
    }

    // Waits until the last reported count is `count`.
    bool reachesCount(int count) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, kLimit, [&] {
            return !counts_.empty() && counts_.back().second == count;
        });
    }
    bool loopEndReported() {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, kLimit, [&] { return !loopEnds_.empty(); });
    }
    std::vector<std::pair<std::uint64_t, int>> counts() const {
        std::lock_guard guard(mutex_);
        return counts_;
    }
    std::vector<std::pair<std::uint64_t, SocketError>> loopEnds() const {
        std::lock_guard guard(mutex_);
        return loopEnds_;
    }
    int highest() const {
        std::lock_guard guard(mutex_);
        int highest = 0;
        for (const auto& [generation, count] : counts_) {
            highest = std::max(highest, count);
        }
        return highest;
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::pair<std::uint64_t, int>> counts_;
    std::vector<std::pair<std::uint64_t, SocketError>> loopEnds_;
};

// One connection to the server, with this process playing the companion.
class Companion {
public:
    explicit Companion(const fs::path& socket)
        : fd_(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)), reader_(fd_) {
        const int result = MCPUnixSocket::withSocketAddress(
            socket.native(),
            [&](const sockaddr* address, socklen_t length) { return ::connect(fd_, address, length); });
        connected_ = result == 0;
        MCPUnixSocket::configure(fd_, true, kLimit);
    }
    ~Companion() { ::close(fd_); }
    Companion(const Companion&) = delete;
    Companion& operator=(const Companion&) = delete;

    bool connected() const { return connected_; }

    // The first line the server writes, or "<closed>" when it closes the connection first, or
    // "<error N>".
    std::string firstLine() {
        try {
            return MCPUnixSocket::readLine(fd_, MCPUnixSocket::kHandshakeLineMaximum);
        } catch (const SocketError& error) {
            return error.code() == 0 ? "<closed>" : "<error " + std::to_string(error.code()) + ">";
        }
    }
    // Reads the handshake line and echoes it.
    bool handshake() {
        if (firstLine() != MCPUnixSocket::handshakeText) {
            return false;
        }
        MCPUnixSocket::writeAll(MCPUnixSocket::helloLine, fd_);
        return true;
    }
    // True when the server closes the connection with nothing more written.
    bool closedSilently() {
        char byte = 0;
        ssize_t result = 0;
        do {
            result = ::read(fd_, &byte, 1);
        } while (result < 0 && errno == EINTR);
        return result == 0;
    }
    void write(std::string_view bytes) { MCPUnixSocket::writeAll(bytes, fd_); }
    // Sends one request line and reads the answer line.
    std::string call(const std::string& request) {
        write(request + "\n");
        try {
            return reader_.nextLine(MCPUnixSocket::kOutgoingMessageMaximum);
        } catch (const SocketError& error) {
            return "<" + error.description() + ">";
        }
    }
    bool pings() {
        return call(R"({"jsonrpc":"2.0","id":1,"method":"ping"})") ==
               R"({"id":1,"jsonrpc":"2.0","result":{}})";
    }

private:
    int fd_;
    bool connected_ = false;
    MCPUnixSocketLineReader reader_;
};

class SocketServerTest : public ::testing::Test {
protected:
    SocketServerTest() {
        fs::create_directories(bundle / "Contents/MacOS");
        fs::create_directories(container);
        nameCompanion(fs::canonical("/proc/self/exe"));
        socketPath = MCPPeerIdentity::socketURL(bundle, container);
        lockPath = MCPPeerIdentity::lockFileURL(socketPath);
    }
    ~SocketServerTest() override {
        if (server) {
            try {
                stop(*server);
            } catch (const std::exception& error) {
                ADD_FAILURE() << error.what();
            }
            server.reset();
        }
        pool.join();
    }

    // Makes `program` the companion executable of the test's bundle.
    void nameCompanion(const fs::path& program) {
        const fs::path link = MCPPeerIdentity::bridgeExecutableURL(bundle);
        fs::remove(link);
        fs::create_symlink(program, link);
    }

    std::unique_ptr<MCPUnixSocketServer> makeServer(
        MCPUnixSocketServer::SessionSetup setup = {}) {
        return std::make_unique<MCPUnixSocketServer>(
            pool.get_executor(),
            [this](std::uint64_t generation, int count) { reports.connections(generation, count); },
            [this](std::uint64_t generation, const SocketError& error) {
                reports.loopEnded(generation, error);
            },
            std::move(setup),
            MCPUnixSocketServer::Location{.appBundleURL = bundle, .container = container});
    }

    template <class T>
    T run(asio::awaitable<T> operation) {
        auto future = asio::co_spawn(pool, std::move(operation), asio::use_future);
        if (future.wait_for(kLimit) != std::future_status::ready) {
            throw std::runtime_error("the operation did not complete");
        }
        return future.get();
    }
    std::uint64_t start(MCPUnixSocketServer& s) { return run(s.start()); }
    // Returns once both pool threads have finished what they were running: a pool thread
    // releases a finished operation's completion after its caller already has the result.
    void drainPool() {
        std::latch bothHere(2);
        std::latch bothDone(2);
        for (int i = 0; i < 2; ++i) {
            asio::post(pool, [&] {
                bothHere.arrive_and_wait();
                bothDone.count_down();
            });
        }
        bothDone.wait();
    }
    void stop(MCPUnixSocketServer& s) { run(s.stop()); }
    std::optional<SocketError> startFailure(MCPUnixSocketServer& s) {
        try {
            start(s);
        } catch (const SocketError& error) {
            return error;
        }
        return std::nullopt;
    }

    // Connects until a connection is admitted (a slot comes back only once the socket of an
    // ended connection is really closed) and completes its handshake.
    std::unique_ptr<Companion> admittedCompanion() {
        std::unique_ptr<Companion> companion;
        eventually([&] {
            companion = std::make_unique<Companion>(socketPath);
            return companion->handshake();
        });
        return companion;
    }

    static bool isSocket(const fs::path& path) {
        struct stat status {};
        return ::lstat(path.c_str(), &status) == 0 && S_ISSOCK(status.st_mode);
    }

    TestDirectory directory;
    fs::path bundle = directory / "Frameweaver.app";
    fs::path container = directory / "group";
    fs::path socketPath;
    fs::path lockPath;
    asio::thread_pool pool{2};
    Reports reports;
    std::unique_ptr<MCPUnixSocketServer> server;
};

TEST_F(SocketServerTest, ListensServesTheSessionAndStopsLeavingTheLockFile) {
    std::mutex mutex;
    std::vector<MCPUnixSocketServer::OpenTest> openTests;
    server = makeServer([&](mcp::Server& session, MCPUnixSocketServer::OpenTest isOpen) {
        session.withMethodHandler<mcp::ListTools>(
            [](mcp::ListTools::Parameters) -> asio::awaitable<mcp::ListTools::Result> {
                mcp::ListTools::Result result;
                result.tools.push_back(mcp::Tool{.name = "probe"});
                co_return result;
            });
        std::lock_guard guard(mutex);
        openTests.push_back(std::move(isOpen));
    });
    stop(*server);  // idle: nothing happens
    EXPECT_TRUE(reports.counts().empty());

    const std::uint64_t run = start(*server);
    EXPECT_EQ(start(*server), run) << "a second start while listening changes nothing";
    struct stat status {};
    ASSERT_EQ(::lstat(socketPath.c_str(), &status), 0);
    EXPECT_TRUE(S_ISSOCK(status.st_mode));
    EXPECT_EQ(status.st_mode & 0777, 0600u);
    ASSERT_EQ(::lstat(lockPath.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0600u);

    Companion companion(socketPath);
    ASSERT_TRUE(companion.handshake());
    const std::string initialized = companion.call(
        R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":"2025-06-18","capabilities":{},"clientInfo":{"name":"test","version":"1"}}})");
    EXPECT_NE(initialized.find(R"("serverInfo":{"name":"Frameweaver","version":"1.0.0"})"),
              std::string::npos)
        << initialized;
    EXPECT_NE(initialized.find(R"("capabilities":{"tools":{}})"), std::string::npos)
        << initialized;
    companion.write(R"({"jsonrpc":"2.0","method":"notifications/initialized"})"
                    "\n");
    const std::string tools = companion.call(R"({"jsonrpc":"2.0","id":2,"method":"tools/list"})");
    EXPECT_NE(tools.find(R"("name":"probe")"), std::string::npos) << tools;
    {
        std::lock_guard guard(mutex);
        ASSERT_EQ(openTests.size(), 1u);
        EXPECT_TRUE(openTests[0]());
    }
    EXPECT_TRUE(reports.reachesCount(1));
    EXPECT_EQ(inheritableDescriptors(lockPath), std::vector<std::string>{});

    stop(*server);
    EXPECT_TRUE(companion.closedSilently());
    EXPECT_EQ(reports.counts().back(), std::make_pair(run, 0));
    EXPECT_FALSE(openTests[0]());
    EXPECT_FALSE(fs::exists(fs::symlink_status(socketPath)));
    EXPECT_TRUE(fs::exists(lockPath));

    const std::uint64_t next = start(*server);
    EXPECT_GT(next, run);
    EXPECT_TRUE(admittedCompanion() != nullptr);
    stop(*server);  // before the setup's state goes away
}

TEST_F(SocketServerTest, SocketLeftByAKilledInstanceIsRemovedAtTheNextStart) {
    // A previous instance: it holds the lock and listens, and is killed without a chance to
    // clean up. Everything the child does is prepared before fork().
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
    const std::string lock = lockPath.string();
    int ready[2] = {-1, -1};
    ASSERT_EQ(::pipe2(ready, O_CLOEXEC), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const int lockFd = ::open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        char ok = (lockFd >= 0 && ::flock(lockFd, LOCK_EX | LOCK_NB) == 0 &&
                   ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                   ::listen(fd, 16) == 0)
                      ? 1
                      : 0;
        (void)!::write(ready[1], &ok, 1);
        ::pause();
        ::_exit(0);
    }
    ::close(ready[1]);
    char ok = 0;
    ASSERT_EQ(::read(ready[0], &ok, 1), 1);
    ::close(ready[0]);
    ASSERT_EQ(ok, 1);
    server = makeServer();
    EXPECT_EQ(startFailure(*server), SocketError::io(EWOULDBLOCK))
        << "the living instance holds the lock";

    ::kill(child, SIGKILL);
    ASSERT_EQ(::waitpid(child, nullptr, 0), child);
    struct stat stale {};
    ASSERT_EQ(::lstat(socketPath.c_str(), &stale), 0) << "the killed instance left its socket";

    start(*server);
    // The stale file refused connections; the one there now answers.
    EXPECT_TRUE(admittedCompanion() != nullptr);
}

TEST_F(SocketServerTest, SecondInstanceIsRefusedAndTheFirstListensOn) {
    server = makeServer();
    start(*server);
    auto second = makeServer();
    EXPECT_EQ(startFailure(*second), SocketError::io(EWOULDBLOCK));
    second.reset();
    EXPECT_TRUE(isSocket(socketPath));
    EXPECT_TRUE(admittedCompanion() != nullptr);
}

// Another process listens on the path without the lock: the start fails and leaves its socket
// alone, also when that listener's backlog is full (the probe must not wait for room in it).
TEST_F(SocketServerTest, ForeignListenerIsRefusedWithoutWaiting) {
    for (const bool backlogFull : {false, true}) {
        SCOPED_TRACE(backlogFull ? "backlog full" : "backlog free");
        const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ASSERT_EQ(MCPUnixSocket::withSocketAddress(socketPath.native(),
                                                   [&](const sockaddr* a, socklen_t l) {
                                                       return ::bind(listener, a, l);
                                                   }),
                  0);
        ASSERT_EQ(::listen(listener, 0), 0);
        std::vector<int> queued;
        while (backlogFull) {
            const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
            queued.push_back(fd);
            const int result = MCPUnixSocket::withSocketAddress(
                socketPath.native(),
                [&](const sockaddr* a, socklen_t l) { return ::connect(fd, a, l); });
            if (result != 0) {
                ASSERT_EQ(errno, EAGAIN);
                break;
            }
        }
        server = makeServer();
        const auto before = Clock::now();
        EXPECT_EQ(startFailure(*server), SocketError::io(EADDRINUSE));
        EXPECT_LT(Clock::now() - before, 5s);
        EXPECT_TRUE(isSocket(socketPath));
        server.reset();
        for (int fd : queued) {
            ::close(fd);
        }
        ::close(listener);
        fs::remove(socketPath);
    }
}

TEST_F(SocketServerTest, SomethingElseAtTheSocketPathIsLeftAlone) {
    std::ofstream(socketPath) << "not a socket";
    server = makeServer();
    EXPECT_EQ(startFailure(*server), SocketError::io(EEXIST));
    std::ifstream file(socketPath);
    std::string text;
    std::getline(file, text);
    EXPECT_EQ(text, "not a socket");
    // The failed start released the lock again.
    fs::remove(socketPath);
    start(*server);
}

TEST_F(SocketServerTest, StopRemovesTheSocketFileOnlyWhileItIsOurs) {
    server = makeServer();
    start(*server);
    fs::path moved = socketPath;
    moved += ".moved";
    fs::rename(socketPath, moved);
    const int replacement = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(MCPUnixSocket::withSocketAddress(
                  socketPath.native(),
                  [&](const sockaddr* a, socklen_t l) { return ::bind(replacement, a, l); }),
              0);
    stop(*server);
    EXPECT_TRUE(isSocket(socketPath)) << "another process's socket stays";
    EXPECT_TRUE(isSocket(moved));
    ::close(replacement);
}

TEST_F(SocketServerTest, SixtyFourClientsAtOnceAdmitSixteen) {
    server = makeServer();
    start(*server);
    std::vector<std::unique_ptr<Companion>> companions;
    for (int i = 0; i < 64; ++i) {
        companions.push_back(std::make_unique<Companion>(socketPath));
        ASSERT_TRUE(companions.back()->connected());
    }
    std::vector<Companion*> admitted;
    int refused = 0;
    for (auto& companion : companions) {
        const std::string line = companion->firstLine();
        if (line == MCPUnixSocket::handshakeText) {
            admitted.push_back(companion.get());
        } else {
            // Told why, so the companion can tell its user.
            EXPECT_EQ(line, MCPUnixSocket::busyText);
            ++refused;
        }
    }
    EXPECT_EQ(admitted.size(), 16u);
    EXPECT_EQ(refused, 48);
    for (Companion* companion : admitted) {
        companion->write(MCPUnixSocket::helloLine);
    }
    for (Companion* companion : admitted) {
        EXPECT_TRUE(companion->pings());
    }
    EXPECT_TRUE(reports.reachesCount(16));
    Companion overLimit(socketPath);
    EXPECT_EQ(overLimit.firstLine(), MCPUnixSocket::busyText);

    // One ends; once its socket is gone its slot serves a new connection.
    auto ended = std::find_if(companions.begin(), companions.end(),
                              [&](const auto& c) { return c.get() == admitted.front(); });
    ended->reset();
    EXPECT_TRUE(reports.reachesCount(15));
    auto next = admittedCompanion();
    ASSERT_NE(next, nullptr);
    EXPECT_TRUE(next->pings());
    EXPECT_TRUE(reports.reachesCount(16));
    EXPECT_LE(reports.highest(), 16);
}

TEST_F(SocketServerTest, SilentClientsAreDroppedAfterFiveSecondsAndTheirSlotsReused) {
    server = makeServer();
    start(*server);
    std::vector<std::unique_ptr<Companion>> silent;
    // The peer check hashes this large test program once per connection, which takes seconds
    // on a loaded machine: the first silent client may be dropped before the last one is in,
    // so the timing is taken on the last one, and no count of 16 is awaited here.
    auto lastConnectedAt = Clock::now();
    for (int i = 0; i < 16; ++i) {
        lastConnectedAt = Clock::now();
        silent.push_back(std::make_unique<Companion>(socketPath));
        ASSERT_EQ(silent.back()->firstLine(), MCPUnixSocket::handshakeText);
    }
    for (auto& companion : silent) {
        EXPECT_TRUE(companion->closedSilently());
    }
    const auto waited = Clock::now() - lastConnectedAt;
    EXPECT_GE(waited, 4500ms);
    EXPECT_LT(waited, 20s);
    for (const auto& [run, count] : reports.counts()) {
        EXPECT_LE(count, 16);
    }
    EXPECT_TRUE(reports.reachesCount(0));
    silent.clear();

    // A wrong echo is dropped at once: the count goes up by one and down by one.
    const std::size_t before = reports.counts().size();
    {
        Companion wrong(socketPath);
        ASSERT_EQ(wrong.firstLine(), MCPUnixSocket::handshakeText);
        wrong.write("FWV-MCP/2\n");
        EXPECT_TRUE(wrong.closedSilently());
    }
    EXPECT_TRUE(reports.reachesCount(0));
    const auto counts = reports.counts();
    ASSERT_GE(counts.size(), before + 2);
    EXPECT_EQ(counts[before].second, 1);
    EXPECT_EQ(counts[before + 1].second, 0);

    std::vector<std::unique_ptr<Companion>> again;
    for (int i = 0; i < 16; ++i) {
        again.push_back(admittedCompanion());
        ASSERT_NE(again.back(), nullptr);
    }
    for (auto& companion : again) {
        EXPECT_TRUE(companion->pings());
    }
    EXPECT_TRUE(reports.reachesCount(16));
}

TEST_F(SocketServerTest, StopWithSixteenLiveSessionsReportsZeroOnce) {
    server = makeServer();
    const std::uint64_t run = start(*server);
    std::vector<std::unique_ptr<Companion>> companions;
    for (int i = 0; i < 16; ++i) {
        companions.push_back(admittedCompanion());
        ASSERT_NE(companions.back(), nullptr);
        ASSERT_TRUE(companions.back()->pings());
    }
    EXPECT_TRUE(reports.reachesCount(16));
    const std::size_t before = reports.counts().size();

    stop(*server);
    for (auto& companion : companions) {
        EXPECT_TRUE(companion->closedSilently());
    }
    // A second stop runs after every close the first one caused has reached the server.
    stop(*server);
    const auto counts = reports.counts();
    ASSERT_EQ(counts.size(), before + 1);
    EXPECT_EQ(counts.back(), std::make_pair(run, 0));
    EXPECT_TRUE(fs::exists(lockPath));
    EXPECT_FALSE(fs::exists(fs::symlink_status(socketPath)));
}

TEST_F(SocketServerTest, StopDuringAHandshakeClosesItAndReportsZeroOnce) {
    server = makeServer();
    const std::uint64_t run = start(*server);
    Companion companion(socketPath);
    ASSERT_EQ(companion.firstLine(), MCPUnixSocket::handshakeText);
    EXPECT_TRUE(reports.reachesCount(1));
    const std::size_t before = reports.counts().size();

    stop(*server);
    EXPECT_TRUE(companion.closedSilently());
    stop(*server);
    const auto counts = reports.counts();
    ASSERT_EQ(counts.size(), before + 1);
    EXPECT_EQ(counts.back(), std::make_pair(run, 0));
    EXPECT_GT(start(*server), run) << "the server starts again after a stop";
}

TEST_F(SocketServerTest, ServerDestroyedWhileListeningStopsWithoutReporting) {
    server = makeServer();
    start(*server);
    Companion companion(socketPath);
    ASSERT_TRUE(companion.handshake());
    ASSERT_TRUE(companion.pings());
    const std::size_t before = reports.counts().size();

    server.reset();
    EXPECT_TRUE(companion.closedSilently());
    EXPECT_TRUE(eventually([&] { return !fs::exists(fs::symlink_status(socketPath)); }));
    auto next = makeServer();
    EXPECT_TRUE(eventually([&] { return !startFailure(*next); })) << "the lock comes free";
    EXPECT_EQ(reports.counts().size(), before) << "no report after the owner let go";
    server = std::move(next);
}

// The handshake itself over a socket pair, this process (the test bundle's companion) at both
// ends: a reply is taken only when it comes after the hello and complete before the deadline,
// which bounds the whole reply, not each read.
TEST_F(SocketServerTest, TheHandshakeTakesAPromptReplyAndRefusesAnEarlyOrTricklingOne) {
    struct Case {
        const char* name;
        bool early;                       // the reply is written before the hello
        std::chrono::milliseconds pace;   // between the reply's bytes
        std::chrono::milliseconds limit;  // for the peer's part
        bool accepted;
    };
    const Case cases[] = {
        {"a prompt reply", false, 0ms, kLimit, true},
        {"a reply written before the hello", true, 0ms, kLimit, false},
        {"a reply trickling in past the deadline", false, 150ms, 600ms, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        testing::SocketPair pair;
        MCPUnixSocket::configure(pair.near(), true);
        const MCPUnixSocketHandle connection(pair.releaseNear());
        if (c.early) {
            ASSERT_TRUE(pair.sendFar(std::string(MCPUnixSocket::helloLine)));
        }
        std::thread peer([&] {
            try {
                if (MCPUnixSocket::readLine(pair.far(), MCPUnixSocket::kHandshakeLineMaximum) !=
                        MCPUnixSocket::handshakeText ||
                    c.early) {
                    return;
                }
                for (const char byte : MCPUnixSocket::helloLine) {
                    std::this_thread::sleep_for(c.pace);
                    if (!pair.sendFar(std::string(1, byte))) {
                        return;
                    }
                }
            } catch (const SocketError&) {
            }
        });
        EXPECT_EQ(performHandshake(connection, bundle, c.limit), c.accepted);
        ::shutdown(pair.far(), SHUT_RDWR);
        peer.join();
    }
}

// The echo must be the handshake line byte for byte, and complete, within the limit.
TEST_F(SocketServerTest, TheHandshakeAcceptsOnlyTheExactEcho) {
    struct Case {
        const char* name;
        std::string reply;
        std::chrono::milliseconds limit;
        bool accepted;
    };
    const Case cases[] = {
        {"exact echo", "FWV-MCP/1\n", kLimit, true},
        {"carriage return", "FWV-MCP/1\r\n", kLimit, false},
        {"other version", "FWV-MCP/2\n", kLimit, false},
        {"trailing blank", "FWV-MCP/1 \n", kLimit, false},
        {"33 bytes without a line feed", std::string(33, 'F'), kLimit, false},
        {"32 bytes and a line feed", std::string(32, 'F') + "\n", kLimit, false},
        {"silence", "", 500ms, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        testing::SocketPair pair;
        MCPUnixSocket::configure(pair.near(), true);
        const MCPUnixSocketHandle connection(pair.releaseNear());
        std::thread peer([&] {
            try {
                if (MCPUnixSocket::readLine(pair.far(), MCPUnixSocket::kHandshakeLineMaximum) ==
                    MCPUnixSocket::handshakeText) {
                    pair.sendFar(c.reply);
                }
            } catch (const SocketError&) {
            }
        });
        EXPECT_EQ(performHandshake(connection, bundle, c.limit), c.accepted);
        ::shutdown(pair.far(), SHUT_RDWR);
        peer.join();
    }
}

// Both real halves over a real socket in a private folder: the application's handshake (with
// its check of this program as the companion) and the companion's connection attempt, which
// ends with a descriptor ready for relaying. (The companion's check of the application is left
// out: this program is signed as the companion only.)
TEST_F(SocketServerTest, TheApplicationsAndTheCompanionsHandshakesMeet) {
    TestDirectory folder;
    const std::string path = folder.path("app.sock");
    const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(MCPUnixSocket::withSocketAddress(
                  path, [&](const sockaddr* a, socklen_t l) { return ::bind(listener, a, l); }),
              0);
    ASSERT_EQ(::listen(listener, 1), 0);
    std::optional<int> companionEnd;
    std::string failure;
    std::thread companion([&] {
        try {
            companionEnd = bridge::attemptConnection(
                path, bridge::monotonicNow() + 7'000'000'000u, [](int) {});
        } catch (const std::exception& error) {
            failure = error.what();
        }
    });
    const int accepted = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    ASSERT_GE(accepted, 0);
    MCPUnixSocket::configure(accepted, true);
    const MCPUnixSocketHandle connection(accepted);
    EXPECT_TRUE(performHandshake(connection, bundle, kLimit));
    companion.join();
    ::close(listener);
    ASSERT_TRUE(companionEnd) << failure;
    // What the companion relays next arrives as the first message.
    MCPUnixSocket::writeAll("{}\n", *companionEnd);
    EXPECT_EQ(MCPUnixSocket::readLine(accepted, 8), "{}");
    MCPUnixSocket::close(*companionEnd);
}

// A peer that fails the code-signing check is told so in place of the hello, then closed, so a
// companion of another build or installation can name the reason to its user.
TEST_F(SocketServerTest, APeerThatFailsItsCheckIsToldItWasRefused) {
    nameCompanion(FW_COMPANION_PEER);  // this test program is not the companion any more
    server = makeServer();
    start(*server);
    Companion impostor(socketPath);
    ASSERT_TRUE(impostor.connected());
    EXPECT_EQ(impostor.firstLine(), MCPUnixSocket::refusedText);
    EXPECT_TRUE(impostor.closedSilently());
    EXPECT_TRUE(reports.reachesCount(0));
}

// The peer is checked at connect time by its process id; a genuine companion can connect and
// then hand the socket to other code, which does the handshake and would have the session. The
// server checks every other process that writes the handshake reply too. Here the genuine
// (signed) companion_peer connects and starts Python, which is not the companion, with the
// socket; Python exits 0 only when the server answers its ping.
TEST_F(SocketServerTest, AHandshakeReplyWrittenByOtherCodeIsRefused) {
    nameCompanion(FW_COMPANION_PEER);
    server = makeServer();
    start(*server);
    const std::string script = R"(
import os, sys
def line():
    text = b""
    while not text.endswith(b"\n"):
        try:
            byte = os.read(3, 1)
        except ConnectionResetError:
            return None
        if not byte:
            return None
        text += byte
    return text
if line() != b"FWV-MCP/1\n":
    sys.exit(3)
os.write(3, b"FWV-MCP/1\n")
os.write(3, b'{"jsonrpc":"2.0","id":1,"method":"ping"}\n')
sys.exit(0 if line() else 4)
)";
    std::vector<std::string> command = {FW_COMPANION_PEER,  "handover", socketPath.string(),
                                        "/usr/bin/python3", "-c",       script};
    std::vector<char*> argv;
    for (std::string& argument : command) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    pid_t child = -1;
    ASSERT_EQ(::posix_spawn(&child, argv[0], nullptr, nullptr, argv.data(), environ), 0);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    // 0: the ping was answered; 4: refused after the reply.
    EXPECT_EQ(WEXITSTATUS(status), 4) << "0: the other code got a session; else a failure";
    EXPECT_TRUE(reports.reachesCount(0));
}

// A handshake thread that ends while the server goes may hold the server's core for a moment,
// and the core owns a strand of the executor. The server joins its threads, so none of them is
// still running, or left to let go of the core, once the server is gone and its pool with it:
// the thread count is checked right after the server's destruction, with no waiting.
TEST_F(SocketServerTest, NoThreadOfTheServerOutlivesItOrItsPool) {
    for (const bool stoppedFirst : {true, false}) {
        SCOPED_TRACE(stoppedFirst ? "stopped, then destroyed" : "destroyed while listening");
        for (int round = 0; round < 10; ++round) {
            auto own = std::make_unique<asio::thread_pool>(1);
            const int threads = runningThreads();
            auto served = std::make_unique<MCPUnixSocketServer>(
                own->get_executor(), [](std::uint64_t, int) {},
                [](std::uint64_t, const SocketError&) {}, MCPUnixSocketServer::SessionSetup{},
                MCPUnixSocketServer::Location{.appBundleURL = bundle, .container = container});
            auto started = asio::co_spawn(*own, served->start(), asio::use_future);
            ASSERT_EQ(started.wait_for(kLimit), std::future_status::ready);
            started.get();
            {
                // The handshake's verdict races with the teardown below.
                Companion companion(socketPath);
                ASSERT_TRUE(companion.handshake());
                if (stoppedFirst) {
                    auto stopped = asio::co_spawn(*own, served->stop(), asio::use_future);
                    ASSERT_EQ(stopped.wait_for(kLimit), std::future_status::ready);
                }
                served.reset();
                EXPECT_EQ(runningThreads(), threads) << openResources();
            }
            own->join();
            own.reset();
        }
    }
}

TEST_F(SocketServerTest, ThousandConnectionsAndHundredRestartsLeaveNothingBehind) {
    nameCompanion(FW_COMPANION_PEER);
    server = makeServer();
    const int idleDescriptors = openDescriptors();
    const int idleThreads = runningThreads();
    start(*server);
    const int descriptors = openDescriptors();
    const int threads = runningThreads();

    std::string program = FW_COMPANION_PEER;
    std::string mode = "cycles";
    std::string socket = socketPath.string();
    std::string count = "1000";
    char* argv[] = {program.data(), mode.data(), socket.data(), count.data(), nullptr};
    pid_t child = -1;
    ASSERT_EQ(::posix_spawn(&child, program.c_str(), nullptr, nullptr, argv, environ), 0);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_TRUE(reports.reachesCount(0));
    EXPECT_LE(reports.highest(), 16);
    EXPECT_TRUE(eventually([&] {
        return openDescriptors() == descriptors && runningThreads() == threads;
    })) << "expected " << descriptors << " descriptors and " << threads << " threads; "
        << openResources();

    stop(*server);
    // Each run's accept loop ends within a poll interval of its stop.
    for (int i = 0; i < 100; ++i) {
        start(*server);
        stop(*server);
    }
    EXPECT_TRUE(eventually([&] {
        return openDescriptors() == idleDescriptors && runningThreads() == idleThreads;
    })) << "expected " << idleDescriptors << " descriptors and " << idleThreads << " threads; "
        << openResources();
    EXPECT_TRUE(fs::exists(lockPath));
    EXPECT_FALSE(fs::exists(fs::symlink_status(socketPath)));
}

// The descriptor of the socket listening at `path`, found through the kernel's table of Unix
// sockets (fields: slot, references, protocol, flags, type, state, inode, path; a listening
// socket carries the flag 0x10000).
int listeningDescriptor(const fs::path& path) {
    std::ifstream table("/proc/net/unix");
    std::string line;
    std::string inode;
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, references, protocol, flags, type, state, number, name;
        if (fields >> slot >> references >> protocol >> flags >> type >> state >> number >> name &&
            name == path.native() && flags == "00010000") {
            inode = number;
        }
    }
    for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        if (!inode.empty() &&
            fs::read_symlink(entry.path(), error).string() == "socket:[" + inode + "]") {
            return std::stoi(entry.path().filename().string());
        }
    }
    return -1;
}

TEST_F(SocketServerTest, AcceptFailuresThatPassAreWaitedOutAndOthersReported) {
    server = makeServer();
    const std::uint64_t run = start(*server);
    // Nothing of ours may run on the pool while descriptors are out: the sanitizers' own
    // memory checks need descriptors too, and report false errors without them.
    drainPool();

    // Out of descriptors: the connection waits in the backlog until there are some again.
    const int starved = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    MCPUnixSocket::configure(starved, true, kLimit);
    rlimit limit{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limit), 0);
    const int lowestFree = ::dup(0);
    ::close(lowestFree);
    rlimit lowered = limit;
    lowered.rlim_cur = static_cast<rlim_t>(lowestFree);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &lowered), 0);
    const int connected = MCPUnixSocket::withSocketAddress(
        socketPath.native(), [&](const sockaddr* a, socklen_t l) { return ::connect(starved, a, l); });
    // Long enough for several refused accepts; nothing to wait for, since nothing may happen.
    std::this_thread::sleep_for(3 * MCPUnixSocketServer::kPollInterval);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &limit), 0);
    ASSERT_EQ(connected, 0);
    EXPECT_EQ(MCPUnixSocket::readLine(starved, MCPUnixSocket::kHandshakeLineMaximum),
              MCPUnixSocket::handshakeText);
    ::close(starved);
    EXPECT_TRUE(reports.loopEnds().empty());

    // Any other failure ends the loop, and the owner hears of it.
    const int listening = listeningDescriptor(socketPath);
    ASSERT_GE(listening, 0);
    const int devNull = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(::dup2(devNull, listening), listening);
    ::close(devNull);
    ASSERT_TRUE(reports.loopEndReported());
    const auto ends = reports.loopEnds();
    ASSERT_EQ(ends.size(), 1u);
    EXPECT_EQ(ends[0].first, run);
    EXPECT_EQ(ends[0].second, SocketError::io(ENOTSOCK));
}

}  // namespace
}  // namespace fw::automation
