// Built on the reactor interface that Asio's own descriptor and socket services use (Boost 1.81:
// register_descriptor, start_op, deregister_descriptor), with operations of our own. A read
// operation that reports itself "exhausted" makes the reactor skip the read it would otherwise
// try when the next one starts, until readiness arrives again (the reactor notes it under the
// descriptor's lock, even while no operation waits). Asio's own reads report that only for the end
// of a stream socket; the read operation here reports it for a short read of a pipe.
//
// The end of input is the one thing a short read does not show: a writer that wrote its last
// line and closed the pipe before the read came makes one readiness event (input and hang-up)
// that the read consumes. So a watch stays queued as a write operation on the pipe's read end,
// which is never writable: the reactor performs it exactly when a hang-up or an error arrives,
// before the read of the same event, and the read that follows is then not reported exhausted;
// the next one finds the end.
#include "MCP/Core/detail/ReactorDescriptor.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/asio/detail/reactor.hpp>
#include <boost/asio/detail/reactor_op.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/execution/context.hpp>
#include <boost/asio/query.hpp>
#include <boost/version.hpp>
#include <atomic>
#include <cerrno>
#include <utility>

static_assert(BOOST_VERSION / 100 == 1081,
              "ReactorDescriptor drives Asio's reactor of Boost 1.81; check its interface");

namespace mcp::detail {

namespace asio = boost::asio;
using Reactor = asio::detail::reactor;
using ReactorOperation = asio::detail::reactor_op;
using SchedulerOperation = asio::detail::scheduler_operation;

namespace {

boost::system::error_code systemError(int number) {
    return {number, asio::error::get_system_category()};
}

// Whether a read that returns fewer bytes than asked leaves the descriptor empty, and its end
// shows as a hang-up: the read end of a pipe. A terminal or a packet socket hands out one line or
// packet per read; a stream socket whose peer shuts down only its sending side reports no
// hang-up; a pipe opened for reading and writing is always writable, so its watch would fire
// on every read.
bool isPipeReadEnd(int descriptor) {
    struct stat status = {};
    if (::fstat(descriptor, &status) != 0 || !S_ISFIFO(status.st_mode)) {
        return false;
    }
    const int flags = ::fcntl(descriptor, F_GETFL);
    return flags != -1 && (flags & O_ACCMODE) == O_RDONLY;
}

class ReadOperation : public ReactorOperation {
public:
    // With `hungUp`, a short read reports the descriptor exhausted unless it is set.
    ReadOperation(int descriptor, char* data, std::size_t size, const std::atomic<bool>* hungUp,
                  ReactorDescriptor::ReadCallback callback)
        : ReactorOperation(boost::system::error_code(), &ReadOperation::perform,
                           &ReadOperation::finish),
          descriptor_(descriptor),
          data_(data),
          size_(size),
          hungUp_(hungUp),
          callback_(std::move(callback)) {}

private:
    static status perform(ReactorOperation* base) {
        auto* self = static_cast<ReadOperation*>(base);
        for (;;) {
            const ssize_t count = ::read(self->descriptor_, self->data_, self->size_);
            if (count > 0) {
                self->ec_ = boost::system::error_code();
                self->bytes_transferred_ = static_cast<std::size_t>(count);
                return self->hungUp_ && !*self->hungUp_ && self->bytes_transferred_ < self->size_
                           ? done_and_exhausted
                           : done;
            }
            if (count == 0) {
                self->ec_ = asio::error::eof;
                return done;
            }
            if (errno == EINTR) {
                continue;
            }
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                return not_done;
            }
            self->ec_ = systemError(errno);
            return done;
        }
    }

    // Without an owner the context is shutting down: the operation goes without its callback.
    static void finish(void* owner, SchedulerOperation* base, const boost::system::error_code&,
                       std::size_t) {
        std::unique_ptr<ReadOperation> self(static_cast<ReadOperation*>(base));
        ReactorDescriptor::ReadCallback callback = std::move(self->callback_);
        const boost::system::error_code error = self->ec_;
        const std::size_t count = self->bytes_transferred_;
        self.reset();
        if (owner) {
            callback(error, count);
        }
    }

    const int descriptor_;
    char* const data_;
    const std::size_t size_;
    const std::atomic<bool>* const hungUp_;
    ReactorDescriptor::ReadCallback callback_;
};

// Never completes by itself: performed on a hang-up or an error, it notes that and stays queued.
// Deregistration ends it.
class HangUpWatch : public ReactorOperation {
public:
    explicit HangUpWatch(std::atomic<bool>* hungUp)
        : ReactorOperation(boost::system::error_code(), &HangUpWatch::perform,
                           &HangUpWatch::finish),
          hungUp_(hungUp) {}

private:
    static status perform(ReactorOperation* base) {
        *static_cast<HangUpWatch*>(base)->hungUp_ = true;
        return not_done;
    }

