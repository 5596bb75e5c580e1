#pragma once
// The size rule of both front ends: a size typed with K, M or G counts in
// powers of 1024 and with KB, MB or GB in powers of 1000 (the command line's
// input); a size shown counts in powers of 1024. The window's unit menu keeps
// its titles "KB", "MB", "GB" for 1,024, 1,048,576 and 1,073,741,824 bytes;
// what the command line prints labels the same powers "KiB", "MiB", "GiB",
// so that its output and its input never read alike for different sizes.
// Presets are titled as their media are sold, decimal where the medium is
// ("DVD: 4.7 GB"), with their exact bytes beside.

#include <string>

// `text` (made by roundedSize, sizeWithBytes or progressText) with its units
// written as powers of 1024 are on the command line: "1.40 KB" -> "1.40 KiB".
std::string withBinaryUnits(const std::string& text);
