// The typed message layer on top of the JSON layer: reading realistic tool, sampling and resource
// messages from JSON text into their types and writing them back. Each benchmark also runs its
// parse-only (or write-only) twin, so the cost of the typed step shows as the difference.
#include <benchmark/benchmark.h>

#include <string>

#include "MCP/JSON/JsonParser.h"
#include "MCP/JSON/JsonWriter.h"
#include "MCP/Messages/Request.h"
#include "MCP/Messages/Resources.h"
#include "MCP/Messages/Response.h"
#include "MCP/Messages/SamplingRequest.h"
#include "MCP/Messages/Tools.h"

namespace {

using namespace mcp;

// A "tools/call" request of about 150 bytes.
const std::string kCallRequest =
    R"({"jsonrpc":"2.0","id":12,"method":"tools/call","params":{"name":"export_movie",)"
    R"("arguments":{"folder_id":"F1","relative_path":"out.mp4","frame_rate":24,"codec":"h264"}}})";

// A "tools/list" result of about 4 KB: twelve tools with schemas and hints.
std::string toolsListResult() {
    std::string tools;
    for (int i = 0; i < 12; ++i) {
        if (i != 0) {
            tools += ',';
        }
        tools +=
            R"({"name":"tool_)" + std::to_string(i) +
            R"(","title":"A tool","description":"Does one thing with the frames it is given.",)"
            R"("inputSchema":{"type":"object","properties":{"folder_id":{"type":"string"},)"
            R"("relative_path":{"type":"string"},"frame_rate":{"type":"integer","minimum":1,)"
            R"("maximum":30}},"required":["folder_id","relative_path"]},)"
            R"("annotations":{"readOnlyHint":true,"openWorldHint":false}})";
    }
    return R"({"jsonrpc":"2.0","id":3,"result":{"tools":[)" + tools + R"(],"nextCursor":"n"}})";
}

// A "tools/call" result: one text block and the same data as structured content.
CallTool::Result callResult() {
    Object job{{"job_id", "6F9619FF-8B86-D011-B42D-00C04FC964FF"},
               {"state", "running"},
               {"progress", 0.25},
               {"completed_frames", 30},
               {"total_frames", 120}};
    return CallTool::Result{{ToolContent::text(toJson(Value(job)))}, Value(job)};
}

// A sampling request with a short conversation and one tool.
const std::string kSamplingRequest =
    R"({"jsonrpc":"2.0","id":"s1","method":"sampling/createMessage","params":{"messages":[)"
    R"({"role":"user","content":{"type":"text","text":"Name the movie."}},)"
    R"({"role":"assistant","content":[{"type":"tool_use","id":"c1","name":"inspect","input":{"n":3}}]},)"
    R"({"role":"user","content":{"type":"tool_result","toolUseId":"c1","content":[{"type":"text","text":"3 frames"}]}}],)"
    R"("modelPreferences":{"hints":[{"name":"small"}],"speedPriority":0.8},"maxTokens":200,)"
    R"("tools":[{"name":"inspect","inputSchema":{"type":"object"}}],"toolChoice":{"mode":"auto"}}})";

void BM_ParseOnly_CallRequest(benchmark::State& state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(parseJson(kCallRequest));
    }
}
BENCHMARK(BM_ParseOnly_CallRequest);

void BM_Decode_CallRequest(benchmark::State& state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(Request<CallTool>::fromValue(parseJson(kCallRequest)));
    }
}
BENCHMARK(BM_Decode_CallRequest);

void BM_ParseOnly_ToolsList(benchmark::State& state) {
    const std::string text = toolsListResult();
    for (auto _ : state) {
        benchmark::DoNotOptimize(parseJson(text));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_ParseOnly_ToolsList);

void BM_Decode_ToolsList(benchmark::State& state) {
    const std::string text = toolsListResult();
    for (auto _ : state) {
        benchmark::DoNotOptimize(Response<ListTools>::fromValue(parseJson(text)));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_Decode_ToolsList);

void BM_Encode_ToolsList(benchmark::State& state) {
    const Response<ListTools> response =
        Response<ListTools>::fromValue(parseJson(toolsListResult()));
    std::string out;
    for (auto _ : state) {
        out.clear();
        appendJson(out, response.toValue());
        benchmark::DoNotOptimize(out.data());
    }
}
BENCHMARK(BM_Encode_ToolsList);

void BM_Encode_CallResult(benchmark::State& state) {
    const Response<CallTool> response{ID(12), callResult()};
    std::string out;
    for (auto _ : state) {
        out.clear();
        appendJson(out, response.toValue());
        benchmark::DoNotOptimize(out.data());
    }
}
BENCHMARK(BM_Encode_CallResult);

void BM_Decode_SamplingRequest(benchmark::State& state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            Request<CreateSamplingMessage>::fromValue(parseJson(kSamplingRequest)));
    }
}
BENCHMARK(BM_Decode_SamplingRequest);

}  // namespace

BENCHMARK_MAIN();
