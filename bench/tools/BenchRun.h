// What the nimbrel-tag benchmarks share: a folder of their own, generated
// album folders, the library started on a plug-in folder of their own, the
// files given their original bytes back between passes, and one quiet run of
// nimbrel-tag over them.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "Reporter.h"
#include "SignalWatch.h"
#include "TaggingRun.h"
#include "Text.h"
#include "meridex/Tags.h"
#include "nimbrel/Nimbrel.h"
#include "support/AudioSamples.h"

namespace bench_run {

// A new folder `name`-XXXXXX under $TMPDIR when it is set (outside /tmp when
// it names a disk: writing and flushing is what is measured), else under
// /tmp; the path ends with "/".
inline std::string NewFolder(const std::string& name) {
  const char* tmp = std::getenv("TMPDIR");
  std::string base = std::string(tmp && *tmp ? tmp : "/tmp") + "/" + name + "-XXXXXX";
  if (!::mkdtemp(base.data())) std::abort();
  return base + "/";
}

// A file's whole content.
inline std::string FileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A title of its own for each song of up to 676 albums ("Tune Aba"): titles
// that differ in letters, which the matching never takes for one another.
inline std::string Title(int album, int song) {
  return "Tune " + std::string(1, static_cast<char>('A' + album / 26)) + static_cast<char>('a' + album % 26) +
         static_cast<char>('a' + song);
}

// Album `album` in `root`music/Album N/: `songs` files, MP3 and FLAC in turn,
// tagged with `artist` and the titles only; each path is added to `files`
// and its bytes to `originals`.
inline void MakeAlbum(const std::string& root, int album, int songs, const std::string& artist,
                      std::vector<std::string>& files, std::map<std::string, std::string>& originals) {
  const std::string folder = root + "music/Album " + std::to_string(album) + "/";
  std::filesystem::create_directories(folder);
  for (int j = 0; j < songs; ++j) {
    const bool flac = j % 2 == 1;
    const std::string path = folder + std::to_string(j) + (flac ? ".flac" : ".mp3");
    std::ofstream(path, std::ios::binary) << (flac ? testing_support::MakeFlac() : testing_support::MakeMp3());
    Meridex::CTags tags;
    tags.AddArtist(CString(plugin_text::Widen(artist)), false);
    tags.SetTitle(CString(plugin_text::Widen(Title(album, j))));
    if (!tags.SaveFile(CString(plugin_text::Widen(path)))) std::abort();
    originals[path] = FileBytes(path);
    files.push_back(path);
  }
}

// Starts the library with its plug-ins in `root`/plugins/ and its log in
// `root`/log/, without a tag-cache server; the new tagging object.
inline INimbrel* StartLibrary(const std::string& root) {
  NimbrelSettings settings;
  settings.WorkingDirectory = CString(plugin_text::Widen(root + "plugins/"));
  settings.LogFolder = CString(plugin_text::Widen(root + "log/"));
  settings.TraceLevel = L"Warning";
  settings.TagCacheHost = L"";
  InitialiseNimbrel(settings);
  return NewNimbrelInstance();
}

// Writes each file's original bytes back (path -> bytes).
inline void Restore(const std::map<std::string, std::string>& originals) {
  for (const auto& [path, bytes] : originals) std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// A benchmark's folder (removed with it) with its plug-in folders, the
// music it makes there and the library it starts over it.
struct Collection {
  explicit Collection(const std::string& name) : root(NewFolder(name)) {
    for (const char* kind : {"General", "Lyrics"}) std::filesystem::create_directories(root + "plugins/" + kind);
  }
  ~Collection() { std::filesystem::remove_all(root); }
  Collection(const Collection&) = delete;
  Collection& operator=(const Collection&) = delete;

  void Restore() const { bench_run::Restore(originals); }

  std::string root;
  std::vector<std::string> files;
  std::map<std::string, std::string> originals;  // path -> bytes
  std::unique_ptr<INimbrel> nimbrel;
  nimbrel_tag::SignalWatch signals;
};

// One run of nimbrel-tag over `files`, reporting to /dev/null.
inline nimbrel_tag::RunTotals Run(INimbrel& nimbrel, const nimbrel_tag::TagOptions& options,
                                  nimbrel_tag::SignalWatch& signals, const std::vector<std::string>& files,
                                  nimbrel_tag::WriteHistory* history = nullptr) {
  std::FILE* sink = std::fopen("/dev/null", "w");
  nimbrel_tag::Reporter reporter(nimbrel_tag::ReporterStyle{}, sink, sink);
  nimbrel_tag::TaggingRun run(nimbrel, options, reporter, signals, nullptr, nullptr);
  run.SetHistory(history);
  run.Run(files);
  std::fclose(sink);
  return reporter.Totals();
}

}  // namespace bench_run
