// One table of JSON in, JSON out (or the decoding failure) for every message type of the layer.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>

#include "MCP/JSON/Coding.h"
#include "MCP/JSON/DecodingError.h"
#include "MCP/JSON/JsonParser.h"
#include "MCP/JSON/JsonWriter.h"
#include "MCP/Messages/Cancellation.h"
#include "MCP/Messages/ClientCapabilities.h"
#include "MCP/Messages/ID.h"
#include "MCP/Messages/Icon.h"
#include "MCP/Messages/Implementation.h"
#include "MCP/Messages/Initialize.h"
#include "MCP/Messages/MCPError.h"
#include "MCP/Messages/Message.h"
#include "MCP/Messages/Metadata.h"
#include "MCP/Messages/Progress.h"
#include "MCP/Messages/ProgressToken.h"
#include "MCP/Messages/Request.h"
#include "MCP/Messages/Response.h"
#include "MCP/Messages/ServerCapabilities.h"
#include "MCP/Messages/UnitInterval.h"
#include "tests/MCP/JSON/JsonRoundTripHarness.h"

namespace mcp::testing {
namespace {

// A method whose parameters are required: neither Empty nor NotRequired.
struct Echo {
    struct Parameters {
        std::string text;
        static constexpr auto codingFields() {
            return std::tuple{field("text", &Parameters::text)};
        }
    };
    using Result = Parameters;
    static constexpr std::string_view name = "echo";
};

// A method whose parameters may be left out.
struct Listing {
    struct Parameters {
        static constexpr bool notRequired = true;
        std::optional<std::string> cursor{};
        static constexpr auto codingFields() {
            return std::tuple{optionalField("cursor", &Parameters::cursor)};
        }
    };
    using Result = Empty;
    static constexpr std::string_view name = "list";
};

struct EchoNotification : Fieldless {
    using Parameters = Echo::Parameters;
    static constexpr std::string_view name = "notifications/echo";
};

const CodecTable& codecs() {
    static const CodecTable table{
        {"ID", codec<ID>()},
        {"MCPError", codec<MCPError>()},
        {"Request<AnyMethod>", codec<Request<AnyMethod>>()},
        {"Request<Ping>", codec<Request<Ping>>()},
        {"Request<Echo>", codec<Request<Echo>>()},
        {"Request<Listing>", codec<Request<Listing>>()},
        {"Request<Initialize>", codec<Request<Initialize>>()},
        {"Response<AnyMethod>", codec<Response<AnyMethod>>()},
        {"Response<Echo>", codec<Response<Echo>>()},
        {"Response<Initialize>", codec<Response<Initialize>>()},
        {"Message<AnyNotification>", codec<Message<AnyNotification>>()},
        {"Message<InitializedNotification>", codec<Message<InitializedNotification>>()},
        {"Message<EchoNotification>", codec<Message<EchoNotification>>()},
        {"Message<CancelledNotification>", codec<Message<CancelledNotification>>()},
        {"Message<ProgressNotification>", codec<Message<ProgressNotification>>()},
        {"Icon", codec<Icon>()},
        {"Implementation", codec<Implementation>()},
        {"ServerCapabilities", codec<ServerCapabilities>()},
        {"ClientCapabilities", codec<ClientCapabilities>()},
        {"Initialize.Parameters", codec<Initialize::Parameters>()},
        {"Initialize.Result", codec<Initialize::Result>()},
        {"InitializedNotification", codec<InitializedNotification>()},
        {"Metadata", codec<Metadata>()},
        {"ProgressToken", codec<ProgressToken>()},
        {"UnitInterval", codec<UnitInterval>()},
        {"CancelledNotification.Parameters", codec<CancelledNotification::Parameters>()},
        {"ProgressNotification.Parameters", codec<ProgressNotification::Parameters>()},
    };
    return table;
}

using Kind = DecodingError::Kind;

const TypedCase kCases[] = {
    // Identifiers.
    ok("ID", R"("abc")"),
    ok("ID", "7"),
    ok("ID", "-9223372036854775808"),
    ok("ID", "null", R"("")"),
    fails("ID", "1.5", Kind::dataCorrupted, "", "ID must be string or number"),
    fails("ID", "true", Kind::dataCorrupted, "", "ID must be string or number"),
    fails("ID", "{}", Kind::dataCorrupted, "", "ID must be string or number"),

    // Requests: the decode order.
    ok("Request<Ping>", R"({"jsonrpc":"2.0","id":null,"method":"ping"})",
       R"({"id":"","jsonrpc":"2.0","method":"ping","params":{}})"),
    fails("Request<Ping>", R"({"jsonrpc":"1.0","id":1,"method":"ping"})", Kind::dataCorrupted,
          "jsonrpc", "Invalid JSON-RPC version"),
    fails("Request<Ping>", R"({"id":1,"method":"ping"})", Kind::keyNotFound, "jsonrpc"),
    fails("Request<Ping>", R"({"jsonrpc":2,"id":1,"method":"ping"})", Kind::typeMismatch,
          "jsonrpc"),
    fails("Request<Ping>", R"({"jsonrpc":"2.0","method":"ping"})", Kind::keyNotFound, "id"),
    fails("Request<Ping>", R"({"jsonrpc":"2.0","id":true,"method":"ping"})", Kind::dataCorrupted,
          "id", "ID must be string or number"),
    fails("Request<Ping>", R"({"jsonrpc":"2.0","id":1})", Kind::keyNotFound, "method"),
    fails("Request<Ping>", R"([1,2])", Kind::typeMismatch, ""),
    // The method text is not compared with the type's name.
    ok("Request<Ping>", R"({"jsonrpc":"2.0","id":"7","method":"other","params":{}})"),

    // The params rule: Empty takes anything.
    ok("Request<Ping>", R"({"jsonrpc":"2.0","id":1,"method":"ping","params":null})",
       R"({"id":1,"jsonrpc":"2.0","method":"ping","params":{}})"),
    ok("Request<Ping>", R"({"jsonrpc":"2.0","id":1,"method":"ping","params":5})",
       R"({"id":1,"jsonrpc":"2.0","method":"ping","params":{}})"),
    // Required parameters.
    ok("Request<Echo>", R"({"jsonrpc":"2.0","id":1,"method":"echo","params":{"text":"hi"}})"),
    fails("Request<Echo>", R"({"jsonrpc":"2.0","id":1,"method":"echo"})", Kind::dataCorrupted, "",
          "Missing required params field"),
    fails("Request<Echo>", R"({"jsonrpc":"2.0","id":1,"method":"echo","params":null})",
          Kind::dataCorrupted, "", "Missing required params field"),
    fails("Request<Echo>", R"({"jsonrpc":"2.0","id":1,"method":"echo","params":{}})",
          Kind::dataCorrupted, "", "Invalid params field"),
    fails("Request<Echo>", R"({"jsonrpc":"2.0","id":1,"method":"echo","params":[1]})",
          Kind::dataCorrupted, "", "Invalid params field"),
    // NotRequired parameters: absent or null give the default; malformed keeps its own error.
    ok("Request<Listing>", R"({"jsonrpc":"2.0","id":1,"method":"list"})",
       R"({"id":1,"jsonrpc":"2.0","method":"list","params":{}})"),
    ok("Request<Listing>", R"({"jsonrpc":"2.0","id":1,"method":"list","params":null})",
       R"({"id":1,"jsonrpc":"2.0","method":"list","params":{}})"),
    fails("Request<Listing>", R"({"jsonrpc":"2.0","id":1,"method":"list","params":{"cursor":3}})",
          Kind::typeMismatch, "params.cursor"),
    // Erased requests: parameters kept as they are; none at all stays none (never "params":null).
    ok("Request<AnyMethod>", R"({"jsonrpc":"2.0","id":1,"method":"x","params":{"a":[1,2.5]}})"),
    ok("Request<AnyMethod>", R"({"jsonrpc":"2.0","id":1,"method":"x"})"),
    ok("Request<AnyMethod>", R"({"jsonrpc":"2.0","id":1,"method":"x","params":null})",
       R"({"id":1,"jsonrpc":"2.0","method":"x"})"),
    ok("Request<Initialize>", R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{}})",
       R"({"id":1,"jsonrpc":"2.0","method":"initialize","params":{"capabilities":{},
           "clientInfo":{"name":"unknown","version":"0.0.0"},"protocolVersion":"2025-11-25"}})"),

    // Responses.
    ok("Response<AnyMethod>", R"({"jsonrpc":"2.0","id":1,"result":{"x":1}})"),
    ok("Response<AnyMethod>", R"({"jsonrpc":"2.0","id":1,"result":null})"),
    ok("Response<AnyMethod>",
       R"({"jsonrpc":"2.0","id":"a","error":{"code":-32601,"message":"Method not found"}})"),
    ok("Response<AnyMethod>",
       R"({"jsonrpc":"2.0","id":null,"error":{"code":-32600,"message":"Invalid Request"}})",
       R"({"jsonrpc":"2.0","id":"","error":{"code":-32600,"message":"Invalid Request"}})"),
    ok("Response<AnyMethod>",
       R"({"jsonrpc":"2.0","id":1,"result":{"x":1},"error":{"code":1,"message":"m"}})",
       R"({"jsonrpc":"2.0","id":1,"result":{"x":1}})"),
    // A result of the wrong shape falls back to the error member...
    ok("Response<Echo>",
       R"({"jsonrpc":"2.0","id":1,"result":{"other":1},"error":{"code":-32000,"message":"x"}})",
       R"({"jsonrpc":"2.0","id":1,"error":{"code":-32000,"message":"Connection closed"}})"),
    // ...and without one the response is invalid.
    fails("Response<Echo>", R"({"jsonrpc":"2.0","id":1,"result":{"other":1}})", Kind::dataCorrupted,
          "", "Invalid response"),
    fails("Response<AnyMethod>", R"({"jsonrpc":"2.0","id":1})", Kind::dataCorrupted, "",
          "Invalid response"),
    fails("Response<AnyMethod>", R"({"jsonrpc":"2.0","id":1,"error":{"code":"x","message":"m"}})",
          Kind::dataCorrupted, "", "Invalid response"),
    fails("Response<AnyMethod>", R"({"jsonrpc":"2.1","id":1,"result":1})", Kind::dataCorrupted,
          "jsonrpc", "Invalid JSON-RPC version"),
    fails("Response<AnyMethod>", R"({"jsonrpc":"2.0","id":[],"result":1})", Kind::dataCorrupted,
          "id", "ID must be string or number"),

    // Notifications.
    ok("Message<InitializedNotification>",
       R"({"jsonrpc":"2.0","method":"notifications/initialized","params":{"a":1}})",
       R"({"jsonrpc":"2.0","method":"notifications/initialized"})"),
    ok("Message<EchoNotification>",
       R"({"jsonrpc":"2.0","method":"notifications/echo","params":{"text":"t"}})"),
    fails("Message<EchoNotification>", R"({"jsonrpc":"2.0","method":"notifications/echo"})",
          Kind::dataCorrupted, "", "Missing required params field"),
    fails("Message<EchoNotification>",
          R"({"jsonrpc":"2.0","method":"notifications/echo","params":"t"})", Kind::dataCorrupted,
          "", "Invalid params field"),
    ok("Message<AnyNotification>", R"({"jsonrpc":"2.0","method":"n"})"),
    ok("Message<AnyNotification>", R"({"jsonrpc":"2.0","method":"n","params":[1]})"),
    fails("Message<AnyNotification>", R"({"jsonrpc":"1.0","method":"n"})", Kind::dataCorrupted,
          "jsonrpc", "Invalid JSON-RPC version"),
    ok("Message<CancelledNotification>",
       R"({"jsonrpc":"2.0","method":"notifications/cancelled","params":{"requestId":5}})"),
    ok("Message<ProgressNotification>",
       R"({"jsonrpc":"2.0","method":"notifications/progress","params":{"progressToken":"t","progress":3}})",
       R"({"jsonrpc":"2.0","method":"notifications/progress","params":{"progressToken":"t","progress":3.0}})"),

    // Errors on the wire (texts in MCPErrorTests.cpp).
    ok("MCPError", R"({"code":-32602,"message":"Invalid params: D","data":{"detail":"D"}})"),
    ok("MCPError", R"({"code":-32602,"message":"Invalid params"})"),
    ok("MCPError", R"({"code":-32603,"message":"Internal error"})"),
    ok("MCPError", R"({"code":-32603,"message":"disk full"})",
       R"({"code":-32603,"message":"Internal error: disk full","data":{"detail":"disk full"}})"),
    ok("MCPError", R"({"code":42,"message":"Server error: M"})"),
    ok("MCPError", R"({"code":42,"message":"quota"})",
       R"({"code":42,"message":"Server error: quota"})"),
    ok("MCPError", R"({"code":-32000,"message":"anything","data":{"x":1}})",
       R"({"code":-32000,"message":"Connection closed"})"),
    ok("MCPError", R"({"code":-32001,"message":"M"})",
       R"({"code":-32001,"message":"Transport error: M","data":{"error":"M"}})"),
    ok("MCPError", R"({"code":-32042,"message":"go","data":{"elicitations":[]}})"),
    ok("MCPError", R"({"code":-32602,"message":"m","data":{"detail":5}})",
       R"({"code":-32602,"message":"Invalid params: m","data":{"detail":"m"}})"),
    ok("MCPError", R"({"code":-32602,"message":"m","data":null})",
       R"({"code":-32602,"message":"Invalid params: m","data":{"detail":"m"}})"),
    fails("MCPError", R"({"code":-32602,"message":"m","data":"text"})", Kind::typeMismatch, "data"),
    fails("MCPError", R"({"message":"m"})", Kind::keyNotFound, "code"),
    fails("MCPError", R"({"code":1})", Kind::keyNotFound, "message"),
    fails("MCPError", R"({"code":1,"message":2})", Kind::typeMismatch, "message"),

    // Icons and identities.
    ok("Icon", R"({"src":"a.png"})"),
    ok("Icon", R"({"src":"a.png","mimeType":"image/png","sizes":["48x48"],"theme":"dark"})"),
    ok("Icon", R"({"src":"a.png","theme":null,"extra":1})", R"({"src":"a.png"})"),
    fails("Icon", R"({"src":"a.png","theme":"Dark"})", Kind::dataCorrupted, "theme",
          "Cannot initialize Theme from invalid String value Dark"),
    fails("Icon", R"({"mimeType":"image/png"})", Kind::keyNotFound, "src"),
    fails("Icon", R"({"src":"a","sizes":["a",1]})", Kind::typeMismatch, "sizes[1]"),
    ok("Implementation", R"({"name":"Frameweaver","version":"1.0.0"})"),
    ok("Implementation", R"({"name":"n","version":"1","title":null,"icons":[]})",
       R"({"name":"n","version":"1","icons":[]})"),
    fails("Implementation", R"({"name":"n"})", Kind::keyNotFound, "version"),
    fails("Implementation", R"({"name":"n","version":"1","icons":[{"src":1}]})", Kind::typeMismatch,
          "icons[0].src"),

    // Capabilities.
    ok("ServerCapabilities", "{}"),
    ok("ServerCapabilities", R"({"tools":{}})"),
    ok("ServerCapabilities", R"({"logging":null})", "{}"),
    ok("ServerCapabilities", R"({"logging":5,"completions":{"x":1}})",
       R"({"logging":{},"completions":{}})"),
    ok("ServerCapabilities", R"({"experimental":{},"tools":{"listChanged":null}})",
       R"({"tools":{}})"),
    ok("ServerCapabilities", R"({"resources":{"subscribe":true,"listChanged":false}})"),
    fails("ServerCapabilities", R"({"tools":{"listChanged":"yes"}})", Kind::typeMismatch,
          "tools.listChanged"),
    fails("ServerCapabilities", R"({"prompts":true})", Kind::typeMismatch, "prompts"),
    ok("ClientCapabilities", "{}"),
    ok("ClientCapabilities", R"({"sampling":true})", R"({"sampling":{}})"),
    ok("ClientCapabilities", R"({"sampling":{"tools":1,"context":null}})",
       R"({"sampling":{"tools":{}}})"),
    ok("ClientCapabilities", R"({"elicitation":{}})", R"({"elicitation":{"form":{}}})"),
    ok("ClientCapabilities", R"({"elicitation":"x"})", R"({"elicitation":{"form":{}}})"),
    ok("ClientCapabilities", R"({"elicitation":{"url":{}}})"),
    ok("ClientCapabilities", R"({"experimental":{"a":{"b":[1]}},"roots":{"listChanged":true}})"),
    fails("ClientCapabilities", R"({"roots":true})", Kind::typeMismatch, "roots"),
    ok("ClientCapabilities", R"({"roots":null})", "{}"),

    // Initialize.
    ok("Initialize.Parameters", "{}",
       R"({"protocolVersion":"2025-11-25","capabilities":{},
           "clientInfo":{"name":"unknown","version":"0.0.0"}})"),
    ok("Initialize.Parameters", R"({"protocolVersion":null,"capabilities":null,"clientInfo":null})",
       R"({"protocolVersion":"2025-11-25","capabilities":{},
           "clientInfo":{"name":"unknown","version":"0.0.0"}})"),
    ok("Initialize.Parameters",
       R"({"protocolVersion":"1999-01-01","capabilities":{},"clientInfo":{"name":"c","version":"2"}})"),
    fails("Initialize.Parameters", R"({"protocolVersion":5})", Kind::typeMismatch,
          "protocolVersion"),
    fails("Initialize.Parameters", R"({"clientInfo":{"name":"c"}})", Kind::keyNotFound,
          "clientInfo.version"),
    ok("Initialize.Result",
       R"({"protocolVersion":"2025-06-18","capabilities":{"tools":{}},"serverInfo":{"name":"s","version":"1"}})"),
    ok("Initialize.Result",
       R"({"protocolVersion":"v","capabilities":{},"serverInfo":{"name":"s","version":"1"},
           "instructions":"i","_meta":{"k":[true]}})"),
    fails("Initialize.Result", R"({"protocolVersion":"v","capabilities":{}})", Kind::keyNotFound,
          "serverInfo"),
    fails(
        "Initialize.Result",
        R"({"protocolVersion":"v","capabilities":{},"serverInfo":{"name":"s","version":"1"},"_meta":[]})",
        Kind::typeMismatch, "_meta"),
    ok("InitializedNotification", R"("anything")", "{}"),

    // Bookkeeping.
    ok("ProgressToken", R"("abc")"),
    ok("ProgressToken", "42"),
    ok("ProgressToken", R"("42")"),
    fails("ProgressToken", "true", Kind::dataCorrupted, "",
          "Progress token must be a string or integer"),
    fails("ProgressToken", "4.5", Kind::dataCorrupted, "",
          "Progress token must be a string or integer"),
    fails("ProgressToken", "null", Kind::dataCorrupted, "",
          "Progress token must be a string or integer"),
    fails("ProgressToken", "{}", Kind::dataCorrupted, "",
          "Progress token must be a string or integer"),
    // A double stays a double: a whole number is written with its ".0".
    ok("UnitInterval", "0", "0.0"),
    ok("UnitInterval", "1", "1.0"),
    ok("UnitInterval", "0.5"),
    fails("UnitInterval", "1.5", Kind::dataCorrupted, "", "Value 1.5 is not in range 0...1"),
    fails("UnitInterval", "-0.25", Kind::dataCorrupted, "", "Value -0.25 is not in range 0...1"),
    fails("UnitInterval", "2", Kind::dataCorrupted, "", "Value 2.0 is not in range 0...1"),
    fails("UnitInterval", R"("0.5")", Kind::typeMismatch, ""),
    ok("Metadata", R"({"a":1})"),
    fails("Metadata", "[]", Kind::typeMismatch, ""),
    ok("CancelledNotification.Parameters", R"({"requestId":5})"),
    ok("CancelledNotification.Parameters", "{}"),
    ok("CancelledNotification.Parameters", R"({"requestId":null,"reason":null})", "{}"),
    fails("CancelledNotification.Parameters", R"({"requestId":1.5})", Kind::dataCorrupted,
          "requestId", "ID must be string or number"),
    ok("ProgressNotification.Parameters", R"({"progressToken":"t","progress":3})",
       R"({"progressToken":"t","progress":3.0})"),
    ok("ProgressNotification.Parameters",
       R"({"progressToken":7,"progress":0.5,"total":10,"message":"m"})",
       R"({"progressToken":7,"progress":0.5,"total":10.0,"message":"m"})"),
    fails("ProgressNotification.Parameters", R"({"progressToken":"t"})", Kind::keyNotFound,
          "progress"),
    fails("ProgressNotification.Parameters", R"({"progress":1})", Kind::keyNotFound,
          "progressToken"),
    fails("ProgressNotification.Parameters", R"({"progressToken":"t","progress":null})",
          Kind::valueNotFound, "progress"),
};

class MessageRoundTrip : public ::testing::TestWithParam<TypedCase> {};

TEST_P(MessageRoundTrip, DecodesAndEncodesAsTheTableSays) {
    checkTypedCase(GetParam(), codecs());
}

INSTANTIATE_TEST_SUITE_P(Table, MessageRoundTrip, ::testing::ValuesIn(kCases));

}  // namespace
}  // namespace mcp::testing
