#pragma once
// A controller wired to a fake main window, started as the application starts it.

#include "app/MainViewController.h"
#include "tests/support/FakeMainWindow.h"

#include <gtest/gtest.h>

class ControllerFixture : public testing::Test {
protected:
    void SetUp() override {
        ui.wire(c);
        c.awakeFromNib();
    }
    void TearDown() override { tk.threadsImpl.joinAll(); }

    // The user types `text` into a field and leaves it: the field changes, the
    // controller hears of it, then of the end of the editing.
    void type(fake::TextField& field, const std::string& text) {
        typeWithoutLeaving(field, text);
        c.controlTextDidEndEditing(&field);
    }
    void typeWithoutLeaving(fake::TextField& field, const std::string& text) {
        field.setStringValue(text);
        c.controlTextDidChange(&field);
    }
    void type(fake::SecureTextField& field, const std::string& text) {
        field.setStringValue(text);
        c.controlTextDidChange(&field);
    }

    // Chooses a folder source as the user does, and waits until it is measured.
    void addFolder(const std::string& folder) {
        tk.answerPanel(folder);
        c.actAddFolder();
        ASSERT_TRUE(tk.ui.runUntil([&] { return !c.isMeasuringSource(); }));
    }
    // Adds a piece set as the user does, and waits until its pieces have been read.
    void addSet(const std::string& folder) {
        tk.answerPanel(folder);
        c.mActAddFile();
        ASSERT_TRUE(tk.ui.runUntil([&] { return !c.isAddingSet(); }));
    }

    fake::Toolkit tk;
    fake::MainWindow ui;
    MainViewController c{tk};
};
