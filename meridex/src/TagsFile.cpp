// CTags and media files: reading a file's tags into a tag set and saving a
// tag set into a file.
#include <exception>
#include <string>
#include <vector>

#include "FileReplacer.h"
#include "FormatTags.h"
#include "Log.h"
#include "MediaFormat.h"
#include "NewContent.h"
#include "PictureFiles.h"
#include "ReadStream.h"
#include "TagsState.h"
#include "meridex/Tags.h"
#include "platform/File.h"
#include "platform/FileSystem.h"
#include "platform/SystemError.h"
#include "platform/TextCodec.h"

namespace Meridex {

namespace {

CString SystemReason() { return CString(platform::ErrorMessage(platform::LastError())); }

CString Unreadable(const CString& path, MediaFormat format, bool empty) {
  if (empty) return L"cannot read " + path + L": the file is empty";
  if (format == MediaFormat::kUnknown)
    return L"cannot read " + path + L": not an audio file of a known kind (MP3, FLAC, MP4, Ogg Vorbis, Opus, WAV, AIFF, WMA)";
  return L"cannot read " + path + L": not a valid " + FormatName(format) + L" file (damaged or truncated)";
}

}  // namespace

CString CTags::GetFilePath() const { return State().filePath; }

FileResult CTags::ReadFile(const CString& path) {
  try {
    log::RouteTagLibMessages();
    platform::File file;
    if (!file.Open(path.str(), platform::File::Mode::kRead))
      return FileResult::Failure(L"cannot read " + path + L": " + SystemReason());
    ReadStream stream(file, platform::NativePath(path.str()));
    const bool empty = stream.length() == 0;
    MediaFormat format = empty ? MediaFormat::kUnknown : DetectFormat(stream);
    if (format == MediaFormat::kUnknown && !empty) format = FormatFromName(path.str());
    CTags fresh(GetTempFolder());
    std::vector<EmbeddedPicture> pictures;
    auto read = std::make_shared<ReadState>();
    if (format == MediaFormat::kUnknown || !formats::Read(stream, format, fresh, pictures, read->fromMainTag))
      return FileResult::Failure(Unreadable(path, format, empty));

    // The pictures stay in the file until a path is asked for: a group of
    // files read together puts none of their pictures on disk. The folder
    // they would go to is checked now, so that a refused one is said at once.
    if (!pictures.empty()) {
      std::wstring folder;
      FileResult prepared = PictureFiles::PrepareFolder(GetTempFolder(), folder);
      if (!prepared) return FileResult::Failure(L"cannot read the pictures of " + path + L": " + prepared.message);
    }
    for (std::size_t i = 0; i < pictures.size(); ++i) {
      const EmbeddedPicture& embedded = pictures[i];
      CPictureTag picture;
      PictureFiles::Defer(path, static_cast<int>(i), GetTempFolder(), embedded, picture);
      fresh.AddPicture(picture);
      std::uint64_t size = 0, hash = 0;
      PictureFiles::Fingerprint(picture, size, hash);
      read->pictures.push_back({PictureFiles::RecordId(picture), static_cast<std::uint32_t>(size), hash});
    }
    fresh.impl_->filePath = path;
    read->filePath = path;
    read->values = fresh.impl_->values;
    fresh.impl_->read = std::move(read);
    *this = std::move(fresh);
    log::Write(log::Level::kDebug, L"Read tags of " + path.str());
    return FileResult::Success();
  } catch (const std::exception& e) {
    return FileResult::Failure(L"cannot read " + path + L": " + CString(platform::FromUtf8(e.what())));
  }
}

FileResult CTags::SaveFile(const CString& path, bool keepModificationTime) const {
  try {
    NewContent made;
    FileResult prepared = MakeNewContent(*this, path, made);
    if (!prepared) return prepared;
    FileResult replaced = ReplaceFileContent(
        made.target, [&made](platform::File& out) { return made.WriteTo(out); }, made.original, keepModificationTime);
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
