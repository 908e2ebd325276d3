#include <gtest/gtest.h>

#include <boost/asio/error.hpp>
#include <boost/system/system_error.hpp>
#include <cerrno>
#include <functional>
#include <memory>
#include <system_error>

#include "MCP/JSON/JsonParser.h"
#include "MCP/JSON/JsonWriter.h"
#include "MCP/Messages/MCPError.h"

namespace mcp {
namespace {

MCPError decode(std::string_view json) {
    return MCPError::fromValue(parseJson(json));
}
MCPError roundTrip(const MCPError& error) {
    return MCPError::fromValue(parseJson(toJson(error.toValue())));
}

const URLElicitationInfo kPage{"url", "e1", "https://example.com/auth", "Sign in"};

struct TextCase {
    MCPError error;
    std::string description;
    std::optional<std::string> reason;
    std::optional<std::string> suggestion;
};

TEST(MCPError, TextsOfEveryKind) {
    const TextCase cases[] = {
        {MCPError::parseError(), "Parse error: Invalid JSON",
         "The server received invalid JSON that could not be parsed",
         "Verify that the JSON being sent is valid and well-formed"},
        {MCPError::invalidRequest("x"), "Invalid Request: x",
         "The JSON sent is not a valid Request object",
         "Ensure the request follows the JSON-RPC 2.0 specification format"},
        {MCPError::methodNotFound(""),
         "Method not found: ", "The method does not exist or is not available",
         "Check the method name and ensure it is supported by the server"},
        {MCPError::invalidParams("D"), "Invalid params: D", "Invalid method parameter(s)",
         "Verify the parameters match the method's expected parameters"},
        {MCPError::internalError(), "Internal error", "Internal JSON-RPC error", std::nullopt},
        {MCPError::serverError(42, "M"), "Server error: M", "Server-defined error occurred",
         std::nullopt},
        {MCPError::urlElicitationRequired("go", {kPage}), "URL elicitation required: go",
         "The server requires user authentication or input via external URL",
         "Visit https://example.com/auth to complete the required authentication or input"},
        {MCPError::urlElicitationRequired("go", {}), "URL elicitation required: go",
         "The server requires user authentication or input via external URL",
         "Complete the required URL-based elicitation"},
        {MCPError::transportError(std::make_shared<DomainError>("d", 1, "pipe broke")),
         "Transport error: pipe broke", "pipe broke", std::nullopt},
        {MCPError::connectionClosed(), "Connection closed",
         "The connection to the server was closed", "Try reconnecting to the server"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.error.errorDescription(), c.description);
        EXPECT_STREQ(c.error.what(), c.description.c_str());
        EXPECT_EQ(c.error.failureReason(), c.reason) << c.description;
        EXPECT_EQ(c.error.recoverySuggestion(), c.suggestion) << c.description;
    }
}

TEST(MCPError, DebugDescriptionCarriesTheCode) {
    EXPECT_EQ(MCPError::connectionClosed().debugDescription(), "[-32000] Connection closed");
    EXPECT_EQ(MCPError::serverError(7, "M").debugDescription(), "[7] Server error: M");
    auto transport = MCPError::transportError(std::make_shared<DomainError>("d", 3, "gone"));
    EXPECT_EQ(transport.debugDescription(),
              "[-32001] Transport error: gone (Underlying error: DomainError(domain: d, code: 3, "
              "description: \"gone\"))");
}

TEST(MCPError, SystemErrorsDescribeTheirNumber) {
    auto error = MCPError::transportError(std::make_error_code(std::errc::broken_pipe));
    EXPECT_EQ(error.code(), -32001);
    EXPECT_EQ(error.errorDescription(),
              "Transport error: " + std::make_error_code(std::errc::broken_pipe).message());
}

TEST(MCPError, EveryKindSurvivesAWireRoundTrip) {
    const MCPError errors[] = {
        MCPError::parseError(),
        MCPError::parseError("bad"),
        MCPError::invalidRequest(),
        MCPError::methodNotFound("Unknown method: x"),
        MCPError::invalidParams(),
        MCPError::invalidParams(""),
        MCPError::internalError(),
        MCPError::internalError("disk full"),
        MCPError::serverError(42, "quota"),
        MCPError::serverError(-1, ""),
        MCPError::urlElicitationRequired("go", {kPage, kPage}),
        MCPError::transportError(std::make_shared<DomainError>("x", 5, "reset")),
        MCPError::connectionClosed(),
    };
    for (const auto& error : errors) {
        MCPError once = roundTrip(error);
        EXPECT_EQ(once, error) << error.debugDescription() << " came back as "
                               << once.debugDescription();
        EXPECT_EQ(once.errorDescription(), error.errorDescription());
        EXPECT_EQ(roundTrip(once).errorDescription(), error.errorDescription());
    }
}

// Regression: a standard error without detail used to come back as "Invalid params: Invalid
// params", a relayed server error gained "Server error: " twice, and an internal error from a
// peer lost its message.
TEST(MCPError, TextsDoNotDoubleOnTheWayBack) {
    EXPECT_EQ(decode(R"({"code":-32602,"message":"Invalid params"})"), MCPError::invalidParams());
    EXPECT_EQ(decode(R"({"code":-32700,"message":"Parse error: Invalid JSON"})").detail(),
              std::nullopt);
    EXPECT_EQ(decode(R"({"code":-32601,"message":"Method not found: Unknown method: x"})"),
              MCPError::methodNotFound("Unknown method: x"));
    EXPECT_EQ(decode(R"({"code":-32600,"message":"Bad shape"})").errorDescription(),
              "Invalid Request: Bad shape");
    EXPECT_EQ(decode(R"({"code":42,"message":"Server error: M"})"), MCPError::serverError(42, "M"));
    EXPECT_EQ(decode(R"({"code":-32603,"message":"The disk is full."})").errorDescription(),
              "Internal error: The disk is full.");
    EXPECT_EQ(decode(R"({"code":-32001,"message":"Transport error: reset"})").errorDescription(),
              "Transport error: reset");
}

TEST(MCPError, TheCodeDecidesTheKind) {
    // A server error that uses a standard code becomes that standard error.
    MCPError back = roundTrip(MCPError::serverError(-32601, "M"));
    EXPECT_EQ(back.kind(), MCPError::Kind::methodNotFound);
    EXPECT_EQ(back.detail(), "Server error: M");
    EXPECT_EQ(decode(R"({"code":-32000,"message":"anything","data":{"x":1}})"),
              MCPError::connectionClosed());
    auto transport = decode(R"({"code":-32001,"message":"M","data":{"error":"E"}})");
    EXPECT_EQ(transport.errorDescription(), "Transport error: E");
    auto* underlying = dynamic_cast<const DomainError*>(transport.underlyingError().get());
    ASSERT_NE(underlying, nullptr);
    EXPECT_EQ(underlying->domain(), "org.jsonrpc.error");
    EXPECT_EQ(underlying->code(), -32001);
}

TEST(MCPError, MalformedElicitationEntriesAreSkipped) {
    auto error = decode(R"({"code":-32042,"message":"go","data":{"elicitations":[
        {"mode":"url","elicitationId":"e1","url":"https://example.com/auth","message":"Sign in"},
        {"mode":"url"}, 5, {}, {"mode":1,"elicitationId":"e","url":"u","message":"m"}]}})");
    ASSERT_EQ(error.elicitations().size(), 1U);
    EXPECT_EQ(error.elicitations()[0], kPage);
    EXPECT_EQ(error.recoverySuggestion(),
              "Visit https://example.com/auth to complete the required authentication or input");
    EXPECT_TRUE(decode(R"({"code":-32042,"message":"go","data":{"elicitations":{}}})")
                    .elicitations()
                    .empty());
    EXPECT_EQ(toJson(MCPError::urlElicitationRequired("go", {}).toValue()),
              R"({"code":-32042,"data":{"elicitations":[]},"message":"go"})");
}

