#pragma once
// Everything the front end asks of the desktop toolkit, in one place.

#include "app/toolkit/Controls.h"
#include "app/toolkit/System.h"
#include "app/toolkit/Table.h"
#include "app/toolkit/Windows.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace toolkit {

class Toolkit {
public:
    virtual ~Toolkit() = default;
    virtual Application& application() = 0;
    virtual FileManager& fileManager() = 0;
    virtual Workspace& workspace() = 0;
    virtual NotificationCenter& notificationCenter() = 0;
    virtual SystemLog& systemLog() = 0;
    virtual Threads& threads() = 0;
    virtual Processes& processes() = 0;
    virtual std::unique_ptr<OpenPanel> openPanel() = 0;
    virtual std::unique_ptr<Alert> alert() = 0;
    // Calls `changed` on the UI thread whenever an entry of `folder` is added,
    // removed or renamed, or one of `files` (paths in it) changes, until the
    // watch is dropped. Null where the folder cannot be watched.
    virtual std::unique_ptr<FolderWatch> watchFolder(const std::string& folder,
                                                     const std::vector<std::string>& files,
                                                     std::function<void()> changed) = 0;
};

} // namespace toolkit
