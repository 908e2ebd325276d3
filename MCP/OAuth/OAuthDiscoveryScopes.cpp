#include "MCP/OAuth/OAuthDiscoveryScopes.h"

#include "MCP/OAuth/detail/UnicodeWhiteSpace.h"

namespace mcp {

namespace {

using detail::whiteSpaceLengthAt;

// Line breaks of the White_Space property: LF, VT, FF, CR, NEL, LS, PS.
bool isLineBreak(std::string_view character) {
    return character == "\n" || character == "\v" || character == "\f" || character == "\r" ||
           character == "\xC2\x85" || character == "\xE2\x80\xA8" || character == "\xE2\x80\xA9";
}

// Whether `entry` holds a character other than white space, line breaks counting as such.
bool hasContentBesidesBlanks(std::string_view entry) {
    for (std::size_t at = 0; at < entry.size();) {
        const std::size_t length = whiteSpaceLengthAt(entry, at);
        if (length == 0 || isLineBreak(entry.substr(at, length))) {
            return true;
        }
        at += length;
    }
    return false;
}

}  // namespace

std::optional<std::set<std::string>> DefaultOAuthScopeSelector::selectScopes(
    const std::optional<std::string>& challengeScope,
    const std::optional<std::vector<std::string>>& scopesSupported) const {
    std::set<std::string> selected;
    if (challengeScope) {
        selected = scopes(*challengeScope);
    } else if (scopesSupported) {
        for (const auto& entry : *scopesSupported) {
            if (hasContentBesidesBlanks(entry)) {
                selected.insert(entry);
            }
        }
    }
    if (selected.empty()) {
        return std::nullopt;
    }
    return selected;
}

std::set<std::string> DefaultOAuthScopeSelector::scopes(std::string_view scopeString) const {
    std::set<std::string> names;
    std::size_t start = 0;
    for (std::size_t at = 0; at <= scopeString.size();) {
        const std::size_t length =
            at < scopeString.size() ? whiteSpaceLengthAt(scopeString, at) : 1;
        if (length == 0) {
            ++at;
            continue;
        }
        if (at > start) {
            names.emplace(scopeString.substr(start, at - start));
        }
        at += length;
        start = at;
    }
    return names;
}

std::optional<std::string> DefaultOAuthScopeSelector::scopeParameter(
    const std::set<std::string>& scopes) const {
    if (scopes.empty()) {
        return std::nullopt;
    }
    std::string parameter;
    for (const auto& name : scopes) {  // a std::set is in ascending order already
        if (!parameter.empty()) {
            parameter += ' ';
        }
        parameter += name;
    }
    return parameter;
}

}  // namespace mcp
