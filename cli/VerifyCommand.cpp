// parcelor verify PIECE_FOLDER

#include "cli/Commands.h"

#include "engine/inspection.h"

#include <cstdio>

int verifyCommand(Session& s) {
    const std::string set = operandPath(s.options().operands[0]);
    Progress progress = s.makeProgress();
    progress.start("verify", {{"set", Progress::quoted(set)}});
    std::vector<PieceCheck> checks;
    ChecksumState checksums = ChecksumState::Absent;
    Result<void> checked;
    s.runWithProgress(progress, [&] { checked = verifySet(set, checks, checksums, s.run()); });
    s.engineNotes();
    const std::string reason = checked ? std::string() : checked.failure().reason;
    s.addDoneField("check", Progress::quoted(checksums == ChecksumState::Good ? "full" : "none"));
    if (stopSignal() != 0) return s.cancelled("verify");
    if (checksums == ChecksumState::Damaged) return s.fail(reason, "checksums-damaged");
    if (!checked && checked.failure().kind == EngineFailure::NoChecksums)
        return s.fail("only the quick check was possible: " + reason +
                          "; run 'parcelor list' to see it",
                      "no-checksums");
    if (checksums != ChecksumState::Good) return s.fail(reason);
    std::size_t bad = 0;
    for (const PieceCheck& check : checks) {
        if (check.good) continue;
        ++bad;
        s.fail(quotedName(check.path) + " " + check.problem, "bad-pieces");
    }
    if (checks.empty() && !checked) return s.fail(reason);
    if (bad == 0 && !checked) s.fail(reason, "bad-pieces");
    std::printf("%zu pieces checked, %zu bad\n", checks.size(), bad);
    return bad == 0 && checked ? 0 : 1;
}
