// AutomationSettingsServices: the two things of the system the Automation Settings window uses
// besides its own widgets: the open panel that chooses a folder and the clipboard. Tests
// inject their own; `AutomationSettingsServices::system()` gives Qt's.
//
// Thread-safety: main thread only.
#pragma once

#include <QString>
#include <functional>
#include <optional>

namespace fw {

class AutomationSettingsServices {
public:
    // What the open panel shows.
    struct FolderChoice {
        // "Authorize an input folder" or "Authorize an output folder".
        QString message;
        // The confirm button: "Authorize" or "Reauthorize".
        QString prompt;
        // Where the panel starts; empty: the panel's default.
        QString startingDirectory;
    };
    using FolderChosen = std::function<void(std::optional<QString> folder)>;

    virtual ~AutomationSettingsServices() = default;

    // Shows an open panel for exactly one existing directory (files cannot be chosen, no new
    // folder can be made) in a window of its own, and returns at once. `done` runs later with
    // the chosen folder's absolute path, or nothing when the panel was cancelled.
    virtual void chooseFolder(const FolderChoice& choice, FolderChosen done) = 0;
    // Clears the clipboard, then puts `text` on it as plain text.
    virtual void copyToClipboard(const QString& text) = 0;

    // Qt's file dialog and the application's clipboard; lives for the process.
    static AutomationSettingsServices& system();
};

}  // namespace fw
