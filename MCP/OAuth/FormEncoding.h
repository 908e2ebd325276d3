// The form encoding of OAuth requests: every byte outside the 66 unreserved characters of
// RFC 3986 written as "%" and two upper-case hexadecimal digits (a blank as %20, never "+").
//
// Stateless: safe from any thread.
#pragma once

#include <map>
#include <string>
#include <string_view>

namespace mcp {

std::string formEncodeComponent(std::string_view text);

// name=value pairs sorted by name and joined with "&"; nothing for no parameters.
std::string formURLEncoded(const std::map<std::string, std::string>& parameters);

}  // namespace mcp
