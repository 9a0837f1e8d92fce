#include "server/HttpRequestReader.h"

#include <algorithm>
#include <string_view>

#include "platform/Env.h"
#include "platform/SocketIo.h"

namespace cache_server {

namespace io = platform::socket_io;

namespace {

bool IsTokenChar(char c) {
  if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) return true;
  return std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

bool IsToken(std::string_view text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), IsTokenChar);
}

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualsNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return Lower(x) == Lower(y); });
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

struct HttpRequestReader::Head {
  std::size_t lines = 0;
  std::size_t bytes = 0;
  int contentLengths = 0;
  std::string contentLength;
  bool lengthsDiffer = false;
  int transferEncodings = 0;
  std::string transferEncoding;
  bool close = false;
  bool keepAlive = false;
  bool expectContinue = false;
  std::string otherExpectation;
  std::string forwardedFor;
};

HttpRequestReader::HttpRequestReader(int fd, const HttpLimits& limits) : fd_(fd), limits_(limits) {}

HttpRequestReader::Result HttpRequestReader::Refuse(int status, std::string reason, int& outStatus,
                                                    std::string& outReason) const {
  outStatus = status;
  outReason = std::move(reason);
  return Result::kRefused;
}

HttpRequestReader::Result HttpRequestReader::Failed(Fill fill, int& status, std::string& reason) const {
  if (fill == Fill::kTimedOut) return Refuse(408, "request not received in time", status, reason);
  return Result::kBroken;
}

HttpRequestReader::Fill HttpRequestReader::ReadMore() {
  for (;;) {
    // The deadline before every receive, also when bytes are waiting.
    const std::int32_t left = static_cast<std::int32_t>(deadline_ - platform::Env::Current()->TickCount());
    if (left <= 0) return Fill::kTimedOut;
    char chunk[4096];
    const std::int64_t n = io::ReceiveNow(fd_, chunk, sizeof chunk);
    if (n > 0) {
      buffer_.append(chunk, static_cast<std::size_t>(n));
      return Fill::kMore;
    }
    if (n != io::kWouldBlock) return Fill::kClosed;
    switch (io::WaitReadable(fd_, std::min(left, static_cast<std::int32_t>(limits_.readTimeoutMs)))) {
      case io::Wait::kReady:
        break;
      case io::Wait::kTimedOut:
        return Fill::kTimedOut;
      case io::Wait::kFailed:
        return Fill::kClosed;
    }
  }
}

HttpRequestReader::Result HttpRequestReader::ReadLine(std::string& line, std::size_t limit, int tooLong, int& status,
                                                      std::string& reason) {
  std::size_t from = pos_;
  for (;;) {
    const std::size_t lf = buffer_.find('\n', from);
    if (lf != std::string::npos) {
      // Length first, as below while the line is incomplete, so that how the
      // bytes arrive never changes the answer.
      if (lf - pos_ > limit + 1) return Refuse(tooLong, "line over " + std::to_string(limit) + " bytes", status, reason);
      if (lf == pos_ || buffer_[lf - 1] != '\r') return Refuse(400, "line not ended by CR LF", status, reason);
      line.assign(buffer_, pos_, lf - 1 - pos_);
      if (line.find('\r') != std::string::npos) return Refuse(400, "bare CR in a line", status, reason);
      pos_ = lf + 1;
      return Result::kRequest;
    }
    if (buffer_.size() - pos_ > limit + 1) {
      return Refuse(tooLong, "line over " + std::to_string(limit) + " bytes", status, reason);
    }
    from = buffer_.size();
    const Fill fill = ReadMore();
    if (fill != Fill::kMore) return Failed(fill, status, reason);
  }
}

