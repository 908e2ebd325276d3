#include "app/window/MovieUndoManager.h"

#include <QAction>
#include <QKeySequence>

#include "app/export/ImagesToMovie.h"

namespace fw {

namespace {

// The menu title for an action of the stack: "Undo" or "Undo <name>".
QString titleFor(const QString& verb, const QString& actionName) {
    return actionName.isEmpty() ? verb : verb + QLatin1Char(' ') + actionName;
}

}  // namespace

MovieUndoManager::MovieUndoManager(QObject* parent) : QUndoStack(parent) {
    connect(this, &QUndoStack::indexChanged, this, &MovieUndoManager::availabilityChanged);
    connect(this, &QUndoStack::canUndoChanged, this, &MovieUndoManager::availabilityChanged);
    connect(this, &QUndoStack::canRedoChanged, this, &MovieUndoManager::availabilityChanged);
}

MovieUndoManager::~MovieUndoManager() {
    disconnect(exportConnection_);
    // What is connected to this stack's signals (here and in the menus) reaches back into
    // this class, which no longer exists once QUndoStack's destructor runs.
    QObject::disconnect(this, nullptr, nullptr, nullptr);
}

void MovieUndoManager::setImagesToMovie(ImagesToMovie* model) {
    if (imagesToMovie_ == model) {
        return;
    }
    disconnect(exportConnection_);
    imagesToMovie_ = model;
    if (model != nullptr) {
        exportConnection_ = connect(model, &ImagesToMovie::movieCreationInProgressChanged, this,
                                    &MovieUndoManager::availabilityChanged);
    }
    emit availabilityChanged();
}

bool MovieUndoManager::exportRunning() const {
    return imagesToMovie_ != nullptr && imagesToMovie_->movieCreationInProgress();
}

bool MovieUndoManager::canUndo() const {
    return !exportRunning() && QUndoStack::canUndo();
}

bool MovieUndoManager::canRedo() const {
    return !exportRunning() && QUndoStack::canRedo();
}

void MovieUndoManager::undo() {
    if (!exportRunning()) {
        QUndoStack::undo();
    }
}

void MovieUndoManager::redo() {
    if (!exportRunning()) {
        QUndoStack::redo();
    }
}

QAction* MovieUndoManager::createUndoAction(QObject* parent) const {
    auto* action = new QAction(tr("Undo"), parent);
    action->setShortcut(QKeySequence::Undo);
    auto* self = const_cast<MovieUndoManager*>(this);
    const auto refresh = [self, action] {
        action->setEnabled(self->canUndo());
        action->setText(titleFor(tr("Undo"), self->undoText()));
    };
    connect(self, &MovieUndoManager::availabilityChanged, action, refresh);
    connect(self, &QUndoStack::undoTextChanged, action, refresh);
    connect(action, &QAction::triggered, self, &MovieUndoManager::undo);
    refresh();
    return action;
}

QAction* MovieUndoManager::createRedoAction(QObject* parent) const {
    auto* action = new QAction(tr("Redo"), parent);
    action->setShortcut(QKeySequence::Redo);
    auto* self = const_cast<MovieUndoManager*>(this);
    const auto refresh = [self, action] {
        action->setEnabled(self->canRedo());
        action->setText(titleFor(tr("Redo"), self->redoText()));
    };
    connect(self, &MovieUndoManager::availabilityChanged, action, refresh);
    connect(self, &QUndoStack::redoTextChanged, action, refresh);
    connect(action, &QAction::triggered, self, &MovieUndoManager::redo);
    refresh();
    return action;
}

}  // namespace fw
