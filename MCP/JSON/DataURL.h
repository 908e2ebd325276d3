// Data URLs and the strict base64 they carry.
//
// A data URL is "data:" + media type + optional ";charset=" + optional ";base64" + "," + payload,
// matched against the whole text, case-sensitive; any other parameter makes the text no data URL.
// The payload is base64 only when ";base64" stands directly before the first ",". Base64 here is
// the standard alphabet with padding, nothing ignored (no white space, no line breaks) and no stray
// bits in the last group.
//
// Free functions without state: safe from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "MCP/JSON/Value.h"

namespace mcp {

// True when the whole text matches the data-URL pattern (the payload is not decoded).
bool isDataURL(std::string_view text) noexcept;

struct DataURLComponents {
    std::string mimeType;  // never empty: "text/plain" when the URL names none
    Bytes bytes;
};

// Media type and bytes of a data URL; absent when the text is no data URL or its payload does not
// decode (malformed base64; a bad percent escape or non-UTF-8 result for a plain payload). A
// charset is kept (";charset=" + name) only for "text/" media types.
std::optional<DataURLComponents> dataURLComponents(std::string_view text);

// "data:" + (mimeType or "text/plain") + ";base64," + base64 of the bytes.
std::string makeDataURL(std::span<const std::uint8_t> bytes,
                        std::optional<std::string_view> mimeType = std::nullopt);
void appendDataURL(std::string& out, std::span<const std::uint8_t> bytes,
                   std::optional<std::string_view> mimeType = std::nullopt);

// Standard base64 with padding, no line breaks.
std::string base64Encode(std::span<const std::uint8_t> bytes);
void appendBase64(std::string& out, std::span<const std::uint8_t> bytes);
// Strict decoding: length a multiple of four, standard alphabet, "=" only as final padding, unused
// bits of the last group zero. Absent otherwise.
std::optional<Bytes> base64Decode(std::string_view text);

// Removes percent-encoding: "%" and two hexadecimal digits become that byte. Absent on a malformed
// escape or when the result is not valid UTF-8.
std::optional<std::string> percentDecode(std::string_view text);

}  // namespace mcp
