#include "PictureFiles.h"

#include <string>

#include "Log.h"
#include "PictureShape.h"
#include "platform/File.h"
#include "platform/FileSystem.h"
#include "platform/PrivateFolder.h"
#include "platform/SystemError.h"

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

FileResult PictureFiles::Extract(const std::wstring& folder, const EmbeddedPicture& picture, CPictureTag& out) {
  CString mimeType = picture.mimeType.IsEmpty() ? SniffMimeType(picture.data) : picture.mimeType;
  platform::File file;
  std::wstring path;
  if (!platform::CreateUniqueFile(folder, L"meridex-picture-", ExtensionFor(mimeType), file, path))
    return FileResult::Failure(L"cannot create a picture file in " + CString(folder) + L": " + SystemReason());
  if (!file.Write(picture.data.data(), picture.data.size()) || !file.CloseChecked()) {
    const CString reason = SystemReason();
    file.Close();
    platform::DeleteFile(path);
    return FileResult::Failure(L"cannot write picture file " + CString(path) + L": " + reason);
  }
  out = CPictureTag(path, mimeType, picture.type, picture.description, true);
  out.TakeOwnership();
  log::Write(log::Level::kDebug, L"Extracted picture file " + path);
  return FileResult::Success();
}

bool PictureFiles::LoadBytes(EmbeddedPicture& picture) {
  if (picture.data.isEmpty()) {
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
    embedded.path = picture.GetFilePath();
    embedded.mimeType = picture.GetMimeType();
    embedded.type = picture.GetType();
    embedded.description = picture.GetDescription();
    if (read) {
      for (std::size_t k = 0; k < read->pictures.size(); ++k) {
        if (read->pictures[k].path != embedded.path) continue;
        embedded.fileIndex = static_cast<int>(k);
        embedded.size = read->pictures[k].size;
        embedded.hash = read->pictures[k].hash;
        break;
      }
    }
    if (embedded.fileIndex < 0) {
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
