// The tolerant WWW-Authenticate parser: a table of header values and the parameters found, and
// random and hostile values.
#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <random>
#include <string>

#include "MCP/OAuth/OAuthWWWAuthenticateParser.h"

namespace mcp {
namespace {

using Parameters = std::map<std::string, std::string>;

std::optional<Parameters> parse(const std::map<std::string, std::string>& headers) {
    auto challenge = DefaultOAuthWWWAuthenticateParser().parseBearerChallenge(headers);
    if (!challenge) {
        return std::nullopt;
    }
    return challenge->parameters;
}

std::optional<Parameters> parseValue(const std::string& value) {
    return parse({{"WWW-Authenticate", value}});
}

TEST(WWWAuthenticateParser, HeaderValues) {
    const struct {
        const char* name;
        std::string value;
        std::optional<Parameters> expected;
    } cases[] = {
        {"scheme alone", "Bearer", Parameters{}},
        {"blank", "   ", std::nullopt},
        {"empty", "", std::nullopt},
        {"only Basic", "Basic realm=\"x\"", std::nullopt},
        {"Basic then Bearer",
         R"(Basic realm="site", Bearer scope="read write", error="insufficient_scope")",
         Parameters{{"scope", "read write"}, {"error", "insufficient_scope"}}},
        {"Bearer then Basic", R"(Bearer error="invalid_token", Basic realm="x")",
         Parameters{{"error", "invalid_token"}}},
        {"bare Basic ends the list", R"(Bearer error="e", Basic)", Parameters{{"error", "e"}}},
        {"comma inside quotes", R"(Bearer realm="a,b")", Parameters{{"realm", "a,b"}}},
        {"scheme in lower case", "bearer scope=x", Parameters{{"scope", "x"}}},
        {"scheme in capitals", "BEARER scope=x", Parameters{{"scope", "x"}}},
        {"scheme then tab", "Bearer\tscope=x", Parameters{{"scope", "x"}}},
        {"scheme run into a letter", "Bearerx scope=x", std::nullopt},
        {"name in capitals", "Bearer Error_Description=\"d\"",
         Parameters{{"error_description", "d"}}},
        {"escaped quote", R"(Bearer error_description="say \"hi\"")",
         Parameters{{"error_description", "say \"hi\""}}},
        {"two backslashes stay", R"(Bearer realm="a\\b")", Parameters{{"realm", R"(a\\b)"}}},
        {"blanks around equals", R"(Bearer scope = "x y")", Parameters{{"scope", "x y"}}},
        {"nothing after equals", "Bearer scope=, error=e", Parameters{{"error", "e"}}},
        {"nothing before equals", "Bearer =x, error=e", Parameters{{"error", "e"}}},
        {"same name twice", "Bearer scope=a, scope=b", Parameters{{"scope", "b"}}},
        {"bare token then parameter", "Bearer, token, scope=a", Parameters{}},
        {"token68", "Bearer abc==", Parameters{{"abc", "="}}},
        {"second Bearer ends the first", "Bearer scope=a, Bearer scope=b",
         Parameters{{"scope", "a"}}},
        {"odd spacing and empty items",
         "  Bearer   ,, realm=\"r\" ,\t error=\"e\" ,  , resource_metadata=\"https://r/x\"  ",
         Parameters{{"realm", "r"}, {"error", "e"}, {"resource_metadata", "https://r/x"}}},
        {"unterminated quote runs to the end", R"(Bearer realm="a, error=e)",
         Parameters{{"realm", "\"a, error=e"}}},
        {"unquoted value kept as written", "Bearer scope=read:all",
         Parameters{{"scope", "read:all"}}},
        {"lone quote is no quoted value", "Bearer realm=\"", Parameters{{"realm", "\""}}},
        {"Digest challenge after Bearer", R"(Bearer scope="s", Digest realm="d", nonce="n")",
         Parameters{{"scope", "s"}}},
        {"value with non-ASCII text", "Bearer error_description=\"caf\xC3\xA9\"",
         Parameters{{"error_description", "caf\xC3\xA9"}}},
        {"bytes that are no UTF-8 survive", "Bearer realm=\"\xff\xfe\"",
         Parameters{{"realm", "\xff\xfe"}}},
        {"no-break space trims", "\xC2\xA0" "Bearer\xC2\xA0scope=x\xC2\xA0",
         Parameters{{"scope", "x"}}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(parseValue(c.value), c.expected) << c.name;
    }
}

TEST(WWWAuthenticateParser, FindsTheHeaderIgnoringCase) {
    EXPECT_EQ(parse({{"www-authenticate", "Bearer scope=x"}}), (Parameters{{"scope", "x"}}));
    EXPECT_EQ(parse({{"Content-Type", "text/plain"}, {"WWW-AUTHENTICATE", "Bearer error=e"}}),
              (Parameters{{"error", "e"}}));
    EXPECT_EQ(parse({{"Content-Type", "text/plain"}}), std::nullopt);
    EXPECT_EQ(parse({}), std::nullopt);
    EXPECT_EQ(parse({{"WWW-Authenticate-Extra", "Bearer"}}), std::nullopt);
}

TEST(WWWAuthenticateParser, ChallengeAccessors) {
    const auto challenge = DefaultOAuthWWWAuthenticateParser().parseBearerChallenge(
        R"(Bearer error="insufficient_scope", scope="files:read files:write", )"
        R"(resource_metadata="https://mcp.example/.well-known/oauth-protected-resource", )"
        R"(error_description="More scope needed")");
    ASSERT_TRUE(challenge);
    EXPECT_EQ(challenge->error(), "insufficient_scope");
    EXPECT_EQ(challenge->scope(), "files:read files:write");
    EXPECT_EQ(challenge->errorDescription(), "More scope needed");
    EXPECT_EQ(challenge->resourceMetadataURL()->absoluteString(),
              "https://mcp.example/.well-known/oauth-protected-resource");
}

TEST(WWWAuthenticateParser, OtherTokenCharacters) {
    // The token characters decide which bare items start another challenge.
    const std::string value = "Bearer scope=a, Basic-x, error=e";
    EXPECT_EQ(parseValue(value), (Parameters{{"scope", "a"}}));
    const DefaultOAuthWWWAuthenticateParser letters("abcdefghijklmnopqrstuvwxyz");
    EXPECT_EQ(letters.parseBearerChallenge(value)->parameters,
              (Parameters{{"scope", "a"}, {"error", "e"}}));
}

// Random and hostile values: never a crash, and whatever comes back has lower-case names.
TEST(WWWAuthenticateParser, HostileInput) {
    std::mt19937 random(1211);
    const std::string pieces[] = {"Bearer", "bearer", "Basic", " ", "\t", ",", "=", "\"", "\\",
                                  "\\\"", "scope", "error", "realm", "a", "Z", "\xff", "\xc3",
                                  "\xe2\x80\xa8", "\xf0\x9f\x99\x82", "==", "\r\n",
                                  std::string(1000, ','), std::string(1000, '"')};
    const DefaultOAuthWWWAuthenticateParser parser;
    for (int round = 0; round < 5000; ++round) {
        std::string value;
        const int count = 1 + int(random() % 20);
        for (int i = 0; i < count; ++i) {
            value += pieces[random() % std::size(pieces)];
        }
        const auto challenge = parser.parseBearerChallenge(value);
        if (challenge) {
            for (const auto& [name, parameter] : challenge->parameters) {
                EXPECT_FALSE(name.empty()) << value;
                for (char c : name) {
                    EXPECT_FALSE(c >= 'A' && c <= 'Z') << value;
                }
            }
        }
    }
}

}  // namespace
}  // namespace mcp
