#include "Json.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <system_error>

#include "Text.h"

namespace plugin_json {

const Value* Value::Find(std::string_view key) const {
  if (type_ != Type::Object) return nullptr;
  for (const auto& member : members_) {
    if (member.first == key) return &member.second;
  }
  return nullptr;
}

std::string Value::TextOf(std::string_view key) const {
  const Value* v = Find(key);
  return v && v->IsString() ? v->text_ : std::string();
}

std::optional<std::int64_t> Value::Integer() const {
  if (type_ != Type::Number) return std::nullopt;
  std::int64_t n = 0;
  const char* begin = text_.data();
  const char* end = begin + text_.size();
  const auto [ptr, ec] = std::from_chars(begin, end, n);
  if (ec == std::errc() && ptr == end) return n;
  if (ec == std::errc::result_out_of_range) return std::nullopt;
  // Fraction or exponent: integral values inside the exact range of a double only.
  const auto d = Number();
  if (!d || *d != std::floor(*d) || std::fabs(*d) > 9007199254740992.0) return std::nullopt;
  return static_cast<std::int64_t>(*d);
}

std::optional<double> Value::Number() const {
  if (type_ != Type::Number) return std::nullopt;
  double d = 0;
  const auto [ptr, ec] = std::from_chars(text_.data(), text_.data() + text_.size(), d);
  if (ec != std::errc() || !std::isfinite(d)) return std::nullopt;
  return d;
}

std::optional<std::int64_t> Value::IntegerOf(std::string_view key) const {
  const Value* v = Find(key);
  return v ? v->Integer() : std::nullopt;
}

namespace {

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

constexpr std::uint32_t kReplacement = 0xFFFD;

}  // namespace

class Reader {
 public:
  Reader(std::string_view text, std::size_t maxDepth) : s_(text), maxDepth_(maxDepth) {}

  ParseResult Run(Value& out) {
    SkipSpace();
    if (ReadValue(out, 0)) {
      SkipSpace();
      if (pos_ != s_.size()) Fail("text after the document");
    }
    ParseResult result;
    result.ok = error_.empty();
    result.error = error_;
    result.offset = pos_;
    if (!result.ok) out = Value();
    return result;
  }

 private:
  bool Fail(const char* what) {
    if (error_.empty()) error_ = what;
    return false;
  }
  void SkipSpace() {
    while (pos_ < s_.size() && IsSpace(s_[pos_])) ++pos_;
  }
  bool Literal(std::string_view word) {
    if (s_.substr(pos_, word.size()) != word) return Fail("unknown literal");
    pos_ += word.size();
    return true;
  }

  bool ReadValue(Value& v, std::size_t depth) {
    if (pos_ >= s_.size()) return Fail("unexpected end");
    switch (s_[pos_]) {
      case '{': return ReadObject(v, depth + 1);
      case '[': return ReadArray(v, depth + 1);
      case '"': v.type_ = Value::Type::String; return ReadString(v.text_);
      case 't': v.type_ = Value::Type::Bool; v.flag_ = true; return Literal("true");
      case 'f': v.type_ = Value::Type::Bool; v.flag_ = false; return Literal("false");
      case 'n': v.type_ = Value::Type::Null; return Literal("null");
      default: return ReadNumber(v);
    }
  }

  bool ReadObject(Value& v, std::size_t depth) {
    if (depth > maxDepth_) return Fail("nested too deeply");
    v.type_ = Value::Type::Object;
    ++pos_;
    SkipSpace();
    if (pos_ < s_.size() && s_[pos_] == '}') return ++pos_, true;
    for (;;) {
      SkipSpace();
      if (pos_ >= s_.size() || s_[pos_] != '"') return Fail("member name expected");
      std::string key;
      if (!ReadString(key)) return false;
      SkipSpace();
      if (pos_ >= s_.size() || s_[pos_] != ':') return Fail("':' expected");
      ++pos_;
      SkipSpace();
      v.members_.emplace_back(std::move(key), Value());
      if (!ReadValue(v.members_.back().second, depth)) return false;
      SkipSpace();
      if (pos_ >= s_.size()) return Fail("unexpected end");
      if (s_[pos_] == '}') return ++pos_, true;
      if (s_[pos_] != ',') return Fail("',' or '}' expected");
      ++pos_;
    }
  }

  bool ReadArray(Value& v, std::size_t depth) {
    if (depth > maxDepth_) return Fail("nested too deeply");
    v.type_ = Value::Type::Array;
    ++pos_;
    SkipSpace();
    if (pos_ < s_.size() && s_[pos_] == ']') return ++pos_, true;
    for (;;) {
      SkipSpace();
      v.items_.emplace_back();
      if (!ReadValue(v.items_.back(), depth)) return false;
      SkipSpace();
      if (pos_ >= s_.size()) return Fail("unexpected end");
      if (s_[pos_] == ']') return ++pos_, true;
      if (s_[pos_] != ',') return Fail("',' or ']' expected");
      ++pos_;
    }
  }

