#include "tests/support/ExportServicesFixture.h"

#include <string_view>
#include <utility>

#include "tests/support/EventLoop.h"

namespace fw::testing {

void ExportServicesFixture::SetUp() {
    directory_.emplace();
    ASSERT_FALSE(directory_->path().empty());
    dir_ = directory_->path();
    defaults_ = std::make_unique<platform::UserDefaults>(dir_ / "config" / "Defaults.plist");
    FileAccessManager::Options options;
    options.defaults = defaults_.get();
    options.access = makeAccess();
    options.log = [](std::string_view) {};
    files_ = std::make_unique<FileAccessManager>(std::move(options));
    coordinator_ = std::make_unique<ExportCoordinator>(ExportCoordinator::Options{files_.get()});
}

void ExportServicesFixture::TearDown() {
    if (coordinator_ && coordinator_->hasActiveExport()) {
        coordinator_->cancelActiveExport();
        pumpUntil([&] { return !coordinator_->hasActiveExport(); });
    }
    coordinator_.reset();
    files_.reset();
    defaults_.reset();
    directory_.reset();
}

std::shared_ptr<platform::SecurityScopedAccess> ExportServicesFixture::makeAccess() {
    return std::make_shared<platform::SecurityScopedAccess>(&grants_);
}

}  // namespace fw::testing
