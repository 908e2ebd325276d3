// Randomness for the OAuth client: a source of bytes, by default the system's cryptographically
// secure generator (OpenSSL's RAND_bytes). Callers that need byte-exact results in tests pass
// their own source.
//
// The default source is safe from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>

namespace mcp {

// Fills the span with random bytes; throws std::runtime_error when no randomness is to be had.
using RandomByteSource = std::function<void(std::span<std::uint8_t>)>;

void secureRandomBytes(std::span<std::uint8_t> bytes);

// A random (version 4) UUID in its canonical 36-character upper-case form.
std::string randomUUIDText(const RandomByteSource& random = secureRandomBytes);

// Base64url without padding (RFC 7515): standard Base64 with "-" for "+", "_" for "/", no "=".
std::string base64URLEncode(std::span<const std::uint8_t> bytes);

}  // namespace mcp
