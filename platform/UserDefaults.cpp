#include "platform/UserDefaults.h"

#include <fcntl.h>
#include <plist/plist.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "platform/Plist.h"
#include "platform/SystemLog.h"

namespace fw::platform {

namespace {

Error posixError(int error, const std::string& what, const std::filesystem::path& path) {
    return Error(kUserDefaultsErrorDomain, error,
                 what + " “" + path.string() + "”: " + std::strerror(error) + ".");
}

std::optional<DefaultsValue> fromNode(plist_t node) {
    if (node == nullptr) {
        return std::nullopt;
    }
    switch (plist_get_node_type(node)) {
        case PLIST_BOOLEAN: {
            std::uint8_t value = 0;
            plist_get_bool_val(node, &value);
            return DefaultsValue(value != 0);
        }
        case PLIST_UINT: {
            // Integers are kept as their 64-bit two's-complement pattern, so negative
            // values come back as they went in.
            std::uint64_t value = 0;
            plist_get_uint_val(node, &value);
            return DefaultsValue(static_cast<std::int64_t>(value));
        }
        case PLIST_REAL: {
            double value = 0;
            plist_get_real_val(node, &value);
            return DefaultsValue(value);
        }
        case PLIST_STRING: {
            std::uint64_t length = 0;
            const char* text = plist_get_string_ptr(node, &length);
            return DefaultsValue(std::string(text != nullptr ? text : "", length));
        }
        case PLIST_DATA: {
            std::uint64_t length = 0;
            const char* bytes = plist_get_data_ptr(node, &length);
            const auto* begin = reinterpret_cast<const std::uint8_t*>(bytes);
            return DefaultsValue(DefaultsData(begin, begin + (bytes != nullptr ? length : 0)));
        }
        default:
            return std::nullopt;
    }
}

plist_t toNode(const DefaultsValue& value) {
    struct Visitor {
        plist_t operator()(bool v) const { return plist_new_bool(v ? 1 : 0); }
        plist_t operator()(std::int64_t v) const {
            return plist_new_uint(static_cast<std::uint64_t>(v));
        }
        plist_t operator()(double v) const { return plist_new_real(v); }
        plist_t operator()(const std::string& v) const { return plist_new_string(v.c_str()); }
        plist_t operator()(const DefaultsData& v) const {
            return plist_new_data(reinterpret_cast<const char*>(v.data()), v.size());
        }
    };
    return std::visit(Visitor{}, value);
}

bool parseWholeInteger(const std::string& text, std::int64_t& out) {
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, out);
    return ec == std::errc() && ptr == end && !text.empty();
}

bool parseWholeDouble(const std::string& text, double& out) {
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, out);
    return ec == std::errc() && ptr == end && !text.empty();
}

std::optional<std::string> readWholeFile(const std::filesystem::path& path, int& error) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = errno;
        return std::nullopt;
    }
    std::string bytes;
    char buffer[16384];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            error = errno;
            ::close(fd);
            return std::nullopt;
        }
        if (n == 0) {
            break;
        }
        bytes.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return bytes;
}

}  // namespace

// The persistent domain: the root dictionary as last written (or loaded).
struct UserDefaults::Stored {
    PlistPtr root{plist_new_dict()};
};

struct UserDefaults::Observation::Entry {
    std::string key;
    Observer observer;
    std::atomic<bool> active{true};
};

UserDefaults::Observation& UserDefaults::Observation::operator=(Observation&& other) noexcept {
    if (this != &other) {
        cancel();
        entry_ = std::move(other.entry_);
        owner_ = std::move(other.owner_);
    }
    return *this;
}

void UserDefaults::Observation::cancel() {
    if (!entry_) {
        return;
    }
    entry_->active = false;
    if (auto owner = owner_.lock()) {
        UserDefaults& store = **owner;
        std::lock_guard lock(store.mutex_);
        std::erase(store.observers_, entry_);
    }
    entry_.reset();
    owner_.reset();
}

UserDefaults& UserDefaults::standard() {
    static UserDefaults* store = new UserDefaults(standardLocation());  // never destroyed
    return *store;
}

std::filesystem::path UserDefaults::standardLocation() {
    std::filesystem::path base;
    if (const char* config = std::getenv("XDG_CONFIG_HOME"); config != nullptr && *config == '/') {
        base = config;
    } else {
        const char* home = std::getenv("HOME");
        if (home == nullptr || *home != '/') {
            const passwd* entry = ::getpwuid(::geteuid());
            home = entry != nullptr ? entry->pw_dir : "/tmp";
        }
        base = std::filesystem::path(home) / ".config";
    }
    return base / "Frameweaver" / "UserDefaults.plist";
}

