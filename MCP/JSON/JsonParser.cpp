// JSON text to Value on top of simdjson.
//
// The fast path is simdjson's DOM parser: its two stages run in the SIMD kernel chosen for this
// CPU, validate UTF-8, structure, strings, numbers and depth, and leave a tape that records the
// size of every array and object, so each container of the Value is allocated once at its final
// size. The DOM parser refuses integers beyond 64 bits; such texts are read again with the
// On-Demand parser, which walks the same structure and hands over each number's own text, read by
// readJsonNumber as the DOM parser reads numbers. Each thread keeps its own parsers and padded
// input buffer, so once warm a parse allocates only the strings, arrays and objects of the
// resulting Value. A visit (MCP/JsonElement.h) stops after the DOM parser and hands out its tape.
#include "MCP/JSON/JsonParser.h"

#include <simdjson.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <tuple>
#include <utility>
#include <vector>

#include "MCP/JSON/DataURL.h"
#include "MCP/JSON/JsonElement.h"
#include "MCP/JSON/detail/JsonNumber.h"

namespace mcp {

namespace od = simdjson::ondemand;

namespace {

constexpr const char* kInvalid = "The given data was not valid JSON";

enum class Failure {
    none,
    empty,
    utf8,
    string,
    number,
    structure,
    depth,
    capacity,
};

std::string describe(Failure failure, std::size_t maxDepth) {
    std::string text = kInvalid;
    switch (failure) {
        case Failure::none:
        case Failure::structure:
            text += ": the text is malformed or truncated.";
            break;
        case Failure::empty:
            text += ": the text is empty.";
            break;
        case Failure::utf8:
            text += ": the text is not valid UTF-8.";
            break;
        case Failure::string:
            text +=
                ": a string holds an invalid escape, an unpaired surrogate or a control character.";
            break;
        case Failure::number:
            text += ": a number is malformed or too large.";
            break;
        case Failure::depth:
            text += ": arrays and objects are nested more than " + std::to_string(maxDepth) +
                    " levels deep.";
            break;
        case Failure::capacity:
            text += ": the text is too large.";
            break;
    }
    return text;
}

bool isJsonSpace(char c) noexcept {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

Failure classify(simdjson::error_code error) {
    switch (error) {
        case simdjson::SUCCESS:
            return Failure::none;
        case simdjson::EMPTY:
            return Failure::empty;
        case simdjson::UTF8_ERROR:
            return Failure::utf8;
        case simdjson::STRING_ERROR:
        case simdjson::UNESCAPED_CHARS:
        case simdjson::UNCLOSED_STRING:
            return Failure::string;
        case simdjson::NUMBER_ERROR:
        case simdjson::NUMBER_OUT_OF_RANGE:
            return Failure::number;
        case simdjson::DEPTH_ERROR:
            return Failure::depth;
        case simdjson::CAPACITY:
            return Failure::capacity;
        default:
            return Failure::structure;
    }
}

}  // namespace

// Reads one document. One instance per thread (see withReader()); not reentrant.
class JsonReader {
public:
    // Whether a visit is under way: the element it handed out lives in this reader's buffers.
    bool busy() const noexcept { return busy_; }

    // The nesting limit of the last read: the option, capped at what the parser can nest.
    std::size_t maxDepth() const noexcept { return maxDepth_; }

    Failure read(std::string_view text, const JsonReadOptions& options, Value& out) {
        maxDepth_ = std::min(options.maxDepth, kParserDepth);
        copyPadded(text);
        if (!prepareDom()) {
            return Failure::capacity;
        }
        simdjson::dom::element root;
        const simdjson::error_code error =
            domParser_.parse(buffer_.data(), text.size(), false).get(root);
        if (!error) {
            return readElement(root, out, 0, maxDepth_);
        }
        if (error != simdjson::NUMBER_ERROR) {
            return classify(error);
        }
        // Possibly an integer beyond 64 bits: the On-Demand reader takes it as a double and finds
        // the genuinely malformed numbers.
        return readOnDemand(text, out);
    }

