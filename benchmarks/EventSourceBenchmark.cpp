// The event-stream parser's throughput in MB/s: typical 1 KiB JSON events fed in 64 KiB
// blocks (as a network read delivers them) and one byte at a time, and events of long
// multi-line data.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <string>

#include "EventSource/Parser.h"

namespace {

// Events of about 1 KiB: an id line and one data line of a JSON-RPC message.
std::string typicalStream(std::size_t totalBytes) {
    std::string payload = R"({"jsonrpc":"2.0","method":"notifications/message","params":{"level":"info","data":")";
    payload.append(900, 'x');
    payload += R"("}})";
    std::string stream;
    for (int id = 0; stream.size() < totalBytes; ++id) {
        stream += "id: " + std::to_string(id) + "\ndata: " + payload + "\n\n";
    }
    return stream;
}

// Events of 200 data lines of 80 bytes each.
std::string multiLineStream(std::size_t totalBytes) {
    std::string line = "data: " + std::string(80, 'y') + "\n";
    std::string stream;
    while (stream.size() < totalBytes) {
        for (int i = 0; i < 200; ++i) {
            stream += line;
        }
        stream += "\n";
    }
    return stream;
}

std::span<const std::uint8_t> bytesOf(const std::string& text, std::size_t offset, std::size_t count) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()) + offset, count};
}

void feedInBlocks(benchmark::State& state, const std::string& stream, std::size_t blockSize) {
    std::size_t events = 0;
    for (auto _ : state) {
        eventsource::Parser parser;
        for (std::size_t offset = 0; offset < stream.size(); offset += blockSize) {
            parser.consume(bytesOf(stream, offset, std::min(blockSize, stream.size() - offset)));
            while (auto event = parser.getNextEvent()) {
                benchmark::DoNotOptimize(event->data.data());
                ++events;
            }
        }
        parser.finish();
    }
    state.SetBytesProcessed(std::int64_t(state.iterations() * stream.size()));
    state.counters["events"] = benchmark::Counter(double(events), benchmark::Counter::kIsRate);
}

void BM_TypicalEvents64KiBBlocks(benchmark::State& state) {
    static const std::string stream = typicalStream(8 << 20);
    feedInBlocks(state, stream, 64 << 10);
}
BENCHMARK(BM_TypicalEvents64KiBBlocks);

void BM_TypicalEventsByteByByte(benchmark::State& state) {
    static const std::string stream = typicalStream(1 << 20);
    std::size_t events = 0;
    for (auto _ : state) {
        eventsource::Parser parser;
        for (char byte : stream) {
            parser.consume(static_cast<std::uint8_t>(byte));
            if (parser.hasQueuedEvent()) {
                benchmark::DoNotOptimize(parser.getNextEvent());
                ++events;
            }
        }
        parser.finish();
    }
    state.SetBytesProcessed(std::int64_t(state.iterations() * stream.size()));
    state.counters["events"] = benchmark::Counter(double(events), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_TypicalEventsByteByByte);

void BM_MultiLineData64KiBBlocks(benchmark::State& state) {
    static const std::string stream = multiLineStream(8 << 20);
    feedInBlocks(state, stream, 64 << 10);
}
BENCHMARK(BM_MultiLineData64KiBBlocks);

// Short events whose lines end with CR alone, fed one event at a time: the cost of finding a
// line end must follow the line, not the rest of the block.
void BM_CarriageReturnLinesUntilEach(benchmark::State& state) {
    static const std::string stream = [] {
        std::string text;
        for (int id = 0; text.size() < (std::size_t(8) << 20); ++id) {
            text += "id: " + std::to_string(id) + "\rdata: x\r\r";
        }
        return text;
    }();
    const std::size_t blockSize = 64 << 10;
    for (auto _ : state) {
        eventsource::Parser parser;
        for (std::size_t offset = 0; offset < stream.size(); offset += blockSize) {
            auto block = bytesOf(stream, offset, std::min(blockSize, stream.size() - offset));
            while (!block.empty()) {
                block = block.subspan(parser.consumeUntilEvent(block));
                benchmark::DoNotOptimize(parser.getNextEvent());
            }
        }
        parser.finish();
    }
    state.SetBytesProcessed(std::int64_t(state.iterations() * stream.size()));
}
BENCHMARK(BM_CarriageReturnLinesUntilEach);

// The way the event sequence and the EventSource client feed it: one event at a time.
void BM_TypicalEventsUntilEach(benchmark::State& state) {
    static const std::string stream = typicalStream(8 << 20);
    const std::size_t blockSize = 64 << 10;
    for (auto _ : state) {
        eventsource::Parser parser;
        for (std::size_t offset = 0; offset < stream.size(); offset += blockSize) {
            auto block = bytesOf(stream, offset, std::min(blockSize, stream.size() - offset));
            while (!block.empty()) {
                block = block.subspan(parser.consumeUntilEvent(block));
                if (auto event = parser.getNextEvent()) {
                    benchmark::DoNotOptimize(event->data.data());
                }
            }
        }
        parser.finish();
    }
    state.SetBytesProcessed(std::int64_t(state.iterations() * stream.size()));
}
BENCHMARK(BM_TypicalEventsUntilEach);

}  // namespace

BENCHMARK_MAIN();
