// npm's oidc-provider on loopback (oauth-npm/server.mjs, installed by scripts/setup), started
// with a configuration document ({"clients": [...]}) and stopped when the value goes: the server
// ends when its standard input does. Its first JSON line names its issuer, its token,
// introspection and revocation endpoints, its test endpoint that ends an access token, and the
// refresh tokens it made.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>

#include "MCP/JsonParser.h"
#include "MCP/JsonWriter.h"
#include "MCP/URL.h"

extern char** environ;

namespace mcp::testing {

class OAuthPeerServer {
public:
    explicit OAuthPeerServer(const Value& config) {
        directory_ = std::filesystem::temp_directory_path() /
                     ("fw-oidc-" + std::to_string(::getpid()) + "-" + std::to_string(++count()));
        std::filesystem::create_directories(directory_);
        std::ofstream(directory_ / "config.json") << toJson(config);

        int toChild[2];
        int fromChild[2];
        if (::pipe2(toChild, O_CLOEXEC) != 0 || ::pipe2(fromChild, O_CLOEXEC) != 0) {
            throw std::runtime_error("no pipes");
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, toChild[0], 0);
        posix_spawn_file_actions_adddup2(&actions, fromChild[1], 1);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        const std::string script = (std::filesystem::path(FW_OAUTH_PEER_DIR) / "server.mjs").string();
        const std::string configPath = (directory_ / "config.json").string();
        char* argv[] = {const_cast<char*>("node"), const_cast<char*>(script.c_str()),
                        const_cast<char*>(configPath.c_str()), nullptr};
        const int status = ::posix_spawnp(&pid_, "node", &actions, nullptr, argv, environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(toChild[0]);
        ::close(fromChild[1]);
        input_ = toChild[1];
        output_ = fromChild[0];
        if (status != 0) {
            pid_ = -1;
            throw std::runtime_error("Could not start node.");
        }
        readAnnouncement();
    }

    ~OAuthPeerServer() {
        ::close(input_);  // the server ends when its standard input does
        if (pid_ > 0) {
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
            int status = 0;
            while (::waitpid(pid_, &status, WNOHANG) == 0) {
                if (std::chrono::steady_clock::now() > deadline) {
                    ::kill(pid_, SIGKILL);
                    ::waitpid(pid_, &status, 0);
                    break;
                }
                ::poll(nullptr, 0, 20);
            }
        }
        ::close(output_);
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
    static int& count() {
        static int made = 0;
        return made;
    }

    void readAnnouncement() {
        std::string buffer;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(90);
        while (std::chrono::steady_clock::now() < deadline) {
            pollfd fd{output_, POLLIN, 0};
            if (::poll(&fd, 1, 200) <= 0) {
                continue;
            }
            char chunk[4096];
            const ssize_t n = ::read(output_, chunk, sizeof chunk);
            if (n <= 0) {
                break;
            }
            buffer.append(chunk, static_cast<std::size_t>(n));
            for (std::size_t end; (end = buffer.find('\n')) != std::string::npos;) {
                const std::string line = buffer.substr(0, end);
                buffer.erase(0, end + 1);
                if (line.empty() || line[0] != '{') {
                    continue;  // the server's own notices
                }
                const Value announcement = parseJson(line);
                issuer = URL::parse(*announcement.find("issuer")->stringValue());
                tokenEndpoint = URL::parse(*announcement.find("token_endpoint")->stringValue());
                introspectionEndpoint =
                    URL::parse(*announcement.find("introspection_endpoint")->stringValue());
                revocationEndpoint = URL::parse(*announcement.find("revocation_endpoint")->stringValue());
                expiryEndpoint = URL::parse(*announcement.find("expiry_endpoint")->stringValue());
                for (const auto& [id, token] : *announcement.find("refresh_tokens")->objectValue()) {
                    refreshTokens[id] = *token.stringValue();
                }
                return;
            }
        }
        throw std::runtime_error("The authorization server did not start.");
    }

    std::filesystem::path directory_;
    pid_t pid_ = -1;
    int input_ = -1;
    int output_ = -1;
};

}  // namespace mcp::testing
