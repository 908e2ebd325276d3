// ImageTableState: a snapshot of the image table, taken before and after every change so
// that undo and redo can put the table back exactly: the movie order of the paths, the
// table's sort order, the selected rows and the read lease held for each path.
//
// Holding a snapshot keeps its leases, and so the access to its files, alive.
//
// Thread-safety: a plain value; copies may be used on different threads.
#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <Qt>
#include <map>

#include "app/folders/FileAccessLease.h"

namespace fw {

// The order in which the table shows the paths: the movie order, or sorted by path.
struct ImageSortOrder {
    bool sorted = false;
    Qt::SortOrder order = Qt::AscendingOrder;

    static ImageSortOrder none() { return {}; }
    static ImageSortOrder byPath(Qt::SortOrder order) { return {true, order}; }
    friend bool operator==(const ImageSortOrder& a, const ImageSortOrder& b) {
        return a.sorted == b.sorted && (!a.sorted || a.order == b.order);
    }
};

using LeasesByPath = std::map<QString, FileAccessLeasePtr>;

struct ImageTableState {
    QStringList paths;          // movie order
    ImageSortOrder sortOrder;   // the table's sort order
    QList<int> selectedRows;    // ascending rows of the displayed order
    LeasesByPath leasesByPath;  // one read lease per distinct path
};

}  // namespace fw
