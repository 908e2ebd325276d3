// The socket connections over real TCP, Unix and TLS sockets against a scripted peer: states,
// restarting after cancel(), ordered whole sends, bounded reads and the end flag.
#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/socket.h>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/strand.hpp>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <thread>

#include "platform/net/Connection.h"
#include "tests/platform/http/TestCertificates.h"
#include "tests/platform/net/ScriptedPeer.h"
#include "tests/platform/net/SpawnedProgram.h"

namespace fw::net {
namespace {

namespace asio = boost::asio;
using namespace std::chrono_literals;
using testing::ScriptedPeer;
using Kind = ConnectionState::Kind;

std::error_code systemError(int number) {
    return {number, std::system_category()};
}

// A connection driven from the test thread while its executor runs on a thread of its own.
class Driver {
public:
    explicit Driver(std::shared_ptr<Connection> connection)
        : work_(asio::make_work_guard(io_)),
          strand_(asio::make_strand(io_)),
          connection_(std::move(connection)),
          thread_([this] { io_.run(); }) {
        call([this] {
            connection_->setStateUpdateHandler([this](ConnectionState state) {
                std::lock_guard lock(mutex_);
                states_.push_back(state);
                changed_.notify_all();
            });
        });
    }
    ~Driver() {
        call([this] {
            connection_->setStateUpdateHandler({});
            connection_->cancel();
        });
        work_.reset();
        thread_.join();
    }

    // Runs `f` on the connection's executor and waits for it.
    template <class F>
    void call(F f) {
        std::promise<void> done;
        asio::post(strand_, [&] {
            f();
            done.set_value();
        });
        done.get_future().get();
    }

    void start() {
        call([this] { connection_->start(strand_); });
    }
    // cancel() and start() in one turn of the executor: what was under way has not ended yet.
    void restart() {
        call([this] {
            connection_->cancel();
            connection_->start(strand_);
        });
    }

    // Waits for a reported state of `kind` after the first `after` reports.
    ConnectionState waitFor(Kind kind, std::size_t after = 0) {
        std::unique_lock lock(mutex_);
        ConnectionState found;
        const bool seen = changed_.wait_for(lock, 20s, [&] {
            for (std::size_t index = after; index < states_.size(); ++index) {
                if (states_[index].kind == kind) {
                    found = states_[index];
                    return true;
                }
            }
            return false;
        });
        EXPECT_TRUE(seen) << "state " << static_cast<int>(kind) << " never came";
        return found;
    }
    // Waits for the start's outcome: ready or failed.
    ConnectionState waitForOutcome() {
        std::unique_lock lock(mutex_);
        ConnectionState found;
        changed_.wait_for(lock, 20s, [&] {
            for (const ConnectionState& state : states_) {
                if (state.kind == Kind::ready || state.kind == Kind::failed) {
                    found = state;
                    return true;
                }
            }
            return false;
        });
        return found;
    }
    std::size_t reports() {
        std::lock_guard lock(mutex_);
        return states_.size();
    }

    std::error_code send(std::string bytes) {
        std::promise<std::error_code> outcome;
        call([&] {
            connection_->send(std::move(bytes),
                              [&outcome](std::error_code error) { outcome.set_value(error); });
        });
        return outcome.get_future().get();
    }

    struct Read {
        std::optional<std::string> content;
        bool isComplete = false;
        std::error_code error;
    };
    std::future<Read> startReceive(std::size_t minimum, std::size_t maximum) {
        auto outcome = std::make_shared<std::promise<Read>>();
        auto future = outcome->get_future();
        call([&] {
            connection_->receive(
                minimum, maximum,
                [outcome](std::optional<std::string> content, bool isComplete,
                          std::error_code error) {
                    outcome->set_value(Read{std::move(content), isComplete, error});
                });
        });
        return future;
    }
    Read receive(std::size_t minimum, std::size_t maximum) {
        auto future = startReceive(minimum, maximum);
        EXPECT_EQ(future.wait_for(20s), std::future_status::ready);
        return future.get();
    }

