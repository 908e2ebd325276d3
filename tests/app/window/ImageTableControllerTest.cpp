#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QDropEvent>
#include <QFile>
#include <QImage>
#include <QItemSelectionModel>
#include <QMimeData>
#include <QMimeDatabase>
#include <QTemporaryDir>
#include <QTest>
#include <QUndoStack>
#include <QUrl>
#include <memory>
#include <ostream>
#include <string>

#include "app/export/ImagesToMovie.h"
#include "app/folders/FileAccessManager.h"
#include "app/render/MovieFrameRenderer.h"
#include "app/window/ImageListModel.h"
#include "app/window/ImageTableController.h"
#include "app/window/ImageTableView.h"
#include "platform/AccessGrants.h"
#include "platform/PixelBuffer.h"
#include "platform/UserDefaults.h"
#include "tests/app/ScriptedPanelService.h"
#include "tests/app/window/PictureSamples.h"
#include "tests/support/QStringPrinter.h"

namespace fw {
namespace {

class ImageTableTest : public ::testing::Test {
protected:
    ImageTableTest()
        : defaults_(std::filesystem::path(dir_.filePath("defaults.plist").toStdString())),
          store_(FileAccessManager::Options{&defaults_, nullptr, [](std::string_view) {}}),
          table_(store_) {
        table_.setImagesToMovie(&model_);
        table_.setUndoStack(&stack_);
        table_.setPanelService(&panels_);
    }

    // A small PNG in the test's folder; returns its absolute path.
    QString image(const QString& name, int width = 4, int height = 2) {
        QImage picture(width, height, QImage::Format_RGB32);
        picture.fill(Qt::gray);
        const QString path = dir_.filePath(name);
        EXPECT_TRUE(picture.save(path, "PNG"));
        return path;
    }

    QString textFile(const QString& name) {
        const QString path = dir_.filePath(name);
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("not an image\n");
        return path;
    }

    void select(const QList<int>& rows) {
        QItemSelection selection;
        for (int row : rows) {
            const QModelIndex index = table_.model()->index(row, 0);
            selection.select(index, index);
        }
        table_.selectionModel()->select(selection, QItemSelectionModel::ClearAndSelect);
    }

    static int activeAccess(const QString& path) {
        return platform::AccessGrants::shared().activeCount(path.toStdString());
    }

