// A small MCP client: lists a server's tools and calls one with JSON arguments.
//
//   mcp_example_client [--wait-notification] TOOL [JSON-ARGUMENTS]
//                      [-- SERVER-COMMAND [ARGUMENTS...] | -- URL]
//
// With a server command it starts the server and talks to it over the server's standard input and
// output, and prints to its own standard output. With an http:// or https:// URL it talks
// streamable HTTP to that endpoint (with the server's own event stream) and prints to standard
// output. Without either it talks over its own standard input and output (connected to a server
// as given, by a pipe or socat) and prints to standard error. The server's log messages are
// printed as "Notification: <data>"; --wait-notification waits, at most ten seconds after the
// call, for the first of them. Exits with 0 when the call succeeded, 1 when the tool reported an
// error, 2 on any failure.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <csignal>
#include <cstdio>
#include <exception>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "MCP/Client/Client.h"
#include "MCP/HTTP/HTTPClientTransport.h"
#include "MCP/JSON/JsonParser.h"
#include "MCP/JSON/JsonWriter.h"
#include "MCP/Transports/StdioTransport.h"

extern char** environ;

namespace {

namespace asio = boost::asio;

// Starts `command` with pipes for its standard input and output; the descriptors to write to and
// read from it, or -1s.
pid_t startServer(std::vector<std::string> command, int& toServer, int& fromServer) {
    int input[2];
    int output[2];
    if (::pipe2(input, O_CLOEXEC) != 0 || ::pipe2(output, O_CLOEXEC) != 0) {
        return -1;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, input[0], 0);
    posix_spawn_file_actions_adddup2(&actions, output[1], 1);
    std::vector<char*> argv;
    for (auto& word : command) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int status = ::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(input[0]);
    ::close(output[1]);
    toServer = input[1];
    fromServer = output[0];
    return status == 0 ? pid : -1;
}

// The server's log messages, printed as they come; `arrived` ends a wait for the first.
void printNotifications(mcp::Client& client, std::ostream& out, asio::steady_timer& arrived) {
    client.onNotification<mcp::LogMessageNotification>(
        [&out, &arrived](mcp::Message<mcp::LogMessageNotification> message) -> asio::awaitable<void> {
            const std::string* text = message.params.data.stringValue();
            out << "Notification: " << (text ? *text : mcp::toJson(message.params.data)) << "\n";
            arrived.expires_at(asio::steady_timer::time_point::min());
            co_return;
        });
}

asio::awaitable<int> run(std::shared_ptr<mcp::Client> client,
                         std::shared_ptr<mcp::Transport> transport, std::string tool,
                         std::optional<mcp::Object> arguments, std::ostream& out,
                         asio::steady_timer* notification) {
    int status = 2;
    try {
        mcp::Initialize::Result server = co_await client->connect(transport);
        out << "Server: " << server.serverInfo.name << " " << server.serverInfo.version << "\n";
        auto tools = co_await client->listTools();
        out << "Tools:";
        for (const auto& each : tools.first) {
            out << " " << each.name;
        }
        out << "\n";
        auto called = co_await client->callTool(tool, std::move(arguments));
        for (const auto& block : called.first) {
            if (const auto* text = block.get<mcp::ToolContent::Text>()) {
                out << text->text << "\n";
            } else {
                out << mcp::toJson(mcp::encodeValue(block)) << "\n";
            }
        }
        status = called.second.value_or(false) ? 1 : 0;
        if (notification && notification->expiry() != asio::steady_timer::time_point::min()) {
            co_await notification->async_wait(asio::as_tuple(asio::use_awaitable));
        }
    } catch (const std::exception& error) {
        std::cerr << "The call failed: " << error.what() << "\n";
    }
    co_await client->disconnect();
    co_return status;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> words(argv + 1, argv + argc);
    const bool waitForNotification = !words.empty() && words.front() == "--wait-notification";
    if (waitForNotification) {
        words.erase(words.begin());
    }
    auto separator = std::find(words.begin(), words.end(), "--");
    std::vector<std::string> command(separator == words.end() ? separator : separator + 1,
                                     words.end());
    words.erase(separator, words.end());
    if (words.empty() || words.size() > 2) {
        std::cerr << "Usage: mcp_example_client [--wait-notification] TOOL [JSON-ARGUMENTS] "
                     "[-- SERVER-COMMAND ... | -- URL]\n";
        return 2;
    }
    std::optional<mcp::Object> arguments;
    if (words.size() == 2) {
        auto parsed = mcp::tryParseJson(words[1]);
        if (!parsed || !parsed->objectValue()) {
            std::cerr << "The arguments must be a JSON object.\n";
            return 2;
        }
        arguments = *parsed->objectValue();
    }
    // A server that goes away is a write error, not the end of this program.
    std::signal(SIGPIPE, SIG_IGN);
    int toServer = 1;
    int fromServer = 0;
    pid_t server = -1;
    const bool overHTTP = command.size() == 1 && (command[0].starts_with("http://") ||
                                                  command[0].starts_with("https://"));
    if (!command.empty() && !overHTTP) {
        server = startServer(command, toServer, fromServer);
        if (server < 0) {
            std::cerr << "Could not start " << command[0] << ".\n";
            return 2;
        }
    }
    std::ostream& out = command.empty() ? std::cerr : std::cout;

    asio::io_context io;
    // A server that goes quiet must not hold the command for ever.
    auto client = std::make_shared<mcp::Client>(
        io.get_executor(), "example-client", "1.0.0", std::nullopt, std::nullopt, std::nullopt,
        std::nullopt, mcp::Client::Capabilities{},
        mcp::Client::Configuration{.requestTimeout = std::chrono::seconds(60)});
    asio::steady_timer notification(io, std::chrono::seconds(10));
    printNotifications(*client, out, notification);
    std::shared_ptr<mcp::Transport> transport;
    if (overHTTP) {
        auto endpoint = mcp::URL::parse(command[0]);
        if (!endpoint) {
            std::cerr << "The URL " << command[0] << " is not valid.\n";
            return 2;
        }
        transport = std::make_shared<mcp::HTTPClientTransport>(
            io.get_executor(), *endpoint, mcp::HTTPClientTransport::Configuration{}, true,
            std::nullopt, 10.0, nullptr, nullptr, std::nullopt);
    } else {
        transport = std::make_shared<mcp::StdioTransport>(io.get_executor(), fromServer, toServer);
    }
    int status = 2;
    asio::co_spawn(io,
                   run(client, transport, words[0], std::move(arguments), out,
                       waitForNotification ? &notification : nullptr),
                   [&](std::exception_ptr, int result) { status = result; });
    io.run();
    if (server > 0) {
        // End of input ends the server.
        ::close(toServer);
        ::close(fromServer);
        int ignored = 0;
        ::waitpid(server, &ignored, 0);
    }
    return status;
}
