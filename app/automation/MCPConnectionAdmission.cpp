#include "app/automation/MCPConnectionAdmission.h"

namespace fw::automation {

bool MCPConnectionAdmission::tryTake() {
    std::lock_guard guard(lock_);
    if (count_ >= maximum_) {
        return false;
    }
    ++count_;
    return true;
}

void MCPConnectionAdmission::release() {
    std::lock_guard guard(lock_);
    if (count_ > 0) {
        --count_;
    }
}

int MCPConnectionAdmission::count() const {
    std::lock_guard guard(lock_);
    return count_;
}

}  // namespace fw::automation
