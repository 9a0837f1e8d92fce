#include "PlanFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

#include "Base64.h"
#include "Json.h"
#include "TagFields.h"
#include "Text.h"
#include "meridex/FileName.h"

namespace nimbrel_tag {

namespace {

using MField = Meridex::CTags::Field;

struct TextField {
  const char* name;
  MField field;
};
constexpr TextField kTextFields[] = {
    {"title", MField::kTitle},         {"album", MField::kAlbum},
    {"genre", MField::kGenre},         {"year", MField::kYear},
    {"track", MField::kTrackNumber},   {"comment", MField::kComment},
    {"original-artist", MField::kOriginalArtist}, {"copyright", MField::kCopyright},
    {"encoded-by", MField::kEncodedBy}, {"lyrics", MField::kLyrics},
    {"url", MField::kUrl},             {"disc", MField::kDiscNumber},
    {"album-artist", MField::kAlbumArtist}, {"original-date", MField::kOriginalDate},
    {"recording-id", MField::kRecordingId}, {"release-id", MField::kReleaseId},
    {"release-group-id", MField::kReleaseGroupId}};

std::vector<std::string> Texts(const std::vector<CString>& values) {
  std::vector<std::string> out;
  for (const CString& value : values) out.push_back(Utf8(value.str()));
  return out;
}

std::vector<std::string> People(const Meridex::CTags& tags, bool composers) {
  std::vector<std::string> out;
  const int count = composers ? tags.GetComposerCount() : tags.GetArtistCount();
  for (int i = 0; i < count; ++i) {
    CString value;
    if (composers ? tags.GetComposer(i, value) : tags.GetArtist(i, value)) out.push_back(Utf8(value.str()));
  }
  return out;
}

bool SamePicture(const Meridex::CPictureTag& a, const Meridex::CPictureTag& b) {
  return a.GetType() == b.GetType() && a.GetMimeType() == b.GetMimeType() &&
         a.GetDescription() == b.GetDescription() && a.HasSameContent(b);
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string JsonList(const std::vector<std::string>& items) {
  std::string out = "[";
  for (const std::string& item : items) out += (out.size() > 1 ? "," : "") + plugin_json::Quoted(item);
  return out + "]";
}

CString Wide(const std::string& utf8) { return CString(plugin_text::Widen(utf8)); }

}  // namespace

PlanFile::~PlanFile() {
  if (file_) std::fclose(file_);
}

bool PlanFile::Open(const std::string& path, std::string& error) {
  path_ = path;
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0 || !(file_ = ::fdopen(fd, "w"))) {
    if (fd >= 0) ::close(fd);
    error = "cannot write the plan " + path + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

bool PlanFile::Close(std::string& error) {
  if (!file_) return true;
  failed_ |= std::fflush(file_) != 0 || ::fsync(::fileno(file_)) != 0;
  failed_ |= std::fclose(file_) != 0;
  file_ = nullptr;
  if (failed_) error = "the plan " + path_ + " could not be written completely (disk full?)";
  return !failed_;
}

void PlanFile::Reading(const std::string& path) {
  FileIdentity identity;
  std::string error;
  // A file that cannot be read fails its reading too, and is left out.
  if (FileIdentity::Of(path, identity, error)) identities_[path] = identity;
}

PlannedFile PlanFile::Difference(const std::string& path, const FileIdentity& identity, const Meridex::CTags& input,
                                 const Meridex::CTags& output) {
  PlannedFile plan;
  plan.path = path;
  plan.identity = identity;
  for (const bool composers : {false, true}) {
    std::vector<std::string> before = People(input, composers), after = People(output, composers);
    if (before != after) plan.values[composers ? "composer" : "artist"] = after;
  }
  for (const TextField& text : kTextFields) {
    std::vector<std::string> before = Texts(input.GetValues(text.field)), after = Texts(output.GetValues(text.field));
    if (before != after) plan.values[text.name] = after;
  }
  bool same = input.GetPictureCount() == output.GetPictureCount();
  for (int i = 0; same && i < output.GetPictureCount(); ++i) {
    Meridex::CPictureTag a, b;
    same = input.GetPicture(i, a) && output.GetPicture(i, b) && SamePicture(a, b);
  }
  plan.picturesChange = !same;
  if (!same) {
    std::vector<bool> used(static_cast<std::size_t>(input.GetPictureCount()), false);
    for (int i = 0; i < output.GetPictureCount(); ++i) {
      Meridex::CPictureTag picture;
      if (!output.GetPicture(i, picture) || picture.IsEmpty()) continue;
      PlannedPicture planned;
      for (int k = 0; k < input.GetPictureCount() && planned.keep < 0; ++k) {
        Meridex::CPictureTag old;
        if (!used[static_cast<std::size_t>(k)] && input.GetPicture(k, old) && SamePicture(old, picture))
          planned.keep = k, used[static_cast<std::size_t>(k)] = true;
      }
      if (planned.keep < 0) {
        planned.mimeType = Utf8(picture.GetMimeType().str());
        planned.description = Utf8(picture.GetDescription().str());
        planned.type = picture.GetType();
        planned.data = ReadAll(plugin_text::Narrow(picture.GetFilePath().str()));
      }
      plan.pictures.push_back(std::move(planned));
    }
  }
  return plan;
}

std::string PlanFile::Line(const PlannedFile& file, const FileReport* report) {
  const FileIdentity& id = file.identity;
  std::string line = "{\"path\":" + plugin_json::Quoted(file.path) + ",\"path_bytes\":\"" + Base64(file.path) +
                     "\",\"identity\":{\"device\":" + std::to_string(id.device) +
                     ",\"inode\":" + std::to_string(id.inode) + ",\"size\":" + std::to_string(id.size) +
                     ",\"mtime_ns\":" + std::to_string(id.modifiedNs) + ",\"sha256\":\"" + id.sha256 +
                     "\"},\"set\":{";
  bool first = true;
  for (const auto& [name, values] : file.values) {
    line += (first ? "" : ",") + plugin_json::Quoted(name) + ":" + JsonList(values);
    first = false;
  }
  line += "}";
  if (file.picturesChange) {
    line += ",\"pictures\":[";
    for (std::size_t i = 0; i < file.pictures.size(); ++i) {
      const PlannedPicture& p = file.pictures[i];
      line += i ? "," : "";
      if (p.keep >= 0) {
        line += "{\"keep\":" + std::to_string(p.keep) + "}";
      } else {
        line += "{\"mime\":" + plugin_json::Quoted(p.mimeType) + ",\"type\":" + std::to_string(p.type) +
                ",\"description\":" + plugin_json::Quoted(p.description) + ",\"data\":\"" + Base64(p.data) + "\"}";
      }
    }
    line += "]";
  }
  if (report) {
    line += ",\"changes\":[";
    for (std::size_t i = 0; i < report->changes.size(); ++i) {
      const FieldChange& change = report->changes[i];
      line += std::string(i ? "," : "") + "{\"field\":\"" + FieldName(change.field) +
              "\",\"old\":" + plugin_json::Quoted(change.beforeText) +
              ",\"new\":" + plugin_json::Quoted(change.afterText) + ",\"sources\":" + JsonList(change.sources) + "}";
    }
    line += "]";
  }
  return line + "}\n";
}

bool PlanFile::Parse(const std::string& line, PlannedFile& file, std::string& error) {
  plugin_json::Value object;
  if (const plugin_json::ParseResult parsed = plugin_json::Parse(line, object, 8); !parsed.ok)
    return error = "not JSON: " + parsed.error, false;
  const plugin_json::Value* identity = object.Find("identity");
  const plugin_json::Value* set = object.Find("set");
  if (!object.IsObject() || !FromBase64(object.TextOf("path_bytes"), file.path) || file.path.empty() || !identity ||
      !set || !set->IsObject())
    return error = "\"path_bytes\", \"identity\" and \"set\" expected", false;
  const auto device = identity->IntegerOf("device"), inode = identity->IntegerOf("inode"),
             size = identity->IntegerOf("size"), modified = identity->IntegerOf("mtime_ns");
  file.identity.sha256 = identity->TextOf("sha256");
  if (!device || !inode || !size || !modified || file.identity.sha256.size() != 64)
    return error = "incomplete \"identity\"", false;
  file.identity.device = static_cast<std::uint64_t>(*device);
  file.identity.inode = static_cast<std::uint64_t>(*inode);
  file.identity.size = *size;
  file.identity.modifiedNs = *modified;
  for (const auto& [name, values] : set->Members()) {
    bool known = name == "artist" || name == "composer";
    for (const TextField& text : kTextFields) known |= name == text.name;
    if (!known || !values.IsArray()) return error = "unknown field \"" + name + "\"", false;
    std::vector<std::string>& list = file.values[name];
    for (const plugin_json::Value& value : values.Items()) {
      if (!value.IsString()) return error = "the values of \"" + name + "\" must be texts", false;
      list.push_back(value.Text());
    }
  }
  if (const plugin_json::Value* pictures = object.Find("pictures")) {
    if (!pictures->IsArray()) return error = "\"pictures\" must be a list", false;
    file.picturesChange = true;
    for (const plugin_json::Value& item : pictures->Items()) {
      PlannedPicture picture;
      if (const auto keep = item.IntegerOf("keep")) {
        if (*keep < 0 || *keep > 10000) return error = "a kept picture's index is out of range", false;
        picture.keep = static_cast<int>(*keep);
      } else {
        const auto type = item.IntegerOf("type");
        if (!type || *type < 0 || *type > 255 || !FromBase64(item.TextOf("data"), picture.data) ||
            picture.data.empty())
          return error = "a picture needs \"type\" and \"data\"", false;
        picture.type = static_cast<int>(*type);
        picture.mimeType = item.TextOf("mime");
        picture.description = item.TextOf("description");
      }
      file.pictures.push_back(std::move(picture));
    }
  }
  return true;
}

bool PlanFile::ApplyTo(const PlannedFile& file, Meridex::CTags& tags, std::string& error) {
  for (const auto& [name, values] : file.values) {
    if (name == "artist" || name == "composer") {
      if (name == "artist") tags.RemoveAllArtists(); else tags.RemoveAllComposers();
      for (const std::string& value : values)
        (name == "artist") ? tags.AddArtist(Wide(value), false) : tags.AddComposer(Wide(value), false);
      continue;
    }
    for (const TextField& text : kTextFields) {
      if (name != text.name) continue;
      std::vector<CString> wide;
      for (const std::string& value : values) wide.push_back(Wide(value));
      tags.SetValues(text.field, wide);
    }
  }
  if (!file.picturesChange) return true;
  std::vector<Meridex::CPictureTag> pictures;
  for (const PlannedPicture& planned : file.pictures) {
    Meridex::CPictureTag picture;
    if (planned.keep >= 0) {
      if (!tags.GetPicture(planned.keep, picture)) return error = "the file lacks a picture the plan keeps", false;
    } else {
      // Handed to Meridex with the delete flag: the file goes with the picture.
      const char* folder = std::getenv("TMPDIR");
      std::string name = std::string(folder && *folder == '/' ? folder : "/tmp") + "/nimbrel-tag-picture-XXXXXX";
      const int fd = ::mkstemp(name.data());
      if (fd < 0) return error = std::string("cannot write a picture to a temporary file: ") + std::strerror(errno), false;
      bool ok = true;
      for (std::size_t done = 0; ok && done < planned.data.size();) {
        const ssize_t n = ::write(fd, planned.data.data() + done, planned.data.size() - done);
        ok = n > 0;
        if (ok) done += static_cast<std::size_t>(n);
      }
      ::close(fd);
      picture = Meridex::CPictureTag(Meridex::FileNameFromNative(name), Wide(planned.mimeType), planned.type,
                                     Wide(planned.description), true);
      if (!ok) return error = "cannot write a picture to a temporary file (disk full?)", false;
    }
    pictures.push_back(picture);
  }
  tags.RemoveAllPictures();
  for (const Meridex::CPictureTag& picture : pictures) tags.AddPicture(picture);
  return true;
}

void PlanFile::Done(const std::vector<TaggedFile>& files) {
  if (!file_) return;
  for (const TaggedFile& file : files) {
    const auto identity = identities_.find(file.report.path);
    if (identity == identities_.end()) continue;
    if (file.report.outcome != Outcome::kTagged) {
      identities_.erase(identity);
      continue;
    }
    // The plan may be applied from another folder: its names are absolute.
    std::string path = file.report.path;
    if (path[0] != '/') {
      char folder[4096];
      if (::getcwd(folder, sizeof folder)) path = std::string(folder) + "/" + path;
    }
    const std::string line = Line(Difference(path, identity->second, file.input, file.output), &file.report);
    failed_ |= std::fputs(line.c_str(), file_) < 0;
    ++count_;
    identities_.erase(identity);
  }
  failed_ |= std::fflush(file_) != 0;
}

}  // namespace nimbrel_tag
