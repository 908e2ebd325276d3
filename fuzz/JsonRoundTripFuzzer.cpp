// JSON text through the parser and the writer.
// - Beside an integer beyond 64 bits, which sends the document down the parser's second path, the
//   text is accepted or refused, and read, exactly as beside a small integer.
// - A text the parser takes reads the same alone and inside an array; its written text parses
//   again to an equal value, and writing that value gives the same bytes.
// Texts the parser refuses must be refused cleanly (no crash, no leak).
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "MCP/JSON/JsonParser.h"
#include "MCP/JSON/JsonWriter.h"
#include "MCP/JSON/Value.h"
#include "fuzz/FuzzCheck.h"

namespace {

// The elements of `array` but the last, as JSON.
std::string allButLast(const mcp::Value& array) {
    mcp::Array elements = *array.arrayValue();
    elements.pop_back();
    return mcp::toJson(mcp::Value(std::move(elements)));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace mcp;
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    // The same text before a small and before a big integer: the parser's two paths must agree
    // on whether the text is JSON and on what it holds. One level deeper: the limit grows with it.
    const JsonReadOptions deeper{513};
    const std::optional<Value> small =
        tryParseJson("[" + std::string(text) + ",1]", nullptr, deeper);
    const std::optional<Value> big =
        tryParseJson("[" + std::string(text) + ",18446744073709551616]", nullptr, deeper);
    fuzz::check(small.has_value() == big.has_value(),
                "the text is JSON beside a small integer exactly when it is beside a big one",
                small ? toJson(*small) : toJson(*big));
    if (small) {
        fuzz::check(allButLast(*small) == allButLast(*big),
                    "the text reads the same beside a small and a big integer",
                    toJson(*small) + " and " + toJson(*big));
    }

    const std::optional<Value> value = tryParseJson(text);
    if (!value) {
        return 0;
    }
    const std::string written = toJson(*value);
    fuzz::check(small && small->arrayValue()->size() == 2 &&
                    toJson(small->arrayValue()->front()) == written,
                "the text reads the same alone and inside an array", written);
    const std::optional<Value> again = tryParseJson(written);
    fuzz::check(again.has_value(), "the written text parses", written);
    fuzz::check(*again == *value, "the written text parses to an equal value", written);
    fuzz::check(toJson(*again) == written, "writing the value again gives the same bytes", written);
    return 0;
}
