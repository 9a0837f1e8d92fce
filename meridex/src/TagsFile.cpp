// CTags and media files: reading a file's tags into a tag set and saving a
// tag set into a file.
#include <taglib/tbytevectorstream.h>
#include <taglib/tdebuglistener.h>
#include <taglib/tfilestream.h>

#include <cerrno>
#include <cstdint>
#include <exception>
#include <mutex>
#include <string>
#include <vector>

#include "FileReplacer.h"
#include "FormatTags.h"
#include "Log.h"
#include "MediaFormat.h"
#include "PictureFiles.h"
#include "TagText.h"
#include "TagsState.h"
#include "meridex/Tags.h"
#include "platform/File.h"
#include "platform/FileSystem.h"
#include "platform/SystemError.h"

namespace Meridex {

namespace {

// TagLib reports what it finds odd in a file on standard error; in a host
// program that belongs in Meridex's log instead.
class LogListener : public TagLib::DebugListener {
 public:
  void printMessage(const TagLib::String& message) override {
    log::Write(log::Level::kDebug, L"TagLib: " + text::FromTagLib(message).str());
  }
};

void RouteTagLibMessages() {
  static std::once_flag once;
  std::call_once(once, [] {
    static LogListener listener;
    TagLib::setDebugListener(&listener);
  });
}

CString SystemReason() { return CString(platform::ErrorMessage(platform::LastError())); }

// The whole content of a file, straight into TagLib's buffer.
bool ReadContent(const std::wstring& path, TagLib::ByteVector& content) {
  platform::File file;
  if (!file.Open(path, platform::File::Mode::kRead)) return false;
  const std::int64_t size = file.Size();
  if (size < 0 || size > 0x7FFFFFFF) {
    if (size >= 0) platform::SetLastError(EFBIG);  // beyond what TagLib can hold
    return false;
  }
  content = TagLib::ByteVector(static_cast<unsigned int>(size), '\0');
  std::size_t used = 0;
  while (used < content.size()) {
    const std::int64_t n = file.Read(content.data() + used, content.size() - used);
    if (n < 0) return false;
    if (n == 0) break;  // the file shrank meanwhile
    used += static_cast<std::size_t>(n);
  }
  content.resize(static_cast<unsigned int>(used));
  return true;
}

CString Unreadable(const CString& path, MediaFormat format, bool empty) {
  if (empty) return L"cannot read " + path + L": the file is empty";
  if (format == MediaFormat::kUnknown)
    return L"cannot read " + path + L": not an audio file of a known kind (MP3, FLAC, MP4, Ogg Vorbis, Opus, WAV, AIFF)";
  return L"cannot read " + path + L": not a valid " + FormatName(format) + L" file (damaged or truncated)";
}

}  // namespace

CString CTags::GetFilePath() const { return State().filePath; }

FileResult CTags::ReadFile(const CString& path) {
  try {
    RouteTagLibMessages();
    platform::File probe;  // for the system's reason when the file cannot be opened
    if (!probe.Open(path.str(), platform::File::Mode::kRead))
      return FileResult::Failure(L"cannot read " + path + L": " + SystemReason());
    const bool empty = probe.Size() == 0;
    probe.Close();

    TagLib::FileStream stream(platform::NativePath(path.str()).c_str(), true);
    if (!stream.isOpen()) return FileResult::Failure(L"cannot read " + path + L": " + SystemReason());
    MediaFormat format = empty ? MediaFormat::kUnknown : DetectFormat(stream);
    if (format == MediaFormat::kUnknown && !empty) format = FormatFromName(path.str());
    CTags fresh(GetTempFolder());
    std::vector<EmbeddedPicture> pictures;
    if (format == MediaFormat::kUnknown || !formats::Read(stream, format, fresh, pictures))
      return FileResult::Failure(Unreadable(path, format, empty));

    if (!pictures.empty()) {
      std::wstring folder;
      FileResult prepared = PictureFiles::PrepareFolder(GetTempFolder(), folder);
      if (!prepared) return FileResult::Failure(L"cannot read the pictures of " + path + L": " + prepared.message);
      for (const EmbeddedPicture& embedded : pictures) {
        CPictureTag picture;
        FileResult extracted = PictureFiles::Extract(folder, embedded, picture);
        if (!extracted) return FileResult::Failure(L"cannot read the pictures of " + path + L": " + extracted.message);
        fresh.AddPicture(picture);
      }
    }
    fresh.impl_->filePath = path;
    *this = std::move(fresh);
    log::Write(log::Level::kDebug, L"Read tags of " + path.str());
    return FileResult::Success();
  } catch (const std::exception& e) {
    return FileResult::Failure(L"cannot read " + path + L": " + CString(platform::FromUtf8(e.what())));
  }
}

FileResult CTags::SaveFile(const CString& path, bool keepModificationTime) const {
  try {
    RouteTagLibMessages();
    std::vector<EmbeddedPicture> pictures;
    FileResult loaded = PictureFiles::Load(*this, pictures);
    if (!loaded) return FileResult::Failure(L"cannot save " + path + L": " + loaded.message);

    // A link is saved through: the file it points to gets the new content.
    const std::wstring target = platform::ResolvePath(path.str());
    TagLib::ByteVector content;
    if (target.empty() || !ReadContent(target, content))
      return FileResult::Failure(L"cannot save " + path + L": " + SystemReason());
    TagLib::ByteVectorStream stream(content);
    MediaFormat format = content.isEmpty() ? MediaFormat::kUnknown : DetectFormat(stream);
    if (format == MediaFormat::kUnknown && !content.isEmpty()) format = FormatFromName(target);
    if (format == MediaFormat::kUnknown)
      return FileResult::Failure(L"cannot save " + path + L": " +
                                 (content.isEmpty() ? CString(L"the file is empty") : CString(L"not an audio file of a known kind")));
    if (!formats::Write(stream, format, *this, pictures))
      return FileResult::Failure(L"cannot save " + path + L": TagLib could not write the tags of this " +
                                 FormatName(format) + L" file (damaged or truncated?)");
    FileResult replaced = ReplaceFileContent(target, *stream.data(), keepModificationTime);
    if (!replaced) {
      log::Write(log::Level::kError, replaced.message.str());
      return replaced;
    }
    log::Write(log::Level::kDebug, L"Saved tags of " + path.str());
    return replaced;
  } catch (const std::exception& e) {
    return FileResult::Failure(L"cannot save " + path + L": " + CString(platform::FromUtf8(e.what())));
  }
}

}  // namespace Meridex