std::optional<Error> UserDefaults::writeFileAtomically(const std::filesystem::path& file,
                                                       std::span<const std::uint8_t> bytes) {
    const std::filesystem::path directory = file.parent_path();
    if (::mkdir(directory.c_str(), 0700) != 0 && errno != EEXIST) {
        // The parent of our own directory (the configuration directory) may be missing too.
        std::error_code ec;
        std::filesystem::create_directories(directory.parent_path(), ec);
        if (::mkdir(directory.c_str(), 0700) != 0 && errno != EEXIST) {
            return posixError(errno, "Could not create the settings folder", directory);
        }
    }
    std::string pattern = (directory / ("." + file.filename().string() + ".XXXXXX")).string();
    const int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
    if (fd < 0) {
        return posixError(errno, "Could not save the settings in", directory);
    }
    auto fail = [&](int error) {
        ::close(fd);
        ::unlink(pattern.c_str());
        return posixError(error, "Could not save the settings to", file);
    };
    std::size_t written = 0;
    while (written < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return fail(errno);
        }
        written += static_cast<std::size_t>(n);
    }
    if (::fsync(fd) != 0) {
        return fail(errno);
    }
    if (::close(fd) != 0) {
        const int error = errno;
        ::unlink(pattern.c_str());
        return posixError(error, "Could not save the settings to", file);
    }
    if (::rename(pattern.c_str(), file.c_str()) != 0) {
        const int error = errno;
        ::unlink(pattern.c_str());
        return posixError(error, "Could not save the settings to", file);
    }
    // The rename is durable only once the directory entry is.
    const int dirFd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
    return std::nullopt;
}

UserDefaults::UserDefaults(std::filesystem::path file, FileWriter writer)
    : file_(std::move(file)),
      writer_(std::move(writer)),
      stored_(std::make_unique<Stored>()),
      self_(std::make_shared<UserDefaults*>(this)) {
    int error = 0;
    std::optional<std::string> bytes = readWholeFile(file_, error);
    if (!bytes) {
        if (error != ENOENT) {
            // Unreadable now (permissions, I/O): writing would replace what we never saw.
            blocked_ = posixError(error, "Could not read the settings file", file_);
            systemLog(SystemLogLevel::kError, blocked_->description);
        }
        return;
    }
    plist_t root = nullptr;
    if (!bytes->empty() && bytes->size() <= std::numeric_limits<std::uint32_t>::max()) {
        plist_from_memory(bytes->data(), static_cast<std::uint32_t>(bytes->size()), &root);
    }
    if (root != nullptr && plist_get_node_type(root) == PLIST_DICT) {
        stored_->root.reset(root);
        return;
    }
    if (root != nullptr) {
        plist_free(root);
    }
    // Damaged: keep it for the user instead of overwriting it with the next change.
    std::filesystem::path aside = file_;
    aside += ".unreadable";
    if (::rename(file_.c_str(), aside.c_str()) != 0) {
        blocked_ = posixError(errno, "Could not keep the damaged settings file", file_);
        systemLog(SystemLogLevel::kError, blocked_->description);
        return;
    }
    systemLog(SystemLogLevel::kWarning, "The settings file “" + file_.string() +
                                            "” could not be read. It was kept as “" +
                                            aside.string() + "” and the settings start empty.");
}

UserDefaults::~UserDefaults() {
    std::lock_guard lock(mutex_);
    for (auto& entry : observers_) {
        entry->active = false;
    }
    observers_.clear();
    self_.reset();
}

std::optional<DefaultsValue> UserDefaults::readLocked(const std::string& key) const {
    if (auto value = fromNode(plist_dict_get_item(stored_->root.get(), key.c_str()))) {
        return value;
    }
    if (auto it = registered_.find(key); it != registered_.end()) {
        return it->second;
    }
    return std::nullopt;
}

std::optional<DefaultsValue> UserDefaults::object(const std::string& key) const {
    std::lock_guard lock(mutex_);
    return readLocked(key);
}

std::optional<DefaultsValue> UserDefaults::storedObject(const std::string& key) const {
    std::lock_guard lock(mutex_);
    return fromNode(plist_dict_get_item(stored_->root.get(), key.c_str()));
}

bool UserDefaults::boolForKey(const std::string& key) const {
    const auto value = object(key);
    if (!value) {
        return false;
    }
    if (const auto* b = std::get_if<bool>(&*value)) {
        return *b;
    }
    if (const auto* i = std::get_if<std::int64_t>(&*value)) {
        return *i != 0;
    }
    if (const auto* d = std::get_if<double>(&*value)) {
        return *d != 0;
    }
    if (const auto* s = std::get_if<std::string>(&*value)) {
        return *s == "YES" || *s == "true" || *s == "1";
    }
    return false;
}

std::int64_t UserDefaults::integerForKey(const std::string& key) const {
    const auto value = object(key);
    if (!value) {
        return 0;
    }
    if (const auto* i = std::get_if<std::int64_t>(&*value)) {
        return *i;
    }
    if (const auto* d = std::get_if<double>(&*value)) {
        // Out of range or not finite: no integer represents it.
        if (std::isfinite(*d) && *d > -9.2e18 && *d < 9.2e18) {
            return static_cast<std::int64_t>(*d);
        }
        return 0;
    }
    if (const auto* b = std::get_if<bool>(&*value)) {
        return *b ? 1 : 0;
    }
    if (const auto* s = std::get_if<std::string>(&*value)) {
        std::int64_t parsed = 0;
        return parseWholeInteger(*s, parsed) ? parsed : 0;
    }
    return 0;
}

