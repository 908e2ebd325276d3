#include "app/export/ExportError.h"

namespace fw {

std::string ExportError::errorDescription() const {
    switch (kind_) {
        case Kind::invalid:
            return message_;
        case Kind::busy:
            return "A movie export is in progress, or the movie window has an open sheet or "
                   "uncommitted edit.";
        case Kind::unknownJob:
            return "That export job is no longer available.";
        case Kind::cancelled:
            return "The movie export was cancelled.";
    }
    return message_;
}

}  // namespace fw