HttpRequestReader::Result HttpRequestReader::ReadHeaderLines(bool trailers, Head& head, int& status,
                                                             std::string& reason) {
  std::string line;
  for (;;) {
    const Result read = ReadLine(line, limits_.maxLineBytes, 431, status, reason);
    if (read != Result::kRequest) return read;
    head.bytes += line.size() + 2;
    if (head.bytes > limits_.maxHeaderBytes) {
      return Refuse(431, "header lines over " + std::to_string(limits_.maxHeaderBytes) + " bytes", status, reason);
    }
    if (line.empty()) return Result::kRequest;
    if (++head.lines > limits_.maxHeaderCount) {
      return Refuse(431, "more than " + std::to_string(limits_.maxHeaderCount) + " header lines", status, reason);
    }
    if (line[0] == ' ' || line[0] == '\t') return Refuse(400, "folded header line", status, reason);
    const std::size_t colon = line.find(':');
    if (colon == std::string::npos || !IsToken(std::string_view(line).substr(0, colon))) {
      return Refuse(400, "malformed header line", status, reason);
    }
    const std::string_view name = std::string_view(line).substr(0, colon);
    const std::string_view value = Trim(std::string_view(line).substr(colon + 1));
    for (const char c : value) {
      if ((static_cast<unsigned char>(c) < 0x20 && c != '\t') || c == 0x7F) {
        return Refuse(400, "control character in a header", status, reason);
      }
    }
    if (trailers) continue;  // framing is settled by then; nothing else in them is used
    if (EqualsNoCase(name, "Content-Length")) {
      if (head.contentLengths++ > 0 && value != head.contentLength) head.lengthsDiffer = true;
      head.contentLength = value;
    } else if (EqualsNoCase(name, "Transfer-Encoding")) {
      ++head.transferEncodings;
      head.transferEncoding = value;
    } else if (EqualsNoCase(name, "Connection")) {
      std::string_view rest = value;
      while (!rest.empty()) {
        const std::size_t comma = rest.find(',');
        const std::string_view option = Trim(rest.substr(0, comma));
        if (EqualsNoCase(option, "close")) head.close = true;
        if (EqualsNoCase(option, "keep-alive")) head.keepAlive = true;
        rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
      }
    } else if (EqualsNoCase(name, "X-Forwarded-For")) {
      head.forwardedFor += (head.forwardedFor.empty() ? "" : ",") + std::string(value);
    } else if (EqualsNoCase(name, "Expect")) {
      if (EqualsNoCase(value, "100-continue")) {
        head.expectContinue = true;
      } else {
        head.otherExpectation = value;
      }
    }
  }
}

HttpRequestReader::Result HttpRequestReader::ReadBytes(std::size_t count, std::string& out, int& status,
                                                       std::string& reason) {
  while (buffer_.size() - pos_ < count) {
    const Fill fill = ReadMore();
    if (fill != Fill::kMore) return Failed(fill, status, reason);
  }
  out.append(buffer_, pos_, count);
  pos_ += count;
  return Result::kRequest;
}

HttpRequestReader::Result HttpRequestReader::ReadChunked(std::string& body, int& status, std::string& reason) {
  const std::string over = "body over " + std::to_string(limits_.maxBodyBytes) + " bytes";
  std::string line;
  // The chunk-size lines and the chunks' CR LF, limited like header lines:
  // otherwise one-byte chunks with long extensions would make a body within
  // the limit cost hundreds of times its size in memory.
  std::size_t framing = 0;
  for (;;) {
    Result read = ReadLine(line, limits_.maxLineBytes, 400, status, reason);
    if (read != Result::kRequest) return read;
    framing += line.size() + 4;
    if (framing > limits_.maxHeaderBytes) {
      return Refuse(413, "chunk framing over " + std::to_string(limits_.maxHeaderBytes) + " bytes", status, reason);
    }
    std::size_t size = 0, digits = 0;
    for (; digits < line.size() && HexValue(line[digits]) >= 0; ++digits) {
      size = size * 16 + static_cast<std::size_t>(HexValue(line[digits]));
      if (body.size() + size > limits_.maxBodyBytes) return Refuse(413, over, status, reason);
    }
    const std::string_view extension = Trim(std::string_view(line).substr(digits));
    if (digits == 0 || (!extension.empty() && extension[0] != ';')) {
      return Refuse(400, "malformed chunk size", status, reason);
    }
    if (size == 0) break;
    read = ReadBytes(size, body, status, reason);
    if (read != Result::kRequest) return read;
    read = ReadLine(line, 0, 400, status, reason);  // the chunk's own CR LF, nothing before it
    if (read != Result::kRequest) return read;
  }
  Head trailers;
  return ReadHeaderLines(true, trailers, status, reason);
}

