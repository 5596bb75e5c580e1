#pragma once
// A table view that shows a data source's rows and takes dropped files.
// What a drop means is decided elsewhere: the view only turns Qt's drag
// events into the file list and asks its handlers.

#include "app/DragInfo.h"
#include "app/toolkit/Table.h"

#include <QAbstractTableModel>
#include <QTableView>

#include <functional>

namespace qtkit {

class DataSourceModel : public QAbstractTableModel {
public:
    DataSourceModel(const toolkit::TableView* identity, QStringList columnIds, QStringList titles,
                    QObject* parent);
    void setSource(toolkit::TableDataSource* source);
    void reload();

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    const QStringList& columnIds() const { return columnIds_; }

private:
    const toolkit::TableView* identity_;
    toolkit::TableDataSource* source_ = nullptr;
    QStringList columnIds_;
    QStringList titles_;
};

} // namespace qtkit

class DropTableView : public QTableView {
    Q_OBJECT
public:
    explicit DropTableView(QWidget* parent = nullptr);

    std::function<int(const DragInfo&)> dragHandler; // the operation a drag would get
    std::function<bool(const DragInfo&)> dropHandler;

    static DragInfo dragInfoOf(const QMimeData* mime);

protected:
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    // A drag entering or moving: copy when the handler welcomes it.
    void answerDrag(QDragMoveEvent* event);
};

namespace qtkit {

// The toolkit's table over a DropTableView and its model.
class TableView : public toolkit::TableView {
public:
    TableView(DropTableView* view, QStringList columnIds, QStringList titles);
    void setEnabled(bool enabled) override { view_->setEnabled(enabled); }
    bool isEnabled() const override { return view_->isEnabled(); }
    void setHidden(bool hidden) override { view_->setHidden(hidden); }
    bool isHidden() const override { return view_->isHidden(); }
    void reloadData() override { model_->reload(); }
    void setDataSource(toolkit::TableDataSource* source) override { model_->setSource(source); }
    void registerForDraggedTypes(const std::string& type) override;
    DropTableView* view() const { return view_; }

private:
    DropTableView* view_;
    DataSourceModel* model_;
};

} // namespace qtkit
