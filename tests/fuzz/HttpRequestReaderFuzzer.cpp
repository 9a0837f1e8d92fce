// Feeds arbitrary byte streams to the cache server's HTTP request reader, the
// way a connection would deliver them: cut into pieces of fuzzer-chosen sizes,
// with a clock that moves between pieces, ending in a close or in silence.
// The socket calls are replaced here, so the reader sees exactly these pieces.
//
// The first byte is the schedule, the rest the stream:
//   bits 0-2  seed of the piece sizes (0: everything at once);
//   bit 3     small limits, so that short inputs reach every limit;
//   bits 4-5  milliseconds the clock moves per piece (0, 1, 50, 1000);
//   bit 6     the stream ends in silence (time-outs) rather than a close;
//   bit 7     "100 Continue" goes out one byte per send.
// Checked: requests stay within the limits; no receive after the request's
// deadline or wait past the read time-out; the reader pulls no more bytes than
// the limits allow for one request; and, with a still clock, the same stream
// cut into other pieces reads as the same requests and refusals.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Env.h"
#include "platform/SocketIo.h"
#include "server/HttpRequestReader.h"

namespace {

struct Stream {
  std::string_view bytes;
  std::vector<std::size_t> pieces;  // sizes, in order
  std::size_t piece = 0;            // the next piece
  std::size_t offsetInPiece = 0;
  std::size_t delivered = 0;
  std::size_t lastPiece = 0;  // size of the latest delivery
  bool silentEnd = false;
  bool continueByteWise = false;
  std::uint32_t stepMs = 0;
  std::uint32_t now = 1000;
  std::uint32_t deadline = 0;  // of the request being read
  int readTimeoutMs = 0;
  std::string sent;
};

Stream* g_stream = nullptr;

class FuzzEnv : public platform::Env {
 public:
  std::uint32_t TickCount() override { return g_stream->now; }
};

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

}  // namespace

namespace platform::socket_io {

std::int64_t ReceiveNow(int, void* buffer, std::size_t size) {
  Stream& s = *g_stream;
  // Every receive happens before the request's deadline.
  Check(static_cast<std::int32_t>(s.deadline - s.now) > 0);
  if (s.piece == s.pieces.size()) return s.silentEnd ? kWouldBlock : 0;
  const std::size_t left = s.pieces[s.piece] - s.offsetInPiece;
  const std::size_t n = left < size ? left : size;
  std::memcpy(buffer, s.bytes.data() + s.delivered, n);
  s.delivered += n;
  s.offsetInPiece += n;
  s.lastPiece = n;
  if (s.offsetInPiece == s.pieces[s.piece]) {
    ++s.piece;
    s.offsetInPiece = 0;
    s.now += s.stepMs;
  }
  return static_cast<std::int64_t>(n);
}

Wait WaitReadable(int, int timeoutMs) {
  Stream& s = *g_stream;
  Check(timeoutMs >= 0 && timeoutMs <= s.readTimeoutMs);
  Check(static_cast<std::int32_t>(s.deadline - s.now) >= timeoutMs);
  if (s.piece < s.pieces.size()) return Wait::kReady;
  s.now += static_cast<std::uint32_t>(timeoutMs);
  return Wait::kTimedOut;
}

std::int64_t SendNow(int, const void* data, std::size_t size) {
  Stream& s = *g_stream;
  const std::size_t n = s.continueByteWise && size > 0 ? 1 : size;
  s.sent.append(static_cast<const char*>(data), n);
  return static_cast<std::int64_t>(n);
}

Wait WaitWritable(int, int) { return Wait::kReady; }

}  // namespace platform::socket_io

