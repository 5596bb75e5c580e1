#pragma once
// Every auxiliary window: it takes keyboard focus, bordered or not.

#include "app/toolkit/Windows.h"

class FSWindow : public toolkit::Window {
public:
    bool canBecomeKeyWindow() const { return true; }
};
