// A small signed program for the peer identity tests. The build signs it for both roles; a test
// copies it into a temporary bundle as the application or as the companion, so that real
// processes check each other over a real socket.
//
//   identity_peer application <socket>  listen, check the companion of this bundle, handshake
//   identity_peer companion <socket>    connect, check the application of this bundle, handshake
//   identity_peer connect <socket>      connect and read until the other side closes
//   identity_peer serve <socket> <file>  as application, then write the file's bytes and close
//   identity_peer crash <socket>        as application, then read one line and die of SIGKILL
//
// Exits 0 on success; otherwise prints the failure's text on standard error and exits 1.
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <exception>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#include "LocalAutomation/MCPPeerIdentity.h"
#include "LocalAutomation/MCPUnixSocket.h"
#include "SocketTestSupport.h"

namespace {

using namespace fw::automation;

// Changed in a copy by the tests that need a modified executable.
volatile const char kMarker[] = "fwv-identity-peer-marker:A";

int bindAndListen(const std::string& path) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int bound = MCPUnixSocket::withSocketAddress(
        path, [&](const sockaddr* address, socklen_t size) { return ::bind(fd, address, size); });
    if (bound != 0 || ::listen(fd, 1) != 0) {
        throw SocketError::io(errno);
    }
    return fd;
}

int connectWithin(const std::string& path, std::chrono::seconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (true) {
        int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int connected = MCPUnixSocket::withSocketAddress(
            path,
            [&](const sockaddr* address, socklen_t size) { return ::connect(fd, address, size); });
        if (connected == 0) {
            return fd;
        }
        const int error = errno;
        ::close(fd);
        if (std::chrono::steady_clock::now() > deadline) {
            throw SocketError::io(error);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

int run(const std::string& mode, const std::string& socketPath, const char* file) {
    const auto bundle = MCPPeerIdentity::appBundleURL(MCPPeerIdentity::currentExecutableURL());
    if (mode == "application" || mode == "serve" || mode == "crash") {
        const int listener = bindAndListen(socketPath);
        const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        MCPUnixSocket::configure(fd, true);
        MCPPeerIdentity::validatePeer(fd, MCPPeerIdentity::bridgeBundleIdentifier,
                                      MCPPeerIdentity::bridgeExecutableURL(bundle));
        MCPUnixSocket::writeAll(MCPUnixSocket::helloLine, fd);
        if (MCPUnixSocket::readLine(fd, MCPUnixSocket::kHandshakeLineMaximum) !=
            MCPUnixSocket::handshakeText) {
            throw SocketError::protocolMismatch();
        }
        if (file != nullptr) {
            MCPUnixSocket::configure(fd, false);
            std::ifstream in(file, std::ios::binary);
            const std::string bytes((std::istreambuf_iterator<char>(in)),
                                    std::istreambuf_iterator<char>());
            MCPUnixSocket::writeAll(bytes, fd);
        }
        if (mode == "crash") {
            // Killed with a request in hand: nothing is answered, nothing cleaned up.
            MCPUnixSocket::configure(fd, false);
            (void)MCPUnixSocket::readLine(fd, MCPUnixSocket::kIncomingLineMaximum);
            ::kill(::getpid(), SIGKILL);
        }
        MCPUnixSocket::close(fd);
        ::close(listener);
        return 0;
    }
    const int fd = connectWithin(socketPath, std::chrono::seconds(10));
    if (mode == "companion") {
        MCPPeerIdentity::validatePeer(fd, MCPPeerIdentity::appBundleIdentifier, bundle);
        MCPUnixSocket::configure(fd, true);
        testing::answerHandshake(fd);
        MCPUnixSocket::close(fd);
        return 0;
    }
    char buffer[64];
    while (::read(fd, buffer, sizeof buffer) > 0) {
    }
    MCPUnixSocket::close(fd);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const bool serve = argc == 4 && std::string(argv[1]) == "serve";
    if (argc != 3 && !serve) {
        std::fprintf(stderr,
                     "usage: %s application|companion|connect|crash <socket>\n"
                     "       serve <socket> <file>\n",
                     const_cast<const char*>(kMarker));
        return 2;
    }
    try {
        return run(argv[1], argv[2], serve ? argv[3] : nullptr);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s\n", error.what());
        return 1;
    }
}