    Connection& connection() { return *connection_; }

private:
    // The connection goes before its io_context.
    asio::io_context io_;
    asio::executor_work_guard<asio::io_context::executor_type> work_;
    asio::strand<asio::io_context::executor_type> strand_;
    std::shared_ptr<Connection> connection_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<ConnectionState> states_;
    std::thread thread_;
};

class SocketConnection : public ::testing::TestWithParam<ScriptedPeer::Kind> {};

INSTANTIATE_TEST_SUITE_P(Kinds, SocketConnection,
                         ::testing::Values(ScriptedPeer::Kind::tcp, ScriptedPeer::Kind::unixSocket),
                         [](const auto& info) {
                             return info.param == ScriptedPeer::Kind::tcp ? "TCP" : "Unix";
                         });

TEST_P(SocketConnection, BecomesReadyAndCarriesBytesBothWaysUntilThePeersEnd) {
    ScriptedPeer peer(GetParam());
    Driver driver(makeConnection(peer.endpoint()));
    EXPECT_EQ(driver.connection().state().kind, Kind::setup);
    // Nothing goes before the connection is ready.
    EXPECT_EQ(driver.send("early"), systemError(ENOTCONN));
    driver.start();
    EXPECT_EQ(driver.waitFor(Kind::preparing).kind, Kind::preparing);
    driver.waitFor(Kind::ready);
    const int end = peer.accept();
    EXPECT_FALSE(driver.send("abc\n"));
    EXPECT_EQ(ScriptedPeer::readLine(end), "abc");
    ScriptedPeer::writeAll(end, std::string(100, 'x'));
    auto bounded = driver.receive(1, 10);
    EXPECT_EQ(bounded.content, std::string(10, 'x'));
    auto rest = driver.receive(90, 1000);
    EXPECT_EQ(rest.content, std::string(90, 'x'));
    ::shutdown(end, SHUT_WR);
    auto last = driver.receive(1, 1000);
    EXPECT_FALSE(last.content);
    EXPECT_TRUE(last.isComplete);
    EXPECT_FALSE(last.error);
    ::close(end);
}

TEST_P(SocketConnection, SendsArriveWholeAndInOrder) {
    ScriptedPeer peer(GetParam());
    Driver driver(makeConnection(peer.endpoint()));
    driver.start();
    driver.waitFor(Kind::ready);
    const int end = peer.accept();
    // Many large sends handed over at once: the peer reads them back to back.
    constexpr int kCount = 40;
    constexpr std::size_t kSize = 100 * 1024;
    std::vector<std::error_code> outcomes;
    std::mutex mutex;
    std::promise<void> allDone;
    driver.call([&] {
        for (int index = 0; index < kCount; ++index) {
            driver.connection().send(std::string(kSize, static_cast<char>('A' + index % 26)),
                                     [&, index](std::error_code error) {
                                         std::lock_guard lock(mutex);
                                         outcomes.push_back(error);
                                         EXPECT_EQ(static_cast<int>(outcomes.size()), index + 1);
                                         if (index + 1 == kCount) {
                                             allDone.set_value();
                                         }
                                     });
        }
    });
    for (int index = 0; index < kCount; ++index) {
        EXPECT_EQ(ScriptedPeer::readBytes(end, kSize),
                  std::string(kSize, static_cast<char>('A' + index % 26)))
            << "send " << index;
    }
    ASSERT_EQ(allDone.get_future().wait_for(20s), std::future_status::ready);
    for (const auto& outcome : outcomes) {
        EXPECT_FALSE(outcome);
    }
    ::close(end);
}

TEST_P(SocketConnection, StartsAgainOnANewSocketAfterCancel) {
    ScriptedPeer peer(GetParam());
    Driver driver(makeConnection(peer.endpoint()));
    driver.start();
    driver.waitFor(Kind::ready);
    const int first = peer.accept();
    auto pending = driver.startReceive(1, 100);
    driver.call([&] { driver.connection().cancel(); });
    driver.waitFor(Kind::cancelled);
    ASSERT_EQ(pending.wait_for(20s), std::future_status::ready);
    EXPECT_EQ(pending.get().error, systemError(ECANCELED));
    EXPECT_EQ(driver.send("late"), systemError(ENOTCONN));
    EXPECT_TRUE(ScriptedPeer::waitReadable(first, 20s));  // the first socket ends
    char byte = 0;
    EXPECT_EQ(::recv(first, &byte, 1, 0), 0);
    ::close(first);

    const std::size_t before = driver.reports();
    driver.start();
    driver.waitFor(Kind::ready, before);
    const int second = peer.accept();
    EXPECT_FALSE(driver.send("again\n"));
    EXPECT_EQ(ScriptedPeer::readLine(second), "again");
    ::close(second);
}

TEST_P(SocketConnection, ANonListeningPeerFailsTheStart) {
    ScriptedPeer peer(GetParam());
    peer.stopListening();
    Driver driver(makeConnection(peer.endpoint()));
    driver.start();
    const ConnectionState failed = driver.waitFor(Kind::failed);
    EXPECT_EQ(failed.error,
              systemError(GetParam() == ScriptedPeer::Kind::tcp ? ECONNREFUSED : ENOENT));
    EXPECT_EQ(driver.receive(1, 10).error, systemError(ENOTCONN));
}

TEST(AdoptedSocket, IsReadyAtOnceAndCannotBeStartedAgain) {
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    Driver driver(adoptConnectedSocket(pair[0]));
    driver.start();
    driver.waitFor(Kind::ready);
    EXPECT_FALSE(driver.send("hi\n"));
    EXPECT_EQ(ScriptedPeer::readLine(pair[1]), "hi");
    driver.call([&] { driver.connection().cancel(); });
    driver.waitFor(Kind::cancelled);
    driver.start();
    EXPECT_EQ(driver.waitFor(Kind::failed).error, systemError(ENOTCONN));
    ::close(pair[1]);
}

// TLS against socat's OpenSSL listener, with certificates of a private authority.
class TlsConnection : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::create_directories(directory_);
        std::ofstream(directory_ / "cert.pem") << certificates.certificatePEM;
        std::ofstream(directory_ / "key.pem") << certificates.keyPEM;
        socat_.emplace(std::vector<std::string>{
            "socat",
            "OPENSSL-LISTEN:" + std::to_string(port_) +
                ",bind=127.0.0.1,reuseaddr,fork,verify=0,cert=" +
                (directory_ / "cert.pem").string() + ",key=" + (directory_ / "key.pem").string(),
            "EXEC:cat"});
    }
    void TearDown() override {
        socat_.reset();
        std::filesystem::remove_all(directory_);
    }

