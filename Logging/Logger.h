// A labelled logger: a small value made of a label and a log handler, which owns the level,
// metadata and output. Calls below the handler's level cost one load and one compare: the parts
// of an entry are deferred (Deferred.h) and produced only for entries that pass.
//
//     logging::Logger logger("frameweaver.mcp.unix");
//     logger.info("Listening");
//     logger.debug([&] { return "Read " + std::to_string(n) + " bytes"; });
//     logger.warning("Dropped a frame", [&] { return Metadata{{"size", std::to_string(n)}}; });
//     logger.error("Accept failed", error);  // std::exception&, exception_ptr, error_code
//
// Thread-safety: a Logger is a value with copy-on-write storage. Copies may be used on different
// threads at the same time, and logging through one logger from several threads is safe; one and
// the same logger variable must not be changed from two threads at once.
//
// Besides loggers passed around, there is one current logger per task (taskLogger()): bound for
// synchronous code with withTaskLogger(), and for coroutines with Logging/AsyncTaskLogger.h.
#pragma once

#include <concepts>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <source_location>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "Logging/Deferred.h"
#include "Logging/Level.h"
#include "Logging/LogEvent.h"
#include "Logging/LogHandler.h"
#include "Logging/LoggingSystem.h"
#include "Logging/Message.h"
#include "Logging/MetadataProvider.h"
#include "Logging/MetadataValue.h"
#include "Logging/SourceName.h"

namespace logging {

class Logger {
public:
    using Level = logging::Level;
    using Message = logging::Message;
    using Metadata = logging::Metadata;
    using MetadataValue = logging::MetadataValue;
    using MetadataProvider = logging::MetadataProvider;

    // The handler LoggingSystem's factory makes for the label with LoggingSystem's provider.
    explicit Logger(std::string label);
    // The handler LoggingSystem's factory makes for the label and `provider`, with its provider
    // then set to `provider`.
    Logger(std::string label, MetadataProvider provider);
    // The handler `factory` makes; LoggingSystem is not read.
    Logger(std::string label, const LoggingSystem::LabelFactory& factory);
    // The handler `factory` makes with LoggingSystem's provider.
    Logger(std::string label, const LoggingSystem::Factory& factory);
    // Assembled directly from a label and a handler (a null handler is a programming error).
    Logger(std::string label, std::unique_ptr<LogHandler> handler);
    template <std::derived_from<LogHandler> H>
    Logger(std::string label, H handler)
        : Logger(std::move(label), std::make_unique<H>(std::move(handler))) {}

    const std::string& label() const noexcept { return storage_->label; }
    const LogHandler& handler() const noexcept { return *storage_->handler; }
    void setHandler(std::unique_ptr<LogHandler> handler);
    template <std::derived_from<LogHandler> H>
    void setHandler(H handler) {
        setHandler(std::make_unique<H>(std::move(handler)));
    }
    // Changes the handler in place: `change` receives this logger's own (unshared) handler.
    template <std::invocable<LogHandler&> F>
    void modifyHandler(F&& change) {
        makeUnique();
        std::forward<F>(change)(*storage_->handler);
        logLevel_ = storage_->handler->logLevel();
    }

    std::optional<MetadataProvider> metadataProvider() const {
        return storage_->handler->metadataProvider();
    }
    Level logLevel() const noexcept { return logLevel_; }
    void setLogLevel(Level level);
    std::optional<MetadataValue> metadataValue(std::string_view key) const {
        return storage_->handler->metadataValue(key);
    }
    // None removes the key.
    void setMetadataValue(const std::string& key, std::optional<MetadataValue> value);

    // Whether both share one storage (neither has been changed since one was copied from the
    // other).
    bool sameStorage(const Logger& other) const noexcept { return storage_ == other.storage_; }

    // True when an entry at `level` would reach the handler.
    bool isEnabled(Level level) const noexcept { return level >= logLevel_; }

