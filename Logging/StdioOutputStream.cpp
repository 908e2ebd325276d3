#include "Logging/StdioOutputStream.h"

namespace logging {

void StdioOutputStream::write(std::string_view text) {
    flockfile(file_);
    if (!text.empty()) {
        std::fwrite(text.data(), 1, text.size(), file_);
    }
    funlockfile(file_);
    if (flushMode_ == FlushMode::always) {
        std::fflush(file_);
    }
}

const std::shared_ptr<StdioOutputStream>& StdioOutputStream::standardError() {
    static const auto stream = std::make_shared<StdioOutputStream>(stderr, FlushMode::always);
    return stream;
}

const std::shared_ptr<StdioOutputStream>& StdioOutputStream::standardOutput() {
    static const auto stream = std::make_shared<StdioOutputStream>(stdout, FlushMode::always);
    return stream;
}

}  // namespace logging
