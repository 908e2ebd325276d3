#include "platform/AccessGrants.h"

namespace fw::platform {

AccessGrants& AccessGrants::shared() {
    static AccessGrants* grants = new AccessGrants();  // never destroyed: leases may end late
    return *grants;
}

std::string AccessGrants::key(const std::filesystem::path& path) {
    std::string text = path.lexically_normal().string();
    while (text.size() > 1 && text.back() == '/') {
        text.pop_back();
    }
    return text;
}

void AccessGrants::grant(const std::filesystem::path& path) {
    std::lock_guard lock(mutex_);
    ++granted_[key(path)];
}

void AccessGrants::withdraw(const std::filesystem::path& path) {
    const std::string k = key(path);
    std::lock_guard lock(mutex_);
    auto it = granted_.find(k);
    if (it != granted_.end() && --it->second == 0) {
        granted_.erase(it);
    }
}

int AccessGrants::holderCount(const std::filesystem::path& path) const {
    std::lock_guard lock(mutex_);
    auto it = granted_.find(key(path));
    return it == granted_.end() ? 0 : it->second;
}

bool AccessGrants::isGranted(const std::filesystem::path& path) const {
    std::lock_guard lock(mutex_);
    return granted_.contains(key(path));
}

bool AccessGrants::start(const std::filesystem::path& path) {
    const std::string k = key(path);
    std::lock_guard lock(mutex_);
    if (!granted_.contains(k)) {
        return false;
    }
    ++active_[k];
    return true;
}

void AccessGrants::stop(const std::filesystem::path& path) {
    const std::string k = key(path);
    std::lock_guard lock(mutex_);
    auto it = active_.find(k);
    if (it == active_.end()) {
        return;
    }
    if (--it->second == 0) {
        active_.erase(it);
    }
}

int AccessGrants::activeCount(const std::filesystem::path& path) const {
    std::lock_guard lock(mutex_);
    auto it = active_.find(key(path));
    return it == active_.end() ? 0 : it->second;
}

}  // namespace fw::platform
