#include "app/automation/ServerThreads.h"

#include <utility>

namespace fw::automation {

namespace {

// Joins `thread`, unless it is the calling one, which cannot wait for itself and ends right
// after on its own.
void join(std::thread& thread) {
    if (thread.get_id() == std::this_thread::get_id()) {
        thread.detach();
    } else {
        thread.join();
    }
}

}  // namespace

ServerThreads::~ServerThreads() {
    shutDownAndJoin();
}

bool ServerThreads::start(const std::shared_ptr<MCPUnixSocketHandle>& socket,
                          std::function<void()> work) {
    reapFinished();
    std::lock_guard guard(lock_);
    if (closed_) {
        return false;
    }
    Entry& entry = entries_.emplace_back();
    entry.socket = socket;
    try {
        entry.thread =
            std::thread([self = shared_from_this(), &entry, work = std::move(work)]() mutable {
                work();
                // Whatever the work held goes here, on this thread, before the thread counts
                // as finished and may be joined.
                work = nullptr;
                std::lock_guard done(self->lock_);
                entry.finished = true;
            });
    } catch (...) {
        entries_.pop_back();
        throw;
    }
    return true;
}

void ServerThreads::reapFinished() {
    std::list<Entry> finished;
    {
        std::lock_guard guard(lock_);
        for (auto entry = entries_.begin(); entry != entries_.end();) {
            const auto next = std::next(entry);
            if (entry->finished) {
                finished.splice(finished.end(), entries_, entry);
            }
            entry = next;
        }
    }
    // A finished thread only has to return from its last statement.
    for (Entry& entry : finished) {
        join(entry.thread);
    }
}

void ServerThreads::shutDownAndJoin() {
    std::list<Entry> all;
    {
        std::lock_guard guard(lock_);
        all.swap(entries_);
    }
    for (Entry& entry : all) {
        if (auto socket = entry.socket.lock()) {
            socket->shutdown();
        }
    }
    for (Entry& entry : all) {
        join(entry.thread);
    }
}

void ServerThreads::close() {
    {
        std::lock_guard guard(lock_);
        closed_ = true;
    }
    shutDownAndJoin();
}

}  // namespace fw::automation
