// A small signed stand-in for the companion in the socket server tests: a separate process whose
// signature is cheap to check, for runs of many connections.
//
//   companion_peer cycles <socket> <count>   connect, read the handshake line, echo it, close;
//                                            <count> times one after the other
//
// Exits 0 when every connection got the handshake line; otherwise prints why on standard error
// and exits 1.
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <exception>
#include <string>

#include "../../LocalAutomation/SocketTestSupport.h"
#include "LocalAutomation/MCPUnixSocket.h"

namespace {

using namespace fw::automation;

int connectTo(const std::string& path) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int connected = MCPUnixSocket::withSocketAddress(
        path, [&](const sockaddr* address, socklen_t size) { return ::connect(fd, address, size); });
    if (connected != 0) {
        const int error = errno;
        ::close(fd);
        throw SocketError::io(error);
    }
    return fd;
}

int cycles(const std::string& path, int count) {
    for (int i = 0; i < count; ++i) {
        const int fd = connectTo(path);
        MCPUnixSocket::configure(fd, true, std::chrono::seconds(20));
        testing::answerHandshake(fd);
        MCPUnixSocket::close(fd);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4 || std::string(argv[1]) != "cycles") {
        std::fprintf(stderr, "usage: companion_peer cycles <socket> <count>\n");
        return 2;
    }
    try {
        return cycles(argv[2], std::stoi(argv[3]));
    } catch (const std::exception& error) {
        std::fprintf(stderr, "companion_peer: %s\n", error.what());
        return 1;
    }
}
