#include "tests/app/tools/ToolTestSupport.h"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>

#include "MCP/JSON/JsonParser.h"
#include "MCP/JSON/JsonWriter.h"
#include "tests/support/TestImages.h"

namespace fw::testing {

namespace asio = boost::asio;
namespace fs = std::filesystem;

ToolSession::ToolSession(MovieMCPTools::Services services) : work_(asio::make_work_guard(io_)) {
    mcp::Server::Capabilities capabilities;
    capabilities.tools = mcp::Server::Capabilities::Tools{};
    server_ = std::make_shared<mcp::Server>(io_.get_executor(), "Frameweaver", "1.0.0",
                                            std::nullopt, std::nullopt, capabilities);
    std::tie(client_, serverSide_) = mcp::InMemoryTransport::createConnectedPair();
    MovieMCPTools::registerOn(*server_, [this] { return open_.load(); }, services);
    thread_ = std::thread([this] { io_.run(); });
    runOnServerThread([this]() -> asio::awaitable<void> {
        co_await server_->start(serverSide_);
        co_await client_->connect();
        asio::co_spawn(
            io_,
            [this, stream = client_->receive()]() mutable -> asio::awaitable<void> {
                try {
                    while (auto message = co_await stream.next()) {
                        std::lock_guard lock(mutex_);
                        received_.push_back(std::move(*message));
                    }
                } catch (...) {
                }
            },
            asio::detached);
    });
    const mcp::Value initialized = request(
        "initialize", mcp::parseJson(R"({"protocolVersion":"2025-06-18","capabilities":{},)"
                                     R"("clientInfo":{"name":"test","version":"1"}})"));
    EXPECT_FALSE(initialized.isNull());
    runOnServerThread([this]() -> asio::awaitable<void> {
        co_await client_->send(R"({"jsonrpc":"2.0","method":"notifications/initialized"})");
    });
}

ToolSession::~ToolSession() {
    runOnServerThread([this]() -> asio::awaitable<void> {
        co_await server_->stop();
        co_await client_->disconnect();
    });
    work_.reset();
    io_.stop();
    thread_.join();
}

void ToolSession::runOnServerThread(std::function<asio::awaitable<void>()> operation) {
    auto done = std::make_shared<std::atomic<bool>>(false);
    asio::co_spawn(io_, operation(), [done](std::exception_ptr failure) {
        EXPECT_FALSE(failure) << "the server-side operation failed";
        *done = true;
    });
    ASSERT_TRUE(pumpUntil([&] { return done->load(); }, 60'000));
}

mcp::Value ToolSession::request(const std::string& method, mcp::Value params) {
    const std::int64_t id = nextID_++;
    mcp::Value line = mcp::Value::object(
        {{"jsonrpc", "2.0"}, {"id", id}, {"method", method}, {"params", std::move(params)}});
    std::string text = mcp::toJson(line);
    runOnServerThread([this, text]() -> asio::awaitable<void> { co_await client_->send(text); });
    std::optional<mcp::Value> answer;
    const bool answered = pumpUntil([&] {
        std::lock_guard lock(mutex_);
        while (!received_.empty()) {
            mcp::Value message = mcp::parseJson(received_.front());
            received_.pop_front();
            const mcp::Value* answerID = message.find("id");
            if (answerID != nullptr && *answerID == mcp::Value(id)) {
                answer = std::move(message);
                return true;
            }
        }
        return false;
    });
    EXPECT_TRUE(answered) << "no answer to " << text;
    if (!answer) {
        return {};
    }
    const mcp::Value* result = answer->find("result");
    EXPECT_NE(result, nullptr) << mcp::toJson(*answer);
    return result != nullptr ? *result : mcp::Value();
}

mcp::Value ToolSession::call(const std::string& name, std::optional<mcp::Value> arguments) {
    mcp::Object params;
    params.insertOrAssign("name", name);
    if (arguments) {
        params.insertOrAssign("arguments", std::move(*arguments));
    }
    return request("tools/call", std::move(params));
}

void ToolTest::SetUp() {
    ExportServicesFixture::SetUp();
    work_ = dir_ / "Work";
    input_ = dir_ / "Input";
    fs::create_directories(work_);
    fs::create_directories(input_);
    auto work = files_->authorize(work_, true);
    auto input = files_->authorize(input_, false);
    ASSERT_TRUE(work.ok() && input.ok());
    workID_ = work.value().id;
    inputID_ = input.value().id;
    session_ = std::make_unique<ToolSession>(
        MovieMCPTools::Services{coordinator_.get(), files_.get()});
}

void ToolTest::TearDown() {
    session_.reset();
    ExportServicesFixture::TearDown();
}

mcp::Value ToolTest::reference(const QUuid& folder, const std::string& relativePath) {
    return mcp::Value::object(
        {{"folder_id", folder.toString(QUuid::WithoutBraces).toStdString()},
         {"relative_path", relativePath}});
}

const mcp::Value& ToolTest::structured(const mcp::Value& result) {
    static const mcp::Value kNone;
    const mcp::Value* value = result.find("structuredContent");
    return value != nullptr ? *value : kNone;
}

std::string ToolTest::errorCode(const mcp::Value& result) {
    const mcp::Value* error = structured(result).find("error");
    const mcp::Value* code = error != nullptr ? error->find("code") : nullptr;
    return code != nullptr && code->stringValue() ? *code->stringValue() : "";
}

std::string ToolTest::errorMessage(const mcp::Value& result) {
    const mcp::Value* error = structured(result).find("error");
    const mcp::Value* message = error != nullptr ? error->find("message") : nullptr;
    return message != nullptr && message->stringValue() ? *message->stringValue() : "";
}

void ToolTest::writeImages(const fs::path& folder, int count, const std::string& prefix,
                           int width, int height) {
    for (int index = 0; index < count; ++index) {
        const std::string failure =
            writeTestImage(folder / (prefix + std::to_string(index) + ".png"), width, height,
                           static_cast<std::uint8_t>(40 + index * 7));
        ASSERT_EQ(failure, "");
    }
}

}  // namespace fw::testing
