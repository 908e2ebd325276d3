// A small MCP server over standard input and output, offering a few tools. The end-to-end test
// drives it through real pipes; it also shows the whole set-up of a server in one page.
//
// Tools: "add" {a, b} gives the sum; "echo" {text} gives the text back; "fail" gives an error
// result; "sleep" {milliseconds} waits, and stops early when the request is cancelled.
// The program ends when its standard input ends.
#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <chrono>
#include <csignal>
#include <memory>
#include <string>

#include "MCP/Messages/Tools.h"
#include "MCP/Server/Server.h"
#include "MCP/Transports/StdioTransport.h"
#include "examples/ExampleTools.h"

namespace {

namespace asio = boost::asio;

asio::awaitable<void> serve(std::shared_ptr<mcp::Server> server,
                            std::shared_ptr<mcp::StdioTransport> transport) {
    co_await server->start(transport);
    co_await server->waitUntilCompleted();
    co_await server->stop();
}

}  // namespace

int main() {
    // A client that goes away is a write error for the transport, not the end of the program.
    std::signal(SIGPIPE, SIG_IGN);
    asio::io_context io;
    auto server = mcp::example::makeExampleToolServer(io.get_executor());
    auto transport = std::make_shared<mcp::StdioTransport>(io.get_executor());
    asio::co_spawn(io, serve(server, transport), asio::detached);
    io.run();
    return 0;
}
