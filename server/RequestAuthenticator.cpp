#include "server/RequestAuthenticator.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <functional>
#include <random>

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

RequestAuthenticator::RequestAuthenticator(std::string key, std::int64_t skewS, std::size_t maxEntries)
    : key_(std::move(key)),
      skewS_(skewS),
      maxEntries_(maxEntries),
      seed_(std::random_device{}()),
      buckets_(static_cast<std::size_t>(2 * skewS + 2)) {}

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
    case Verdict::kBusy:
      return "replay memory full";
  }
  return "?";
}

bool RequestAuthenticator::Bucket::Insert(std::uint64_t hash) {
  if ((count + 1) * 4 > slots.size() * 3) {
    std::vector<std::uint64_t> old(std::max<std::size_t>(16, slots.size() * 2), 0);
    old.swap(slots);
    count = 0;
    for (const std::uint64_t h : old) {
      if (h != 0) Insert(h);
    }
  }
  const std::size_t mask = slots.size() - 1;
  for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
    if (slots[i] == hash) return false;
    if (slots[i] == 0) {
      slots[i] = hash;
      ++count;
      return true;
    }
  }
}

bool RequestAuthenticator::Bucket::Contains(std::uint64_t hash) const {
  if (slots.empty()) return false;
  const std::size_t mask = slots.size() - 1;
  for (std::size_t i = hash & mask; slots[i] != 0; i = (i + 1) & mask) {
    if (slots[i] == hash) return true;
  }
  return false;
}

bool RequestAuthenticator::Bucket::Remove(std::uint64_t hash) {
  if (slots.empty()) return false;
  const std::size_t mask = slots.size() - 1;
  std::size_t hole = hash & mask;
  while (slots[hole] != hash) {
    if (slots[hole] == 0) return false;
    hole = (hole + 1) & mask;
  }
  // Linear probing without tombstones: entries after the hole that could
  // not sit at their home slot because of it move into it.
  for (std::size_t i = (hole + 1) & mask; slots[i] != 0; i = (i + 1) & mask) {
    const std::size_t home = slots[i] & mask;
    const bool homeBetween = hole <= i ? (hole < home && home <= i) : (hole < home || home <= i);
    if (homeBetween) continue;
    slots[hole] = slots[i];
    hole = i;
  }
  slots[hole] = 0;
  --count;
  return true;
}

void RequestAuthenticator::Bucket::Clear(std::int64_t newSecond) {
  second = newSecond;
  count = 0;
  std::vector<std::uint64_t>().swap(slots);
}

RequestAuthenticator::Verdict RequestAuthenticator::Check(std::string_view signedText, std::string_view signature,
                                                          std::string_view timestamp, std::string_view client,
                                                          Replay replay, std::int64_t now, Ticket* ticket) {
  // No signed text: the signature pair was not literally "&signature=" at
  // the end, so whatever it signs is not this request.
  const std::string expected = nimbrel::Base64Encode(nimbrel::HmacSha256(key_, signedText));
  if (signedText.empty() || expected.empty() || signature.size() != expected.size() ||
      CRYPTO_memcmp(expected.data(), signature.data(), expected.size()) != 0) {
    return Verdict::kBadSignature;
  }
  std::int64_t sent = 0;
  if (!ParseTimestamp(timestamp, sent)) return Verdict::kBadTimestamp;
  if (sent < now - skewS_ || sent > now + skewS_) return Verdict::kStale;
  if (replay == Replay::kNever) return Verdict::kAccepted;

  // Keyed with a secret seed, so that nobody can choose requests whose
  // hashes crowd one stretch of a table.
  std::string text = std::to_string(seed_);
  text += '\0';
  if (replay == Replay::kPerClient) text += client;
  text += '\0';
  text += signature;
  std::uint64_t hash = std::hash<std::string>{}(text);
  if (hash == 0) hash = 1;  // 0 marks a free slot

  std::lock_guard<std::mutex> lock(mutex_);
  if (now != sweptAt_) {
    // A request stays remembered until its timestamp is more than the skew
    // behind the clock: until then the timestamp check would let it pass.
    for (Bucket& b : buckets_) {
      if (b.count > 0 && b.second < now - skewS_) {
        entries_ -= b.count;
        b.Clear(INT64_MIN);
      }
    }
    sweptAt_ = now;
  }
  const auto ring = static_cast<std::int64_t>(buckets_.size());
  Bucket& bucket = buckets_[static_cast<std::size_t>(((sent % ring) + ring) % ring)];
  if (bucket.second != sent) {
    // Another second's requests, long out of the window (or ahead of a
    // clock that was set back): they make room.
    entries_ -= bucket.count;
    bucket.Clear(sent);
  }
  if (bucket.Contains(hash)) return Verdict::kReplay;
  if (entries_ >= maxEntries_) return Verdict::kBusy;
  bucket.Insert(hash);
  ++entries_;
  if (ticket) *ticket = Ticket{sent, hash};
  return Verdict::kAccepted;
}

void RequestAuthenticator::Forget(const Ticket& ticket) {
  if (ticket.hash == 0) return;
  std::lock_guard<std::mutex> lock(mutex_);
  const auto ring = static_cast<std::int64_t>(buckets_.size());
  Bucket& bucket = buckets_[static_cast<std::size_t>(((ticket.second % ring) + ring) % ring)];
  if (bucket.second == ticket.second && bucket.Remove(ticket.hash)) --entries_;
}

std::size_t RequestAuthenticator::remembered() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return entries_;
}

std::size_t RequestAuthenticator::memoryBytes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::size_t bytes = buckets_.capacity() * sizeof(Bucket);
  for (const Bucket& b : buckets_) bytes += b.slots.capacity() * sizeof(std::uint64_t);
  return bytes;
}

}  // namespace cache_server
