#include "platform/EncoderProbe.h"

#include <cstdio>
#include <string>

#include "platform/EncoderConfiguration.h"

namespace fw::platform {
namespace {

using detail::EncoderStage;

Error probeError(std::string text) {
    return Error(kFrameweaverErrorDomain, 1, std::move(text));
}

template <typename... Args>
std::string format(const char* pattern, Args... args) {
    char text[512];
    std::snprintf(text, sizeof text, pattern, args...);
    return text;
}

// Which stage the encoder refuses, found by trying them in order. `completeError` is the
// failure of the complete configuration, reported if no earlier stage is at fault.
Error diagnose(const MovieSettings& settings, int completeError) {
    const char* type = codecTypeString(settings.codec);
    for (const EncoderStage stage :
         {EncoderStage::kFormat, EncoderStage::kProfile, EncoderStage::kFrameRate}) {
        const detail::EncoderOpenResult result = detail::openEncoder(settings, stage, true);
        if (result.context) {
            continue;
        }
        if (!result.missingOption.empty()) {
            return probeError(
                format("The selected encoder does not support the required %s setting.",
                       result.missingOption.c_str()));
        }
        switch (stage) {
            case EncoderStage::kFormat:
                return probeError(format(
                    "No %s encoder accepts this frame size and pixel format (encoder error %d).",
                    type, result.errorCode));
            case EncoderStage::kProfile:
                return probeError(
                    format("The selected %s encoder does not support the required profile (encoder "
                           "error %d).",
                           type, result.errorCode));
            case EncoderStage::kFrameRate:
            case EncoderStage::kComplete:
                break;
        }
        return probeError(
            format("The selected encoder does not support %lu fps (encoder error %d).",
                   static_cast<unsigned long>(settings.frameRate), result.errorCode));
    }
    return probeError(format(
        "The selected encoder rejected the quality settings (encoder error %d).", completeError));
}

}  // namespace

std::optional<Error> probeEncoder(const MovieSettings& settings) {
    if (std::optional<std::string> problem =
            frameSizeProblem(settings.codec, settings.width, settings.height)) {
        return probeError(std::move(*problem));
    }
    // The usual case costs one encoder: the complete configuration, as the writer opens it.
    const detail::EncoderOpenResult complete =
        detail::openEncoder(settings, EncoderStage::kComplete, true);
    if (complete.context) {
        return std::nullopt;
    }
    if (!complete.missingOption.empty()) {
        return probeError(format("The selected encoder does not support the required %s setting.",
                                 complete.missingOption.c_str()));
    }
    return diagnose(settings, complete.errorCode);
}

}  // namespace fw::platform
