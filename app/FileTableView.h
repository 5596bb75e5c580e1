#pragma once
// The join table's drop behaviour: dropped folders go to the delegate, in
// order, until the first regular file, which ends the drop as refused.

#include "app/FSPathView.h"
#include "app/toolkit/System.h"

class FileTableView : public FSPathView {
public:
    explicit FileTableView(toolkit::FileManager& files) : files_(files) {}
    bool performDragOperation(const DragInfo& drag) override;

private:
    toolkit::FileManager& files_;
};
