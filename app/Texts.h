#pragma once
// Every text the front end shows or logs.

inline constexpr const char* kAppTitle = "Morvane Parcelor";
inline constexpr const char* kVersionText = "Version 1.1";
inline constexpr const char* kSplittingTitle = "Splitting...";
inline constexpr const char* kJoiningTitle = "Joining...";
inline constexpr const char* kSplitCompletedTitle = "Splitting Completed!";
inline constexpr const char* kJoinCompletedTitle = "Joining Completed!";
inline constexpr const char* kSplitFailedTitle = "Splitting Failed!";
inline constexpr const char* kJoinFailedTitle = "Joining Failed!";
inline constexpr const char* kSplitCancelledTitle = "Splitting Cancelled";
inline constexpr const char* kJoinCancelledTitle = "Joining Cancelled";
inline constexpr const char* kVerifyCancelledTitle = "Verification Cancelled";
inline constexpr const char* kRepairingTitle = "Repairing...";
inline constexpr const char* kRepairCompletedTitle = "Repair Completed!";
inline constexpr const char* kRepairFailedTitle = "Repair Failed!";
inline constexpr const char* kRepairCancelledTitle = "Repair Cancelled";
inline constexpr const char* kChooseRepairFolder =
    "The set's folder cannot be written: choose a folder for the rebuilt files";
inline constexpr const char* kRepairAdvice = "Repair rebuilds what is missing or damaged.";
inline constexpr const char* kCancellingTitle = "Cancelling...";
inline constexpr const char* kCheckingPieces = "Checking the pieces...";
inline constexpr const char* kMeasuringSource = "Measuring the folder...";
inline constexpr const char* kIncludeHiddenAdvice = "tick Include hidden items to keep them";
inline constexpr const char* kRunInProgressQuestion = "A run is in progress. Cancel it and close?";
inline constexpr const char* kRunInProgressInformative =
    "The run stops within a moment and leaves nothing half-made; the window then closes.";
inline constexpr const char* kCancelAndCloseButton = "Cancel Run and Close";
inline constexpr const char* kKeepRunningButton = "Keep Running";
inline constexpr const char* kCancelledDetail =
    "Stopped: nothing half-made was left, and nothing was removed.";
inline constexpr const char* kAddJoinFolderFailed = "Add join folder faild!";
inline constexpr const char* kInputPathNotValid = "input path is not valid!";
inline constexpr const char* kChooseOneFile = "Choose one file";
inline constexpr const char* kChooseAFolder = "Choose a Folder";
inline constexpr const char* kChooseOutputFolder = "Choose a output folder";
inline constexpr const char* kChooseOneFolder = "Choose one folder";
inline constexpr const char* kChooseFirstPart = "Choose the first part";
inline constexpr const char* kOK = "OK";
inline constexpr const char* kCannotJoin = "Cannot join";
inline constexpr const char* kJoinedNameProblem =
    "The joined file's name is a file name: without '/', not beginning with '.'.";

inline constexpr const char* kPasswordMismatch = "The passwords do not match.";
inline constexpr const char* kWrongPassword = "Wrong password. Try again.";
inline constexpr const char* kWrongPasswordDetail = "Wrong password.";
inline constexpr const char* kDecryptedDetail =
    "The set was encrypted: its password opened it, and every chunk was authenticated.";
inline constexpr const char* kProtectedSetPrompt =
    "This piece set is protected. Type its password:";
inline constexpr const char* kEncryptedSetPrompt =
    "This piece set is encrypted. Type its password:";
inline constexpr const char* kEncryptPiecesChoice =
    "Encrypt the pieces (recommended): without the password nobody can read them";
inline constexpr const char* kGateJoinChoice =
    "Only require the password to join: the pieces stay readable with other tools";
inline constexpr const char* kSetNameNote =
    "The set's folder and its pieces take this name, and so does what a join writes, but for "
    "encrypted pieces: those come back under the source's own name. The folder and piece names "
    "stay visible even when the pieces are encrypted.";
inline constexpr const char* kCannotSplit = "Cannot split";
inline constexpr const char* kSourcePathTooLong =
    "The source path is too long (at most 1023 bytes).";
