#include "engine/runs/open_set.h"

#include "engine/base/utilities.h"
#include "engine/runs/encrypted_set.h"
#include "engine/runs/recovery.h"

Result<ReadableSet> openSet(const std::string& pieceFolder, RunContext& run, int manifestFd) {
    ReadableSet set;
    set.folder = lockSetForReading(pieceFolder.c_str(), run);
    if (!set.folder) return run.failure();
    set.path = pieceFolder;
    Result<Manifest> manifest =
        Manifest::readAt(manifestFd >= 0 ? manifestFd : set.fd(), pieceFolder);
    if (!manifest) {
        run.fail(manifest.failure());
        return run.failure();
    }
    set.manifest = std::move(manifest.value());
    set.baseName = set.manifest.baseName();
    if (!isSafeComponentName(set.baseName.c_str()))
        return run.fail(EngineFailure::UnsafeName,
                        "the manifest of " + pieceFolder + " has an unsafe name", pieceFolder);
    set.stem = stemOf(set.baseName);
    set.manifestInFolder =
        entryAt(set.fd(), kManifestFileName, &set.manifestIdentity) == EntryKind::Regular;
    set.encrypted = isEncryptedSet(set.fd());
    set.recoveryStem = recoveryStemIn(set.fd());
    return set;
}
