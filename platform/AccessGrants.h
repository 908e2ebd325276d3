// AccessGrants: the register of the paths this process was given access to: the root of
// every authorized folder whose bookmark it resolved, every file or folder the user handed
// over in the window (a panel, a drop), and the inputs of the scripted exports that run.
//
// A grant counts its holders: each `grant` of a path adds one, each `withdraw` takes one
// away, and the path stays registered while any holder is left. So a scripted export that
// withdraws its grants when its job ends leaves the grant the window holds for the same
// file. The window's and the bookmarks' grants are never withdrawn.
//
// Starting access to a registered path succeeds and is counted; each success must be
// balanced by exactly one `stop` of the same path. Access to anything else does not start:
// a file inside a registered folder is reached through the folder. Paths are compared after
// lexical normalisation (no file-system look-up).
//
// Thread-safety: every member may be called from any thread (leases end wherever their
// last holder lets go).
#pragma once

#include <filesystem>
#include <map>
#include <mutex>
#include <string>

namespace fw::platform {

class AccessGrants {
public:
    // The process-wide register.
    static AccessGrants& shared();

    // Registers `path` as reachable for one more holder.
    void grant(const std::filesystem::path& path);
    // Ends one holder's grant of `path`; the path stays registered while others hold it. A
    // withdrawal without a grant is ignored. Access already started is not affected.
    void withdraw(const std::filesystem::path& path);
    bool isGranted(const std::filesystem::path& path) const;
    // How many holders `path` has.
    int holderCount(const std::filesystem::path& path) const;

    // True, and counted, when `path` is registered; false otherwise.
    bool start(const std::filesystem::path& path);
    // Ends one access started by `start`; a stop without a start is ignored.
    void stop(const std::filesystem::path& path);
    // How many starts of `path` are not yet stopped.
    int activeCount(const std::filesystem::path& path) const;

    // The form paths are compared in: lexically normal, without a trailing slash.
    static std::string key(const std::filesystem::path& path);

private:
    mutable std::mutex mutex_;
    std::map<std::string, int> granted_;  // holders by path; GUARDED_BY(mutex_)
    std::map<std::string, int> active_;  // GUARDED_BY(mutex_)
};

}  // namespace fw::platform