    // Parses `text` with the default options and hands its root to `callback`; false, without a
    // call, for a text that read() would refuse or could only read with the On-Demand parser.
    bool visit(std::string_view text, detail::JsonVisit callback, void* context) {
        maxDepth_ = std::min(JsonReadOptions{}.maxDepth, kParserDepth);
        copyPadded(text);
        if (!prepareDom()) {
            return false;
        }
        simdjson::dom::element root;
        if (domParser_.parse(buffer_.data(), text.size(), false).get(root)) {
            return false;
        }
        // Nesting beyond the limit takes two characters a level: shorter texts cannot hold it.
        if (text.size() >= 2 * maxDepth_ && !withinDepth(root, 0)) {
            return false;
        }
        JsonElement element;
        std::memcpy(static_cast<void*>(element.element_), static_cast<const void*>(&root),
                    sizeof root);
        busy_ = true;
        struct Release {
            bool& busy;
            ~Release() { busy = false; }
        } release{busy_};
        callback(context, element);
        return true;
    }

    // The Value of an element of a visited document (whose depth was checked by the visit).
    static Value build(const JsonElement& element) {
        simdjson::dom::element source;
        std::memcpy(static_cast<void*>(&source), static_cast<const void*>(element.element_),
                    sizeof source);
        Value out;
        readElement(source, out, 0, kParserDepth);
        return out;
    }

    // Gives back the buffers of an unusually large document, so a thread does not keep tens of
    // megabytes for the rest of its life after one big message.
    void trim() {
        if (buffer_.size() <= kKeepBytes) {
            return;
        }
        std::vector<char>().swap(buffer_);
        domParser_ = simdjson::dom::parser();
        domReady_ = false;
        parser_ = od::parser();
    }

private:
    static constexpr std::size_t kParserDepth = 1024;
    static constexpr std::size_t kKeepBytes = std::size_t{8} << 20;

    bool prepareDom() {
        if (!domReady_) {
            if (domParser_.allocate(4096, kParserDepth + 1)) {
                return false;
            }
            domReady_ = true;
        }
        return true;
    }

    // Whether no array or object of `element` (at `depth`) lies at maxDepth_ or deeper.
    bool withinDepth(const simdjson::dom::element& element, std::size_t depth) const {
        namespace dom = simdjson::dom;
        if (element.is_array()) {
            if (depth >= maxDepth_) {
                return false;
            }
            const dom::array array = element.get_array().value_unsafe();
            for (const dom::element child : array) {
                if (!withinDepth(child, depth + 1)) {
                    return false;
                }
            }
        } else if (element.is_object()) {
            if (depth >= maxDepth_) {
                return false;
            }
            const dom::object object = element.get_object().value_unsafe();
            for (const dom::key_value_pair field : object) {
                if (!withinDepth(field.value, depth + 1)) {
                    return false;
                }
            }
        }
        return true;
    }

    void copyPadded(std::string_view text) {
        // simdjson reads up to SIMDJSON_PADDING bytes past the end: parse from our own padded copy.
        const std::size_t needed = text.size() + simdjson::SIMDJSON_PADDING;
        if (buffer_.size() < needed) {
            buffer_.resize(needed);
        }
        std::memcpy(buffer_.data(), text.data(), text.size());
        std::memset(buffer_.data() + text.size(), 0, simdjson::SIMDJSON_PADDING);
    }

    static Value makeString(std::string_view text) {
        if (text.starts_with("data:")) {
            if (std::optional<Value> data = Value::fromDataURL(text)) {
                return std::move(*data);
            }
        }
        return Value(std::string(text));
    }

