#include "MCP/OAuth/OAuthWWWAuthenticateParser.h"

#include <vector>

#include "MCP/OAuth/detail/UnicodeWhiteSpace.h"
#include "platform/http/Headers.h"

namespace mcp {

namespace {

using Text = std::u32string;

// Bytes that are no UTF-8 travel as U+DC80...U+DCFF and come back as the same bytes, so a value
// survives parsing unchanged whatever it holds.
constexpr char32_t kByteEscape = 0xDC00;

Text decode(std::string_view bytes) {
    Text out;
    out.reserve(bytes.size());
    std::size_t i = 0;
    while (i < bytes.size()) {
        const auto lead = static_cast<unsigned char>(bytes[i]);
        std::size_t length = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3
                                             : (lead >> 3) == 0x1E ? 4 : 0;
        char32_t point = length == 1 ? lead : length == 2 ? (lead & 0x1F)
                                          : length == 3   ? (lead & 0x0F)
                                                          : (lead & 0x07);
        bool valid = length != 0 && i + length <= bytes.size();
        for (std::size_t k = 1; valid && k < length; ++k) {
            const auto next = static_cast<unsigned char>(bytes[i + k]);
            valid = (next & 0xC0) == 0x80;
            point = (point << 6) | (next & 0x3F);
        }
        const char32_t minimum[] = {0, 0, 0x80, 0x800, 0x10000};
        valid = valid && point >= minimum[length] && point <= 0x10FFFF &&
                !(point >= 0xD800 && point <= 0xDFFF);
        if (!valid) {
            out.push_back(kByteEscape + lead);
            ++i;
            continue;
        }
        out.push_back(point);
        i += length;
    }
    return out;
}

std::string encode(const Text& text) {
    std::string out;
    out.reserve(text.size());
    for (char32_t c : text) {
        if (c >= kByteEscape + 0x80 && c <= kByteEscape + 0xFF) {
            out.push_back(static_cast<char>(c - kByteEscape));
        } else if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (c >> 12)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (c >> 18)));
            out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

Text trimmed(const Text& text) {
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && detail::isUnicodeWhiteSpace(text[begin])) {
        ++begin;
    }
    while (end > begin && detail::isUnicodeWhiteSpace(text[end - 1])) {
        --end;
    }
    return text.substr(begin, end - begin);
}

char32_t lower(char32_t c) { return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c; }

// Items at commas outside double quotes; a backslash keeps the next character from counting.
std::vector<Text> splitItems(const Text& value) {
    std::vector<Text> items;
    Text current;
    bool inQuotes = false;
    bool escaped = false;
    for (char32_t c : value) {
        if (escaped) {
            current.push_back(c);
            escaped = false;
        } else if (c == '\\') {
            current.push_back(c);
            escaped = true;
        } else if (c == '"') {
            current.push_back(c);
            inQuotes = !inQuotes;
        } else if (c == ',' && !inQuotes) {
            items.push_back(trimmed(current));
            current.clear();
        } else {
            current.push_back(c);
        }
    }
    if (!current.empty()) {
        items.push_back(trimmed(current));
    }
    std::erase_if(items, [](const Text& item) { return item.empty(); });
    return items;
}

bool isBearerItem(const Text& item) {
    const Text text = trimmed(item);
    static constexpr char32_t kScheme[] = U"bearer";
    if (text.size() < 6) {
        return false;
    }
    for (std::size_t i = 0; i < 6; ++i) {
        if (lower(text[i]) != kScheme[i]) {
            return false;
        }
    }
    return text.size() == 6 || detail::isUnicodeWhiteSpace(text[6]);
}

bool allIn(const Text& text, const Text& set) {
    for (char32_t c : text) {
        if (set.find(c) == Text::npos) {
            return false;
        }
    }
    return true;
}

bool containsWhiteSpace(const Text& text) {
    for (char32_t c : text) {
        if (detail::isUnicodeWhiteSpace(c)) {
            return true;
        }
    }
    return false;
}

bool startsNewChallenge(const Text& item, const Text& tokenCharacters) {
    if (isBearerItem(item)) {
        return true;
    }
    if (auto equals = item.find(U'='); equals != Text::npos) {
        const Text name = trimmed(item.substr(0, equals));
        if (!name.empty() && !containsWhiteSpace(name) && allIn(name, tokenCharacters)) {
            return false;  // a name-and-value parameter
        }
    }
    for (std::size_t i = 0; i < item.size(); ++i) {
        if (detail::isUnicodeWhiteSpace(item[i])) {
            const Text scheme = item.substr(0, i);
            return !scheme.empty() && allIn(scheme, tokenCharacters);
        }
    }
    return allIn(item, tokenCharacters);
}

// Removes the quotes of a quoted value and turns each \" into ".
Text unquoted(Text value) {
    if (value.size() < 2 || value.front() != '"' || value.back() != '"') {
        return value;
    }
    Text inner = value.substr(1, value.size() - 2);
    Text out;
    out.reserve(inner.size());
    for (std::size_t i = 0; i < inner.size(); ++i) {
        if (inner[i] == '\\' && i + 1 < inner.size() && inner[i + 1] == '"') {
            out.push_back('"');
            ++i;
        } else {
            out.push_back(inner[i]);
        }
    }
    return out;
}

}  // namespace

DefaultOAuthWWWAuthenticateParser::DefaultOAuthWWWAuthenticateParser(
    std::string_view tokenCharacters)
    : tokenCharacters_(decode(tokenCharacters)) {}

std::optional<OAuthBearerChallenge> DefaultOAuthWWWAuthenticateParser::parseBearerChallenge(
    const std::map<std::string, std::string>& headers) const {
    for (const auto& [name, value] : headers) {
        if (fw::http::Headers::sameName(name, "WWW-Authenticate")) {
            return parseBearerChallenge(value);
        }
    }
    return std::nullopt;
}

std::optional<OAuthBearerChallenge> DefaultOAuthWWWAuthenticateParser::parseBearerChallenge(
    std::string_view headerValue) const {
    const Text value = trimmed(decode(headerValue));
    if (value.empty()) {
        return std::nullopt;
    }
    const std::vector<Text> items = splitItems(value);
    std::size_t bearer = 0;
    while (bearer < items.size() && !isBearerItem(items[bearer])) {
        ++bearer;
    }
    if (bearer == items.size()) {
        return std::nullopt;
    }

    std::vector<Text> collected;
    if (Text rest = trimmed(trimmed(items[bearer]).substr(6)); !rest.empty()) {
        collected.push_back(std::move(rest));
    }
    for (std::size_t i = bearer + 1; i < items.size(); ++i) {
        Text item = trimmed(items[i]);
        if (item.empty()) {
            continue;
        }
        if (startsNewChallenge(item, tokenCharacters_)) {
            break;
        }
        collected.push_back(std::move(item));
    }

    Text joined;
    for (std::size_t i = 0; i < collected.size(); ++i) {
        if (i > 0) {
            joined.push_back(',');
        }
        joined += collected[i];
    }

    OAuthBearerChallenge challenge;
    for (const Text& item : splitItems(joined)) {
        const auto equals = item.find(U'=');
        if (equals == Text::npos || equals == 0 || equals + 1 == item.size()) {
            continue;
        }
        Text name = trimmed(item.substr(0, equals));
        for (char32_t& c : name) {
            c = lower(c);
        }
        const Text rawValue = trimmed(item.substr(equals + 1));
        challenge.parameters[encode(name)] = encode(unquoted(rawValue));
    }
    return challenge;
}

}  // namespace mcp