double UserDefaults::doubleForKey(const std::string& key) const {
    const auto value = object(key);
    if (!value) {
        return 0;
    }
    if (const auto* d = std::get_if<double>(&*value)) {
        return *d;
    }
    if (const auto* i = std::get_if<std::int64_t>(&*value)) {
        return static_cast<double>(*i);
    }
    if (const auto* b = std::get_if<bool>(&*value)) {
        return *b ? 1 : 0;
    }
    if (const auto* s = std::get_if<std::string>(&*value)) {
        double parsed = 0;
        return parseWholeDouble(*s, parsed) ? parsed : 0;
    }
    return 0;
}

std::optional<std::string> UserDefaults::stringForKey(const std::string& key) const {
    auto value = object(key);
    if (value) {
        if (auto* s = std::get_if<std::string>(&*value)) {
            return std::move(*s);
        }
    }
    return std::nullopt;
}

std::optional<DefaultsData> UserDefaults::dataForKey(const std::string& key) const {
    auto value = object(key);
    if (value) {
        if (auto* d = std::get_if<DefaultsData>(&*value)) {
            return std::move(*d);
        }
    }
    return std::nullopt;
}

std::optional<Error> UserDefaults::set(const std::string& key, DefaultsValue value) {
    if (key.find('\0') != std::string::npos) {
        return Error(kUserDefaultsErrorDomain, EINVAL,
                     "A settings key cannot contain a NUL character.");
    }
    if (const auto* text = std::get_if<std::string>(&value);
        text != nullptr && text->find('\0') != std::string::npos) {
        return Error(kUserDefaultsErrorDomain, EINVAL,
                     "Text stored in the settings cannot contain a NUL character.");
    }
    bool changed = false;
    {
        std::lock_guard lock(mutex_);
        if (blocked_) {
            return blocked_;
        }
        PlistPtr next(plist_copy(stored_->root.get()));
        plist_dict_set_item(next.get(), key.c_str(), toNode(value));
        if (auto error = writeLocked(next.get())) {
            return error;
        }
        changed = readLocked(key) != std::optional<DefaultsValue>(value);
        stored_->root = std::move(next);
    }
    if (changed) {
        notify({key});
    }
    return std::nullopt;
}

std::optional<Error> UserDefaults::writeLocked(void* root) {
    auto bytes = toBinaryPlist(root);
    if (!bytes) {
        return Error(kUserDefaultsErrorDomain, EINVAL, "The settings could not be encoded.");
    }
    return writer_(file_, *bytes);
}

std::optional<Error> UserDefaults::remove(const std::string& key) {
    bool changed = false;
    {
        std::lock_guard lock(mutex_);
        if (blocked_) {
            return blocked_;
        }
        if (plist_dict_get_item(stored_->root.get(), key.c_str()) == nullptr) {
            return std::nullopt;
        }
        PlistPtr next(plist_copy(stored_->root.get()));
        plist_dict_remove_item(next.get(), key.c_str());
        if (auto error = writeLocked(next.get())) {
            return error;
        }
        const auto before = readLocked(key);
        stored_->root = std::move(next);
        changed = before != readLocked(key);
    }
    if (changed) {
        notify({key});
    }
    return std::nullopt;
}

void UserDefaults::registerDefaults(const std::map<std::string, DefaultsValue>& defaults) {
    std::vector<std::string> changed;
    {
        std::lock_guard lock(mutex_);
        for (const auto& [key, value] : defaults) {
            const auto before = readLocked(key);
            registered_[key] = value;
            if (before != readLocked(key)) {
                changed.push_back(key);
            }
        }
    }
    notify(changed);
}

UserDefaults::Observation UserDefaults::observe(std::string key, Observer observer) {
    auto entry = std::make_shared<Observation::Entry>();
    entry->key = std::move(key);
    entry->observer = std::move(observer);
    Observation observation;
    {
        std::lock_guard lock(mutex_);
        observers_.push_back(entry);
        observation.owner_ = self_;
    }
    observation.entry_ = std::move(entry);
    return observation;
}

void UserDefaults::notify(const std::vector<std::string>& changedKeys) {
    if (changedKeys.empty()) {
        return;
    }
    std::vector<std::shared_ptr<Observation::Entry>> observers;
    {
        std::lock_guard lock(mutex_);
        observers = observers_;
    }
    for (const std::string& key : changedKeys) {
        for (const auto& entry : observers) {
            if (entry->active && (entry->key.empty() || entry->key == key)) {
                entry->observer(key);
            }
        }
    }
}

}  // namespace fw::platform
