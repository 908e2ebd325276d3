// URL: a URL reference kept as the text it was given, parsed once by a strict RFC 3986 parser
// (Boost.URL). Text that is not a URL reference (a blank, a stray "%", a bad port) gives no URL.
// The components are those of the text itself, never resolved against a base: the scheme and
// the host as written (an IPv6 literal without its brackets), the port, path, query and
// fragment. An empty fragment (text ending in "#") is a present, empty fragment.
//
// As a member of a JSON document a URL is a string; a string that does not parse fails the
// document with dataCorrupted. Equality and hashing are by text.
//
// A plain value: safe from any thread.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "MCP/JSON/Coding.h"

namespace mcp {

class URL {
public:
    static std::optional<URL> parse(std::string_view text);

    // The text as given.
    const std::string& absoluteString() const noexcept { return text_; }

    const std::optional<std::string>& scheme() const noexcept { return scheme_; }
    // The host when the URL has an authority (possibly empty: "https:///x").
    const std::optional<std::string>& host() const noexcept { return host_; }
    std::optional<int> port() const noexcept { return port_; }
    const std::string& path() const noexcept { return path_; }
    const std::optional<std::string>& query() const noexcept { return query_; }
    const std::optional<std::string>& fragment() const noexcept { return fragment_; }

    friend bool operator==(const URL& a, const URL& b) { return a.text_ == b.text_; }

private:
    URL() = default;

    std::string text_;
    std::optional<std::string> scheme_;
    std::optional<std::string> host_;
    std::optional<int> port_;
    std::string path_;
    std::optional<std::string> query_;
    std::optional<std::string> fragment_;
};

template <>
struct Coder<URL> {
    static Value encode(const URL& url) { return Value(url.absoluteString()); }
    static URL decode(const Value& value);
    static bool equals(const URL& a, const URL& b) { return a == b; }
    static void hash(Hasher& hasher, const URL& url) { hasher.combineText(url.absoluteString()); }
};

}  // namespace mcp

template <>
struct std::hash<mcp::URL> {
    std::size_t operator()(const mcp::URL& url) const noexcept {
        return std::hash<std::string>{}(url.absoluteString());
    }
};
