// A fresh directory under the system's temporary directory (its canonical path), removed with
// its contents at the end of the test.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <string>
#include <system_error>

namespace fw::testing {

class TestDirectory {
public:
    TestDirectory() {
        std::string pattern = (std::filesystem::temp_directory_path() / "fw-test-XXXXXX").string();
        if (::mkdtemp(pattern.data()) != nullptr) {
            path_ = std::filesystem::canonical(pattern);
        }
    }
    ~TestDirectory() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TestDirectory(const TestDirectory&) = delete;
    TestDirectory& operator=(const TestDirectory&) = delete;

    // Empty when the directory could not be made.
    const std::filesystem::path& path() const { return path_; }
    // The path of `name` inside, as text.
    std::string path(const std::string& name) const { return (path_ / name).string(); }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

}  // namespace fw::testing