    // Builds into `out`, which is null on entry, in place: each container is allocated once at its
    // final size and every element is constructed where it stays.
    static Failure readElement(const simdjson::dom::element& element, Value& out, std::size_t depth,
                               std::size_t maxDepth) {
        namespace dom = simdjson::dom;
        switch (element.type()) {
            case dom::element_type::ARRAY: {
                if (depth >= maxDepth) {
                    return Failure::depth;
                }
                const dom::array array = element.get_array().value_unsafe();
                Array& result = out.storage_.emplace<5>();
                result.reserve(array.size());
                for (const dom::element child : array) {
                    // No reallocation: the capacity is the exact element count.
                    if (Failure failure =
                            readElement(child, result.emplace_back(), depth + 1, maxDepth);
                        failure != Failure::none) {
                        return failure;
                    }
                }
                return Failure::none;
            }
            case dom::element_type::OBJECT: {
                if (depth >= maxDepth) {
                    return Failure::depth;
                }
                const dom::object object = element.get_object().value_unsafe();
                std::vector<Object::Entry> entries;
                entries.reserve(object.size());
                for (const dom::key_value_pair field : object) {
                    Object::Entry& entry = entries.emplace_back(
                        std::piecewise_construct, std::forward_as_tuple(field.key), std::tuple<>());
                    if (Failure failure =
                            readElement(field.value, entry.second, depth + 1, maxDepth);
                        failure != Failure::none) {
                        return failure;
                    }
                }
                out.storage_.emplace<6>(Object::fromEntries(std::move(entries)));
                return Failure::none;
            }
            case dom::element_type::INT64:
                out.storage_.emplace<1>(element.get_int64().value_unsafe());
                return Failure::none;
            case dom::element_type::UINT64:
                // Above the signed range: the nearest double, as when reading the digits as one.
                out.storage_.emplace<2>(static_cast<double>(element.get_uint64().value_unsafe()));
                return Failure::none;
            case dom::element_type::DOUBLE:
                out.storage_.emplace<2>(element.get_double().value_unsafe());
                return Failure::none;
            case dom::element_type::STRING: {
                const std::string_view text = element.get_string().value_unsafe();
                if (text.starts_with("data:")) {
                    out = makeString(text);
                } else {
                    out.storage_.emplace<3>(text);
                }
                return Failure::none;
            }
            case dom::element_type::BOOL:
                out.storage_.emplace<0>(element.get_bool().value_unsafe());
                return Failure::none;
            case dom::element_type::NULL_VALUE:
                return Failure::none;
        }
        return Failure::structure;
    }

    Failure readOnDemand(std::string_view text, Value& out) {
        od::document document;
        simdjson::error_code error =
            parser_.iterate(buffer_.data(), text.size(), buffer_.size()).get(document);
        if (error) {
            return classify(error);
        }
        od::json_type type;
        if ((error = document.type().get(type))) {
            return classify(error);
        }
        // Nothing may follow the root value. Skipping it only walks the structural index; the walk
        // below starts again from the beginning.
        std::string_view root;
        if ((error = document.raw_json().get(root))) {
            return classify(error);
        }
        const char* const textEnd = buffer_.data() + text.size();
        for (const char* p = root.data() + root.size(); p < textEnd; ++p) {
            if (!isJsonSpace(*p)) {
                return Failure::structure;
            }
        }
        document.rewind();

        Failure failure = Failure::none;
        if (type == od::json_type::array || type == od::json_type::object) {
            od::value value;
            if ((error = document.get_value().get(value))) {
                return classify(error);
            }
            failure = readValue(value, type, out, 0);
        } else {
            failure = readScalar(document, type, out);
        }
        if (failure != Failure::none) {
            releaseScratch();
            return failure;
        }
        return Failure::none;
    }

    template <class Source>
    Failure readScalar(Source& source, od::json_type type, Value& out) {
        simdjson::error_code error = simdjson::SUCCESS;
        switch (type) {
            case od::json_type::number: {
                // The number's own text, converted here: the reader's conversions can misread a
                // long number (at the top level or next to a number it cannot take) and refuse
                // long exponents.
                std::string_view token;
                if ((error = simdjson::simdjson_result<std::string_view>(source.raw_json_token())
                                 .get(token))) {
                    return classify(error);
                }
                while (!token.empty() && isJsonSpace(token.back())) {
                    token.remove_suffix(1);
                }
                std::optional<Value> number = detail::readJsonNumber(token);
                if (!number) {
                    return Failure::number;
                }
                out = std::move(*number);
                return Failure::none;
            }
            case od::json_type::string: {
                std::string_view text;
                if ((error = source.get_string().get(text))) {
                    return classify(error);
                }
                out = makeString(text);
                return Failure::none;
            }
            case od::json_type::boolean: {
                bool b;
                if ((error = source.get_bool().get(b))) {
                    return classify(error);
                }
                out = Value(b);
                return Failure::none;
            }
            case od::json_type::null: {
                bool isNull = false;
                if ((error = source.is_null().get(isNull)) || !isNull) {
                    return Failure::structure;
                }
                out = Value();
                return Failure::none;
            }
            default:
                return Failure::structure;
        }
    }

