#include "foundation/Masterlog.h"

#include "platform/DebugOutput.h"
#include "platform/Env.h"
#include "platform/File.h"
#include "platform/FileSystem.h"
#include "platform/Process.h"
#include "platform/SystemError.h"
#include "platform/TextCodec.h"

CMasterlog& CMasterlog::Instance() {
  static CMasterlog instance;
  return instance;
}

CMasterlog::~CMasterlog() {
  Close();
  MergeIntoParentLog();
  platform::OutputDebugString(L"~CMasterlog");
}

void CMasterlog::Open(const CString& folder, const CString& prefix, int initialLevel) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (opened_ || folder.IsEmpty()) return;
  CString dir = folder;
  if (dir[dir.GetLength() - 1] != platform::kPathSeparator) dir += platform::kPathSeparator;
  const platform::SystemTime t = platform::Env::Current()->LocalTime();
  parentLogPath_ = dir;
  parentLogPath_.AppendFormat(L"%04d%02d%02d_%02d%02d%02d_%X.txt", t.year, t.month, t.day, t.hour, t.minute,
                              t.second, platform::CurrentProcessId());
  writer_.Open((dir + prefix).str());
  writer_.SetLevel(initialLevel);
  opened_ = true;
}

bool CMasterlog::IsOpen() const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return opened_;
}

int CMasterlog::TraceLevelFromName(const CString& name) {
  if (name == L"Error") return 10;
  if (name == L"Warning") return 20;
  if (name == L"Info") return 30;
  if (name == L"Debug" || name == L"Detail" || name == L"Verbose") return 40;
  return 10;
}

void CMasterlog::SetTraceLevel(const CString& name) { writer_.SetLevel(TraceLevelFromName(name)); }

void CMasterlog::Log(int level, const wchar_t* text) {
  if (!text) return;
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (opened_)
    writer_.Write(level, text);
  else
    platform::OutputDebugString(text);
}

void CMasterlog::LogLastError(int level, const CString& text, int errorCode) {
  LogF(level, L"%s GetLastError():%d, %s", text, errorCode, platform::ErrorMessage(errorCode));
}

void CMasterlog::Close() {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (!opened_) return;
  writer_.Close();
  opened_ = false;
}

CString CMasterlog::ParentLogPath() const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return parentLogPath_;
}

bool CMasterlog::MergeIntoParentLog() {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  const std::wstring tracePath = writer_.CurrentFilePath();
  if (merged_ || tracePath.empty() || parentLogPath_.IsEmpty()) return false;

  std::string raw;
  if (!platform::File::ReadAll(tracePath, raw)) return false;
  platform::File parent;
  if (!parent.Open(parentLogPath_, platform::File::Mode::kAppend)) return false;

  // The trace file is UTF-16LE with a byte-order mark; anything else is read as UTF-8.
  std::wstring text;
  if (raw.size() >= 2 && raw[0] == '\xFF' && raw[1] == '\xFE')
    text = platform::FromUtf16Le(std::string_view(raw).substr(2));
  else
    text = platform::FromUtf8(raw);

  const auto slash = tracePath.find_last_of(L"/\\");
  std::wstring merged = L"\r\n" + tracePath.substr(slash == std::wstring::npos ? 0 : slash + 1) + L"\r\n";
  // Every line of the trace file, each ended with CR LF.
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find(L'\n', start);
    const bool last = end == std::wstring::npos;
    if (last) end = text.size();
    std::size_t lineEnd = end;
    if (lineEnd > start && text[lineEnd - 1] == L'\r') --lineEnd;
    merged.append(text, start, lineEnd - start).append(L"\r\n");
    start = last ? end : end + 1;
  }
  const bool written = parent.Write(platform::ToUtf8(merged));
  parent.Close();
  if (!written) return false;
  platform::DeleteFile(tracePath);
  merged_ = true;
  return true;
}

CString LastErrorText() {
  const int code = platform::LastError();
  CString text;
  text.Format(L"%u: %s", static_cast<unsigned>(code), platform::ErrorMessage(code));
  return text;
}

CString ErrorText(int code) {
  CString text;
  text.Format(L"%s (%d)", platform::ErrorMessage(code), code);
  return text;
}
