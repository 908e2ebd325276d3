#include <gtest/gtest.h>

#include <QAction>
#include <QUndoCommand>
#include <memory>

#include "app/export/ImagesToMovie.h"
#include "app/window/MovieUndoManager.h"

namespace fw {
namespace {

// Adds one to a counter; undo takes it away.
class CountCommand : public QUndoCommand {
public:
    explicit CountCommand(int& counter)
        : QUndoCommand(QStringLiteral("Add Images")), counter_(counter) {}
    void redo() override { ++counter_; }
    void undo() override { --counter_; }

private:
    int& counter_;
};

TEST(MovieUndoManager, RefusesUndoAndRedoWhileAnExportRunsAndKeepsTheHistory) {
    ImagesToMovie model;
    MovieUndoManager undo;
    undo.setImagesToMovie(&model);
    int counter = 0;
    undo.push(new CountCommand(counter));
    undo.push(new CountCommand(counter));
    undo.undo();
    ASSERT_EQ(counter, 1);
    std::unique_ptr<QAction> undoAction(undo.createUndoAction(nullptr));
    std::unique_ptr<QAction> redoAction(undo.createRedoAction(nullptr));
    EXPECT_EQ(undoAction->text(), "Undo Add Images");
    EXPECT_TRUE(undoAction->isEnabled());
    EXPECT_TRUE(redoAction->isEnabled());

    model.setMovieCreationInProgress(true);
    EXPECT_FALSE(undo.canUndo());
    EXPECT_FALSE(undo.canRedo());
    EXPECT_FALSE(undoAction->isEnabled());
    EXPECT_FALSE(redoAction->isEnabled());
    undo.undo();
    undo.redo();
    undoAction->trigger();
    EXPECT_EQ(counter, 1);

    model.setMovieCreationInProgress(false);
    EXPECT_TRUE(undoAction->isEnabled());
    undo.redo();
    EXPECT_EQ(counter, 2);
    undo.undo();
    undo.undo();
    EXPECT_EQ(counter, 0);
}

TEST(MovieUndoManager, BehavesAsAPlainStackWithoutAModel) {
    auto model = std::make_unique<ImagesToMovie>();
    MovieUndoManager undo;
    undo.setImagesToMovie(model.get());
    int counter = 0;
    undo.push(new CountCommand(counter));
    model->setMovieCreationInProgress(true);
    model.reset();  // held weakly
    EXPECT_EQ(undo.imagesToMovie(), nullptr);
    EXPECT_TRUE(undo.canUndo());
    undo.undo();
    EXPECT_EQ(counter, 0);
}

}  // namespace
}  // namespace fw