TEST(MCPError, EqualityAndHashing) {
    std::hash<MCPError> hash;
    EXPECT_NE(MCPError::invalidParams(), MCPError::invalidParams(""));
    EXPECT_NE(MCPError::invalidParams("a"), MCPError::invalidRequest("a"));
    EXPECT_NE(MCPError::serverError(1, "m"), MCPError::serverError(2, "m"));
    // Transport errors compare by description, whatever the underlying type.
    auto a = MCPError::transportError(std::make_shared<DomainError>("x", 1, "same"));
    auto b = MCPError::transportError(std::make_shared<DomainError>("y", 2, "same"));
    EXPECT_EQ(a, b);
    EXPECT_EQ(hash(a), hash(b));
    // Canonically equivalent texts are equal and hash alike ("é" composed and decomposed).
    auto composed = MCPError::invalidParams("caf\xC3\xA9");
    auto decomposed = MCPError::invalidParams("cafe\xCC\x81");
    EXPECT_EQ(composed, decomposed);
    EXPECT_EQ(hash(composed), hash(decomposed));
}

TEST(MCPError, ResourceTemporarilyUnavailableIsRecognised) {
    auto eagain = std::make_exception_ptr(std::system_error(EAGAIN, std::generic_category()));
    EXPECT_TRUE(isResourceTemporarilyUnavailable(eagain));
    EXPECT_TRUE(isResourceTemporarilyUnavailable(
        std::make_exception_ptr(boost::system::system_error(boost::asio::error::try_again))));
    EXPECT_FALSE(isResourceTemporarilyUnavailable(
        std::make_exception_ptr(std::system_error(EPIPE, std::generic_category()))));
    EXPECT_FALSE(
        isResourceTemporarilyUnavailable(std::make_exception_ptr(MCPError::internalError())));
    EXPECT_FALSE(isResourceTemporarilyUnavailable(nullptr));
}

}  // namespace
}  // namespace mcp
