#pragma once
// The whole window: the main window from its layout, the auxiliary panels,
// the adapters that put them behind the toolkit layer, and the controller
// with every outlet and action connected.

#include "app/AppDelegate.h"
#include "app/FileTableView.h"
#include "app/MainViewController.h"
#include "app/qt/DropTableView.h"
#include "app/qt/QtControls.h"
#include "app/qt/QtToolkit.h"
#include "app/qt/QtWindows.h"

#include <QMainWindow>

#include <memory>
#include <vector>

namespace Ui {
class MainWindow;
}

class QtMainWindow {
public:
    explicit QtMainWindow(qtkit::Toolkit& toolkit);
    ~QtMainWindow();
    QtMainWindow(const QtMainWindow&) = delete;
    QtMainWindow& operator=(const QtMainWindow&) = delete;

    QMainWindow* window() { return &window_; }
    MainViewController& controller() { return controller_; }
    AppDelegate& delegate() { return delegate_; }
    // Every panel by its outlet name; nullptr when there is none.
    qtkit::PanelDialog* panel(const char* name) const;

private:
    qtkit::PanelDialog* makePanel(const char* name, const char* title);
    void fitSides();
    void fitScreen();
    void buildPanels();
    void wireOutlets();
    void connectActions();

    template <class Adapter, class... Args> Adapter* adapt(Args&&... args) {
        auto adapter = std::make_unique<Adapter>(std::forward<Args>(args)...);
        Adapter* raw = adapter.get();
        adapters_.push_back(std::shared_ptr<void>(
            adapter.release(), [](void* p) { delete static_cast<Adapter*>(p); }));
        return raw;
    }

    // The widgets go first and the controller last: a table being torn down
    // may still ask its data source, the controller, for rows.
    qtkit::Toolkit& tk_;
    AppDelegate delegate_;
    MainViewController controller_;
    FSPathView pathDrop_;
    FileTableView joinDrop_;
    std::vector<std::shared_ptr<void>> adapters_;
    WindowOutlets outlets_; // the adapters above, as the controller has them
    QMainWindow window_;
    std::unique_ptr<Ui::MainWindow> ui_;
    std::vector<qtkit::PanelDialog*> panels_;
};
