// Finds the music files named on the command line.
#pragma once

#include <string>
#include <vector>

namespace nimbrel_tag {

struct WalkProblem {
  std::string path;
  std::string message;  // for a person: what is wrong and what to do
};

// Walks files and folders in the order given; inside a folder, names are
// sorted so that an album's files stay together and every run sees the same
// order. A file named directly is taken whatever its name; inside folders
// only names with an audio extension are (mp3, flac, m4a, mp4, m4b, ogg, oga,
// opus, wav, aif, aiff, wma, asf). Links are followed, but a folder already walked is
// not walked again, so a link to a parent makes no endless walk. Hidden names
// (a leading ".") are skipped inside folders unless `hidden`.
class FileWalker {
 public:
  explicit FileWalker(bool hidden) : hidden_(hidden) {}

  void Walk(const std::string& path);

  // Files in walk order, each once (by device and inode).
  const std::vector<std::string>& Files() const { return files_; }
  const std::vector<WalkProblem>& Problems() const { return problems_; }

  static bool HasAudioExtension(const std::string& name);

 private:
  void WalkFolder(const std::string& folder, int depth);
  bool FirstVisit(unsigned long long device, unsigned long long inode);

  bool hidden_;
  std::vector<std::string> files_;
  std::vector<WalkProblem> problems_;
  std::vector<std::pair<unsigned long long, unsigned long long>> seen_;  // sorted
};

}  // namespace nimbrel_tag
