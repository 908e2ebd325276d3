// What a script is shown for an entity: a title and, where there is one, a subtitle.
// Plain value.
#pragma once

#include <optional>
#include <string>

namespace fw::actions {

struct DisplayRepresentation {
    std::string title;
    std::optional<std::string> subtitle;

    bool operator==(const DisplayRepresentation&) const = default;
};

}  // namespace fw::actions
