// MainWindow: the application's main window. It owns the window's model of the export (an
// ImagesToMovie used only as the model of the image list, the settings and the progress,
// never as an engine), the settings panel, the image table and the window's undo stack, wires
// them to that model, attaches model and window to the export coordinator, adds images
// through an open panel, and runs the one "Save Movie" button, which turns into "Cancel"
// while any export runs (also one started by Shortcuts or automation, which it then cancels).
//
// Saving asks for the destination in a save panel (a QuickTime movie for ProRes 422, else an
// MPEG-4 movie) and hands the export to the coordinator; its failures are shown in an alert,
// except the user's own cancellation. The folders of the last images and the last movie are
// remembered under "defaultImagesPath" and "defaultMoviePath".
//
// Panels and alerts go through a PanelService (Qt's dialogs unless one is injected).
//
// Thread-safety: a widget; main thread only.
#pragma once

#include <QMainWindow>
#include <QString>
#include <memory>

#include "app/coordinator/ExportCoordinator.h"
#include "app/window/PanelService.h"

class QAction;
class QLabel;
class QProgressBar;
class QPushButton;

namespace fw::platform {
class UserDefaults;
}

namespace fw {

class FileAccessManager;
class ImageTableController;
class ImageTableView;
class ImagesToMovie;
class MovieSettingsController;
class MovieSettingsPanel;
class MovieUndoManager;

// What the main window is built with. Every piece may be left null for the process-wide one
// (and Qt's dialogs for panels). Injected pieces must outlive the window.
struct MainWindowDependencies {
    ExportCoordinator* coordinator = nullptr;
    FileAccessManager* files = nullptr;
    platform::UserDefaults* defaults = nullptr;
    PanelService* panels = nullptr;
};

class MainWindow : public QMainWindow, public DraftWindow {
    Q_OBJECT
    Q_PROPERTY(QString buttonTitle READ buttonTitle NOTIFY buttonTitleChanged)
    Q_PROPERTY(bool saveOrCancelEnabled READ saveOrCancelEnabled NOTIFY saveOrCancelEnabledChanged)

public:
    static constexpr const char* kDefaultImagesPathKey = "defaultImagesPath";
    static constexpr const char* kDefaultMoviePathKey = "defaultMoviePath";
    static constexpr const char* kSaveTitle = "Save Movie";
    static constexpr const char* kCancelTitle = "Cancel";
    // How many changes the undo stack keeps.
    static constexpr int kUndoLevels = 20;

    using Dependencies = MainWindowDependencies;

    explicit MainWindow(Dependencies dependencies = {}, QWidget* parent = nullptr);
    // Detaches from the coordinator.
    ~MainWindow() override;

    ImagesToMovie& imagesToMovie() const { return *imagesToMovie_; }
    MovieSettingsController& settingsController() const { return *settings_; }
    ImageTableController& imageTableController() const { return *table_; }
    MovieUndoManager& movieUndoManager() const { return *undoManager_; }
    PanelService& panels() const { return *panels_; }

    // "Save Movie", or "Cancel" while an export runs.
    QString buttonTitle() const { return buttonTitle_; }
    // True while an export runs (to cancel it); otherwise whether the settings are ready.
    bool saveOrCancelEnabled() const;

    // The controls and actions, for the menus and for tests.
    QPushButton* saveButton() const { return saveButton_; }
    QAction* openImagesAction() const { return openImagesAction_; }
    QAction* exportMovieAction() const { return exportMovieAction_; }
    QAction* automationSettingsAction() const { return automationSettingsAction_; }
    QAction* quitAction() const { return quitAction_; }
    MovieSettingsPanel* settingsPanel() const { return settingsPanel_; }
    ImageTableView* imageTableView() const { return tableView_; }

    // The folder a panel starts in: the folder stored under `key` when it is a non-empty
    // path of an existing directory that can be read and searched, else the home folder.
    QString defaultFolder(const char* key) const;
    // What the save panel asks for with the settings' current codec.
    PanelService::SaveChoice saveChoice() const;

    // DraftWindow: a panel or alert of this window is open; a text field has the focus.
    bool hasAttachedSheet() const override;
    bool isEditingText() const override;

public slots:
    // Adds images through the open panel (nothing while exporting or while a panel is open).
    void openImageFiles();
    // Cancels the running export, or saves.
    void buttonClicked();
    // Asks for a destination and exports (nothing while exporting, while a panel is open,
    // when the edit in progress cannot be committed, or when the settings are not ready).
    void exportMovie();

signals:
    void buttonTitleChanged();
    void saveOrCancelEnabledChanged();
    // The Quit and Automation Settings menu items were chosen.
    void quitRequested();
    void automationSettingsRequested();

private:
    // Counts open panels, so the window knows it has a "sheet".
    class SheetScope;

    void buildInterface();
    void buildMenus();
    void updateButtonTitle();
    void updateActions();
    void updateProgress();
    bool commitEditing();
    void remember(const char* key, const QString& folder);
    void exportFinished(const std::optional<platform::Error>& error);

    ExportCoordinator& coordinator_;
    platform::UserDefaults& defaults_;
    std::unique_ptr<PanelService> ownPanels_;
    PanelService* panels_;
    ImagesToMovie* imagesToMovie_;
    MovieUndoManager* undoManager_;
    MovieSettingsController* settings_;
    ImageTableController* table_;

    MovieSettingsPanel* settingsPanel_ = nullptr;
    ImageTableView* tableView_ = nullptr;
    QPushButton* addButton_ = nullptr;
    QPushButton* saveButton_ = nullptr;
    QProgressBar* progressBar_ = nullptr;
    QLabel* progressLabel_ = nullptr;
    QAction* openImagesAction_ = nullptr;
    QAction* exportMovieAction_ = nullptr;
    QAction* automationSettingsAction_ = nullptr;
    QAction* quitAction_ = nullptr;

    QString buttonTitle_;
    bool lastSaveOrCancelEnabled_ = false;
    int openSheets_ = 0;
};

}  // namespace fw
