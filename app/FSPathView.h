#pragma once
// The split table's drop behaviour: every dropped path goes to the delegate,
// which decides what to keep.

#include "app/DragInfo.h"

class FSPathView {
public:
    virtual ~FSPathView() = default;

    FileDropDelegate* delegate() const { return delegate_; }
    void setDelegate(FileDropDelegate* delegate) { delegate_ = delegate; }

    // kDragOperationCopy for a drag of file names with a delegate set, else none.
    int draggingEntered(const DragInfo& drag) const;
    int draggingUpdated(const DragInfo& drag) const { return draggingEntered(drag); }
    int draggingSourceOperationMaskForLocal(bool /*isLocal*/) const { return kDragOperationEvery; }
    virtual bool performDragOperation(const DragInfo& drag);

private:
    FileDropDelegate* delegate_ = nullptr;
};
