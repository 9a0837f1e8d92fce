// Line-by-line text files in UTF-16LE or in a multi-byte code page.
//
// Reading: a file opened for reading only that begins with FF FE is read as
// UTF-16LE, any other in the object's code page (Windows-1252 by default, or
// UTF-8 with 65001). Writing: UTF-16LE when opened with WriteUnicode, else the
// code page. Files are always handled in binary mode: line endings pass as
// they are, ReadString removes one LF and then one CR, WriteString adds none.
//
// An object is used by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "nimbrel/CString.h"
#include "platform/File.h"

// Why an Open failed, after the framework's file exception record.
struct CFileException {
  enum Cause {
    none = 0,
    genericException = 1,
    fileNotFound = 2,
    badPath = 3,
    tooManyOpenFiles = 4,
    accessDenied = 5,
    invalidFile = 6,
    diskFull = 13,
  };
  int m_cause = none;
  int m_lOsError = 0;  // the system's error number
  CString m_strFileName;
};

class CStdioFileEx {
 public:
  // Open flags, with the framework's values. The share flags are accepted and
  // have no effect here: other processes may always read an open file.
  static constexpr unsigned modeRead = 0x0000;
  static constexpr unsigned modeWrite = 0x0001;
  static constexpr unsigned modeReadWrite = 0x0002;
  static constexpr unsigned shareCompat = 0x0000;
  static constexpr unsigned shareExclusive = 0x0010;
  static constexpr unsigned shareDenyWrite = 0x0020;
  static constexpr unsigned shareDenyRead = 0x0030;
  static constexpr unsigned shareDenyNone = 0x0040;
  static constexpr unsigned modeNoInherit = 0x0080;
  // Create the file, emptying an existing one unless modeNoTruncate is given too.
  static constexpr unsigned modeCreate = 0x1000;
  static constexpr unsigned modeNoTruncate = 0x2000;
  static constexpr unsigned typeText = 0x4000;    // replaced by typeBinary in Open
  static constexpr unsigned typeBinary = 0x8000;
  // Write UTF-16LE text.
  static constexpr unsigned WriteUnicode = 0x200000;

  // Seek origins.
  enum SeekPosition { begin = 0, current = 1, end = 2 };

  CStdioFileEx() = default;
  ~CStdioFileEx() = default;
  CStdioFileEx(const CStdioFileEx&) = delete;
  CStdioFileEx& operator=(const CStdioFileEx&) = delete;

  // Opens `path` (closing any file open before). Without modeCreate the file
  // must exist. A file opened for reading only (neither modeCreate nor a write
  // mode) is UTF-16 when its first two bytes are FF FE; otherwise the object
  // is UTF-16 exactly when WriteUnicode is given. On failure returns false and
  // fills `error` when given.
  bool Open(const CString& path, unsigned flags, CFileException* error = nullptr);
  void Close();
  bool IsOpen() const { return file_.IsOpen(); }

  // Reads the next line without its LF and one CR before it; lines may be of
  // any length. The first read at position 0 after Open or Seek passes over a
  // byte-order mark (FF FE in UTF-16 mode, EF BB BF with code page 65001)
  // when the file has one there. False, with `line` emptied, at the end of
  // the file. Invalid input never fails a read: lone UTF-16 surrogates are
  // kept, an odd last byte is dropped, invalid UTF-8 becomes U+FFFD.
  bool ReadString(CString& line);

  // Writes `text` as it is (the caller supplies line breaks). At position 0
  // with the write mark on, a byte-order mark comes first: FF FE in UTF-16
  // mode, EF BB BF with code page 65001, none in Windows-1252. Characters that
  // Windows-1252 lacks are written as "#". False when not all bytes could be
  // written.
  bool WriteString(const CString& text);

  // Moves the position (origin begin, current or end) and makes the next
  // ReadString a first read again. Returns the new position, or -1 (the
  // position is then unchanged).
  std::int64_t Seek(std::int64_t offset, int origin);
  std::int64_t GetPosition() const { return position_; }
  // Length of the file in bytes, or -1.
  std::int64_t GetLength() const;

  // Code page of multi-byte text: -1 (the ANSI code page, Windows-1252), 0
  // (the same), 1252 or 65001 (UTF-8). Others are refused with false and the
  // code page is left as it was.
  bool SetCodePage(int codePage);
  int GetCodePage() const { return codePage_; }
  // Whether WriteString at position 0 writes a byte-order mark (default on).
  void SetWriteMark(bool on) { writeMark_ = on; }
  bool GetWriteMark() const { return writeMark_; }

  bool IsFileUnicode() const { return isUnicode_; }
  // Flags of the last Open, with typeText replaced by typeBinary.
  unsigned GetOpenFlags() const { return openFlags_; }
  const CString& GetFilePath() const { return path_; }
  // Stores a path for GetFilePath; a null path is refused with false.
  bool SetFilePath(const wchar_t* path);

 private:
  bool MultiByteIsUtf8() const { return codePage_ == 65001; }
  // Makes at least `count` unread bytes available if the file has them;
  // returns the number available.
  std::size_t Buffer(std::size_t count);
  // Drops unread bytes so that the file's own position equals position_.
  bool DropBuffer();
  // Passes over `mark` when the unread bytes begin with it.
  void SkipMark(const char* mark, std::size_t length);

  platform::File file_;
  CString path_;
  bool isUnicode_ = false;
  unsigned openFlags_ = 0;
  int codePage_ = -1;
  bool writeMark_ = true;
  bool firstRead_ = true;
  // Bytes read from the file ahead of position_; the file's own position is
  // position_ + (buffer_.size() - bufferPos_).
  std::string buffer_;
  std::size_t bufferPos_ = 0;
  std::int64_t position_ = 0;
  std::string line_;  // reused for the bytes of each line
};
