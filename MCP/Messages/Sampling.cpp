// The single-or-array rule of sampling message content.
#include "MCP/Messages/Sampling.h"

#include <cstdint>

namespace mcp::Sampling {

std::vector<MessageContent::ContentBlock> MessageContent::blocks() const {
    if (const ContentBlock* block = single()) {
        return {*block};
    }
    return *multiple();
}

Value MessageContent::toValue() const {
    if (const ContentBlock* block = single()) {
        return block->toValue();
    }
    return encodeValue(*multiple());
}

MessageContent MessageContent::fromValue(const Value& value) {
    if (value.arrayValue() != nullptr) {
        try {
            auto blocks = decodeValue<std::vector<ContentBlock>>(value);
            if (blocks.size() == 1) {
                return MessageContent(std::move(blocks.front()));
            }
            return MessageContent(std::move(blocks));
        } catch (const DecodingError&) {
            // Read as one block below; that failure is the one reported.
        }
    }
    return MessageContent(ContentBlock::fromValue(value));
}

bool operator==(const MessageContent& a, const MessageContent& b) {
    if (a.storage_.index() != b.storage_.index()) {
        return false;
    }
    if (const auto* block = a.single()) {
        return *block == *b.single();
    }
    return codingEquals(*a.multiple(), *b.multiple());
}

std::size_t MessageContent::hash() const {
    Hasher hasher;
    hasher.combine(static_cast<std::uint64_t>(storage_.index()));
    if (const ContentBlock* block = single()) {
        hashInto(hasher, *block);
    } else {
        hashInto(hasher, *multiple());
    }
    return hasher.finish();
}

}  // namespace mcp::Sampling
