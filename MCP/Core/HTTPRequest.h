// HTTPRequest: the HTTP request that carried a JSON-RPC message to an HTTP server transport:
// method, headers, body and path. A request handler reads it from its handler context when its
// server runs over such a transport. A plain value; not coded to JSON.
#pragma once

#include <algorithm>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace mcp {

struct HTTPRequest {
    std::string method;
    std::map<std::string, std::string> headers;
    std::optional<std::string> body;
    std::optional<std::string> path;

    // The value of the header `name`, letter case ignored; the first match in the headers' order.
    std::optional<std::string> header(std::string_view name) const {
        auto sameName = [&](const std::string& key) {
            return std::equal(key.begin(), key.end(), name.begin(), name.end(), [](char a, char b) {
                return lower(a) == lower(b);
            });
        };
        for (const auto& [key, value] : headers) {
            if (sameName(key)) {
                return value;
            }
        }
        return std::nullopt;
    }

private:
    static char lower(char c) noexcept { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; }
};

}  // namespace mcp