namespace {

// What one Read gave, for comparing two cuttings of one stream.
struct Outcome {
  cache_server::HttpRequestReader::Result result;
  int status = 0;
  std::string method, path, body, forwardedFor;
  bool keepAlive = false;
  bool operator==(const Outcome&) const = default;
};

std::vector<Outcome> ReadAll(Stream& stream, const cache_server::HttpLimits& limits) {
  using Result = cache_server::HttpRequestReader::Result;
  g_stream = &stream;
  stream.readTimeoutMs = limits.readTimeoutMs;
  // The most one request may legitimately take from the stream: empty lines
  // and the request line, header lines, the body with its framing and
  // trailers, each overrunning its limit by at most one line.
  const std::size_t line = limits.maxLineBytes + 2;
  const std::size_t mostPerRequest = 4 * (limits.maxHeaderBytes + line) + limits.maxBodyBytes;
  cache_server::HttpRequestReader reader(0, limits);
  std::vector<Outcome> outcomes;
  for (;;) {
    stream.deadline = stream.now + static_cast<std::uint32_t>(limits.requestTimeoutMs);
    const std::size_t before = stream.delivered;
    cache_server::HttpRequest request;
    Outcome outcome;
    std::string reason;
    outcome.result = reader.Read(request, outcome.status, reason);
    // Only the latest delivery may reach past what the request needed.
    Check(stream.delivered - before <= mostPerRequest + stream.lastPiece);
    if (outcome.result == Result::kRequest) {
      Check(request.method == "POST");
      Check(!request.path.empty() && request.path[0] == '/');
      Check(request.path.find('?') == std::string::npos);
      Check(request.body.size() <= limits.maxBodyBytes);
      outcome.method = request.method;
      outcome.path = request.path;
      outcome.body = request.body;
      outcome.forwardedFor = request.forwardedFor;
      outcome.keepAlive = request.keepAlive;
    } else if (outcome.result == Result::kRefused) {
      Check(outcome.status >= 400 && outcome.status <= 505 && !reason.empty());
    }
    outcomes.push_back(outcome);
    if (outcome.result != Result::kRequest || !request.keepAlive) break;
  }
  // "100 Continue" goes out whole or not at all, once per request at most.
  constexpr std::string_view kContinue = "HTTP/1.1 100 Continue\r\n\r\n";
  Check(stream.sent.size() % kContinue.size() == 0);
  Check(stream.sent.size() / kContinue.size() <= outcomes.size());
  return outcomes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static FuzzEnv env;
  static const platform::ScopedEnv scoped(&env);
  if (size == 0) return 0;
  const std::uint8_t schedule = data[0];
  const std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);

  cache_server::HttpLimits limits;
  if (schedule & 8) {
    limits.maxBodyBytes = 64;
    limits.maxLineBytes = 40;
    limits.maxHeaderBytes = 160;
    limits.maxHeaderCount = 4;
  }
  limits.readTimeoutMs = 5000;
  limits.requestTimeoutMs = 10000;

  // Piece sizes from a small generator seeded by the schedule: mostly short
  // pieces, now and then a long one.
  std::vector<std::size_t> pieces;
  const unsigned seed = schedule & 7;
  std::uint32_t state = 0x9E3779B9u * (seed + 1);
  for (std::size_t at = 0; at < bytes.size();) {
    std::size_t piece = bytes.size() - at;
    if (seed != 0) {
      state = state * 1664525u + 1013904223u;
      const std::size_t want = (state >> 24) < 32 ? 1 + (state >> 8) % 600 : 1 + (state >> 8) % (seed * 3);
      piece = want < piece ? want : piece;
    }
    pieces.push_back(piece);
    at += piece;
  }

  static const std::uint32_t kSteps[] = {0, 1, 50, 1000};
  Stream cut;
  cut.bytes = bytes;
  cut.pieces = pieces;
  cut.stepMs = kSteps[(schedule >> 4) & 3];
  cut.silentEnd = (schedule & 64) != 0;
  cut.continueByteWise = (schedule & 128) != 0;
  const std::vector<Outcome> outcomes = ReadAll(cut, limits);

  // With the clock still, the cutting must not matter: compare with the
  // stream delivered as one piece.
  if (cut.stepMs == 0 && seed != 0) {
    Stream whole;
    whole.bytes = bytes;
    if (!bytes.empty()) whole.pieces.push_back(bytes.size());
    whole.silentEnd = cut.silentEnd;
    Check(ReadAll(whole, limits) == outcomes);
  }
  return 0;
}
