#include "app/window/ImageListModel.h"

#include <QMimeData>
#include <algorithm>
#include <numeric>
#include <set>

#include "app/window/ImageTableController.h"

namespace fw {

ImageListModel::ImageListModel(ImageTableController& controller, QObject* parent)
    : QAbstractTableModel(parent), controller_(controller) {}

void ImageListModel::setContent(const QStringList& paths, ImageSortOrder sortOrder) {
    beginResetModel();
    paths_ = paths;
    sortOrder_ = sortOrder;
    arrange();
    endResetModel();
}

void ImageListModel::arrange() {
    positions_.resize(static_cast<std::size_t>(paths_.size()));
    std::iota(positions_.begin(), positions_.end(), 0);
    if (sortOrder_.sorted) {
        // Stable, so equal paths keep their movie order and a sort is repeatable.
        std::stable_sort(positions_.begin(), positions_.end(), [this](int a, int b) {
            const int order = paths_[a].localeAwareCompare(paths_[b]);
            return sortOrder_.order == Qt::AscendingOrder ? order < 0 : order > 0;
        });
    }
    arranged_.clear();
    arranged_.reserve(paths_.size());
    for (int position : positions_) {
        arranged_.append(paths_[position]);
    }
}

int ImageListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(arranged_.size());
}

int ImageListModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : 1;
}

QVariant ImageListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() < 0 || index.row() >= arranged_.size() ||
        index.column() != 0) {
        return {};
    }
    if (role == Qt::DisplayRole || role == Qt::ToolTipRole) {
        return arranged_[index.row()];
    }
    return {};
}

QVariant ImageListModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation == Qt::Horizontal && section == 0 && role == Qt::DisplayRole) {
        return tr("Image");
    }
    return QAbstractTableModel::headerData(section, orientation, role);
}

Qt::ItemFlags ImageListModel::flags(const QModelIndex& index) const {
    if (!index.isValid()) {
        // Drops land between rows or after the last one, never on a row.
        return Qt::ItemIsDropEnabled;
    }
    Qt::ItemFlags flags = Qt::ItemIsSelectable | Qt::ItemIsEnabled | Qt::ItemNeverHasChildren;
    if (controller_.canMutate()) {
        flags |= Qt::ItemIsDragEnabled;
    }
    return flags;
}

void ImageListModel::sort(int column, Qt::SortOrder order) {
    const ImageSortOrder next =
        column == 0 ? ImageSortOrder::byPath(order) : ImageSortOrder::none();
    if (next == sortOrder_) {
        return;
    }
    // Rearranges in place so that the selection (and every other persistent index) follows
    // its image.
    emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
    const QModelIndexList before = persistentIndexList();
    std::vector<int> positionsBefore;
    positionsBefore.reserve(static_cast<std::size_t>(before.size()));
    for (const QModelIndex& index : before) {
        positionsBefore.push_back(positions_[static_cast<std::size_t>(index.row())]);
    }
    sortOrder_ = next;
    arrange();
    std::vector<int> rowOfPosition(positions_.size());
    for (std::size_t row = 0; row < positions_.size(); ++row) {
        rowOfPosition[static_cast<std::size_t>(positions_[row])] = static_cast<int>(row);
    }
    QModelIndexList after;
    after.reserve(before.size());
    for (qsizetype i = 0; i < before.size(); ++i) {
        after.append(
            index(rowOfPosition[static_cast<std::size_t>(positionsBefore[i])], before[i].column()));
    }
    changePersistentIndexList(before, after);
    emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
    emit sortOrderChanged();
}

QStringList ImageListModel::mimeTypes() const {
    return {QString::fromLatin1(ImageTableController::kRowIndexMimeType),
            QStringLiteral("text/uri-list")};
}

QMimeData* ImageListModel::mimeData(const QModelIndexList& indexes) const {
    std::set<int> rows;
    for (const QModelIndex& index : indexes) {
        if (index.isValid()) {
            rows.insert(index.row());
        }
    }
    return controller_.mimeDataForRows(QList<int>(rows.begin(), rows.end()));
}

Qt::DropActions ImageListModel::supportedDragActions() const {
    return Qt::MoveAction;
}

Qt::DropActions ImageListModel::supportedDropActions() const {
    return Qt::MoveAction | Qt::CopyAction;
}

bool ImageListModel::canDropMimeData(const QMimeData* data, Qt::DropAction, int row, int,
                                     const QModelIndex& parent) const {
    if (parent.isValid()) {
        return false;
    }
    return controller_.canDrop(data, row);
}

bool ImageListModel::dropMimeData(const QMimeData* data, Qt::DropAction action, int row, int column,
                                  const QModelIndex& parent) {
    if (!canDropMimeData(data, action, row, column, parent)) {
        return false;
    }
    return controller_.acceptDrop(data, row);
}

}  // namespace fw
