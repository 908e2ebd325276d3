#include "app/window/MainWindowPanels.h"

#include <QAbstractButton>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QPushButton>

namespace fw {

namespace {

QString startingFolder(const QString& folder) {
    return folder.isEmpty() ? QDir::homePath() : folder;
}

QMessageBox::Icon iconFor(PanelService::Alert::Style style) {
    switch (style) {
        case PanelService::Alert::Style::informational:
            return QMessageBox::Information;
        case PanelService::Alert::Style::warning:
            return QMessageBox::Warning;
        case PanelService::Alert::Style::critical:
            return QMessageBox::Critical;
    }
    return QMessageBox::Warning;
}

// Runs the alert and returns the index of the button chosen; closing it counts as the
// first (default) button.
int runAlert(QWidget* parent, const PanelService::Alert& alert) {
    QMessageBox box(parent);
    box.setWindowModality(parent != nullptr ? Qt::WindowModal : Qt::ApplicationModal);
    box.setIcon(iconFor(alert.style));
    box.setText(alert.messageText);
    box.setInformativeText(alert.informativeText);
    const QStringList titles =
        alert.buttons.isEmpty() ? QStringList{QObject::tr("OK")} : alert.buttons;
    QList<QPushButton*> buttons;
    for (qsizetype i = 0; i < titles.size(); ++i) {
        // Qt lays out buttons by role; the first (default) one is the accepting one.
        buttons.append(
            box.addButton(titles[i], i == 0 ? QMessageBox::AcceptRole : QMessageBox::RejectRole));
    }
    box.setDefaultButton(buttons.first());
    box.setEscapeButton(buttons.first());
    box.exec();
    const auto index = buttons.indexOf(qobject_cast<QPushButton*>(box.clickedButton()));
    return index < 0 ? 0 : static_cast<int>(index);
}

}  // namespace

QStringList MainWindowPanels::chooseImages(const ImageChoice& choice) {
    QFileDialog dialog(window_, QObject::tr("Add Images"), startingFolder(choice.startingFolder));
    dialog.setFileMode(QFileDialog::ExistingFiles);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    if (!choice.nameFilters.isEmpty()) {
        dialog.setNameFilters(choice.nameFilters);
    }
    if (dialog.exec() != QDialog::Accepted) {
        return {};
    }
    QStringList paths;
    for (const QString& path : dialog.selectedFiles()) {
        if (!QFileInfo(path).isDir()) {
            paths.append(QFileInfo(path).absoluteFilePath());
        }
    }
    return paths;
}

std::optional<QString> MainWindowPanels::chooseSaveDestination(const SaveChoice& choice) {
    QFileDialog dialog(window_, QObject::tr("Save Movie"), startingFolder(choice.startingFolder));
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setNameFilter(
        QStringLiteral("%1 (*.%2)").arg(choice.fileTypeName, choice.fileExtension));
    dialog.setDefaultSuffix(choice.fileExtension);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
        return std::nullopt;
    }
    QString path = QFileInfo(dialog.selectedFiles().first()).absoluteFilePath();
    if (!path.endsWith(QLatin1Char('.') + choice.fileExtension, Qt::CaseInsensitive)) {
        // The dialog added no extension because the name had another one; the file type
        // decides, and a file at the amended name has not been confirmed yet.
        path += QLatin1Char('.') + choice.fileExtension;
        if (QFileInfo::exists(path)) {
            Alert replace;
            replace.messageText = QObject::tr("“%1” already exists. Do you want to replace it?")
                                      .arg(QFileInfo(path).fileName());
            replace.buttons = {QObject::tr("Cancel"), QObject::tr("Replace")};
            if (runAlert(window_, replace) != 1) {
                return std::nullopt;
            }
        }
    }
    return path;
}

void MainWindowPanels::showAlert(const Alert& alert) {
    runAlert(window_, alert);
}

int MainWindowPanels::askQuestion(const Alert& alert) {
    return runAlert(window_, alert);
}

}  // namespace fw
