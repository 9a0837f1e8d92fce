// `--report FILE.html`: one page to look over a run in a browser.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "TaggedFile.h"

namespace nimbrel_tag {

// A self-contained page (styles inline, covers as data: addresses, no
// script, nothing fetched): per album (the files of one folder in a group)
// the covers before and after side by side, each file's changes old -> new
// with the source of each new value, the candidates with tracks matched,
// score and reasons (the chosen ones marked), and the files not tagged with
// why. Every text from the files and the sources is HTML-escaped.
class HtmlReport : public GroupHook {
 public:
  HtmlReport() = default;
  ~HtmlReport() override;
  HtmlReport(const HtmlReport&) = delete;
  HtmlReport& operator=(const HtmlReport&) = delete;

  bool Open(const std::string& path, bool dryRun, std::string& error);
  bool Close(std::string& error);

  void Done(const std::vector<TaggedFile>& files) override;

  static std::string Escaped(const std::string& text);
  // "data:image/png;base64,..." for a picture of a known image type; empty otherwise.
  static std::string DataAddress(const Meridex::CPictureTag& picture);

 private:
  void Album(const std::vector<const TaggedFile*>& files);

  std::FILE* file_ = nullptr;
  std::string path_;
  bool failed_ = false;
};

}  // namespace nimbrel_tag
