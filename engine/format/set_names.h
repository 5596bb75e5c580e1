#pragma once
// The names of a set's recovery files beside its pieces.

#include <cstdint>
#include <string>

// "<stem>_R<i>.rec" and its header's name.
std::string recoveryPieceName(const std::string& stem, int32_t index);
std::string recoveryHeaderName(const std::string& stem, int32_t index);
// The name is one of a set's recovery files (a piece or a header).
bool isRecoveryFileName(const std::string& stem, const std::string& name);

// The index of "<stem>_R<i>.rec" (with ".hdr" when `header`); -1 otherwise.
int32_t recoveryIndexOf(const std::string& stem, const std::string& name, bool header);
