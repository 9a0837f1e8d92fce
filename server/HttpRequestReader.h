// Strict reading of HTTP/1.1 requests from one connection of a server that
// faces the open internet, possibly behind a proxy: a request is accepted
// only when it can be framed in exactly one way, so that no other reader of
// the same bytes can see a different request boundary, and only within
// limits of time and memory that one client cannot stretch.
//
// Accepted: "POST /target HTTP/1.1" (or 1.0), header lines ended by CR LF,
// the body framed by a single Content-Length of decimal digits, or by
// "Transfer-Encoding: chunked" alone (HTTP/1.1); no framing: no body.
// Refused, with the status to answer before closing the connection:
//   400 malformed request or header line (bare CR or LF, folded line, space
//       before the colon, control characters), Content-Length not made of
//       digits, given twice, or together with Transfer-Encoding; a transfer
//       coding other than chunked; a malformed chunk;
//   405 any method but POST (its body, if any, is never read);
//   408 the request's deadline or the read time-out passed;
//   413 a body over the limit, however it is framed (refused as soon as the
//       declared sizes exceed it, before the bytes are read), or chunk
//       framing (the size lines and CR LFs) over the header lines' limit;
//   414 / 431 a request line / header lines (or trailers) over the limits;
//   417 an expectation other than "100-continue"; 505 another HTTP version.
// "Expect: 100-continue" is answered with "100 Continue" before the body is
// read. Every receive checks the request's deadline (platform::Env's tick
// count, so tests can move it) and waits at most the read time-out, so a
// client that keeps the socket full is cut off as surely as a silent one.
//
// One reader per connection, used by one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace cache_server {

struct HttpLimits {
  std::size_t maxBodyBytes = 16 * 1024;
  std::size_t maxLineBytes = 8 * 1024;     // the request line, one header line
  std::size_t maxHeaderBytes = 32 * 1024;  // the header lines together (trailers likewise)
  std::size_t maxHeaderCount = 64;
  int readTimeoutMs = 5000;        // longest silence within a request
  int requestTimeoutMs = 10000;    // longest time to receive one request
};

struct HttpRequest {
  std::string method;
  std::string path;  // the target up to any "?"
  std::string body;
  bool keepAlive = true;  // HTTP/1.1 without "Connection: close", or 1.0 with "keep-alive"
  std::string forwardedFor;  // the X-Forwarded-For lines' values, joined by commas
};

class HttpRequestReader {
 public:
  // `fd` stays the caller's; `limits` must outlive the reader.
  HttpRequestReader(int fd, const HttpLimits& limits);

  // Whether bytes of a next request have already been received.
  bool HasBuffered() const { return pos_ < buffer_.size(); }

  enum class Result {
    kRequest,  // `request` holds the request
    kRefused,  // answer `status` (reason in `reason`), then close
    kBroken,   // the peer closed or the connection failed: close without answer
  };
  // Reads the next request; its deadline starts now.
  Result Read(HttpRequest& request, int& status, std::string& reason);

 private:
  struct Head;  // what the header lines say about framing
  enum class Fill { kMore, kTimedOut, kClosed };
  Fill ReadMore();
  // One line without its CR LF; `tooLong` is the status when it exceeds
  // `limit` bytes.
  Result ReadLine(std::string& line, std::size_t limit, int tooLong, int& status, std::string& reason);
  Result ReadHeaderLines(bool trailers, Head& head, int& status, std::string& reason);
  Result ReadBytes(std::size_t count, std::string& out, int& status, std::string& reason);
  Result ReadChunked(std::string& body, int& status, std::string& reason);
  Result Refuse(int status, std::string reason, int& outStatus, std::string& outReason) const;
  Result Failed(Fill fill, int& status, std::string& reason) const;
  bool SendContinue();

  const int fd_;
  const HttpLimits& limits_;
  std::uint32_t deadline_ = 0;  // tick count
  std::string buffer_;
  std::size_t pos_ = 0;
};

}  // namespace cache_server
