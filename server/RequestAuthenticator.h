// Whether a signed request may be served: its signature is the HMAC-SHA-256
// of the signed text under the shared key (compared in constant time), its
// timestamp lies within the allowed skew of the server's clock, and it is not
// a replay.
//
// The key is public (every client carries it), so a signature proves only
// that the request is well formed, not who sent it. What can be refused is
// the same request counted twice:
//   - a request that changes what the cache answers for everybody (a fill, a
//     failure report) is accepted once, from whatever address it comes again;
//   - a searcher's look-up (it starts a search) is accepted once per client
//     address: two households looking up the same song in the same second
//     send byte-identical requests, and both are honest;
//   - a plain look-up changes nothing and is never a replay.
//
// One memory holds both kinds. A request's timestamp is part of what is
// signed, so an identical request has the same timestamp: the memory is kept
// in one bucket per second of timestamp, a bucket is searched only for
// requests of its second and dropped as a whole once that second has left the
// window (after which the timestamp check refuses such a request anyway).
// Each remembered request costs one 64-bit hash in an open-addressing table,
// and at most `maxEntries` are kept: beyond that, requests that would have to
// be remembered are refused as busy (accepting them unremembered would let
// them be replayed). Thread-safe.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace cache_server {

// "YYYY-MM-DDThh:mm:ssZ" as seconds since 1970 UTC; false when the text is
// not exactly that (or names no valid date and time).
bool ParseTimestamp(std::string_view text, std::int64_t& seconds);

class RequestAuthenticator {
 public:
  enum class Verdict { kAccepted, kBadSignature, kBadTimestamp, kStale, kReplay, kBusy };
  // How a request is judged for replays (see above).
  enum class Replay { kNever, kPerClient, kOnce };

  // About 2,000 state-changing requests a second over a window of twenty
  // minutes, in some 64 MiB.
  static constexpr std::size_t kDefaultMaxEntries = 3'000'000;

  // `key`: the signing key's bytes; `skewS`: how far a timestamp may lie from
  // the server's clock, either way; `maxEntries`: how many requests the
  // replay memory holds at most.
  RequestAuthenticator(std::string key, std::int64_t skewS, std::size_t maxEntries = kDefaultMaxEntries);

  // What the memory holds of one accepted request, to forget it again.
  struct Ticket {
    std::int64_t second = 0;
    std::uint64_t hash = 0;  // 0: nothing was remembered
  };

  // Checks `signedText` (the body before "&signature="; empty is refused), the decoded
  // signature (standard Base64) and the decoded timestamp; remembers an
  // accepted request as `replay` says, and tells `ticket` (may be null) what
  // it remembered.
  Verdict Check(std::string_view signedText, std::string_view signature, std::string_view timestamp,
                std::string_view client, Replay replay, std::int64_t now, Ticket* ticket = nullptr);
  // Forgets an accepted request that was not carried out (the store could
  // not be reached, say), so that the client may send it again unchanged.
  // An identical request that came meanwhile was refused as a replay.
  void Forget(const Ticket& ticket);

  // How far a timestamp may lie from the server's clock, either way.
  std::int64_t skewS() const { return skewS_; }

  // How many requests the replay memory holds now, and the bytes it uses.
  std::size_t remembered() const;
  std::size_t memoryBytes() const;

  static const char* Describe(Verdict verdict);

 private:
  // The hashes of the requests of one second of timestamp: open addressing
  // with linear probing, 0 marking a free slot.
  struct Bucket {
    std::int64_t second = INT64_MIN;
    std::size_t count = 0;
    std::vector<std::uint64_t> slots;
    bool Contains(std::uint64_t hash) const;
    // False when `hash` was there already.
    bool Insert(std::uint64_t hash);
    // False when `hash` was not there.
    bool Remove(std::uint64_t hash);
    void Clear(std::int64_t newSecond);
  };

  const std::string key_;
  const std::int64_t skewS_;
  const std::size_t maxEntries_;
  const std::uint64_t seed_;
  mutable std::mutex mutex_;
  std::vector<Bucket> buckets_;  // indexed by timestamp modulo the window's length
  std::size_t entries_ = 0;
  std::int64_t sweptAt_ = INT64_MIN;
};

}  // namespace cache_server
