// A program the test starts (socat, for a peer no one here wrote) and ends with SIGTERM.
#pragma once

#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

extern char** environ;

namespace fw::net::testing {

class SpawnedProgram {
public:
    explicit SpawnedProgram(std::vector<std::string> arguments) {
        std::vector<char*> argv;
        for (std::string& argument : arguments) {
            argv.push_back(argument.data());
        }
        argv.push_back(nullptr);
        if (::posix_spawnp(&pid_, argv[0], nullptr, nullptr, argv.data(), environ) != 0) {
            throw std::runtime_error("Could not start " + arguments[0] + ".");
        }
    }
    ~SpawnedProgram() {
        ::kill(pid_, SIGTERM);
        int status = 0;
        ::waitpid(pid_, &status, 0);
    }
    SpawnedProgram(const SpawnedProgram&) = delete;
    SpawnedProgram& operator=(const SpawnedProgram&) = delete;

private:
    pid_t pid_ = -1;
};

// A TCP port on 127.0.0.1 that was free a moment ago.
inline std::uint16_t freeLoopbackPort() {
    const int probe = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    ::getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(probe);
    return ntohs(address.sin_port);
}

}  // namespace fw::net::testing
