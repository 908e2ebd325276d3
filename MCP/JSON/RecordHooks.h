// Record hooks: for the few records whose JSON object is not exactly their field table.
//
// A record (MCP/Record.h) may add one or both of these static functions beside codingFields():
//
//   // Called after the table's members were appended, before the object is built: add a fixed
//   // tag, or take out a member that is written only when it is not empty.
//   static void finishEncoding(const T& record, std::vector<mcp::Object::Entry>& entries);
//
//   // Called with the object before the table is read: check a fixed tag. Throws DecodingError.
//   static void checkDecoding(const mcp::Object& object);
//
// Everything else (decoding of the fields, equality and hashing over the table) is the record
// mechanism's own. Include this header wherever such a record is declared, so that every use of
// the record sees the hooked coder.
//
// Stateless templates: safe from any thread.
#pragma once

#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "MCP/JSON/Record.h"

namespace mcp {

template <class T>
concept RecordWithHooks = RecordType<T> &&(
    requires(const T& record, std::vector<Object::Entry>& entries) {
        T::finishEncoding(record, entries);
    } ||
    requires(const Object& object) { T::checkDecoding(object); });

template <RecordWithHooks T>
struct Coder<T> {
    static Value encode(const T& record) {
        std::vector<Object::Entry> entries;
        entries.reserve(std::tuple_size_v<decltype(T::codingFields())> + 1);
        appendRecordEntries(entries, record);
        if constexpr (requires { T::finishEncoding(record, entries); }) {
            T::finishEncoding(record, entries);
        }
        return Value(Object::fromEntries(std::move(entries)));
    }
    static T decode(const Value& value) {
        check(value);
        return decodeRecord<T>(value);
    }
    static T decode(Value&& value) {
        check(value);
        return decodeRecord<T>(std::move(value));
    }
    static bool equals(const T& a, const T& b) { return recordEquals(a, b); }
    static void hash(Hasher& hasher, const T& record) { hashRecord(hasher, record); }

private:
    static void check(const Value& value) {
        if constexpr (requires(const Object& object) { T::checkDecoding(object); }) {
            const Object* object = value.objectValue();
            if (object == nullptr) {
                throwWrongKind(value, "an object");
            }
            T::checkDecoding(*object);
        }
    }
};

// Removes the entry `key` from entries built by a record (used by finishEncoding hooks).
inline void eraseEntry(std::vector<Object::Entry>& entries, std::string_view key) {
    std::erase_if(entries, [&](const Object::Entry& entry) { return entry.first == key; });
}

}  // namespace mcp
