#pragma once
// Adapters from Qt widgets to the toolkit layer's controls. Each holds a
// widget it does not own; the window owns its widgets.

#include "app/toolkit/Controls.h"
#include "app/toolkit/Windows.h"

#include <QAbstractButton>
#include <QButtonGroup>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QWidget>

namespace qtkit {

// Enabled and hidden state, shared by every adapter.
template <class Base, class Widget> class WidgetControl : public Base {
public:
    explicit WidgetControl(Widget* widget) : widget_(widget) {}
    void setEnabled(bool enabled) override { widget_->setEnabled(enabled); }
    bool isEnabled() const override { return widget_->isEnabled(); }
    void setHidden(bool hidden) override { widget_->setHidden(hidden); }
    bool isHidden() const override { return widget_->isHidden(); }
    Widget* widget() const { return widget_; }

private:
    Widget* widget_;
};

// A label the controller writes: a version line, a title, a message.
class LabelField : public WidgetControl<toolkit::TextField, QLabel> {
public:
    using WidgetControl::WidgetControl;
    void setStringValue(const std::string& text) override;
    std::string stringValue() const override;
};

// A field the user types into; with echo mode Password it hides the text.
class LineEditField : public WidgetControl<toolkit::SecureTextField, QLineEdit> {
public:
    using WidgetControl::WidgetControl;
    void setStringValue(const std::string& text) override;
    std::string stringValue() const override;
};

class Button : public WidgetControl<toolkit::Button, QAbstractButton> {
public:
    using WidgetControl::WidgetControl;
    int state() const override { return widget()->isChecked() ? 1 : 0; }
    void setState(int state) override { widget()->setChecked(state != 0); }
    void setTitle(const std::string& title) override {
        widget()->setText(QString::fromStdString(title));
    }
    std::string title() const override { return widget()->text().toStdString(); }
};

// Radio buttons inside one container widget, told apart by their ids.
class RadioGroup : public WidgetControl<toolkit::RadioGroup, QWidget> {
public:
    RadioGroup(QWidget* container, QButtonGroup* group) : WidgetControl(container), group_(group) {}
    int selectedTag() const override { return group_->checkedId(); }
    void selectTag(int tag) override {
        if (QAbstractButton* button = group_->button(tag)) button->setChecked(true);
    }

private:
    QButtonGroup* group_;
};

class PopUpButton : public WidgetControl<toolkit::PopUpButton, QComboBox> {
public:
    using WidgetControl::WidgetControl;
    void selectItemAtIndex(int index) override { widget()->setCurrentIndex(index); }
    int indexOfSelectedItem() const override { return widget()->currentIndex(); }
    std::string title() const override { return widget()->currentText().toStdString(); }
    void setItemTitles(const std::vector<std::string>& titles) override {
        widget()->clear();
        for (const std::string& title : titles)
            widget()->addItem(QString::fromStdString(title));
        widget()->setCurrentIndex(0);
    }
};

class ProgressIndicator : public WidgetControl<toolkit::ProgressIndicator, QProgressBar> {
public:
    using WidgetControl::WidgetControl;
    void startAnimation() override {}
    void setDoubleValue(double value) override;
};

class View : public toolkit::View {
public:
    explicit View(QWidget* widget) : widget_(widget) {}
    void setHidden(bool hidden) override { widget_->setHidden(hidden); }
    QWidget* widget() const { return widget_; }

private:
    QWidget* widget_;
};

} // namespace qtkit
