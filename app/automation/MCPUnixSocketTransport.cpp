#include "app/automation/MCPUnixSocketTransport.h"

#include <cerrno>

#include "LocalAutomation/MCPUnixSocket.h"
#include "LocalAutomation/SocketError.h"
#include "MCP/Core/AsyncResult.h"
#include "app/automation/MCPConnectionIO.h"
#include "app/automation/ServerThreads.h"

namespace fw::automation {

MCPUnixSocketTransport::MCPUnixSocketTransport(const boost::asio::any_io_executor& executor,
                                               std::shared_ptr<MCPUnixSocketHandle> handle,
                                               std::function<void()> onClose,
                                               std::chrono::milliseconds writeStallLimit,
                                               std::shared_ptr<ServerThreads> threads)
    : logger_("frameweaver.mcp.unix") {
    MCPUnixSocket::setSendTimeout(handle->descriptor(), writeStallLimit);
    auto [stream, source] = mcp::MessageStream::make();
    messages_.emplace(std::move(stream));
    if (!threads) {
        threads = std::make_shared<ServerThreads>();
    }
    io_ = std::make_shared<MCPConnectionIO>(executor, std::move(handle), std::move(onClose),
                                            std::move(source), std::move(threads));
}

MCPUnixSocketTransport::~MCPUnixSocketTransport() {
    io_->close();
}

bool MCPUnixSocketTransport::isOpen() const {
    return io_->isOpen();
}

boost::asio::awaitable<void> MCPUnixSocketTransport::connect() {
    if (!io_->isOpen()) {
        throw SocketError::io(ENOTCONN);
    }
    io_->start();
    co_return;
}

boost::asio::awaitable<void> MCPUnixSocketTransport::disconnect() {
    io_->close();
    co_return;
}

boost::asio::awaitable<void> MCPUnixSocketTransport::send(std::string message) {
    return write(std::move(message), std::nullopt);
}

boost::asio::awaitable<void> MCPUnixSocketTransport::sendAnswer(std::string message,
                                                                Answer answer) {
    return write(std::move(message), std::move(answer));
}

boost::asio::awaitable<void> MCPUnixSocketTransport::write(std::string message,
                                                           std::optional<Answer> answer) {
    if (message.empty() || message.size() > MCPUnixSocket::kOutgoingMessageMaximum ||
        message.find('\n') != std::string::npos) {
        io_->close();
        throw SocketError::messageTooLarge();
    }
    if (!io_->admitWrite()) {
        io_->close();
        throw SocketError::io(ENOBUFS);
    }
    auto [completion, result] = mcp::AsyncResult<bool>::make();
    io_->write(std::move(message), std::move(completion), std::move(answer));
    co_await result.take();
}

mcp::MessageStream MCPUnixSocketTransport::receive() {
    return mcp::MessageStream::takeOnce(messages_);
}

}  // namespace fw::automation
