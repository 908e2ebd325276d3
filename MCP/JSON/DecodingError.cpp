// Construction and rendering of decoding failures.
#include "MCP/JSON/DecodingError.h"

#include <utility>

namespace mcp {

std::string describeCodingPath(const CodingPath& path) {
    std::string text;
    for (const CodingKey& key : path) {
        if (key.index) {
            text += '[';
            text += std::to_string(*key.index);
            text += ']';
        } else {
            if (!text.empty()) {
                text += '.';
            }
            text += key.stringValue;
        }
    }
    return text;
}

DecodingError::DecodingError(Kind kind, CodingPath codingPath, std::string debugDescription)
    : kind_(kind),
      codingPath_(std::move(codingPath)),
      debugDescription_(std::move(debugDescription)) {
    updateMessage();
}

DecodingError DecodingError::keyNotFound(CodingPath codingPath, std::string_view key) {
    std::string text = "No value associated with key \"";
    text += key;
    text += "\".";
    codingPath.push_back(CodingKey::key(std::string(key)));
    return DecodingError(Kind::keyNotFound, std::move(codingPath), std::move(text));
}

DecodingError DecodingError::typeMismatch(CodingPath codingPath, std::string_view expected,
                                          std::string_view found) {
    std::string text = "Expected to decode ";
    text += expected;
    text += " but found ";
    text += found;
    text += " instead.";
    return DecodingError(Kind::typeMismatch, std::move(codingPath), std::move(text));
}

DecodingError DecodingError::valueNotFound(CodingPath codingPath, std::string_view expected) {
    std::string text = "Expected ";
    text += expected;
    text += " value but found null instead.";
    return DecodingError(Kind::valueNotFound, std::move(codingPath), std::move(text));
}

DecodingError DecodingError::dataCorrupted(CodingPath codingPath, std::string description) {
    return DecodingError(Kind::dataCorrupted, std::move(codingPath), std::move(description));
}

DecodingError DecodingError::prepending(CodingKey key) const& {
    DecodingError copy = *this;
    return std::move(copy).prepending(std::move(key));
}

DecodingError DecodingError::prepending(CodingKey key) && {
    codingPath_.insert(codingPath_.begin(), std::move(key));
    updateMessage();
    return std::move(*this);
}

void DecodingError::updateMessage() {
    message_ = debugDescription_;
    if (!codingPath_.empty()) {
        message_ += " (at ";
        message_ += describeCodingPath(codingPath_);
        message_ += ')';
    }
}

std::string_view toString(DecodingError::Kind kind) noexcept {
    switch (kind) {
        case DecodingError::Kind::typeMismatch:
            return "typeMismatch";
        case DecodingError::Kind::valueNotFound:
            return "valueNotFound";
        case DecodingError::Kind::keyNotFound:
            return "keyNotFound";
        case DecodingError::Kind::dataCorrupted:
            return "dataCorrupted";
    }
    return "dataCorrupted";
}

}  // namespace mcp
