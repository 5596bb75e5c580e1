#pragma once
// What a repair keeps aside beside a set: "<name>.damaged" (or
// ".damaged.<n>") for each damaged file of the set it replaced. They are
// never part of the set, and never make it unreadable; the window lists them.

#include <string>
#include <vector>

// The kept-aside files in the set's folder `folder` whose stem is `stem`, by
// name, sorted; none when the folder cannot be read.
std::vector<std::string> keptAsideFiles(const std::string& folder, const std::string& stem);

// "kept aside: movie_2.spt.damaged" (", " between names, at most three, then
// "and N more"); "" for none.
std::string keptAsideText(const std::vector<std::string>& names);
