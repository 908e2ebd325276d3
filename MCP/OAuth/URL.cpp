#include "MCP/OAuth/URL.h"

#include <boost/url/parse.hpp>
#include <boost/url/url_view.hpp>

namespace mcp {

std::optional<URL> URL::parse(std::string_view text) {
    auto parsed = boost::urls::parse_uri_reference(text);
    if (!parsed || text.empty()) {
        return std::nullopt;
    }
    const boost::urls::url_view& view = *parsed;
    URL url;
    url.text_ = std::string(text);
    if (view.has_scheme()) {
        url.scheme_ = std::string(view.scheme());
    }
    if (view.has_authority()) {
        url.host_ = std::string(view.host_address());
    }
    if (view.has_port() && !view.port().empty()) {
        // The grammar allows any run of digits; one that does not fit a port is no URL.
        unsigned long number = 0;
        for (char digit : view.port()) {
            number = number * 10 + static_cast<unsigned long>(digit - '0');
            if (number > 65535) {
                return std::nullopt;
            }
        }
        url.port_ = static_cast<int>(number);
    }
    url.path_ = std::string(view.path());
    if (view.has_query()) {
        url.query_ = std::string(view.query());
    }
    if (view.has_fragment()) {
        url.fragment_ = std::string(view.fragment());
    }
    return url;
}

URL Coder<URL>::decode(const Value& value) {
    const std::string* text = value.stringValue();
    if (text == nullptr) {
        throwWrongKind(value, "a string");
    }
    if (auto url = URL::parse(*text)) {
        return std::move(*url);
    }
    throw DecodingError::dataCorrupted({}, "Invalid URL string.");
}

}  // namespace mcp
