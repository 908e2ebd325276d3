#include "Logging/NoOpLogHandler.h"

namespace logging {

std::unique_ptr<LogHandler> NoOpLogHandler::clone() const {
    return std::make_unique<NoOpLogHandler>();
}

}  // namespace logging
