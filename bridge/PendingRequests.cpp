#include "bridge/PendingRequests.h"

#include <optional>

#include "MCP/JSON/JsonParser.h"
#include "MCP/JSON/JsonWriter.h"
#include "MCP/JSON/Value.h"

namespace fw::bridge {

namespace {

enum class LineKind { request, response, other };

struct Classified {
    LineKind kind = LineKind::other;
    std::string id;  // the identifier's JSON text
};

Classified classify(std::string_view line) {
    // Only objects can be requests or responses: anything else is not worth a parse.
    const auto first = line.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos || line[first] != '{') {
        return {};
    }
    const std::optional<mcp::Value> message = mcp::tryParseJson(line);
    if (!message || message->kind() != mcp::Value::Kind::Object) {
        return {};
    }
    const mcp::Value* id = message->find("id");
    // A string identifier that reads as a data URL is parsed as data; it is a string all the same.
    if (id == nullptr ||
        (id->kind() != mcp::Value::Kind::String && id->kind() != mcp::Value::Kind::Data &&
         id->kind() != mcp::Value::Kind::Int && id->kind() != mcp::Value::Kind::Double)) {
        return {};
    }
    if (message->find("method") != nullptr) {
        return {LineKind::request, mcp::toJson(*id)};
    }
    if (message->find("result") != nullptr || message->find("error") != nullptr) {
        return {LineKind::response, mcp::toJson(*id)};
    }
    return {};
}

}  // namespace

void PendingRequests::sent(std::string_view line) {
    Classified message = classify(line);
    if (message.kind != LineKind::request) {
        return;
    }
    std::lock_guard guard(lock_);
    ++pending_[std::move(message.id)];
}

void PendingRequests::received(std::string_view line) {
    const Classified message = classify(line);
    if (message.kind != LineKind::response) {
        return;
    }
    std::lock_guard guard(lock_);
    const auto found = pending_.find(message.id);
    if (found != pending_.end() && --found->second == 0) {
        pending_.erase(found);
    }
}

std::size_t PendingRequests::count() const {
    std::lock_guard guard(lock_);
    std::size_t total = 0;
    for (const auto& [id, requests] : pending_) {
        total += static_cast<std::size_t>(requests);
    }
    return total;
}

}  // namespace fw::bridge
