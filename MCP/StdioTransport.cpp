#include "MCP/StdioTransport.h"

#include <fcntl.h>
#include <unistd.h>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>
#include <cerrno>
#include <string_view>
#include <system_error>
#include <vector>

#include "Logging/NoOpLogHandler.h"
#include "MCP/Actor.h"
#include "MCP/MCPError.h"

// g++ 12 takes the sized delete of Asio's coroutine frames for a mismatch with their allocator.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace mcp {

namespace asio = boost::asio;

namespace {

constexpr std::size_t kReadSize = 64 * 1024;

std::error_code lastSystemError() {
    return {errno, std::system_category()};
}

void setNonBlocking(int descriptor) {
    const int flags = ::fcntl(descriptor, F_GETFL);
    if (flags == -1 || ::fcntl(descriptor, F_SETFL, flags | O_NONBLOCK) == -1) {
        throw MCPError::transportError(lastSystemError());
    }
}

// Writes what the non-blocking descriptor takes now; the count written, or an error other than
// a full pipe.
std::size_t writeNow(int descriptor, std::string_view bytes, boost::system::error_code& error) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t count = ::write(descriptor, bytes.data() + done, bytes.size() - done);
        if (count > 0) {
            done += static_cast<std::size_t>(count);
            continue;
        }
        if (count == -1 && errno == EINTR) {
            continue;
        }
        if (count == -1 && errno != EAGAIN && errno != EWOULDBLOCK) {
            error = boost::system::error_code(errno, boost::system::system_category());
        }
        break;
    }
    return done;
}

}  // namespace

struct StdioTransport::State {
    State(asio::any_io_executor executor, int input, int output, std::size_t maxLineLength)
        : strand(asio::make_strand(executor)),
          inputFd(input),
          outputFd(output),
          maxLineLength(maxLineLength),
          input(strand),
          output(strand),
          writeIdle(strand, asio::steady_timer::time_point::max()) {
        auto [madeStream, madeSource] = MessageStream::make();
        stream.emplace(std::move(madeStream));
        source.emplace(std::move(madeSource));
    }

    ~State() {
        // The descriptors belong to the caller: never closed here (a duplicate of our own is).
        if (input.is_open()) {
            input.release();
        }
        if (output.is_open()) {
            output.release();
        }
        if (ownedOutputFd != -1) {
            ::close(ownedOutputFd);
        }
    }

    Strand strand;
    const int inputFd;
    const int outputFd;
    int ownedOutputFd = -1;
    const std::size_t maxLineLength;
    asio::posix::stream_descriptor input;
    asio::posix::stream_descriptor output;
    bool isConnected = false;
    bool writing = false;
    // Never expires; cancelled to wake the sends waiting for the current write to end.
    asio::steady_timer writeIdle;
    std::optional<MessageStream> stream;
    std::optional<MessageStream::Source> source;
};

StdioTransport::StdioTransport(asio::any_io_executor executor, int input, int output,
                               std::optional<logging::Logger> logger, std::size_t maxLineLength)
    : logger_(logger ? std::move(*logger)
                     : logging::Logger("mcp.transport.stdio", logging::NoOpLogHandler())),
      state_(std::make_shared<State>(std::move(executor), input, output, maxLineLength)) {}

StdioTransport::~StdioTransport() = default;

asio::awaitable<void> StdioTransport::connect() {
    auto self = shared_from_this();
    co_await asio::co_spawn(state_->strand, connectOnStrand(), asio::use_awaitable);
}

asio::awaitable<void> StdioTransport::connectOnStrand() {
    {
        State& state = *state_;
        if (state.isConnected) {
            co_return;
        }
        setNonBlocking(state.inputFd);
        setNonBlocking(state.outputFd);
        try {
            if (!state.input.is_open()) {
                state.input.assign(state.inputFd);
            }
            if (!state.output.is_open()) {
                // One descriptor cannot be watched twice: a socket used both ways gets a twin.
                int writeFd = state.outputFd;
                if (writeFd == state.inputFd) {
                    writeFd = ::fcntl(state.outputFd, F_DUPFD_CLOEXEC, 0);
                    if (writeFd == -1) {
                        throw MCPError::transportError(lastSystemError());
                    }
                    state.ownedOutputFd = writeFd;
                }
                state.output.assign(writeFd);
            }
        } catch (const boost::system::system_error& error) {
            throw MCPError::transportError(std::error_code(error.code()));
        }
        state.isConnected = true;
        logger_.debug("Transport connected successfully");
        asio::co_spawn(state.strand, readLoop(shared_from_this()), asio::detached);
    }
    co_return;
}

