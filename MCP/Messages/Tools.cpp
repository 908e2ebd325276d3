// The checks behind the tool messages' conveniences.
#include "MCP/Messages/Tools.h"

#include <cmath>
#include <string>

#include "MCP/JSON/JsonWriter.h"

namespace mcp {

namespace {

// Throws EncodingError at the first number JSON cannot carry, with the path leading to it.
void checkFinite(const Value& value, CodingPath& path) {
    if (auto d = value.doubleValue(); d && !std::isfinite(*d)) {
        throw EncodingError(path, std::string("Unable to encode ") +
                                      (std::isnan(*d) ? "NaN" : "an infinite number") +
                                      " in JSON.");
    }
    if (const Array* array = value.arrayValue()) {
        for (std::size_t i = 0; i < array->size(); ++i) {
            path.push_back(CodingKey::at(i));
            checkFinite((*array)[i], path);
            path.pop_back();
        }
    } else if (const Object* object = value.objectValue()) {
        for (const auto& [key, member] : *object) {
            path.push_back(CodingKey::key(key));
            checkFinite(member, path);
            path.pop_back();
        }
    }
}

}  // namespace

void CallTool::Result::requireJsonRepresentable(const Value& value) {
    CodingPath path;
    checkFinite(value, path);
}

}  // namespace mcp
