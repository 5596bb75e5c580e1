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

void PanelWindow::setTitle(const std::string& title) {
    dialog_->setWindowTitle(QString::fromStdString(title));
}
void PanelWindow::center() { centerWidget(dialog_); }
void PanelWindow::makeKeyWindow() {
    dialog_->raise();
    dialog_->activateWindow();
}
void PanelWindow::orderOut() { dialog_->hide(); }
void PanelWindow::setContentView(toolkit::View* view) {
    if (auto* qtView = dynamic_cast<View*>(view)) qtView->widget()->setParent(dialog_);
}
bool PanelWindow::isVisible() const { return dialog_->isVisible(); }

void MainWindow::setTitle(const std::string& title) {
    window_->setWindowTitle(QString::fromStdString(title));
}
void MainWindow::center() { centerWidget(window_); }
void MainWindow::makeKeyWindow() {
    window_->raise();
    window_->activateWindow();
}
void MainWindow::orderOut() { window_->hide(); }
void MainWindow::setContentView(toolkit::View* view) {
    auto* qtView = dynamic_cast<View*>(view);
    if (qtView && window_->centralWidget() != qtView->widget()) window_->setCentralWidget(qtView->widget());
}
bool MainWindow::isVisible() const { return window_->isVisible(); }

} // namespace qtkit
