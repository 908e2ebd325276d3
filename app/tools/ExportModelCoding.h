// The JSON coding of the export model (app/export/ExportModel.h) in the project's JSON value, for
// local automation: settings and jobs code to and from objects (`mcp::encodeValue` /
// `mcp::decodeValue`, which throws `mcp::DecodingError`); the enumerations code as their raw
// strings, identifiers as their 36-character text and URLs as their absolute text.
//
// Stateless coders: use them from any thread.
#pragma once

#include <QUrl>
#include <QUuid>
#include <cstddef>

#include "MCP/JSON/Coding.h"
#include "app/export/ExportModel.h"

namespace fw {

constexpr auto rawValues(ExportCodec) {
    return mcp::RawValues<ExportCodec, 3>{"ExportCodec", kExportCodecRawValues};
}
constexpr auto rawValues(ExportQuality) {
    return mcp::RawValues<ExportQuality, 3>{"ExportQuality", kExportQualityRawValues};
}
constexpr auto rawValues(ExportJobState) {
    return mcp::RawValues<ExportJobState, 4>{"ExportJobState", kExportJobStateRawValues};
}

// Hashes an enumeration case by feeding its raw value to the project's hasher.
struct ExportRawValueHash {
    template <mcp::RawValueEnum Enum>
    std::size_t operator()(Enum value) const {
        return mcp::codingHash(value);
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

// Settings and jobs code as records (MCP/JSON/Record.h): an object with their members in
// writing order, decoded in that order up to the first failure (keys not named are ignored),
// compared and hashed member by member.
//
// Settings: "width", "height", "frameRate", "codec", "quality", and "customBitrateMbps" only
// when present.
template <>
struct mcp::Coder<fw::ExportSettings> {
    static Value encode(const fw::ExportSettings& settings);
    static fw::ExportSettings decode(const Value& value);
    static bool equals(const fw::ExportSettings& a, const fw::ExportSettings& b);
    static void hash(Hasher& hasher, const fw::ExportSettings& settings);
};

// Jobs: "id", "state", "progress", "completedFrames", "totalFrames", "settings", "outputURL",
// and "error" only when present.
template <>
struct mcp::Coder<fw::ExportJob> {
    static Value encode(const fw::ExportJob& job);
    static fw::ExportJob decode(const Value& value);
    static bool equals(const fw::ExportJob& a, const fw::ExportJob& b);
    static void hash(Hasher& hasher, const fw::ExportJob& job);
};
