// ImageListModel: the table model that shows the movie's image paths, one row per image, in
// movie order or sorted by path. It only arranges and shows; every change of the list and
// every drag and drop is decided by the ImageTableController that owns it.
//
// Sorting through `sort` (a click on the column header) rearranges the rows in place and
// keeps the selection on the same images; it does not change the movie order.
//
// Thread-safety: main thread only.
#pragma once

#include <QAbstractTableModel>
#include <QStringList>
#include <vector>

#include "app/window/ImageTableState.h"

namespace fw {

class ImageTableController;

class ImageListModel : public QAbstractTableModel {
    Q_OBJECT

public:
    explicit ImageListModel(ImageTableController& controller, QObject* parent = nullptr);

    // Shows `paths` (movie order) arranged by `sortOrder`. Resets the model.
    void setContent(const QStringList& paths, ImageSortOrder sortOrder);

    // The paths in the displayed order.
    const QStringList& arrangedPaths() const { return arranged_; }
    // For each displayed row, its position in the movie order.
    const std::vector<int>& modelPositions() const { return positions_; }
    ImageSortOrder sortOrder() const { return sortOrder_; }

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    void sort(int column, Qt::SortOrder order = Qt::AscendingOrder) override;

    QStringList mimeTypes() const override;
    QMimeData* mimeData(const QModelIndexList& indexes) const override;
    Qt::DropActions supportedDragActions() const override;
    Qt::DropActions supportedDropActions() const override;
    bool canDropMimeData(const QMimeData* data, Qt::DropAction action, int row, int column,
                         const QModelIndex& parent) const override;
    bool dropMimeData(const QMimeData* data, Qt::DropAction action, int row, int column,
                      const QModelIndex& parent) override;

signals:
    // The sort order changed through `sort` (a click on the column header).
    void sortOrderChanged();

private:
    void arrange();

    ImageTableController& controller_;
    QStringList paths_;
    ImageSortOrder sortOrder_;
    QStringList arranged_;
    std::vector<int> positions_;
};

}  // namespace fw
