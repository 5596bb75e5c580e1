#include "app/SplitRun.h"

void SplitRun::execute() {
    SplitRequest plain;
    plain.source = request.srcPath;
    plain.outFolder = request.outFolder;
    plain.totalSize = request.totalSize;
    plain.pieceSize = request.pieceSize;
    plain.password = request.password;
    SplitOptions options;
    options.replaceExisting = replaceSet;
    options.measureSource = true;
    // The source goes only once the set checks whole again, in the same call.
    options.removeSource = removeSource;
    options.includeHidden = includeHidden;
    options.recovery = recovery;
    options.encryptPassword = encryptPassword;
    options.encryptWorkFactor = encryptWorkFactor;
    options.setName = setName;
    options.pieceCount = pieceCount;
    Result<SplitOutcome> made = splitSource(plain, options, context);
    forgetSecret(options.encryptPassword);
    forgetSecret(encryptPassword);
    if (made) outcome = std::move(made.value());
    finish(made);
}
