#include "Logging/Logger.h"

#include <cstdio>
#include <cstdlib>

namespace logging {

namespace {

// The innermost synchronous binding on this thread, or null. Coroutines bind through
// TaskLoggerExecutor, which sets this around every piece of work it runs.
thread_local const Logger* tCurrentTaskLogger = nullptr;

std::unique_ptr<LogHandler> requireHandler(std::unique_ptr<LogHandler> handler) {
    if (!handler) {
        std::fputs("A logger needs a handler.\n", stderr);
        std::abort();
    }
    return handler;
}

}  // namespace

Logger::Logger(std::string label, std::unique_ptr<LogHandler> handler)
    : storage_(
          std::make_shared<Storage>(Storage{std::move(label), requireHandler(std::move(handler))})),
      logLevel_(storage_->handler->logLevel()) {}

Logger::Logger(std::string label)
    : Logger(label, [&label] {
          // The provider first, then the factory, each under its own lock; the factory is called
          // with neither held.
          std::optional<MetadataProvider> provider = LoggingSystem::metadataProvider();
          LoggingSystem::Factory factory = LoggingSystem::factory();
          return factory(label, provider);
      }()) {}

Logger::Logger(std::string label, MetadataProvider provider)
    : Logger(label, [&label, &provider] {
          LoggingSystem::Factory factory = LoggingSystem::factory();
          std::unique_ptr<LogHandler> handler = requireHandler(factory(label, provider));
          handler->setMetadataProvider(provider);
          return handler;
      }()) {}

Logger::Logger(std::string label, const LoggingSystem::LabelFactory& factory)
    : Logger(label, factory(label)) {}

Logger::Logger(std::string label, const LoggingSystem::Factory& factory)
    : Logger(label, factory(label, LoggingSystem::metadataProvider())) {}

void Logger::makeUnique() {
    if (storage_.use_count() != 1) {
        storage_ = std::make_shared<Storage>(Storage{storage_->label, storage_->handler->clone()});
    }
}

void Logger::setHandler(std::unique_ptr<LogHandler> handler) {
    handler = requireHandler(std::move(handler));
    makeUnique();
    storage_->handler = std::move(handler);
    logLevel_ = storage_->handler->logLevel();
}

void Logger::setLogLevel(Level level) {
    makeUnique();
    storage_->handler->setLogLevel(level);
    logLevel_ = storage_->handler->logLevel();
}

void Logger::setMetadataValue(const std::string& key, std::optional<MetadataValue> value) {
    makeUnique();
    storage_->handler->setMetadataValue(key, std::move(value));
}

void Logger::send(Level level, const DeferredMessage& message, const DeferredError* error,
                  const DeferredMetadata& metadata, const DeferredSource& source) const {
    Message text = message();
    std::optional<LogError> producedError = error ? (*error)() : std::nullopt;
    std::optional<Metadata> producedMetadata = metadata();
    std::optional<std::string> producedSource = source();
    const LogEvent event(level, std::move(text), std::move(producedError),
                         std::move(producedMetadata), std::move(producedSource),
                         std::string(fileIDFromPath(message.location.file_name())),
                         message.location.function_name(), message.location.line());
    storage_->handler->log(event);
}

Logger Logger::taskLogger() {
    if (tCurrentTaskLogger != nullptr) {
        return *tCurrentTaskLogger;
    }
    // Made once, on first use, from the logging system as it stands then.
    static const Logger defaultLogger("");
    return defaultLogger;
}

Logger Logger::taskLoggerMergingMetadata(const Metadata& metadata) {
    Logger logger = taskLogger();
    for (const auto& [key, value] : metadata) {
        logger.setMetadataValue(key, value);
    }
    return logger;
}

Logger Logger::taskLoggerWith(std::optional<Level> logLevel, std::unique_ptr<LogHandler> handler,
                              std::optional<Metadata> metadata) {
    Logger logger = taskLogger();
    if (logLevel) {
        logger.setLogLevel(*logLevel);
    }
    if (handler) {
        logger.setHandler(std::move(handler));
    }
    if (metadata) {
        logger.modifyHandler(
            [&](LogHandler& current) { current.setMetadata(std::move(*metadata)); });
    }
    return logger;
}

TaskLoggerScope::TaskLoggerScope(Logger logger) noexcept
    : logger_(std::move(logger)), previous_(tCurrentTaskLogger) {
    tCurrentTaskLogger = &logger_;
}

TaskLoggerScope::~TaskLoggerScope() {
    tCurrentTaskLogger = previous_;
}

}  // namespace logging
