// Reading of a form-encoded request body ("name=value&name=value"), strict:
// the tag-cache client writes every value percent-encoded, so anything it
// would never send is refused rather than guessed at.
//
// Refused: a pair without "=", an empty name, a "%" not followed by two hex
// digits (an escape cut short), a name given twice, more than
// kMaxFormParameters pairs. "+" decodes to a blank, as form encoding says.
// Values are bytes after decoding; whether they are valid UTF-8 is the
// caller's question. Pure functions, safe on any thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace cache_server {

// More pairs than any of the requests has (a fill has 15, with every optional field 24).
inline constexpr std::size_t kMaxFormParameters = 32;

struct FormField {
  std::string name;
  std::string value;
};

struct ParsedForm {
  std::vector<FormField> fields;  // in body order
  // The body before the last "&signature=", i.e. the text the client signed;
  // empty when the body carries no such part.
  std::string_view signedText;
};

// Decodes one percent-encoded component; false for an escape cut short or
// not made of hex digits.
bool PercentDecode(std::string_view text, std::string& out);

// Parses `body` into `form` (whose signedText points into `body`). False with
// `error` set (a short reason for the log) when the body is malformed.
bool ParseForm(std::string_view body, ParsedForm& form, std::string& error);

}  // namespace cache_server
