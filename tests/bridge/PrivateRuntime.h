// A private runtime folder for the programs a test starts: the test process moves into a mount
// namespace of its own where /run/user is a fresh, empty tmpfs holding /run/user/<uid> (mode
// 0700). The App Group container of the application and its companion lies there, so their
// socket and lock files are the test's alone and go with the namespace; nothing of the
// machine's /run/user is seen or touched.
//
// It needs the right to make a mount namespace (root, as on CI). Without it `active()` is false
// and the container is the user's ordinary one: tests then remove what they made there.
// Call before the test starts any thread.
#pragma once

#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

namespace fw::bridge::testing {

class PrivateRuntime {
public:
    PrivateRuntime() {
        const std::string runtime = "/run/user/" + std::to_string(::getuid());
        active_ = ::unshare(CLONE_NEWNS) == 0 &&
                  ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                  ::mount("fwv-test-runtime", "/run/user", "tmpfs", MS_NOSUID | MS_NODEV,
                          "mode=0755") == 0 &&
                  ::mkdir(runtime.c_str(), 0700) == 0;
    }
    bool active() const { return active_; }

private:
    bool active_ = false;
};

}  // namespace fw::bridge::testing
