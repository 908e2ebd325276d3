// The plain PNG and JPEG decoders on arbitrary bytes, read from a memory file:
// - neither crashes nor reads outside its buffers (the sanitizers watch every row read);
// - every row of an image they accept either comes or fails with a reason;
// - a file they refuse, or fail on, still decodes or fails cleanly through the general image
//   decoder (an image of the size it reports, or an error with a description).
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz/FuzzCheck.h"
#include "platform/ImageDecoder.h"
#include "platform/OpenBeneath.h"
#include "platform/PlainJpegDecoder.h"
#include "platform/PlainPngDecoder.h"

namespace {

using fw::platform::OwnedFd;

// Larger images are left to the general decoder's limit, as the image decoder does.
constexpr std::uint64_t kMaxPixels = std::uint64_t{1} << 20;

// Touches every byte of a row, so that a row shorter than it claims is a read out of bounds.
unsigned sum(const std::uint8_t* row, std::size_t bytes) {
    unsigned total = 0;
    for (std::size_t i = 0; i < bytes; ++i) {
        total += row[i];
    }
    return total;
}

// True when every row came; false when one failed (with a reason).
template <class Decoder>
bool readRows(Decoder& decoder, std::size_t rowBytes) {
    fuzz::check(decoder.width() > 0 && decoder.height() > 0, "an accepted image has a size");
    volatile unsigned total = 0;
    for (int y = 0; y < decoder.height(); ++y) {
        std::string why;
        const std::uint8_t* row = decoder.row(y, &why);
        if (row == nullptr) {
            fuzz::check(!why.empty(), "a failed row says why");
            return false;
        }
        total = total + sum(row, rowBytes);
    }
    return true;
}

void decodeInGeneral(int fd) {
    fw::platform::DecodeOptions options;
    options.maxPixels = kMaxPixels;
    fw::platform::Error error;
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    const auto image = fw::platform::decodeImage(path, options, &error);
    if (image) {
        fuzz::check(image->width > 0 && image->height > 0 &&
                        image->pixels.size() == image->rowBytes * std::size_t(image->height),
                    "a decoded image holds its rows");
    } else {
        fuzz::check(!error.description.empty(), "a refused file says why");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    OwnedFd file(::memfd_create("fuzz-image", MFD_CLOEXEC));
    fuzz::check(file.valid(), "a memory file can be made");
    for (std::size_t written = 0; written < size;) {
        const ssize_t n = ::write(file.get(), data + written, size - written);
        fuzz::check(n > 0, "the memory file takes the bytes");
        written += static_cast<std::size_t>(n);
    }

    bool plainDecoded = false;
    if (auto png = fw::platform::PlainPngDecoder::open(file.get())) {
        if (std::uint64_t(png->width()) * std::uint64_t(png->height()) <= kMaxPixels) {
            fuzz::check(png->rowBytes() == std::size_t(png->width()) *
                                               std::size_t(png->channels()) *
                                               std::size_t(png->bytesPerSample()),
                        "a PNG row holds its samples");
            plainDecoded = readRows(*png, png->rowBytes());
        }
    }
    if (auto jpeg = fw::platform::PlainJpegDecoder::open(file.get(), kMaxPixels)) {
        fuzz::check(jpeg->rowBytes() == std::size_t(jpeg->width()) * std::size_t(jpeg->channels()),
                    "a JPEG row holds its samples");
        plainDecoded = readRows(*jpeg, jpeg->rowBytes()) || plainDecoded;
    }
    // A PNG or JPEG file the plain decoders refused or failed on goes to the general decoder,
    // as the image decoder sends it; other bytes are no concern of theirs.
    static constexpr std::uint8_t kPngSignature[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    const bool png =
        size >= sizeof kPngSignature && std::memcmp(data, kPngSignature, sizeof kPngSignature) == 0;
    const bool jpeg = size >= 3 && data[0] == 0xff && data[1] == 0xd8 && data[2] == 0xff;
    if (!plainDecoded && (png || jpeg)) {
        decodeInGeneral(file.get());
    }
    return 0;
}
