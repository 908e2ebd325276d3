// A window fixture with local automation: a controller over the fixture's user defaults and a
// fake socket server, the Automation Settings window over the fixture's folder store, and
// scripted services for the open panel and the clipboard.
#pragma once

#include <QPushButton>
#include <memory>
#include <vector>

#include "app/automationcontrol/MCPServerController.h"
#include "app/automationcontrol/SocketServerAdapter.h"
#include "app/window/AutomationSettingsController.h"
#include "app/window/AutomationSettingsServices.h"
#include "app/window/AutomationSettingsView.h"
#include "tests/app/automationcontrol/FakeAutomationServer.h"
#include "tests/support/WindowFixture.h"

namespace fw::testing {

// Records each open panel and waits for the test to answer it; records each copy.
class ScriptedSettingsServices : public AutomationSettingsServices {
public:
    void chooseFolder(const FolderChoice& choice, FolderChosen done) override {
        choices.push_back(choice);
        pending = std::move(done);
    }
    void copyToClipboard(const QString& text) override { copied.push_back(text); }

    // Answers the open panel as the user would.
    void answer(std::optional<QString> folder) {
        ASSERT_TRUE(pending) << "no open panel";
        auto done = std::move(pending);
        pending = nullptr;
        done(std::move(folder));
    }

    std::vector<FolderChoice> choices;
    FolderChosen pending;
    std::vector<QString> copied;
};

class AutomationSettingsFixture : public WindowFixture {
protected:
    void SetUp() override {
        WindowFixture::SetUp();
        makeControllers();
    }
    void TearDown() override {
        settings.reset();
        if (server != nullptr) {
            ASSERT_TRUE(
                QTest::qWaitFor([&] { return server->pendingOperations() == 0; }, 20000));
        }
        server.reset();
        WindowFixture::TearDown();
    }

    // Makes the controller and the window again with the real socket server.
    void useRealSocketServer() { makeControllers("/Applications/X.app", true); }

    void makeControllers(std::filesystem::path bundle = "/Applications/X.app",
                         bool realServer = false) {
        settings.reset();
        server.reset();
        MCPServerController::Options options;
        options.defaults = defaults_.get();
        options.makeServer = realServer ? AutomationServerFactory(makeSocketServer)
                                        : servers.factory();
        options.removeRetiredCredential = [] { return std::optional<platform::Error>(); };
        options.bundleURL = std::move(bundle);
        server = std::make_unique<MCPServerController>(std::move(options));
        settings = std::make_unique<AutomationSettingsController>(
            AutomationSettingsController::Options{files_.get(), server.get(), &services});
    }

    // Shows the window and gives its content.
    AutomationSettingsView& view() {
        settings->showWindow();
        return *settings->view();
    }

    // The button titled `text` inside `within`, the first one when there are several.
    static QPushButton* button(QWidget* within, const QString& text) {
        for (QPushButton* candidate : within->findChildren<QPushButton*>()) {
            if (candidate->text() == text) {
                return candidate;
            }
        }
        ADD_FAILURE() << "no button " << text.toStdString();
        return nullptr;
    }

    FakeServers servers;
    ScriptedSettingsServices services;
    std::unique_ptr<MCPServerController> server;
    std::unique_ptr<AutomationSettingsController> settings;
};

}  // namespace fw::testing
