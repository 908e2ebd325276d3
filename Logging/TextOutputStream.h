// Where a StreamLogHandler writes its lines: one write() call per line.
//
// Implementations are shared between handler copies and used from any thread that logs, so
// write() must be safe to call concurrently and must keep each call's text whole.
#pragma once

#include <string_view>

namespace logging {

class TextOutputStream {
public:
    virtual ~TextOutputStream() = default;
    virtual void write(std::string_view text) = 0;
};

}  // namespace logging
