// The plain values in which every way into the export service speaks: the codec and
// quality choices, the movie settings, a request to export and the record of an export
// job. Limits on the values (dimensions, frame rate, bit rate) are the coordinator's to
// check, not these types'. The enumerations have raw strings; the JSON coding of settings and
// jobs (for local automation) is app/tools/ExportModelCoding.h.
//
// Plain values; copy them freely and use them from any thread.
#pragma once

#include <QUrl>
#include <QUuid>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace fw {

enum class ExportCodec { h264, hevc, prores422 };
enum class ExportQuality { standard, high, custom };
enum class ExportJobState { running, completed, failed, cancelled };

// Every case with its raw value, in declaration order: the one table behind rawValue() and the
// ...FromRawValue() functions below and the JSON coding.
inline constexpr std::array<std::pair<ExportCodec, std::string_view>, 3> kExportCodecRawValues{
    {{ExportCodec::h264, "h264"}, {ExportCodec::hevc, "hevc"}, {ExportCodec::prores422, "prores422"}}};
inline constexpr std::array<std::pair<ExportQuality, std::string_view>, 3> kExportQualityRawValues{
    {{ExportQuality::standard, "standard"},
     {ExportQuality::high, "high"},
     {ExportQuality::custom, "custom"}}};
inline constexpr std::array<std::pair<ExportJobState, std::string_view>, 4>
    kExportJobStateRawValues{{{ExportJobState::running, "running"},
                              {ExportJobState::completed, "completed"},
                              {ExportJobState::failed, "failed"},
                              {ExportJobState::cancelled, "cancelled"}}};

namespace detail {

template <class E, std::size_t N>
constexpr std::string_view rawValueIn(const std::array<std::pair<E, std::string_view>, N>& cases,
                                      E value) {
    for (const auto& [item, text] : cases) {
        if (item == value) {
            return text;
        }
    }
    return {};
}

template <class E, std::size_t N>
constexpr std::optional<E> caseIn(const std::array<std::pair<E, std::string_view>, N>& cases,
                                  std::string_view text) {
    for (const auto& [item, raw] : cases) {
        if (raw == text) {
            return item;
        }
    }
    return std::nullopt;
}

}  // namespace detail

// Every case in declaration order (the job state is deliberately not listed).
inline constexpr std::array<ExportCodec, 3> kAllExportCodecs{ExportCodec::h264, ExportCodec::hevc,
                                                             ExportCodec::prores422};
inline constexpr std::array<ExportQuality, 3> kAllExportQualities{
    ExportQuality::standard, ExportQuality::high, ExportQuality::custom};

// The raw value of a case: "h264", "hevc", "prores422"; "standard", "high", "custom";
// "running", "completed", "failed", "cancelled".
constexpr std::string_view rawValue(ExportCodec codec) {
    return detail::rawValueIn(kExportCodecRawValues, codec);
}
constexpr std::string_view rawValue(ExportQuality quality) {
    return detail::rawValueIn(kExportQualityRawValues, quality);
}
constexpr std::string_view rawValue(ExportJobState state) {
    return detail::rawValueIn(kExportJobStateRawValues, state);
}

// The case whose raw value equals `text` byte for byte (case-sensitive, no trimming).
constexpr std::optional<ExportCodec> exportCodecFromRawValue(std::string_view text) {
    return detail::caseIn(kExportCodecRawValues, text);
}
constexpr std::optional<ExportQuality> exportQualityFromRawValue(std::string_view text) {
    return detail::caseIn(kExportQualityRawValues, text);
}
constexpr std::optional<ExportJobState> exportJobStateFromRawValue(std::string_view text) {
    return detail::caseIn(kExportJobStateRawValues, text);
}

// False only while the job runs.
constexpr bool isFinished(ExportJobState state) {
    return state != ExportJobState::running;
}

// The sentence for a movie size or frame rate out of range, as the settings panel shows it and
// the coordinator refuses a request.
inline constexpr const char* kMovieLimitsProblem =
    "Movie dimensions must be at most 3840 × 2160 and frame rate 1–30 fps.";

struct ExportSettings {
    std::int64_t width = 0;      // movie width in pixels
    std::int64_t height = 0;     // movie height in pixels
    std::int64_t frameRate = 0;  // frames per second
    ExportCodec codec = ExportCodec::hevc;
    ExportQuality quality = ExportQuality::high;
    // Average bit rate in megabits per second; absent unless a custom bit rate was asked for.
    std::optional<double> customBitrateMbps;
};

// A file named inside an authorized folder: the folder's identifier and a relative path in it
// (the folder store's path rule applies).
struct FolderFileReference {
    QUuid folderID;
    std::string relativePath;
};

// Where the files of a request lie for the callers that name them inside authorized folders.
// Once the request is accepted the export reaches them only beneath those folders'
// descriptors, so a symbolic link swapped in afterwards cannot lead it outside a folder.
struct ExportFileSource {
    enum class Kind {
        // The main window: the paths the user chose, as they are.
        userPaths,
        // A scripted action: the images are files its caller handed over, read by their
        // paths; the movie and its temporary space stay beneath the output folder.
        scriptedAction,
        // Local automation: the images too are read beneath their folders.
        automation,
    };
    Kind kind = Kind::userPaths;
    // automation: one per input URL, in order, naming the same file.
    std::vector<FolderFileReference> inputs;
    // scriptedAction and automation: the output URL's file inside a writable folder.
    std::optional<FolderFileReference> output;

    static ExportFileSource scriptedAction(FolderFileReference output) {
        return {Kind::scriptedAction, {}, std::move(output)};
    }
    static ExportFileSource automation(std::vector<FolderFileReference> inputs,
                                       FolderFileReference output) {
        return {Kind::automation, std::move(inputs), std::move(output)};
    }
};

struct ExportRequest {
    std::vector<QUrl> inputURLs;  // one frame each, in movie order; repeats allowed
    QUrl outputURL;               // where the finished movie is placed
    ExportSettings settings;
    bool overwrite = false;  // an existing file at outputURL may be replaced
    // How the export reaches those files once accepted (the URLs name them for the leases,
    // the validation, the job and the texts shown).
    ExportFileSource fileSource;
};

struct ExportJob {
    QUuid id;  // new for every job
    ExportJobState state = ExportJobState::running;
    double progress = 0.0;             // fraction done, 0.0 to 1.0
    std::int64_t completedFrames = 0;  // frames written so far
    std::int64_t totalFrames = 0;      // the number of input images
    ExportSettings settings;
    QUrl outputURL;
    // The failure text of a failed or cancelled job; absent while running and after success.
    std::optional<std::string> error;
};

}  // namespace fw
