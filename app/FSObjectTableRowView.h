#pragma once
// A table row that carries an object, emptied when the row goes away.

#include <any>

class FSObjectTableRowView {
public:
    ~FSObjectTableRowView() { objectValue.reset(); }
    std::any objectValue;
};
