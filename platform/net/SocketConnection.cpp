// The socket connections behind fw::net::Connection: TCP (optionally TLS) and Unix sockets on
// Boost.Asio, and sockets adopted from a listener.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/connect.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/ssl/stream.hpp>
#include <boost/asio/system_executor.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>
#include <cerrno>
#include <deque>
#include <variant>
#include <vector>

#include "platform/http/Tls.h"
#include "platform/net/Connection.h"

namespace fw::net {

namespace asio = boost::asio;
using boost::system::error_code;
using tcp = asio::ip::tcp;
using unix_socket = asio::local::stream_protocol;

namespace {

// Reads ask the system for at most this much at once, whatever the caller allows.
constexpr std::size_t kMaxReadSize = 64 * 1024;

std::error_code systemError(int number) {
    return {number, std::system_category()};
}

// Socket errors as plain errno values in the system category; others (TLS) as they are.
std::error_code toStd(const error_code& code) {
    if (code.category() == boost::system::system_category() ||
        code.category() == boost::system::generic_category()) {
        return systemError(code.value());
    }
    return code;
}

bool isIpAddress(const std::string& host) {
    error_code code;
    asio::ip::make_address(host, code);
    return !code;
}

// Keepalive probes: the first after this long idle, then one each interval, and the connection
// fails after this many unanswered ones. Set here rather than left to the system's defaults (two
// hours idle), since the network transport relies on them to notice a peer that vanished.
constexpr int kKeepaliveIdleSeconds = 30;
constexpr int kKeepaliveIntervalSeconds = 10;
constexpr int kKeepaliveProbes = 3;

// Lines go out at once (no Nagle delay), and keepalive notices a peer that vanished.
void tuneTcp(tcp::socket& socket) {
    error_code ignored;
    socket.set_option(tcp::no_delay(true), ignored);
    socket.set_option(asio::socket_base::keep_alive(true), ignored);
    const int descriptor = socket.native_handle();
    ::setsockopt(descriptor, IPPROTO_TCP, TCP_KEEPIDLE, &kKeepaliveIdleSeconds,
                 sizeof kKeepaliveIdleSeconds);
    ::setsockopt(descriptor, IPPROTO_TCP, TCP_KEEPINTVL, &kKeepaliveIntervalSeconds,
                 sizeof kKeepaliveIntervalSeconds);
    ::setsockopt(descriptor, IPPROTO_TCP, TCP_KEEPCNT, &kKeepaliveProbes, sizeof kKeepaliveProbes);
}

using Stream = std::variant<tcp::socket, asio::ssl::stream<tcp::socket>, unix_socket::socket>;

template <class S>
auto& lowest(S& stream) {
    if constexpr (std::is_same_v<S, asio::ssl::stream<tcp::socket>>) {
        return stream.lowest_layer();
    } else {
        return stream;
    }
}

class SocketConnection final : public Connection,
                               public std::enable_shared_from_this<SocketConnection> {
public:
    SocketConnection(Endpoint endpoint, ConnectionOptions options)
        : endpoint_(std::move(endpoint)), options_(std::move(options)) {
        if (options_.tls && endpoint_.kind == Endpoint::Kind::tcp) {
            tls_ = std::make_shared<asio::ssl::context>(http::makeClientTlsContext(
                options_.certificateAuthoritiesPEM, "The network connection"));
        }
    }

    explicit SocketConnection(int adopted) : adopted_(adopted) {}

    ~SocketConnection() override {
        closeStream();
        if (adopted_ != -1) {
            ::close(adopted_);
        }
    }

    ConnectionState state() const override { return state_; }

    void setStateUpdateHandler(StateHandler handler) override { handler_ = std::move(handler); }

    void start(asio::any_io_executor executor) override {
        if (state_.kind == ConnectionState::Kind::preparing ||
            state_.kind == ConnectionState::Kind::ready) {
            return;
        }
        executor_ = std::move(executor);
        ++generation_;
        closeStream();
        failQueued(asio::error::operation_aborted);
        if (adoptedBefore_ || adopted_ != -1) {
            startAdopted();
            return;
        }
        report(ConnectionState::preparing());
        asio::co_spawn(*executor_, establish(shared_from_this(), generation_), asio::detached);
    }

    void cancel() override {
        if (state_.kind == ConnectionState::Kind::cancelled || !executor_) {
            return;
        }
        ++generation_;
        closeStream();
        failQueued(asio::error::operation_aborted);
        report(ConnectionState::cancelled());
    }

    void send(std::string bytes, SendCompletion completion) override {
        if (state_.kind != ConnectionState::Kind::ready) {
            post([completion = std::move(completion)] { completion(systemError(ENOTCONN)); });
            return;
        }
        sends_.push_back(
            PendingSend{std::make_shared<std::string>(std::move(bytes)), std::move(completion)});
        if (!writing_) {
            writeNext();
        }
    }

    void receive(std::size_t minimum, std::size_t maximum, ReceiveCompletion completion) override {
        if (state_.kind != ConnectionState::Kind::ready) {
            post([completion = std::move(completion)] {
                completion(std::nullopt, false, systemError(ENOTCONN));
            });
            return;
        }
        if (readFailure_) {
            post([completion = std::move(completion), failure = readFailure_] {
                completion(std::nullopt, false, failure);
            });
            return;
        }
        minimum = std::max<std::size_t>(minimum, 1);
        const std::size_t size = std::max(minimum, std::min(maximum, kMaxReadSize));
        // One buffer for every read (one receive at a time), kept alive by the read under way;
        // only the bytes read are copied out.
        if (!readBuffer_ || readBuffer_->size() < size) {
            readBuffer_ = std::make_shared<std::vector<char>>(size);
        }
        // The handler keeps the stream too: a restart replaces stream_ while this read may
        // still be on its way back.
        auto handler = [self = shared_from_this(), generation = generation_, buffer = readBuffer_,
                        stream = stream_, completion = std::move(completion)](
                           const error_code& code, std::size_t count) {
            self->onRead(generation, code, count, buffer->data(), completion);
        };
        std::visit(
            [&](auto& stream) {
                const auto target = asio::buffer(readBuffer_->data(), size);
                if (minimum == 1) {
                    stream.async_read_some(target, std::move(handler));  // what most reads ask
                } else {
                    asio::async_read(stream, target, asio::transfer_at_least(minimum),
                                     std::move(handler));
                }
            },
            *stream_);
    }

private:
    struct PendingSend {
        std::shared_ptr<std::string> bytes;
        SendCompletion completion;
    };

    // Before the first start() there is no executor yet: completions of refused operations
    // then run on the system's.
    template <class F>
    void post(F&& function) {
        if (executor_) {
            asio::post(*executor_, std::forward<F>(function));
        } else {
            asio::post(asio::system_executor(), std::forward<F>(function));
        }
    }

    // Reports a state; dropped when the connection was cancelled or started again meanwhile.
    void report(ConnectionState state) {
        state_ = state;
        post([self = shared_from_this(), state, generation = generation_] {
            if (self->generation_ == generation && self->handler_) {
                self->handler_(state);
            }
        });
    }

    void startAdopted() {
        if (adoptedBefore_) {
            state_ = ConnectionState::failed(systemError(ENOTCONN));
            report(state_);
            return;
        }
        adoptedBefore_ = true;
        const int descriptor = std::exchange(adopted_, -1);
        sockaddr_storage address{};
        socklen_t length = sizeof address;
        ::getsockname(descriptor, reinterpret_cast<sockaddr*>(&address), &length);
        error_code code;
        if (address.ss_family == AF_UNIX) {
            emplaceStream<unix_socket::socket>(*executor_).assign(unix_socket(), descriptor, code);
        } else {
            auto& socket = emplaceStream<tcp::socket>(*executor_);
            socket.assign(address.ss_family == AF_INET6 ? tcp::v6() : tcp::v4(), descriptor, code);
            if (!code) {
                tuneTcp(socket);
            }
        }
        report(code ? ConnectionState::failed(toStd(code)) : ConnectionState::ready());
    }

    // A new stream; the one before lives on while operations begun on it still hold it.
    template <class S, class... Arguments>
    S& emplaceStream(Arguments&&... arguments) {
        stream_ =
            std::make_shared<Stream>(std::in_place_type<S>, std::forward<Arguments>(arguments)...);
        return std::get<S>(*stream_);
    }

    static asio::awaitable<void> establish(std::shared_ptr<SocketConnection> self,
                                           std::uint64_t generation) {
        const error_code code = co_await self->open(generation);
        if (self->generation_ != generation) {
            co_return;  // cancelled or started again while it was being established
        }
        self->report(code ? ConnectionState::failed(toStd(code)) : ConnectionState::ready());
    }

    // Every step checks `generation` after it waited: a cancel() or start() meanwhile owns the
    // stream from then on.
    asio::awaitable<error_code> open(std::uint64_t generation) {
        const auto executor = *executor_;
        const error_code aborted = asio::error::operation_aborted;
        if (endpoint_.kind == Endpoint::Kind::unixSocket) {
            auto& socket = emplaceStream<unix_socket::socket>(executor);
            const std::shared_ptr<Stream> held = stream_;  // alive across a restart meanwhile
            auto [code] = co_await socket.async_connect(unix_socket::endpoint(endpoint_.path),
                                                        asio::as_tuple(asio::use_awaitable));
            co_return generation_ == generation ? code : aborted;
        }
        auto resolver = std::make_shared<tcp::resolver>(executor);
        resolver_ = resolver;
        auto [resolveCode, endpoints] = co_await resolver->async_resolve(
            endpoint_.host, std::to_string(endpoint_.port), asio::as_tuple(asio::use_awaitable));
        if (generation_ != generation) {
            co_return aborted;
        }
        if (resolveCode) {
            co_return resolveCode;
        }
        tcp::socket& socket =
            tls_ ? emplaceStream<asio::ssl::stream<tcp::socket>>(executor, *tls_).next_layer()
                 : emplaceStream<tcp::socket>(executor);
        const std::shared_ptr<Stream> held = stream_;  // alive across a restart meanwhile
        auto [connectCode, connected] =
            co_await asio::async_connect(socket, endpoints, asio::as_tuple(asio::use_awaitable));
        if (generation_ != generation) {
            co_return aborted;
        }
        if (connectCode) {
            co_return connectCode;
        }
        tuneTcp(socket);
        if (!tls_) {
            co_return error_code{};
        }
        auto& tls = std::get<asio::ssl::stream<tcp::socket>>(*held);
        http::prepareClientHandshake(tls.native_handle(), endpoint_.host,
                                     isIpAddress(endpoint_.host));
        auto [handshakeCode] = co_await tls.async_handshake(asio::ssl::stream_base::client,
                                                            asio::as_tuple(asio::use_awaitable));
        co_return generation_ == generation ? handshakeCode : aborted;
    }

    void writeNext() {
        writing_ = true;
        auto bytes = sends_.front().bytes;
        std::visit(
            [&](auto& stream) {
                asio::async_write(stream, asio::buffer(*bytes),
                                  [self = shared_from_this(), generation = generation_, bytes,
                                   held = stream_](const error_code& code, std::size_t) {
                                      self->onWritten(generation, code);
                                  });
            },
            *stream_);
    }

    void onWritten(std::uint64_t generation, const error_code& code) {
        if (generation != generation_) {
            return;  // cancel() or start() has ended this send already
        }
        PendingSend done = std::move(sends_.front());
        sends_.pop_front();
        if (code) {
            writing_ = false;
            failQueued(code);
            state_ = ConnectionState::failed(toStd(code));
            done.completion(toStd(code));
            return;
        }
        if (sends_.empty()) {
            writing_ = false;
        } else {
            writeNext();
        }
        done.completion({});
    }

    void onRead(std::uint64_t generation, const error_code& code, std::size_t count,
                const char* bytes, const ReceiveCompletion& completion) {
        if (generation != generation_) {
            completion(std::nullopt, false, systemError(ECANCELED));
            return;
        }
        const bool atEnd = code == asio::error::eof;
        if (code && !atEnd && code != asio::error::operation_aborted) {
            state_ = ConnectionState::failed(toStd(code));
        }
        if (count > 0) {
            if (code && !atEnd) {
                readFailure_ = toStd(code);  // for the next receive(), after these bytes
            }
            completion(std::string(bytes, count), atEnd, {});
            return;
        }
        if (atEnd) {
            completion(std::nullopt, true, {});
            return;
        }
        completion(std::nullopt, false, toStd(code));
    }

    // Sends queued and not yet written fail with `code`, in order, outside this call.
    void failQueued(const error_code& code) {
        writing_ = false;
        for (PendingSend& pending : sends_) {
            post([completion = std::move(pending.completion), failure = toStd(code)] {
                completion(failure);
            });
        }
        sends_.clear();
    }

    void closeStream() {
        readFailure_ = {};
        if (auto resolver = resolver_.lock()) {
            resolver->cancel();
        }
        if (!stream_) {
            return;
        }
        std::visit(
            [](auto& stream) {
                error_code ignored;
                lowest(stream).shutdown(asio::socket_base::shutdown_both, ignored);
                lowest(stream).close(ignored);
            },
            *stream_);
    }

    const Endpoint endpoint_;
    const ConnectionOptions options_;
    std::shared_ptr<asio::ssl::context> tls_;
    int adopted_ = -1;
    bool adoptedBefore_ = false;

    std::optional<asio::any_io_executor> executor_;
    ConnectionState state_;
    StateHandler handler_;
    // Counts starts and cancels: callbacks of an earlier socket are recognised and dropped.
    std::uint64_t generation_ = 0;
    // Shared with the operations under way on it (see emplaceStream()).
    std::shared_ptr<Stream> stream_;
    std::weak_ptr<tcp::resolver> resolver_;
    std::deque<PendingSend> sends_;
    bool writing_ = false;
    std::error_code readFailure_;
    std::shared_ptr<std::vector<char>> readBuffer_;
};

}  // namespace

std::shared_ptr<Connection> makeConnection(Endpoint endpoint, ConnectionOptions options) {
    return std::make_shared<SocketConnection>(std::move(endpoint), std::move(options));
}

std::shared_ptr<Connection> adoptConnectedSocket(int descriptor) {
    return std::make_shared<SocketConnection>(descriptor);
}

}  // namespace fw::net
