// PlainPngDecoder: a fast decoder for the plainest and most common PNG files: 8 or
// 16 bits of grey, grey and alpha, RGB or RGBA, not interlaced, without a palette,
// transparency key, colour profile or EXIF data. Such files are what screenshots,
// renders and converted video frames usually are; every other PNG goes to the general
// image decoder.
//
// The compressed data is inflated in one piece with a whole-buffer inflater, which is
// about twice as fast as a streaming one, and rows are unfiltered one at a time as they
// are asked for. The image data stream's own checksum is verified; chunk checksums are
// not (the image data checksum covers the pixels).
//
// Internal to the image decoder (ImageDecoder.cpp).
//
// Thread-safety: a decoder is used by one thread at a time; decoders share nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace fw::platform {

// A block of bytes of known size, reused from image to image.
struct PngBuffer {
    std::unique_ptr<std::uint8_t[]> bytes;
    std::size_t size = 0;
};

class PlainPngDecoder {
public:
    // Reads the header of the PNG file open at `fd`. Returns nothing when the file is
    // not a PNG this decoder handles, or its header is damaged: the general decoder then
    // takes the file and reports any fault. Leaves the file offset alone.
    static std::unique_ptr<PlainPngDecoder> open(int fd);

    ~PlainPngDecoder();
    PlainPngDecoder(const PlainPngDecoder&) = delete;
    PlainPngDecoder& operator=(const PlainPngDecoder&) = delete;

    int width() const { return width_; }
    int height() const { return height_; }
    int channels() const { return channels_; }
    int bytesPerSample() const { return bytesPerSample_; }
    bool hasAlpha() const { return channels_ == 2 || channels_ == 4; }
    std::size_t rowBytes() const { return rowBytes_; }

    // Row `y`, samples interleaved, 16-bit samples in native byte order; valid until the
    // next call. Rows are read in order. The first call inflates the whole image.
    // Returns nullptr when the data is truncated or damaged (the decoder then stays
    // failed); `why` says what went wrong.
    const std::uint8_t* row(int y, std::string* why);

private:
    PlainPngDecoder() = default;
    bool inflate(std::string* why);
    bool unfilter(int y);

    int fd_ = -1;
    std::uint64_t dataOffset_ = 0;  // file offset of the first image data chunk
    int width_ = 0;
    int height_ = 0;
    int channels_ = 0;
    int bytesPerSample_ = 0;
    std::size_t rowBytes_ = 0;
    std::size_t pixelBytes_ = 0;

    // The filtered rows, each after its filter-type byte, inflated in one piece.
    PngBuffer filtered_;
    std::unique_ptr<std::uint8_t[]> swapped_;  // one row in native order (16-bit samples)
    int unfilteredRows_ = 0;                   // rows unfiltered in place so far
    bool inflated_ = false;
    bool failed_ = false;
};

}  // namespace fw::platform
