#include "foundation/TraceWriter.h"

#include <algorithm>
#include <vector>

#include "nimbrel/CString.h"
#include "platform/DebugOutput.h"
#include "platform/Env.h"
#include "platform/FileSystem.h"
#include "platform/Process.h"
#include "platform/TextCodec.h"

namespace {

// Folder part of a path, up to and including its last separator.
std::wstring FolderPart(const std::wstring& path) {
  const auto pos = path.find_last_of(L"/\\");
  return pos == std::wstring::npos ? std::wstring() : path.substr(0, pos + 1);
}

}  // namespace

const wchar_t* TraceWriter::LevelName(int level) {
  switch (level / 10) {
    case 1: return L"ERR";
    case 2: return L"WRN";
    case 3: return L"INF";
    case 4: return L"DBG";
    case 5: return L"-->";
    case 6: return L"---";
    default: return L"";
  }
}

void TraceWriter::Open(const std::wstring& prefixPath) {
  std::lock_guard<std::mutex> lock(mutex_);
  file_.Close();
  prefix_ = prefixPath;
  DeleteOldTraceFiles();
}

void TraceWriter::DeleteOldTraceFiles() const {
  const std::wstring folder = FolderPart(prefix_);
  if (folder.size() < 5) return;  // never clean a drive root or an unqualified name
  std::vector<std::wstring> names;
  for (auto& found : platform::FindFiles(prefix_ + L"*.txt"))
    if (!found.IsDirectory()) names.push_back(std::move(found.name));
  if (names.size() <= static_cast<std::size_t>(kKeptTraceFiles)) return;
  std::sort(names.begin(), names.end());
  for (std::size_t i = 0; i + kKeptTraceFiles < names.size(); ++i) platform::DeleteFile(folder + names[i]);
}

void TraceWriter::SetLevel(int level) { level_ = level < 0 ? 0 : level; }

int TraceWriter::Level() const { return level_; }

bool TraceWriter::Accepts(int level) const {
  const int current = level_;
  return current != 0 && level <= current;
}

void TraceWriter::SetMaxFileSize(std::int64_t bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  maxSize_ = bytes;
}

std::wstring TraceWriter::CurrentFilePath() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return path_;
}

void TraceWriter::Close() {
  std::lock_guard<std::mutex> lock(mutex_);
  file_.Close();
}

std::wstring TraceWriter::MakeFileName(const platform::SystemTime& t) const {
  const std::wstring prefix = prefix_.empty() ? std::wstring(L"Trace") : prefix_;
  return prefix + nimbrel::FormatWide(L"_%04d%02d%02d_%02d%02d%02d_%X.txt", t.year, t.month, t.day, t.hour,
                                      t.minute, t.second, platform::CurrentProcessId());
}

bool TraceWriter::EnsureFile(const platform::SystemTime& now) {
  if (file_.IsOpen()) {
    if (now.SameDate(created_) && size_ <= maxSize_) return true;
    file_.Close();
  }
  // A file replaced within the same second would get the name of a file
  // already written; number on ("_2", "_3", ...) until a name is free, so
  // no earlier lines are ever overwritten.
  const std::wstring base = MakeFileName(now);
  std::wstring name = base;
  for (int n = 2; name == path_ || platform::PathExists(name); ++n)
    name = base.substr(0, base.size() - 4) + nimbrel::FormatWide(L"_%d.txt", n);
  if (!file_.Open(name, platform::File::Mode::kWrite)) return false;
  path_ = name;
  created_ = now;
  static const char kBom[] = {'\xFF', '\xFE'};
  file_.Write(kBom, sizeof kBom);
  size_ = sizeof kBom;
  return true;
}

void TraceWriter::Write(int level, std::wstring_view text) {
  if (!Accepts(level)) return;
  std::lock_guard<std::mutex> lock(mutex_);
  const platform::SystemTime now = platform::Env::Current()->LocalTime();
  if (!EnsureFile(now)) return;  // the next line tries again
  std::wstring line = nimbrel::FormatWide(L"%02d:%02d:%02d.%03d %X %s: ", now.hour, now.minute, now.second,
                                          now.milliseconds, platform::CurrentThreadId(), LevelName(level));
  line.append(text);
  line.append(L"\r\n");
  const std::string bytes = platform::ToUtf16Le(line);
  if (file_.Write(bytes)) size_ += static_cast<std::int64_t>(bytes.size());
  platform::OutputDebugString(line);
}
