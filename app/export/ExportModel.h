// The plain values in which every way into the export service speaks: the codec and
// quality choices, the movie settings, a request to export and the record of an export
// job. Limits on the values (dimensions, frame rate, bit rate) are the coordinator's to
// check, not these types'. Settings and jobs code to and from the project's JSON value
// (`mcp::encodeValue` / `mcp::decodeValue`, which throws `mcp::DecodingError`); the
// enumerations code as their raw strings.
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
#include <tuple>
#include <vector>

#include "MCP/JSON/Record.h"

namespace fw {

enum class ExportCodec { h264, hevc, prores422 };
enum class ExportQuality { standard, high, custom };
enum class ExportJobState { running, completed, failed, cancelled };

constexpr auto rawValues(ExportCodec) {
    return mcp::RawValues<ExportCodec, 3>{"ExportCodec",
                                          {{{ExportCodec::h264, "h264"},
                                            {ExportCodec::hevc, "hevc"},
                                            {ExportCodec::prores422, "prores422"}}}};
}
constexpr auto rawValues(ExportQuality) {
    return mcp::RawValues<ExportQuality, 3>{"ExportQuality",
                                            {{{ExportQuality::standard, "standard"},
                                              {ExportQuality::high, "high"},
                                              {ExportQuality::custom, "custom"}}}};
}
constexpr auto rawValues(ExportJobState) {
    return mcp::RawValues<ExportJobState, 4>{"ExportJobState",
                                             {{{ExportJobState::running, "running"},
                                               {ExportJobState::completed, "completed"},
                                               {ExportJobState::failed, "failed"},
                                               {ExportJobState::cancelled, "cancelled"}}}};
}

// Every case in declaration order (the job state is deliberately not listed).
inline constexpr std::array<ExportCodec, 3> kAllExportCodecs{ExportCodec::h264, ExportCodec::hevc,
                                                             ExportCodec::prores422};
inline constexpr std::array<ExportQuality, 3> kAllExportQualities{
    ExportQuality::standard, ExportQuality::high, ExportQuality::custom};

// The raw value of a case: "h264", "hevc", "prores422"; "standard", "high", "custom";
// "running", "completed", "failed", "cancelled".
constexpr std::string_view rawValue(ExportCodec codec) {
    return mcp::rawValue(codec);
}
constexpr std::string_view rawValue(ExportQuality quality) {
    return mcp::rawValue(quality);
}
constexpr std::string_view rawValue(ExportJobState state) {
    return mcp::rawValue(state);
}

// The case whose raw value equals `text` byte for byte (case-sensitive, no trimming).
constexpr std::optional<ExportCodec> exportCodecFromRawValue(std::string_view text) {
    return mcp::fromRawValue<ExportCodec>(text);
}
constexpr std::optional<ExportQuality> exportQualityFromRawValue(std::string_view text) {
    return mcp::fromRawValue<ExportQuality>(text);
}
constexpr std::optional<ExportJobState> exportJobStateFromRawValue(std::string_view text) {
    return mcp::fromRawValue<ExportJobState>(text);
}

// False only while the job runs.
constexpr bool isFinished(ExportJobState state) {
    return state != ExportJobState::running;
}

// Hashes an enumeration case by feeding its raw value to the project's hasher.
struct ExportRawValueHash {
    template <mcp::RawValueEnum Enum>
    std::size_t operator()(Enum value) const {
        return mcp::codingHash(value);
    }
};

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

    // Keys in writing order; "customBitrateMbps" only when present.
    static constexpr auto codingFields() {
        return std::tuple{
            mcp::field("width", &ExportSettings::width),
            mcp::field("height", &ExportSettings::height),
            mcp::field("frameRate", &ExportSettings::frameRate),
            mcp::field("codec", &ExportSettings::codec),
            mcp::field("quality", &ExportSettings::quality),
            mcp::optionalField("customBitrateMbps", &ExportSettings::customBitrateMbps)};
    }
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

    // Keys in writing order; "error" only when present. The identifier codes as its
    // 36-character text, the URL as its absolute string.
    static constexpr auto codingFields() {
        return std::tuple{mcp::field("id", &ExportJob::id),
                          mcp::field("state", &ExportJob::state),
                          mcp::field("progress", &ExportJob::progress),
                          mcp::field("completedFrames", &ExportJob::completedFrames),
                          mcp::field("totalFrames", &ExportJob::totalFrames),
                          mcp::field("settings", &ExportJob::settings),
                          mcp::field("outputURL", &ExportJob::outputURL),
                          mcp::optionalField("error", &ExportJob::error)};
    }
};

}  // namespace fw

// Identifiers and URLs inside coded records.
template <>
struct mcp::Coder<QUuid> {
    // Upper-case hexadecimal in the 8-4-4-4-12 form.
    static Value encode(const QUuid& id);
    // Either case; anything else fails with dataCorrupted.
    static QUuid decode(const Value& value);
    static bool equals(const QUuid& a, const QUuid& b) { return a == b; }
    static void hash(Hasher& hasher, const QUuid& id);
};

template <>
struct mcp::Coder<QUrl> {
    // The URL's absolute, percent-encoded text, e.g. "file:///Movies/My%20Movie.mp4".
    static Value encode(const QUrl& url);
    // A text that is not a valid URL fails with dataCorrupted.
    static QUrl decode(const Value& value);
    static bool equals(const QUrl& a, const QUrl& b) { return a == b; }
    static void hash(Hasher& hasher, const QUrl& url);
};
