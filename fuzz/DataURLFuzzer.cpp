// Data URLs: recognising, splitting, decoding and building must agree with each other.
// - A text that splits is recognised as a data URL; one not recognised does not split.
// - The URL built from a split's media type and bytes splits again to the same two.
// - Inside JSON, the text reads as the data case exactly when it splits, and writes back the
//   same bytes.
// - The input as bytes survives base64 and a data URL built from it.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "MCP/JSON/DataURL.h"
#include "MCP/JSON/JsonParser.h"
#include "MCP/JSON/JsonWriter.h"
#include "MCP/JSON/Value.h"
#include "fuzz/FuzzCheck.h"

namespace {

void checkText(std::string_view text) {
    using namespace mcp;
    const std::optional<DataURLComponents> parts = dataURLComponents(text);
    fuzz::check(!parts || isDataURL(text), "a text that splits is a data URL", text);
    if (parts) {
        fuzz::check(!parts->mimeType.empty(), "a split names a media type", text);
        const std::string rebuilt = makeDataURL(parts->bytes, parts->mimeType);
        const std::optional<DataURLComponents> again = dataURLComponents(rebuilt);
        fuzz::check(again && again->mimeType == parts->mimeType && again->bytes == parts->bytes,
                    "the rebuilt URL splits to the same media type and bytes", rebuilt);
    }

    std::string json;
    try {
        json = toJson(Value(std::string(text)));
    } catch (const EncodingError&) {
        return;  // not UTF-8: no JSON string can hold it
    }
    const std::optional<Value> value = tryParseJson(json);
    fuzz::check(value.has_value(), "a written string parses", json);
    if (parts) {
        const Value::Data* data = value->dataValue();
        fuzz::check(data && data->mimeType == parts->mimeType && data->bytes == parts->bytes,
                    "a data URL in JSON reads as its media type and bytes", json);
    } else {
        fuzz::check(value->stringValue() && *value->stringValue() == text,
                    "any other string in JSON reads as itself", json);
    }
    fuzz::check(toJson(*value) == json, "the value writes back the text it was read from", json);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace mcp;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    checkText(text);

    const std::span<const std::uint8_t> bytes(data, size);
    const std::optional<Bytes> decoded = base64Decode(base64Encode(bytes));
    fuzz::check(decoded && std::equal(decoded->begin(), decoded->end(), bytes.begin(), bytes.end()),
                "bytes survive base64");
    const std::optional<DataURLComponents> parts = dataURLComponents(makeDataURL(bytes));
    fuzz::check(
        parts && parts->mimeType == "text/plain" &&
            std::equal(parts->bytes.begin(), parts->bytes.end(), bytes.begin(), bytes.end()),
        "bytes survive a data URL");
    return 0;
}
