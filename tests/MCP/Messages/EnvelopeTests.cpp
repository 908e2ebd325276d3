// Typed and erased envelopes, identifiers and the lifecycle and bookkeeping values.
#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>
#include <string>
#include <unordered_set>

#include "MCP/JSON/JsonParser.h"
#include "MCP/JSON/JsonWriter.h"
#include "MCP/Messages/Cancellation.h"
#include "MCP/Messages/ID.h"
#include "MCP/Messages/Initialize.h"
#include "MCP/Messages/Message.h"
#include "MCP/Messages/Metadata.h"
#include "MCP/Messages/Progress.h"
#include "MCP/Messages/Request.h"
#include "MCP/Messages/Response.h"
#include "MCP/Messages/UnitInterval.h"
#include "MCP/Messages/Version.h"

namespace mcp {
namespace {

TEST(ID, TextFormAndEquality) {
    EXPECT_EQ(ID("abc").description(), "abc");
    EXPECT_EQ(ID(-42).description(), "-42");
    EXPECT_NE(ID("7"), ID(7));
    EXPECT_NE(std::hash<ID>{}(ID("7")), std::hash<ID>{}(ID(7)));
    EXPECT_EQ(ID("caf\xC3\xA9"), ID("cafe\xCC\x81"));
}

// Short texts live inside the identifier, longer ones on the heap: each length on either side of
// the limit keeps its text, its wire form and its equality with copies and with decoded twins.
TEST(ID, TextsOfEveryLengthKeepTheirForm) {
    for (std::size_t size : {0u, 1u, 15u, 16u, 36u, 38u, 39u, 40u, 41u, 200u}) {
        SCOPED_TRACE(size);
        std::string text(size, 'x');
        if (size > 0) {
            text.back() = '"';
        }
        const ID id(text);
        ASSERT_TRUE(id.isString());
        EXPECT_EQ(*id.stringValue(), text);
        EXPECT_EQ(id.description(), text);
        const ID copy = id;
        EXPECT_EQ(copy, id);
        EXPECT_EQ(std::hash<ID>{}(copy), std::hash<ID>{}(id));
        const ID decoded = ID::fromValue(parseJson(toJson(id.toValue())));
        EXPECT_EQ(decoded, id);
        EXPECT_EQ(*decoded.stringValue(), text);
        EXPECT_NE(id, ID(std::string(text) + "y"));
    }
}

// Canonically equivalent texts are one identifier even when one is kept inside the identifier
// (39 bytes) and the other on the heap (40 bytes).
TEST(ID, EquivalentTextsMatchAcrossStorage) {
    const ID composed(std::string(37, 'a') + "\xC3\xA9");
    const ID decomposed(std::string(37, 'a') + "e\xCC\x81");
    EXPECT_EQ(composed, decomposed);
    EXPECT_EQ(std::hash<ID>{}(composed), std::hash<ID>{}(decomposed));
}
TEST(ID, NewRandomGivesFreshUpperCaseUUIDs) {
    // Upper-case hexadecimal in groups of 8-4-4-4-12, version 4, RFC 4122 variant.
    auto isUUID = [](std::string_view text) {
        if (text.size() != 36 || text[14] != '4' ||
            std::string("89AB").find(text[19]) == std::string::npos) {
            return false;
        }
        for (std::size_t i = 0; i < text.size(); ++i) {
            bool dash = i == 8 || i == 13 || i == 18 || i == 23;
            if (dash ? text[i] != '-'
                     : std::string("0123456789ABCDEF").find(text[i]) == std::string::npos) {
                return false;
            }
        }
        return true;
    };
    std::unordered_set<ID> seen;
    for (int i = 0; i < 100; ++i) {
        ID id = ID::newRandom();
        ASSERT_TRUE(id.isString());
        EXPECT_TRUE(isUUID(*id.stringValue())) << *id.stringValue();
        seen.insert(id);
    }
    EXPECT_EQ(seen.size(), 100U);
}

TEST(Request, BuildsAndErasesWithoutTouchingText) {
    auto ping = makeRequest<Ping>(ID(1));
    EXPECT_EQ(toJson(ping.toValue()), R"({"id":1,"jsonrpc":"2.0","method":"ping","params":{}})");
    Request<AnyMethod> erased = ping.asAnyRequest();
    EXPECT_EQ(erased.method, "ping");
    EXPECT_EQ(erased.params, Value(Object()));
    EXPECT_EQ(Request<Ping>::fromAnyRequest(erased), ping);

    Initialize::Parameters params;
    params.clientInfo = ClientInfo{.name = "c", .version = "1"};
    auto initialize = makeRequest<Initialize>(ID("i"), params);
    auto back = Request<Initialize>::fromAnyRequest(initialize.asAnyRequest());
    EXPECT_EQ(back, initialize);
    EXPECT_EQ(std::hash<Request<Initialize>>{}(back), std::hash<Request<Initialize>>{}(initialize));
}

// Regression: an erased request or notification without parameters wrote "params": null,
// which JSON-RPC does not allow.
TEST(Request, ErasedWithoutParametersLeavesParamsOut) {
    Request<AnyMethod> request{ID(1), "x", Value()};
    EXPECT_EQ(toJson(request.toValue()), R"({"id":1,"jsonrpc":"2.0","method":"x"})");
    Message<AnyNotification> message{"n", Value()};
    EXPECT_EQ(toJson(message.toValue()), R"({"jsonrpc":"2.0","method":"n"})");
    // Erased parameters that are there are written as they are.
    Request<AnyMethod> withArray{ID(1), "x", Value::array({1})};
    EXPECT_EQ(toJson(withArray.toValue()), R"({"id":1,"jsonrpc":"2.0","method":"x","params":[1]})");
}

TEST(Response, ErasesResultsAndKeepsErrors) {
    Initialize::Result result{.protocolVersion = "2025-11-25",
                              .serverInfo = ServerInfo{.name = "Frameweaver", .version = "1.0.0"}};
    result.capabilities.tools = ServerCapabilities::Tools{};
    auto erased = makeResponse<Initialize>(ID(1), result).asAnyResponse();
    ASSERT_TRUE(erased.isSuccess());
    EXPECT_EQ(toJson(*erased.success()),
              R"({"capabilities":{"tools":{}},"protocolVersion":"2025-11-25",)"
              R"("serverInfo":{"name":"Frameweaver","version":"1.0.0"}})");
    auto failed =
        makeErrorResponse<Initialize>(ID(2), MCPError::invalidRequest("x")).asAnyResponse();
    ASSERT_NE(failed.failure(), nullptr);
    EXPECT_EQ(*failed.failure(), MCPError::invalidRequest("x"));
    EXPECT_NE(makeResponse<Ping>(ID(1), {}),
              makeErrorResponse<Ping>(ID(1), MCPError::internalError()));
}

TEST(Response, BatchesDecodeAsArrays) {
    auto responses = decodeValue<std::vector<Response<AnyMethod>>>(parseJson(
        R"([{"jsonrpc":"2.0","id":1,"result":{}},{"jsonrpc":"2.0","id":2,"error":{"code":-32601,"message":"Method not found"}}])"));
    ASSERT_EQ(responses.size(), 2U);
    EXPECT_TRUE(responses[0].isSuccess());
    EXPECT_EQ(*responses[1].failure(), MCPError::methodNotFound());
}

TEST(Message, EmptyParametersAreNotWritten) {
    EXPECT_EQ(toJson(makeMessage<InitializedNotification>().toValue()),
              R"({"jsonrpc":"2.0","method":"notifications/initialized"})");
    auto cancelled = makeMessage<CancelledNotification>({.requestId = ID(5), .reason = "late"});
    EXPECT_EQ(
        toJson(cancelled.toValue()),
        R"({"jsonrpc":"2.0","method":"notifications/cancelled","params":{"reason":"late","requestId":5}})");
    EXPECT_EQ(Message<CancelledNotification>::fromAnyMessage(cancelled.asAnyMessage()), cancelled);
}

TEST(Envelopes, HostileInputFailsCleanly) {
    // Deeply nested parameters within the reader's limit are carried as they are.
    std::string deep(400, '[');
    deep += std::string(400, ']');
    auto request = Request<AnyMethod>::fromValue(
        parseJson(R"({"jsonrpc":"2.0","id":1,"method":"x","params":)" + deep + "}"));
    EXPECT_EQ(toJson(request.params), deep);
    // Beyond the limit the reader refuses, with a DecodingError.
    std::string tooDeep(100000, '[');
    EXPECT_THROW(parseJson(R"({"jsonrpc":"2.0","id":1,"method":"x","params":)" + tooDeep),
                 DecodingError);
    // A huge number is a double, and not an identifier.
    EXPECT_THROW(
        Request<AnyMethod>::fromValue(parseJson(R"({"jsonrpc":"2.0","id":1e300,"method":"x"})")),
        DecodingError);
    EXPECT_THROW(Request<AnyMethod>::fromValue(
                     parseJson(R"({"jsonrpc":"2.0","id":99999999999999999999,"method":"x"})")),
                 DecodingError);
    for (std::string_view json : {"null", "1", R"("x")", "[]", "{}"}) {
        EXPECT_THROW(Request<AnyMethod>::fromValue(parseJson(json)), DecodingError) << json;
        EXPECT_THROW(Response<AnyMethod>::fromValue(parseJson(json)), DecodingError) << json;
        EXPECT_THROW(Message<AnyNotification>::fromValue(parseJson(json)), DecodingError) << json;
    }
}

TEST(Version, SupportedAndLatest) {
    EXPECT_EQ(Version::latest(), "2025-11-25");
    for (const char* version : {"2025-11-25", "2025-06-18", "2025-03-26", "2024-11-05"}) {
        EXPECT_TRUE(Version::isSupported(version)) << version;
        EXPECT_EQ(Version::negotiate(version), version);
    }
    for (const char* version : {"", "2025-11-26", "2024-11-05 ", "2025-11"}) {
        EXPECT_FALSE(Version::isSupported(version)) << version;
        EXPECT_EQ(Version::negotiate(version), "2025-11-25") << version;
    }
}

TEST(Metadata, ProgressTokenReadsWritesAndRemoves) {
    EXPECT_EQ(Metadata(Object{{"progressToken", 7}}).progressToken(), ProgressToken(7));
    EXPECT_EQ(Metadata(Object{{"progressToken", "t"}}).progressToken(), ProgressToken("t"));
    EXPECT_EQ(Metadata(Object{{"progressToken", 1.5}}).progressToken(), std::nullopt);
    EXPECT_EQ(Metadata(Object{{"a", 1}}).progressToken(), std::nullopt);
    Metadata metadata(Object{{"progressToken", 7}, {"a", 1}});
    metadata.setProgressToken(std::nullopt);
    EXPECT_EQ(toJson(metadata.toValue()), R"({"a":1})");
    metadata.setProgressToken(ProgressToken("x"));
    EXPECT_EQ(toJson(metadata.toValue()), R"({"a":1,"progressToken":"x"})");
    EXPECT_EQ(Metadata(ProgressToken(3), Object{{"b", true}}),
              Metadata(Object{{"b", true}, {"progressToken", 3}}));
    EXPECT_EQ(std::hash<Metadata>{}(Metadata(Object{{"x", 1}, {"y", 2}})),
              std::hash<Metadata>{}(Metadata(Object{{"y", 2}, {"x", 1}})));
}

TEST(UnitInterval, AcceptsOnlyTheClosedRange) {
    EXPECT_TRUE(UnitInterval::make(0));
    EXPECT_TRUE(UnitInterval::make(1));
    EXPECT_FALSE(UnitInterval::make(-0.01));
    EXPECT_FALSE(UnitInterval::make(1.01));
    EXPECT_FALSE(UnitInterval::make(std::nan("")));
    EXPECT_THROW(UnitInterval(2), std::out_of_range);
    EXPECT_EQ(UnitInterval(0.5).description(), "0.5");
    EXPECT_EQ(UnitInterval(1).description(), "1.0");
    EXPECT_LT(UnitInterval(0.25), UnitInterval(0.5));
    EXPECT_EQ(std::hash<UnitInterval>{}(UnitInterval(0.0)),
              std::hash<UnitInterval>{}(UnitInterval(-0.0)));
}

TEST(ProgressParameters, NegativeZeroEqualsZero) {
    ProgressNotification::Parameters zero{.progressToken = "t", .progress = 0.0};
    ProgressNotification::Parameters negative{.progressToken = "t", .progress = -0.0};
    EXPECT_EQ(zero, negative);
    EXPECT_EQ(std::hash<ProgressNotification::Parameters>{}(zero),
              std::hash<ProgressNotification::Parameters>{}(negative));
}

TEST(Initialize, IdentityOfLocalAutomationEncodesMinimally) {
    EXPECT_EQ(toJson(encodeValue(ServerInfo{.name = "Frameweaver", .version = "1.0.0"})),
              R"({"name":"Frameweaver","version":"1.0.0"})");
    ServerCapabilities capabilities;
    capabilities.tools = ServerCapabilities::Tools{};
    EXPECT_EQ(toJson(encodeValue(capabilities)), R"({"tools":{}})");
    // A present member without flags differs from an absent one.
    ServerCapabilities withResources;
    withResources.resources = ServerCapabilities::Resources{};
    EXPECT_NE(withResources, ServerCapabilities{});
    EXPECT_NE(std::hash<ServerCapabilities>{}(withResources), std::hash<ServerCapabilities>{}({}));
    // Field-less notification values are all equal.
    EXPECT_EQ(InitializedNotification{}, InitializedNotification{});
}

}  // namespace
}  // namespace mcp
