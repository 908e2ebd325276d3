// What the OAuth client's HTTP requests share: 60-second timeouts and an explicit "Accept"
// header; and, for the endpoints that answer a POST with JSON (token, registration), the reading
// of the answer: a status outside 200...299 is tokenRequestFailed with the OAuth error code the
// body carries (RFC 6749 section 5.2).
//
// Free functions without state: safe from any thread; a send runs on the HTTP client's executor.
#pragma once

#include <boost/asio/awaitable.hpp>
#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "MCP/OAuth/URL.h"
#include "platform/http/Client.h"

namespace mcp {

inline constexpr std::chrono::seconds kOAuthRequestTimeout{60};

// A request for `url` with the OAuth timeouts and "Accept: `accept`"; redirects not followed.
fw::http::Request makeOAuthRequest(std::string method, const URL& url, std::string_view accept);

// Sends `request` and gives the body of a 2xx answer. Throws OAuthAuthorizationError
// tokenRequestFailed for any other status, fw::http::Error from the HTTP client (also for a body
// beyond `maxBytes`).
boost::asio::awaitable<std::string> sendExpectingSuccess(fw::http::Client& session,
                                                         fw::http::Request request,
                                                         std::size_t maxBytes);

// The "error" of an OAuth error answer; nothing when `body` is not one.
std::optional<std::string> oauthErrorOf(std::string_view body);

}  // namespace mcp
