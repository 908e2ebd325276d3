// AuthorizedFolder: what every caller sees of a folder the user authorized for automation:
// its identifier (minted once, kept through reauthorization), its display name, and whether
// it is an output folder (read and write) or an input folder (read only).
//
// Plain value; equality over all three fields; hashable by `std::hash`. Copy freely.
#pragma once

#include <QUuid>
#include <functional>
#include <string>

namespace fw {

struct AuthorizedFolder {
    QUuid id;
    std::string name;
    bool writable = false;

    // The identifier in its standard hyphenated form, upper-case hexadecimal.
    std::string idString() const;
    // Reads an identifier in the standard hyphenated form (either case); a null QUuid when
    // `text` is not one.
    static QUuid parseID(const std::string& text);

    bool operator==(const AuthorizedFolder&) const = default;
};

}  // namespace fw

template <>
struct std::hash<fw::AuthorizedFolder> {
    std::size_t operator()(const fw::AuthorizedFolder& folder) const noexcept;
};
