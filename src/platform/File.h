// An open file, read and written as bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/FileIdentity.h"

namespace platform {

class File {
 public:
  enum class Mode {
    kRead,          // existing file, read only
    kWrite,         // create or truncate, write only
    kAppend,        // create when missing, keep content, writes go to the end
    kReadWrite,     // create when missing, keep content
    kCreateNew,     // a new file only: fails when the path exists, even as a
                    // link; write only, readable by the owner alone (0600)
    kUpdate,        // an existing file only, never through a link; read and
                    // write, content kept
  };

  File() = default;
  ~File() { Close(); }
  File(File&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  // Opens `path`; false with LastError() set on failure. Other processes may
  // read the file while it is open.
  bool Open(std::wstring_view path, Mode mode);
  bool IsOpen() const { return fd_ >= 0; }
  void Close();

  // Reads up to `size` bytes; returns the count read, 0 at the end, -1 on error.
  std::int64_t Read(void* buffer, std::size_t size);
  // The same at `offset`, leaving the position as it is.
  std::int64_t ReadAt(void* buffer, std::size_t size, std::int64_t offset);
  // Writes all bytes; false on error.
  bool Write(const void* data, std::size_t size);
  bool Write(std::string_view bytes) { return Write(bytes.data(), bytes.size()); }
  // Copies `length` bytes of `source` from its `offset` to this file's
  // position (in the kernel where the system can, without passing them
  // through this process). Returns the count copied, fewer when `source`
  // ends first; -1 on error. `source`'s position is not used.
  std::int64_t CopyFrom(File& source, std::int64_t offset, std::int64_t length);
  // Moves the position; `origin` 0 from the start, 1 from the current position, 2 from the end.
  // Returns the new position, or -1.
  std::int64_t Seek(std::int64_t offset, int origin);
  std::int64_t Size() const;
  // Cuts or extends the file to `size` bytes.
  bool Truncate(std::int64_t size);
  bool Flush();
  // Makes content and metadata (size, times) durable before returning, so a
  // rename that follows cannot publish a file whose blocks are not on disk.
  bool Sync();
  // Closes the file, reporting a failed close: some file systems report a
  // failed write only there. True when nothing was open.
  bool CloseChecked();

  // The identity of the open file (the file itself, whatever path led to it).
  bool GetIdentity(FileIdentity& identity) const;
  // Writes the file's changed content back to the device and waits for it,
  // and reports a failed write-back of this file since it was opened, or one
  // that no one has been told of yet. Cheap when the content is already on
  // the device (after SyncFileSystem); it neither commits metadata nor
  // flushes the device's cache, so alone it makes nothing durable.
  bool WaitForWriteback();

  // The system's descriptor, for the platform layer's own helpers; -1 when closed.
  int Descriptor() const { return fd_; }

  // Reads a whole file into `out`; false when it cannot be read.
  static bool ReadAll(std::wstring_view path, std::string& out);
  // Replaces a file with `bytes`.
  static bool WriteAll(std::wstring_view path, std::string_view bytes);

 private:
  int fd_ = -1;
};

}  // namespace platform
