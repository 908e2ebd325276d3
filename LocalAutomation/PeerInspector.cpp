#include "LocalAutomation/PeerInspector.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#ifndef SO_PEERPIDFD
#define SO_PEERPIDFD 77
#endif

namespace fw::automation {

namespace {

class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }

private:
    int fd_;
};

// The "Pid:" line of a pidfd's fdinfo: the process it refers to, -1 once it has ended.
std::optional<long> pidOfPidfd(int pidfd) {
    std::ifstream info("/proc/self/fdinfo/" + std::to_string(pidfd));
    std::string line;
    while (std::getline(info, line)) {
        if (line.rfind("Pid:", 0) == 0) {
            return std::strtol(line.c_str() + 4, nullptr, 10);
        }
    }
    return std::nullopt;
}

// A pidfd of the process that connected: the kernel's own reference where it has one, else one
// opened by the recorded process id.
int peerPidfd(int descriptor, pid_t pid) {
    int pidfd = -1;
    socklen_t size = sizeof pidfd;
    if (::getsockopt(descriptor, SOL_SOCKET, SO_PEERPIDFD, &pidfd, &size) == 0 &&
        size == sizeof pidfd && pidfd >= 0) {
        if (pidOfPidfd(pidfd) != std::optional<long>(pid)) {
            ::close(pidfd);
            return -1;
        }
        return pidfd;
    }
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
}

bool stillRunning(int pidfd) {
    pollfd entry{pidfd, POLLIN, 0};
    return ::poll(&entry, 1, 0) == 0;
}

std::optional<std::string> readLink(const std::string& path) {
    std::string target(4096, '\0');
    const ssize_t length = ::readlink(path.c_str(), target.data(), target.size());
    if (length <= 0 || static_cast<std::size_t>(length) >= target.size()) {
        return std::nullopt;
    }
    target.resize(static_cast<std::size_t>(length));
    return target;
}

// The executable of process `pid`, read while `pidfd` (a pidfd of it) shows it alive and its
// start time stays the same, so that a reused process id is never read for it.
std::optional<PeerCode> codeOf(const Descriptor& pidfd, pid_t pid) {
    if (pidfd.get() < 0) {
        return std::nullopt;
    }
    const auto startedBefore = processStartTime(pid);
    const std::string exe = "/proc/" + std::to_string(pid) + "/exe";
    Descriptor executable(::open(exe.c_str(), O_RDONLY | O_CLOEXEC));
    auto path = readLink(exe);
    const auto startedAfter = processStartTime(pid);
    if (!startedBefore || startedBefore != startedAfter || executable.get() < 0 || !path ||
        !stillRunning(pidfd.get())) {
        return std::nullopt;
    }
    return PeerCode(executable.release(), std::move(*path));
}

class SystemPeerInspector final : public PeerInspector {
public:
    std::optional<PeerCredentials> credentials(int descriptor) const override {
        ucred peer{};
        socklen_t size = sizeof peer;
        if (::getsockopt(descriptor, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 ||
            size != sizeof peer || peer.pid <= 0) {
            return std::nullopt;
        }
        return PeerCredentials{peer.pid, peer.uid};
    }

    std::optional<PeerCode> code(int descriptor, const PeerCredentials& peer) const override {
        return codeOf(Descriptor(peerPidfd(descriptor, peer.pid)), peer.pid);
    }
};

}  // namespace

std::optional<PeerCredentials> SenderInspector::credentials(int) const {
    if (sender_.pid <= 0) {
        return std::nullopt;
    }
    return sender_;
}

std::optional<PeerCode> SenderInspector::code(int, const PeerCredentials& peer) const {
    return codeOf(Descriptor(static_cast<int>(::syscall(SYS_pidfd_open, peer.pid, 0))), peer.pid);
}

PeerCode::~PeerCode() {
    if (executable_ >= 0) {
        ::close(executable_);
    }
}

const PeerInspector& PeerInspector::system() {
    static const SystemPeerInspector inspector;
    return inspector;
}

std::optional<unsigned long long> processStartTime(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    // The command name in parentheses may hold blanks and parentheses: fields are counted after
    // the last ')'. The state is field 3; the start time is field 22.
    const auto close = text.rfind(')');
    if (close == std::string::npos) {
        return std::nullopt;
    }
    std::istringstream fields(text.substr(close + 1));
    std::string field;
    for (int index = 3; index <= 22; ++index) {
        if (!(fields >> field)) {
            return std::nullopt;
        }
    }
    char* end = nullptr;
    const unsigned long long value = std::strtoull(field.c_str(), &end, 10);
    if (end == field.c_str() || *end != '\0') {
        return std::nullopt;
    }
    return value;
}

}  // namespace fw::automation
