// How the scripted actions present the export model's two choices, the movie codec and the
// quality mode: the name of each type and the title of each case, in declaration order.
//
// Constant tables; use them from any thread.
#pragma once

#include <string_view>

#include "app/export/ExportModel.h"

namespace fw::actions {

inline constexpr std::string_view kCodecTypeName = "Movie Codec";
inline constexpr std::string_view kQualityTypeName = "Movie Quality";

// "H.264", "HEVC", "ProRes 422".
constexpr std::string_view caseTitle(ExportCodec codec) {
    switch (codec) {
        case ExportCodec::h264:
            return "H.264";
        case ExportCodec::hevc:
            return "HEVC";
        case ExportCodec::prores422:
            return "ProRes 422";
    }
    return {};
}

// "Standard", "High", "Custom Bit Rate".
constexpr std::string_view caseTitle(ExportQuality quality) {
    switch (quality) {
        case ExportQuality::standard:
            return "Standard";
        case ExportQuality::high:
            return "High";
        case ExportQuality::custom:
            return "Custom Bit Rate";
    }
    return {};
}

}  // namespace fw::actions
