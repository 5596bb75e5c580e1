#pragma once
// Names as one word of a line of text, as mtree(5) writes them: every byte
// that is not a printable ASCII character other than '#', '=' and '\' as
// "\ooo" (three octal digits). TREE.mtree and the journals use it.

#include <string>
#include <string_view>

std::string mtreeEscaped(std::string_view text);
// The text `mtreeEscaped` gave; false when it is not one (or holds a NUL).
bool mtreeUnescaped(std::string_view text, std::string& out);
