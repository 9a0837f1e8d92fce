#include "UndoRun.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "EscapedText.h"
#include "meridex/FileName.h"
#include "meridex/SaveBatch.h"

namespace nimbrel_tag {

namespace {

constexpr std::size_t kBatchSize = 1024;

std::string Message(const CString& text) { return Utf8(text.str()); }

}  // namespace

UndoRun::UndoRun(WriteHistory& history, bool dryRun, std::FILE* out, std::FILE* err)
    : history_(history), dryRun_(dryRun), out_(out), err_(err) {}

bool UndoRun::Restore(const std::vector<HistoryFile>& files) {
  // Old pictures are put where Meridex takes them from, for this undo only.
  std::string pictures;
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/nimbrel-undo-XXXXXX";
  if (::mkdtemp(pattern.data())) pictures = pattern + "/";
  std::vector<const HistoryFile*> batch;
  for (const HistoryFile& file : files) {
    batch.push_back(&file);
    if (batch.size() == kBatchSize) Batch(batch, pictures), batch.clear();
  }
  Batch(batch, pictures);
  if (!pictures.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(pictures, ignored);
  }
  std::fprintf(err_, "%zu of %zu files %s, %zu changed since and left as they are, %zu failed.\n", restored_,
               files.size(), dryRun_ ? "would be restored" : "restored", changed_, failed_);
  return restored_ == files.size();
}

void UndoRun::Batch(const std::vector<const HistoryFile*>& files, const std::string& pictureFolder) {
  Meridex::CSaveBatch batch;
  std::vector<const HistoryFile*> added;
  for (const HistoryFile* file : files) {
    FileStamp now;
    const std::string shown = Escaped(file->path);
    if (!FileStamp::Of(file->path, now)) {
      ++changed_;
      std::fprintf(err_, "nimbrel-tag: %s: no longer there (moved or deleted since run %lld); left alone\n",
                   shown.c_str(), static_cast<long long>(file->run));
      continue;
    }
    if (!(now == file->after)) {
      ++changed_;
      std::fprintf(err_, "nimbrel-tag: %s: changed since run %lld wrote it; left as it is\n", shown.c_str(),
                   static_cast<long long>(file->run));
      continue;
    }
    const CString name = Meridex::FileNameFromNative(file->path);
    Meridex::CTags tags;
    std::string error;
    if (const Meridex::FileResult read = tags.ReadFile(name); !read) {
      error = Message(read.message);
    } else if (pictureFolder.empty() && file->coverChanged) {
      error = "no temporary folder for its old pictures";
    } else if (history_.RestoreInto(tags, *file, pictureFolder, error)) {
      if (dryRun_) {
        ++restored_;
        std::fprintf(out_, "would restore %s\n", shown.c_str());
        continue;
      }
      if (const Meridex::FileResult prepared = batch.Add(tags, name); prepared) {
        added.push_back(file);
        continue;
      } else {
        error = Message(prepared.message);
      }
    }
    ++failed_;
    std::fprintf(err_, "nimbrel-tag: %s: not restored: %s\n", shown.c_str(), Escaped(error).c_str());
  }
  if (added.empty()) return;
  const std::vector<Meridex::FileResult> results = batch.Commit();
  std::vector<std::pair<const HistoryFile*, FileStamp>> done;
  for (std::size_t i = 0; i < added.size() && i < results.size(); ++i) {
    const HistoryFile& file = *added[i];
    if (!results[i]) {
      ++failed_;
      std::fprintf(err_, "nimbrel-tag: %s: not restored: %s\n", Escaped(file.path).c_str(),
                   Escaped(Message(results[i].message)).c_str());
      continue;
    }
    // Its modification time from before the run, too.
    const timespec times[2] = {{0, UTIME_OMIT},
                               {static_cast<time_t>(file.before.modified / 1000000000),
                                static_cast<long>(file.before.modified % 1000000000)}};
    ::utimensat(AT_FDCWD, file.path.c_str(), times, 0);
    FileStamp now;
    FileStamp::Of(file.path, now);
    done.emplace_back(&file, now);
    ++restored_;
    std::fprintf(out_, "restored %s\n", Escaped(file.path).c_str());
  }
  if (!history_.MarkUndone(done))
    std::fprintf(err_, "nimbrel-tag: %s (the files are restored)\n", history_.LastError().c_str());
  std::fflush(out_);
}

}  // namespace nimbrel_tag
