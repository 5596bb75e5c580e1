#pragma once
// File helpers for tests: seeded data, whole-file reads and writes, trees.

#include <cstdint>
#include <map>
#include <string>

// `size` pseudo-random bytes, the same for the same seed.
std::string seededBytes(uint32_t seed, std::size_t size);

// Writes `bytes` to `path`, creating its parent folders.
void writeFile(const std::string& path, const std::string& bytes);
// The whole content of `path`; throws when it cannot be read.
std::string readFile(const std::string& path);
bool exists(const std::string& path);
// Flips the bits `bits` of the byte at `at` of `path`, in place (the same
// file, its other bytes untouched); throws when it cannot. The byte always
// changes, as a byte written over it might not.
void flipByte(const std::string& path, std::size_t at, char bits = 0x01);

// Every regular file under `root`, by relative path, with its content.
// Hidden entries are included.
std::map<std::string, std::string> treeContents(const std::string& root);

// The same, without entries whose name (at any level) begins with '.'.
std::map<std::string, std::string> visibleTreeContents(const std::string& root);

// Builds a seeded random tree under `root`: `files` files of 0 to `maxSize`
// bytes spread over nested folders, some empty files, a few hidden entries.
void makeSeededTree(const std::string& root, uint32_t seed, int files, std::size_t maxSize);
