#include "app/FileTableView.h"

#include "engine/base/utilities.h"
#include "engine/runs/numbered_parts.h"

bool FileTableView::performDragOperation(const DragInfo& drag) {
    if (!drag.offers(kFilenamesPboardType)) return false;
    FileDropDelegate* receiver = delegate();
    if (!receiver || !receiver->respondsToSelector("acceptFileNameDrag:") || drag.filenames.empty())
        return true;
    for (const std::string& path : drag.filenames) {
        if (files_.attributesOfItemAtPath_fileType(path) == toolkit::FileType::Regular &&
            !mayBeFirstPart(lastComponentOf(path)))
            return false;
        receiver->acceptFileNameDrag(path);
    }
    return true;
}
