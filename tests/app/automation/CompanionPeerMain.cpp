// A small signed stand-in for the companion in the socket server tests: a separate process whose
// signature is cheap to check, for runs of many connections.
//
//   companion_peer cycles <socket> <count>   connect, read the handshake line, echo it, close;
//                                            <count> times one after the other
//   companion_peer handover <socket> <program> [argument...]
//                                            connect (this genuine process is the one the
//                                            server sees connect), then start <program> with
//                                            the socket as descriptor 3 and exit with its
//                                            status: other code doing the handshake on a
//                                            genuine companion's connection
//
// Exits 0 when every connection got the handshake line; otherwise prints why on standard error
// and exits 1.
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

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

int handover(const std::string& path, char** program) {
    const int fd = connectTo(path);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fd, 3);
    pid_t child = -1;
    const int spawned = posix_spawn(&child, program[0], &actions, nullptr, program, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        throw SocketError::io(spawned);
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    ::close(fd);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    const bool handingOver = argc >= 4 && mode == "handover";
    if (!handingOver && (argc != 4 || mode != "cycles")) {
        std::fprintf(stderr,
                     "usage: companion_peer cycles <socket> <count>\n"
                     "       companion_peer handover <socket> <program> [argument...]\n");
        return 2;
    }
    try {
        if (handingOver) {
            return handover(argv[2], argv + 3);
        }
        return cycles(argv[2], std::stoi(argv[3]));
    } catch (const std::exception& error) {
        std::fprintf(stderr, "companion_peer: %s\n", error.what());
        return 1;
    }
}
