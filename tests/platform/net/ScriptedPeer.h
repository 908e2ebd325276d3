// The other end of a network connection, scripted by a test with plain blocking socket calls on
// the test's own thread: a listener on 127.0.0.1 or on a Unix socket, which accepts, writes chosen
// bytes in chosen pieces, reads lines, closes, resets (SO_LINGER 0) and stops listening. The code
// under test runs its io_context on a thread of its own meanwhile.
#pragma once

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <string>

#include "platform/net/Connection.h"

namespace fw::net::testing {

class ScriptedPeer {
public:
    enum class Kind { tcp, unixSocket };

    explicit ScriptedPeer(Kind kind) : kind_(kind) { listen(); }
    ~ScriptedPeer() { stopListening(); }
    ScriptedPeer(const ScriptedPeer&) = delete;
    ScriptedPeer& operator=(const ScriptedPeer&) = delete;

    Endpoint endpoint() const {
        return kind_ == Kind::tcp ? Endpoint::tcp("127.0.0.1", port_) : Endpoint::unixSocket(path_);
    }

    // The next connection; throws after `timeout`.
    int accept(std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
        if (!waitReadable(listener_, timeout)) {
            throw std::runtime_error("No connection came.");
        }
        const int connection = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection == -1) {
            throw std::runtime_error(std::string("accept failed: ") + std::strerror(errno));
        }
        if (kind_ == Kind::tcp) {
            int on = 1;
            ::setsockopt(connection, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        }
        return connection;
    }

    // Closes the listener (and removes the socket file): new connections are refused.
    void stopListening() {
        if (listener_ != -1) {
            ::close(listener_);
            listener_ = -1;
            if (kind_ == Kind::unixSocket) {
                std::error_code ignored;
                std::filesystem::remove(path_, ignored);
            }
        }
    }

    static void writeAll(int connection, const std::string& bytes) {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t count =
                ::send(connection, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (count <= 0) {
                throw std::runtime_error(std::string("send failed: ") + std::strerror(errno));
            }
            done += static_cast<std::size_t>(count);
        }
    }

    // Reads until `count` bytes have come; throws at the end of input or after `timeout`.
    static std::string readBytes(int connection, std::size_t count,
                                 std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
        std::string bytes;
        while (bytes.size() < count) {
            if (!waitReadable(connection, timeout)) {
                throw std::runtime_error("Nothing came.");
            }
            char buffer[4096];
            const ssize_t n =
                ::recv(connection, buffer, std::min(sizeof buffer, count - bytes.size()), 0);
            if (n <= 0) {
                throw std::runtime_error("The connection ended.");
            }
            bytes.append(buffer, static_cast<std::size_t>(n));
        }
        return bytes;
    }

    // Reads one line, without its LF.
    static std::string readLine(int connection,
                                std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
        std::string line;
        while (true) {
            const std::string byte = readBytes(connection, 1, timeout);
            if (byte == "\n") {
                return line;
            }
            line += byte;
        }
    }

    // Ends the connection with RST instead of FIN.
    static void reset(int connection) {
        linger option{1, 0};
        ::setsockopt(connection, SOL_SOCKET, SO_LINGER, &option, sizeof option);
        ::close(connection);
    }

    static bool waitReadable(int descriptor, std::chrono::milliseconds timeout) {
        pollfd entry{descriptor, POLLIN, 0};
        return ::poll(&entry, 1, static_cast<int>(timeout.count())) == 1;
    }

private:
    void listen() {
        if (kind_ == Kind::tcp) {
            listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
                throw std::runtime_error("bind failed");
            }
            socklen_t length = sizeof address;
            ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
            port_ = ntohs(address.sin_port);
        } else {
            static std::atomic<int> counter{0};
            path_ = (std::filesystem::temp_directory_path() /
                     ("fw-peer-" + std::to_string(::getpid()) + "-" + std::to_string(++counter) +
                      ".sock"))
                        .string();
            std::filesystem::remove(path_);
            listener_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_un address{};
            address.sun_family = AF_UNIX;
            std::strncpy(address.sun_path, path_.c_str(), sizeof address.sun_path - 1);
            if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
                throw std::runtime_error("bind failed");
            }
        }
        ::listen(listener_, 8);
    }

    Kind kind_;
    int listener_ = -1;
    std::uint16_t port_ = 0;
    std::string path_;
};

}  // namespace fw::net::testing
