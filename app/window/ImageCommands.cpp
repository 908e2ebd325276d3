#include "app/window/ImageCommands.h"

#include "app/window/ImageTableController.h"

namespace fw {

ImageTableCommand::ImageTableCommand(ImageTableController& controller, ImageTableState before,
                                     ImageTableState after, const QString& actionName)
    : QUndoCommand(actionName),
      controller_(&controller),
      before_(std::move(before)),
      after_(std::move(after)) {}

void ImageTableCommand::undo() {
    if (controller_ && controller_->canMutate()) {
        controller_->apply(before_);
    }
}

void ImageTableCommand::redo() {
    if (done_) {
        done_ = false;  // the controller made the change before pushing this step
        return;
    }
    if (controller_ && controller_->canMutate()) {
        controller_->apply(after_);
    }
}

}  // namespace fw
