#include "Logging/SourceName.h"

namespace logging {

namespace {
constexpr std::string_view kNotAvailable = "n/a";
}

std::string_view sourceFromFileID(std::string_view fileID) noexcept {
    const std::size_t slash = fileID.find('/');
    if (slash == std::string_view::npos) {
        return kNotAvailable;
    }
    return fileID.substr(0, slash);
}

std::string_view sourceFromFilePath(std::string_view filePath) noexcept {
    const std::size_t last = filePath.rfind('/');
    if (last == std::string_view::npos || last == 0) {
        return kNotAvailable;
    }
    const std::size_t previous = filePath.rfind('/', last - 1);
    if (previous == std::string_view::npos) {
        return kNotAvailable;
    }
    return filePath.substr(previous + 1, last - previous - 1);
}

std::string_view fileIDFromPath(std::string_view filePath) noexcept {
    const std::size_t last = filePath.rfind('/');
    if (last == std::string_view::npos || last == 0) {
        return filePath;
    }
    const std::size_t previous = filePath.rfind('/', last - 1);
    if (previous == std::string_view::npos) {
        return filePath;
    }
    return filePath.substr(previous + 1);
}

}  // namespace logging
