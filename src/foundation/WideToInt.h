// Decimal numbers in text, read the way the Windows C runtime's _wtoi reads
// them, since stored files (Sources.xml, version texts) were written for it.
#pragma once

#include <cstdint>
#include <limits>
#include <string_view>

// Skips leading white space, takes an optional sign and the digits up to the
// first other character; 0 without digits. Out-of-range values saturate at
// the 32-bit limits, as the runtime does.
inline std::int32_t WideToInt(std::wstring_view s) {
  std::size_t i = 0;
  while (i < s.size() && (s[i] == L' ' || (s[i] >= L'\t' && s[i] <= L'\r'))) ++i;
  bool negative = false;
  if (i < s.size() && (s[i] == L'+' || s[i] == L'-')) negative = s[i++] == L'-';
  // Accumulated as a magnitude; one past INT32_MAX is the most a negative number may reach.
  constexpr std::int64_t kLimit = std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1;
  std::int64_t value = 0;
  for (; i < s.size() && s[i] >= L'0' && s[i] <= L'9'; ++i) {
    value = value * 10 + (s[i] - L'0');
    if (value > kLimit) value = kLimit;  // saturate, keep consuming digits
  }
  if (negative) return static_cast<std::int32_t>(-value);
  return static_cast<std::int32_t>(value == kLimit ? kLimit - 1 : value);
}
