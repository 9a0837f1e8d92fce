#include "HtmlReport.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <tuple>

#include "Base64.h"
#include "Text.h"

namespace nimbrel_tag {

namespace {

constexpr const char* kHead =
    "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n"
    // Nothing may be fetched: pictures are inline, there is no script.
    "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; img-src data:; style-src 'unsafe-inline'\">\n"
    "<title>nimbrel-tag report</title>\n<style>\n"
    "body{font-family:sans-serif;margin:1em;color:#222;background:#fff}\n"
    "section{border-top:2px solid #888;margin-top:1.5em}\n"
    ".covers{display:flex;gap:1em}\n"
    "figure{margin:0}\n"
    "img.cover{width:160px;height:160px;object-fit:contain;image-rendering:pixelated;border:1px solid #888}\n"
    "table{border-collapse:collapse;margin:.5em 0}\n"
    "td,th{border:1px solid #bbb;padding:2px 6px;text-align:left;vertical-align:top}\n"
    "td.old{background:#f7c5c5}\n"
    "td.new{background:#c8f7c5}\n"
    "tr.chosen td{font-weight:bold}\n"
    ".why{color:#a00}\n"
    "</style></head><body>\n";

std::string Folder(const std::string& path) { return path.substr(0, path.rfind('/') + 1); }

std::string Joined(const std::vector<std::string>& items) {
  std::string out;
  for (const std::string& item : items) out += (out.empty() ? "" : ", ") + item;
  return out;
}

std::string ValueOf(const CandidateInfo& candidate, const char* field) {
  for (const auto& [name, value] : candidate.values)
    if (name == field) return value;
  return std::string();
}

std::string FrontCover(const Meridex::CTags& tags) {
  Meridex::CPictureTag picture;
  return tags.GetPicture(tags.GetFrontCoverIndex(), picture) ? HtmlReport::DataAddress(picture) : std::string();
}

}  // namespace

HtmlReport::~HtmlReport() {
  if (file_) std::fclose(file_);
}

std::string HtmlReport::Escaped(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out += c; break;
    }
  }
  return out;
}

std::string HtmlReport::DataAddress(const Meridex::CPictureTag& picture) {
  static const char* const kTypes[] = {"image/png", "image/jpeg", "image/gif", "image/webp", "image/bmp"};
  std::string type = Utf8(picture.GetMimeType().str());
  std::transform(type.begin(), type.end(), type.begin(), [](unsigned char c) { return std::tolower(c); });
  if (type == "image/jpg") type = "image/jpeg";
  if (picture.IsEmpty() || std::find(std::begin(kTypes), std::end(kTypes), type) == std::end(kTypes))
    return std::string();
  std::ifstream in(plugin_text::Narrow(picture.GetFilePath().str()), std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return bytes.empty() ? std::string() : "data:" + type + ";base64," + Base64(bytes);
}

bool HtmlReport::Open(const std::string& path, bool dryRun, std::string& error) {
  path_ = path;
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0 || !(file_ = ::fdopen(fd, "w"))) {
    if (fd >= 0) ::close(fd);
    error = "cannot write the report " + path + ": " + std::strerror(errno);
    return false;
  }
  std::fputs(kHead, file_);
  std::fprintf(file_, "<h1>nimbrel-tag: %s</h1>\n",
               dryRun ? "what would change (dry run, nothing written)" : "what changed");
  return true;
}

bool HtmlReport::Close(std::string& error) {
  if (!file_) return true;
  std::fputs("</body></html>\n", file_);
  failed_ |= std::fclose(file_) != 0;
  file_ = nullptr;
  if (failed_) error = "the report " + path_ + " could not be written completely (disk full?)";
  return !failed_;
}

void HtmlReport::Done(const std::vector<TaggedFile>& files) {
  if (!file_) return;
  std::vector<const TaggedFile*> album;
  for (const TaggedFile& file : files) {
    if (file.report.path.empty() || file.report.outcome == Outcome::kSkipped) continue;
    if (!album.empty() && Folder(album.back()->report.path) != Folder(file.report.path)) {
      Album(album);
      album.clear();
    }
    album.push_back(&file);
  }
  if (!album.empty()) Album(album);
  failed_ |= std::fflush(file_) != 0;
}

