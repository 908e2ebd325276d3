// MCPBridgeMain: the companion program `frameweaver-mcp`, which an AI client starts as its MCP
// server. It reads no arguments, and of its environment only where the user's session services
// are, to start the application (bridge/UserSession.h): it finds the application bundle three
// folders above its own canonical executable (and must itself be that bundle's
// "Contents/MacOS/frameweaver-mcp"), reaches that installation's local automation socket,
// launching the application in the background when it is not running, checks that the peer is
// the genuine application of the same installation, completes the handshake, and then relays
// lines between its standard streams and the socket (bridge/BridgeRelay.h). It holds no MCP
// logic; it reads a line's JSON only to tell requests from their answers
// (bridge/PendingRequests.h).
//
// Start-up must finish within eight seconds of the program's start (bridge/StartupDeadline.h).
// Exit status: 0 when the application closed the connection with every relayed request
// answered; 1 when start-up failed or ran out of time, when standard output could not be
// written, when reading from the application failed, or when the application closed the
// connection with a request unanswered (a client must see that failure). Every line on standard
// error begins with "Frameweaver MCP bridge" (bridge/BridgeMessages.h).
//
// Threads: the main thread runs start-up and the socket-to-output relay; the start-up timer has
// its own thread until start-up completes; the input relay runs on one detached thread.
#pragma once

#include <chrono>
#include <exception>
#include <filesystem>
#include <functional>
#include <string>

#include "bridge/ApplicationLauncher.h"
#include "bridge/StartupDeadline.h"

namespace fw::bridge {

// What start-up asks of the world beyond the socket; the program uses system(), tests their
// own.
struct StartupServices {
    // Checks the connected peer; throws IdentityError when it is not the application.
    std::function<void(int descriptor)> checkPeer;
    // Checks the application's signature record on disk before a launch; throws IdentityError.
    std::function<void()> validateApplication;
    // Whether the application of this installation is running already.
    std::function<bool()> isApplicationRunning;
    // Launches the application in the background, waiting at most until the deadline given;
    // returns what it started. Throws LaunchError.
    std::function<LaunchedApplication(MonotonicTime deadline)> launchApplication;
    // The pause between connection attempts after the first.
    std::chrono::milliseconds retryPause{100};

    // The real services for the canonical bundle `appBundle`.
    static StartupServices system(const std::filesystem::path& appBundle);
};

namespace MCPBridgeMain {

// The program: ignores SIGPIPE, runs, and returns the exit status; a failure out of run() is
// reported by fail().
int main();

// Start-up, then the relay; returns the exit status. Throws what start-up or standard output
// failed with.
int run();

// Reaches the application's socket: one attempt; when nobody listens yet, a launch unless the
// application already runs (at most one launch), then an attempt every `retryPause` until one
// succeeds or the deadline passes. A launched application that has ended meanwhile ends the
// wait at once with LaunchError saying so. Returns the connected, verified, handshaken
// descriptor.
int connectOrLaunch(const std::filesystem::path& appBundle, const std::string& socketPath,
                    MonotonicTime deadline, const StartupServices& services);

// Writes "Frameweaver MCP bridge: " and the error's description to standard error and exits
// with status 1.
[[noreturn]] void fail(const std::exception& error);

}  // namespace MCPBridgeMain
}  // namespace fw::bridge
