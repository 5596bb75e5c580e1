#pragma once
// The join table's drop behaviour: dropped folders, and files named as the
// first of numbered parts ("movie.mkv.001", "xaa"), go to the delegate, in order,
// until the first other regular file, which ends the drop as refused.

#include "app/FSPathView.h"
#include "app/toolkit/System.h"

class FileTableView : public FSPathView {
public:
    explicit FileTableView(toolkit::FileManager& files) : files_(files) {}
    bool performDragOperation(const DragInfo& drag) override;

private:
    toolkit::FileManager& files_;
};
