#include "app/window/ImageTableController.h"

#include <unistd.h>

#include <QFileInfo>
#include <QHash>
#include <QItemSelectionModel>
#include <QMimeData>
#include <QMimeDatabase>
#include <QSet>
#include <QUndoStack>
#include <algorithm>
#include <filesystem>
#include <set>
#include <system_error>

#include "app/export/ImagesToMovie.h"
#include "app/folders/FileAccessManager.h"
#include "app/render/SupportedImageTypes.h"
#include "app/window/ImageCommands.h"
#include "app/window/ImageListModel.h"
#include "app/window/PanelService.h"
#include "platform/AccessGrants.h"

namespace fw {

namespace {

// The drag of rows of one table; remembers its table so that a drop can tell its own rows
// from a drag that only looks alike.
class RowDragData : public QMimeData {
public:
    explicit RowDragData(const ImageTableController* source) : source_(source) {}
    const ImageTableController* source() const { return source_; }

private:
    const ImageTableController* source_;
};

// The last path component, else `fallback`, else "Unknown item".
QString itemName(const QString& path, const QString& fallback = {}) {
    QString name = QFileInfo(path).fileName();
    if (name.isEmpty()) {
        name = fallback;
    }
    return name.isEmpty() ? QStringLiteral("Unknown item") : name;
}

bool sameStringObject(const QString& a, const QString& b) {
    return a.size() == b.size() && a.constData() == b.constData();
}

// Keeps only the leases of paths in `paths`.
void dropLeasesNotIn(LeasesByPath& leases, const QStringList& paths) {
    const QSet<QString> listed(paths.begin(), paths.end());
    std::erase_if(leases, [&](const auto& entry) { return !listed.contains(entry.first); });
}

QList<int> normalizedRows(QList<int> rows) {
    std::sort(rows.begin(), rows.end());
    rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
    return rows;
}

}  // namespace

const QStringList& ImageTableController::supportedImageContentTypes() {
    return fw::supportedImageContentTypes();
}

QStringList ImageTableController::imageNameFilters() {
    QMimeDatabase database;
    QStringList patterns;
    for (const QString& name : supportedImageContentTypes()) {
        for (const QString& pattern : database.mimeTypeForName(name).globPatterns()) {
            if (!patterns.contains(pattern)) {
                patterns.append(pattern);
            }
        }
    }
    return {tr("Images (%1)").arg(patterns.join(QLatin1Char(' ')))};
}

ImageTableController::ImageTableController(FileAccessManager& store, QObject* parent)
    : QObject(parent),
      store_(store),
      model_(new ImageListModel(*this, this)),
      selection_(new QItemSelectionModel(model_, this)) {}

ImageTableController::~ImageTableController() {
    for (const auto& connection : modelConnections_) {
        disconnect(connection);
    }
}

void ImageTableController::setImagesToMovie(ImagesToMovie* imagesToMovie) {
    for (const auto& connection : modelConnections_) {
        disconnect(connection);
    }
    modelConnections_.clear();
    imagesToMovie_ = imagesToMovie;
    if (imagesToMovie != nullptr) {
        modelConnections_.push_back(
            connect(imagesToMovie, &ImagesToMovie::imagePathsChanged, this, [this] {
                if (!applying_) {
                    showModelList();
                }
            }));
        modelConnections_.push_back(connect(imagesToMovie,
                                            &ImagesToMovie::movieCreationInProgressChanged, this,
                                            [this] { emit canMutateChanged(canMutate()); }));
    }
    showModelList();
    emit canMutateChanged(canMutate());
}

ImagesToMovie* ImageTableController::imagesToMovie() const {
    return imagesToMovie_;
}

void ImageTableController::setUndoStack(QUndoStack* undoStack) {
    undoStack_ = undoStack;
}

QUndoStack* ImageTableController::undoStack() const {
    return undoStack_;
}

void ImageTableController::showModelList() {
    const QStringList paths = imagesToMovie_ ? imagesToMovie_->imagePaths() : QStringList{};
    dropLeasesNotIn(leasesByPath_, paths);
    model_->setContent(paths, model_->sortOrder());
}

bool ImageTableController::canMutate() const {
    return imagesToMovie_ && !imagesToMovie_->movieCreationInProgress();
}

QList<int> ImageTableController::selectedRows() const {
    QList<int> rows;
    for (const QModelIndex& index : selection_->selectedIndexes()) {
        rows.append(index.row());
    }
    return normalizedRows(rows);
}

void ImageTableController::selectRows(const QList<int>& rows) {
    // One range per run of neighbouring rows: selecting everything stays one range.
    QItemSelection selection;
    for (qsizetype i = 0; i < rows.size();) {
        qsizetype last = i;
        while (last + 1 < rows.size() && rows[last + 1] == rows[last] + 1) {
            ++last;
        }
        selection.select(model_->index(rows[i], 0), model_->index(rows[last], 0));
        i = last + 1;
    }
    // One column: each range already spans whole rows.
    selection_->select(selection, QItemSelectionModel::ClearAndSelect);
    if (!rows.isEmpty()) {
        selection_->setCurrentIndex(model_->index(rows.first(), 0), QItemSelectionModel::NoUpdate);
    }
}

ImageTableState ImageTableController::currentState() const {
    ImageTableState state;
    if (imagesToMovie_) {
        state.paths = imagesToMovie_->imagePaths();
    }
    state.sortOrder = model_->sortOrder();
    state.selectedRows = selectedRows();
    state.leasesByPath = leasesByPath_;
    return state;
}

void ImageTableController::apply(const ImageTableState& state) {
    // Leases first: whoever follows the list (the settings panel) borrows them at once.
    LeasesByPath leases = leasesByPath_;
    for (const auto& [path, lease] : state.leasesByPath) {
        leases[path] = lease;
    }
    dropLeasesNotIn(leases, state.paths);
    leasesByPath_ = std::move(leases);

    applying_ = true;
    imagesToMovie_->setImagePaths(state.paths);
    applying_ = false;
    model_->setContent(state.paths, state.sortOrder);

    QList<int> rows;
    for (int row : state.selectedRows) {
        if (row >= 0 && row < model_->rowCount()) {
            rows.append(row);
        }
    }
    selectRows(rows);
}

void ImageTableController::replacePaths(const QStringList& paths, ImageSortOrder sortOrder,
                                        const QList<int>& selectedRows, const QString& actionName,
                                        const LeasesByPath& additionalLeases) {
    if (!canMutate()) {
        return;
    }
    ImageTableState previous = currentState();
    const QList<int> selection = normalizedRows(selectedRows);
    if (paths == previous.paths && sortOrder == previous.sortOrder &&
        selection == previous.selectedRows) {
        return;
    }
    apply({paths, sortOrder, selection, additionalLeases});
    if (undoStack_) {
        undoStack_->push(
            new ImageTableCommand(*this, std::move(previous), currentState(), actionName));
    }
}

void ImageTableController::restoreState(const ImageTableState& state, const QString& actionName) {
    replacePaths(state.paths, state.sortOrder, state.selectedRows, actionName, state.leasesByPath);
}

FileAccessLeasePtr ImageTableController::leaseForImagePath(const QString& path) const {
    const auto found = leasesByPath_.find(path);
    return found == leasesByPath_.end() ? nullptr : found->second;
}

std::vector<FileAccessLeasePtr> ImageTableController::currentImageLeases() const {
    std::vector<FileAccessLeasePtr> leases;
    leases.reserve(leasesByPath_.size());
    for (const auto& entry : leasesByPath_) {
        leases.push_back(entry.second);
    }
    return leases;
}

bool ImageTableController::importImagePaths(const QStringList& paths) {
    QList<QUrl> urls;
    urls.reserve(paths.size());
    for (const QString& path : paths) {
        urls.append(QUrl::fromLocalFile(path));
    }
    return importImageURLs(urls);
}

bool ImageTableController::importImageURLs(const QList<QUrl>& urls) {
    if (!canMutate() || urls.isEmpty()) {
        return false;
    }
    Classification items = classifyURLs(urls);
    bool added = false;
    if (!items.acceptedPaths.isEmpty() && canMutate()) {
        // Always at the end of the movie order; a sorted table shows them where they sort.
        const QStringList paths = imagesToMovie_->imagePaths() + items.acceptedPaths;
        replacePaths(paths, model_->sortOrder(), selectedRows(),
                     QString::fromLatin1(kAddImagesAction), items.leases);
        added = true;
    }
    if (!items.folders.isEmpty() || !items.unsupported.isEmpty() || !items.unreadable.isEmpty()) {
        presentSkippedImportAlert(items.folders, items.unsupported, items.unreadable);
    }
    return added;
}

ImageTableController::Classification ImageTableController::classifyURLs(const QList<QUrl>& urls) {
    namespace fs = std::filesystem;
    Classification items;
    static const QMimeDatabase database;
    for (const QUrl& url : urls) {
        if (!url.isValid() || !url.isLocalFile() || url.toLocalFile().isEmpty()) {
            items.unreadable.append(itemName(url.path(), url.toDisplayString()));
            continue;
        }
        const QString path = QFileInfo(url.toLocalFile()).absoluteFilePath();
        const std::string native = path.toStdString();
        FileAccessLeasePtr lease = store_.leaseForReadingURLs({fs::path(native)}, nullptr);
        if (!lease) {
            items.unreadable.append(itemName(path));
            continue;
        }
        std::error_code error;
        const fs::file_status status = fs::status(native, error);
        if (error || !fs::exists(status)) {
            items.unreadable.append(itemName(path));
            continue;
        }
        if (fs::is_directory(status)) {
            items.folders.append(itemName(path));
            continue;
        }
        if (!fs::is_regular_file(status) || ::access(native.c_str(), R_OK) != 0) {
            items.unreadable.append(itemName(path));
            continue;
        }
        const QMimeType type = database.mimeTypeForFile(path);
        if (!isSupportedImageContentType(type)) {
            items.unsupported.append(itemName(path));
            continue;
        }
        // The user handed this image over (panel or drop): it may be reached from now on.
        // Only images are registered; a folder or a refused item gives access to nothing.
        platform::AccessGrants::shared().grant(native);
        items.acceptedPaths.append(path);
        if (!leasesByPath_.contains(path) && !items.leases.contains(path)) {
            // Taken again now that the file is registered, so that the lease holds its access
            // open; the first one only checked that the file may be read.
            if (FileAccessLeasePtr granted =
                    store_.leaseForReadingURLs({fs::path(native)}, nullptr)) {
                lease = std::move(granted);
            }
            items.leases.emplace(path, std::move(lease));
        }
        // A lease not kept ends here, and with it the access it opened.
    }
    return items;
}

QString ImageTableController::skippedImportText(const QStringList& folders,
                                                const QStringList& unsupported,
                                                const QStringList& unreadable) {
    const QString separator = QStringLiteral(", ");
    QStringList lines;
    if (!folders.isEmpty()) {
        lines.append(QStringLiteral("Folders: %1").arg(folders.join(separator)));
    }
    if (!unsupported.isEmpty()) {
        lines.append(QStringLiteral("Unsupported files: %1").arg(unsupported.join(separator)));
    }
    if (!unreadable.isEmpty()) {
        lines.append(
            QStringLiteral("Missing or unreadable files: %1").arg(unreadable.join(separator)));
    }
    return lines.join(QLatin1Char('\n'));
}

void ImageTableController::presentSkippedImportAlert(const QStringList& folders,
                                                     const QStringList& unsupported,
                                                     const QStringList& unreadable) {
    if (panels_ == nullptr) {
        return;
    }
    PanelService::Alert alert;
    alert.messageText = QStringLiteral("Some items were not imported");
    alert.informativeText = skippedImportText(folders, unsupported, unreadable);
    alert.buttons = {QStringLiteral("OK")};
    alert.style = PanelService::Alert::Style::warning;
    panels_->showAlert(alert);
}

void ImageTableController::removeSelectedImages() {
    if (!canMutate()) {
        return;
    }
    const QList<int> selected = selectedRows();
    const QStringList displayed = model_->arrangedPaths();
    if (selected.isEmpty() || selected.last() >= displayed.size()) {
        return;
    }
    const QStringList paths = imagesToMovie_->imagePaths();
    // Each displayed row stands for one distinct position of the list: the same string
    // object where there is one, else an equal string. Rows that match nothing mean the
    // table no longer shows the list; then nothing is removed. Free positions are kept per
    // path, in list order, so that long lists cost no quadratic scan.
    QHash<QString, std::vector<int>> freePositions;
    for (int position = 0; position < paths.size(); ++position) {
        freePositions[paths[position]].push_back(position);
    }
    std::set<int> removed;
    for (int row = 0; row < displayed.size(); ++row) {
        const QString& shown = displayed[row];
        const auto found = freePositions.find(shown);
        if (found == freePositions.end() || found->empty()) {
            return;
        }
        std::vector<int>& candidates = *found;
        auto chosen = std::find_if(candidates.begin(), candidates.end(), [&](int position) {
            return sameStringObject(paths[position], shown);
        });
        if (chosen == candidates.end()) {
            chosen = candidates.begin();
        }
        const int position = *chosen;
        candidates.erase(chosen);
        if (std::binary_search(selected.begin(), selected.end(), row)) {
            removed.insert(position);
        }
    }
    QStringList remaining;
    for (int position = 0; position < paths.size(); ++position) {
        if (!removed.contains(position)) {
            remaining.append(paths[position]);
        }
    }
    replacePaths(remaining, model_->sortOrder(), {}, QString::fromLatin1(kRemoveImagesAction));
}

void ImageTableController::moveItemsAtIndexes(QList<int> rows, int destination) {
    if (!canMutate()) {
        return;
    }
    rows = normalizedRows(rows);
    const QStringList displayed = model_->arrangedPaths();
    if (rows.isEmpty() || rows.first() < 0 || rows.last() >= displayed.size() || destination < 0 ||
        destination > displayed.size()) {
        return;
    }
    int target = destination;
    QStringList moved;
    QStringList result;
    for (int row = 0; row < displayed.size(); ++row) {
        if (std::binary_search(rows.begin(), rows.end(), row)) {
            moved.append(displayed[row]);
            if (row < destination) {
                --target;
            }
        } else {
            result.append(displayed[row]);
        }
    }
    for (int i = 0; i < moved.size(); ++i) {
        result.insert(target + i, moved[i]);
    }
    QList<int> selection;
    for (int i = 0; i < moved.size(); ++i) {
        selection.append(target + i);
    }
    if (result == imagesToMovie_->imagePaths() && !model_->sortOrder().sorted) {
        selectRows(selection);
        return;
    }
    // The displayed order becomes the movie order, which ends any sorting.
    replacePaths(result, ImageSortOrder::none(), selection,
                 QString::fromLatin1(kReorderImagesAction));
}

bool ImageTableController::isOwnDrag(const QMimeData* data) const {
    const auto* rows = dynamic_cast<const RowDragData*>(data);
    return rows != nullptr && rows->source() == this;
}

QMimeData* ImageTableController::mimeDataForRows(const QList<int>& rows) const {
    if (!canMutate() || rows.isEmpty()) {
        return nullptr;
    }
    QByteArray value;
    for (int row : rows) {
        if (row < 0 || row >= model_->rowCount()) {
            return nullptr;
        }
        if (!value.isEmpty()) {
            value.append('\n');
        }
        value.append(QByteArray::number(row));
    }
    auto* data = new RowDragData(this);
    data->setData(QString::fromLatin1(kRowIndexMimeType), value);
    return data;
}

bool ImageTableController::canDrop(const QMimeData* data, int row) const {
    if (!canMutate() || data == nullptr) {
        return false;
    }
    if (isOwnDrag(data)) {
        return row >= -1 && row <= model_->rowCount();
    }
    const QList<QUrl> urls = data->urls();
    return std::any_of(urls.begin(), urls.end(), [](const QUrl& url) { return url.isLocalFile(); });
}

bool ImageTableController::acceptDrop(const QMimeData* data, int row) {
    if (!canMutate() || data == nullptr) {
        return false;
    }
    if (!isOwnDrag(data)) {
        QList<QUrl> files;
        for (const QUrl& url : data->urls()) {
            if (url.isLocalFile()) {
                files.append(url);
            }
        }
        // Wherever they were dropped, new images go to the end of the movie order.
        return importImageURLs(files);
    }
    const int count = model_->rowCount();
    if (row == -1) {
        row = count;  // dropped below the last row
    }
    if (row < 0 || row > count) {
        return false;
    }
    QList<int> rows;
    const QByteArray value = data->data(QString::fromLatin1(kRowIndexMimeType));
    for (const QByteArray& item : value.split('\n')) {
        bool ok = false;
        const int dragged = item.toInt(&ok);
        if (!ok || dragged < 0 || dragged >= count) {
            return false;
        }
        rows.append(dragged);
    }
    if (rows.isEmpty()) {
        return false;
    }
    moveItemsAtIndexes(rows, row);
    return true;
}

}  // namespace fw
