// FileNameText: a file name as a tool result may carry it. A result is JSON text, which must be
// valid UTF-8, while a file name on Linux is any bytes but "/" and NUL. A name that is not valid
// UTF-8 cannot be given back as it is (nor referred to by a later call), so it is shown with
// each byte that breaks the encoding written as "\xNN" (upper-case hexadecimal).
//
//   if (!isValidUTF8(name)) { shown = escapedFileName(name); }   // "frame\xFF.png"
//
// Plain functions; any thread.
#pragma once

#include <string>
#include <string_view>

namespace fw {

// True when `text` is well-formed UTF-8: no overlong forms, no surrogates, nothing above
// U+10FFFF, no sequence cut short.
bool isValidUTF8(std::string_view text);

// `name` with every byte that is not part of a well-formed UTF-8 sequence written as "\xNN";
// the valid sequences stay as they are.
std::string escapedFileName(std::string_view name);

}  // namespace fw
