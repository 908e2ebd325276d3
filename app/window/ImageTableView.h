// ImageTableView: the window's table of images. It shows an ImageTableController's model,
// lets rows be dragged to a new place and files be dropped in from the file manager, and
// deletes the selected rows with Backspace or Delete (Shift allowed; with Control, Alt or
// Meta held the keys keep the table's own meaning) and with its "Delete" action, which the
// context menu offers and the window may put into its Edit menu. Rows dragged inside the
// table move; whatever comes from elsewhere is copied, never moved, whichever action the
// source proposes, so that the source never deletes what it handed over (a source that
// allows only a move is refused).
//
// Thread-safety: a widget; main thread only.
#pragma once

#include <QTableView>

namespace fw {

class ImageTableController;

class ImageTableView : public QTableView {
    Q_OBJECT

public:
    // Shows `controller`'s model and selection; the controller must outlive the view.
    explicit ImageTableView(ImageTableController& controller, QWidget* parent = nullptr);

    // Removes the selected rows; enabled only while the table is enabled, its model may
    // change and a row is selected.
    QAction* deleteAction() const { return deleteAction_; }

    // Whether the delete action may run now.
    bool canDelete() const;

public slots:
    void deleteSelected();

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void updateDeleteAction();
    void updateSortIndicator();

    ImageTableController& controller_;
    QAction* deleteAction_;
};

}  // namespace fw