    QTemporaryDir dir_;
    platform::UserDefaults defaults_;
    FileAccessManager store_;
    ImagesToMovie model_;
    QUndoStack stack_;
    testing::ScriptedPanelService panels_;
    ImageTableController table_;
};

TEST_F(ImageTableTest, ImportReportsSkippedItemsInThreeLines) {
    const QString folder = dir_.filePath("Holiday");
    ASSERT_TRUE(QDir().mkpath(folder));
    const QString text = textFile("notes.txt");
    const QString other = textFile("todo.txt");
    const QString missing = dir_.filePath("gone.png");

    EXPECT_FALSE(table_.importImagePaths({folder, text, missing, other}));

    EXPECT_TRUE(model_.imagePaths().isEmpty());
    EXPECT_EQ(stack_.count(), 0);
    ASSERT_EQ(panels_.alerts.size(), 1u);
    EXPECT_EQ(panels_.alerts[0].messageText, "Some items were not imported");
    EXPECT_EQ(panels_.alerts[0].informativeText,
              "Folders: Holiday\nUnsupported files: notes.txt, todo.txt\n"
              "Missing or unreadable files: gone.png");
    EXPECT_EQ(panels_.alerts[0].buttons, QStringList{"OK"});
}

TEST_F(ImageTableTest, ImportAddsAcceptedItemsAndListsOnlyNonEmptyLines) {
    const QString a = image("a.png");
    const QString text = textFile("notes.txt");

    EXPECT_TRUE(table_.importImageURLs({QUrl::fromLocalFile(a), QUrl::fromLocalFile(text),
                                        QUrl("https://example.com/b.png"), QUrl("file:")}));

    EXPECT_EQ(model_.imagePaths(), QStringList{a});
    EXPECT_EQ(stack_.count(), 1);
    EXPECT_EQ(stack_.undoText(), "Add Images");
    ASSERT_EQ(panels_.alerts.size(), 1u);
    EXPECT_EQ(panels_.alerts[0].informativeText,
              "Unsupported files: notes.txt\nMissing or unreadable files: b.png, file:");
}

TEST_F(ImageTableTest, EveryOfferedTypeHasASampleThatIsAcceptedAndRendered) {
    const QStringList& offered = ImageTableController::supportedImageContentTypes();
    const auto renderer = MovieFrameRenderer::create({16, 12}, kCodecHEVC);
    ASSERT_NE(renderer, nullptr);
    const QMimeDatabase database;
    QStringList covered;
    for (const testing::PictureSample& sample :
         testing::writePictureSamples(dir_.path().toStdString())) {
        const QString path = QString::fromStdString(sample.path.string());
        SCOPED_TRACE(path.toStdString());
        ASSERT_EQ(sample.problem, "");
        // A format the file-type database does not know (Radiance, here) cannot be offered.
        const QMimeType type = database.mimeTypeForFile(path);
        bool isOffered = false;
        for (const QString& name : offered) {
            if (type.inherits(name)) {
                isOffered = true;
                if (!covered.contains(name)) {
                    covered.append(name);
                }
            }
        }
        if (!isOffered) {
            continue;
        }
        EXPECT_EQ(table_.classifyURLs({QUrl::fromLocalFile(path)}).acceptedPaths,
                  QStringList{path});
        EXPECT_EQ(MovieFrameRenderer::imageSizeAtPath(sample.path.string()), (FrameSize{8, 6}));
        auto buffer = platform::PixelBuffer::allocate(renderer->pixelFormat(), 16, 12);
        const auto error = renderer->renderImageAtPath(sample.path.string(), buffer.get());
        EXPECT_FALSE(error.has_value()) << error->description;
    }
    for (const QString& name : offered) {
        EXPECT_TRUE(covered.contains(name)) << name.toStdString() << " is offered without a sample";
    }
}

TEST_F(ImageTableTest, AFormatOnlyTheGeneralConverterReadsIsRefused) {
    // The decoder refuses BMP files (its loader for them runs an outside converter).
    const QString path = dir_.filePath("picture.bmp");
    QImage picture(8, 6, QImage::Format_RGB32);
    picture.fill(Qt::gray);
    ASSERT_TRUE(picture.save(path, "BMP"));
    EXPECT_FALSE(ImageTableController::supportedImageContentTypes().contains("image/bmp"));
    EXPECT_FALSE(ImageTableController::imageNameFilters().join(' ').contains("*.bmp"));

    EXPECT_FALSE(table_.importImagePaths({path}));
    ASSERT_EQ(panels_.alerts.size(), 1u);
    EXPECT_EQ(panels_.alerts[0].informativeText, "Unsupported files: picture.bmp");
}

TEST_F(ImageTableTest, OnlyAcceptedFilesAreRegisteredAsHandedOver) {
    const QString folder = dir_.filePath("Holiday");
    ASSERT_TRUE(QDir().mkpath(folder));
    const QString text = textFile("notes.txt");
    const QString missing = dir_.filePath("gone.png");
    const QString a = image("a.png");

    EXPECT_TRUE(table_.importImagePaths({folder, text, missing, a}));

    const auto& grants = platform::AccessGrants::shared();
    EXPECT_TRUE(grants.isGranted(a.toStdString()));
    EXPECT_FALSE(grants.isGranted(folder.toStdString()));
    EXPECT_FALSE(grants.isGranted(text.toStdString()));
    EXPECT_FALSE(grants.isGranted(missing.toStdString()));
    // The accepted file's lease holds its access open.
    EXPECT_EQ(activeAccess(a), 1);
}

TEST_F(ImageTableTest, DuplicateImportSharesOneLease) {
    const QString a = image("a.png");
    const QString b = image("b.png");
    ASSERT_TRUE(table_.importImagePaths({a, b, a}));
    ASSERT_TRUE(table_.importImagePaths({a}));

    EXPECT_EQ(model_.imagePaths(), (QStringList{a, b, a, a}));
    EXPECT_EQ(table_.currentImageLeases().size(), 2u);
    EXPECT_EQ(activeAccess(a), 1);
    ASSERT_NE(table_.leaseForImagePath(a), nullptr);

    // Removing some rows of the path keeps its lease while one remains.
    select({0, 2});
    table_.removeSelectedImages();
    EXPECT_EQ(model_.imagePaths(), (QStringList{b, a}));
    EXPECT_NE(table_.leaseForImagePath(a), nullptr);
    EXPECT_EQ(activeAccess(a), 1);

    // Gone from the list, the lease lives on in the undo steps, and ends with them.
    select({1});
    table_.removeSelectedImages();
    EXPECT_EQ(table_.leaseForImagePath(a), nullptr);
    EXPECT_EQ(activeAccess(a), 1);
    stack_.clear();
    EXPECT_EQ(activeAccess(a), 0);
    EXPECT_EQ(activeAccess(b), 1);
}

TEST_F(ImageTableTest, RemoveThenUndoRestoresOrderSortSelectionAndLeases) {
    const QString a = image("a.png");
    const QString b = image("b.png");
    const QString c = image("c.png");
    ASSERT_TRUE(table_.importImagePaths({c, a, b}));
    table_.model()->sort(0, Qt::AscendingOrder);
    ASSERT_EQ(table_.model()->arrangedPaths(), (QStringList{a, b, c}));
    select({0, 2});
    const auto leaseOfA = table_.leaseForImagePath(a);

    table_.removeSelectedImages();
    EXPECT_EQ(model_.imagePaths(), QStringList{b});
    EXPECT_EQ(stack_.undoText(), "Remove Images");
    EXPECT_EQ(table_.leaseForImagePath(a), nullptr);

    stack_.undo();
    const ImageTableState restored = table_.currentState();
    EXPECT_EQ(restored.paths, (QStringList{c, a, b}));
    EXPECT_EQ(restored.sortOrder, ImageSortOrder::byPath(Qt::AscendingOrder));
    EXPECT_EQ(table_.model()->arrangedPaths(), (QStringList{a, b, c}));
    EXPECT_EQ(restored.selectedRows, (QList<int>{0, 2}));
    EXPECT_EQ(table_.leaseForImagePath(a), leaseOfA);
    EXPECT_EQ(table_.currentImageLeases().size(), 3u);

    stack_.redo();
    EXPECT_EQ(model_.imagePaths(), QStringList{b});
    EXPECT_EQ(table_.currentImageLeases().size(), 1u);
}

TEST_F(ImageTableTest, ImportWhileSortedAppendsToMovieOrder) {
    const QString b = image("b.png");
    const QString c = image("c.png");
    ASSERT_TRUE(table_.importImagePaths({c, b}));
    table_.model()->sort(0, Qt::AscendingOrder);
    const QString a = image("a.png");

    ASSERT_TRUE(table_.importImagePaths({a}));

    EXPECT_EQ(model_.imagePaths(), (QStringList{c, b, a}));
    EXPECT_EQ(table_.model()->arrangedPaths(), (QStringList{a, b, c}));
}

TEST_F(ImageTableTest, ReorderUnderSortClearsSort) {
    const QString a = image("a.png");
    const QString b = image("b.png");
    const QString c = image("c.png");
    ASSERT_TRUE(table_.importImagePaths({a, b, c}));
    table_.model()->sort(0, Qt::DescendingOrder);
    ASSERT_EQ(table_.model()->arrangedPaths(), (QStringList{c, b, a}));
    const int steps = stack_.count();

    // Dropping "b" above "c": the displayed order becomes the movie order.
    std::unique_ptr<QMimeData> drag(table_.mimeDataForRows({1}));
    ASSERT_NE(drag, nullptr);
    ASSERT_TRUE(table_.model()->canDropMimeData(drag.get(), Qt::MoveAction, 0, 0, {}));
    ASSERT_TRUE(table_.model()->dropMimeData(drag.get(), Qt::MoveAction, 0, 0, {}));

    EXPECT_EQ(model_.imagePaths(), (QStringList{b, c, a}));
    EXPECT_FALSE(table_.model()->sortOrder().sorted);
    EXPECT_EQ(table_.currentState().selectedRows, QList<int>{0});
    EXPECT_EQ(stack_.count(), steps + 1);
    EXPECT_EQ(stack_.undoText(), "Reorder Images");

    stack_.undo();
    EXPECT_EQ(model_.imagePaths(), (QStringList{a, b, c}));
    EXPECT_EQ(table_.model()->sortOrder(), ImageSortOrder::byPath(Qt::DescendingOrder));
}

TEST_F(ImageTableTest, ReorderOfTheMovieOrderUnderSortStillEndsSorting) {
    const QString a = image("a.png");
    const QString b = image("b.png");
    ASSERT_TRUE(table_.importImagePaths({a, b}));
    table_.model()->sort(0, Qt::AscendingOrder);
    const int steps = stack_.count();

    table_.moveItemsAtIndexes({0}, 0);

    EXPECT_FALSE(table_.model()->sortOrder().sorted);
    EXPECT_EQ(stack_.count(), steps + 1);
}

TEST_F(ImageTableTest, DropOnItsOwnPlaceLeavesNoUndoStep) {
    const QString a = image("a.png");
    const QString b = image("b.png");
    const QString c = image("c.png");
    ASSERT_TRUE(table_.importImagePaths({a, b, c}));
    const int steps = stack_.count();
    std::unique_ptr<QMimeData> drag(table_.mimeDataForRows({1}));

    for (int row : {1, 2}) {
        select({});
        EXPECT_TRUE(table_.acceptDrop(drag.get(), row)) << row;
        EXPECT_EQ(model_.imagePaths(), (QStringList{a, b, c}));
        EXPECT_EQ(stack_.count(), steps);
        EXPECT_EQ(table_.currentState().selectedRows, QList<int>{1});
    }

    // Below the last row is a real move.
    EXPECT_TRUE(table_.acceptDrop(drag.get(), -1));
    EXPECT_EQ(model_.imagePaths(), (QStringList{a, c, b}));
    EXPECT_EQ(stack_.count(), steps + 1);
}

TEST_F(ImageTableTest, MalformedRowDropIsRefusedWhole) {
    ASSERT_TRUE(table_.importImagePaths({image("a.png"), image("b.png")}));
    const QStringList before = model_.imagePaths();
    const int steps = stack_.count();
    for (const char* value : {"0\n5", "x", "", "-1", "1\n"}) {
        std::unique_ptr<QMimeData> drag(table_.mimeDataForRows({0}));
        drag->setData(ImageTableController::kRowIndexMimeType, value);
        EXPECT_FALSE(table_.acceptDrop(drag.get(), 2)) << value;
    }
    std::unique_ptr<QMimeData> drag(table_.mimeDataForRows({0}));
    EXPECT_FALSE(table_.acceptDrop(drag.get(), 3));
    // The same bytes from anywhere but this table are no rows of it.
    QMimeData foreign;
    foreign.setData(ImageTableController::kRowIndexMimeType, "0");
    EXPECT_FALSE(table_.canDrop(&foreign, 2));
    EXPECT_FALSE(table_.acceptDrop(&foreign, 2));
    EXPECT_EQ(model_.imagePaths(), before);
    EXPECT_EQ(stack_.count(), steps);
}

TEST_F(ImageTableTest, FilesDroppedFromElsewhereGoToTheEnd) {
    const QString a = image("a.png");
    const QString b = image("b.png");
    ASSERT_TRUE(table_.importImagePaths({a}));
    QMimeData drop;
    drop.setUrls({QUrl::fromLocalFile(b), QUrl("https://example.com/c.png")});

    ASSERT_TRUE(table_.canDrop(&drop, 0));
    EXPECT_TRUE(table_.model()->dropMimeData(&drop, Qt::CopyAction, 0, 0, {}));

    EXPECT_EQ(model_.imagePaths(), (QStringList{a, b}));
    // Only file URLs are read from the drop.
    EXPECT_TRUE(panels_.alerts.empty());
    QMimeData web;
    web.setUrls({QUrl("https://example.com/c.png")});
    EXPECT_FALSE(table_.canDrop(&web, 0));
}

TEST_F(ImageTableTest, ADropFromAnotherApplicationIsAlwaysACopy) {
    const QString a = image("a.png");
    ImageTableView view(table_);
    view.resize(400, 300);
    view.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&view));
    struct Proposal {
        Qt::DropActions possible;
        Qt::KeyboardModifiers modifiers;
    };
    // The source offers both and the user asks for a move; the source offers every action.
    const Proposal proposals[] = {
        {Qt::CopyAction | Qt::MoveAction, Qt::ShiftModifier},
        {Qt::CopyAction | Qt::MoveAction | Qt::LinkAction, Qt::NoModifier}};
    const QPoint at(20, view.viewport()->height() - 5);  // below the last row
    int expectedRows = 0;
    for (const Proposal& proposal : proposals) {
        SCOPED_TRACE(static_cast<int>(proposal.possible));
        QMimeData data;
        data.setUrls({QUrl::fromLocalFile(a)});
        QDragEnterEvent enter(at, proposal.possible, &data, Qt::LeftButton, proposal.modifiers);
        QCoreApplication::sendEvent(view.viewport(), &enter);
        EXPECT_TRUE(enter.isAccepted());
        EXPECT_EQ(enter.dropAction(), Qt::CopyAction);
        QDragMoveEvent move(at, proposal.possible, &data, Qt::LeftButton, proposal.modifiers);
        QCoreApplication::sendEvent(view.viewport(), &move);
        EXPECT_TRUE(move.isAccepted());
        EXPECT_EQ(move.dropAction(), Qt::CopyAction);
        QDropEvent drop(at, proposal.possible, &data, Qt::LeftButton, proposal.modifiers);
        QCoreApplication::sendEvent(view.viewport(), &drop);
        EXPECT_TRUE(drop.isAccepted());
        EXPECT_EQ(drop.dropAction(), Qt::CopyAction);
        EXPECT_EQ(model_.imagePaths().size(), ++expectedRows);
    }