    // A started connection to socat with `options` and its outcome (socat may not listen yet:
    // started again until it does).
    std::pair<std::unique_ptr<Driver>, ConnectionState> connect(ConnectionOptions options) {
        for (int tries = 0; tries < 200; ++tries) {
            auto driver = std::make_unique<Driver>(
                makeConnection(Endpoint::tcp("127.0.0.1", port_), options));
            driver->start();
            const ConnectionState state = driver->waitForOutcome();
            if (state.kind == Kind::failed && state.error == systemError(ECONNREFUSED)) {
                std::this_thread::sleep_for(20ms);
                continue;
            }
            return {std::move(driver), state};
        }
        ADD_FAILURE() << "socat never listened";
        return {nullptr, ConnectionState::failed(systemError(ECONNREFUSED))};
    }

    static std::string echo(Driver& driver, const std::string& line) {
        EXPECT_FALSE(driver.send(line));
        return driver.receive(line.size(), 100).content.value_or("nothing");
    }

    const http::testing::TestCertificates certificates =
        http::testing::makeTestCertificates({"localhost"}, {"127.0.0.1"});

private:
    const std::filesystem::path directory_ =
        std::filesystem::temp_directory_path() / ("fw-tls-" + std::to_string(::getpid()));
    const std::uint16_t port_ = testing::freeLoopbackPort();
    std::optional<testing::SpawnedProgram> socat_;
};

TEST_F(TlsConnection, VerifiesThePeerAndCarriesBytes) {
    auto [trusted, state] = connect(ConnectionOptions{true, certificates.authorityPEM});
    ASSERT_EQ(state.kind, Kind::ready) << state.error.message();
    EXPECT_EQ(echo(*trusted, "secret\n"), "secret\n");
    // Another authority's trust: the handshake fails on the certificate itself.
    const auto other = http::testing::makeTestCertificates({"localhost"}, {"127.0.0.1"});
    auto [untrusted, refused] = connect(ConnectionOptions{true, other.authorityPEM});
    ASSERT_EQ(refused.kind, Kind::failed);
    EXPECT_STREQ(refused.error.category().name(), "asio.ssl");
    EXPECT_EQ(ERR_GET_REASON(static_cast<unsigned long>(refused.error.value())),
              SSL_R_CERTIFICATE_VERIFY_FAILED)
        << refused.error.message();
}

TEST_F(TlsConnection, StartsAgainAfterCancelWhileAReadIsUnderWay) {
    auto [driver, state] = connect(ConnectionOptions{true, certificates.authorityPEM});
    ASSERT_EQ(state.kind, Kind::ready) << state.error.message();
    for (int round = 0; round < 3; ++round) {
        // The read is still on its way back when the stream is replaced.
        auto pending = driver->startReceive(1, 100);
        const std::size_t before = driver->reports();
        driver->restart();
        ASSERT_EQ(pending.wait_for(20s), std::future_status::ready);
        EXPECT_TRUE(pending.get().error);
        driver->waitFor(Kind::ready, before);
        EXPECT_EQ(echo(*driver, "again\n"), "again\n");
    }
}

}  // namespace
}  // namespace fw::net
