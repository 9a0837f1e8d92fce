#include "NewContent.h"

#include <taglib/tbytevectorstream.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <vector>

#include "CommentEncoding.h"
#include "FieldChanges.h"
#include "FormatTags.h"
#include "Id3Layout.h"
#include "Log.h"
#include "MediaFormat.h"
#include "Mp4Fragments.h"
#include "PictureFiles.h"
#include "ReadStream.h"
#include "SplicedSave.h"
#include "TagsState.h"
#include "platform/FileSystem.h"
#include "platform/SystemError.h"

namespace Meridex {

namespace {

CString SystemReason() { return CString(platform::ErrorMessage(platform::LastError())); }

// The whole content of the open file, straight into TagLib's buffer.
bool ReadContent(platform::File& file, std::int64_t size, TagLib::ByteVector& content) {
  if (size < 0 || size > 0x7FFFFFFF) {
    if (size >= 0) platform::SetLastError(EFBIG);  // beyond what TagLib can hold
    return false;
  }
  if (file.Seek(0, 0) != 0) return false;
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

// How many comment blocks a FLAC file holds (after a leading ID3v2 tag).
// FLAC allows one; TagLib keeps the first of several and drops the others.
int FlacCommentBlocks(const TagLib::ByteVector& content) {
  std::uint64_t at = 0;
  if (content.startsWith("ID3") && content.size() >= 10) {
    at = 10;
    for (unsigned i = 6; i < 10; ++i) at += static_cast<std::uint64_t>(content[i] & 0x7F) << (7 * (9 - i));
    if (content[5] & 0x10) at += 10;  // a footer
  }
  if (at + 4 > content.size() || content.mid(static_cast<unsigned>(at), 4) != "fLaC") return 0;
  int comments = 0;
  for (at += 4; at + 4 <= content.size();) {
    const auto header = static_cast<unsigned>(at);
    const unsigned type = static_cast<unsigned char>(content[header]) & 0x7F;
    if (type == 4) ++comments;
    at += 4 + (content.toUInt(header, true) & 0xFFFFFF);
    if (static_cast<unsigned char>(content[header]) & 0x80) break;  // the last block
  }
  return comments;
}

}  // namespace

void NewContent::Add(ContentPiece piece) {
  if (piece.offset < 0 ? piece.bytes.isEmpty() : piece.length <= 0) return;
  if (piece.offset >= 0 && !pieces.empty()) {
    ContentPiece& last = pieces.back();
    if (last.offset >= 0 && last.offset + last.length == piece.offset) {
      last.length += piece.length;
      return;
    }
  }
  pieces.push_back(std::move(piece));
}

bool NewContent::WriteTo(platform::File& out) {
  for (const ContentPiece& piece : pieces) {
    if (piece.offset < 0) {
      if (!out.Write(piece.bytes.data(), piece.bytes.size())) return false;
      continue;
    }
    const std::int64_t copied = out.CopyFrom(source, piece.offset, piece.length);
    if (copied < 0) return false;
    if (copied < piece.length) {
      platform::SetLastError(EIO);  // cut short since it was examined
      return false;
    }
  }
  return true;
}

FileResult MakeNewContent(const CTags& tags, const CString& path, NewContent& made) {
  log::RouteTagLibMessages();
  // Saved into the file it was read from, only what changed is written.
  const auto& state = TagsAccess::Of(tags);
  const ReadState* read = state.read && state.read->filePath == path ? state.read.get() : nullptr;
  std::vector<EmbeddedPicture> pictures;
  bool picturesUnchanged = false;
  FileResult loaded = PictureFiles::ForSaving(tags, read, pictures, picturesUnchanged);
  if (!loaded) return FileResult::Failure(L"cannot save " + path + L": " + loaded.message);

  // A link is saved through: the file it points to gets the new content. Its
  // identity is taken before the first byte is read, so that a change made
  // while reading shows as a change later.
  made.target = platform::ResolvePath(path.str());
  if (made.target.empty() || !made.source.Open(made.target, platform::File::Mode::kRead) ||
      !made.source.GetIdentity(made.original))
    return FileResult::Failure(L"cannot save " + path + L": " + SystemReason());
  const std::int64_t size = made.original.size;
  ReadStream source(made.source, platform::NativePath(made.target));
  MediaFormat format = size <= 0 ? MediaFormat::kUnknown : DetectFormat(source);
  if (format == MediaFormat::kUnknown && size > 0) format = FormatFromName(made.target);
  if (format == MediaFormat::kUnknown)
    return FileResult::Failure(L"cannot save " + path + L": " +
                               (size <= 0 ? CString(L"the file is empty") : CString(L"not an audio file of a known kind")));
  const FieldChanges changes(state.values, read);
  // Nothing changed since reading: the file keeps its very bytes (TagLib
  // would at least lay its tags out anew, or add a tag the file lacks).
  if (read && picturesUnchanged && state.values == read->values) {
    made.Add(ContentPiece::Range(0, size));
    return FileResult::Success();
  }
  // Only fields changed in a file with pictures: its tag is laid out anew
  // around the pictures, which are copied from the file as they are.
  if (read && picturesUnchanged && !read->pictures.empty() && spliced::Save(source, format, size, changes, made))
    return FileResult::Success();
  made.pieces.clear();

  TagLib::ByteVector content;
  if (!ReadContent(made.source, size, content))
    return FileResult::Failure(L"cannot save " + path + L": " + SystemReason());
  if (content.isEmpty()) return FileResult::Failure(L"cannot save " + path + L": the file is empty");
  if (format == MediaFormat::kFlac && FlacCommentBlocks(content) > 1)
    return FileResult::Failure(L"cannot save " + path +
                               L": it holds several comment blocks (a FLAC file may hold one); saving would keep only "
                               L"the first");
  if (!xiph::FileFieldsAreUtf8(content, format))
    return FileResult::Failure(L"cannot save " + path +
                               L": a text of its tags is not the UTF-8 it claims (another program wrote it in "
                               L"another encoding); saving would drop it");
  if (format == MediaFormat::kMpeg || format == MediaFormat::kFlac) {
    id3::NormaliseLayout(content);
    if (id3::HoldsFramesTagLibGarbles(content))
      return FileResult::Failure(L"cannot save " + path +
                                 L": its ID3v2 tag holds frames saving would damage or drop (encrypted or grouped "
                                 L"frames, text that is not the UTF-8 it claims, or ID3v2.2 frames that ID3v2.4 has "
                                 L"no place for)");
  }
  const mp4::FragmentOffsets fragments =
      format == MediaFormat::kMp4 ? mp4::FindFragmentOffsets(content) : mp4::FragmentOffsets();
  TagLib::ByteVectorStream stream(content);
  content = TagLib::ByteVector();  // the stream's copy is then its only one, changed in place
  if (!formats::Write(stream, format, changes, picturesUnchanged ? nullptr : &pictures))
    return FileResult::Failure(L"cannot save " + path + L": TagLib could not write the tags of this " +
                               FormatName(format) + L" file (damaged or truncated?)");
  if (!mp4::RestoreFragmentOffsets(fragments, *stream.data()))
    return FileResult::Failure(L"cannot save " + path + L": its movie fragments could not be kept in place");
  made.Add(ContentPiece::Bytes(*stream.data()));
  return FileResult::Success();
}

}  // namespace Meridex
