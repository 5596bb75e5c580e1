#pragma once
// Other programs started and waited for, with POSIX calls only.

#include "app/toolkit/System.h"

namespace toolkit {

class StdProcesses : public Processes {
public:
    std::string findProgram(const std::string& name) override;
    ProcessOutcome run(const std::string& program, const std::vector<std::string>& arguments,
                       int secretFd, const std::string& secret) override;
};

} // namespace toolkit
