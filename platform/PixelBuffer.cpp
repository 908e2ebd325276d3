#include "platform/PixelBuffer.h"

#include <vector>

namespace fw::platform {

std::shared_ptr<PixelBuffer> PixelBuffer::allocate(PixelFormat format, int width, int height) {
    auto buffer = std::make_shared<PixelBuffer>();
    buffer->format = format;
    buffer->width = width;
    buffer->height = height;
    const auto shapes = planeShapes(format, width, height);
    const std::array<std::ptrdiff_t, 3> strides{shapes[0].rowBytes, shapes[1].rowBytes,
                                                shapes[2].rowBytes};
    const std::array<std::ptrdiff_t, 3> rows{shapes[0].rows, shapes[1].rows, shapes[2].rows};
    auto memory = std::make_shared<std::vector<std::uint8_t>>(
        static_cast<std::size_t>(strides[0] * rows[0] + 2 * strides[1] * rows[1]));
    std::uint8_t* cursor = memory->data();
    for (int i = 0; i < 3; ++i) {
        buffer->planes[i] = cursor;
        buffer->strides[i] = strides[i];
        cursor += strides[i] * rows[i];
    }
    buffer->storage = std::move(memory);
    return buffer;
}

}  // namespace fw::platform
