// Coding of a bare JSON object (mcp::Object) as a record member: the free-form objects of tool
// arguments, tool-use input, structured tool results, sampling metadata and elicitation content.
// The object is taken over as it is (moved out of the decoded Value where possible), so no member
// is copied into another map. Anything but a JSON object fails with typeMismatch (null with
// valueNotFound). Equality compares the members; hashing does not depend on their order.
//
// Stateless: safe from any thread.
#pragma once

#include <cstdint>
#include <utility>

#include "MCP/JSON/Coding.h"
#include "MCP/JSON/Hasher.h"
#include "MCP/JSON/Value.h"

namespace mcp {

template <>
struct Coder<Object> {
    static Value encode(const Object& object) { return Value(object); }
    static Value encode(Object&& object) { return Value(std::move(object)); }
    static Object decode(const Value& value) {
        if (const Object* object = value.objectValue()) {
            return *object;
        }
        throwWrongKind(value, "an object");
    }
    static Object decode(Value&& value) {
        if (Object* object = value.objectValue()) {
            return std::move(*object);
        }
        throwWrongKind(value, "an object");
    }
    static bool equals(const Object& a, const Object& b) { return a == b; }
    // Each member hashed on its own (key, then value), combined by exclusive or.
    static void hash(Hasher& hasher, const Object& object) {
        std::uint64_t combined = 0;
        for (const auto& [key, member] : object) {
            Hasher entry;
            entry.combineText(key);
            entry.combineValue(member);
            combined ^= entry.finish();
        }
        hasher.combine(combined);
    }
};

}  // namespace mcp
