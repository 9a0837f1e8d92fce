#include "Base64.h"

namespace nimbrel_tag {

std::string Base64(std::string_view bytes) {
  static constexpr char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    const std::size_t n = bytes.size() - i < 3 ? bytes.size() - i : 3;
    unsigned value = 0;
    for (std::size_t k = 0; k < 3; ++k)
      value = value << 8 | (k < n ? static_cast<unsigned char>(bytes[i + k]) : 0u);
    for (std::size_t k = 0; k < 4; ++k) out += k <= n ? kDigits[(value >> (18 - 6 * k)) & 0x3F] : '=';
  }
  return out;
}

}  // namespace nimbrel_tag

namespace nimbrel_tag {

bool FromBase64(std::string_view text, std::string& bytes) {
  if (text.size() % 4 != 0) return false;
  bytes.clear();
  auto digit = [](char c) -> int {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    return c == '+' ? 62 : c == '/' ? 63 : -1;
  };
  for (std::size_t i = 0; i < text.size(); i += 4) {
    unsigned value = 0;
    int padding = 0;
    for (std::size_t k = 0; k < 4; ++k) {
      const char c = text[i + k];
      // Padding only at the end, at most two.
      if (c == '=' && i + 4 == text.size() && k >= 2) {
        ++padding, value <<= 6;
        continue;
      }
      const int d = digit(c);
      if (d < 0 || padding) return false;
      value = value << 6 | static_cast<unsigned>(d);
    }
    for (int k = 0; k < 3 - padding; ++k) bytes += static_cast<char>((value >> (16 - 8 * k)) & 0xFF);
  }
  return true;
}

}  // namespace nimbrel_tag
