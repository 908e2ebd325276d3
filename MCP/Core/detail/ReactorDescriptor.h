// ReactorDescriptor: a descriptor registered with the reactor of an Asio execution context, read
// and waited on through callbacks. The standard input/output transport reads and writes through
// it; the application's automation connections wait on their sockets with it.
//
// What it adds to boost::asio::posix::stream_descriptor: a read that comes back short on the read
// end of a pipe has emptied it, and the reactor is told so. The next read then waits for
// readiness at once instead of first trying a read that could only fail with EAGAIN: one system
// call per received message spared. No readiness and no end of input is missed (see the source).
// Other descriptors (a terminal hands out one line per read, a socket's end may come without a
// hang-up) are read as Asio reads them, trying each time.
//
// The descriptor is never closed here and its flags are left alone: the owner makes it
// non-blocking before it reads through asyncReadSome(); the waits need no such mode, so a
// descriptor that other threads use blocking can be waited on. One read (or read wait) and one
// write wait may be under way at a time. release(), and the
// destruction, end those with boost::asio::error::operation_aborted. Callbacks run on a thread
// that runs the context, directly (not through an executor); each runs once, or is destroyed
// without running when the context shuts down with the operation pending.
#pragma once

#include <boost/asio/any_io_executor.hpp>
#include <boost/system/error_code.hpp>
#include <cstddef>
#include <functional>
#include <memory>

namespace mcp::detail {

class ReactorDescriptor {
public:
    using ReadCallback = std::function<void(const boost::system::error_code&, std::size_t)>;
    using WaitCallback = std::function<void(const boost::system::error_code&)>;

    explicit ReactorDescriptor(const boost::asio::any_io_executor& executor);
    ~ReactorDescriptor();

    // Makes the reactor of `executor`'s context now, if it has none yet (its own descriptors
    // come with it), for an owner whose later descriptors should add nothing else.
    static void prepare(const boost::asio::any_io_executor& executor);
    ReactorDescriptor(const ReactorDescriptor&) = delete;
    ReactorDescriptor& operator=(const ReactorDescriptor&) = delete;

    // Registers `descriptor`; its kind (pipe, socket, other) decides whether a short read marks
    // it empty. A non-zero error code when the reactor refuses it.
    boost::system::error_code assign(int descriptor);
    bool isOpen() const;
    // Leaves the reactor; operations under way end with operation_aborted. Never closes.
    void release();

    // Reads what is there into `data` (at most `size` bytes), waiting for readiness when nothing
    // is: eof at the end of input, the errno of a failed read otherwise.
    void asyncReadSome(char* data, std::size_t size, ReadCallback callback);
    // Completes when the descriptor can take bytes (or has an error condition).
    void asyncWaitWritable(WaitCallback callback);
    // Completes when the descriptor has bytes, its end or an error condition to read. The reactor
    // re-arms the descriptor for it, so bytes that came before the wait began complete it too.
    void asyncWaitReadable(WaitCallback callback);

private:
    // The reactor and the registration, kept out of this header with Asio's internals.
    struct Implementation;
    std::unique_ptr<Implementation> implementation_;
};

}  // namespace mcp::detail