  bool ReadHex4(std::uint32_t& out) {
    if (s_.size() - pos_ < 4) return Fail("short \\u escape");
    out = 0;
    for (int i = 0; i < 4; ++i) {
      const char c = s_[pos_++];
      out <<= 4;
      if (IsDigit(c)) out |= static_cast<std::uint32_t>(c - '0');
      else if (c >= 'a' && c <= 'f') out |= static_cast<std::uint32_t>(c - 'a' + 10);
      else if (c >= 'A' && c <= 'F') out |= static_cast<std::uint32_t>(c - 'A' + 10);
      else return Fail("bad \\u escape");
    }
    return true;
  }

  // One raw UTF-8 sequence starting at pos_ (a lead byte >= 0x80); an invalid
  // or overlong one becomes U+FFFD and consumes one byte.
  void ReadRawUtf8(std::string& out) {
    const auto b0 = static_cast<unsigned char>(s_[pos_]);
    int length = 0;
    std::uint32_t cp = 0, minimum = 0;
    if (b0 >= 0xC2 && b0 <= 0xDF) length = 2, cp = b0 & 0x1F, minimum = 0x80;
    else if (b0 >= 0xE0 && b0 <= 0xEF) length = 3, cp = b0 & 0x0F, minimum = 0x800;
    else if (b0 >= 0xF0 && b0 <= 0xF4) length = 4, cp = b0 & 0x07, minimum = 0x10000;
    bool valid = length > 0 && s_.size() - pos_ >= static_cast<std::size_t>(length);
    for (int i = 1; valid && i < length; ++i) {
      const auto b = static_cast<unsigned char>(s_[pos_ + i]);
      if ((b & 0xC0) != 0x80) valid = false;
      cp = (cp << 6) | (b & 0x3F);
    }
    if (valid && (cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))) valid = false;
    if (!valid) {
      plugin_text::AppendUtf8(out, kReplacement);
      ++pos_;
      return;
    }
    out.append(s_.substr(pos_, static_cast<std::size_t>(length)));
    pos_ += static_cast<std::size_t>(length);
  }

  bool ReadString(std::string& out) {
    ++pos_;  // the opening quote
    for (;;) {
      if (pos_ >= s_.size()) return Fail("unterminated string");
      const char c = s_[pos_];
      if (c == '"') return ++pos_, true;
      if (static_cast<unsigned char>(c) < 0x20) return Fail("control character in string");
      if (static_cast<unsigned char>(c) >= 0x80) {
        ReadRawUtf8(out);
        continue;
      }
      ++pos_;
      if (c != '\\') {
        out += c;
        continue;
      }
      if (pos_ >= s_.size()) return Fail("unterminated string");
      const char e = s_[pos_++];
      switch (e) {
        case '"': out += '"'; break;
        case '\\': out += '\\'; break;
        case '/': out += '/'; break;
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case 'u': {
          std::uint32_t cp = 0;
          if (!ReadHex4(cp)) return false;
          if (cp >= 0xD800 && cp <= 0xDBFF && s_.substr(pos_, 2) == "\\u") {
            const std::size_t mark = pos_;
            pos_ += 2;
            std::uint32_t low = 0;
            if (!ReadHex4(low)) return false;
            if (low >= 0xDC00 && low <= 0xDFFF) {
              cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
            } else {
              pos_ = mark;  // not a pair: the high half alone is replaced
              cp = kReplacement;
            }
          } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = kReplacement;
          }
          plugin_text::AppendUtf8(out, cp);
          break;
        }
        default: return Fail("bad escape");
      }
    }
  }

  bool ReadNumber(Value& v) {
    const std::size_t start = pos_;
    if (pos_ < s_.size() && s_[pos_] == '-') ++pos_;
    if (pos_ >= s_.size() || !IsDigit(s_[pos_])) return Fail("value expected");
    if (s_[pos_] == '0') ++pos_;
    else while (pos_ < s_.size() && IsDigit(s_[pos_])) ++pos_;
    if (pos_ < s_.size() && s_[pos_] == '.') {
      ++pos_;
      if (pos_ >= s_.size() || !IsDigit(s_[pos_])) return Fail("digit expected after '.'");
      while (pos_ < s_.size() && IsDigit(s_[pos_])) ++pos_;
    }
    if (pos_ < s_.size() && (s_[pos_] == 'e' || s_[pos_] == 'E')) {
      ++pos_;
      if (pos_ < s_.size() && (s_[pos_] == '+' || s_[pos_] == '-')) ++pos_;
      if (pos_ >= s_.size() || !IsDigit(s_[pos_])) return Fail("digit expected in exponent");
      while (pos_ < s_.size() && IsDigit(s_[pos_])) ++pos_;
    }
    v.type_ = Value::Type::Number;
    v.text_.assign(s_.substr(start, pos_ - start));
    return true;
  }

  std::string_view s_;
  std::size_t pos_ = 0;
  std::size_t maxDepth_;
  std::string error_;
};

ParseResult Parse(std::string_view text, Value& out, std::size_t maxDepth) {
  out = Value();
  return Reader(text, maxDepth).Run(out);
}

std::string Quoted(std::string_view utf8) {
  const std::string valid = plugin_text::Narrow(plugin_text::Widen(utf8));
  std::string out = "\"";
  out.reserve(valid.size() + 2);
  for (const char c : valid) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (u < 0x20 || u == 0x7F) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", u);
      out += escape;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

}  // namespace plugin_json
