// The process-wide master log through which all diagnostics of the library go.
//
// Until Open is called, entries go to the debugger output only. Open sets the
// trace file prefix and the parent log path; entries are then written to a
// trace file (see TraceWriter). When the master log is destroyed (library
// unload), the run's trace file is appended to the parent log, which is shared
// with the plug-ins, and deleted.
//
// Levels: 10 error, 20 warning, 30 information, 40 debug, 50 and 60 detail.
// Entries read "Class::Method: message".
#pragma once

#include <mutex>
#include <string>

#include "foundation/TraceWriter.h"
#include "nimbrel/CString.h"

class CMasterlog {
 public:
  CMasterlog() = default;
  // Closes the log and merges the trace file into the parent log.
  ~CMasterlog();
  CMasterlog(const CMasterlog&) = delete;
  CMasterlog& operator=(const CMasterlog&) = delete;

  // The process-wide instance. Objects whose destructors log must call this
  // in their constructor, so that the log outlives them.
  static CMasterlog& Instance();

  // Opens the log once: trace files are folder + prefix + "_<time>_<pid>.txt",
  // the parent log is folder + "<time>_<pid>.txt". Does nothing when already
  // opened or when `folder` is empty.
  void Open(const CString& folder, const CString& prefix, int initialLevel);
  bool IsOpen() const;
  // Sets the trace level from its name ("Error", "Warning", "Info", "Debug", ...).
  void SetTraceLevel(const CString& name);
  // The level for a name; unknown names give 10 (errors only).
  static int TraceLevelFromName(const CString& name);
  // True when an entry of `level` would reach the trace file.
  bool Accepts(int level) const { return writer_.Accepts(level); }

  // Writes `text` literally (a percent sign stays). Null writes nothing.
  void Log(int level, const wchar_t* text);
  // Formats with CString::Format semantics, then logs the result.
  template <typename... Args>
  void LogF(int level, const wchar_t* format, const Args&... args) {
    if (!format || (IsOpen() && !Accepts(level))) return;
    Log(level, nimbrel::FormatWide(format, args...).c_str());
  }
  // Writes "<text> GetLastError():<code>, <system message>".
  void LogLastError(int level, const CString& text, int errorCode);

  // Closes the trace file; later entries go to the debugger output.
  void Close();
  // Path of the parent log; empty until opened.
  CString ParentLogPath() const;
  // Path of the current trace file; empty before the first written line.
  CString TraceFilePath() const { return CString(writer_.CurrentFilePath()); }
  TraceWriter& writer() { return writer_; }

  // Appends the trace file to the parent log (as UTF-8 text) and deletes the
  // trace file. Runs at destruction; returns whether the merge happened.
  bool MergeIntoParentLog();

 private:
  mutable std::recursive_mutex mutex_;
  bool opened_ = false;
  bool merged_ = false;
  CString parentLogPath_;
  TraceWriter writer_;
};

// Logs to the process-wide master log with CString::Format semantics.
template <typename... Args>
inline void LogF(int level, const wchar_t* format, const Args&... args) {
  CMasterlog::Instance().LogF(level, format, args...);
}

// "<code>: <system message>" for the calling thread's last error.
CString LastErrorText();
// "<system message> (<code>)" for `code`.
CString ErrorText(int code);