    Failure readValue(od::value& value, od::json_type type, Value& out, std::size_t depth) {
        if (type == od::json_type::array) {
            if (depth >= maxDepth_) {
                return Failure::depth;
            }
            od::array array;
            if (auto error = value.get_array().get(array)) {
                return classify(error);
            }
            const std::size_t start = elements_.size();
            for (auto slot : array) {
                od::value item;
                if (auto error = slot.get(item)) {
                    return classify(error);
                }
                od::json_type itemType;
                if (auto error = item.type().get(itemType)) {
                    return classify(error);
                }
                // Read into a local: the nested read may grow (and move) the scratch stack.
                Value element;
                if (Failure failure = readValue(item, itemType, element, depth + 1);
                    failure != Failure::none) {
                    return failure;
                }
                elements_.push_back(std::move(element));
            }
            Array result;
            result.reserve(elements_.size() - start);
            std::move(elements_.begin() + static_cast<std::ptrdiff_t>(start), elements_.end(),
                      std::back_inserter(result));
            elements_.resize(start);
            out = Value(std::move(result));
            return Failure::none;
        }
        if (type == od::json_type::object) {
            if (depth >= maxDepth_) {
                return Failure::depth;
            }
            od::object object;
            if (auto error = value.get_object().get(object)) {
                return classify(error);
            }
            const std::size_t start = members_.size();
            for (auto field : object) {
                std::string_view key;
                if (auto error = field.unescaped_key().get(key)) {
                    return classify(error);
                }
                od::value item;
                if (auto error = field.value().get(item)) {
                    return classify(error);
                }
                od::json_type itemType;
                if (auto error = item.type().get(itemType)) {
                    return classify(error);
                }
                Value member;
                if (Failure failure = readValue(item, itemType, member, depth + 1);
                    failure != Failure::none) {
                    return failure;
                }
                members_.emplace_back(std::string(key), std::move(member));
            }
            std::vector<Object::Entry> entries;
            entries.reserve(members_.size() - start);
            std::move(members_.begin() + static_cast<std::ptrdiff_t>(start), members_.end(),
                      std::back_inserter(entries));
            members_.resize(start);
            out = Value(Object::fromEntries(std::move(entries)));
            return Failure::none;
        }
        return readScalar(value, type, out);
    }

    // After a failure the scratch stacks may hold partial containers; drop them (keeping capacity).
    void releaseScratch() {
        elements_.clear();
        members_.clear();
    }

    simdjson::dom::parser domParser_;
    bool domReady_ = false;
    od::parser parser_;
    std::vector<char> buffer_;
    std::vector<Value> elements_;
    std::vector<Object::Entry> members_;
    std::size_t maxDepth_ = 0;
    bool busy_ = false;
};

namespace {

// Runs `read(reader)` with this thread's reader, or with a reader of its own while the thread's
// reader holds the document of a visit that is under way.
template <class Read>
auto withReader(Read&& read) {
    thread_local JsonReader instance;
    if (instance.busy()) {
        JsonReader own;
        return read(own);
    }
    auto result = read(instance);
    instance.trim();
    return result;
}

}  // namespace

std::optional<Value> tryParseJson(std::string_view text, DecodingError* error,
                                  const JsonReadOptions& options) {
    return withReader([&](JsonReader& instance) -> std::optional<Value> {
        Value value;
        const Failure failure = instance.read(text, options, value);
        if (failure == Failure::none) {
            return value;
        }
        if (error) {
            *error = DecodingError::dataCorrupted({}, describe(failure, instance.maxDepth()));
        }
        return std::nullopt;
    });
}

Value parseJson(std::string_view text, const JsonReadOptions& options) {
    return withReader([&](JsonReader& instance) {
        Value value;
        const Failure failure = instance.read(text, options, value);
        if (failure != Failure::none) {
            throw DecodingError::dataCorrupted({}, describe(failure, instance.maxDepth()));
        }
        return value;
    });
}

bool detail::visitJson(std::string_view text, JsonVisit visit, void* context) {
    return withReader(
        [&](JsonReader& instance) { return instance.visit(text, visit, context); });
}

Value JsonElement::toValue() const {
    return JsonReader::build(*this);
}

}  // namespace mcp
