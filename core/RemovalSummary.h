#pragma once
// What the window and the command line say after a removal: what was kept,
// and why, in one message.

#include "engine/runs/removal.h"

#include <string>

// "Kept 3 items the pieces do not hold: .git, .env, build/empty", and a
// second for files kept because they changed, and a third for files the
// system would not let go, with its reason; "" when nothing was kept.
// `pieces` selects the wording for a removal of a set's pieces.
std::string removalSummary(const RemovalReport& report, bool pieces);

// "Removed 12 files from /home/me/album.", then removalSummary; "" when the
// removal neither removed nor kept anything.
std::string removalDoneText(const RemovalReport& report, const std::string& from, bool pieces);

// For a removal that a stop ended between two files: "The removal was
// stopped: 12 files removed, 38 left as they were.", then removalSummary.
std::string removalStoppedText(const RemovalReport& report, bool pieces);
