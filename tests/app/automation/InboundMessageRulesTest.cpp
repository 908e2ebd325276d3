#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <string>

#include "MCP/JSON/JsonParser.h"
#include "app/automation/InboundMessageRules.h"
#include "fuzz/InboundAgreement.h"

namespace fw::automation {
namespace {

constexpr std::size_t kMaximum = 0x100000;

TEST(InboundMessageRules, IdentifierKeysKeepStringsAndNumbersApart) {
    EXPECT_EQ(requestIdentifierKey(mcp::Value("7")), "s:7");
    EXPECT_EQ(requestIdentifierKey(mcp::Value(7)), "n:7");
    EXPECT_EQ(requestIdentifierKey(mcp::parseJson("-9223372036854775808")),
              "n:-9223372036854775808");
    EXPECT_EQ(requestIdentifierKey(mcp::Value(std::string(256, 'i'))),
              "s:" + std::string(256, 'i'));
    for (const char* refused :
         {"true", "null", "1.5", "1.0", "1e2", "9223372036854775808", "{}", "[]"}) {
        EXPECT_EQ(requestIdentifierKey(mcp::parseJson(refused)), std::nullopt) << refused;
    }
    EXPECT_EQ(requestIdentifierKey(mcp::Value(std::string(257, 'i'))), std::nullopt);
    // 256 bytes of UTF-8, fewer characters.
    std::string accented;
    for (int i = 0; i < 128; ++i) {
        accented += "\u00e9";
    }
    EXPECT_TRUE(requestIdentifierKey(mcp::Value(accented)));
    EXPECT_FALSE(requestIdentifierKey(mcp::Value(accented + "x")));
}

TEST(InboundMessageRules, LinesThatBreakTheRules) {
    const std::string longId(257, 'x');
    const char* lines[] = {
        "",
        " ",
        "not json",
        "[]",
        "{}",
        "\"method\"",
        R"({"jsonrpc":"2.0"})",
        R"({"jsonrpc":"2.0","id":1,"result":{}})",
        R"({"method":7})",
        R"({"method":null,"id":1})",
        R"({"method":"ping","id":true})",
        R"({"method":"ping","id":1.5})",
        R"({"method":"ping","id":null})",
        R"({"method":"ping","id":{}})",
        R"({"method":"ping","id":18446744073709551616})",
        // The server reads an id with a result or an error as an answer, which it never answers.
        R"({"method":"ping","id":1,"result":{}})",
        R"({"method":"ping","id":"a","error":{"code":1,"message":"m"}})",
        R"({"method":"ping"})",
        R"({"method":"notification/initialized"})",
        R"({"method":"ping","id":1} {"method":"ping","id":2})",
    };
    for (const char* line : lines) {
        EXPECT_EQ(acceptInboundLine(line, kMaximum), std::nullopt) << line;
    }
    EXPECT_EQ(acceptInboundLine(R"({"method":"ping","id":")" + longId + "\"}", kMaximum),
              std::nullopt);
}

TEST(InboundMessageRules, AcceptedLinesPassByteForByte) {
    const std::string request = R"(  { "id" : "7",   "method":"tools/list","params":{ } } )";
    auto accepted = acceptInboundLine(request, kMaximum);
    ASSERT_TRUE(accepted);
    EXPECT_EQ(accepted->kind, InboundMessage::Kind::request);
    EXPECT_EQ(accepted->key, "s:7");
    EXPECT_EQ(accepted->text, request);

    const std::string notification = R"({"method":"notifications/initialized" ,"jsonrpc":"2.0"})";
    accepted = acceptInboundLine(notification, kMaximum);
    ASSERT_TRUE(accepted);
    EXPECT_EQ(accepted->kind, InboundMessage::Kind::notification);
    EXPECT_EQ(accepted->text, notification);
}

TEST(InboundMessageRules, InitializeLosesOnlyExperimentalCapabilitiesOfObjects) {
    const std::string prefix = R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{)";
    const std::string suffix = R"("clientInfo":{"name":"c","version":"1"}}})";
    auto initialize = [&](const std::string& capabilities) {
        return prefix + R"("capabilities":)" + capabilities + "," + suffix;
    };
    // Rewritten: "experimental" goes, everything else stays.
    auto rewritten = acceptInboundLine(
        initialize(R"({"experimental":{"x":{}},"roots":{"listChanged":true}})"), kMaximum);
    ASSERT_TRUE(rewritten);
    const mcp::Value message = mcp::parseJson(rewritten->text);
    const mcp::Value* capabilities = message.find("params")->find("capabilities");
    EXPECT_EQ(capabilities->find("experimental"), nullptr);
    EXPECT_NE(capabilities->find("roots"), nullptr);
    EXPECT_EQ(message.find("params")->find("clientInfo")->find("name")->asString(), "c");

    // Unchanged, byte for byte.
    for (const std::string capabilities :
         {R"({"experimental":{"x":1}})", R"({"experimental":{}})",
          R"({"experimental":{"a":{},"b":[]}})", R"({"experimental":[]})", R"({})"}) {
        const std::string line = initialize(capabilities);
        auto accepted = acceptInboundLine(line, kMaximum);
        ASSERT_TRUE(accepted) << capabilities;
        EXPECT_EQ(accepted->text, line);
    }
    const std::string otherMethod =
        R"({"id":1,"method":"tools/list","params":{"capabilities":{"experimental":{"x":{}}}}})";
    EXPECT_EQ(acceptInboundLine(otherMethod, kMaximum)->text, otherMethod);
}

TEST(InboundMessageRules, AnswersReleaseTheRequestInFlight) {
    struct Case {
        std::optional<mcp::ID> request;
        bool isError;
        const char* pending;
        bool releases;
    };
    const Case cases[] = {
        {mcp::ID("7"), false, "s:7", true},
        {mcp::ID(7), false, "s:7", false},
        {mcp::ID(7), false, "n:7", true},
        {mcp::ID(8), false, "n:7", false},
        {mcp::ID(-8), false, "n:-8", true},
        {mcp::ID(7), false, "", false},
        {std::nullopt, true, "", false},
        // An error the server could not tie to the request still answers it.
        {std::nullopt, true, "n:7", true},
        {mcp::ID(99), true, "n:7", true},
    };
    for (const auto& c : cases) {
        const std::string id = c.request ? c.request->description() : "none";
        EXPECT_EQ(releasesRequestInFlight(c.request, c.isError, c.pending), c.releases)
            << id << (c.isError ? " error" : "") << " with " << c.pending;
    }
}

// Random lines, most of them near misses of valid messages: the rules never crash, what they
// accept always keeps them, and the server's own classification reads it the same way (a request
// the rules let through is one the server answers).
TEST(InboundMessageRules, SeededRandomLinesKeepTheRules) {
    std::mt19937 random(20261210);
    const std::string seeds[] = {
        R"({"jsonrpc":"2.0","id":1,"method":"ping"})",
        R"({"jsonrpc":"2.0","id":"a","method":"tools/call","params":{"name":"x"}})",
        R"({"jsonrpc":"2.0","method":"notifications/cancelled","params":{"requestId":1}})",
        R"({"jsonrpc":"2.0","id":2,"method":"initialize","params":{"capabilities":{"experimental":{"e":{}}}}})",
        R"({"jsonrpc":"2.0","id":3,"method":"ping","result":{}})",
        R"({"jsonrpc":"2.0","id":"data:,4","method":"ping","error":{}})",
    };
    const std::string alphabet =
        "{}[]\":,0123456789.-+eEtruefalsn \\/u\x01\x7f\xc3\xa9\xff"
        "ab";
    int accepted = 0;
    for (int round = 0; round < 20000; ++round) {
        std::string line = seeds[random() % std::size(seeds)];
        const int edits = 1 + static_cast<int>(random() % 4);
        for (int e = 0; e < edits && !line.empty(); ++e) {
            const std::size_t at = random() % line.size();
            const char c = alphabet[random() % alphabet.size()];
            switch (random() % 3) {
                case 0:
                    line[at] = c;
                    break;
                case 1:
                    line.insert(line.begin() + static_cast<long>(at), c);
                    break;
                default:
                    line.erase(at, 1 + random() % 3);
                    break;
            }
        }
        EXPECT_EQ(fuzz::inboundDisagreement(line), std::nullopt) << line;
        const auto message = acceptInboundLine(line, kMaximum);
        if (!message) {
            continue;
        }
        ++accepted;
        const mcp::Value value = mcp::parseJson(message->text);
        ASSERT_NE(value.objectValue(), nullptr) << line;
        ASSERT_NE(value.find("method"), nullptr) << line;
        const std::string method = *value.find("method")->jsonString();
        if (message->kind == InboundMessage::Kind::request) {
            EXPECT_EQ(requestIdentifierKey(*value.find("id")), message->key) << line;
        } else {
            EXPECT_EQ(value.find("id"), nullptr) << line;
            EXPECT_EQ(method.rfind("notifications/", 0), 0u) << line;
        }
        if (method != "initialize") {
            EXPECT_EQ(message->text, line);
        }
    }
    EXPECT_GT(accepted, 100);  // the seeds keep the search near valid messages
}

}  // namespace
}  // namespace fw::automation
