// Decoding bytes as UTF-8 text, each ill-formed sequence replaced by U+FFFD: a maximal
// subpart of a well-formed sequence that breaks off gives one U+FFFD, and the byte that broke
// it starts anew. Plain functions; thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace eventsource {

// Appends the text of `bytes` to `out`.
void appendUtf8Replacing(std::string& out, const std::uint8_t* bytes, std::size_t count);

}  // namespace eventsource
