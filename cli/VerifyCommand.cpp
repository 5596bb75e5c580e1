// parcelor verify PIECE_FOLDER

#include "cli/Commands.h"

#include "engine/errors.h"
#include "engine/inspection.h"

#include <cstdio>

int verifyCommand(Session& s) {
    const std::string set = operandPath(s.options().operands[0]);
    Progress progress = s.makeProgress();
    progress.start("verify", {{"set", Progress::quoted(set)}});
    std::vector<PieceCheck> checks;
    ChecksumState checksums = ChecksumState::Absent;
    const int32_t result =
        s.runWithProgress(progress, [&] { return verifyPieceSet(set.c_str(), checks, checksums); });
    s.engineNotes();
    s.addDoneField("check", Progress::quoted(checksums == ChecksumState::Good ? "full" : "none"));
    if (stopSignal() != 0) return s.cancelled("verify");
    if (checksums == ChecksumState::Damaged) return s.fail(engineLastError(), "checksums-damaged");
    if (engineLastFailure() == EngineFailure::NoChecksums)
        return s.fail("only the quick check was possible: " + engineLastError() +
                          "; run 'parcelor list' to see it",
                      "no-checksums");
    if (checksums != ChecksumState::Good) return s.fail(engineLastError());
    std::size_t bad = 0;
    for (const PieceCheck& check : checks) {
        if (check.good) continue;
        ++bad;
        s.fail(quotedName(check.path) + " " + check.problem, "bad-pieces");
    }
    if (checks.empty() && result != 0) return s.fail(engineLastError());
    if (bad == 0 && result != 0) s.fail(engineLastError(), "bad-pieces");
    std::printf("%zu pieces checked, %zu bad\n", checks.size(), bad);
    return bad == 0 && result == 0 ? 0 : 1;
}
