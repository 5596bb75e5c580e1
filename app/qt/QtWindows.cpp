#include "app/qt/QtWindows.h"

#include "app/qt/QtControls.h"

#include <QGuiApplication>
#include <QScreen>

namespace qtkit {

PanelDialog::PanelDialog(QWidget* parent) : QDialog(parent) {}

void PanelDialog::reject() {
    if (onCancel) onCancel();
}

void centerWidget(QWidget* widget) {
    widget->adjustSize();
    QRect area;
    if (QWidget* parent = widget->parentWidget(); parent && parent->isVisible()) {
        area = parent->window()->frameGeometry();
    } else if (QScreen* screen = QGuiApplication::primaryScreen()) {
        area = screen->availableGeometry();
    }
    if (!area.isValid()) return;
    QRect frame = widget->frameGeometry();
    frame.moveCenter(area.center());
    widget->move(frame.topLeft());
}

void PanelWindow::setContentView(toolkit::View* view) {
    if (auto* qtView = dynamic_cast<View*>(view)) qtView->widget()->setParent(widget_);
}

void MainWindow::setContentView(toolkit::View* view) {
    auto* qtView = dynamic_cast<View*>(view);
    if (qtView && widget_->centralWidget() != qtView->widget())
        widget_->setCentralWidget(qtView->widget());
}

} // namespace qtkit
