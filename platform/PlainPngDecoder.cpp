#include "platform/PlainPngDecoder.h"

#include <libdeflate.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>

namespace fw::platform {

namespace {

constexpr std::uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
// Chunks ahead of the image data are few; a file with more is left to the general decoder.
constexpr int kMaxHeaderChunks = 256;
// PNG's own limit on a chunk's length.
constexpr std::uint32_t kMaxChunkLength = 0x7fffffffu;

std::uint32_t bigEndian32(const std::uint8_t* p) {
    return (std::uint32_t(p[0]) << 24) | (std::uint32_t(p[1]) << 16) | (std::uint32_t(p[2]) << 8) |
           std::uint32_t(p[3]);
}

bool readAt(int fd, std::uint64_t offset, void* buffer, std::size_t length) {
    auto* out = static_cast<std::uint8_t*>(buffer);
    while (length > 0) {
        const ssize_t got = ::pread(fd, out, length, static_cast<off_t>(offset));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        out += got;
        offset += std::uint64_t(got);
        length -= std::size_t(got);
    }
    return true;
}

// Chunks that change how the general decoder presents the pixels (palette, transparency
// key, colour profile, EXIF orientation, animation), and any critical chunk not known
// here, send the file to the general decoder. Text chunks may carry EXIF data too.
bool chunkAllowedBeforeData(std::string_view type, int fd, std::uint64_t dataOffset,
                            std::uint32_t length) {
    if (type == "PLTE" || type == "tRNS" || type == "iCCP" || type == "eXIf" || type == "acTL")
        return false;
    if ((type[0] & 0x20) == 0)  // critical chunk other than the image header
        return false;
    if (type == "tEXt" || type == "zTXt" || type == "iTXt") {
        char keyword[32] = {};
        const std::size_t wanted = std::min<std::size_t>(length, sizeof keyword - 1);
        if (!readAt(fd, dataOffset, keyword, wanted))
            return false;
        if (std::string_view(keyword).starts_with("Raw profile type"))
            return false;
    }
    return true;
}

std::uint8_t paeth(std::uint8_t a, std::uint8_t b, std::uint8_t c) {
    const int p = int(a) + int(b) - int(c);
    const int pa = std::abs(p - int(a));
    const int pb = std::abs(p - int(b));
    const int pc = std::abs(p - int(c));
    if (pa <= pb && pa <= pc)
        return a;
    return pb <= pc ? b : c;
}

// Buffers of a few tens of megabytes come straight from the kernel, which clears every
// page on first touch: taking fresh ones for every image cost about a third as much time
// as inflating. Each thread keeps the last buffers it used, up to a bound, for its next
// image; a worker thread of an export ends with the export and returns them.
constexpr std::size_t kMaxKeptBytes = std::size_t{128} << 20;

using Buffer = PngBuffer;

thread_local Buffer keptCompressed;
thread_local Buffer keptFiltered;

Buffer takeBuffer(Buffer& kept, std::size_t size) {
    Buffer buffer = std::move(kept);
    kept.size = 0;
    if (buffer.size < size) {
        // Compressed sizes differ from image to image: some room spares a new buffer
        // for a slightly larger one.
        const std::size_t rounded = size + size / 16;
        buffer.bytes.reset();  // the old one goes before the new one comes
        buffer.bytes = std::make_unique_for_overwrite<std::uint8_t[]>(rounded);
        buffer.size = rounded;
    }
    return buffer;
}

void keepBuffer(Buffer& kept, Buffer buffer) {
    if (buffer.size <= kMaxKeptBytes && buffer.size > kept.size)
        kept = std::move(buffer);
}

struct Inflater {
    libdeflate_decompressor* handle = libdeflate_alloc_decompressor();
    ~Inflater() {
        if (handle != nullptr)
            libdeflate_free_decompressor(handle);
    }
};

}  // namespace

PlainPngDecoder::~PlainPngDecoder() {
    keepBuffer(keptFiltered, std::move(filtered_));
}

std::unique_ptr<PlainPngDecoder> PlainPngDecoder::open(int fd) {
    std::uint8_t head[8 + 8 + 13 + 4];  // signature, IHDR chunk header, data and checksum
    if (!readAt(fd, 0, head, sizeof head) || std::memcmp(head, kSignature, 8) != 0 ||
        bigEndian32(head + 8) != 13 || std::memcmp(head + 12, "IHDR", 4) != 0)
        return nullptr;
    const std::uint8_t* ihdr = head + 16;
    const std::uint32_t width = bigEndian32(ihdr);
    const std::uint32_t height = bigEndian32(ihdr + 4);
    const int depth = ihdr[8];
    const int colourType = ihdr[9];
    const bool standard = ihdr[10] == 0 && ihdr[11] == 0 && ihdr[12] == 0;  // not interlaced
    int channels = 0;
    switch (colourType) {
        case 0:
            channels = 1;
            break;
        case 2:
            channels = 3;
            break;
        case 4:
            channels = 2;
            break;
        case 6:
            channels = 4;
            break;
        default:
            return nullptr;
    }
    if (!standard || (depth != 8 && depth != 16) || width == 0 || height == 0 ||
        width > 0x7fffffffu || height > 0x7fffffffu)
        return nullptr;

    auto decoder = std::unique_ptr<PlainPngDecoder>(new PlainPngDecoder());
    decoder->fd_ = fd;
    decoder->width_ = int(width);
    decoder->height_ = int(height);
    decoder->channels_ = channels;
    decoder->bytesPerSample_ = depth / 8;
    decoder->pixelBytes_ = std::size_t(channels) * std::size_t(depth / 8);
    decoder->rowBytes_ = std::size_t(width) * decoder->pixelBytes_;

    std::uint64_t offset = sizeof head;
    for (int chunk = 0; chunk < kMaxHeaderChunks; ++chunk) {
        std::uint8_t header[8];
        if (!readAt(fd, offset, header, sizeof header))
            return nullptr;
        const std::uint32_t length = bigEndian32(header);
        const std::string_view type(reinterpret_cast<const char*>(header + 4), 4);
        if (length > kMaxChunkLength)
            return nullptr;
        if (type == "IDAT") {
            decoder->dataOffset_ = offset;
            return decoder;
        }
        if (!chunkAllowedBeforeData(type, fd, offset + 8, length))
            return nullptr;
        offset += 12 + std::uint64_t(length);
    }
    return nullptr;
}

bool PlainPngDecoder::inflate(std::string* why) {
    struct stat status {};
    if (::fstat(fd_, &status) != 0 || std::uint64_t(status.st_size) <= dataOffset_) {
        *why = "the file could not be read";
        return false;
    }
    const std::size_t stride = rowBytes_ + 1;
    if (std::size_t(height_) > SIZE_MAX / 2 / stride) {
        *why = "the image is too large";
        return false;
    }
    const std::size_t expected = stride * std::size_t(height_);
    // The file from the first image data chunk on, compacted in place to the image data
    // alone. Compressed data is never much larger than the data it holds; a file whose
    // image data goes on beyond that bound (or whose later chunks are huge) is read no
    // further, and goes to the general decoder.
    const std::uint64_t bound = std::uint64_t(expected) + expected / 8 + (std::uint64_t{1} << 20);
    const std::uint64_t rest = std::uint64_t(status.st_size) - dataOffset_;
    const std::size_t available = std::size_t(std::min(rest, bound));
    Buffer compressedBuffer = takeBuffer(keptCompressed, available);
    struct KeepOnExit {
        Buffer& buffer;
        ~KeepOnExit() { keepBuffer(keptCompressed, std::move(buffer)); }
    } keepOnExit{compressedBuffer};
    std::uint8_t* const data = compressedBuffer.bytes.get();
    if (!readAt(fd_, dataOffset_, data, available)) {
        *why = "the file could not be read";
        return false;
    }
    std::size_t compressed = 0;
    std::size_t at = 0;
    bool ended = false;
    while (at + 8 <= available) {
        const std::uint32_t length = bigEndian32(data + at);
        if (std::memcmp(data + at + 4, "IDAT", 4) != 0) {
            ended = true;
            break;
        }
        if (length > available - at - 8)
            break;  // the file, or what is read of it, ends inside the chunk
        std::memmove(data + compressed, data + at + 8, length);
        compressed += length;
        at += 12 + std::size_t(length);
    }
    if (!ended) {
        *why = available < rest ? "the image data is unusually large" : "the file is truncated";
        return false;
    }

    filtered_ = takeBuffer(keptFiltered, expected);
    Inflater inflater;
    if (inflater.handle == nullptr)
        throw std::bad_alloc();
    std::size_t produced = 0;
    const libdeflate_result result = libdeflate_zlib_decompress(
        inflater.handle, data, compressed, filtered_.bytes.get(), expected, &produced);
    if (result != LIBDEFLATE_SUCCESS || produced != expected) {
        *why = "the compressed image data is damaged";
        return false;
    }
    if (bytesPerSample_ == 2)
        swapped_ = std::make_unique_for_overwrite<std::uint8_t[]>(rowBytes_);
    return true;
}

// Undoes the filter of row y in place; row y - 1 is already unfiltered.
bool PlainPngDecoder::unfilter(int y) {
    const std::size_t stride = rowBytes_ + 1;
    std::uint8_t* line = filtered_.bytes.get() + std::size_t(y) * stride;
    const std::uint8_t filter = line[0];
    std::uint8_t* __restrict cur = line + 1;
    const std::uint8_t* __restrict up = y > 0 ? cur - stride : nullptr;
    const std::size_t n = rowBytes_;
    const std::size_t bpp = pixelBytes_;
    switch (filter) {
        case 0:
            break;
        case 1:
            for (std::size_t i = bpp; i < n; ++i)
                cur[i] = std::uint8_t(cur[i] + cur[i - bpp]);
            break;
        case 2:
            if (up != nullptr)
                for (std::size_t i = 0; i < n; ++i)
                    cur[i] = std::uint8_t(cur[i] + up[i]);
            break;
        case 3:
            if (up != nullptr) {
                for (std::size_t i = 0; i < bpp; ++i)
                    cur[i] = std::uint8_t(cur[i] + (up[i] >> 1));
                for (std::size_t i = bpp; i < n; ++i)
                    cur[i] = std::uint8_t(cur[i] + ((unsigned(cur[i - bpp]) + up[i]) >> 1));
            } else {
                for (std::size_t i = bpp; i < n; ++i)
                    cur[i] = std::uint8_t(cur[i] + (cur[i - bpp] >> 1));
            }
            break;
        case 4:
            if (up != nullptr) {
                for (std::size_t i = 0; i < bpp; ++i)
                    cur[i] = std::uint8_t(cur[i] + up[i]);
                for (std::size_t i = bpp; i < n; ++i)
                    cur[i] = std::uint8_t(cur[i] + paeth(cur[i - bpp], up[i], up[i - bpp]));
            } else {
                // Without a row above, Paeth picks the left neighbour.
                for (std::size_t i = bpp; i < n; ++i)
                    cur[i] = std::uint8_t(cur[i] + cur[i - bpp]);
            }
            break;
        default:
            return false;
    }
    return true;
}

const std::uint8_t* PlainPngDecoder::row(int y, std::string* why) {
    if (failed_ || y < 0 || y >= height_) {
        *why = "the image data is damaged";
        return nullptr;
    }
    if (!inflated_) {
        inflated_ = true;
        if (!inflate(why)) {
            failed_ = true;
            return nullptr;
        }
    }
    while (unfilteredRows_ <= y) {
        if (!unfilter(unfilteredRows_)) {
            failed_ = true;
            *why = "the image data has an unknown row filter";
            return nullptr;
        }
        ++unfilteredRows_;
    }
    const std::uint8_t* line = filtered_.bytes.get() + std::size_t(y) * (rowBytes_ + 1) + 1;
    if (bytesPerSample_ == 1)
        return line;
    if constexpr (std::endian::native == std::endian::big)
        return line;
    // Samples are stored most significant byte first.
    std::uint8_t* out = swapped_.get();
    for (std::size_t i = 0; i < rowBytes_; i += 2) {
        out[i] = line[i + 1];
        out[i + 1] = line[i];
    }
    return out;
}

}  // namespace fw::platform
