// MovieUndoManager: the main window's undo stack. It refuses undo and redo while the
// window's model reports an export in progress, so the image list cannot change under a
// running export; once the export ends the full history works again.
//
// QUndoStack's own `canUndo`, `canRedo`, `undo` and `redo` are not virtual: this class hides
// them with guarded versions of the same names. Reach undo and redo only through a
// MovieUndoManager (or the actions from `createUndoAction` / `createRedoAction` here, which
// the menus use); commands may be pushed through a plain QUndoStack pointer.
//
// Thread-safety: a QObject of the main thread.
#pragma once

#include <QPointer>
#include <QUndoStack>

#include "app/export/ImagesToMovie.h"

class QAction;

namespace fw {

class MovieUndoManager : public QUndoStack {
    Q_OBJECT

public:
    explicit MovieUndoManager(QObject* parent = nullptr);
    // Cuts every connection first: QUndoStack's destructor still emits its change signals.
    ~MovieUndoManager() override;

    // The model whose `movieCreationInProgress` tells whether an export runs. Held weakly:
    // with no model (never set, or destroyed) the stack behaves as a plain QUndoStack.
    ImagesToMovie* imagesToMovie() const { return imagesToMovie_; }
    void setImagesToMovie(ImagesToMovie* model);

    // False while an export runs; otherwise QUndoStack's answer.
    bool canUndo() const;
    bool canRedo() const;

    // The menu actions "Undo <action>" and "Redo <action>", enabled by the guarded answers
    // above and following them as exports start and end. Owned by `parent`.
    QAction* createUndoAction(QObject* parent) const;
    QAction* createRedoAction(QObject* parent) const;

public slots:
    // Do nothing while an export runs; otherwise QUndoStack's undo and redo.
    void undo();
    void redo();

signals:
    // The guarded answers may have changed (the stack changed, or an export started or ended).
    void availabilityChanged();

private:
    bool exportRunning() const;

    QPointer<ImagesToMovie> imagesToMovie_;
    QMetaObject::Connection exportConnection_;
};

}  // namespace fw
