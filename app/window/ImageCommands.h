// ImageTableCommand: the undo step of one change of the image table. It holds the table's
// state before and after the change, read leases included, so that the files of an undone
// or redone change stay reachable for as long as the step is on the undo stack.
//
// Pushed by ImageTableController after it has made the change: the stack's first `redo`
// does nothing. Undo and redo do nothing while the table may not change (an export runs).
//
// Thread-safety: main thread only, like the undo stack that owns it.
#pragma once

#include <QPointer>
#include <QUndoCommand>

#include "app/window/ImageTableState.h"

namespace fw {

class ImageTableController;

class ImageTableCommand : public QUndoCommand {
public:
    ImageTableCommand(ImageTableController& controller, ImageTableState before,
                      ImageTableState after, const QString& actionName);

    void undo() override;
    void redo() override;

private:
    QPointer<ImageTableController> controller_;
    ImageTableState before_;
    ImageTableState after_;
    bool done_ = true;  // the change was made before the push
};

}  // namespace fw
