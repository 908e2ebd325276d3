#include "app/tools/ToolResult.h"

#include <optional>
#include <utility>

#include "MCP/JSON/JsonWriter.h"
#include "MCP/JSON/TypedJson.h"
#include "app/tools/ToolError.h"

namespace fw {
namespace {

mcp::CallTool::Result assemble(std::string text, mcp::Value value, bool isError) {
    mcp::CallTool::Result result;
    result.content.push_back(mcp::ToolContent::text(std::move(text)));
    result.structuredContent = std::move(value);
    result.isError = isError;
    return result;
}

// The encoded length of the whole result, or nothing when it cannot be encoded.
std::optional<std::size_t> encodedSize(const mcp::CallTool::Result& result) {
    std::string out;
    try {
        mcp::appendTypedJson(out, result);
    } catch (const mcp::EncodingError&) {
        return std::nullopt;
    }
    return out.size();
}

mcp::CallTool::Result unencodableResult() {
    mcp::Value value = errorValue("operation_failed", tool_errors::kUnencodableResult);
    std::string text = mcp::toJson(value);
    return assemble(std::move(text), std::move(value), true);
}

}  // namespace

mcp::Value errorValue(std::string code, std::string message) {
    mcp::Object error;
    error.insertOrAssign("code", std::move(code));
    error.insertOrAssign("message", std::move(message));
    mcp::Object outer;
    outer.insertOrAssign("error", std::move(error));
    return outer;
}

mcp::CallTool::Result makeResult(mcp::Value value, bool isError, std::size_t byteLimit) {
    std::string text;
    try {
        mcp::appendJson(text, value);
    } catch (const mcp::EncodingError&) {
        return unencodableResult();
    }
    mcp::CallTool::Result result = assemble(std::move(text), std::move(value), isError);
    const std::optional<std::size_t> size = encodedSize(result);
    if (!size) {
        return unencodableResult();
    }
    if (*size > byteLimit) {
        mcp::Value tooLarge = errorValue("result_too_large", tool_errors::kResultTooLarge);
        return assemble(tool_errors::kResultTooLargeText, std::move(tooLarge), true);
    }
    return result;
}

}  // namespace fw
