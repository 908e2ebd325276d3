#include "app/window/AutomationSettingsView.h"

#include <QCheckBox>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollArea>
#include <QStyle>
#include <QVBoxLayout>

#include "app/automationcontrol/MCPServerController.h"
#include "app/folders/FileAccessManager.h"
#include "app/window/AutomationSettingsServices.h"

namespace fw {
namespace {

constexpr int kRowsHeight = 112;

enum class TextStyle { body, secondary, caption, headline, title };

QLabel* label(const QString& text, TextStyle style, bool wraps = false) {
    auto* result = new QLabel(text);
    QFont font = result->font();
    switch (style) {
        case TextStyle::body:
        case TextStyle::secondary:
            break;
        case TextStyle::caption:
            font.setPointSizeF(font.pointSizeF() * 0.85);
            break;
        case TextStyle::headline:
            font.setBold(true);
            break;
        case TextStyle::title:
            font.setPointSizeF(font.pointSizeF() * 1.5);
            font.setBold(true);
            break;
    }
    result->setFont(font);
    if (style == TextStyle::secondary || style == TextStyle::caption) {
        result->setForegroundRole(QPalette::PlaceholderText);
    }
    // Long texts wrap (they grow downwards instead of being cut off).
    result->setWordWrap(wraps);
    return result;
}

QFrame* divider() {
    auto* line = new QFrame();
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);
    return line;
}

void clear(QLayout* layout) {
    while (QLayoutItem* item = layout->takeAt(0)) {
        if (QWidget* widget = item->widget()) {
            // Later: the click that removed a folder may still be running inside this row.
            widget->hide();
            widget->setParent(nullptr);
            widget->deleteLater();
        }
        delete item;
    }
}

}  // namespace

AutomationSettingsView::AutomationSettingsView(FileAccessManager& access,
                                               MCPServerController& server,
                                               AutomationSettingsServices& services,
                                               QWidget* parent)
    : QWidget(parent), access_(access), server_(server), services_(services) {
    setMinimumSize(640, 560);
    auto* stack = new QVBoxLayout(this);
    stack->setContentsMargins(24, 24, 24, 24);
    stack->setSpacing(18);

    stack->addWidget(label(tr("Automation"), TextStyle::title));
    stack->addWidget(label(tr("Choose folders that unattended exports may use. Input folders can "
                              "be read; output folders can be read and written."),
                           TextStyle::secondary, true));
    buildFolderSection(false, stack);
    buildFolderSection(true, stack);
    stack->addWidget(divider());

    auto* switchRow = new QHBoxLayout();
    switch_ = new QCheckBox(tr("Allow AI tools to use Frameweaver"));
    connect(switch_, &QCheckBox::clicked, this, &AutomationSettingsView::switchClicked);
    switchRow->addWidget(switch_);
    switchRow->addStretch(1);
    status_ = label(QString(), TextStyle::secondary);
    switchRow->addWidget(status_);
    stack->addLayout(switchRow);

    connections_ = label(QString(), TextStyle::caption);
    stack->addWidget(connections_);
    copyButton_ = new QPushButton(tr("Copy Codex Configuration"));
    connect(copyButton_, &QPushButton::clicked, this,
            &AutomationSettingsView::copyCodexConfiguration);
    stack->addWidget(copyButton_, 0, Qt::AlignLeft);
    stack->addWidget(label(tr("This allows local tools using the bundled bridge to use your "
                              "authorized folders. It does not authenticate Codex specifically."),
                           TextStyle::caption, true));
    // This platform has no Dock: the text says what the application does here instead.
    stack->addWidget(label(
        tr("Codex can start Frameweaver in the background when it loads its tools. Frameweaver "
           "keeps running without a window until you quit it, including after clients "
           "disconnect, and starting it again shows its window. A fresh connection can open it "
           "again after Quit. AI access and folder authorization are still required. If you "
           "move the app, copy the configuration again."),
        TextStyle::caption, true));
    stack->addStretch(1);

    connect(&access_, &FileAccessManager::foldersChanged, this,
            &AutomationSettingsView::reloadFolders);
    for (auto changed : {&MCPServerController::isEnabledChanged,
                        &MCPServerController::isTransitioningChanged,
                        &MCPServerController::statusChanged,
                        &MCPServerController::activeConnectionsChanged}) {
        connect(&server_, changed, this, &AutomationSettingsView::refreshServer);
    }
    reloadFolders();
    refreshServer();
}

AutomationSettingsView::~AutomationSettingsView() = default;

QWidget* AutomationSettingsView::folderSection(bool writable) const {
    QVBoxLayout* rows = writable ? outputRows_ : inputRows_;
    return rows->parentWidget();
}

void AutomationSettingsView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    reloadFolders();
}

void AutomationSettingsView::buildFolderSection(bool writable, QVBoxLayout* into) {
    auto* section = new QVBoxLayout();
    section->setSpacing(8);
    auto* header = new QHBoxLayout();
    header->addWidget(
        label(writable ? tr("Output folders") : tr("Input folders"), TextStyle::headline));
    header->addStretch(1);
    auto* authorize = new QPushButton(tr("Authorize Folder…"));
    connect(authorize, &QPushButton::clicked, this,
            [this, writable] { chooseFolder(writable, std::nullopt); });
    header->addWidget(authorize);
    section->addLayout(header);

    auto* body = new QWidget();
    body->setObjectName(writable ? QStringLiteral("outputFolders")
                                 : QStringLiteral("inputFolders"));
    auto* rows = new QVBoxLayout(body);
    rows->setContentsMargins(0, 0, 0, 0);
    section->addWidget(body);
    (writable ? outputRows_ : inputRows_) = rows;
    into->addLayout(section);
}

