// The lifecycle messages: the "initialize" request with which a client opens a conversation, the
// "notifications/initialized" notification that follows it, and "ping".
//
// Initialize::Parameters is read leniently: a missing or null "protocolVersion" gives
// Version::latest(), missing "capabilities" the all-absent capabilities, missing "clientInfo"
// the client "unknown" version "0.0.0"; a member of the wrong shape still fails. All three are
// always written. Initialize::Result is strict: "protocolVersion", "capabilities" and
// "serverInfo" are required; "instructions" and "_meta" are optional. Plain values.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <tuple>

#include "MCP/JSON/Record.h"
#include "MCP/Messages/ClientCapabilities.h"
#include "MCP/Messages/Implementation.h"
#include "MCP/Messages/Metadata.h"
#include "MCP/Messages/Method.h"
#include "MCP/Messages/ServerCapabilities.h"
#include "MCP/Messages/Version.h"

namespace mcp {

struct Initialize {
    static constexpr std::string_view name = "initialize";

    struct Parameters {
        std::string protocolVersion = Version::latest();
        ClientCapabilities capabilities{};
        ClientInfo clientInfo = unknownClient();

        static ClientInfo unknownClient() {
            return ClientInfo{.name = "unknown", .version = "0.0.0"};
        }

        static constexpr auto codingFields() {
            return std::tuple{
                defaultedField("protocolVersion", &Parameters::protocolVersion,
                               [] { return Version::latest(); }),
                defaultedField("capabilities", &Parameters::capabilities),
                defaultedField("clientInfo", &Parameters::clientInfo, &Parameters::unknownClient)};
        }
    };

    struct Result {
        std::string protocolVersion;
        ServerCapabilities capabilities{};
        ServerInfo serverInfo{};
        std::optional<std::string> instructions{};
        std::optional<Metadata> _meta{};

        static constexpr auto codingFields() {
            return std::tuple{field("protocolVersion", &Result::protocolVersion),
                              field("capabilities", &Result::capabilities),
                              field("serverInfo", &Result::serverInfo),
                              optionalField("instructions", &Result::instructions),
                              optionalField("_meta", &Result::_meta)};
        }
    };
};

struct InitializedNotification : Fieldless {
    using Parameters = Empty;
    static constexpr std::string_view name = "notifications/initialized";
};

struct Ping {
    using Parameters = Empty;
    using Result = Empty;
    static constexpr std::string_view name = "ping";
};

}  // namespace mcp
