#include "app/tools/MovieMCPTools.h"

#include <QCoreApplication>
#include <QThread>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <utility>

#include "MCP/Server/Server.h"
#include "app/coordinator/ExportCoordinator.h"
#include "app/coordinator/MainThreadBridge.h"
#include "app/folders/FileAccessManager.h"
#include "app/tools/ExportTools.h"
#include "app/tools/SequenceInspection.h"
#include "app/tools/ToolArguments.h"
#include "app/tools/ToolCatalogue.h"
#include "app/tools/ToolError.h"
#include "app/tools/ToolResult.h"

namespace fw {
namespace {

namespace asio = boost::asio;
using mcp::CallTool;
using mcp::ListTools;

// The tools share the main thread with the coordinator and the folder store; running
// anywhere else is a programming error, not a condition to report.
void assertMainThread() {
    const QCoreApplication* application = QCoreApplication::instance();
    if (application == nullptr || QThread::currentThread() != application->thread()) {
        std::fputs("MovieMCPTools used off the main thread\n", stderr);
        std::abort();
    }
}

ExportCoordinator& coordinatorOf(const MovieMCPTools::Services& services) {
    return services.coordinator != nullptr ? *services.coordinator : ExportCoordinator::shared();
}

FileAccessManager& filesOf(const MovieMCPTools::Services& services) {
    return services.files != nullptr ? *services.files : FileAccessManager::shared();
}

// The tool named `name`, after its unknown-argument check; throws ToolError.
mcp::Value runTool(const std::string& name, const ToolArguments& arguments,
                   const MovieMCPTools::Services& services) {
    if (name == "get_capabilities") {
        arguments.rejectUnknown({});
        return capabilitiesValue();
    }
    if (name == "list_authorized_folders") {
        arguments.rejectUnknown({});
        return authorizedFoldersValue(filesOf(services));
    }
    if (name == "inspect_sequence") {
        arguments.rejectUnknown({"folder_id", "relative_path", "offset", "limit"});
        return inspectSequence(arguments, filesOf(services));
    }
    if (name == "export_movie") {
        arguments.rejectUnknown({"inputs", "output", "width", "height", "frame_rate", "codec",
                                 "quality", "custom_bitrate_mbps", "overwrite"});
        return exportMovie(arguments, coordinatorOf(services), filesOf(services));
    }
    if (name == "get_export_status") {
        arguments.rejectUnknown({"job_id"});
        return exportStatus(arguments, coordinatorOf(services));
    }
    if (name == "cancel_export") {
        arguments.rejectUnknown({"job_id"});
        return cancelExport(arguments, coordinatorOf(services));
    }
    throw ToolError("unknown_tool", "Unknown tool " + name + ".");
}

// Not a coroutine itself: the bridge's operation is the awaitable, and the call's parameters
// travel inside its function (g++ 12 destroys an init-capture of a coroutine parameter twice
// when the lambda is built inside a co_await expression).
asio::awaitable<CallTool::Result> callOnMainThread(CallTool::Parameters parameters,
                                                   MovieMCPTools::OpenTest isOpen,
                                                   MovieMCPTools::Services services) {
    return asyncRunOnMainThread(
        [parameters = std::move(parameters), isOpen = std::move(isOpen), services] {
            if (!isOpen()) {
                return makeResult(errorValue("session_closed", tool_errors::kSessionClosed),
                                  true);
            }
            return MovieMCPTools::callTool(parameters.name, parameters.arguments, services);
        },
        asio::use_awaitable);
}

// The whole table while the connection is open; no tools once it has closed.
asio::awaitable<ListTools::Result> listTools(MovieMCPTools::OpenTest isOpen) {
    ListTools::Result result;
    if (isOpen()) {
        result.tools = MovieMCPTools::toolDefinitions();
    }
    co_return result;
}

}  // namespace

void MovieMCPTools::registerOn(mcp::Server& server, OpenTest isOpen, Services services) {
    toolDefinitions();  // built now, before any client asks
    server.withMethodHandler<ListTools>(
        [isOpen](ListTools::Parameters) { return listTools(isOpen); });
    server.withMethodHandler<CallTool>(
        [isOpen = std::move(isOpen), services](CallTool::Parameters parameters) {
            return callOnMainThread(std::move(parameters), isOpen, services);
        });
}

const std::vector<mcp::Tool>& MovieMCPTools::toolDefinitions() {
    return movieToolDefinitions();
}

CallTool::Result MovieMCPTools::callTool(const std::string& name,
                                         const std::optional<mcp::Object>& arguments,
                                         const Services& services) {
    assertMainThread();
    static const mcp::Object kNoArguments;
    const ToolArguments reader(arguments ? *arguments : kNoArguments);
    try {
        return makeResult(runTool(name, reader, services), false, kResultByteLimit);
    } catch (const ToolError& error) {
        return makeResult(errorValue(error.code(), error.message()), true, kResultByteLimit);
    } catch (const std::exception& error) {
        return makeResult(errorValue("operation_failed", error.what()), true, kResultByteLimit);
    } catch (...) {
        return makeResult(errorValue("operation_failed", "The operation could not be completed."),
                          true, kResultByteLimit);
    }
}

}  // namespace fw
