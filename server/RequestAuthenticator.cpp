#include "server/RequestAuthenticator.h"

#include <openssl/crypto.h>

#include <functional>

#include "servercache/RequestSigning.h"

namespace cache_server {

namespace {

bool Digits(std::string_view text, std::size_t at, std::size_t count, int& value) {
  value = 0;
  for (std::size_t i = at; i < at + count; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    value = value * 10 + (text[i] - '0');
  }
  return true;
}

// Days since 1970-01-01 of a proleptic Gregorian date.
std::int64_t DaysFromCivil(std::int64_t y, int m, int d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const std::int64_t yoe = y - era * 400;
  const std::int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

bool LeapYear(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

}  // namespace

bool ParseTimestamp(std::string_view t, std::int64_t& seconds) {
  if (t.size() != 20 || t[4] != '-' || t[7] != '-' || t[10] != 'T' || t[13] != ':' || t[16] != ':' ||
      t[19] != 'Z') {
    return false;
  }
  int year, month, day, hour, minute, second;
  if (!Digits(t, 0, 4, year) || !Digits(t, 5, 2, month) || !Digits(t, 8, 2, day) || !Digits(t, 11, 2, hour) ||
      !Digits(t, 14, 2, minute) || !Digits(t, 17, 2, second)) {
    return false;
  }
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12 || day < 1 || hour > 23 || minute > 59 || second > 59) return false;
  if (day > kDays[month - 1] + (month == 2 && LeapYear(year) ? 1 : 0)) return false;
  seconds = DaysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second;
  return true;
}

RequestAuthenticator::RequestAuthenticator(std::string key, std::int64_t skewS)
    : key_(std::move(key)), skewS_(skewS) {}

const char* RequestAuthenticator::Describe(Verdict verdict) {
  switch (verdict) {
    case Verdict::kAccepted:
      return "accepted";
    case Verdict::kBadSignature:
      return "bad signature";
    case Verdict::kBadTimestamp:
      return "malformed timestamp";
    case Verdict::kStale:
      return "timestamp outside the allowed window";
    case Verdict::kReplay:
      return "replayed signature";
  }
  return "?";
}

RequestAuthenticator::Verdict RequestAuthenticator::Check(std::string_view signedText, std::string_view signature,
                                                          std::string_view timestamp, std::string_view client,
                                                          std::int64_t now) {
  const std::string expected = nimbrel::Base64Encode(nimbrel::HmacSha256(key_, signedText));
  if (expected.empty() || signature.size() != expected.size() ||
      CRYPTO_memcmp(expected.data(), signature.data(), expected.size()) != 0) {
    return Verdict::kBadSignature;
  }
  std::int64_t sent = 0;
  if (!ParseTimestamp(timestamp, sent)) return Verdict::kBadTimestamp;
  if (sent < now - skewS_ || sent > now + skewS_) return Verdict::kStale;

  std::string text(client);
  text += '\0';
  text += signature;
  const std::uint64_t entry = std::hash<std::string>{}(text);
  std::lock_guard<std::mutex> lock(mutex_);
  Forget(now);
  if (!seen_.insert(entry).second) return Verdict::kReplay;
  expiry_.emplace_back(sent + skewS_, entry);
  return Verdict::kAccepted;
}

void RequestAuthenticator::Forget(std::int64_t now) {
  // Entries arrive roughly in timestamp order; one that expires later than
  // its successors only waits a little longer at the front.
  while (!expiry_.empty() && expiry_.front().first < now - 1) {
    seen_.erase(expiry_.front().second);
    expiry_.pop_front();
  }
}

}  // namespace cache_server
