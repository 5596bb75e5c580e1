#include "app/FSPathView.h"

#include <algorithm>

bool DragInfo::offers(const std::string& type) const {
    return std::find(types.begin(), types.end(), type) != types.end();
}

int FSPathView::draggingEntered(const DragInfo& drag) const {
    if (!delegate_) return kDragOperationNone;
    return drag.offers(kFilenamesPboardType) ? kDragOperationCopy : kDragOperationNone;
}

bool FSPathView::performDragOperation(const DragInfo& drag) {
    if (!drag.offers(kFilenamesPboardType)) return false;
    if (delegate_ && delegate_->respondsToSelector("acceptFileNameDragintoPathView:") &&
        !drag.filenames.empty()) {
        for (const std::string& path : drag.filenames)
            delegate_->acceptFileNameDragintoPathView(path);
    }
    return true;
}
