#pragma once
// Where a split's set would meet a set already there: whether that set is
// another source's (`backup.img` and `backup.iso` both make `backup_spt`),
// and a name that gives the new set a folder of its own.

#include <string>

// The folder a split of `baseName` would make in `outFolder` holds a set
// whose manifest names another source; false when it holds none, the same
// source's, or files no manifest names.
bool anotherSourcesSetInTheWay(const std::string& baseName, const std::string& outFolder);

// A set name for `baseName` whose set folder is free in `outFolder`: the
// stem numbered before the first dot ("backup.iso" -> "backup-2.iso",
// folder "backup-2_spt"), so the name cannot collide with the set in the
// way again; "" when no number up to 999 is free.
std::string freeSetName(const std::string& baseName, const std::string& outFolder);
