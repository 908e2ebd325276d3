// Running an actor's work on its own strand. An actor (the server, the client, a transport) keeps
// its state on one strand; its public coroutines hop there with onStrand() and give their result
// back to the caller, which resumes on its own executor:
//
//   boost::asio::awaitable<void> MyTransport::send(std::string message) {
//       return mcp::onStrand(strand_, [this, message = std::move(message)]() mutable
//                                         -> boost::asio::awaitable<void> {
//           co_await write(std::move(message));   // runs on strand_
//       });
//   }
//
// An exception of the body is thrown to the caller. Cancelling the caller cancels the body too
// (the caller's cancellation slot is forwarded).
#pragma once

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <type_traits>
#include <utility>

namespace mcp {

using Strand = boost::asio::strand<boost::asio::any_io_executor>;

// `body` is a callable giving an awaitable; it is run on `strand`.
template <class Body>
auto onStrand(const Strand& strand, Body body) -> std::invoke_result_t<Body&> {
    co_return co_await boost::asio::co_spawn(strand, std::move(body), boost::asio::use_awaitable);
}

}  // namespace mcp
