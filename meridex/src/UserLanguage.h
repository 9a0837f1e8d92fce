// The language of the person using the program, as the three-letter code
// (ISO 639-2) that ID3v2 lyrics and comments are marked with.
#pragma once

#include <string>

namespace Meridex {

// From the locale the environment names for messages: LC_ALL, else
// LC_MESSAGES, else LANG (the first that is set and not empty), such as
// "de_DE.UTF-8" giving "deu". Empty for "C", "POSIX", an unset locale or a
// language this table does not know; callers then take English.
std::string UserLanguage();

// True when two ID3v2 language codes name the same language, ignoring case
// and the bibliographic variants ("ger" and "deu", "fre" and "fra").
bool SameLanguage(const std::string& a, const std::string& b);

}  // namespace Meridex
