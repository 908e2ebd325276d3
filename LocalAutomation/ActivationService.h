// ActivationService: the session-bus service through which the companion starts one installed
// copy of the application in the user's session, whatever environment the companion itself was
// given (an AI client often starts it with little more than HOME and PATH: no display, no bus
// address). The bus starts activated programs with the session's own environment.
//
// Each installation has a bus name of its own: "com.Quillbrookstudio.Frameweaver.Installation.h"
// followed by the first 16 bytes of SHA-256 of the bundle's canonical path in lower-case hex, so
// that activating it can start this installation's executable and no other. Its service file,
// named after the bus name with ".service" appended, names that executable and the
// automation-launch argument; the application owns the bus name while it runs, which is how the
// bus knows the activation succeeded.
//
// Plain functions without state, no file-system access; safe from any thread. The application
// and the companion both compile this in and must agree on every name.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace fw::automation::activation {

inline constexpr std::string_view busNamePrefix = "com.Quillbrookstudio.Frameweaver.Installation.h";

// The bus name of the installation whose canonical bundle path is given.
std::string busName(std::string_view canonicalBundlePath);

// The service file's name: the bus name and ".service".
std::string serviceFileName(std::string_view canonicalBundlePath);

// The service file's text: its section, the bus name, and the command line of the bundle's
// application executable (quoted for the bus's command-line parser) with the automation-launch
// argument. None when the path cannot be written into the file (a line break in it).
std::optional<std::string> serviceFileText(const std::filesystem::path& canonicalBundle);

}  // namespace fw::automation::activation
