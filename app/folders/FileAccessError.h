// FileAccessError: the failures of the authorized-folder store, each with the sentence shown
// to the user; and FileAccessResult, the value-or-error the store's operations return.
//
// Callers outside the store treat a failure as an opaque `platform::Error` whose
// description they show or pass on; `toError()` makes that error (domain
// `kFileAccessErrorDomain`, code the case's number) and `kindOf` recognises it again.
// Plain values; copy them freely.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <variant>

#include "platform/Error.h"

namespace fw {

inline constexpr const char* kFileAccessErrorDomain = "FileAccessErrorDomain";

class FileAccessError {
public:
    // In this order; the numbers are the codes of `toError()`.
    enum class Kind {
        unavailable = 1,   // the folder's name
        unauthorized = 2,  // the folder's or the file's name
        invalidURL = 3,
        invalidRelativePath = 4,
        escapedFolder = 5,
        readOnlyFolder = 6,
        missingFolder = 7,
    };

    static FileAccessError unavailable(std::string folderName) {
        return {Kind::unavailable, std::move(folderName)};
    }
    static FileAccessError unauthorized(std::string name) {
        return {Kind::unauthorized, std::move(name)};
    }
    static FileAccessError invalidURL() { return {Kind::invalidURL, {}}; }
    static FileAccessError invalidRelativePath() { return {Kind::invalidRelativePath, {}}; }
    static FileAccessError escapedFolder() { return {Kind::escapedFolder, {}}; }
    static FileAccessError readOnlyFolder() { return {Kind::readOnlyFolder, {}}; }
    static FileAccessError missingFolder() { return {Kind::missingFolder, {}}; }

    Kind kind() const { return kind_; }
    // The folder or file name the sentence names; empty for the cases without one.
    const std::string& name() const { return name_; }
    // The sentence shown to the user.
    std::string description() const;
    platform::Error toError() const;
    // The case of an error made by `toError()`; nothing for any other error.
    static std::optional<Kind> kindOf(const platform::Error& error);

    bool operator==(const FileAccessError&) const = default;

private:
    FileAccessError(Kind kind, std::string name) : kind_(kind), name_(std::move(name)) {}
    Kind kind_;
    std::string name_;
};

// The outcome of a store operation: a value, or the error that stopped it (a
// FileAccessError as `platform::Error`, or a platform failure passed on unchanged).
template <class T>
class [[nodiscard]] FileAccessResult {
public:
    FileAccessResult(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    FileAccessResult(platform::Error error) : state_(std::in_place_index<1>, std::move(error)) {}
    FileAccessResult(const FileAccessError& error) : FileAccessResult(error.toError()) {}

    bool ok() const { return state_.index() == 0; }
    explicit operator bool() const { return ok(); }
    // REQUIRES: ok().
    T& value() & { return std::get<0>(state_); }
    const T& value() const& { return std::get<0>(state_); }
    T&& value() && { return std::get<0>(std::move(state_)); }
    // REQUIRES: !ok().
    const platform::Error& error() const { return std::get<1>(state_); }

private:
    std::variant<T, platform::Error> state_;
};

template <>
class [[nodiscard]] FileAccessResult<void> {
public:
    FileAccessResult() = default;
    FileAccessResult(platform::Error error) : error_(std::move(error)) {}
    FileAccessResult(const FileAccessError& error) : error_(error.toError()) {}

    bool ok() const { return !error_.has_value(); }
    explicit operator bool() const { return ok(); }
    // REQUIRES: !ok().
    const platform::Error& error() const { return *error_; }

private:
    std::optional<platform::Error> error_;
};

}  // namespace fw
