#include "app/qt/DropTableView.h"

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QHeaderView>
#include <QIcon>
#include <QMimeData>
#include <QUrl>

namespace qtkit {

DataSourceModel::DataSourceModel(const toolkit::TableView* identity, QStringList columnIds,
                                 QStringList titles, QObject* parent)
    : QAbstractTableModel(parent), identity_(identity), columnIds_(std::move(columnIds)),
      titles_(std::move(titles)) {}

void DataSourceModel::setSource(toolkit::TableDataSource* source) {
    beginResetModel();
    source_ = source;
    endResetModel();
}

void DataSourceModel::reload() {
    beginResetModel();
    endResetModel();
}

int DataSourceModel::rowCount(const QModelIndex& parent) const {
    if (parent.isValid() || !source_) return 0;
    return static_cast<int>(source_->numberOfRowsInTableView(identity_));
}

int DataSourceModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(columnIds_.size());
}

QVariant DataSourceModel::data(const QModelIndex& index, int role) const {
    if (!source_ || !index.isValid()) return {};
    const toolkit::CellValue cell = source_->tableView_objectValueForTableColumn_row(
        identity_, columnIds_.at(index.column()).toStdString(), index.row());
    switch (cell.kind) {
    case toolkit::CellValue::Kind::Text:
        if (role == Qt::DisplayRole || role == Qt::ToolTipRole)
            return QString::fromStdString(
                role == Qt::ToolTipRole && !cell.toolTip.empty() ? cell.toolTip : cell.value);
        break;
    case toolkit::CellValue::Kind::Image:
        if (role == Qt::DecorationRole)
            return QIcon(":/images/" + QString::fromStdString(cell.value));
        if (role == Qt::AccessibleTextRole || role == Qt::UserRole)
            return QString::fromStdString(cell.value);
        if (role == Qt::ToolTipRole && !cell.toolTip.empty())
            return QString::fromStdString(cell.toolTip);
        break;
    case toolkit::CellValue::Kind::None:
        break;
    }
    return {};
}

QVariant DataSourceModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation == Qt::Horizontal && role == Qt::DisplayRole && section < titles_.size())
        return titles_.at(section);
    return {};
}

TableView::TableView(DropTableView* view, QStringList columnIds, QStringList titles)
    : view_(view),
      model_(new DataSourceModel(this, std::move(columnIds), std::move(titles), view)) {
    view_->setModel(model_);
    view_->setSelectionBehavior(QAbstractItemView::SelectRows);
    view_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    view_->verticalHeader()->hide();
    view_->setWordWrap(false);
    view_->setTextElideMode(Qt::ElideMiddle);
}

void TableView::registerForDraggedTypes(const std::string& /*type*/) {
    view_->setAcceptDrops(true);
    view_->viewport()->setAcceptDrops(true);
    view_->setDropIndicatorShown(false);
}

} // namespace qtkit

DropTableView::DropTableView(QWidget* parent) : QTableView(parent) {}

DragInfo DropTableView::dragInfoOf(const QMimeData* mime) {
    DragInfo info;
    if (!mime || !mime->hasUrls()) return info;
    bool anyLocal = false;
    for (const QUrl& url : mime->urls()) {
        if (!url.isLocalFile()) continue;
        anyLocal = true;
        info.filenames.push_back(url.toLocalFile().toStdString());
    }
    if (anyLocal) info.types.push_back(kFilenamesPboardType);
    return info;
}

void DropTableView::answerDrag(QDragMoveEvent* event) {
    const int operation =
        dragHandler ? dragHandler(dragInfoOf(event->mimeData())) : kDragOperationNone;
    if (operation == kDragOperationNone) {
        event->ignore();
        return;
    }
    event->setDropAction(Qt::CopyAction);
    event->accept();
}

void DropTableView::dragEnterEvent(QDragEnterEvent* event) {
    answerDrag(event);
}
void DropTableView::dragMoveEvent(QDragMoveEvent* event) {
    answerDrag(event);
}

void DropTableView::dropEvent(QDropEvent* event) {
    const bool taken = dropHandler && dropHandler(dragInfoOf(event->mimeData()));
    event->setDropAction(Qt::CopyAction);
    event->setAccepted(taken);
}
