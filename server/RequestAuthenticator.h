// Whether a signed request may be served: its signature is the HMAC-SHA-256
// of the signed text under the shared key (compared in constant time), its
// timestamp lies within the allowed skew of the server's clock, and the same
// client has not sent the same signature before within that window (a
// replay).
//
// Replays are judged per client address: two clients that look up the same
// song in the same second send byte-identical requests (the timestamp has
// whole seconds and there is no nonce), and both are honest. A signature is
// remembered until its own timestamp has left the window, after which the
// timestamp check refuses it anyway, so memory stays bounded by the request
// rate. Thread-safe.
#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>

namespace cache_server {

// "YYYY-MM-DDThh:mm:ssZ" as seconds since 1970 UTC; false when the text is
// not exactly that (or names no valid date and time).
bool ParseTimestamp(std::string_view text, std::int64_t& seconds);

class RequestAuthenticator {
 public:
  enum class Verdict { kAccepted, kBadSignature, kBadTimestamp, kStale, kReplay };

  // `key`: the signing key's bytes; `skewS`: how far a timestamp may lie from
  // the server's clock, either way.
  RequestAuthenticator(std::string key, std::int64_t skewS);

  // Checks `signedText` (the body before "&signature="), the decoded
  // signature (standard Base64) and the decoded timestamp; an accepted
  // request's signature is remembered for `client`.
  Verdict Check(std::string_view signedText, std::string_view signature, std::string_view timestamp,
                std::string_view client, std::int64_t now);

  static const char* Describe(Verdict verdict);

 private:
  void Forget(std::int64_t now);

  const std::string key_;
  const std::int64_t skewS_;
  std::mutex mutex_;
  // 64-bit hashes of client + NUL + signature (the signature being an HMAC,
  // two different requests share a hash with negligible odds), to keep the
  // memory per remembered request small.
  std::unordered_set<std::uint64_t> seen_;
  std::deque<std::pair<std::int64_t, std::uint64_t>> expiry_;  // (forget after, entry), in arrival order
};

}  // namespace cache_server
