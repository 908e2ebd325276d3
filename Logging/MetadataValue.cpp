#include "Logging/MetadataValue.h"

#include <cstdio>
#include <cstdlib>
#include <limits>

#include "Logging/MetadataInterpolation.h"

namespace logging {

namespace {

// Text of a payload that was given as null: nothing.
class EmptyText final : public StringConvertible {
public:
    std::string description() const override { return {}; }
};

void appendCodePointEscape(std::string& out, unsigned codePoint) {
    char buffer[16];
    const int n = std::snprintf(buffer, sizeof buffer, "\\u{%x}", codePoint);
    out.append(buffer, static_cast<std::size_t>(n));
}

}  // namespace

std::string quotedStringLiteral(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    out.push_back('"');
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        switch (c) {
            case '\\':
                out.append("\\\\");
                continue;
            case '"':
                out.append("\\\"");
                continue;
            case '\'':
                out.append("\\'");
                continue;
            case '\t':
                out.append("\\t");
                continue;
            case '\n':
                out.append("\\n");
                continue;
            case '\r':
                out.append("\\r");
                continue;
            case '\0':
                out.append("\\0");
                continue;
            default:
                break;
        }
        if (c < 0x20 || c == 0x7f) {
            appendCodePointEscape(out, c);
        } else if (c == 0xc2 && i + 1 < text.size() &&
                   static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                   static_cast<unsigned char>(text[i + 1]) <= 0x9f) {
            // U+0080 to U+009F, the C1 control characters, in UTF-8.
            appendCodePointEscape(out, static_cast<unsigned char>(text[i + 1]));
            ++i;
        } else {
            out.push_back(static_cast<char>(c));
        }
    }
    out.push_back('"');
    return out;
}

MetadataValue::MetadataValue(std::shared_ptr<const StringConvertible> payload)
    : value_(payload ? std::move(payload) : std::make_shared<const EmptyText>()) {}

MetadataValue MetadataValue::dictionary(
    std::initializer_list<std::pair<std::string, MetadataValue>> entries) {
    Metadata metadata;
    for (const auto& [key, value] : entries) {
        if (!metadata.emplace(key, value).second) {
            std::fprintf(stderr, "Dictionary literal contains duplicate keys: \"%s\"\n",
                         key.c_str());
            std::abort();
        }
    }
    return MetadataValue(std::move(metadata));
}

MetadataValue MetadataValue::array(std::initializer_list<MetadataValue> elements) {
    return MetadataValue(Array(elements));
}

MetadataValue MetadataValue::describing(const StringConvertible& payload,
                                        MetadataValueAttributes attributes) {
    return MetadataValue(std::make_shared<const AttributedStringCarrier>(payload.description(),
                                                                         std::move(attributes)));
}

const StringConvertible* MetadataValue::asStringConvertible() const noexcept {
    const auto* payload = std::get_if<std::shared_ptr<const StringConvertible>>(&value_);
    return payload ? payload->get() : nullptr;
}

std::string MetadataValue::description() const {
    switch (kind()) {
        case Kind::string:
            return std::get<std::string>(value_);
        case Kind::stringConvertible:
            return asStringConvertible()->description();
        case Kind::dictionary: {
            const Metadata& dictionary = std::get<Metadata>(value_);
            if (dictionary.empty()) {
                return "[:]";
            }
            std::string out = "[";
            bool first = true;
            for (const auto& [key, value] : dictionary) {
                if (!first) {
                    out.append(", ");
                }
                first = false;
                out.append(quotedStringLiteral(key));
                out.append(": ");
                out.append(quotedStringLiteral(value.description()));
            }
            out.push_back(']');
            return out;
        }
        case Kind::array: {
            std::string out = "[";
            bool first = true;
            for (const MetadataValue& element : std::get<Array>(value_)) {
                if (!first) {
                    out.append(", ");
                }
                first = false;
                out.append(quotedStringLiteral(element.description()));
            }
            out.push_back(']');
            return out;
        }
    }
    return {};
}

MetadataValueAttributes MetadataValue::attributes() const {
    if (const auto* carrier = dynamic_cast<const AttributedStringCarrier*>(asStringConvertible())) {
        return carrier->metadataAttributes;
    }
    return {};
}

void MetadataValue::setAttributes(MetadataValueAttributes attributes) {
    switch (kind()) {
        case Kind::string:
            value_ = std::make_shared<const AttributedStringCarrier>(
                std::move(std::get<std::string>(value_)), std::move(attributes));
            return;
        case Kind::stringConvertible: {
            const StringConvertible* payload = asStringConvertible();
            const auto* carrier = dynamic_cast<const AttributedStringCarrier*>(payload);
            std::string text = carrier ? carrier->string : payload->description();
            value_ = std::make_shared<const AttributedStringCarrier>(std::move(text),
                                                                     std::move(attributes));
            return;
        }
        case Kind::dictionary:
        case Kind::array:
            return;
    }
}

bool operator==(const MetadataValue& a, const MetadataValue& b) {
    if (a.kind() != b.kind()) {
        return false;
    }
    switch (a.kind()) {
        case MetadataValue::Kind::string:
            return *a.asString() == *b.asString();
        case MetadataValue::Kind::stringConvertible:
            return a.asStringConvertible()->description() == b.asStringConvertible()->description();
        case MetadataValue::Kind::dictionary:
            return *a.asDictionary() == *b.asDictionary();
        case MetadataValue::Kind::array:
            return *a.asArray() == *b.asArray();
    }
    return false;
}

MetadataValue::StringInterpolation::StringInterpolation(std::size_t literalCapacity,
                                                        std::size_t interpolationCount) {
    constexpr auto kMax = static_cast<std::size_t>(std::numeric_limits<std::ptrdiff_t>::max());
    if (literalCapacity > kMax || interpolationCount > (kMax - literalCapacity) / 2) {
        std::fputs("Metadata interpolation capacity overflows.\n", stderr);
        std::abort();
    }
    output_.reserve(literalCapacity + 2 * interpolationCount);
}

MetadataValue::MetadataValue(StringInterpolation&& interpolation) {
    if (interpolation.hasAttributes_) {
        value_ = std::make_shared<const AttributedStringCarrier>(
            std::move(interpolation.output_), std::move(interpolation.attributes_));
    } else {
        value_ = std::move(interpolation.output_);
    }
}

}  // namespace logging