    // The log calls. An entry below the handler's level is dropped before any part is produced;
    // otherwise message, error, metadata and source are each produced once, in this order, and the
    // handler's log(event) is called once.
    void log(Level level, DeferredMessage message, DeferredMetadata metadata = {},
             DeferredSource source = {}) const {
        if (isEnabled(level)) {
            send(level, message, nullptr, metadata, source);
        }
    }
    void log(Level level, DeferredMessage message, DeferredError error,
             DeferredMetadata metadata = {}, DeferredSource source = {}) const {
        if (isEnabled(level)) {
            send(level, message, &error, metadata, source);
        }
    }

#define FW_LOGGING_LEVEL_CALLS(name)                                                               \
    void name(DeferredMessage message, DeferredMetadata metadata = {}, DeferredSource source = {}) \
        const {                                                                                    \
        log(Level::name, message, metadata, source);                                               \
    }                                                                                              \
    void name(DeferredMessage message, DeferredError error, DeferredMetadata metadata = {},        \
              DeferredSource source = {}) const {                                                  \
        log(Level::name, message, error, metadata, source);                                        \
    }
    FW_LOGGING_LEVEL_CALLS(trace)
    FW_LOGGING_LEVEL_CALLS(debug)
    FW_LOGGING_LEVEL_CALLS(info)
    FW_LOGGING_LEVEL_CALLS(notice)
    FW_LOGGING_LEVEL_CALLS(warning)
    FW_LOGGING_LEVEL_CALLS(error)
    FW_LOGGING_LEVEL_CALLS(critical)
#undef FW_LOGGING_LEVEL_CALLS

    static std::string_view sourceFromFileID(std::string_view fileID) noexcept {
        return logging::sourceFromFileID(fileID);
    }
    static std::string_view sourceFromFilePath(std::string_view filePath) noexcept {
        return logging::sourceFromFilePath(filePath);
    }

    // The current task's logger: the one bound by the innermost withTaskLogger in force on this
    // thread (or, in a coroutine, for this task and the tasks it started), else the default
    // logger, made once on first use like Logger("") and kept for the rest of the process.
    static Logger taskLogger();

    // Binds `logger` as the task logger while `operation(logger)` runs; returns its result. The
    // binding ends also when the operation throws, and the exception passes through unchanged.
    template <class Operation>
    requires std::invocable<Operation, const Logger&>
    static decltype(auto) withTaskLogger(const Logger& logger, Operation&& operation);
    // The current task logger with the entries of `metadata` set on it (existing keys replaced).
    template <class Operation>
    requires std::invocable<Operation, const Logger&>
    static decltype(auto) withTaskLoggerMergingMetadata(const Metadata& metadata,
                                                        Operation&& operation);
    // The current task logger with these overrides, each optional, applied in this order: the
    // level (set on the current handler), the handler (which keeps its own level), the whole
    // metadata (replacing the handler's).
    template <class Operation>
    requires std::invocable<Operation, const Logger&>
    static decltype(auto) withTaskLogger(std::optional<Level> logLevel,
                                         std::unique_ptr<LogHandler> handler,
                                         std::optional<Metadata> metadata, Operation&& operation);

    // The loggers the operations above bind; the coroutine forms use them too.
    static Logger taskLoggerMergingMetadata(const Metadata& metadata);
    static Logger taskLoggerWith(std::optional<Level> logLevel, std::unique_ptr<LogHandler> handler,
                                 std::optional<Metadata> metadata);

private:
    struct Storage {
        std::string label;
        std::unique_ptr<LogHandler> handler;
    };

    void makeUnique();
    void send(Level level, const DeferredMessage& message, const DeferredError* error,
              const DeferredMetadata& metadata, const DeferredSource& source) const;

    std::shared_ptr<Storage> storage_;
    // The handler's level, read by every log call without touching the handler. Kept in step by
    // every change, which goes through this logger (copy-on-write).
    Level logLevel_;
};

// Keeps `logger` bound as this thread's task logger until destroyed; scopes nest and must end
// in reverse order on the thread that made them.
class TaskLoggerScope {
public:
    explicit TaskLoggerScope(Logger logger) noexcept;
    ~TaskLoggerScope();
    TaskLoggerScope(const TaskLoggerScope&) = delete;
    TaskLoggerScope& operator=(const TaskLoggerScope&) = delete;

    const Logger& logger() const noexcept { return logger_; }

private:
    Logger logger_;
    const Logger* previous_;
};

template <class Operation>
requires std::invocable<Operation, const Logger&>
decltype(auto) Logger::withTaskLogger(const Logger& logger, Operation&& operation) {
    TaskLoggerScope scope(logger);
    return std::invoke(std::forward<Operation>(operation), scope.logger());
}

template <class Operation>
requires std::invocable<Operation, const Logger&>
decltype(auto) Logger::withTaskLoggerMergingMetadata(const Metadata& metadata,
                                                     Operation&& operation) {
    return withTaskLogger(taskLoggerMergingMetadata(metadata), std::forward<Operation>(operation));
}

template <class Operation>
requires std::invocable<Operation, const Logger&>
decltype(auto) Logger::withTaskLogger(std::optional<Level> logLevel,
                                      std::unique_ptr<LogHandler> handler,
                                      std::optional<Metadata> metadata, Operation&& operation) {
    return withTaskLogger(taskLoggerWith(logLevel, std::move(handler), std::move(metadata)),
                          std::forward<Operation>(operation));
}

}  // namespace logging
