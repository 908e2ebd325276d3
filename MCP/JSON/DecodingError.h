// DecodingError: why a JSON text or a Value could not be read as the type asked for.
//
// Every coded type of the MCP library reports its decoding failures with this one type: the kind of
// failure, the coding path from the top of the document to the place where it happened (object keys
// and array indices), and a description. Decoders throw it; callers that relay it keep it intact
// and only prepend path components while it travels outwards (see `prepending`).
//
// A plain value: copyable, comparable, immutable once built; safe to pass between threads.
#pragma once

#include <cstddef>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace mcp {

// One step of a coding path: an object key, or an index into an array.
struct CodingKey {
    std::string stringValue;           // the key; for an index its decimal form, "Index 3"
    std::optional<std::size_t> index;  // set for array positions only

    static CodingKey key(std::string name) { return CodingKey{std::move(name), std::nullopt}; }
    static CodingKey at(std::size_t position) {
        return CodingKey{"Index " + std::to_string(position), position};
    }

    friend bool operator==(const CodingKey&, const CodingKey&) = default;
};

using CodingPath = std::vector<CodingKey>;

// Renders a path the way people read it: params.arguments[0].name; the empty path renders as "".
std::string describeCodingPath(const CodingPath& path);

class DecodingError : public std::exception {
public:
    enum class Kind {
        typeMismatch,   // the value has another JSON type than the one required
        valueNotFound,  // the value is null (or absent) where one is required
        keyNotFound,    // a required key is missing from an object
        dataCorrupted,  // the value has the right type but cannot be read (or the text is no JSON)
    };

    DecodingError(Kind kind, CodingPath codingPath, std::string debugDescription);

    // The common failures, with their standard descriptions.
    //
    // keyNotFound: `codingPath` is the path of the object; the missing key is appended to it, so
    // codingPath() ends with the key. Description: No value associated with key "name".
    static DecodingError keyNotFound(CodingPath codingPath, std::string_view key);
    // typeMismatch: "Expected to decode <expected> but found <found> instead." where both are nouns
    // such as "string", "an object", "a number" (Value::typeDescription() gives `found`).
    static DecodingError typeMismatch(CodingPath codingPath, std::string_view expected,
                                      std::string_view found);
    // valueNotFound: "Expected <expected> value but found null instead."
    static DecodingError valueNotFound(CodingPath codingPath, std::string_view expected);
    // dataCorrupted with a fixed description, e.g. "Value type not found".
    static DecodingError dataCorrupted(CodingPath codingPath, std::string description);

    Kind kind() const noexcept { return kind_; }
    const CodingPath& codingPath() const noexcept { return codingPath_; }
    // The bare description, e.g. "Invalid params field".
    const std::string& debugDescription() const noexcept { return debugDescription_; }

    // The same failure seen from one level further out: `key` is put in front of the path.
    DecodingError prepending(CodingKey key) const&;
    DecodingError prepending(CodingKey key) &&;

    // A complete sentence for people and logs: the description, then " (at params.name)" when the
    // path is not empty.
    const char* what() const noexcept override { return message_.c_str(); }

    friend bool operator==(const DecodingError& a, const DecodingError& b) {
        return a.kind_ == b.kind_ && a.codingPath_ == b.codingPath_ &&
               a.debugDescription_ == b.debugDescription_;
    }

private:
    void updateMessage();

    Kind kind_;
    CodingPath codingPath_;
    std::string debugDescription_;
    std::string message_;
};

// "typeMismatch", "valueNotFound", "keyNotFound", "dataCorrupted".
std::string_view toString(DecodingError::Kind kind) noexcept;

}  // namespace mcp
