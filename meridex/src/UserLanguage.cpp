#include "UserLanguage.h"

#include <cctype>
#include <cstdlib>

namespace Meridex {

namespace {

struct Code {
  const char* two;    // ISO 639-1
  const char* three;  // ISO 639-2 (terminology)
  const char* bibliographic;  // ISO 639-2/B where it differs, else null
};
constexpr Code kCodes[] = {
    {"ar", "ara", nullptr}, {"bg", "bul", nullptr}, {"ca", "cat", nullptr}, {"cs", "ces", "cze"},
    {"cy", "cym", "wel"},   {"da", "dan", nullptr}, {"de", "deu", "ger"},   {"el", "ell", "gre"},
    {"en", "eng", nullptr}, {"eo", "epo", nullptr}, {"es", "spa", nullptr}, {"et", "est", nullptr},
    {"eu", "eus", "baq"},   {"fa", "fas", "per"},   {"fi", "fin", nullptr}, {"fr", "fra", "fre"},
    {"ga", "gle", nullptr}, {"gl", "glg", nullptr}, {"he", "heb", nullptr}, {"hi", "hin", nullptr},
    {"hr", "hrv", nullptr}, {"hu", "hun", nullptr}, {"hy", "hye", "arm"},   {"id", "ind", nullptr},
    {"is", "isl", "ice"},   {"it", "ita", nullptr}, {"ja", "jpn", nullptr}, {"ka", "kat", "geo"},
    {"ko", "kor", nullptr}, {"lt", "lit", nullptr}, {"lv", "lav", nullptr}, {"mk", "mkd", "mac"},
    {"ms", "msa", "may"},   {"nb", "nob", nullptr}, {"nl", "nld", "dut"},   {"nn", "nno", nullptr},
    {"no", "nor", nullptr}, {"pl", "pol", nullptr}, {"pt", "por", nullptr}, {"ro", "ron", "rum"},
    {"ru", "rus", nullptr}, {"sk", "slk", "slo"},   {"sl", "slv", nullptr}, {"sq", "sqi", "alb"},
    {"sr", "srp", nullptr}, {"sv", "swe", nullptr}, {"th", "tha", nullptr}, {"tr", "tur", nullptr},
    {"uk", "ukr", nullptr}, {"vi", "vie", nullptr}, {"zh", "zho", "chi"},
};

std::string Lower(const std::string& text) {
  std::string out = text;
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

// The terminology code of a three-letter code, itself when not a known variant.
std::string Canonical(const std::string& code) {
  const std::string lower = Lower(code);
  for (const Code& c : kCodes)
    if (c.bibliographic && lower == c.bibliographic) return c.three;
  return lower;
}

}  // namespace

std::string UserLanguage() {
  const char* locale = nullptr;
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* value = std::getenv(name);
    if (value && *value) {
      locale = value;
      break;
    }
  }
  if (!locale) return std::string();
  std::string language = locale;
  language = Lower(language.substr(0, language.find_first_of("_.@")));
  for (const Code& c : kCodes)
    if (language == c.two || language == c.three || (c.bibliographic && language == c.bibliographic)) return c.three;
  return std::string();
}

bool SameLanguage(const std::string& a, const std::string& b) { return Canonical(a) == Canonical(b); }

}  // namespace Meridex
