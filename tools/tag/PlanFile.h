// A saved plan: what a dry run would have written, to be written later
// exactly so (`nimbrel-tag apply FILE`).
#pragma once

#include <cstdio>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

#include "FileIdentity.h"
#include "TaggedFile.h"

namespace nimbrel_tag {

// A picture the planned tags hold: one the file already has (by its place
// among the file's pictures), or new bytes.
struct PlannedPicture {
  int keep = -1;  // the file's picture at this index, else the fields below
  std::string mimeType;
  std::string description;
  int type = 0;
  std::string data;
};

// One file of a plan: which file, as it was, and every field that changes,
// with all its new values (an empty list removes the field).
struct PlannedFile {
  std::string path;  // exact bytes
  FileIdentity identity;
  std::map<std::string, std::vector<std::string>> values;  // field name -> new values (UTF-8)
  bool picturesChange = false;
  std::vector<PlannedPicture> pictures;  // every picture after the change, in order
};

// Writes one JSON line per file that the run would tag: "path" (text),
// "path_bytes" (Base64 of the exact name), "identity" {"device", "inode",
// "size", "mtime_ns", "sha256"}, "set" {field: [values]}, "pictures" (when
// they change: [{"keep": index} or {"mime", "type", "description",
// "data" (Base64)}]) and "changes" (old -> new as the run showed them, for
// people). Each file's identity is taken before it is read, so that a plan
// never holds values worked out from another state of the file.
class PlanFile : public GroupHook {
 public:
  PlanFile() = default;
  ~PlanFile() override;
  PlanFile(const PlanFile&) = delete;
  PlanFile& operator=(const PlanFile&) = delete;

  bool Open(const std::string& path, std::string& error);
  // False with `error` when a line could not be written.
  bool Close(std::string& error);

  void Reading(const std::string& path) override;
  void Done(const std::vector<TaggedFile>& files) override;

  // What would change from `input` to `output`.
  static PlannedFile Difference(const std::string& path, const FileIdentity& identity, const Meridex::CTags& input,
                                const Meridex::CTags& output);
  static std::string Line(const PlannedFile& file, const FileReport* report);
  static bool Parse(const std::string& line, PlannedFile& file, std::string& error);
  // Puts the planned values into `tags`, read from the planned file. False
  // with `error` when a picture cannot be made.
  static bool ApplyTo(const PlannedFile& file, Meridex::CTags& tags, std::string& error);

  std::size_t Count() const { return count_; }

 private:
  std::FILE* file_ = nullptr;
  std::string path_;
  bool failed_ = false;
  std::size_t count_ = 0;
  std::unordered_map<std::string, FileIdentity> identities_;
};

}  // namespace nimbrel_tag
