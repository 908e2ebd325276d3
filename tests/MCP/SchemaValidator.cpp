#include "tests/MCP/SchemaValidator.h"

#include <cmath>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "MCP/JSON/JsonParser.h"
#include "MCP/JSON/JsonWriter.h"

namespace mcp::testing {

namespace {

// Keywords that describe and never constrain.
bool isAnnotation(std::string_view keyword) {
    for (std::string_view annotation : {"description", "title", "default", "format", "$schema",
                                        "$comment", "examples", "deprecated", "readOnly",
                                        "writeOnly", "enumNames"}) {
        if (keyword == annotation) {
            return true;
        }
    }
    return false;
}

bool isText(const Value& value) {
    return value.kind() == Value::Kind::String || value.kind() == Value::Kind::Data;
}

bool isInteger(const Value& value) {
    if (value.kind() == Value::Kind::Int) {
        return true;
    }
    const auto number = value.doubleValue();
    return number && std::isfinite(*number) && std::trunc(*number) == *number;
}

bool hasType(const Value& value, std::string_view type) {
    if (type == "string") {
        return isText(value);
    }
    if (type == "integer") {
        return isInteger(value);
    }
    if (type == "number") {
        return value.kind() == Value::Kind::Int || value.kind() == Value::Kind::Double;
    }
    if (type == "boolean") {
        return value.kind() == Value::Kind::Bool;
    }
    if (type == "object") {
        return value.objectValue() != nullptr;
    }
    if (type == "array") {
        return value.arrayValue() != nullptr;
    }
    if (type == "null") {
        return value.isNull();
    }
    return false;
}

// Equality as JSON Schema sees it: 1 and 1.0 are the same number, a data URL is its text.
bool sameJson(const Value& a, const Value& b) {
    if (isText(a) && isText(b)) {
        return a.jsonString() == b.jsonString();
    }
    const auto numberA = a.asDouble();
    const auto numberB = b.asDouble();
    if (numberA && numberB && a.kind() != Value::Kind::Bool && b.kind() != Value::Kind::Bool) {
        return *numberA == *numberB;
    }
    return a == b;
}

std::size_t characterCount(const std::string& text) {
    std::size_t count = 0;
    for (const char byte : text) {
        count += (static_cast<unsigned char>(byte) & 0xC0) != 0x80;
    }
    return count;
}

std::string shown(const Value& value) {
    try {
        std::string text = toJson(value);
        return text.size() > 80 ? text.substr(0, 77) + "..." : text;
    } catch (const std::exception&) {
        return value.description();
    }
}

}  // namespace

SchemaValidator::SchemaValidator(Value document) : document_(std::move(document)) {}

SchemaValidator SchemaValidator::fromFile(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        throw std::runtime_error("The schema file " + path.string() + " cannot be read.");
    }
    const std::string text((std::istreambuf_iterator<char>(file)),
                           std::istreambuf_iterator<char>());
    std::optional<Value> document = tryParseJson(text);
    if (!document) {
        throw std::runtime_error("The schema file " + path.string() + " is no JSON.");
    }
    return SchemaValidator(std::move(*document));
}

std::vector<std::string> SchemaValidator::problems(const Value& instance,
                                                   std::string_view name) const {
    std::vector<std::string> found;
    const std::string reference = "#/$defs/" + std::string(name);
    if (definition(reference) == nullptr) {
        found.push_back("The schema has no definition " + std::string(name) + ".");
        return found;
    }
    check(instance, Value::object({{"$ref", reference}}), "$", found);
    return found;
}

const Value* SchemaValidator::definition(std::string_view reference) const {
    constexpr std::string_view prefix = "#/$defs/";
    if (reference.substr(0, prefix.size()) != prefix) {
        return nullptr;
    }
    const Value* definitions = document_.find("$defs");
    return definitions ? definitions->find(reference.substr(prefix.size())) : nullptr;
}

