#include "foundation/StdioFileEx.h"

#include <cerrno>
#include <cstring>
#include <limits>

#include "platform/FileSystem.h"
#include "platform/SystemError.h"
#include "platform/TextCodec.h"

namespace {

constexpr std::size_t kChunk = 64 * 1024;
constexpr char kUtf16Mark[] = "\xFF\xFE";
constexpr char kUtf8Mark[] = "\xEF\xBB\xBF";

int CauseOf(int error) {
  switch (error) {
    case ENOENT:
      return CFileException::fileNotFound;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
      return CFileException::accessDenied;
    case EMFILE:
    case ENFILE:
      return CFileException::tooManyOpenFiles;
    case ENOTDIR:
    case ENAMETOOLONG:
    case ELOOP:
      return CFileException::badPath;
    case ENOSPC:
      return CFileException::diskFull;
    default:
      return CFileException::genericException;
  }
}

}  // namespace

bool CStdioFileEx::Open(const CString& path, unsigned flags, CFileException* error) {
  Close();
  isUnicode_ = (flags & WriteUnicode) != 0;
  flags = (flags & ~typeText) | typeBinary;
  openFlags_ = flags;
  path_ = path;

  const unsigned access = flags & (modeWrite | modeReadWrite);
  const bool create = (flags & modeCreate) != 0;
  const bool reading = access == modeRead && !create;
  bool opened = false;
  if (reading) {
    opened = file_.Open(path.str(), platform::File::Mode::kRead);
  } else if (!create && !platform::PathExists(path.str())) {
    platform::SetLastError(ENOENT);
  } else {
    opened = true;
    if (create) {
      // Creates the file when missing, and empties it unless told not to.
      platform::File created;
      opened = created.Open(path.str(), (flags & modeNoTruncate) ? platform::File::Mode::kAppend
                                                                 : platform::File::Mode::kWrite);
    }
    if (opened)
      opened = file_.Open(path.str(), access == modeRead ? platform::File::Mode::kRead : platform::File::Mode::kReadWrite);
  }
  if (!opened) {
    if (error) {
      error->m_lOsError = platform::LastError();
      error->m_cause = CauseOf(error->m_lOsError);
      error->m_strFileName = path;
    }
    return false;
  }
  if (reading) {
    // The mark stays in the buffer; the position remains 0.
    isUnicode_ = Buffer(2) >= 2 && std::memcmp(buffer_.data(), kUtf16Mark, 2) == 0;
  }
  firstRead_ = true;
  return true;
}

void CStdioFileEx::Close() {
  file_.Close();
  buffer_.clear();
  bufferPos_ = 0;
  position_ = 0;
  firstRead_ = true;
}

std::size_t CStdioFileEx::Buffer(std::size_t count) {
  if (buffer_.size() - bufferPos_ >= count) return buffer_.size() - bufferPos_;
  buffer_.erase(0, bufferPos_);
  bufferPos_ = 0;
  while (buffer_.size() < count) {
    const std::size_t used = buffer_.size();
    buffer_.resize(used + kChunk);
    const std::int64_t n = file_.Read(buffer_.data() + used, kChunk);
    buffer_.resize(used + static_cast<std::size_t>(n > 0 ? n : 0));
    if (n <= 0) break;  // end of file, or a file not open for reading
  }
  return buffer_.size();
}

bool CStdioFileEx::DropBuffer() {
  if (bufferPos_ < buffer_.size() && file_.Seek(position_, begin) != position_) return false;
  buffer_.clear();
  bufferPos_ = 0;
  return true;
}

void CStdioFileEx::SkipMark(const char* mark, std::size_t length) {
  if (Buffer(length) >= length && std::memcmp(buffer_.data() + bufferPos_, mark, length) == 0) {
    bufferPos_ += length;
    position_ += static_cast<std::int64_t>(length);
  }
}

