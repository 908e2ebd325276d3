// What an HTTP server transport hands back to the HTTP server that embeds it, and the header
// names both sides write.
//
// HTTPResponse is one of five answers: accepted (202, no body), ok (200, no body), data (200 with
// a body), stream (200; the body is a sequence of chunks that the embedding server writes to the
// client as each arrives, ending the response when the sequence ends) and error (any status; the
// body is a JSON-RPC error object without "id", since no request id could be read; the
// protocol's schema never allows a null one). statusCode(), headers() and body() derive the
// wire form. A stream answer owns its chunk stream, so a response is move-only.
//
//   HTTPResponse answer = co_await transport->handleRequest(std::move(request));
//   write(answer.statusCode(), answer.headers());
//   if (MessageStream* chunks = answer.chunks()) { while (auto c = co_await chunks->next()) ... }
//   else if (auto body = answer.body()) { ... }
//
// Dropping the chunk stream (for example because the client went away) is how the embedding
// server tells the transport that nobody reads the stream any more.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "MCP/Core/Transport.h"
#include "MCP/Messages/MCPError.h"
#include "platform/http/Headers.h"

namespace mcp {

// The header names the HTTP server transports read and write, spelt as they write them.
namespace HTTPHeaderName {
inline constexpr std::string_view accept = "Accept";
inline constexpr std::string_view contentType = "Content-Type";
inline constexpr std::string_view authorization = "Authorization";
inline constexpr std::string_view wwwAuthenticate = "WWW-Authenticate";
inline constexpr std::string_view protocolVersion = "MCP-Protocol-Version";
inline constexpr std::string_view sessionID = "MCP-Session-Id";
inline constexpr std::string_view cacheControl = "Cache-Control";
inline constexpr std::string_view lastEventID = "Last-Event-ID";
inline constexpr std::string_view host = "Host";
inline constexpr std::string_view origin = "Origin";
inline constexpr std::string_view connection = "Connection";
inline constexpr std::string_view allow = "Allow";
}  // namespace HTTPHeaderName

using HTTPHeaders = fw::http::Headers;

class HTTPResponse {
public:
    enum class Kind { accepted, ok, data, stream, error };

    static HTTPResponse accepted(HTTPHeaders headers = {});
    static HTTPResponse ok(HTTPHeaders headers = {});
    static HTTPResponse data(std::string bytes, HTTPHeaders headers = {});
    static HTTPResponse stream(MessageStream chunks, HTTPHeaders headers = {});
    static HTTPResponse error(int statusCode, MCPError error,
                              std::optional<std::string> sessionID = std::nullopt,
                              HTTPHeaders extraHeaders = {});

    // ok() without headers (Asio wants results of spawned coroutines default-constructible).
    HTTPResponse() : kind_(Kind::ok) {}
    HTTPResponse(HTTPResponse&&) noexcept = default;
    HTTPResponse& operator=(HTTPResponse&&) noexcept = default;

    Kind kind() const noexcept { return kind_; }
    // 202 for accepted, 200 for ok, data and stream, the stored status for error.
    int statusCode() const noexcept;
    // The stored headers; for error: "Content-Type: application/json", then "MCP-Session-Id"
    // when a session id is held, then the extra headers (each replacing one of the same name).
    HTTPHeaders headers() const;
    // The body of data, and the JSON-RPC error object of error; absent for the others.
    std::optional<std::string> body() const;

    // The chunks of a stream answer; nullptr for the other kinds.
    MessageStream* chunks() noexcept { return chunks_ ? &*chunks_ : nullptr; }
    // The error of an error answer; nullptr for the other kinds.
    const MCPError* mcpError() const noexcept { return error_ ? &*error_ : nullptr; }
    const std::optional<std::string>& sessionID() const noexcept { return sessionID_; }

private:
    explicit HTTPResponse(Kind kind) : kind_(kind) {}

    Kind kind_;
    int status_ = 200;
    HTTPHeaders headers_;  // the stored headers, or the extra headers of an error
    std::string bytes_;
    std::optional<MessageStream> chunks_;
    std::optional<MCPError> error_;
    std::optional<std::string> sessionID_;
};

}  // namespace mcp
