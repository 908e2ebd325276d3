// Cost of log calls: entries below the level must cost one load and one compare; entries that
// pass pay for building and writing their line.
#include <benchmark/benchmark.h>

#include <stdexcept>

#include "Logging/Logger.h"
#include "Logging/NoOpLogHandler.h"
#include "Logging/StreamLogHandler.h"

namespace {

using logging::Level;
using logging::Logger;
using logging::Metadata;
using logging::MetadataValue;

// Takes every line and drops it, so the benchmark measures formatting, not the terminal.
class DiscardingStream final : public logging::TextOutputStream {
public:
    void write(std::string_view text) override { benchmark::DoNotOptimize(text.data()); }
};

Logger streamLogger() {
    return Logger("bench", logging::StreamLogHandler("bench", std::make_shared<DiscardingStream>(),
                                                     std::nullopt));
}

void BM_BelowLevel_Literal(benchmark::State& state) {
    const Logger logger = streamLogger();
    for (auto _ : state) {
        // Forces the level to be read again each time instead of once before the loop.
        benchmark::ClobberMemory();
        logger.debug("Sent a message to the client");
    }
}
BENCHMARK(BM_BelowLevel_Literal);

void BM_BelowLevel_DeferredParts(benchmark::State& state) {
    const Logger logger = streamLogger();
    const std::string method = "tools/call";
    const std::runtime_error error("the connection was reset by its peer");
    for (auto _ : state) {
        benchmark::ClobberMemory();
        logger.debug([&] { return "Dispatching " + method; }, error,
                     [&] {
                         return Metadata{{"method", MetadataValue(method)}, {"id", "7"}};
                     });
    }
}
BENCHMARK(BM_BelowLevel_DeferredParts);

void BM_BelowLevel_NoOpHandler(benchmark::State& state) {
    const Logger logger("bench", logging::NoOpLogHandler());
    for (auto _ : state) {
        benchmark::ClobberMemory();
        logger.error("Dropped by the no-op handler");
    }
}
BENCHMARK(BM_BelowLevel_NoOpHandler);

void BM_Accepted_PlainLine(benchmark::State& state) {
    const Logger logger = streamLogger();
    for (auto _ : state) {
        logger.info("Accepted a connection");
    }
}
BENCHMARK(BM_Accepted_PlainLine);

void BM_Accepted_HandlerMetadataOnly(benchmark::State& state) {
    Logger logger = streamLogger();
    logger.setMetadataValue("connection", MetadataValue("42"));
    logger.setMetadataValue("peer", MetadataValue("frameweaver-mcp"));
    for (auto _ : state) {
        logger.info("Accepted a connection");
    }
}
BENCHMARK(BM_Accepted_HandlerMetadataOnly);

void BM_Accepted_CallMetadata(benchmark::State& state) {
    Logger logger = streamLogger();
    logger.setMetadataValue("connection", MetadataValue("42"));
    for (auto _ : state) {
        logger.info("Request received", [] { return Metadata{{"method", "tools/call"}}; });
    }
}
BENCHMARK(BM_Accepted_CallMetadata);

void BM_LoggerCopy(benchmark::State& state) {
    const Logger logger = streamLogger();
    for (auto _ : state) {
        Logger copy = logger;
        benchmark::DoNotOptimize(copy);
    }
}
BENCHMARK(BM_LoggerCopy);

void BM_TaskLoggerRead(benchmark::State& state) {
    const Logger bound = streamLogger();
    Logger::withTaskLogger(bound, [&](const Logger&) {
        for (auto _ : state) {
            benchmark::DoNotOptimize(Logger::taskLogger());
        }
    });
}
BENCHMARK(BM_TaskLoggerRead);

}  // namespace

BENCHMARK_MAIN();
