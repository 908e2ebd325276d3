#include "platform/PlainJpegDecoder.h"

#include <jpeglib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace fw::platform {

namespace {

// Largest JPEG file read into memory: far above any photograph of the pixel limit.
constexpr std::uint64_t kMaxFileBytes = std::uint64_t{1} << 30;

// The JPEG library reports errors by calling back; the callbacks jump back to the call
// that started the work. Warnings count as errors here (see the header).
struct ErrorManager {
    jpeg_error_mgr base;
    std::jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
};

[[noreturn]] void onError(j_common_ptr info) {
    auto* errors = reinterpret_cast<ErrorManager*>(info->err);
    (*info->err->format_message)(info, errors->message);
    std::longjmp(errors->jump, 1);
}

void onMessage(j_common_ptr info, int level) {
    if (level < 0)
        onError(info);
}

bool readAll(int fd, std::vector<std::uint8_t>& bytes) {
    struct stat status;
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || status.st_size < 4 ||
        std::uint64_t(status.st_size) > kMaxFileBytes)
        return false;
    bytes.resize(std::size_t(status.st_size));
    std::size_t have = 0;
    while (have < bytes.size()) {
        const ssize_t got = ::pread(fd, bytes.data() + have, bytes.size() - have, off_t(have));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        have += std::size_t(got);
    }
    return true;
}

std::uint16_t read16(const std::uint8_t* p, bool bigEndian) {
    return bigEndian ? std::uint16_t((p[0] << 8) | p[1]) : std::uint16_t(p[0] | (p[1] << 8));
}

std::uint32_t read32(const std::uint8_t* p, bool bigEndian) {
    return bigEndian ? (std::uint32_t(p[0]) << 24) | (std::uint32_t(p[1]) << 16) |
                           (std::uint32_t(p[2]) << 8) | p[3]
                     : (std::uint32_t(p[3]) << 24) | (std::uint32_t(p[2]) << 16) |
                           (std::uint32_t(p[1]) << 8) | p[0];
}

// The EXIF orientation in an APP1 segment's data, 0 when it holds none, -1 when the
// segment cannot be read.
int exifOrientation(const std::uint8_t* data, std::size_t length) {
    static const std::uint8_t kExif[6] = {'E', 'x', 'i', 'f', 0, 0};
    if (length < 6 || std::memcmp(data, kExif, 6) != 0)
        return 0;
    const std::uint8_t* tiff = data + 6;
    const std::size_t size = length - 6;
    if (size < 8)
        return -1;
    bool bigEndian = false;
    if (tiff[0] == 'M' && tiff[1] == 'M')
        bigEndian = true;
    else if (!(tiff[0] == 'I' && tiff[1] == 'I'))
        return -1;
    const std::uint32_t ifd = read32(tiff + 4, bigEndian);
    if (ifd > size - 2)
        return -1;
    const std::uint16_t entries = read16(tiff + ifd, bigEndian);
    for (std::uint32_t i = 0; i < entries; ++i) {
        const std::size_t at = std::size_t(ifd) + 2 + 12 * std::size_t(i);
        if (at + 12 > size)
            return -1;
        if (read16(tiff + at, bigEndian) == 0x0112)
            return read16(tiff + at + 8, bigEndian);
    }
    return 0;
}

}  // namespace

struct PlainJpegDecoder::State {
    std::vector<std::uint8_t> file;
    jpeg_decompress_struct info{};
    ErrorManager errors{};
    bool created = false;
    bool failed = false;
    std::vector<std::uint8_t> icc;
    std::vector<std::uint8_t> line;
    int next = 0;  // the next row the library will decode

    ~State() {
        if (created)
            jpeg_destroy_decompress(&info);
    }
};