void SchemaValidator::check(const Value& instance, const Value& schema, const std::string& at,
                            std::vector<std::string>& problems) const {
    if (const auto accepting = schema.boolValue()) {
        if (!*accepting) {
            problems.push_back(at + ": no value is allowed here.");
        }
        return;
    }
    const Object* keywords = schema.objectValue();
    if (keywords == nullptr) {
        problems.push_back(at + ": the schema here is neither an object nor a boolean.");
        return;
    }
    auto fail = [&](const std::string& what) { problems.push_back(at + ": " + what); };
    // Whether `instance` is valid against `sub`, without reporting why not.
    auto valid = [&](const Value& sub) {
        std::vector<std::string> ignored;
        check(instance, sub, at, ignored);
        return ignored.empty();
    };
    for (const auto& [keyword, argument] : *keywords) {
        if (isAnnotation(keyword)) {
            continue;
        }
        if (keyword == "$ref") {
            const std::string reference = argument.jsonString().value_or("");
            if (const Value* target = definition(reference)) {
                check(instance, *target, at, problems);
            } else {
                fail("the reference " + reference + " names no definition.");
            }
        } else if (keyword == "type") {
            bool matches = false;
            if (const Array* types = argument.arrayValue()) {
                for (const Value& type : *types) {
                    matches = matches || hasType(instance, type.jsonString().value_or(""));
                }
            } else {
                matches = hasType(instance, argument.jsonString().value_or(""));
            }
            if (!matches) {
                fail(shown(instance) + " is not of type " + shown(argument) + ".");
            }
        } else if (keyword == "const") {
            if (!sameJson(instance, argument)) {
                fail(shown(instance) + " is not " + shown(argument) + ".");
            }
        } else if (keyword == "enum") {
            bool listed = false;
            for (const Value& option : argument.arrayValue() ? *argument.arrayValue() : Array{}) {
                listed = listed || sameJson(instance, option);
            }
            if (!listed) {
                fail(shown(instance) + " is none of " + shown(argument) + ".");
            }
        } else if (keyword == "properties" || keyword == "additionalProperties" ||
                   keyword == "required") {
            const Object* object = instance.objectValue();
            if (object == nullptr) {
                continue;
            }
            if (keyword == "required") {
                for (const Value& name : *argument.arrayValue()) {
                    if (object->find(*name.jsonString()) == nullptr) {
                        fail("the member \"" + *name.jsonString() + "\" is missing.");
                    }
                }
            } else if (keyword == "properties") {
                for (const auto& [name, member] : *object) {
                    if (const Value* sub = argument.find(name)) {
                        check(member, *sub, at + "." + name, problems);
                    }
                }
            } else {
                const Value* properties = schema.find("properties");
                for (const auto& [name, member] : *object) {
                    if (properties == nullptr || properties->find(name) == nullptr) {
                        check(member, argument, at + "." + name, problems);
                    }
                }
            }
        } else if (keyword == "items" || keyword == "minItems" || keyword == "maxItems") {
            const Array* elements = instance.arrayValue();
            if (elements == nullptr) {
                continue;
            }
            if (keyword == "items") {
                for (std::size_t index = 0; index < elements->size(); ++index) {
                    check((*elements)[index], argument, at + "[" + std::to_string(index) + "]",
                          problems);
                }
            } else if (keyword == "minItems" &&
                       elements->size() < static_cast<std::size_t>(*argument.asInt(false))) {
                fail("the array has fewer than " + shown(argument) + " elements.");
            } else if (keyword == "maxItems" &&
                       elements->size() > static_cast<std::size_t>(*argument.asInt(false))) {
                fail("the array has more than " + shown(argument) + " elements.");
            }
        } else if (keyword == "minimum" || keyword == "maximum") {
            const auto number = instance.kind() == Value::Kind::Bool ? std::nullopt
                                                                     : instance.asDouble();
            const double bound = argument.asDouble().value_or(0);
            if (number && (keyword == "minimum" ? *number < bound : *number > bound)) {
                fail(shown(instance) + " is beyond the " + keyword + " " + shown(argument) + ".");
            }
        } else if (keyword == "minLength" || keyword == "maxLength") {
            if (!isText(instance)) {
                continue;
            }
            const std::size_t length = characterCount(*instance.jsonString());
            const auto bound = static_cast<std::size_t>(*argument.asInt(false));
            if (keyword == "minLength" ? length < bound : length > bound) {
                fail("the text's length is beyond the " + keyword + " " + shown(argument) + ".");
            }
        } else if (keyword == "allOf" || keyword == "anyOf" || keyword == "oneOf") {
            std::size_t matched = 0;
            for (const Value& sub : *argument.arrayValue()) {
                if (keyword == "allOf") {
                    check(instance, sub, at, problems);
                } else {
                    matched += valid(sub);
                }
            }
            if (keyword == "anyOf" && matched == 0) {
                fail(shown(instance) + " matches none of the choices of anyOf.");
            } else if (keyword == "oneOf" && matched != 1) {
                fail(shown(instance) + " matches " + std::to_string(matched) +
                     " of the choices of oneOf, not exactly one.");
            }
        } else {
            fail("the schema keyword \"" + keyword + "\" is not understood by this validator.");
        }
    }
}

}  // namespace mcp::testing
