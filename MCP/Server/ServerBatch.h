// ServerBatch (Server::Batch): a JSON-RPC batch as the server reads it, a JSON array of requests
// and notifications.
//
// Each element that has an "id" member is read as a request (its id a string or an integer, as
// the message classification wants), any other as a notification (both
// by the envelope rules: "jsonrpc" must be "2.0", "method" is required text, "params" optional).
// One element that does not decode makes the whole array fail (DecodingError), so a response
// object inside a batch makes it no batch at all. An empty array is an empty batch. Written back
// as the array of its items. A plain value.
#pragma once

#include <variant>
#include <vector>

#include "MCP/JSON/Coding.h"
#include "MCP/JSON/Value.h"
#include "MCP/Messages/Message.h"
#include "MCP/Messages/MessageClassification.h"
#include "MCP/Messages/Method.h"
#include "MCP/Messages/Request.h"

namespace mcp {

struct ServerBatch {
    using Item = std::variant<Request<AnyMethod>, Message<AnyNotification>>;

    std::vector<Item> items;

    // Throws DecodingError (typeMismatch for anything but an array).
    static ServerBatch fromValue(Value&& value) {
        auto* array = value.arrayValue();
        if (array == nullptr) {
            throwWrongKind(value, "an array");
        }
        ServerBatch batch;
        batch.items.reserve(array->size());
        for (std::size_t index = 0; index < array->size(); ++index) {
            Value& element = (*array)[index];
            decodingAt(index, [&] {
                if (const Value* id = element.find("id")) {
                    // An id no answer can carry makes no request here either.
                    if (!readableID(id)) {
                        throw DecodingError::dataCorrupted({}, "ID must be string or number");
                    }
                    batch.items.emplace_back(Request<AnyMethod>::fromValue(std::move(element)));
                } else {
                    batch.items.emplace_back(
                        Message<AnyNotification>::fromValue(std::move(element)));
                }
            });
        }
        return batch;
    }

    Value toValue() const {
        Array array;
        array.reserve(items.size());
        for (const Item& item : items) {
            array.push_back(
                std::visit([](const auto& envelope) { return envelope.toValue(); }, item));
        }
        return Value(std::move(array));
    }
};

}  // namespace mcp
