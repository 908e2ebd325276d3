// The automation tools over a real MCP server: an in-memory pair whose server side runs on an
// io_context of its own thread, the tools registered on it, the Qt main thread (the test's)
// pumped while a call waits for its answer. Authorized folders live in the temporary directory
// of the export services fixture, with its store and coordinator.
#pragma once

#include <gtest/gtest.h>

#include <QUuid>
#include <atomic>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "MCP/JSON/Value.h"
#include "MCP/Server/Server.h"
#include "MCP/Transports/InMemoryTransport.h"
#include "app/coordinator/ExportCoordinator.h"
#include "app/folders/FileAccessManager.h"
#include "app/tools/MovieMCPTools.h"
#include "tests/support/EventLoop.h"
#include "tests/support/ExportServicesFixture.h"

namespace fw::testing {

// One client connection to a server that carries the tools.
class ToolSession {
public:
    explicit ToolSession(MovieMCPTools::Services services);
    ~ToolSession();
    ToolSession(const ToolSession&) = delete;
    ToolSession& operator=(const ToolSession&) = delete;

    // Sends one JSON-RPC request and returns the "result" of its answer (null when the answer
    // is an error, which the test then reports).
    mcp::Value request(const std::string& method, mcp::Value params);
    // "tools/call" of `name`; `arguments` is left out when absent. The tool result.
    mcp::Value call(const std::string& name, std::optional<mcp::Value> arguments = std::nullopt);

    // What the tools' open test answers from now on.
    void setOpen(bool open) { open_ = open; }

private:
    void runOnServerThread(std::function<boost::asio::awaitable<void>()> operation);

    boost::asio::io_context io_;
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work_;
    std::shared_ptr<mcp::Server> server_;
    std::shared_ptr<mcp::InMemoryTransport> client_;
    std::shared_ptr<mcp::InMemoryTransport> serverSide_;
    std::atomic<bool> open_ = true;
    std::mutex mutex_;
    std::deque<std::string> received_;
    std::int64_t nextID_ = 1;
    std::thread thread_;
};

// A temporary directory with an output folder "Work" (authorized, writable) and an input
// folder "Input" (authorized, read only), a store and a coordinator over them, and one
// session to the tools.
class ToolTest : public ExportServicesFixture {
protected:
    void SetUp() override;
    void TearDown() override;

    // A file reference as the tools take it.
    static mcp::Value reference(const QUuid& folder, const std::string& relativePath);
    // The "error" object's code and message of a failed tool result, or "" when it succeeded.
    static std::string errorCode(const mcp::Value& result);
    static std::string errorMessage(const mcp::Value& result);
    // The structured content of a tool result.
    static const mcp::Value& structured(const mcp::Value& result);

    // PNG stills "<prefix><n>.png" (n from 0) in `folder`.
    void writeImages(const std::filesystem::path& folder, int count,
                     const std::string& prefix = "still", int width = 16, int height = 16);

    std::filesystem::path work_, input_;
    QUuid workID_, inputID_;
    std::unique_ptr<ToolSession> session_;
};

}  // namespace fw::testing
