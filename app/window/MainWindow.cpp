#include "app/window/MainWindow.h"

#include <unistd.h>

#include <QAbstractSpinBox>
#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QProgressBar>
#include <QPushButton>
#include <QUrl>
#include <QVBoxLayout>

#include "app/folders/FileAccessManager.h"
#include "app/window/ImageTableController.h"
#include "app/window/ImageTableView.h"
#include "app/export/ImagesToMovie.h"
#include "app/window/MainWindowPanels.h"
#include "app/render/MovieFrameRenderer.h"
#include "app/window/MovieSettingsController.h"
#include "app/window/MovieSettingsPanel.h"
#include "app/window/MovieUndoManager.h"
#include "platform/AccessGrants.h"
#include "platform/UserDefaults.h"

namespace fw {

class MainWindow::SheetScope {
public:
    explicit SheetScope(MainWindow& window) : window_(&window) {
        ++window_->openSheets_;
        window_->updateActions();
    }
    ~SheetScope() {
        if (window_ != nullptr) {
            --window_->openSheets_;
            window_->updateActions();
        }
    }
    SheetScope(const SheetScope&) = delete;
    SheetScope& operator=(const SheetScope&) = delete;

private:
    QPointer<MainWindow> window_;
};

namespace {

QString folderOf(const QString& path) {
    return QFileInfo(path).absolutePath();
}

bool isTextEntry(const QWidget* widget) {
    return qobject_cast<const QLineEdit*>(widget) != nullptr ||
           qobject_cast<const QAbstractSpinBox*>(widget) != nullptr;
}

// The spin box a focused widget belongs to (its own line edit has the focus while editing).
QAbstractSpinBox* spinBoxOf(QWidget* widget) {
    for (QWidget* w = widget; w != nullptr; w = w->parentWidget()) {
        if (auto* spin = qobject_cast<QAbstractSpinBox*>(w)) {
            return spin;
        }
        if (w->isWindow()) {
            break;
        }
    }
    return nullptr;
}

}  // namespace

MainWindow::MainWindow(Dependencies dependencies, QWidget* parent)
    : QMainWindow(parent),
      coordinator_(dependencies.coordinator != nullptr ? *dependencies.coordinator
                                                       : ExportCoordinator::shared()),
      defaults_(dependencies.defaults != nullptr ? *dependencies.defaults
                                                 : platform::UserDefaults::standard()),
      buttonTitle_(QString::fromLatin1(kSaveTitle)) {
    if (dependencies.panels == nullptr) {
        ownPanels_ = std::make_unique<MainWindowPanels>(this);
    }
    panels_ = dependencies.panels != nullptr ? dependencies.panels : ownPanels_.get();
    FileAccessManager& files =
        dependencies.files != nullptr ? *dependencies.files : FileAccessManager::shared();

    imagesToMovie_ = new ImagesToMovie(this);
    undoManager_ = new MovieUndoManager(this);
    undoManager_->setUndoLimit(kUndoLevels);
    table_ = new ImageTableController(files, this);
    settings_ = new MovieSettingsController(&defaults_, &files, this);

    // Wiring, in the order the pieces depend on each other.
    undoManager_->setImagesToMovie(imagesToMovie_);
    table_->setImagesToMovie(imagesToMovie_);
    table_->setPanelService(panels_);
    settings_->setImageTableController(table_);
    settings_->setImagesToMovie(imagesToMovie_);
    table_->setUndoStack(undoManager_);

    buildInterface();
    buildMenus();

    connect(imagesToMovie_, &ImagesToMovie::movieCreationInProgressChanged, this,
            &MainWindow::updateButtonTitle);
    connect(imagesToMovie_, &ImagesToMovie::movieCreationInProgressChanged, this,
            &MainWindow::updateActions);
    connect(settings_, &MovieSettingsController::readyToCreateMovieChanged, this,
            &MainWindow::updateActions);
    for (auto signal : {&ImagesToMovie::minValueChanged, &ImagesToMovie::maxValueChanged,
                        &ImagesToMovie::valueChanged}) {
        connect(imagesToMovie_, signal, this, &MainWindow::updateProgress);
    }
    connect(imagesToMovie_, &ImagesToMovie::progressStringChanged, this,
            &MainWindow::updateProgress);
    connect(imagesToMovie_, &ImagesToMovie::movieCreationInProgressChanged, this,
            &MainWindow::updateProgress);

    // Shows a running export at once.
    coordinator_.attachDraftModel(imagesToMovie_, this);
    updateButtonTitle();
    updateActions();
    updateProgress();
}

MainWindow::~MainWindow() {
    coordinator_.attachDraftModel(nullptr, nullptr);
    disconnect(imagesToMovie_, nullptr, this, nullptr);
    disconnect(settings_, nullptr, this, nullptr);
}

void MainWindow::buildInterface() {
    setWindowTitle(QStringLiteral("Frameweaver"));

    auto* central = new QWidget(this);
    auto* layout = new QVBoxLayout(central);

    tableView_ = new ImageTableView(*table_, central);
    tableView_->setMinimumHeight(200);
    layout->addWidget(tableView_, 1);

    auto* tableButtons = new QHBoxLayout;
    addButton_ = new QPushButton(tr("Add Images…"), central);
    addButton_->setToolTip(tr("Choose images to add, or drop them on the list."));
    connect(addButton_, &QPushButton::clicked, this, &MainWindow::openImageFiles);
    tableButtons->addWidget(addButton_);
    auto* hint = new QLabel(
        tr("Drop images here from your file manager; drag rows to change their order."), central);
    hint->setEnabled(false);
    tableButtons->addWidget(hint, 1);
    layout->addLayout(tableButtons);

    settingsPanel_ = new MovieSettingsPanel(*settings_, central);
    layout->addWidget(settingsPanel_);

    auto* bottom = new QHBoxLayout;
    progressBar_ = new QProgressBar(central);
    progressBar_->setTextVisible(false);
    // Hidden until the first export, without moving the button when it appears.
    QSizePolicy keepSpace = progressBar_->sizePolicy();
    keepSpace.setRetainSizeWhenHidden(true);
    progressBar_->setSizePolicy(keepSpace);
    progressLabel_ = new QLabel(central);
    progressLabel_->setMinimumWidth(160);
    saveButton_ = new QPushButton(buttonTitle_, central);
    saveButton_->setDefault(true);
    saveButton_->setMinimumWidth(120);
    saveButton_->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    connect(saveButton_, &QPushButton::clicked, this, &MainWindow::buttonClicked);
    bottom->addWidget(progressBar_, 1);
    bottom->addWidget(progressLabel_);
    bottom->addWidget(saveButton_);
    layout->addLayout(bottom);

    setCentralWidget(central);
    resize(720, 640);
}

void MainWindow::buildMenus() {
    QMenu* file = menuBar()->addMenu(tr("&File"));
    openImagesAction_ = file->addAction(tr("Add Images…"));
    openImagesAction_->setShortcut(QKeySequence::Open);
    connect(openImagesAction_, &QAction::triggered, this, &MainWindow::openImageFiles);
    exportMovieAction_ = file->addAction(tr("Save Movie…"));
    exportMovieAction_->setShortcut(QKeySequence::Save);
    connect(exportMovieAction_, &QAction::triggered, this, &MainWindow::exportMovie);
    file->addSeparator();
    automationSettingsAction_ = file->addAction(tr("Automation Settings…"));
    connect(automationSettingsAction_, &QAction::triggered, this,
            &MainWindow::automationSettingsRequested);
    file->addSeparator();
    auto* close = file->addAction(tr("Close Window"));
    close->setShortcut(QKeySequence::Close);
    connect(close, &QAction::triggered, this, &QWidget::close);
    quitAction_ = file->addAction(tr("Quit Frameweaver"));
    quitAction_->setShortcut(QKeySequence::Quit);
    quitAction_->setMenuRole(QAction::QuitRole);
    connect(quitAction_, &QAction::triggered, this, &MainWindow::quitRequested);

    QMenu* edit = menuBar()->addMenu(tr("&Edit"));
    edit->addAction(undoManager_->createUndoAction(this));
    edit->addAction(undoManager_->createRedoAction(this));
    edit->addSeparator();
    edit->addAction(tableView_->deleteAction());
}

bool MainWindow::saveOrCancelEnabled() const {
    return imagesToMovie_->movieCreationInProgress() || settings_->readyToCreateMovie();
}

void MainWindow::updateButtonTitle() {
    const QString title =
        QString::fromLatin1(imagesToMovie_->movieCreationInProgress() ? kCancelTitle : kSaveTitle);
    if (title != buttonTitle_) {
        buttonTitle_ = title;
        saveButton_->setText(buttonTitle_);
        emit buttonTitleChanged();
    }
}

void MainWindow::updateActions() {
    const bool exporting = imagesToMovie_->movieCreationInProgress();
    const bool sheet = openSheets_ > 0;
    const bool enabled = saveOrCancelEnabled();
    saveButton_->setEnabled(enabled);
    openImagesAction_->setEnabled(!exporting && !sheet);
    addButton_->setEnabled(!exporting && !sheet);
    exportMovieAction_->setEnabled(!exporting && settings_->readyToCreateMovie() && !sheet);
    if (enabled != lastSaveOrCancelEnabled_) {
        lastSaveOrCancelEnabled_ = enabled;
        emit saveOrCancelEnabledChanged();
    }
}

void MainWindow::updateProgress() {
    const qulonglong maximum = imagesToMovie_->maxValue();
    // QProgressBar counts in int; a frame count never comes near its limit.
    progressBar_->setRange(0, static_cast<int>(std::min<qulonglong>(maximum, INT_MAX)));
    progressBar_->setValue(
        static_cast<int>(std::min<qulonglong>(imagesToMovie_->value(), INT_MAX)));
    progressBar_->setVisible(imagesToMovie_->movieCreationInProgress() || maximum > 0);
    progressLabel_->setText(imagesToMovie_->progressString());
}

bool MainWindow::hasAttachedSheet() const {
    if (openSheets_ > 0) {
        return true;
    }
    // A dialog is a window of its own: follow its parents across windows.
    for (const QWidget* w = QApplication::activeModalWidget(); w != nullptr;
         w = w->parentWidget()) {
        if (w->parentWidget() == this) {
            return true;
        }
    }
    return false;
}

bool MainWindow::isEditingText() const {
    QWidget* focus = focusWidget();
    return focus != nullptr && (isTextEntry(focus) || spinBoxOf(focus) != nullptr);
}

QString MainWindow::defaultFolder(const char* key) const {
    const std::optional<std::string> stored = defaults_.stringForKey(key);
    if (stored && !stored->empty()) {
        const QString path = QString::fromStdString(*stored);
        if (QFileInfo(path).isDir() && ::access(stored->c_str(), R_OK | X_OK) == 0) {
            return QDir(path).absolutePath();
        }
    }
    return QDir::homePath();
}

PanelService::SaveChoice MainWindow::saveChoice() const {
    PanelService::SaveChoice choice;
    choice.startingFolder = defaultFolder(kDefaultMoviePathKey);
    if (settings_->codec() == QLatin1String(kCodecProRes422.data(), kCodecProRes422.size())) {
        choice.fileTypeName = tr("QuickTime movie");
        choice.fileExtension = QStringLiteral("mov");
    } else {
        choice.fileTypeName = tr("MPEG-4 movie");
        choice.fileExtension = QStringLiteral("mp4");
    }
    return choice;
}

void MainWindow::remember(const char* key, const QString& folder) {
    // A folder that cannot be remembered only costs the user a click next time.
    (void)defaults_.set(key, folder.toStdString());
}

void MainWindow::openImageFiles() {
    if (imagesToMovie_->movieCreationInProgress() || hasAttachedSheet()) {
        return;
    }
    PanelService::ImageChoice choice;
    choice.startingFolder = defaultFolder(kDefaultImagesPathKey);
    choice.nameFilters = ImageTableController::imageNameFilters();
    QStringList paths;
    {
        SheetScope sheet(*this);
        QPointer<MainWindow> self(this);
        paths = panels_->chooseImages(choice);
        if (self == nullptr) {
            return;
        }
    }
    if (paths.isEmpty() || imagesToMovie_->movieCreationInProgress()) {
        return;
    }
    remember(kDefaultImagesPathKey, folderOf(paths.first()));
    // Importing grants access to each chosen file.
    table_->importImagePaths(paths);
}

void MainWindow::buttonClicked() {
    if (imagesToMovie_->movieCreationInProgress()) {
        coordinator_.cancelActiveExport();
    } else {
        exportMovie();
    }
}

bool MainWindow::commitEditing() {
    QWidget* focus = focusWidget();
    if (focus == nullptr) {
        return true;
    }
    if (QAbstractSpinBox* spin = spinBoxOf(focus)) {
        if (!spin->hasAcceptableInput()) {
            return false;  // the text in the field is not a value: nothing to commit
        }
        spin->interpretText();
    }
    focus->clearFocus();
    return focusWidget() == nullptr || !isTextEntry(focusWidget());
}

void MainWindow::exportMovie() {
    if (imagesToMovie_->movieCreationInProgress() || hasAttachedSheet()) {
        return;
    }
    if (!commitEditing() || !settings_->readyToCreateMovie()) {
        return;
    }
    std::optional<QString> destination;
    {
        SheetScope sheet(*this);
        QPointer<MainWindow> self(this);
        destination = panels_->chooseSaveDestination(saveChoice());
        if (self == nullptr) {
            return;
        }
    }
    // An export may have started (from automation) while the panel was open.
    if (!destination || imagesToMovie_->movieCreationInProgress() ||
        !settings_->readyToCreateMovie()) {
        return;
    }
    remember(kDefaultMoviePathKey, folderOf(*destination));
    platform::AccessGrants::shared().grant(destination->toStdString());
    settings_->updateModelWithNewSettings();
    QPointer<MainWindow> self(this);
    coordinator_.exportDraft(QUrl::fromLocalFile(*destination), table_->currentImageLeases(),
                             [self](std::optional<platform::Error> error) {
                                 if (self != nullptr) {
                                     self->exportFinished(error);
                                 }
                             });
}

void MainWindow::exportFinished(const std::optional<platform::Error>& error) {
    if (!error || error->isUserCancelled()) {
        return;
    }
    PanelService::Alert alert;
    alert.messageText = QString::fromStdString(error->description);
    alert.style = PanelService::Alert::Style::critical;
    SheetScope sheet(*this);
    panels_->showAlert(alert);
}

}  // namespace fw