inline constexpr const char* kOutputPathTooLong =
    "The output folder path is too long (at most 1023 bytes).";
inline constexpr const char* kUntouchedAfterFailure =
    "Nothing was removed, because the run did not complete.";
inline constexpr const char* kSetDoesNotCheck = "The new set does not check whole on disk.";
inline constexpr const char* kReplaceSetQuestion = "Replace the set that is already there?";
inline constexpr const char* kReplaceSetInformative =
    "It stays as it is until the new set is complete.";
inline constexpr const char* kReplaceButton = "Replace";
inline constexpr const char* kOtherSourcesSetQuestion =
    "The set of another source is already where this one goes.";
inline constexpr const char* kUseAnotherNameButton = "Use Another Name";
inline constexpr const char* kVerifyingTitle = "Verifying...";
inline constexpr const char* kVerifyCompletedTitle = "Verification Completed!";
inline constexpr const char* kVerifyFailedTitle = "Verification Failed!";
inline constexpr const char* kVerifyImpossibleTitle = "Only the Quick Check Was Possible";
inline constexpr const char* kNoChecksumsDetail =
    "This set has no checksum files that belong to it, so only the quick check of each "
    "piece's first kilobyte was possible";
inline constexpr const char* kUnverifiableRemovalQuestion =
    "These pieces cannot be fully verified. Remove them anyway?";
inline constexpr const char* kRemoveAnywayButton = "Remove Anyway";
inline constexpr const char* kDamagedChecksumsQuestion =
    "The checksum files of this set are damaged. Join it with the quick check only?";
inline constexpr const char* kDamagedChecksumsRisk =
    "The quick check covers each piece's length and first kilobyte: damage past it would go "
    "into the joined files unseen, and the pieces will not be removed.";
inline constexpr const char* kJoinAnywayButton = "Join Anyway";
inline constexpr const char* kQuickCheckOnlyDetail =
    "Only the quick check was possible: the set has no checksum files, so each piece was "
    "checked by its length and first kilobyte.";
inline constexpr const char* kRemoveButton = "Remove";
inline constexpr const char* kNotEnoughSpaceQuestion = "The set may not fit the free space.";
inline constexpr const char* kSplitAnywayButton = "Split Anyway";
inline constexpr const char* kEmptySource = "The source is empty: there is nothing to split.";
inline constexpr const char* kNoFileManager = "No file manager could open the folder.";
inline constexpr const char* kRemovalInformative =
    "Only what the set holds is removed, and only once the run has completed.";
inline constexpr const char* kCancelButton = "Cancel";

// The join side's Browse button, and what it says when the mount fails.
inline constexpr const char* kBrowseTitle = "Bro&wse…";
inline constexpr const char* kStopBrowsingTitle = "Stop Bro&wsing";
inline constexpr const char* kCannotBrowse = "The set cannot be browsed.";
inline constexpr const char* kCannotEndBrowsing = "The set's folder could not be unmounted.";

// What a right mark says on hover: how far the piece was checked.
inline constexpr const char* kQuickCheckMark =
    "Quick check: length and first kilobyte; Verify checks every byte";
inline constexpr const char* kVerifiedMark = "Verified: every byte matches its checksum";
// A numbered part's mark, after "Listed in <checksum file>".
inline constexpr const char* kListedPartMark = "; Join checks every byte against it";
inline constexpr const char* kUnlistedPartMark =
    "No checksum file lists the parts: they are joined unchecked, and a missing last part "
    "cannot be detected";

// Files the tables show for a piece's check state.
inline constexpr const char* kRightImage = "right.png";
inline constexpr const char* kWrongImage = "wrong.png";
// A part that is there but that nothing can check: neither right nor wrong.
inline constexpr const char* kUncheckedImage = "unchecked.png";

// Table column identifiers.
inline constexpr const char* kFileNameColumn = "fileNameID";
inline constexpr const char* kLocationColumn = "locationID";
inline constexpr const char* kSizeColumn = "sizeID";
inline constexpr const char* kCheckStateColumn = "checkStateID";

// The progress timer's interval: the single-precision 0.1 s.
inline constexpr float kProgressInterval = 0.1f;
