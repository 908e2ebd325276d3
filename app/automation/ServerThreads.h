// ServerThreads: the plain threads of one socket server (its accept loops and its handshakes),
// kept joinable so that none of them outlives the server. A thread of the server may hold the
// server's core for a moment, and the core owns a strand of the server's executor: if such a
// thread dropped the last reference after the executor's context had gone, the strand would be
// destroyed against freed memory. So the server joins every thread it started before it and its
// executor may go, instead of detaching them.
//
//   auto threads = std::make_shared<ServerThreads>();
//   threads->start(handle, [handle] { /* blocking work on the socket */ });
//   ...
//   threads->shutDownAndJoin();   // wakes every blocked thread through its socket, then joins
//   threads->close();             // the same, and no thread starts any more
//
// Each thread is started with the socket its work blocks on; shutDownAndJoin() shuts those
// sockets down, which makes every blocked read, write, accept or poll on them return at once.
// A thread's work must not wait for anything else that only its owner's executor gives.
//
// Always made with std::make_shared: each thread keeps the object alive until it has ended.
//
// Thread-safety: any thread. A call from one of the threads does not wait for that thread.
// Destruction joins what is left.
#pragma once

#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

#include "LocalAutomation/MCPUnixSocketHandle.h"

namespace fw::automation {

class ServerThreads : public std::enable_shared_from_this<ServerThreads> {
public:
    ServerThreads() = default;
    ~ServerThreads();
    ServerThreads(const ServerThreads&) = delete;
    ServerThreads& operator=(const ServerThreads&) = delete;

    // Runs `work` on a new thread that blocks on `socket`, and first joins the threads that
    // have finished. False, and nothing runs, once closed. Throws std::system_error when no
    // thread can be started.
    bool start(const std::shared_ptr<MCPUnixSocketHandle>& socket, std::function<void()> work);
    // Shuts down the socket of every thread still running and waits until all have ended.
    void shutDownAndJoin();
    // shutDownAndJoin(), after which start() refuses.
    void close();

private:
    struct Entry {
        // Weak: the socket closes, and gives its admission slot back, when its users let go.
        std::weak_ptr<MCPUnixSocketHandle> socket;
        std::thread thread;
        bool finished = false;  // guarded by ServerThreads::lock_
    };

    // Joins and forgets the finished threads.
    void reapFinished();

    std::mutex lock_;
    std::list<Entry> entries_;  // guarded by lock_; an entry's address stays put
    bool closed_ = false;       // guarded by lock_
};

}  // namespace fw::automation
