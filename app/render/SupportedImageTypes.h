// The content types of the files the frame renderer can draw: the picture formats the
// installed image decoders read (platform/ImageDecoder.h), in the order they are tried, then
// PDF, whose first page it draws; as the MIME database names them, without duplicates. The
// image table, the open panel and automation's sequence inspection all accept exactly these.
//
// Built once; safe to read from any thread after the first call.
#pragma once

#include <QMimeType>
#include <QStringList>

namespace fw {

const QStringList& supportedImageContentTypes();

// Whether `type` is one of them or inherits one (e.g. a subtype of TIFF).
bool isSupportedImageContentType(const QMimeType& type);

}  // namespace fw
