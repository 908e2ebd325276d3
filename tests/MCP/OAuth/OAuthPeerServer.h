// npm's oidc-provider on loopback (oauth-npm/server.mjs, installed by scripts/setup), started
// with a configuration document ({"clients": [...]}) and stopped when the value goes: the server
// ends when its standard input does. Its first JSON line names its issuer, its token,
// introspection and revocation endpoints, its test endpoint that ends an access token, and the
// refresh tokens it made.
#pragma once

#include <signal.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>

#include "MCP/JSON/JsonParser.h"
#include "MCP/JSON/JsonWriter.h"
#include "MCP/OAuth/URL.h"
#include "tests/MCP/ChildProcess.h"

namespace mcp::testing {

class OAuthPeerServer {
public:
    explicit OAuthPeerServer(const Value& config)
        : directory_(writeConfiguration(config)),
          node_("node", {(std::filesystem::path(FW_OAUTH_PEER_DIR) / "server.mjs").string(),
                         (directory_ / "config.json").string()}) {
        readAnnouncement();
    }

    ~OAuthPeerServer() {
        node_.closeInput();  // the server ends when its standard input does
        if (node_.waitForExit(std::chrono::seconds(30)) == -1) {
            node_.kill(SIGKILL);
            node_.waitForExit();
        }
        std::filesystem::remove_all(directory_);
    }

    OAuthPeerServer(const OAuthPeerServer&) = delete;
    OAuthPeerServer& operator=(const OAuthPeerServer&) = delete;

    std::optional<URL> issuer;
    std::optional<URL> tokenEndpoint;
    std::optional<URL> introspectionEndpoint;
    std::optional<URL> revocationEndpoint;
    std::optional<URL> expiryEndpoint;
    std::map<std::string, std::string> refreshTokens;

private:
    // A fresh directory holding `config` as config.json.
    static std::filesystem::path writeConfiguration(const Value& config) {
        static int made = 0;
        auto directory = std::filesystem::temp_directory_path() /
                         ("fw-oidc-" + std::to_string(::getpid()) + "-" + std::to_string(++made));
        std::filesystem::create_directories(directory);
        std::ofstream(directory / "config.json") << toJson(config);
        return directory;
    }

    void readAnnouncement() {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(90);
        while (true) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            const std::optional<std::string> line = node_.readLine(left);
            if (!line) {
                throw std::runtime_error("The authorization server did not start.");
            }
            if (line->empty() || (*line)[0] != '{') {
                continue;  // the server's own notices
            }
            const Value announcement = parseJson(*line);
            issuer = URL::parse(*announcement.find("issuer")->stringValue());
            tokenEndpoint = URL::parse(*announcement.find("token_endpoint")->stringValue());
            introspectionEndpoint =
                URL::parse(*announcement.find("introspection_endpoint")->stringValue());
            revocationEndpoint =
                URL::parse(*announcement.find("revocation_endpoint")->stringValue());
            expiryEndpoint = URL::parse(*announcement.find("expiry_endpoint")->stringValue());
            for (const auto& [id, token] : *announcement.find("refresh_tokens")->objectValue()) {
                refreshTokens[id] = *token.stringValue();
            }
            return;
        }
    }

    std::filesystem::path directory_;
    ChildProcess node_;
};

}  // namespace mcp::testing