    // A source that only lets its files be moved away is refused: it would delete them.
    QMimeData data;
    data.setUrls({QUrl::fromLocalFile(a)});
    QDragEnterEvent enter(at, Qt::MoveAction, &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(view.viewport(), &enter);
    EXPECT_FALSE(enter.isAccepted());
    QDropEvent drop(at, Qt::MoveAction, &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(view.viewport(), &drop);
    EXPECT_FALSE(drop.isAccepted());
    EXPECT_EQ(model_.imagePaths().size(), expectedRows);
}

TEST_F(ImageTableTest, NothingChangesWhileExporting) {
    const QString a = image("a.png");
    const QString b = image("b.png");
    ASSERT_TRUE(table_.importImagePaths({a, b}));
    select({0});
    table_.removeSelectedImages();
    ASSERT_EQ(model_.imagePaths(), QStringList{b});
    std::unique_ptr<QMimeData> ownDrag(table_.mimeDataForRows({0}));
    ImageTableView view(table_);
    select({0});

    model_.setMovieCreationInProgress(true);

    EXPECT_FALSE(table_.importImagePaths({image("c.png")}));
    table_.removeSelectedImages();
    QTest::keyClick(&view, Qt::Key_Delete);
    view.deleteAction()->trigger();
    EXPECT_FALSE(view.deleteAction()->isEnabled());
    QMimeData drop;
    drop.setUrls({QUrl::fromLocalFile(a)});
    EXPECT_FALSE(table_.canDrop(&drop, 0));
    EXPECT_FALSE(table_.acceptDrop(&drop, 0));
    EXPECT_FALSE(table_.acceptDrop(ownDrag.get(), 1));
    EXPECT_EQ(table_.mimeDataForRows({0}), nullptr);
    EXPECT_FALSE(table_.model()->flags(table_.model()->index(0, 0)) & Qt::ItemIsDragEnabled);
    stack_.undo();
    EXPECT_EQ(model_.imagePaths(), QStringList{b});

    model_.setMovieCreationInProgress(false);
    EXPECT_TRUE(view.deleteAction()->isEnabled());
}

struct DeleteKeyCase {
    Qt::Key key;
    Qt::KeyboardModifiers modifiers;
    bool removes;
    const char* name;
};

void PrintTo(const DeleteKeyCase& keyCase, std::ostream* out) {
    *out << keyCase.name;
}

class ImageTableViewKeys : public ImageTableTest,
                           public ::testing::WithParamInterface<DeleteKeyCase> {};

TEST_P(ImageTableViewKeys, DeleteKeysRemoveOnlyWithoutCommandModifiers) {
    const DeleteKeyCase keyCase = GetParam();
    const QString a = image("a.png");
    const QString b = image("b.png");
    ASSERT_TRUE(table_.importImagePaths({a, b}));
    ImageTableView view(table_);
    view.show();
    select({0});

    QTest::keyClick(&view, keyCase.key, keyCase.modifiers);

    EXPECT_EQ(model_.imagePaths(), keyCase.removes ? QStringList{b} : (QStringList{a, b}));
}

INSTANTIATE_TEST_SUITE_P(
    Keys, ImageTableViewKeys,
    ::testing::Values(DeleteKeyCase{Qt::Key_Delete, Qt::NoModifier, true, "Delete"},
                      DeleteKeyCase{Qt::Key_Backspace, Qt::NoModifier, true, "Backspace"},
                      DeleteKeyCase{Qt::Key_Delete, Qt::ShiftModifier, true, "ShiftDelete"},
                      DeleteKeyCase{Qt::Key_Backspace, Qt::ShiftModifier, true, "ShiftBackspace"},
                      DeleteKeyCase{Qt::Key_Delete, Qt::ControlModifier, false, "ControlDelete"},
                      DeleteKeyCase{Qt::Key_Backspace, Qt::AltModifier, false, "AltBackspace"},
                      DeleteKeyCase{Qt::Key_Delete, Qt::MetaModifier, false, "MetaDelete"},
                      DeleteKeyCase{Qt::Key_X, Qt::NoModifier, false, "X"}),
    [](const ::testing::TestParamInfo<DeleteKeyCase>& info) {
        return std::string(info.param.name);
    });

TEST_F(ImageTableTest, DeleteActionFollowsSelection) {
    ASSERT_TRUE(table_.importImagePaths({image("a.png"), image("b.png")}));
    ImageTableView view(table_);
    select({});
    EXPECT_FALSE(view.deleteAction()->isEnabled());
    select({1});
    EXPECT_TRUE(view.deleteAction()->isEnabled());
    view.setEnabled(false);
    EXPECT_FALSE(view.deleteAction()->isEnabled());
    view.setEnabled(true);

    view.deleteAction()->trigger();
    EXPECT_EQ(model_.imagePaths().size(), 1);
    EXPECT_EQ(stack_.undoText(), "Remove Images");
}

TEST_F(ImageTableTest, HeaderSortKeepsSelectionOnTheSameImages) {
    const QString a = image("a.png");
    const QString b = image("b.png");
    const QString c = image("c.png");
    ASSERT_TRUE(table_.importImagePaths({b, c, a}));
    ImageTableView view(table_);
    select({1});  // "c"
    const int steps = stack_.count();

    view.sortByColumn(0, Qt::AscendingOrder);

    EXPECT_EQ(table_.model()->arrangedPaths(), (QStringList{a, b, c}));
    EXPECT_EQ(table_.currentState().selectedRows, QList<int>{2});
    EXPECT_EQ(model_.imagePaths(), (QStringList{b, c, a}));
    EXPECT_EQ(stack_.count(), steps);
}

}  // namespace
}  // namespace fw
