#include "app/window/ImageTableView.h"

#include <QAction>
#include <QContextMenuEvent>
#include <QDropEvent>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QMenu>
#include <QSignalBlocker>

#include "app/window/ImageListModel.h"
#include "app/window/ImageTableController.h"

namespace fw {

ImageTableView::ImageTableView(ImageTableController& controller, QWidget* parent)
    : QTableView(parent), controller_(controller), deleteAction_(new QAction(tr("Delete"), this)) {
    setModel(controller.model());
    setSelectionModel(controller.selectionModel());
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setDragEnabled(true);
    setAcceptDrops(true);
    setDropIndicatorShown(true);
    setDragDropMode(QAbstractItemView::DragDrop);
    setDefaultDropAction(Qt::MoveAction);
    setDragDropOverwriteMode(false);
    setWordWrap(false);
    setTextElideMode(Qt::ElideMiddle);
    verticalHeader()->hide();
    horizontalHeader()->setStretchLastSection(true);
    horizontalHeader()->setSortIndicatorShown(true);
    horizontalHeader()->setSectionsClickable(true);
    // The indicator first: enabling sorting sorts at once by whatever it shows.
    updateSortIndicator();
    setSortingEnabled(true);

    deleteAction_->setShortcutContext(Qt::WidgetShortcut);
    connect(deleteAction_, &QAction::triggered, this, &ImageTableView::deleteSelected);
    addAction(deleteAction_);

    ImageListModel* model = controller.model();
    connect(model, &QAbstractItemModel::modelReset, this, &ImageTableView::updateSortIndicator);
    connect(model, &QAbstractItemModel::modelReset, this, &ImageTableView::updateDeleteAction);
    connect(controller.selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &ImageTableView::updateDeleteAction);
    connect(&controller, &ImageTableController::canMutateChanged, this,
            &ImageTableView::updateDeleteAction);
    updateDeleteAction();
}

bool ImageTableView::canDelete() const {
    return isEnabled() && controller_.canMutate() && controller_.selectionModel()->hasSelection();
}

void ImageTableView::deleteSelected() {
    if (canDelete()) {
        controller_.removeSelectedImages();
    }
}

void ImageTableView::keyPressEvent(QKeyEvent* event) {
    const bool commandHeld =
        (event->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier)) != 0;
    const bool deleteKey = event->key() == Qt::Key_Backspace || event->key() == Qt::Key_Delete;
    if (deleteKey && !commandHeld) {
        deleteSelected();
        event->accept();
        return;
    }
    QTableView::keyPressEvent(event);
}

namespace {

// Files from elsewhere are copied: whatever the source proposes, the drop reports a copy, so
// the source never deletes what it handed over. A source that allows nothing but a move is
// refused. Returns false when the event is refused and must go no further.
bool takeForeignDropAsCopy(QDropEvent* event, const QWidget* table) {
    if (event->source() == table) {
        return true;
    }
    if (!(event->possibleActions() & Qt::CopyAction)) {
        event->ignore();  // the source then sees no action taken
        return false;
    }
    event->setDropAction(Qt::CopyAction);
    return true;
}

}  // namespace

void ImageTableView::dragEnterEvent(QDragEnterEvent* event) {
    if (takeForeignDropAsCopy(event, this)) {
        QTableView::dragEnterEvent(event);
        // The base class may have taken the source's proposal again.
        takeForeignDropAsCopy(event, this);
    }
}

void ImageTableView::dragMoveEvent(QDragMoveEvent* event) {
    if (takeForeignDropAsCopy(event, this)) {
        QTableView::dragMoveEvent(event);
        takeForeignDropAsCopy(event, this);
    }
}

void ImageTableView::dropEvent(QDropEvent* event) {
    if (takeForeignDropAsCopy(event, this)) {
        QTableView::dropEvent(event);
        takeForeignDropAsCopy(event, this);
    }
}

void ImageTableView::contextMenuEvent(QContextMenuEvent* event) {
    updateDeleteAction();
    QMenu menu(this);
    menu.addAction(deleteAction_);
    menu.exec(event->globalPos());
}

void ImageTableView::changeEvent(QEvent* event) {
    QTableView::changeEvent(event);
    if (event->type() == QEvent::EnabledChange) {
        updateDeleteAction();
    }
}

void ImageTableView::updateDeleteAction() {
    deleteAction_->setEnabled(canDelete());
}

void ImageTableView::updateSortIndicator() {
    // The header shows the model's order; blocked so that showing it does not sort again.
    QHeaderView* header = horizontalHeader();
    const QSignalBlocker blocker(header);
    const ImageSortOrder order = controller_.model()->sortOrder();
    header->setSortIndicator(order.sorted ? 0 : -1, order.order);
    header->viewport()->update();
}

}  // namespace fw
