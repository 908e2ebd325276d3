// PanelService: the open and save panels and the alerts the windows show, behind one small
// interface so that windows and tables can be driven by tests without native dialogs.
//
// The window supplies the implementation that runs Qt's dialogs as children of itself; tests
// supply a scripted one that records what would have been shown and answers as told.
//
// Thread-safety: main thread only. Every call runs modally and returns the user's answer.
#pragma once

#include <QString>
#include <QStringList>
#include <optional>

namespace fw {

class PanelService {
public:
    // One alert: its message, the detail under it, and its buttons in order (the first is
    // the default). An alert with no buttons shows a single "OK".
    struct Alert {
        enum class Style { informational, warning, critical };
        QString messageText;
        QString informativeText;
        QStringList buttons;
        Style style = Style::warning;
    };

    // What the open panel for images lets the user pick.
    struct ImageChoice {
        QString startingFolder;   // absolute path of a folder; empty: the home folder
        QStringList nameFilters;  // e.g. "Images (*.png *.jpg)"; empty: every file
    };

    // What the save panel asks for.
    struct SaveChoice {
        QString startingFolder;  // absolute path of a folder; empty: the home folder
        QString fileTypeName;    // shown to the user, e.g. "MPEG-4 movie"
        QString fileExtension;   // without the dot, added when the chosen name lacks it
    };

    virtual ~PanelService() = default;

    // The absolute paths of the files the user chose, in the panel's order; empty when the
    // panel was cancelled or nothing was chosen. Folders cannot be chosen.
    virtual QStringList chooseImages(const ImageChoice& choice) = 0;
    // The absolute path of the movie to write, ending in the file extension; nothing when the
    // panel was cancelled. The panel itself asks before an existing file is replaced.
    virtual std::optional<QString> chooseSaveDestination(const SaveChoice& choice) = 0;
    // Shows the alert and waits until it is dismissed.
    virtual void showAlert(const Alert& alert) = 0;
    // Shows the alert and returns the index of the button chosen (0 for the first).
    virtual int askQuestion(const Alert& alert) = 0;
};

}  // namespace fw
