// parcelor verify PIECE_FOLDER

#include "cli/Commands.h"

#include "cli/Password.h"
#include "engine/compat/inspection.h"
#include "engine/fs/safe_fs.h"
#include "engine/runs/encrypted_set.h"
#include "engine/runs/recovery.h"

#include <cstdio>
#include <optional>

int verifyCommand(Session& s) {
    const std::string set = operandPath(s.options().operands[0]);
    Progress progress = s.makeProgress();
    progress.start("verify", {{"set", Progress::quoted(set)}});
    std::vector<PieceCheck> checks;
    ChecksumState checksums = ChecksumState::Absent;
    Result<void> checked;
    // A set with recovery pieces is read against them as well: what is
    // wrong, and whether it can be mended.
    RecoveryReport recovery;
    s.runWithProgress(progress, [&] {
        checked = verifySet(set, checks, checksums, s.run());
        const FileDescriptor folder = openFolderPath(set);
        const std::string stem = folder ? recoveryStemIn(folder.get()) : std::string();
        if (!stem.empty() && stopSignal() == 0) {
            recovery = assessRecovery(folder.get(), set, stem, s.run());
        }
    });
    s.engineNotes();
    if (recovery.hasRecovery || !recovery.headerProblem.empty()) {
        s.addDoneField("recovery", Progress::quoted(!recovery.hasRecovery ? "unusable"
                                                    : recovery.intact()   ? "intact"
                                                    : recovery.repairable ? "repairable"
                                                                          : "not-repairable"));
        s.addDoneField("recoverySummary", Progress::quoted(recovery.summary()));
        if (!s.options().json) std::printf("recovery: %s\n", recovery.summary().c_str());
        if (recovery.hasRecovery && !recovery.intact() && recovery.repairable)
            s.note("run 'parcelor repair " + set + "' to rebuild what is missing or damaged");
    }
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
    // Recovery files that are there but damaged or unusable are a fault of
    // the set as much as a bad piece: the protection it was made with is gone.
    const bool recoveryBad =
        !recovery.headerProblem.empty() || (recovery.hasRecovery && !recovery.intact());
    if (recoveryBad)
        s.fail("the recovery files of " + quotedName(set) + ": " + recovery.summary(),
               "recovery-damaged");
    s.addDoneField("pieces", std::to_string(checks.size()));
    s.addDoneField("bad", std::to_string(bad));
    if (!s.options().json) std::printf("%zu pieces checked, %zu bad\n", checks.size(), bad);
    if (s.options().decrypt && bad == 0 && checked) {
        // Every chunk authenticated with the password, nothing written.
        const FileDescriptor folder = openFolderPath(set);
        if (!folder || !isEncryptedSet(folder.get()))
            return s.fail(quotedName(set) + " is not an encrypted set");
        PasswordText text;
        std::string error;
        const PasswordRead read = readPassword(s.options(), false, text, error);
        if (read == PasswordRead::Stopped) return s.cancelled("verify");
        if (read == PasswordRead::Failed) return s.fail(error);
        std::optional<Result<int64_t>> authenticated;
        s.runWithProgress(progress, [&] {
            authenticated = authenticateEncryptedSet(set, text.password, s.run());
        });
        if (stopSignal() != 0) return s.cancelled("verify");
        if (!*authenticated)
            return s.fail(authenticated->failure().reason,
                          authenticated->failure().kind == EngineFailure::WrongPassword
                              ? "wrong-password"
                              : "bad-pieces");
        s.addDoneField("authenticated", std::to_string(authenticated->value()));
        if (!s.options().json)
            std::printf("every chunk authenticated: %lld bytes inside\n",
                        static_cast<long long>(authenticated->value()));
    }
    return bad == 0 && checked && !recoveryBad ? 0 : 1;
}
