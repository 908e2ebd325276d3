// MainWindowPanels: the PanelService of the main window, on Qt's file dialogs and message
// boxes, each shown modally over the window it was made for.
//
// Thread-safety: main thread only.
#pragma once

#include <QPointer>
#include <QWidget>

#include "app/window/PanelService.h"

namespace fw {

class MainWindowPanels : public PanelService {
public:
    // `window` parents the dialogs; it may be hidden or gone (the dialogs then stand alone).
    explicit MainWindowPanels(QWidget* window) : window_(window) {}

    QStringList chooseImages(const ImageChoice& choice) override;
    std::optional<QString> chooseSaveDestination(const SaveChoice& choice) override;
    void showAlert(const Alert& alert) override;
    int askQuestion(const Alert& alert) override;

private:
    QPointer<QWidget> window_;
};

}  // namespace fw