bool HttpRequestReader::SendContinue() {
  static constexpr std::string_view kContinue = "HTTP/1.1 100 Continue\r\n\r\n";
  std::size_t sent = 0;
  while (sent < kContinue.size()) {
    const std::int64_t n = io::SendNow(fd_, kContinue.data() + sent, kContinue.size() - sent);
    if (n == io::kWouldBlock) {
      if (io::WaitWritable(fd_, limits_.readTimeoutMs) != io::Wait::kReady) return false;
      continue;
    }
    if (n < 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

HttpRequestReader::Result HttpRequestReader::Read(HttpRequest& request, int& status, std::string& reason) {
  buffer_.erase(0, pos_);
  pos_ = 0;
  deadline_ = platform::Env::Current()->TickCount() + static_cast<std::uint32_t>(limits_.requestTimeoutMs);
  request = HttpRequest();

  // The request line; an empty line or two before it are tolerated.
  std::string line;
  Head head;
  do {
    const Result read = ReadLine(line, limits_.maxLineBytes, 414, status, reason);
    if (read != Result::kRequest) return read;
    head.bytes += line.size() + 2;
    if (head.bytes > limits_.maxHeaderBytes) return Refuse(400, "empty lines instead of a request", status, reason);
  } while (line.empty());
  const std::size_t space1 = line.find(' ');
  const std::size_t space2 = space1 == std::string::npos ? space1 : line.find(' ', space1 + 1);
  if (space2 == std::string::npos || line.find(' ', space2 + 1) != std::string::npos) {
    return Refuse(400, "malformed request line", status, reason);
  }
  request.method = line.substr(0, space1);
  const std::string target = line.substr(space1 + 1, space2 - space1 - 1);
  const std::string version = line.substr(space2 + 1);
  if (!IsToken(request.method) || target.empty() || target[0] != '/' ||
      !std::all_of(target.begin(), target.end(), [](char c) { return c > 0x20 && c < 0x7F; })) {
    return Refuse(400, "malformed request line", status, reason);
  }
  request.path = target.substr(0, target.find('?'));
  const bool http11 = version == "HTTP/1.1";
  if (!http11 && version != "HTTP/1.0") {
    const bool looksLikeHttp = version.size() == 8 && version.rfind("HTTP/", 0) == 0 && version[6] == '.';
    return Refuse(looksLikeHttp ? 505 : 400, "HTTP version " + version, status, reason);
  }

  head.bytes = 0;
  const Result read = ReadHeaderLines(false, head, status, reason);
  if (read != Result::kRequest) return read;
  request.keepAlive = !head.close && (http11 || head.keepAlive);
  request.forwardedFor = std::move(head.forwardedFor);

  // Exactly one way to find the body's end.
  if (head.transferEncodings > 0 && head.contentLengths > 0) {
    return Refuse(400, "Content-Length with Transfer-Encoding", status, reason);
  }
  if (head.contentLengths > 1) {
    return Refuse(400, head.lengthsDiffer ? "different Content-Lengths" : "Content-Length given twice", status,
                  reason);
  }
  const bool chunked = head.transferEncodings == 1 && EqualsNoCase(head.transferEncoding, "chunked") && http11;
  if (head.transferEncodings > 0 && !chunked) {
    return Refuse(400, "transfer coding not chunked alone", status, reason);
  }
  std::size_t length = 0;
  bool tooLong = false;
  if (head.contentLengths == 1) {
    const std::string& text = head.contentLength;
    if (text.empty() || !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
      return Refuse(400, "malformed Content-Length", status, reason);
    }
    for (const char c : text) {
      length = length * 10 + static_cast<std::size_t>(c - '0');
      if (length > limits_.maxBodyBytes) {
        tooLong = true;  // refused below, once the request is known to be well-formed
        break;
      }
    }
  }

  if (request.method != "POST") return Refuse(405, "method " + request.method, status, reason);
  if (!head.otherExpectation.empty()) return Refuse(417, "expectation " + head.otherExpectation, status, reason);
  if (tooLong) return Refuse(413, "body over " + std::to_string(limits_.maxBodyBytes) + " bytes", status, reason);
  // The client waits for this before sending the body.
  if (head.expectContinue && http11 && (chunked || length > 0) && !HasBuffered() && !SendContinue()) {
    return Result::kBroken;
  }
  return chunked ? ReadChunked(request.body, status, reason) : ReadBytes(length, request.body, status, reason);
}

}  // namespace cache_server
