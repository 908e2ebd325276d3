#include <gtest/gtest.h>

#include "app/folders/FileAccessError.h"

namespace fw {
namespace {

TEST(FileAccessError, DescriptionsAreTheUsersSentences) {
    const std::vector<std::pair<FileAccessError, std::string>> cases = {
        {FileAccessError::unavailable("Stills"),
         "“Stills” is unavailable. Choose it again in Automation Settings."},
        {FileAccessError::unauthorized("a.png"),
         "Access to “a.png” has expired. Choose it again in Automation Settings."},
        {FileAccessError::invalidURL(), "Choose a local file or folder."},
        {FileAccessError::invalidRelativePath(), "Use a relative path without . or .. components."},
        {FileAccessError::escapedFolder(), "The path leaves its authorized folder."},
        {FileAccessError::readOnlyFolder(),
         "This folder is authorized for input only. Authorize an output folder in Automation "
         "Settings."},
        {FileAccessError::missingFolder(),
         "This folder authorization was removed. Authorize it again in Automation Settings."},
    };
    for (const auto& [error, text] : cases) {
        EXPECT_EQ(error.description(), text);
        const platform::Error opaque = error.toError();
        EXPECT_EQ(opaque.description, text);
        EXPECT_EQ(FileAccessError::kindOf(opaque), error.kind());
    }
    EXPECT_FALSE(FileAccessError::kindOf(platform::Error("OtherDomain", 1, "x")).has_value());
}

}  // namespace
}  // namespace fw
