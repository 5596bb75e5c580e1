#pragma once
// Everything the front end asks of the desktop toolkit, in one place.

#include "app/toolkit/Controls.h"
#include "app/toolkit/System.h"
#include "app/toolkit/Table.h"
#include "app/toolkit/Windows.h"

#include <memory>

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
    virtual std::unique_ptr<OpenPanel> openPanel() = 0;
    virtual std::unique_ptr<Alert> alert() = 0;
};

} // namespace toolkit
