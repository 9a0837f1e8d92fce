// A small, strict JSON reader for the source plug-ins (RFC 8259).
//
// The whole document is read into a tree of Values. Nesting deeper than the
// given limit fails (the reader recurses once per level, so the limit also
// bounds its stack). Raw bytes that are not valid UTF-8 inside strings become
// U+FFFD; "\u0000" is kept as a NUL byte (callers that build tags drop it,
// see Text.h). Numbers keep their text: integer reads check their range,
// and a number too large for a double still parses (it reads as no integer).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace plugin_json {

class Value {
 public:
  enum class Type { Null, Bool, Number, String, Array, Object };

  Type type() const { return type_; }
  bool IsNull() const { return type_ == Type::Null; }
  bool IsArray() const { return type_ == Type::Array; }
  bool IsObject() const { return type_ == Type::Object; }
  bool IsString() const { return type_ == Type::String; }
  bool IsNumber() const { return type_ == Type::Number; }

  // The member `key` of an object (the first of that name), or null.
  const Value* Find(std::string_view key) const;
  // Elements of an array, members of an object; empty for other types.
  const std::vector<Value>& Items() const { return items_; }
  const std::vector<std::pair<std::string, Value>>& Members() const { return members_; }

  // The text of a string (UTF-8); empty for other types.
  const std::string& Text() const { return text_; }
  // The text of member `key` when it is a string, else empty.
  std::string TextOf(std::string_view key) const;
  bool Bool(bool fallback = false) const { return type_ == Type::Bool ? flag_ : fallback; }
  // An integral number that fits in 64 bits (also written as 1.0e3); nothing otherwise.
  std::optional<std::int64_t> Integer() const;
  // The number as a double when it is finite; nothing otherwise.
  std::optional<double> Number() const;
  // Member `key` as an integer, when present and integral.
  std::optional<std::int64_t> IntegerOf(std::string_view key) const;

 private:
  friend class Reader;
  Type type_ = Type::Null;
  bool flag_ = false;
  std::string text_;  // string contents, or a number's text
  std::vector<Value> items_;
  std::vector<std::pair<std::string, Value>> members_;
};

// The deepest nesting the plug-ins accept by default.
inline constexpr std::size_t kDefaultMaxDepth = 512;

struct ParseResult {
  bool ok = false;
  std::string error;      // what was wrong, for the log
  std::size_t offset = 0;  // where it was noticed
};

// Reads one JSON document (surrounding white space allowed) into `out`.
ParseResult Parse(std::string_view text, Value& out, std::size_t maxDepth = kDefaultMaxDepth);

// `utf8` as a JSON string with its quotes: quote, backslash and control
// characters escaped, bytes that are not valid UTF-8 replaced by U+FFFD, so
// that any text gives valid JSON.
std::string Quoted(std::string_view utf8);

}  // namespace plugin_json
