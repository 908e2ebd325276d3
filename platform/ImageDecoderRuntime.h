// ImageDecoderRuntime: start-up and error reporting of the image decoding library, for
// the platform layer's own decoding code (not for callers of ImageDecoder.h).
//
// Thread-safety: both functions may be called from any thread.
#pragma once

#include <string>

namespace fw::platform {

// Starts the decoding library once per process, with its operation cache off so that
// nothing decoded is kept between calls.
void ensureVipsRuntime();

// The decoding library's pending error messages as one line, clearing them.
std::string takeVipsErrorText();

}  // namespace fw::platform
