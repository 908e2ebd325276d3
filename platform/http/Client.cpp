// Sending requests: URLs, the pool of kept-alive connections, writing a request, reading the
// head, opted-in redirects, and the body as a sequence of blocks.
#include <openssl/ssl.h>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core/buffers_to_string.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/http/write.hpp>
#include <boost/system/system_error.hpp>
#include <boost/url/parse.hpp>
#include <boost/url/url.hpp>
#include <stdexcept>

#include "platform/http/ClientCore.h"
#include "platform/http/Tls.h"

namespace fw::http {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace bhttp = boost::beast::http;
using boost::system::error_code;

namespace detail {

namespace {

constexpr std::size_t kBlockSize = 64 * 1024;
constexpr int kMaxRedirects = 10;

struct Target {
    Origin origin;
    std::string path;       // path and query, never empty
    std::string hostField;  // the value of the Host header
};

bool followsRedirect(const Request& request, int status) {
    bool keepsMethod = status == 307 || status == 308;
    bool mayChangeMethod = status == 301 || status == 302 || status == 303;
    if (request.followSameOriginRedirectsAsLoader) {
        return keepsMethod || mayChangeMethod;
    }
    return request.followSameOriginRedirects && keepsMethod;
}

// What a browser's loader sends after a redirect: a 303 asks for a GET of the new place (a HEAD
// stays a HEAD), and 301 and 302 turn a POST into a GET for historical reasons. A GET carries no
// body, so the headers describing one go with it.
void rewriteForRedirect(Request& request, int status) {
    bool toGet = (status == 303 && request.method != "HEAD" && request.method != "GET") ||
                 ((status == 301 || status == 302) && request.method == "POST");
    if (!toGet) {
        return;
    }
    request.method = "GET";
    request.body.clear();
    for (const char* name : {"Content-Type", "Content-Length", "Content-Encoding",
                             "Content-Language", "Content-Location"}) {
        request.headers.remove(name);
    }
}

Target parseTarget(const std::string& text) {
    auto invalid = [&] {
        return Error(Error::Kind::invalidURL,
                     "The URL \"" + text + "\" is not an absolute http or https URL.");
    };
    auto parsed = boost::urls::parse_uri(text);
    if (!parsed) {
        throw invalid();
    }
    const auto& url = *parsed;
    Target target;
    if (url.scheme_id() == boost::urls::scheme::https) {
        target.origin.secure = true;
    } else if (url.scheme_id() != boost::urls::scheme::http) {
        throw invalid();
    }
    if (!url.has_authority() || url.encoded_host().empty()) {
        throw invalid();
    }
    auto hostType = url.host_type();
    target.origin.hostIsAddress =
        hostType == boost::urls::host_type::ipv4 || hostType == boost::urls::host_type::ipv6;
    if (hostType == boost::urls::host_type::ipvfuture) {
        throw invalid();
    }
    target.origin.host = url.host_address();
    if (url.has_port()) {
        if (url.port().empty() || url.port_number() == 0) {
            throw invalid();
        }
        target.origin.port = url.port_number();
    } else {
        target.origin.port = target.origin.secure ? 443 : 80;
    }
    target.path = url.encoded_path().empty() ? "/" : std::string(url.encoded_path());
    if (url.has_query()) {
        target.path += "?";
        target.path += url.encoded_query();
    }
    target.hostField = std::string(url.encoded_host_and_port());
    return target;
}

// The failures of a kept-alive connection that the server closed while it lay idle.
bool isStaleConnection(const error_code& code) {
    return code == asio::error::eof || code == bhttp::error::end_of_stream ||
           code == asio::error::connection_reset || code == asio::error::broken_pipe ||
           code == asio::ssl::error::stream_truncated;
}

}  // namespace

ClientCore::ClientCore(asio::any_io_executor executor, ClientOptions options)
    : executor(std::move(executor)),
      options(std::move(options)),
      tls_(makeClientTlsContext(this->options.certificateAuthoritiesPEM, "The HTTP client")) {}

std::shared_ptr<Connection> ClientCore::takeIdle(const Origin& origin) {
    std::vector<std::shared_ptr<Connection>> expired;
    std::shared_ptr<Connection> taken;
    {
        std::lock_guard lock(mutex_);
        expired = takeExpiredLocked();
        auto found = idle_.find(origin.key());
        while (found != idle_.end() && !found->second.empty()) {
            auto connection = std::move(found->second.back());
            found->second.pop_back();
            if (connection->isQuiet()) {
                connection->reused = true;
                busy_.insert(connection);
                taken = std::move(connection);
                break;
            }
            expired.push_back(std::move(connection));
        }
    }
    for (auto& connection : expired) {
        connection->close();
    }
    return taken;
}

void ClientCore::release(std::shared_ptr<Connection> connection) {
    std::vector<std::shared_ptr<Connection>> expired;
    {
        std::lock_guard lock(mutex_);
        busy_.erase(connection);
        expired = takeExpiredLocked();
        auto& pool = idle_[connection->origin.key()];
        if (shutDown_.load() || pool.size() >= options.maxIdleConnectionsPerOrigin ||
            !connection->isOpen()) {
            expired.push_back(std::move(connection));
        } else {
            connection->idleSince = std::chrono::steady_clock::now();
            connection->tcp().expires_never();
            pool.push_back(std::move(connection));
        }
    }
    for (auto& connection : expired) {
        connection->close();
    }
}

// Every pool's connections past their lifetime, taken out (the pools of origins not asked for
// again included, which nothing else would ever empty).
std::vector<std::shared_ptr<Connection>> ClientCore::takeExpiredLocked() {
    std::vector<std::shared_ptr<Connection>> expired;
    auto now = std::chrono::steady_clock::now();
    for (auto entry = idle_.begin(); entry != idle_.end();) {
        std::erase_if(entry->second, [&](std::shared_ptr<Connection>& connection) {
            if (now - connection->idleSince < options.idleConnectionLifetime &&
                connection->isOpen()) {
                return false;
            }
            expired.push_back(std::move(connection));
            return true;
        });
        entry = entry->second.empty() ? idle_.erase(entry) : std::next(entry);
    }
    return expired;
}

void ClientCore::discard(const std::shared_ptr<Connection>& connection) {
    connection->close();
    std::lock_guard lock(mutex_);
    busy_.erase(connection);
}

void ClientCore::shutdown() {
    if (shutDown_.exchange(true)) {
        return;
    }
    // Sockets are closed on the executor, where their operations run.
    asio::post(executor, [self = shared_from_this()] {
        std::vector<std::shared_ptr<Connection>> all;
        {
            std::lock_guard lock(self->mutex_);
            for (auto& [key, pool] : self->idle_) {
                all.insert(all.end(), pool.begin(), pool.end());
            }
            self->idle_.clear();
            all.insert(all.end(), self->busy_.begin(), self->busy_.end());
        }
        for (auto& connection : all) {
            connection->close();
        }
    });
}

asio::awaitable<Response> ClientCore::send(Request request) {
    std::string url = request.url;
    for (int redirects = 0;; ++redirects) {
        Response response;
        for (int attempt = 0;; ++attempt) {
            bool retryable = false;
            try {
                response = co_await sendOnce(request, url, retryable);
                break;
            } catch (const Error&) {
                // A kept-alive connection the server closed meanwhile: once more on a new one.
                if (!retryable || attempt > 0) {
                    throw;
                }
            }
        }
        if (!followsRedirect(request, response.status)) {
            co_return response;
        }
        auto location = response.headers.get("Location");
        if (!location) {
            co_return response;
        }
        boost::urls::url next;
        auto reference = boost::urls::parse_uri_reference(*location);
        auto base = boost::urls::parse_uri(url);
        if (!reference || !base || !boost::urls::resolve(*base, *reference, next)) {
            co_return response;
        }
        std::string nextText(next.buffer());
        Target from = parseTarget(url);
        Target to;
        try {
            to = parseTarget(nextText);
        } catch (const Error&) {
            co_return response;
        }
        if (!(to.origin == from.origin)) {
            co_return response;
        }
        if (redirects + 1 > kMaxRedirects) {
            throw Error(Error::Kind::tooManyRedirects,
                        "The server at " + from.origin.display() + " redirected more than " +
                            std::to_string(kMaxRedirects) + " times.");
        }
        url = std::move(nextText);
        rewriteForRedirect(request, response.status);
        // The redirect's own body is not read: dropping it closes its connection.
    }
}

asio::awaitable<Response> ClientCore::sendOnce(const Request& request, const std::string& url,
                                               bool& retryable) {
    if (shutDown_.load()) {
        throw Error(Error::Kind::shutDown, "The HTTP client was shut down.");
    }
    Target target = parseTarget(url);
    auto connectTimeout = request.connectTimeout.value_or(options.connectTimeout);
    auto idleTimeout = request.idleTimeout.value_or(options.idleTimeout);
    auto deadline = std::chrono::steady_clock::now() + connectTimeout;

    auto connection = takeIdle(target.origin);
    if (!connection) {
        connection = std::make_shared<Connection>(
            executor, target.origin.secure ? &tls_ : nullptr, target.origin);
        {
            std::lock_guard lock(mutex_);
            busy_.insert(connection);
        }
        try {
            co_await connection->open(deadline, connectTimeout, shutDown_);
        } catch (...) {
            discard(connection);
            throw;
        }
    }
    auto exchange = std::make_shared<Exchange>(shared_from_this(), connection, idleTimeout);
    bool reused = connection->reused;

    bhttp::request<bhttp::string_body> message;
    message.version(11);
    message.method_string(request.method);
    message.target(target.path);
    message.set(bhttp::field::host, target.hostField);
    for (const auto& [name, value] : request.headers) {
        message.set(name, value);
    }
    if (!request.body.empty() || request.method == "POST" || request.method == "PUT" ||
        request.method == "PATCH") {
        message.body() = request.body;
        message.prepare_payload();
    }
    connection->tcp().expires_at(deadline);
    auto [writeCode, written] = co_await connection->withStream([&](auto& stream) {
        return bhttp::async_write(stream, message, asio::as_tuple(asio::use_awaitable));
    });
    if (writeCode) {
        retryable = reused && isStaleConnection(writeCode);
        throwFailure(target.origin, Phase::write, writeCode, connectTimeout, shutDown_.load());
    }
    // Interim answers (100 Continue, 103 Early Hints, ...) come before the final one and are
    // passed over; 101 ends the exchange as it is.
    for (bool interimSeen = false;; interimSeen = true) {
        auto& parser = exchange->startHead(request.method == "HEAD");
        auto [headCode, headBytes] = co_await connection->withStream([&](auto& stream) {
            return bhttp::async_read_header(stream, connection->buffer, parser,
                                            asio::as_tuple(asio::use_awaitable));
        });
        if (headCode) {
            // A connection that lay idle ended before a byte of an answer: most likely the
            // server closed it as the request went out. The request goes once more on a new
            // connection, whatever its method (a POST is no less likely to meet this).
            retryable = reused && !interimSeen && isStaleConnection(headCode) && headBytes == 0 &&
                        connection->buffer.size() == 0;
            throwFailure(target.origin, Phase::head, headCode, connectTimeout, shutDown_.load());
        }
        unsigned status = parser.get().result_int();
        if (status >= 200 || status < 100 || status == 101) {
            break;
        }
    }

    const auto& head = exchange->parser().get();
    Response response;
    response.status = static_cast<int>(head.result_int());
    response.reason = std::string(head.reason());
    for (const auto& field : head) {
        response.headers.add(field.name_string(), field.value());
    }
    response.url = url;
    exchange->headRead();
    response.body = ResponseBody(std::move(exchange));
    co_return response;
}

Exchange::Exchange(std::shared_ptr<ClientCore> core, std::shared_ptr<Connection> connection,
                   std::chrono::milliseconds idleTimeout)
    : core_(std::move(core)), connection_(std::move(connection)), idleTimeout_(idleTimeout) {}

Exchange::Parser& Exchange::startHead(bool answersHead) {
    parser_.emplace();
    parser_->header_limit(kHeadLimit);
    parser_->body_limit(boost::none);  // the body streams through; its reader bounds it
    if (answersHead) {
        parser_->skip(true);
    }
    return *parser_;
}

Exchange::~Exchange() {
    if (connection_) {
        core_->discard(connection_);
    }
}

void Exchange::headRead() {
    if (parser_->is_done()) {
        finishBody();
    }
}

void Exchange::finishBody() {
    done_ = true;
    auto connection = std::move(connection_);
    connection_.reset();
    if (parser_->keep_alive()) {
        core_->release(std::move(connection));
    } else {
        core_->discard(connection);
    }
}

asio::awaitable<std::optional<std::span<const std::uint8_t>>> Exchange::next() {
    if (failure_) {
        std::rethrow_exception(failure_);
    }
    if (done_) {
        co_return std::nullopt;
    }
    if (!block_) {
        // A body of known small length needs no more than that; one byte spare lets the
        // parser finish in the same read instead of asking for room first.
        auto length = parser_->content_length();
        blockSize_ = length && *length < kBlockSize ? std::size_t(*length) + 1 : kBlockSize;
        block_ = std::make_unique_for_overwrite<std::uint8_t[]>(blockSize_);
    }
    for (;;) {
        auto& body = parser_->get().body();
        body.data = block_.get();
        body.size = blockSize_;
        body.more = true;
        if (idleTimeout_) {
            connection_->tcp().expires_after(*idleTimeout_);
        } else {
            connection_->tcp().expires_never();
        }
        auto [code, count] = co_await connection_->withStream([&](auto& stream) {
            return bhttp::async_read_some(stream, connection_->buffer, *parser_,
                                          asio::as_tuple(asio::use_awaitable));
        });
        if (code == bhttp::error::need_buffer) {
            code = {};
        }
        if (code) {
            auto connection = std::move(connection_);
            connection_.reset();
            core_->discard(connection);
            try {
                throwFailure(connection->origin, Phase::body, code,
                             idleTimeout_.value_or(std::chrono::milliseconds(0)),
                             core_->isShutDown());
            } catch (...) {
                failure_ = std::current_exception();  // the body cannot be read on
                throw;
            }
        }
        std::size_t received = blockSize_ - parser_->get().body().size;
        if (parser_->is_done()) {
            finishBody();
        }
        if (received > 0) {
            co_return std::span<const std::uint8_t>(block_.get(), received);
        }
        if (done_) {
            co_return std::nullopt;
        }
    }
}

}  // namespace detail

ResponseBody::ResponseBody(std::shared_ptr<detail::Exchange> exchange)
    : exchange_(std::move(exchange)) {}
ResponseBody::ResponseBody(ResponseBody&&) noexcept = default;
ResponseBody& ResponseBody::operator=(ResponseBody&&) noexcept = default;
ResponseBody::~ResponseBody() = default;

asio::awaitable<std::optional<std::span<const std::uint8_t>>> ResponseBody::next() {
    if (!exchange_) {
        co_return std::nullopt;
    }
    co_return co_await exchange_->next();
}

void ResponseBody::setIdleTimeout(std::optional<std::chrono::milliseconds> timeout) {
    if (exchange_) {
        exchange_->setIdleTimeout(timeout);
    }
}

asio::awaitable<std::string> ResponseBody::readAll(std::size_t maxBytes) {
    std::string text;
    while (auto bytes = co_await next()) {
        if (text.size() + bytes->size() > maxBytes) {
            exchange_.reset();
            throw Error(Error::Kind::malformedResponse,
                        "The response body is larger than the limit of " +
                            std::to_string(maxBytes) + " bytes.");
        }
        text.append(reinterpret_cast<const char*>(bytes->data()), bytes->size());
    }
    co_return text;
}

Client::Client(asio::any_io_executor executor, ClientOptions options)
    : core_(std::make_shared<detail::ClientCore>(std::move(executor), std::move(options))) {}

namespace {

// Takes the core by value, so that the request keeps the pool alive however long it waits.
asio::awaitable<Response> sendWith(std::shared_ptr<detail::ClientCore> core, Request request) {
    co_return co_await core->send(std::move(request));
}

}  // namespace

asio::awaitable<Response> Client::send(Request request) const {
    return sendWith(core_, std::move(request));
}

void Client::shutdown() const { core_->shutdown(); }

const asio::any_io_executor& Client::executor() const { return core_->executor; }

}  // namespace fw::http