    static void finish(void*, SchedulerOperation* base, const boost::system::error_code&,
                       std::size_t) {
        delete static_cast<HangUpWatch*>(base);
    }

    std::atomic<bool>* const hungUp_;
};

class WaitOperation : public ReactorOperation {
public:
    explicit WaitOperation(ReactorDescriptor::WaitCallback callback)
        : ReactorOperation(boost::system::error_code(), &WaitOperation::perform,
                           &WaitOperation::finish),
          callback_(std::move(callback)) {}

private:
    static status perform(ReactorOperation*) { return done; }

    static void finish(void* owner, SchedulerOperation* base, const boost::system::error_code&,
                       std::size_t) {
        std::unique_ptr<WaitOperation> self(static_cast<WaitOperation*>(base));
        ReactorDescriptor::WaitCallback callback = std::move(self->callback_);
        const boost::system::error_code error = self->ec_;
        self.reset();
        if (owner) {
            callback(error);
        }
    }

    ReactorDescriptor::WaitCallback callback_;
};

}  // namespace

struct ReactorDescriptor::Implementation {
    explicit Implementation(Reactor& reactor) : reactor(reactor) {}

    // Starts `operation`, or completes it at once with bad_descriptor when nothing is registered.
    void start(int type, ReactorOperation* operation, bool speculative) {
        if (descriptor == -1) {
            operation->ec_ = asio::error::bad_descriptor;
            reactor.post_immediate_completion(operation, false);
            return;
        }
        reactor.start_op(type, descriptor, registration, operation, false, speculative);
    }

    Reactor& reactor;
    Reactor::per_descriptor_data registration = nullptr;
    int descriptor = -1;
    bool isPipeReadEnd = false;
    // Set by the hang-up watch of a pipe's read end; read by its read operations. Both run under
    // the reactor's lock of the descriptor.
    std::atomic<bool> hungUp = false;
};

namespace {

Reactor& reactorOf(const asio::any_io_executor& executor) {
    auto& reactor = asio::use_service<Reactor>(asio::query(executor, asio::execution::context));
    // As Asio's own services do: the scheduler runs the reactor from now on.
    reactor.init_task();
    return reactor;
}

}  // namespace

ReactorDescriptor::ReactorDescriptor(const asio::any_io_executor& executor)
    : implementation_(std::make_unique<Implementation>(reactorOf(executor))) {}

void ReactorDescriptor::prepare(const asio::any_io_executor& executor) {
    reactorOf(executor);
}

ReactorDescriptor::~ReactorDescriptor() {
    release();
}

bool ReactorDescriptor::isOpen() const {
    return implementation_->descriptor != -1;
}

boost::system::error_code ReactorDescriptor::assign(int descriptor) {
    Implementation& self = *implementation_;
    if (self.descriptor != -1) {
        return asio::error::already_open;
    }
    if (const int error = self.reactor.register_descriptor(descriptor, self.registration)) {
        self.reactor.cleanup_descriptor_data(self.registration);
        return systemError(error);
    }
    self.descriptor = descriptor;
    self.isPipeReadEnd = isPipeReadEnd(descriptor);
    self.hungUp = false;
    if (self.isPipeReadEnd) {
        // Not speculative: the reactor re-arms the descriptor for it, so a hang-up that came
        // before is reported again.
        self.start(Reactor::write_op, new HangUpWatch(&self.hungUp), false);
    }
    return {};
}

void ReactorDescriptor::release() {
    Implementation& self = *implementation_;
    if (self.descriptor == -1) {
        return;
    }
    self.reactor.deregister_descriptor(self.descriptor, self.registration, false);
    self.reactor.cleanup_descriptor_data(self.registration);
    self.descriptor = -1;
}

void ReactorDescriptor::asyncReadSome(char* data, std::size_t size, ReadCallback callback) {
    Implementation& self = *implementation_;
    // Speculative: read at once unless the last read emptied the descriptor and no readiness
    // came since.
    self.start(Reactor::read_op,
               new ReadOperation(self.descriptor, data, size,
                                 self.isPipeReadEnd ? &self.hungUp : nullptr, std::move(callback)),
               true);
}

void ReactorDescriptor::asyncWaitWritable(WaitCallback callback) {
    implementation_->start(Reactor::write_op, new WaitOperation(std::move(callback)), false);
}

void ReactorDescriptor::asyncWaitReadable(WaitCallback callback) {
    implementation_->start(Reactor::read_op, new WaitOperation(std::move(callback)), false);
}

}  // namespace mcp::detail
