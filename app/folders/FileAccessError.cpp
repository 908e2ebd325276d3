#include "app/folders/FileAccessError.h"

namespace fw {

std::string FileAccessError::description() const {
    switch (kind_) {
        case Kind::unavailable:
            return "“" + name_ + "” is unavailable. Choose it again in Automation Settings.";
        case Kind::unauthorized:
            return "Access to “" + name_ + "” has expired. Choose it again in Automation Settings.";
        case Kind::invalidURL:
            return "Choose a local file or folder.";
        case Kind::invalidRelativePath:
            return "Use a relative path without . or .. components.";
        case Kind::escapedFolder:
            return "The path leaves its authorized folder.";
        case Kind::readOnlyFolder:
            return "This folder is authorized for input only. Authorize an output folder in "
                   "Automation Settings.";
        case Kind::missingFolder:
            return "This folder authorization was removed. Authorize it again in Automation "
                   "Settings.";
    }
    return {};
}

platform::Error FileAccessError::toError() const {
    return platform::Error(kFileAccessErrorDomain, static_cast<int>(kind_), description());
}

std::optional<FileAccessError::Kind> FileAccessError::kindOf(const platform::Error& error) {
    if (error.domain != kFileAccessErrorDomain || error.code < 1 || error.code > 7) {
        return std::nullopt;
    }
    return static_cast<Kind>(error.code);
}

}  // namespace fw
