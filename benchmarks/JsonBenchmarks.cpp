// Parse and write of realistic MCP messages: our JSON layer against nlohmann-json on the same
// texts.
//
// Messages: a small tools/call request, a tools/list result of about 4 KB, and a result of about
// 1 MB carrying an image as base64 (the image content's "data" member) and, separately, as a data
// URL (which our layer decodes into bytes); and, parsed only, the tools/list result again with an
// id beyond 64 bits. Every run counts heap allocations per iteration ("allocs"); for our parser
// compare it with "valueAllocs", the allocations of copying the resulting Value, i.e. of the
// values themselves.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <nlohmann/json.hpp>
#include <string>

#include "MCP/JSON/JsonParser.h"
#include "MCP/JSON/JsonWriter.h"
#include "MCP/JSON/Value.h"

namespace {

std::atomic<std::size_t> gAllocations{0};

}  // namespace

// The replacements pair malloc with free; GCC cannot tell and warns at every inlined delete.
void* operator new(std::size_t size) {
    gAllocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size == 0 ? 1 : size)) {
        return p;
    }
    throw std::bad_alloc();
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    gAllocations.fetch_add(1, std::memory_order_relaxed);
    return std::malloc(size == 0 ? 1 : size);
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}

namespace {

std::string toolsCall() {
    return R"({"jsonrpc":"2.0","id":42,"method":"tools/call","params":{"name":"export_movie",)"
           R"("arguments":{"folder":"Holiday 2026","codec":"h264","fps":24,"quality":0.85}}})";
}

std::string toolsList() {
    std::string text = R"({"jsonrpc":"2.0","id":3,"result":{"tools":[)";
    for (int i = 0; i < 8; ++i) {
        if (i != 0) {
            text += ',';
        }
        text +=
            R"({"name":"tool_)" + std::to_string(i) +
            R"(","title":"Export a movie from a folder of images",)"
            R"("description":"Turns the ordered images of an authorized folder into one movie file and reports the job identifier.",)"
            R"("inputSchema":{"type":"object","properties":{)"
            R"("folder":{"type":"string","description":"Name of an authorized folder"},)"
            R"("codec":{"type":"string","enum":["h264","hevc","prores"]},)"
            R"("fps":{"type":"integer","minimum":1,"maximum":120},)"
            R"("quality":{"type":"number","minimum":0.0,"maximum":1.0}},)"
            R"("required":["folder","codec"]},)"
            R"("annotations":{"readOnlyHint":false,"destructiveHint":false,"idempotentHint":true}})";
    }
    text += R"(],"nextCursor":"page-2"}})";
    return text;
}

std::string base64Payload(std::size_t bytes) {
    static constexpr char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string text;
    text.reserve(bytes / 3 * 4);
    std::uint32_t state = 12345;
    for (std::size_t i = 0; i < bytes / 3 * 4; ++i) {
        state = state * 1103515245u + 12345u;
        text += kAlphabet[(state >> 16) & 63];
    }
    return text;
}

std::string imageResult() {
    return R"({"jsonrpc":"2.0","id":9,"result":{"content":[{"type":"image","mimeType":"image/png","data":")" +
           base64Payload(768 * 1024) + R"("}],"isError":false}})";
}

std::string dataURLResult() {
    return R"({"jsonrpc":"2.0","id":9,"result":{"structuredContent":{"preview":"data:image/png;base64,)" +
           base64Payload(768 * 1024) + R"("}}})";
}

// The tools/list result with an id beyond 64 bits: the parser's second path, which it takes for
// any document holding such an integer.
std::string toolsListWithBigId() {
    std::string text = toolsList();
    const std::string id = R"("id":3,)";
    text.replace(text.find(id), id.size(), R"("id":18446744073709551616,)");
    return text;
}

const std::string& message(int which) {
    static const std::string messages[] = {toolsCall(), toolsList(), imageResult(), dataURLResult(),
                                           toolsListWithBigId()};
    return messages[which];
}

void label(benchmark::State& state, int which) {
    static const char* names[] = {"tools/call", "tools/list", "1MB image", "1MB data URL",
                                  "tools/list, big id"};
    state.SetLabel(std::string(names[which]) + ", " + std::to_string(message(which).size()) +
                   " bytes");
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * message(which).size()));
}

void countAllocations(benchmark::State& state, std::size_t before) {
    state.counters["allocs"] =
        benchmark::Counter(static_cast<double>(gAllocations.load() - before) /
                           static_cast<double>(state.iterations()));
}

void BM_ParseOurs(benchmark::State& state) {
    const int which = static_cast<int>(state.range(0));
    const std::string& text = message(which);
    benchmark::DoNotOptimize(mcp::parseJson(text));  // warm the thread's parser
    const std::size_t before = gAllocations.load();
    for (auto _ : state) {
        mcp::Value value = mcp::parseJson(text);
        benchmark::DoNotOptimize(value);
    }
    countAllocations(state, before);
    const mcp::Value value = mcp::parseJson(text);
    const std::size_t copyBefore = gAllocations.load();
    mcp::Value copy = value;
    benchmark::DoNotOptimize(copy);
    state.counters["valueAllocs"] = static_cast<double>(gAllocations.load() - copyBefore);
    label(state, which);
}

void BM_ParseNlohmann(benchmark::State& state) {
    const int which = static_cast<int>(state.range(0));
    const std::string& text = message(which);
    const std::size_t before = gAllocations.load();
    for (auto _ : state) {
        nlohmann::json value = nlohmann::json::parse(text);
        benchmark::DoNotOptimize(value);
    }
    countAllocations(state, before);
    label(state, which);
}

void BM_WriteOurs(benchmark::State& state) {
    const int which = static_cast<int>(state.range(0));
    const mcp::Value value = mcp::parseJson(message(which));
    const std::size_t before = gAllocations.load();
    for (auto _ : state) {
        std::string text = mcp::toJson(value);
        benchmark::DoNotOptimize(text);
    }
    countAllocations(state, before);
    label(state, which);
}

void BM_WriteNlohmann(benchmark::State& state) {
    const int which = static_cast<int>(state.range(0));
    const nlohmann::json value = nlohmann::json::parse(message(which));
    const std::size_t before = gAllocations.load();
    for (auto _ : state) {
        std::string text = value.dump();
        benchmark::DoNotOptimize(text);
    }
    countAllocations(state, before);
    label(state, which);
}

BENCHMARK(BM_ParseOurs)->DenseRange(0, 4);
BENCHMARK(BM_ParseNlohmann)->DenseRange(0, 4);
BENCHMARK(BM_WriteOurs)->DenseRange(0, 3);
BENCHMARK(BM_WriteNlohmann)->DenseRange(0, 3);

}  // namespace

BENCHMARK_MAIN();