void HtmlReport::Album(const std::vector<const TaggedFile*>& files) {
  std::string html = "<section>\n";
  // The album as it will be: the first file's new album, else its folder.
  std::string name, artist, before, after;
  for (const TaggedFile* file : files) {
    if (name.empty()) name = Utf8(FieldValue(file->output, Field::kAlbum));
    if (artist.empty()) artist = Utf8(FieldValue(file->output, Field::kArtist));
    if (before.empty()) before = FrontCover(file->input);
    if (after.empty() && !SamePictures(file->input, file->output)) after = FrontCover(file->output);
  }
  html += "<h2>" + Escaped(name.empty() ? "(no album)" : name) + (artist.empty() ? "" : " &mdash; " + Escaped(artist)) +
          "</h2>\n<p>" + Escaped(Folder(files.front()->report.path)) + "</p>\n";
  if (!before.empty() || !after.empty()) {
    html += "<div class=\"covers\">";
    if (!before.empty())
      html += "<figure><img class=\"cover\" alt=\"cover now\" src=\"" + before + "\"><figcaption>now</figcaption></figure>";
    if (!after.empty())
      html += "<figure><img class=\"cover\" alt=\"new cover\" src=\"" + after + "\"><figcaption>new</figcaption></figure>";
    html += "</div>\n";
  }

  html += "<table><tr><th>File</th><th>Field</th><th>Old</th><th>New</th><th>From</th></tr>\n";
  std::vector<std::string> notTagged;
  // Candidates of the whole album: (source, album, year) with the files they match.
  struct Group {
    int tracks = 0, scoreSum = 0;
    std::vector<std::string> reasons;
    bool chosen = false;
  };
  std::map<std::tuple<std::string, std::string, std::string>, Group> candidates;
  for (const TaggedFile* file : files) {
    const FileReport& report = file->report;
    const std::string shortName = report.path.substr(report.path.rfind('/') + 1);
    for (const FieldChange& change : report.changes) {
      html += "<tr><td>" + Escaped(shortName) + "</td><td>" + FieldName(change.field) + "</td><td class=\"old\">" +
              Escaped(change.before) + "</td><td class=\"new\">" + Escaped(change.after) + "</td><td>" +
              Escaped(Joined(change.sources)) + "</td></tr>\n";
    }
    if (report.outcome != Outcome::kTagged && report.outcome != Outcome::kUnchanged)
      notTagged.push_back(Escaped(shortName) + ": " + OutcomeName(report.outcome) +
                          (report.message.empty() ? "" : " (" + Escaped(report.message) + ")"));
    const std::string newAlbum = Utf8(FieldValue(file->output, Field::kAlbum));
    for (const CandidateInfo& candidate : report.candidates) {
      if (candidate.lyrics) continue;
      Group& group = candidates[{candidate.source, ValueOf(candidate, "album"), ValueOf(candidate, "year")}];
      ++group.tracks;
      group.scoreSum += candidate.score;
      for (const std::string& reason : candidate.reasons)
        if (std::find(group.reasons.begin(), group.reasons.end(), reason) == group.reasons.end())
          group.reasons.push_back(reason);
      group.chosen |= report.outcome == Outcome::kTagged && !newAlbum.empty() && ValueOf(candidate, "album") == newAlbum;
    }
  }
  html += "</table>\n";
  if (!notTagged.empty()) {
    html += "<p class=\"why\">Not tagged:</p><ul>";
    for (const std::string& line : notTagged) html += "<li>" + line + "</li>";
    html += "</ul>\n";
  }
  if (!candidates.empty()) {
    html += "<h3>Candidates</h3>\n<table><tr><th></th><th>Source</th><th>Album</th><th>Year</th>"
            "<th>Tracks matched</th><th>Score</th><th>Why not 100 %</th></tr>\n";
    for (const auto& [key, group] : candidates) {
      const auto& [source, album, year] = key;
      html += std::string(group.chosen ? "<tr class=\"chosen\"><td>chosen</td>" : "<tr><td></td>") + "<td>" +
              Escaped(source) + "</td><td>" + Escaped(album) + "</td><td>" + Escaped(year) + "</td><td>" +
              std::to_string(group.tracks) + " of " + std::to_string(files.size()) + "</td><td>" +
              std::to_string(group.scoreSum / std::max(group.tracks, 1)) + " %</td><td>" +
              Escaped(Joined(group.reasons)) + "</td></tr>\n";
    }
    html += "</table>\n";
  }
  html += "</section>\n";
  failed_ |= std::fputs(html.c_str(), file_) < 0;
}

}  // namespace nimbrel_tag
