#include "server/FormParser.h"

namespace cache_server {

namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

constexpr std::string_view kSignatureMark = "&signature=";

}  // namespace

bool PercentDecode(std::string_view text, std::string& out) {
  out.clear();
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '+') {
      out += ' ';
    } else if (c == '%') {
      if (i + 2 >= text.size()) return false;  // cut short
      const int high = HexValue(text[i + 1]);
      const int low = HexValue(text[i + 2]);
      if (high < 0 || low < 0) return false;
      out += static_cast<char>(high * 16 + low);
      i += 2;
    } else {
      out += c;
    }
  }
  return true;
}

bool ParseForm(std::string_view body, ParsedForm& form, std::string& error) {
  form.fields.clear();
  const std::size_t mark = body.rfind(kSignatureMark);
  form.signedText = mark == std::string_view::npos ? std::string_view() : body.substr(0, mark);
  if (body.empty()) {
    error = "empty body";
    return false;
  }
  std::size_t pos = 0;
  while (pos <= body.size()) {
    std::size_t end = body.find('&', pos);
    if (end == std::string_view::npos) end = body.size();
    if (form.fields.size() == kMaxFormParameters) {
      error = "too many parameters";
      return false;
    }
    const std::string_view pair = body.substr(pos, end - pos);
    const std::size_t equals = pair.find('=');
    if (equals == std::string_view::npos) {
      error = "parameter without '='";
      return false;
    }
    FormField field;
    if (!PercentDecode(pair.substr(0, equals), field.name) || !PercentDecode(pair.substr(equals + 1), field.value)) {
      error = "bad percent-escape";
      return false;
    }
    if (field.name.empty()) {
      error = "empty parameter name";
      return false;
    }
    for (const FormField& seen : form.fields) {
      if (seen.name == field.name) {
        error = "duplicated parameter " + field.name;
        return false;
      }
    }
    form.fields.push_back(std::move(field));
    pos = end + 1;
  }
  return true;
}

}  // namespace cache_server
