#include "app/window/AutomationSettingsServices.h"

#include <QClipboard>
#include <QFileDialog>
#include <QGuiApplication>

namespace fw {
namespace {

class SystemServices final : public AutomationSettingsServices {
public:
    void chooseFolder(const FolderChoice& choice, FolderChosen done) override {
        // No parent: a window of its own, not a sheet of the settings window.
        auto* panel = new QFileDialog(nullptr, choice.message, choice.startingDirectory);
        panel->setAttribute(Qt::WA_DeleteOnClose);
        panel->setFileMode(QFileDialog::Directory);
        // Read-only: the panel offers no way to make a new folder.
        panel->setOptions(QFileDialog::ShowDirsOnly | QFileDialog::ReadOnly);
        panel->setLabelText(QFileDialog::Accept, choice.prompt);
        QObject::connect(panel, &QFileDialog::finished, panel, [panel, done](int result) {
            const QStringList chosen = panel->selectedFiles();
            if (result == QDialog::Accepted && !chosen.isEmpty()) {
                done(chosen.front());
            } else {
                done(std::nullopt);
            }
        });
        panel->show();
    }

    void copyToClipboard(const QString& text) override {
        QClipboard* clipboard = QGuiApplication::clipboard();
        clipboard->clear();
        clipboard->setText(text);
    }
};

}  // namespace

AutomationSettingsServices& AutomationSettingsServices::system() {
    static SystemServices* services = new SystemServices();
    return *services;
}

}  // namespace fw
