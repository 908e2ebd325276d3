#include "MCP/OAuth/OAuthDiscoveryRules.h"

#include <boost/url/parse.hpp>
#include <boost/url/url.hpp>

#include "MCP/OAuth/OAuthError.h"
#include "MCP/OAuth/OAuthURLValidator.h"
#include "MCP/OAuth/detail/ASCIIText.h"

namespace mcp {

namespace {

constexpr std::string_view kProtectedResourcePath = "/.well-known/oauth-protected-resource";
constexpr std::string_view kAuthorizationServerPath = "/.well-known/oauth-authorization-server";
constexpr std::string_view kOpenIDConfigurationPath = "/.well-known/openid-configuration";


// The URL as an editable URL, when it has a scheme and a host and is https, or http to a
// loopback host.
std::optional<boost::urls::url> acceptable(const URL& url) {
    if (!url.scheme() || !url.host() || url.host()->empty()) {
        return std::nullopt;
    }
    const std::string scheme = asciiLowercased(*url.scheme());
    if (scheme != "https" && !(scheme == "http" && OAuthURLValidator::isLoopbackHost(*url.host()))) {
        return std::nullopt;
    }
    auto parsed = boost::urls::parse_uri_reference(url.absoluteString());
    if (!parsed) {
        return std::nullopt;
    }
    return boost::urls::url(*parsed);
}

// `base` with `path` and without query and fragment, when that is a URL.
std::optional<URL> withPath(boost::urls::url base, std::string_view path) {
    base.remove_query();
    base.remove_fragment();
    try {
        base.set_encoded_path(path);
    } catch (const std::exception&) {
        return std::nullopt;
    }
    return URL::parse(base.buffer());
}

void appendIfURL(std::vector<URL>& list, std::optional<URL> url) {
    if (url) {
        list.push_back(std::move(*url));
    }
}

// Scheme and host in lower case.
void lowerSchemeAndHost(boost::urls::url& url) {
    url.set_scheme(asciiLowercased(url.scheme()));
    url.set_encoded_host(asciiLowercased(url.encoded_host()));
}

std::optional<int> effectivePort(const URL& url, const std::optional<std::string>& scheme) {
    if (url.port()) {
        return url.port();
    }
    if (scheme == "http") {
        return 80;
    }
    if (scheme == "https") {
        return 443;
    }
    return std::nullopt;
}

// The encoded path for matching: "/" counts as empty, one trailing "/" goes.
std::string comparablePath(const URL& url) {
    auto parsed = boost::urls::parse_uri_reference(url.absoluteString());
    std::string path = parsed ? std::string(parsed->encoded_path()) : url.path();
    if (path == "/") {
        return {};
    }
    if (path.size() >= 2 && path.back() == '/') {
        path.pop_back();
    }
    return path;
}

std::optional<std::string> lowercasedOptional(const std::optional<std::string>& text) {
    return text ? std::optional(asciiLowercased(*text)) : std::nullopt;
}

}  // namespace

std::vector<URL> DefaultOAuthMetadataDiscovery::protectedResourceMetadataURLs(
    const URL& resource) const {
    std::vector<URL> candidates;
    auto base = acceptable(resource);
    if (!base) {
        return candidates;
    }
    std::string path(base->encoded_path());
    if (path == "/") {
        path.clear();
    }
    if (!path.empty()) {
        appendIfURL(candidates, withPath(*base, std::string(kProtectedResourcePath) + path));
    }
    appendIfURL(candidates, withPath(*base, kProtectedResourcePath));
    return candidates;
}

std::vector<URL> DefaultOAuthMetadataDiscovery::authorizationServerMetadataURLs(
    const URL& issuer) const {
    std::vector<URL> candidates;
    auto base = acceptable(issuer);
    if (!base) {
        return candidates;
    }
    std::string_view trimmed = base->encoded_path();
    while (!trimmed.empty() && trimmed.front() == '/') {
        trimmed.remove_prefix(1);
    }
    while (!trimmed.empty() && trimmed.back() == '/') {
        trimmed.remove_suffix(1);
    }
    const std::string path(trimmed);
    if (path.empty()) {
        appendIfURL(candidates, withPath(*base, kAuthorizationServerPath));
        appendIfURL(candidates, withPath(*base, kOpenIDConfigurationPath));
        return candidates;
    }
    appendIfURL(candidates, withPath(*base, std::string(kAuthorizationServerPath) + "/" + path));
    appendIfURL(candidates, withPath(*base, std::string(kOpenIDConfigurationPath) + "/" + path));
    appendIfURL(candidates, withPath(*base, "/" + path + std::string(kOpenIDConfigurationPath)));
    return candidates;
}

URL DefaultOAuthMetadataDiscovery::normalizedResourceURI(const URL& url) const {
    auto editable = acceptable(url);
    if (!editable) {
        throw OAuthAuthorizationError::invalidResourceURI(
            "Resource URI must use https or loopback http");
    }
    if (url.fragment()) {
        throw OAuthAuthorizationError::invalidResourceURI("Resource URI must not contain a fragment");
    }
    std::optional<URL> normalized;
    try {
        lowerSchemeAndHost(*editable);
        editable->remove_query();
        if (editable->encoded_path() == "/") {
            editable->set_encoded_path("");
        }
        normalized = URL::parse(editable->buffer());
    } catch (const std::exception&) {
    }
    if (!normalized) {
        throw OAuthAuthorizationError::invalidResourceURI("Failed to normalize resource URI");
    }
    return std::move(*normalized);
}

URL DefaultOAuthMetadataDiscovery::issuerURI(const URL& url) const {
    auto editable = acceptable(url);
    if (!editable) {
        throw OAuthAuthorizationError::invalidResourceURI(
            "Resource URI must use https or loopback http");
    }
    std::optional<URL> issuer;
    try {
        lowerSchemeAndHost(*editable);
        editable->remove_query();
        editable->remove_fragment();
        editable->set_encoded_path("");
        issuer = URL::parse(editable->buffer());
    } catch (const std::exception&) {
    }
    if (!issuer) {
        throw OAuthAuthorizationError::invalidResourceURI("Failed to derive issuer URI");
    }
    return std::move(*issuer);
}

bool DefaultOAuthMetadataDiscovery::resourceMatches(const URL& resource,
                                                    const URL& candidate) const {
    const auto scheme = lowercasedOptional(resource.scheme());
    if (scheme != lowercasedOptional(candidate.scheme())) {
        return false;
    }
    if (lowercasedOptional(resource.host()) != lowercasedOptional(candidate.host())) {
        return false;
    }
    if (effectivePort(resource, scheme) != effectivePort(candidate, scheme)) {
        return false;
    }
    const std::string resourcePath = comparablePath(resource);
    const std::string candidatePath = comparablePath(candidate);
    if (resourcePath.empty() || resourcePath == candidatePath) {
        return true;
    }
    return candidatePath.size() > resourcePath.size() &&
           candidatePath.starts_with(resourcePath) && candidatePath[resourcePath.size()] == '/';
}

}  // namespace mcp
