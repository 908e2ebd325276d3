// UserDefaults: the application's typed settings, a set of keys each holding a boolean,
// an integer, a number, a text or bytes, kept on disk as a binary property list.
//
// The standard store lives in `$XDG_CONFIG_HOME/Frameweaver/UserDefaults.plist` (or
// `~/.config/...` when that variable is unset or not absolute). Values keep the type they
// were stored with: a stored 29.5 reads back as a number, "29.5" as text. Every change is
// written through at once, atomically (temporary file, fsync, rename, fsync of the
// directory); a change whose write fails is reported and leaves the store as it was.
//
// Reads look at the stored values first, then at the registration domain: defaults that
// the application registers at start-up and that are never written to disk.
//
// Thread-safety: every member may be called from any thread. Observers run on the thread
// that made the change, after the store's lock has been released, so they may read the
// store (and change it) again.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "platform/Error.h"

namespace fw::platform {

using DefaultsData = std::vector<std::uint8_t>;

// One value as stored. The alternative held is the type it was stored with.
using DefaultsValue = std::variant<bool, std::int64_t, double, std::string, DefaultsData>;

inline constexpr const char* kUserDefaultsErrorDomain = "UserDefaultsErrorDomain";

class UserDefaults {
public:
    // Writes `bytes` to `file` so that the file holds either its old content or all of the
    // new one, whatever happens. Returns the failure, if any. The seam tests replace to
    // inject a full disk.
    using FileWriter = std::function<std::optional<Error>(const std::filesystem::path& file,
                                                          std::span<const std::uint8_t> bytes)>;
    // Called with the key whose value (as read) changed.
    using Observer = std::function<void(const std::string& key)>;

    // Keeps an observer registered; destroying it (or calling `cancel`) unregisters it.
    class Observation {
    public:
        Observation() = default;
        Observation(Observation&&) noexcept = default;
        Observation& operator=(Observation&& other) noexcept;
        Observation(const Observation&) = delete;
        Observation& operator=(const Observation&) = delete;
        ~Observation() { cancel(); }
        void cancel();

    private:
        friend class UserDefaults;
        struct Entry;
        std::shared_ptr<Entry> entry_;
        std::weak_ptr<UserDefaults*> owner_;
    };

    // The process-wide store at `standardLocation()`, created on first use.
    static UserDefaults& standard();
    // `$XDG_CONFIG_HOME/Frameweaver/UserDefaults.plist`, falling back to the home directory's
    // `.config` when the variable is unset, empty or relative.
    static std::filesystem::path standardLocation();
    // The real atomic writer: a temporary file beside `file`, written, fsynced, renamed over
    // `file`, then the directory fsynced. Creates the directory (mode 0700) when missing.
    static std::optional<Error> writeFileAtomically(const std::filesystem::path& file,
                                                    std::span<const std::uint8_t> bytes);

    // Loads `file` if it exists. A file that cannot be read as a property list of settings
    // is moved aside to `<file>.unreadable` (so that no later write loses it) and the store
    // starts empty.
    explicit UserDefaults(std::filesystem::path file, FileWriter writer = writeFileAtomically);
    ~UserDefaults();
    UserDefaults(const UserDefaults&) = delete;
    UserDefaults& operator=(const UserDefaults&) = delete;

    const std::filesystem::path& file() const { return file_; }

    // The value as stored, else as registered, else nothing. Values of types this store does
    // not hand out (dates, arrays, dictionaries written by something else) read as nothing
    // but are kept on disk.
    std::optional<DefaultsValue> object(const std::string& key) const;
    // The value as stored, ignoring the registered defaults; nothing when none is stored.
    std::optional<DefaultsValue> storedObject(const std::string& key) const;
    // A boolean, a non-zero number, or the text "YES", "true" or "1" reads as true.
    bool boolForKey(const std::string& key) const;
    // An integer; a finite number truncated toward zero; a boolean as 0 or 1; a text that is
    // entirely a decimal integer. Anything else reads as 0.
    std::int64_t integerForKey(const std::string& key) const;
    // A number or integer; a boolean as 0 or 1; a text that is entirely a number. Else 0.
    double doubleForKey(const std::string& key) const;
    std::optional<std::string> stringForKey(const std::string& key) const;
    std::optional<DefaultsData> dataForKey(const std::string& key) const;

    // Stores `value` under `key` and writes the store to disk before returning. On failure
    // nothing changes and the error says why. Keys and texts may not contain NUL.
    [[nodiscard]] std::optional<Error> set(const std::string& key, DefaultsValue value);
    // Removes the stored value (a registered default shows through again) and writes.
    [[nodiscard]] std::optional<Error> remove(const std::string& key);

    // Adds to the registration domain (never written to disk); later registrations of the
    // same key replace earlier ones.
    void registerDefaults(const std::map<std::string, DefaultsValue>& defaults);

    // Calls `observer` after every change of what `key` reads as (an empty key: every key).
    [[nodiscard]] Observation observe(std::string key, Observer observer);

private:
    struct Stored;
    std::optional<DefaultsValue> readLocked(const std::string& key) const;
    // Encodes `root` (a plist dictionary) and writes it to the file.
    std::optional<Error> writeLocked(void* root);
    void notify(const std::vector<std::string>& changedKeys);

    const std::filesystem::path file_;
    const FileWriter writer_;
    mutable std::mutex mutex_;
    std::unique_ptr<Stored> stored_;                   // GUARDED_BY(mutex_)
    std::map<std::string, DefaultsValue> registered_;  // GUARDED_BY(mutex_)
    std::optional<Error> blocked_;  // set when an unreadable file could not be kept aside
    std::vector<std::shared_ptr<Observation::Entry>> observers_;  // GUARDED_BY(mutex_)
    std::shared_ptr<UserDefaults*> self_;  // lets observations outlive the store safely
};

}  // namespace fw::platform
