// AutomationSettingsView: the content of the Automation Settings window. From top to bottom:
// the heading and its explanation; the input folders and the output folders, each with an
// "Authorize Folder…" button and, per folder, its name, last known path, status and the
// "Reauthorize…" and "Remove" buttons; the switch that turns local automation on and off with
// the controller's status line; the connection count; the "Copy Codex Configuration" button;
// and two notes on what the configuration allows.
//
// It follows the local-automation controller and the folder store: their changes redraw it.
// The switch never changes on its own click: it asks the controller to start or stop and shows
// the new position once that has run (greyed out meanwhile; back to off when the start failed).
// Failures the user caused here (a start that failed, a folder that could not be authorized)
// are shown in an alert titled "Automation Settings" with one button, "OK"; the alert is up
// while `errorMessage` holds a text.
//
// Thread-safety: a widget; main thread only.
#pragma once

#include <QMessageBox>
#include <QPointer>
#include <QWidget>
#include <optional>

#include "app/folders/AuthorizedFolder.h"

class QCheckBox;
class QLabel;
class QPushButton;
class QVBoxLayout;

namespace fw {

class AutomationSettingsServices;
class FileAccessManager;
class MCPServerController;

class AutomationSettingsView : public QWidget {
    Q_OBJECT

public:
    static constexpr const char* kAlertTitle = "Automation Settings";
    static constexpr const char* kNoFolders = "No folders authorized";

    // All three must outlive the view.
    AutomationSettingsView(FileAccessManager& access, MCPServerController& server,
                           AutomationSettingsServices& services, QWidget* parent = nullptr);
    ~AutomationSettingsView() override;

    // The text of the error alert; nothing while no alert is up.
    const std::optional<QString>& errorMessage() const { return errorMessage_; }
    // The alert while it is up; null otherwise.
    QMessageBox* errorAlert() const { return alert_; }

    QCheckBox* enabledSwitch() const { return switch_; }
    QLabel* statusLabel() const { return status_; }
    QLabel* connectionsLabel() const { return connections_; }
    QPushButton* copyButton() const { return copyButton_; }
    // The section's box of rows (or of its "No folders authorized" line).
    QWidget* folderSection(bool writable) const;

    // The open panel for a new folder (no `replacing`) or for re-authorizing `replacing`.
    void chooseFolder(bool writable, std::optional<AuthorizedFolder> replacing);
    void copyCodexConfiguration();

protected:
    // The folders' statuses may have changed while the window was hidden.
    void showEvent(QShowEvent* event) override;

private:
    void buildFolderSection(bool writable, QVBoxLayout* into);
    void reloadFolders();
    QWidget* folderRow(const AuthorizedFolder& folder);
    void refreshServer();
    void switchClicked(bool on);
    void setErrorMessage(std::optional<QString> message);

    FileAccessManager& access_;
    MCPServerController& server_;
    AutomationSettingsServices& services_;
    std::optional<QString> errorMessage_;

    QVBoxLayout* inputRows_ = nullptr;
    QVBoxLayout* outputRows_ = nullptr;
    QCheckBox* switch_ = nullptr;
    QLabel* status_ = nullptr;
    QLabel* connections_ = nullptr;
    QPushButton* copyButton_ = nullptr;
    QPointer<QMessageBox> alert_;
};

}  // namespace fw