void AutomationSettingsView::reloadFolders() {
    for (const bool writable : {false, true}) {
        QVBoxLayout* rows = writable ? outputRows_ : inputRows_;
        clear(rows);
        std::vector<AuthorizedFolder> listed;
        for (const AuthorizedFolder& folder : access_.folders()) {
            if (folder.writable == writable) {
                listed.push_back(folder);
            }
        }
        if (listed.empty()) {
            QLabel* none = label(tr(kNoFolders), TextStyle::secondary);
            none->setContentsMargins(10, 10, 10, 10);
            none->setAlignment(Qt::AlignLeading | Qt::AlignVCenter);
            rows->addWidget(none);
            continue;
        }
        auto* scroll = new QScrollArea();
        scroll->setFixedHeight(kRowsHeight);
        scroll->setWidgetResizable(true);
        scroll->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
        scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        auto* list = new QWidget();
        auto* column = new QVBoxLayout(list);
        column->setContentsMargins(0, 0, 0, 0);
        column->setSpacing(0);
        for (const AuthorizedFolder& folder : listed) {
            column->addWidget(folderRow(folder));
            column->addWidget(divider());
        }
        column->addStretch(1);
        scroll->setWidget(list);
        rows->addWidget(scroll);
    }
}

QWidget* AutomationSettingsView::folderRow(const AuthorizedFolder& folder) {
    auto* row = new QWidget();
    row->setObjectName(QStringLiteral("folderRow"));
    row->setProperty("folderID", folder.id);
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 7, 0, 7);
    layout->setSpacing(10);

    auto* icon = new QLabel();
    const QIcon folderIcon = style()->standardIcon(QStyle::SP_DirIcon);
    icon->setPixmap((folder.writable ? QIcon::fromTheme(QStringLiteral("folder-new"), folderIcon)
                                     : folderIcon)
                        .pixmap(16, 16));
    layout->addWidget(icon);

    auto* names = new QVBoxLayout();
    names->setSpacing(2);
    names->addWidget(label(QString::fromStdString(folder.name), TextStyle::body));
    names->addWidget(label(QString::fromStdString(access_.pathHint(folder.id).value_or("")),
                           TextStyle::caption));
    layout->addLayout(names);
    layout->addStretch(1);
    layout->addWidget(label(QString::fromStdString(access_.status(folder.id)), TextStyle::caption));

    auto* reauthorize = new QPushButton(tr("Reauthorize…"));
    connect(reauthorize, &QPushButton::clicked, this,
            [this, folder] { chooseFolder(folder.writable, folder); });
    layout->addWidget(reauthorize);
    auto* remove = new QPushButton(tr("Remove"));
    // At once, without a question; a failed save leaves the list as it was.
    connect(remove, &QPushButton::clicked, this, [this, folder] { (void)access_.remove(folder); });
    layout->addWidget(remove);
    return row;
}

void AutomationSettingsView::chooseFolder(bool writable,
                                          std::optional<AuthorizedFolder> replacing) {
    AutomationSettingsServices::FolderChoice choice;
    choice.message = writable ? tr("Authorize an output folder") : tr("Authorize an input folder");
    choice.prompt = replacing ? tr("Reauthorize") : tr("Authorize");
    if (replacing) {
        if (auto hint = access_.pathHint(replacing->id)) {
            choice.startingDirectory = QString::fromStdString(*hint);
        }
    }
    services_.chooseFolder(choice, [self = QPointer(this), writable, replacing](
                                       std::optional<QString> chosen) {
        if (self == nullptr || !chosen) {
            return;
        }
        const std::filesystem::path url = chosen->toStdString();
        std::optional<platform::Error> failure;
        if (replacing) {
            if (auto result = self->access_.reauthorize(*replacing, url); !result) {
                failure = result.error();
            }
        } else if (auto result = self->access_.authorize(url, writable); !result) {
            failure = result.error();
        }
        if (failure) {
            self->setErrorMessage(QString::fromStdString(failure->description));
        }
    });
}

void AutomationSettingsView::copyCodexConfiguration() {
    services_.copyToClipboard(QString::fromStdString(server_.codexConfiguration()));
}

void AutomationSettingsView::refreshServer() {
    switch_->setChecked(server_.isEnabled());
    switch_->setEnabled(!server_.isTransitioning());
    status_->setText(server_.status());
    connections_->setText(tr("Active connections: %1").arg(server_.activeConnections()));
}

void AutomationSettingsView::switchClicked(bool on) {
    // The switch shows the controller's state, not the click: it moves once the start or stop
    // has run.
    switch_->setChecked(server_.isEnabled());
    QPointer self(this);
    if (on) {
        server_.enable([self](std::optional<platform::Error> error) {
            if (self != nullptr && error) {
                self->setErrorMessage(QString::fromStdString(error->description));
            }
        });
    } else {
        server_.disable();
    }
}

void AutomationSettingsView::setErrorMessage(std::optional<QString> message) {
    errorMessage_ = std::move(message);
    if (!errorMessage_) {
        if (alert_ != nullptr) {
            alert_->close();
        }
        return;
    }
    if (alert_ == nullptr) {
        alert_ = new QMessageBox(QMessageBox::Warning, tr(kAlertTitle), QString(),
                                 QMessageBox::NoButton, this);
        alert_->setAttribute(Qt::WA_DeleteOnClose);
        alert_->addButton(tr("OK"), QMessageBox::RejectRole);
        // However the alert goes away, the message goes with it.
        connect(alert_, &QMessageBox::finished, this, [this] { errorMessage_.reset(); });
    }
    alert_->setText(*errorMessage_);
    alert_->open();
}

}  // namespace fw