bool CStdioFileEx::ReadString(CString& line) {
  line.Empty();
  if (!IsOpen()) return false;
  // Only a mark that is really there is passed over: a file without one keeps
  // its first characters.
  if (firstRead_ && position_ == 0) {
    if (isUnicode_)
      SkipMark(kUtf16Mark, 2);
    else if (MultiByteIsUtf8())
      SkipMark(kUtf8Mark, 3);
  }

  line_.clear();
  bool any = false;
  bool ended = false;  // a line feed ended the line
  while (!ended && Buffer(1) > 0) {
    const char* data = buffer_.data() + bufferPos_;
    const std::size_t available = buffer_.size() - bufferPos_;
    std::size_t take = available;
    if (!isUnicode_) {
      if (const void* lf = std::memchr(data, '\n', available)) {
        take = static_cast<std::size_t>(static_cast<const char*>(lf) - data) + 1;
        ended = true;
      }
    } else {
      // Code units are counted from the start of the line; one may straddle two reads.
      std::size_t i = 0;
      if (line_.size() % 2 == 1) {
        if (line_.back() == '\n' && data[0] == '\0') {
          take = 1;
          ended = true;
        }
        i = 1;
      }
      for (; !ended && i + 1 < available; i += 2) {
        if (data[i] == '\n' && data[i + 1] == '\0') {
          take = i + 2;
          ended = true;
        }
      }
    }
    line_.append(data, take);
    bufferPos_ += take;
    position_ += static_cast<std::int64_t>(take);
    any = true;
  }
  if (!any) return false;

  std::wstring text;
  if (isUnicode_) {
    if (ended) line_.resize(line_.size() - 2);
    text = platform::FromUtf16Le(line_);
  } else {
    if (ended) line_.pop_back();
    text = platform::FromCodePage(line_, MultiByteIsUtf8() ? platform::kCodePageUtf8 : platform::kCodePageAnsi);
  }
  if (!text.empty() && text.back() == L'\r') text.pop_back();
  line = CString(std::move(text));
  firstRead_ = false;
  return true;
}

bool CStdioFileEx::WriteString(const CString& text) {
  if (!IsOpen() || !DropBuffer()) return false;
  std::string bytes;
  if (writeMark_ && position_ == 0) {
    if (isUnicode_)
      bytes = kUtf16Mark;
    else if (MultiByteIsUtf8())
      bytes = kUtf8Mark;
  }
  if (isUnicode_)
    bytes += platform::ToUtf16Le(text.str());
  else
    bytes += platform::ToCodePage(text.str(), MultiByteIsUtf8() ? platform::kCodePageUtf8 : platform::kCodePageAnsi);
  if (bytes.empty()) return true;
  if (!file_.Write(bytes)) {
    // Part may have been written; take the position from the file.
    const int saved = platform::LastError();
    const std::int64_t at = file_.Seek(0, current);
    if (at >= 0) position_ = at;
    platform::SetLastError(saved);
    return false;
  }
  position_ += static_cast<std::int64_t>(bytes.size());
  return true;
}

std::int64_t CStdioFileEx::Seek(std::int64_t offset, int origin) {
  firstRead_ = true;
  if (!IsOpen()) return -1;
  if (origin == current) {
    // Relative to the position seen by the caller, not to the read-ahead.
    if (offset > 0 && position_ > std::numeric_limits<std::int64_t>::max() - offset) return -1;
    offset += position_;
    origin = begin;
  }
  const std::int64_t at = file_.Seek(offset, origin);
  if (at < 0) return -1;  // the file's own position is unchanged, and so is the buffer
  buffer_.clear();
  bufferPos_ = 0;
  position_ = at;
  return at;
}

std::int64_t CStdioFileEx::GetLength() const { return IsOpen() ? file_.Size() : -1; }

bool CStdioFileEx::SetCodePage(int codePage) {
  if (codePage != -1 && codePage != 0 && codePage != 1252 && codePage != 65001) return false;
  codePage_ = codePage;
  return true;
}

bool CStdioFileEx::SetFilePath(const wchar_t* path) {
  if (!path) return false;
  path_ = path;
  return true;
}
