#include "PictureFiles.h"

#include <taglib/tfilestream.h>

#include <exception>
#include <string>

#include "FormatTags.h"
#include "Log.h"
#include "MediaFormat.h"
#include "PictureRecord.h"
#include "PictureShape.h"
#include "platform/File.h"
#include "platform/FileSystem.h"
#include "platform/PrivateFolder.h"
#include "platform/SystemError.h"
#include "platform/TextCodec.h"

namespace Meridex {

namespace {

CString SystemReason() { return CString(platform::ErrorMessage(platform::LastError())); }

// A file name ending for a MIME type, so that viewers recognise the copy.
std::wstring ExtensionFor(const CString& mimeType) {
  struct Entry {
    const wchar_t* mime;
    const wchar_t* extension;
  };
  static constexpr Entry kKnown[] = {{L"image/jpeg", L".jpg"}, {L"image/jpg", L".jpg"}, {L"image/png", L".png"},
                                     {L"image/gif", L".gif"},  {L"image/bmp", L".bmp"}, {L"image/webp", L".webp"}};
  for (const Entry& e : kKnown)
    if (mimeType.CompareNoCase(e.mime) == 0) return e.extension;
  return L".bin";
}

}  // namespace

FileResult PictureFiles::PrepareFolder(const CString& tempFolder, std::wstring& folder) {
  folder = tempFolder.IsEmpty() ? platform::UserTempFolder() : tempFolder.str();
  if (folder.back() != L'/') folder += L'/';
  std::wstring problem;
  if (!platform::EnsurePrivateFolder(folder, problem)) return FileResult::Failure(CString(problem));
  return FileResult::Success();
}

void PictureFiles::Defer(const CString& mediaFile, int index, const CString& tempFolder,
                         const EmbeddedPicture& picture, CPictureTag& out) {
  const CString mimeType = picture.mimeType.IsEmpty() ? SniffMimeType(picture.data) : picture.mimeType;
  auto record = std::make_shared<CPictureTag::Record>(CString(), mimeType, picture.type, picture.description, true);
  record->mediaFile = mediaFile;
  record->mediaIndex = index;
  record->tempFolder = tempFolder;
  record->size = picture.data.size();
  record->hash = PictureHash(picture.data.data(), picture.data.size());
  record->fingerprinted = true;
  record->width = picture.width;
  record->height = picture.height;
  if (record->width <= 0 || record->height <= 0) {
    const PictureShape shape = PictureShape::Of(picture.data);
    record->width = shape.width;
    record->height = shape.height;
  }
  out = CPictureTag();
  out.record_ = std::move(record);
}

std::uint64_t PictureFiles::RecordId(const CPictureTag& picture) { return picture.record_ ? picture.record_->id : 0; }

bool PictureFiles::Fingerprint(const CPictureTag& picture, std::uint64_t& size, std::uint64_t& hash) {
  return picture.Fingerprint(size, hash);
}

bool PictureFiles::ExtractFromMedia(const CPictureTag::Record& record, std::wstring& path) {
  const CString& media = record.mediaFile;
  auto fail = [&](const CString& reason) {
    log::Write(log::Level::kError, L"Cannot extract picture " + std::to_wstring(record.mediaIndex + 1) + L" of " +
                                       media.str() + L": " + reason.str());
    return false;
  };
  try {
    TagLib::FileStream stream(platform::NativePath(media.str()).c_str(), true);
    if (!stream.isOpen()) return fail(SystemReason());
    MediaFormat format = DetectFormat(stream);
    if (format == MediaFormat::kUnknown) format = FormatFromName(media.str());
    CTags scratch;
    std::vector<EmbeddedPicture> pictures;
    bool fromMainTag = true;
    if (format == MediaFormat::kUnknown || !formats::Read(stream, format, scratch, pictures, fromMainTag))
      return fail(L"it is no longer a readable media file");
    const auto index = static_cast<std::size_t>(record.mediaIndex);
    EmbeddedPicture probe;
    probe.size = static_cast<std::uint32_t>(record.size);
    probe.hash = record.hash;
    if (record.mediaIndex < 0 || index >= pictures.size() || !SameBytes(pictures[index].data, probe))
      return fail(L"the file no longer holds that picture");
    const TagLib::ByteVector& data = pictures[index].data;
    std::wstring folder;
    FileResult prepared = PrepareFolder(record.tempFolder, folder);
    if (!prepared) return fail(prepared.message);
    platform::File file;
    if (!platform::CreateUniqueFile(folder, L"meridex-picture-", ExtensionFor(record.mimeType), file, path))
      return fail(L"cannot create a picture file in " + CString(folder) + L": " + SystemReason());
    if (!file.Write(data.data(), data.size()) || !file.CloseChecked()) {
      const CString reason = SystemReason();
      file.Close();
      platform::DeleteFile(path);
      return fail(L"cannot write picture file " + CString(path) + L": " + reason);
    }
    log::Write(log::Level::kDebug, L"Extracted picture file " + path);
    return true;
  } catch (const std::exception& e) {
    return fail(CString(platform::FromUtf8(e.what())));
  }
}

bool PictureFiles::LoadBytes(EmbeddedPicture& picture) {
  if (picture.data.isEmpty()) {
    if (picture.path.IsEmpty()) picture.path = picture.source.GetFilePath();
    std::string bytes;
    if (!platform::File::ReadAll(picture.path.str(), bytes) || bytes.empty()) return false;
    picture.data = TagLib::ByteVector(bytes.data(), static_cast<unsigned int>(bytes.size()));
  }
  if (picture.mimeType.IsEmpty()) picture.mimeType = SniffMimeType(picture.data);
  if (picture.width == 0 && picture.height == 0) {
    const PictureShape shape = PictureShape::Of(picture.data);
    picture.width = shape.width;
    picture.height = shape.height;
    picture.depth = shape.depth;
    picture.colours = shape.colours;
  }
  return true;
}

bool PictureFiles::SameBytes(const TagLib::ByteVector& data, const EmbeddedPicture& picture) {
  return data.size() == picture.size && PictureHash(data.data(), data.size()) == picture.hash;
}

FileResult PictureFiles::ForSaving(const CTags& tags, const ReadState* read, std::vector<EmbeddedPicture>& out,
                                   bool& unchanged) {
  out.clear();
  unchanged = read != nullptr;
  std::size_t position = 0;
  for (int i = 0; i < tags.GetPictureCount(); ++i) {
    CPictureTag picture;
    if (!tags.GetPicture(i, picture) || picture.IsEmpty()) continue;
    EmbeddedPicture embedded;
    const std::uint64_t id = RecordId(picture);
    embedded.mimeType = picture.GetMimeType();
    embedded.type = picture.GetType();
    embedded.description = picture.GetDescription();
    if (read) {
      for (std::size_t k = 0; k < read->pictures.size(); ++k) {
        if (read->pictures[k].record != id) continue;
        embedded.source = picture;
        embedded.fileIndex = static_cast<int>(k);
        embedded.size = read->pictures[k].size;
        embedded.hash = read->pictures[k].hash;
        break;
      }
    }
    if (embedded.fileIndex < 0) {
      embedded.path = picture.GetFilePath();
      std::string bytes;
      if (!platform::File::ReadAll(embedded.path.str(), bytes))
        return FileResult::Failure(L"cannot read picture file " + embedded.path + L": " + SystemReason());
      if (bytes.empty()) return FileResult::Failure(L"picture file " + embedded.path + L" is empty");
      embedded.data = TagLib::ByteVector(bytes.data(), static_cast<unsigned int>(bytes.size()));
      LoadBytes(embedded);
    }
    unchanged = unchanged && embedded.fileIndex == static_cast<int>(position);
    ++position;
    out.push_back(std::move(embedded));
  }
  unchanged = unchanged && position == read->pictures.size();
  return FileResult::Success();
}

CString PictureFiles::SniffMimeType(const TagLib::ByteVector& data) {
  if (data.startsWith(TagLib::ByteVector("\xFF\xD8\xFF", 3))) return L"image/jpeg";
  if (data.startsWith(TagLib::ByteVector("\x89PNG", 4))) return L"image/png";
  if (data.startsWith(TagLib::ByteVector("GIF8", 4))) return L"image/gif";
  if (data.startsWith(TagLib::ByteVector("BM", 2))) return L"image/bmp";
  if (data.size() >= 12 && data.mid(0, 4) == "RIFF" && data.mid(8, 4) == "WEBP") return L"image/webp";
  return CString();
}

}  // namespace Meridex