asio::awaitable<void> StdioTransport::readLoop(std::shared_ptr<StdioTransport> self) {
    (void)self;  // the loop keeps the transport alive
    State& state = *state_;
    std::vector<char> buffer(kReadSize);
    std::string pending;
    std::exception_ptr failure;
    while (state.isConnected) {
        auto [error, count] = co_await state.input.async_read_some(
            asio::buffer(buffer), asio::as_tuple(asio::use_awaitable));
        if (error == asio::error::operation_aborted) {
            break;  // disconnect()
        }
        if (error == asio::error::eof) {
            logger_.notice("EOF received");
            break;
        }
        if (error) {
            const std::string description = error.message();
            logger_.error("Read error occurred", [&] {
                return logging::Metadata{{"error", description}};
            });
            break;
        }
        std::string_view chunk(buffer.data(), count);
        while (!chunk.empty()) {
            const std::size_t end = chunk.find('\n');
            const std::string_view piece = chunk.substr(0, end);
            if (pending.size() + piece.size() > state.maxLineLength) {
                failure = std::make_exception_ptr(
                    MCPError::internalError("Message exceeds the line length limit of " +
                                            std::to_string(state.maxLineLength) + " bytes"));
                break;
            }
            if (end == std::string_view::npos) {
                pending.append(piece);
                break;
            }
            std::string line;
            if (pending.empty()) {
                line.assign(piece);
            } else {
                line = std::move(pending);
                line.append(piece);
                pending = std::string();
            }
            chunk.remove_prefix(end + 1);
            if (line.empty()) {
                continue;
            }
            logger_.trace("Message received", [&] {
                return logging::Metadata{{"size", std::to_string(line.size())}};
            });
            state.source->yield(std::move(line));
        }
        if (failure) {
            logger_.error("Message exceeds the line length limit");
            break;
        }
    }
    if (failure) {
        state.source->finish(failure);
    } else {
        state.source->finish();
    }
}

asio::awaitable<void> StdioTransport::send(std::string message) {
    auto self = shared_from_this();
    co_await asio::co_spawn(state_->strand, sendOnStrand(std::move(message)), asio::use_awaitable);
}

asio::awaitable<void> StdioTransport::sendOnStrand(std::string message) {
    {
        State& state = *state_;
        message.push_back('\n');
        // One write at a time, each line whole: a send that finds another under way waits.
        while (state.writing) {
            co_await state.writeIdle.async_wait(asio::as_tuple(asio::use_awaitable));
            auto cancellation = co_await asio::this_coro::cancellation_state;
            if (cancellation.cancelled() != asio::cancellation_type::none) {
                throw boost::system::system_error(asio::error::operation_aborted);
            }
        }
        // Not connected, or disconnected while this send waited: nothing is written.
        if (!state.isConnected) {
            throw MCPError::transportError(std::make_error_code(std::errc::not_connected));
        }
        state.writing = true;
        // Most lines fit the pipe at once: written here without a round through the reactor,
        // and only a remainder is left to the asynchronous write.
        boost::system::error_code error;
        const std::size_t done = writeNow(state.output.native_handle(), message, error);
        if (!error && done < message.size()) {
            // Not cancellable once started: half a line would corrupt every later message.
            auto [asyncError, written] = co_await asio::async_write(
                state.output, asio::buffer(message) + done,
                asio::bind_cancellation_slot(asio::cancellation_slot(),
                                             asio::as_tuple(asio::use_awaitable)));
            (void)written;
            error = asyncError;
        }
        state.writing = false;
        state.writeIdle.cancel();
        if (error) {
            throw MCPError::transportError(std::error_code(error));
        }
    }
}

MessageStream StdioTransport::receive() {
    // The stream is made at construction; a later call gets a stream that has ended.
    if (state_->stream) {
        MessageStream stream = std::move(*state_->stream);
        state_->stream.reset();
        return stream;
    }
    auto [ended, source] = MessageStream::make();
    source.finish();
    return std::move(ended);
}

asio::awaitable<void> StdioTransport::disconnect() {
    auto self = shared_from_this();
    co_await asio::co_spawn(state_->strand, disconnectOnStrand(), asio::use_awaitable);
}

asio::awaitable<void> StdioTransport::disconnectOnStrand() {
    {
        State& state = *state_;
        if (!state.isConnected) {
            co_return;
        }
        state.isConnected = false;
        state.source->finish();
        boost::system::error_code ignored;
        state.input.cancel(ignored);
        logger_.debug("Transport disconnected");
    }
    co_return;
}

}  // namespace mcp
