#pragma once
// Windows: the main window and the auxiliary panels as toolkit windows.

#include "app/FSWindow.h"

#include <QDialog>
#include <QMainWindow>

#include <functional>

namespace qtkit {

// Every toolkit window of this layer shows one QWidget.
class WindowWidget {
public:
    virtual ~WindowWidget() = default;
    virtual QWidget* widget() const = 0;
};

// A panel: Enter presses its default button, Escape or closing it runs `onCancel`.
class PanelDialog : public QDialog {
    Q_OBJECT
public:
    explicit PanelDialog(QWidget* parent);
    std::function<void()> onCancel;  // empty: the panel cannot be dismissed (a run in progress)
    QWidget* initialFocus = nullptr; // takes the keyboard when the panel opens
    // Blocks the whole application while it runs; when false, only the main
    // window's contents are disabled, so the main window can still be closed.
    bool blocksApplication = true;

    void reject() override;
};

// Moves a window to the middle of its parent, or of its screen.
void centerWidget(QWidget* widget);

// What every window of this layer does the same way, over its widget.
template <class Base, class Widget> class WindowOver : public Base, public WindowWidget {
public:
    explicit WindowOver(Widget* widget) : widget_(widget) {}
    void setTitle(const std::string& title) override {
        widget_->setWindowTitle(QString::fromStdString(title));
    }
    void center() override { centerWidget(widget_); }
    void makeKeyWindow() override {
        widget_->raise();
        widget_->activateWindow();
    }
    void orderOut() override { widget_->hide(); }
    void performClose() override { widget_->close(); }
    bool isVisible() const override { return widget_->isVisible(); }
    QWidget* widget() const override { return widget_; }

protected:
    Widget* widget_;
};

class PanelWindow : public WindowOver<FSWindow, PanelDialog> {
public:
    using WindowOver::WindowOver;
    void setContentView(toolkit::View* view) override;
    PanelDialog* dialog() const { return widget_; }
};

class MainWindow : public WindowOver<toolkit::Window, QMainWindow> {
public:
    using WindowOver::WindowOver;
    void setContentView(toolkit::View* view) override;
};

} // namespace qtkit
