// A panel service for tests: records every alert and answers panels from a script.
#pragma once

#include <QStringList>
#include <optional>
#include <vector>

#include "app/window/PanelService.h"

namespace fw::testing {

class ScriptedPanelService : public PanelService {
public:
    QStringList chooseImages(const ImageChoice&) override { return chosenImages; }
    std::optional<QString> chooseSaveDestination(const SaveChoice&) override { return destination; }
    void showAlert(const Alert& alert) override { alerts.push_back(alert); }
    int askQuestion(const Alert& alert) override {
        alerts.push_back(alert);
        return answer;
    }

    QStringList chosenImages;
    std::optional<QString> destination;
    int answer = 0;
    std::vector<Alert> alerts;
};

}  // namespace fw::testing
