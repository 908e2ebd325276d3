// The textual form in which the scripted actions pass identifiers of folders and jobs:
// 36 characters, hexadecimal in groups 8-4-4-4-12, written in upper case.
#pragma once

#include <QUuid>
#include <optional>
#include <string>

#include "app/coordinator/ExportCoordinator.h"

namespace fw::actions {

std::string identifierText(const QUuid& id);
// An identifier in the 8-4-4-4-12 form (either case); nothing for any other text.
std::optional<QUuid> parseIdentifier(const std::string& text);

// The job a status action names. A job travels as text: the empty text names no job (the
// coordinator's own choice); any other text must be an identifier, and text that is not one
// names an unknown job, so a mistyped job never falls back to "whatever runs".
ExportResult<std::optional<QUuid>> chooseJob(const std::string& job);

}  // namespace fw::actions
