// A test fixture with the export services of its own: a temporary directory holding the user
// defaults ("config/Defaults.plist"), a folder store over them and the real access grants, and
// an export coordinator over the store. Tear-down lets a still running export end before the
// store and the directory go away.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <optional>

#include "app/coordinator/ExportCoordinator.h"
#include "app/folders/FileAccessManager.h"
#include "platform/AccessGrants.h"
#include "platform/SecurityScopedAccess.h"
#include "platform/UserDefaults.h"
#include "tests/support/TestDirectory.h"

namespace fw::testing {

class ExportServicesFixture : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // The access the store starts and stops with (made once, in SetUp); the grants' own by
    // default.
    virtual std::shared_ptr<platform::SecurityScopedAccess> makeAccess();

    // The canonical path of the temporary directory.
    std::filesystem::path dir_;
    std::unique_ptr<platform::UserDefaults> defaults_;
    platform::AccessGrants grants_;
    std::unique_ptr<FileAccessManager> files_;
    std::unique_ptr<ExportCoordinator> coordinator_;

private:
    std::optional<TestDirectory> directory_;
};

}  // namespace fw::testing
