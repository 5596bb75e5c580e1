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
    std::function<void()> onCancel; // empty: the panel cannot be dismissed (a run in progress)

    void reject() override;
};

class PanelWindow : public FSWindow, public WindowWidget {
public:
    explicit PanelWindow(PanelDialog* dialog) : dialog_(dialog) {}
    void setTitle(const std::string& title) override;
    void center() override;
    void makeKeyWindow() override;
    void orderOut() override;
    void setContentView(toolkit::View* view) override;
    bool isVisible() const override;
    QWidget* widget() const override { return dialog_; }
    PanelDialog* dialog() const { return dialog_; }

private:
    PanelDialog* dialog_;
};

class MainWindow : public toolkit::Window, public WindowWidget {
public:
    explicit MainWindow(QMainWindow* window) : window_(window) {}
    void setTitle(const std::string& title) override;
    void center() override;
    void makeKeyWindow() override;
    void orderOut() override;
    void setContentView(toolkit::View* view) override;
    bool isVisible() const override;
    QWidget* widget() const override { return window_; }

private:
    QMainWindow* window_;
};

// Moves a window to the middle of its parent, or of its screen.
void centerWidget(QWidget* widget);

} // namespace qtkit
