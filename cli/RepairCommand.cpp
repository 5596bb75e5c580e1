// parcelor repair PIECE_FOLDER [--output DIR]

#include "cli/Commands.h"

#include "engine/base/utilities.h"
#include "engine/fs/safe_fs.h"
#include "engine/runs/piece_folder.h"
#include "engine/runs/recovery.h"

#include <cerrno>
#include <optional>

#include <fcntl.h>

int repairCommand(Session& s) {
    const CliOptions& o = s.options();
    const std::string set = operandPath(o.operands[0]);
    const FileDescriptor folder = openFolderPath(set);
    if (!folder)
        return s.fail("cannot open " + quotedName(set) + ": " +
                      folderProblem(AT_FDCWD, set.c_str(), errno));
    FileDescriptor output;
    if (o.repairOutput) {
        output = openFolderPath(*o.repairOutput);
        if (!output)
            return s.fail("the output folder " + quotedName(*o.repairOutput) + " cannot be used: " +
                          folderProblem(AT_FDCWD, o.repairOutput->c_str(), errno));
        if (sameFile(output.get(), folder.get()))
            return s.fail(
                "the output folder is the set's own folder; leave --output out to repair in place");
    }
    const std::string stem = recoveryStemIn(folder.get());
    if (stem.empty()) return s.fail(quotedName(set) + " has no recovery pieces", "no-recovery");
    Progress progress = s.makeProgress();
    progress.start("repair", {{"set", Progress::quoted(set)}});
    std::optional<Result<RepairOutcome>> repaired;
    s.runWithProgress(progress, [&] {
        repaired = repairSet(folder.get(), set, stem, output ? output.get() : -1,
                             o.repairOutput.value_or(set), s.run());
    });
    if (!*repaired) {
        s.engineNotes();
        return s.runFailed("repair", repaired->failure());
    }
    const RepairOutcome& outcome = repaired->value();
    s.addDoneField("rebuilt", std::to_string(outcome.rebuilt.size()));
    s.addDoneField("found", Progress::quoted(outcome.report.summary()));
    if (outcome.rebuilt.empty()) {
        s.note("nothing to repair: " + outcome.report.summary());
        return 0;
    }
    s.note("found " + outcome.report.summary());
    for (const std::string& name : outcome.rebuilt)
        s.note("rebuilt " +
               quotedName(o.repairOutput ? *o.repairOutput + "/" + name : set + "/" + name));
    for (const std::string& aside : outcome.keptAside)
        s.note("kept the damaged file aside: " + aside);
    s.engineNotes();
    return 0;
}
