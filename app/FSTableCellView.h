#pragma once
// A table cell with two outlets for the window design; no code reads them.

#include "app/toolkit/Controls.h"

class FSTableCellView {
public:
    toolkit::TextField* fileSizeTF = nullptr;
    toolkit::Button* removeBtn = nullptr;
};
