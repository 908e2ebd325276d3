// A text output stream over one of the process's standard C streams.
//
// Thread-safe: each write() holds the C stream's own lock (flockfile) for its whole text, so lines
// from different threads never interleave; with FlushMode::always the stream is flushed after the
// lock is released. Write and flush errors are ignored.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string_view>

#include "Logging/TextOutputStream.h"

namespace logging {

class StdioOutputStream final : public TextOutputStream {
public:
    enum class FlushMode : std::uint8_t { undefined = 0, always = 1 };

    // `file` must outlive the stream.
    StdioOutputStream(std::FILE* file, FlushMode flushMode) noexcept
        : file_(file), flushMode_(flushMode) {}

    void write(std::string_view text) override;

    FlushMode flushMode() const noexcept { return flushMode_; }

    // The process-wide streams over standard error and standard output, each made once on first
    // use; both flush after every write.
    static const std::shared_ptr<StdioOutputStream>& standardError();
    static const std::shared_ptr<StdioOutputStream>& standardOutput();

private:
    std::FILE* file_;
    FlushMode flushMode_;
};

}  // namespace logging
