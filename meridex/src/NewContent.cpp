#include "NewContent.h"

#include <taglib/tbytevectorstream.h>

#include <cerrno>
#include <cstdint>
#include <vector>

#include "FieldChanges.h"
#include "FormatTags.h"
#include "Log.h"
#include "MediaFormat.h"
#include "PictureFiles.h"
#include "TagsState.h"
#include "platform/File.h"
#include "platform/FileSystem.h"
#include "platform/SystemError.h"

namespace Meridex {

namespace {

CString SystemReason() { return CString(platform::ErrorMessage(platform::LastError())); }

// The whole content of a file, straight into TagLib's buffer, and the file's
// identity from before the first byte was read: a change made while reading
// shows as a change later.
bool ReadContent(const std::wstring& path, TagLib::ByteVector& content, platform::FileIdentity& identity) {
  platform::File file;
  if (!file.Open(path, platform::File::Mode::kRead)) return false;
  if (!file.GetIdentity(identity)) return false;
  const std::int64_t size = identity.size;
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

}  // namespace

FileResult MakeNewContent(const CTags& tags, const CString& path, NewContent& made) {
  log::RouteTagLibMessages();
  // Saved into the file it was read from, only what changed is written.
  const auto& state = TagsAccess::Of(tags);
  const ReadState* read = state.read && state.read->filePath == path ? state.read.get() : nullptr;
  std::vector<EmbeddedPicture> pictures;
  bool picturesUnchanged = false;
  FileResult loaded = PictureFiles::ForSaving(tags, read, pictures, picturesUnchanged);
  if (!loaded) return FileResult::Failure(L"cannot save " + path + L": " + loaded.message);

  // A link is saved through: the file it points to gets the new content.
  const std::wstring target = platform::ResolvePath(path.str());
  TagLib::ByteVector content;
  platform::FileIdentity original;
  if (target.empty() || !ReadContent(target, content, original))
    return FileResult::Failure(L"cannot save " + path + L": " + SystemReason());
  TagLib::ByteVectorStream stream(content);
  MediaFormat format = content.isEmpty() ? MediaFormat::kUnknown : DetectFormat(stream);
  if (format == MediaFormat::kUnknown && !content.isEmpty()) format = FormatFromName(target);
  if (format == MediaFormat::kUnknown)
    return FileResult::Failure(L"cannot save " + path + L": " +
                               (content.isEmpty() ? CString(L"the file is empty") : CString(L"not an audio file of a known kind")));
  const FieldChanges changes(state.values, read);
  // Nothing changed since reading: the file keeps its very bytes (TagLib
  // would at least lay its tags out anew, or add a tag the file lacks).
  if (read && picturesUnchanged && state.values == read->values) {
    made.target = target;
    made.content = content;
    made.original = original;
    return FileResult::Success();
  }
  if (!formats::Write(stream, format, changes, picturesUnchanged ? nullptr : &pictures))
    return FileResult::Failure(L"cannot save " + path + L": TagLib could not write the tags of this " +
                               FormatName(format) + L" file (damaged or truncated?)");
  made.target = target;
  made.content = *stream.data();
  made.original = original;
  return FileResult::Success();
}

}  // namespace Meridex
