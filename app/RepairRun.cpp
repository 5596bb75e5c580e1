#include "app/RepairRun.h"

#include "engine/fs/safe_fs.h"

#include <cerrno>

#include <fcntl.h>

namespace {

Result<RepairOutcome> repair(const std::string& set, const std::string& output, RunContext& run) {
    const FileDescriptor folder = openFolderPath(set);
    if (!folder) {
        run.fail("cannot open " + set + ": " + folderProblem(AT_FDCWD, set.c_str(), errno));
        return run.failure();
    }
    FileDescriptor out;
    if (!output.empty()) {
        out = openFolderPath(output);
        if (!out) {
            run.fail("the folder " + output +
                     " cannot be used: " + folderProblem(AT_FDCWD, output.c_str(), errno));
            return run.failure();
        }
        if (sameFile(out.get(), folder.get())) {
            run.fail(
                "the rebuilt files cannot go into the set's own folder when it cannot be written");
            return run.failure();
        }
    }
    const std::string stem = recoveryStemIn(folder.get());
    if (stem.empty()) {
        run.fail(set + " has no recovery pieces");
        return run.failure();
    }
    return repairSet(folder.get(), set, stem, out ? out.get() : -1, output.empty() ? set : output,
                     run);
}

} // namespace

void RepairRun::execute() {
    context.startProgress();
    Result<RepairOutcome> repaired = runGuarded<Result<RepairOutcome>>(
        context, "the repair", [&] { return repair(pieceFolder, outputFolder, context); });
    if (repaired) outcome = std::move(repaired.value());
    finish(repaired);
}
