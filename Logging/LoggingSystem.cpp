#include "Logging/LoggingSystem.h"

#include "Logging/ReplaceOnceBox.h"
#include "Logging/StreamLogHandler.h"

namespace logging {

namespace {

constexpr const char* kViolation = "logging system can only be initialized once per process.";

// Each box is made on first use; function-local statics make that safe when threads race to it.
detail::ReplaceOnceBox<LoggingSystem::Factory>& factoryBox() {
    static detail::ReplaceOnceBox<LoggingSystem::Factory> box(
        [](const std::string& label, const std::optional<MetadataProvider>&) {
            return std::unique_ptr<LogHandler>(
                new StreamLogHandler(StreamLogHandler::standardError(label)));
        },
        kViolation);
    return box;
}

detail::ReplaceOnceBox<std::optional<MetadataProvider>>& metadataProviderBox() {
    static detail::ReplaceOnceBox<std::optional<MetadataProvider>> box(std::nullopt, kViolation);
    return box;
}

}  // namespace

void LoggingSystem::bootstrap(LabelFactory factory) {
    factoryBox().replaceUnderlying(
        [factory = std::move(factory)](const std::string& label,
                                       const std::optional<MetadataProvider>&) {
            return factory(label);
        });
}

void LoggingSystem::bootstrap(Factory factory, std::optional<MetadataProvider> metadataProvider) {
    metadataProviderBox().replaceUnderlying(std::move(metadataProvider));
    factoryBox().replaceUnderlying(std::move(factory));
}

std::optional<MetadataProvider> LoggingSystem::metadataProvider() {
    return metadataProviderBox().underlying();
}

LoggingSystem::Factory LoggingSystem::factory() {
    return factoryBox().underlying();
}

}  // namespace logging