namespace {

// The steps below call only C code between the jump target and any jump back, so no C++
// object's destructor is skipped.

// Reads the header and starts decompression; false when the file is not one this decoder
// takes. On success `icc` points at a profile to copy and free (or is null).
bool start(jpeg_decompress_struct* info, ErrorManager* errors, const std::uint8_t* file,
           std::size_t size, std::uint64_t maxPixels, JOCTET** icc, unsigned* iccLength) {
    if (setjmp(errors->jump) != 0)
        return false;
    jpeg_mem_src(info, file, static_cast<unsigned long>(size));
    jpeg_save_markers(info, JPEG_APP0 + 1, 0xFFFF);
    jpeg_save_markers(info, JPEG_APP0 + 2, 0xFFFF);
    if (jpeg_read_header(info, TRUE) != JPEG_HEADER_OK)
        return false;
    const bool grey = info->num_components == 1 && info->jpeg_color_space == JCS_GRAYSCALE;
    const bool colour = info->num_components == 3 &&
                        (info->jpeg_color_space == JCS_YCbCr || info->jpeg_color_space == JCS_RGB);
    if (!grey && !colour)
        return false;
    if (std::uint64_t(info->image_width) * std::uint64_t(info->image_height) > maxPixels)
        return false;
    for (jpeg_saved_marker_ptr marker = info->marker_list; marker != nullptr;
         marker = marker->next) {
        if (marker->marker != JPEG_APP0 + 1)
            continue;
        const int orientation = exifOrientation(marker->data, marker->data_length);
        if (orientation != 0 && orientation != 1)
            return false;
    }
    if (!jpeg_read_icc_profile(info, icc, iccLength))
        *icc = nullptr;
    info->out_color_space = grey ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_start_decompress(info);
    return info->output_width > 0 && info->output_height > 0 &&
           info->output_components == (grey ? 1 : 3);
}

// Decodes the next row into `row`; false (with the library's message) on damage.
bool readRow(jpeg_decompress_struct* info, ErrorManager* errors, std::uint8_t* row) {
    if (setjmp(errors->jump) != 0)
        return false;
    JSAMPROW rows[1] = {row};
    return jpeg_read_scanlines(info, rows, 1) == 1;
}

}  // namespace

PlainJpegDecoder::PlainJpegDecoder(std::unique_ptr<State> state) : state_(std::move(state)) {}

PlainJpegDecoder::~PlainJpegDecoder() = default;

std::unique_ptr<PlainJpegDecoder> PlainJpegDecoder::open(int fd, std::uint64_t maxPixels) {
    auto state = std::make_unique<State>();
    if (!readAll(fd, state->file) || state->file[0] != 0xFF || state->file[1] != 0xD8)
        return nullptr;
    state->info.err = jpeg_std_error(&state->errors.base);
    state->errors.base.error_exit = onError;
    state->errors.base.emit_message = onMessage;
    jpeg_create_decompress(&state->info);
    state->created = true;
    JOCTET* icc = nullptr;
    unsigned iccLength = 0;
    const bool started = start(&state->info, &state->errors, state->file.data(), state->file.size(),
                               maxPixels, &icc, &iccLength);
    if (icc != nullptr) {
        if (started)
            state->icc.assign(icc, icc + iccLength);
        std::free(icc);
    }
    if (!started)
        return nullptr;
    state->line.resize(std::size_t(state->info.output_width) *
                       std::size_t(state->info.output_components));
    return std::unique_ptr<PlainJpegDecoder>(new PlainJpegDecoder(std::move(state)));
}

int PlainJpegDecoder::width() const {
    return int(state_->info.output_width);
}

int PlainJpegDecoder::height() const {
    return int(state_->info.output_height);
}

int PlainJpegDecoder::channels() const {
    return state_->info.output_components;
}

std::size_t PlainJpegDecoder::rowBytes() const {
    return state_->line.size();
}

const std::vector<std::uint8_t>& PlainJpegDecoder::iccProfile() const {
    return state_->icc;
}

const std::uint8_t* PlainJpegDecoder::row(int y, std::string* why) {
    State& state = *state_;
    if (!state.failed && y == state.next - 1)
        return state.line.data();
    if (state.failed || y < state.next || y >= height()) {
        if (why != nullptr)
            *why = "rows must be read once, from top to bottom";
        state.failed = true;
        return nullptr;
    }
    while (state.next <= y) {
        if (!readRow(&state.info, &state.errors, state.line.data())) {
            state.failed = true;
            if (why != nullptr)
                *why = state.errors.message;
            return nullptr;
        }
        ++state.next;
    }
    return state.line.data();
}

}  // namespace fw::platform
