#include "MCP/OAuth/FormEncoding.h"

namespace mcp {

namespace {

bool isUnreserved(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
           c == '-' || c == '.' || c == '_' || c == '~';
}

}  // namespace

std::string formEncodeComponent(std::string_view text) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (isUnreserved(byte)) {
            out.push_back(c);
        } else {
            out.push_back('%');
            out.push_back(kDigits[byte >> 4]);
            out.push_back(kDigits[byte & 0x0F]);
        }
    }
    return out;
}

std::string formURLEncoded(const std::map<std::string, std::string>& parameters) {
    // std::map keeps its names in ascending byte order, the order of the body.
    std::string body;
    for (const auto& [name, value] : parameters) {
        if (!body.empty()) {
            body.push_back('&');
        }
        body += formEncodeComponent(name);
        body.push_back('=');
        body += formEncodeComponent(value);
    }
    return body;
}

}  // namespace mcp
