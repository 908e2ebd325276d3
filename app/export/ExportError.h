// ExportError: the export service's failures (an invalid request with its message, busy,
// an unknown job, a cancelled export), each with the text shown to the user.
//
// Plain value; copy it freely and use it from any thread.
#pragma once

#include <string>
#include <utility>

namespace fw {

class ExportError {
public:
    enum class Kind { invalid, busy, unknownJob, cancelled };

    static ExportError invalid(std::string message) {
        return ExportError(Kind::invalid, std::move(message));
    }
    static ExportError busy() { return ExportError(Kind::busy, {}); }
    static ExportError unknownJob() { return ExportError(Kind::unknownJob, {}); }
    static ExportError cancelled() { return ExportError(Kind::cancelled, {}); }

    Kind kind() const { return kind_; }
    // The message of an invalid request; empty for the other kinds.
    const std::string& message() const { return message_; }
    // The text shown to the user: an invalid request's own message, else the kind's text.
    std::string errorDescription() const;

    friend bool operator==(const ExportError&, const ExportError&) = default;

private:
    ExportError(Kind kind, std::string message) : kind_(kind), message_(std::move(message)) {}

    Kind kind_;
    std::string message_;
};

}  // namespace fw
