// PeerInspector: who is on the other end of a connected Unix-domain socket. The peer check asks
// it in two steps, so that a process of another user is refused before any of its code is read:
// first the credentials the kernel recorded at connect time, then the running executable.
//
// The system inspector reads SO_PEERCRED, then opens /proc/<pid>/exe (the very file the process
// runs, even if the path has since been replaced) and reads the path it names. A process id can
// be reused once its process has ended, so the reads are guarded: the inspector holds a pidfd of
// the peer from before the reads (SO_PEERPIDFD where the kernel offers it, else pidfd_open of the
// recorded id), requires the process to be still alive after them, and requires its start time
// to be the same before and after.
//
// Tests give the peer check their own inspector. Implementations must be safe to call from any
// thread.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <utility>

namespace fw::automation {

// The credentials of the peer at connect time.
struct PeerCredentials {
    pid_t pid = 0;
    uid_t uid = 0;
};

// The executable a peer process runs: an open descriptor of it (read only, owned) and the path
// the process was started from as the kernel reports it.
class PeerCode {
public:
    PeerCode(int executable, std::string path) : executable_(executable), path_(std::move(path)) {}
    PeerCode(PeerCode&& other) noexcept
        : executable_(std::exchange(other.executable_, -1)), path_(std::move(other.path_)) {}
    PeerCode& operator=(PeerCode&&) = delete;
    PeerCode(const PeerCode&) = delete;
    ~PeerCode();

    int executable() const noexcept { return executable_; }
    const std::string& path() const noexcept { return path_; }

private:
    int executable_;
    std::string path_;
};

class PeerInspector {
public:
    virtual ~PeerInspector() = default;
    // None when the socket has no peer credentials.
    virtual std::optional<PeerCredentials> credentials(int descriptor) const = 0;
    // None when the peer's executable cannot be read, or the process is no longer the one that
    // connected.
    virtual std::optional<PeerCode> code(int descriptor, const PeerCredentials& peer) const = 0;

    // The inspector of the running system.
    static const PeerInspector& system();
};

// The inspector of the process that sent bytes on a socket, as the kernel names it in the
// SCM_CREDENTIALS attached to them (with SO_PASSCRED on at the receiving end; a sender without
// privileges cannot give other credentials than its own). Its credentials are those; its code is
// read as the system inspector reads a peer's, through a pidfd opened by that process id.
class SenderInspector final : public PeerInspector {
public:
    explicit SenderInspector(PeerCredentials sender) : sender_(sender) {}
    std::optional<PeerCredentials> credentials(int descriptor) const override;
    std::optional<PeerCode> code(int descriptor, const PeerCredentials& peer) const override;

private:
    PeerCredentials sender_;
};

// The start time of process `pid` in clock ticks since boot (field 22 of /proc/<pid>/stat).
std::optional<unsigned long long> processStartTime(pid_t pid);

}  // namespace fw::automation
