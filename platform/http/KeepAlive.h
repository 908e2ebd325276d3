// TCP keepalive with explicit probe timings for the HTTP layer's connections, so that a peer
// that vanished without a FIN (a laptop lid shut, a cable pulled, a NAT entry dropped) is noticed
// within about a minute instead of the system's two hours.
#pragma once

#include <boost/asio/ip/tcp.hpp>

namespace fw::http::detail {

// Probes begin after this long without traffic, and repeat at this interval; the connection
// fails when this many go unanswered.
inline constexpr int kKeepAliveIdleSeconds = 30;
inline constexpr int kKeepAliveIntervalSeconds = 10;
inline constexpr int kKeepAliveProbes = 3;

// Best effort: a socket that refuses an option keeps the system's defaults.
void enableKeepAliveProbes(boost::asio::ip::tcp::socket& socket);

}  // namespace fw::http::detail
