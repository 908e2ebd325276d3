// Encoder probe: opens a throw-away encoder with exactly the settings an export will use, so
// that settings the encoder refuses fail before any file is written. Writes nothing, keeps
// nothing; safe to call from any thread.
#pragma once

#include <optional>

#include "platform/Error.h"
#include "platform/MovieWriter.h"

namespace fw::platform {

// Nothing when an encoder accepts `settings`; otherwise an error in `kFrameweaverErrorDomain`,
// code 1, whose text says which setting was refused ("%@" is `codecTypeString`):
//   - the sentence of `frameSizeProblem` for an odd H.264 or HEVC frame size;
//   - "No %@ encoder accepts this frame size and pixel format (encoder error %d).": no such
//     encoder, or it refuses the frame size or pixel format;
//   - "The selected %@ encoder does not support the required profile (encoder error %d).";
//   - "The selected encoder does not support %lu fps (encoder error %d).";
//   - "The selected encoder does not support the required %@ setting.": the encoder has no
//     option of that name;
//   - "The selected encoder rejected the quality settings (encoder error %d).".
// The number is the library's error code.
std::optional<Error> probeEncoder(const MovieSettings& settings);

}  // namespace fw::platform
