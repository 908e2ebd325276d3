// The secret store against real session buses: one with a running gnome-keyring, one where
// the secret service could be started on demand but is not running, and none at all. Each
// case runs in a shell of its own so that every probe process sees only that bus.
#include "platform/SecretStore.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/stat.h>

#include <array>
#include <string>

#include "tests/support/TestDirectory.h"

namespace fw::platform {
namespace {

constexpr const char* kProbe = FW_SECRET_PROBE;

// Prints "(true,)" or "(false,)".
constexpr const char* kServiceRunning =
    "gdbus call --session --dest org.freedesktop.DBus --object-path /org/freedesktop/DBus "
    "--method org.freedesktop.DBus.NameHasOwner org.freedesktop.secrets";

class SecretStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(home_.path().empty());
        ::mkdir((home_ / "run").c_str(), 0700);
    }

    // Runs `script` with sh in a private home and runtime directory; returns its output.
    std::string run(const std::string& script) {
        const std::string command = "cd '" + home_.path().string() + "' && export HOME='" +
                                    home_.path().string() + "' XDG_RUNTIME_DIR='" +
                                    (home_ / "run").string() + "' PROBE='" + kProbe + "' && " +
                                    script + " 2>>'" + (home_ / "stderr").string() + "'";
        FILE* pipe = ::popen(command.c_str(), "r");
        if (pipe == nullptr) {
            return "popen failed";
        }
        std::string output;
        std::array<char, 256> buffer{};
        while (std::fgets(buffer.data(), buffer.size(), pipe) != nullptr) {
            output += buffer.data();
        }
        ::pclose(pipe);
        return output;
    }

    testing::TestDirectory home_;
};

TEST_F(SecretStoreTest, DeletesOnlyTheMatchingItemFromARunningKeyring) {
    const std::string output = run(
        "dbus-run-session -- sh -c '"
        "gnome-keyring-daemon --start --foreground --components=secrets >/dev/null & keyring=$!; "
        "i=0; until " + std::string(kServiceRunning) + " | grep -q true; do "
        "  i=$((i+1)); if [ $i -gt 600 ]; then echo no-keyring; kill $keyring; exit 1; fi; "
        "  sleep 0.05; done; "
        "\"$PROBE\" store com.marlowpennet.Frameweaver.mcp local-bearer-token; "
        "\"$PROBE\" store com.marlowpennet.Frameweaver.mcp other-account; "
        "\"$PROBE\" delete com.marlowpennet.Frameweaver.mcp local-bearer-token; "
        "\"$PROBE\" delete com.marlowpennet.Frameweaver.mcp local-bearer-token; "
        "\"$PROBE\" delete com.marlowpennet.Frameweaver.mcp other-account; "
        "kill $keyring'");
    // Present: deleted; then absent: not found; the item of another account survived.
    EXPECT_EQ(output, "stored\nstored\ndeleted\nnotFound\ndeleted\n");
}

TEST_F(SecretStoreTest, AnItemInALockedKeyringIsNeitherUnlockedNorDeleted) {
    const std::string output = run(
        "dbus-run-session -- sh -c '"
        "printf secret | gnome-keyring-daemon --unlock --components=secrets >/dev/null; "
        "i=0; until " + std::string(kServiceRunning) + " | grep -q true; do "
        "  i=$((i+1)); if [ $i -gt 600 ]; then echo no-keyring; exit 1; fi; "
        "  sleep 0.05; done; "
        "\"$PROBE\" store com.marlowpennet.Frameweaver.mcp local-bearer-token default; "
        "gdbus call --session --dest org.freedesktop.secrets --object-path /org/freedesktop/secrets "
        "--method org.freedesktop.Secret.Service.Lock "
        "\"[\\\"/org/freedesktop/secrets/collection/login\\\"]\" >/dev/null; "
        "\"$PROBE\" delete com.marlowpennet.Frameweaver.mcp local-bearer-token | cut -d\" \" -f1; "
        // Still there, still locked.
        "gdbus call --session --dest org.freedesktop.secrets --object-path /org/freedesktop/secrets "
        "--method org.freedesktop.Secret.Service.SearchItems "
        "\"{\\\"service\\\": \\\"com.marlowpennet.Frameweaver.mcp\\\", "
        "\\\"account\\\": \\\"local-bearer-token\\\"}\" | grep -c \"\\[\\], \\[objectpath\"; "
        // The daemon went to the background: end it by the process id the bus gives for it.
        "pid=$(gdbus call --session --dest org.freedesktop.DBus --object-path /org/freedesktop/DBus "
        "--method org.freedesktop.DBus.GetConnectionUnixProcessID org.freedesktop.secrets "
        "| cut -d\" \" -f2 | tr -dc 0-9); kill $pid'");
    // Locked: the deletion fails at once, without asking for the password, and the item stays
    // (locked, as it was).
    EXPECT_EQ(output, "stored\nfailed\n1\n");
}

TEST_F(SecretStoreTest, AServiceThatDoesNotAnswerFailsAtTheTimeout) {
    const std::string output = run(
        "dbus-run-session -- sh -c '"
        "gnome-keyring-daemon --start --foreground --components=secrets >/dev/null & keyring=$!; "
        "i=0; until " + std::string(kServiceRunning) + " | grep -q true; do "
        "  i=$((i+1)); if [ $i -gt 600 ]; then echo no-keyring; kill $keyring; exit 1; fi; "
        "  sleep 0.05; done; "
        // Still owns its name on the bus, but answers nothing.
        "kill -STOP $keyring; "
        "\"$PROBE\" delete com.marlowpennet.Frameweaver.mcp local-bearer-token 1000; "
        "kill -CONT $keyring; kill $keyring'");
    EXPECT_EQ(output, "failed 24 The secret service did not answer in time.\n");
}

TEST_F(SecretStoreTest, ASecretServiceThatIsNotRunningIsNotFoundAndNotStarted) {
    const std::string output = run("dbus-run-session -- sh -c '"
                                   "\"$PROBE\" delete com.marlowpennet.Frameweaver.mcp "
                                   "local-bearer-token; " +
                                   std::string(kServiceRunning) + "'");
    EXPECT_EQ(output, "notFound\n(false,)\n");
}

TEST_F(SecretStoreTest, NoSessionBusAtAllIsNotFound) {
    const std::string output =
        run("env -u DBUS_SESSION_BUS_ADDRESS -u DISPLAY -u WAYLAND_DISPLAY \"$PROBE\" delete "
            "com.marlowpennet.Frameweaver.mcp local-bearer-token");
    EXPECT_EQ(output, "notFound\n");
}

}  // namespace
}  // namespace fw::platform
