#pragma once
// The controls the front end reads and writes. Each one is implemented by the
// Qt layer for the real window and by a recording fake in the tests.

#include <cstdint>
#include <string>
#include <vector>

namespace toolkit {

// Reads a number the way a text field's integer value does: leading blanks
// skipped, an optional sign, then decimal digits up to the first other
// character. Text that does not start that way, or that overflows, reads as
// 0 or saturates at the 64-bit bounds.
int64_t parseIntegerValue(const std::string& text);

class Control {
public:
    virtual ~Control() = default;
    virtual void setEnabled(bool enabled) = 0;
    virtual bool isEnabled() const = 0;
    virtual void setHidden(bool hidden) = 0;
    virtual bool isHidden() const = 0;
};

class TextField : public Control {
public:
    virtual void setStringValue(const std::string& text) = 0;
    virtual std::string stringValue() const = 0;
    void setIntValue(int32_t value) { setStringValue(std::to_string(value)); }
    void setIntegerValue(int64_t value) { setStringValue(std::to_string(value)); }
    int64_t integerValue() const { return parseIntegerValue(stringValue()); }
};

// A field that hides what is typed.
class SecureTextField : public TextField {};

// Push buttons and check boxes; state 1 is on, 0 off.
class Button : public Control {
public:
    virtual int state() const = 0;
    virtual void setState(int state) = 0;
    virtual void setTitle(const std::string& title) = 0;
    virtual std::string title() const = 0;
};

// A group of radio buttons, each with a tag.
class RadioGroup : public Control {
public:
    virtual int selectedTag() const = 0;
    virtual void selectTag(int tag) = 0;
};

class PopUpButton : public Control {
public:
    virtual void selectItemAtIndex(int index) = 0;
    virtual int indexOfSelectedItem() const = 0;
    // The selected item's title.
    virtual std::string title() const = 0;
    // Replaces the items; the first is selected.
    virtual void setItemTitles(const std::vector<std::string>& titles) = 0;
};

class ProgressIndicator : public Control {
public:
    virtual void startAnimation() = 0;
    virtual void setDoubleValue(double value) = 0;
};

} // namespace toolkit
