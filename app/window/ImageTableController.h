// ImageTableController: the behaviour of the window's image table. The list it edits is the
// `imagePaths` of the window's ImagesToMovie model, in movie order; the table shows it through
// `model()`, arranged by the table's sort order, with the selection in `selectionModel()`.
//
// Every change (adding by panel or drop, removing, reordering by drag, undo and redo) goes
// through `replacePaths`, which sets the list, the sort order and the selection, keeps exactly
// one read lease per distinct path (rows of the same path share it), and pushes one undo step
// holding the table's state before and after, leases included, so that access to the files of
// an undone or redone change is still open. While the model exports, nothing changes.
//
// Problems with dropped or chosen items never fail an import: the items that can be added are
// added and the others are listed in one "Some items were not imported" alert.
//
// Thread-safety: a QObject of the main thread; everything runs there.
#pragma once

#include <QList>
#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QUrl>
#include <vector>

#include "app/folders/FileAccessLease.h"
#include "app/window/ImageTableState.h"

class QItemSelectionModel;
class QMimeData;
class QUndoStack;

namespace fw {

class FileAccessManager;
class ImageListModel;
class ImagesToMovie;
class PanelService;

class ImageTableController : public QObject {
    Q_OBJECT

public:
    // The drag type of rows dragged inside the table; the value is the row numbers, in the
    // displayed order, as decimal text, one per line.
    static constexpr const char* kRowIndexMimeType = "org.frameweaver.row-index";
    // Undo action names.
    static constexpr const char* kAddImagesAction = "Add Images";
    static constexpr const char* kRemoveImagesAction = "Remove Images";
    static constexpr const char* kReorderImagesAction = "Reorder Images";

    // The MIME types of the files the table accepts (the images the renderer decodes, and
    // PDF), without duplicates. The open panel offers the same.
    static const QStringList& supportedImageContentTypes();
    // Name filters for an open panel that offers the supported types, e.g.
    // "Images (*.png *.jpg ...)".
    static QStringList imageNameFilters();

    // Items of one import, sorted by what happens to them.
    struct Classification {
        QStringList acceptedPaths;
        QStringList folders;      // names
        QStringList unsupported;  // names
        QStringList unreadable;   // names
        LeasesByPath leases;      // new leases for accepted paths the table does not hold
    };

    // `store` hands out the read leases; it must outlive the controller.
    explicit ImageTableController(FileAccessManager& store, QObject* parent = nullptr);
    ~ImageTableController() override;

    // The window's model whose `imagePaths` is the list; not owned. Setting it shows its
    // list (in movie order, nothing selected); the leases are kept for paths still listed.
    void setImagesToMovie(ImagesToMovie* imagesToMovie);
    ImagesToMovie* imagesToMovie() const;
    // The window's undo stack; not owned; may be null (no undo steps are made).
    void setUndoStack(QUndoStack* undoStack);
    QUndoStack* undoStack() const;
    // Where the skipped-items alert is shown; not owned; null: the alert is not shown.
    void setPanelService(PanelService* panels) { panels_ = panels; }

    // The table's model and selection, for the view.
    ImageListModel* model() const { return model_; }
    QItemSelectionModel* selectionModel() const { return selection_; }

    // A model is set and it is not exporting.
    bool canMutate() const;

    // Adds the accepted items at the end of the movie order (as one "Add Images" step) and
    // reports the skipped ones. True if anything was added.
    bool importImageURLs(const QList<QUrl>& urls);
    bool importImagePaths(const QStringList& paths);
    // Removes the selected rows (one "Remove Images" step).
    void removeSelectedImages();
    // Moves the displayed `rows` to the displayed row `destination` (0 to the row count); the
    // displayed order becomes the movie order and the sorting ends ("Reorder Images"). A
    // move that changes nothing in an unsorted table only selects the rows.
    void moveItemsAtIndexes(QList<int> rows, int destination);

    // The one change: the list, the sort order and the selection (displayed rows), with
    // `additionalLeases` added to those held (replacing any under the same path) and every
    // lease of a path no longer listed dropped. Makes an undo step named `actionName` unless
    // nothing changes.
    void replacePaths(const QStringList& paths, ImageSortOrder sortOrder,
                      const QList<int>& selectedRows, const QString& actionName,
                      const LeasesByPath& additionalLeases = {});
    // Puts the table back to `state` (with its leases) as a step named `actionName`.
    void restoreState(const ImageTableState& state, const QString& actionName);
    ImageTableState currentState() const;

    // The lease held for `path`, or null.
    FileAccessLeasePtr leaseForImagePath(const QString& path) const;
    // Every lease held, one per distinct path; for the export of the window's model.
    std::vector<FileAccessLeasePtr> currentImageLeases() const;

    Classification classifyURLs(const QList<QUrl>& urls);
    // "Some items were not imported" with a line per non-empty list: "Folders: %@",
    // "Unsupported files: %@", "Missing or unreadable files: %@".
    void presentSkippedImportAlert(const QStringList& folders, const QStringList& unsupported,
                                   const QStringList& unreadable);
    static QString skippedImportText(const QStringList& folders, const QStringList& unsupported,
                                     const QStringList& unreadable);

    // Drag and drop, as the model and the view ask for it.
    // The drag of displayed `rows`; null when they cannot be dragged.
    QMimeData* mimeDataForRows(const QList<int>& rows) const;
    // Whether `data` may be dropped above the displayed `row` (-1: after the last row).
    bool canDrop(const QMimeData* data, int row) const;
    // Reorders for rows of this table, imports files from elsewhere. False when refused.
    bool acceptDrop(const QMimeData* data, int row);

signals:
    // `canMutate()` may have changed (a model was set, an export started or ended).
    void canMutateChanged(bool canMutate);

private:
    friend class ImageTableCommand;

    void apply(const ImageTableState& state);
    void showModelList();
    bool isOwnDrag(const QMimeData* data) const;
    QList<int> selectedRows() const;
    void selectRows(const QList<int>& rows);

    FileAccessManager& store_;
    QPointer<ImagesToMovie> imagesToMovie_;
    QPointer<QUndoStack> undoStack_;
    PanelService* panels_ = nullptr;
    ImageListModel* model_;
    QItemSelectionModel* selection_;
    LeasesByPath leasesByPath_;
    std::vector<QMetaObject::Connection> modelConnections_;
    bool applying_ = false;
};

}  // namespace fw
