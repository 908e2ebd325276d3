// PlainJpegDecoder: a fast decoder for the most common JPEG files: grey or colour (Y'CbCr
// or RGB), stored upright (no EXIF orientation other than 1). Photographs from cameras and
// phones that were turned upright by an editor, and most exported pictures, are such
// files; every other JPEG goes to the general image decoder.
//
// Rows are decoded straight into one row buffer as they are asked for, with the JPEG
// library's default (accurate) inverse transform and smooth chroma upsampling, the same
// as the general decoder, so both give the same pixels. Any warning of the JPEG library
// (truncated or damaged data among them) stops the decoder: the general decoder then
// reads the file from the top and decides what the damage means.
//
// Internal to the image decoder (ImageDecoder.cpp).
//
// Thread-safety: a decoder is used by one thread at a time; decoders share nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace fw::platform {

class PlainJpegDecoder {
public:
    // Reads the whole JPEG file open at `fd` (without moving its offset) and its header.
    // Returns nothing when the file is not a JPEG this decoder handles, is larger than
    // `maxPixels` pixels, or its header is damaged.
    static std::unique_ptr<PlainJpegDecoder> open(int fd, std::uint64_t maxPixels);

    ~PlainJpegDecoder();
    PlainJpegDecoder(const PlainJpegDecoder&) = delete;
    PlainJpegDecoder& operator=(const PlainJpegDecoder&) = delete;

    int width() const;
    int height() const;
    int channels() const;  // 1 grey, 3 RGB; 8 bits per sample
    std::size_t rowBytes() const;
    // The embedded ICC profile, empty when none.
    const std::vector<std::uint8_t>& iccProfile() const;

    // Row `y`, valid until the next call. Rows are read in order, each once or skipped.
    // Returns nullptr when the data is damaged or truncated (the decoder then stays
    // failed); `why` says what went wrong.
    const std::uint8_t* row(int y, std::string* why);

private:
    struct State;
    explicit PlainJpegDecoder(std::unique_ptr<State> state);
    std::unique_ptr<State> state_;
};

}  // namespace fw::platform
