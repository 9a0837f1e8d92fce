// Names and messages made safe to print on one line.
#pragma once

#include <string>

namespace nimbrel_tag {

// `text` with each control character written as an escape ("\n", "\t",
// "\r", else "\xHH") and each backslash doubled, so that a file name holding
// a line feed stays on its line and can still be told apart from one holding
// the characters "\n". Other bytes, UTF-8 or not, are kept.
std::string Escaped(const std::string& text);

}  // namespace nimbrel_tag
