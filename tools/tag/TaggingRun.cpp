#include "TaggingRun.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <set>

#include "CandidateScore.h"
#include "LyricsText.h"
#include "meridex/FileName.h"
#include "meridex/SaveBatch.h"
#include "meridex/SaveCheck.h"

namespace nimbrel_tag {

namespace {

using Clock = std::chrono::steady_clock;

double Since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

std::string Folder(const std::string& path) { return path.substr(0, path.rfind('/') + 1); }

std::string Message(const CString& text) { return Utf8(text.str()); }

bool IsLyricsOnly(const Meridex::CTags& tags) {
  CString text;
  return !tags.GetTitle(text) && tags.GetArtistCount() == 0 && tags.GetLyrics(text);
}

// True when a candidate holds no album, year or track number other than the file's.
bool AnyAgrees(const Meridex::CTags& file, const std::vector<const Meridex::CTags*>& candidates) {
  return std::any_of(candidates.begin(), candidates.end(),
                     [&](const Meridex::CTags* candidate) { return Disagreements(file, *candidate).empty(); });
}

std::string Joined(const std::vector<std::string>& fields) {
  std::string out;
  for (std::size_t i = 0; i < fields.size(); ++i)
    out += (i == 0 ? "" : i + 1 == fields.size() ? " and " : ", ") + (fields[i] == "track" ? "track number" : fields[i]);
  return out;
}

}  // namespace

TaggingRun::TaggingRun(INimbrel& nimbrel, const TagOptions& options, Reporter& reporter, SignalWatch& signals,
                       RunJournal* journal, UntaggedLog* untagged)
    : nimbrel_(nimbrel),
      options_(options),
      reporter_(reporter),
      signals_(signals),
      journal_(journal),
      untagged_(untagged) {}

std::vector<std::pair<std::size_t, std::size_t>> TaggingRun::Groups(const std::vector<std::string>& files,
                                                                     std::size_t size) {
  std::vector<std::pair<std::size_t, std::size_t>> groups;
  size = std::max<std::size_t>(size, 1);
  std::size_t begin = 0;
  for (std::size_t i = 1; i <= files.size(); ++i) {
    const std::size_t count = i - begin;
    const bool end = i == files.size() || count >= 2 * size ||
                     (count >= size && Folder(files[i]) != Folder(files[i - 1]));
    if (end && count > 0) {
      groups.emplace_back(begin, i);
      begin = i;
    }
  }
  return groups;
}

void TaggingRun::Read(Entry& entry) {
  const std::string& path = entry.report.path;
  const CString name = Meridex::FileNameFromNative(path);
  Meridex::CTags tags;
  const Meridex::FileResult read = tags.ReadFile(name);
  if (!read) {
    entry.report.outcome = Outcome::kError;
    entry.report.message = Message(read.message);
    if (::access(path.c_str(), F_OK) != 0) entry.report.message += " (moved or deleted while the run went on?)";
    return;
  }
  // Found out before searching, not after: the search would be wasted. A
  // dry run makes the same checks and says the write would fail. A file
  // without any write permission is read-only also for root, who could
  // write it anyway.
  struct stat info {};
  std::string unwritable;
  if (::access(path.c_str(), W_OK) != 0 || (::stat(path.c_str(), &info) == 0 && (info.st_mode & 0222) == 0)) {
    unwritable = "cannot write " + path + ": read-only file (chmod u+w?)";
  } else if (const Meridex::FileResult checked = Meridex::CheckSave(name); !checked) {
    unwritable = Message(checked.message);
  }
  if (!unwritable.empty()) {
    entry.report.outcome = Outcome::kError;
    entry.report.message = (options_.dryRun ? "would fail: " : "") + unwritable;
    return;
  }
  CString artist, title;
  if (!tags.GetFirstValidArtist(artist) || !tags.GetTitle(title) || title.Trim().IsEmpty()) {
    entry.report.outcome = Outcome::kNoKeys;
    entry.report.message = "no artist or title in the file to search by (add them, then run again)";
    return;
  }
  entry.id = nimbrel_.AddSong(tags, false);
  if (entry.id == 0) {
    entry.report.outcome = Outcome::kError;
    entry.report.message = "the tagging library did not accept " + path + " (see its log)";
    return;
  }
  entry.input = std::move(tags);
}

bool TaggingRun::Wait(std::vector<Entry>& entries) {
  std::vector<unsigned> ids, finished;
  for (const Entry& entry : entries)
    if (entry.id) ids.push_back(entry.id);
  bool idleOnce = false;
  while (signals_.Count() == 0) {
    const unsigned done = nimbrel_.GetFinishedSongs(ids, finished);
    // A group is over when its run has ended: only then are its albums made to agree.
    if (nimbrel_.GetPendingJobCount() == 0) {
      if (done == ids.size()) return true;
      // No job is left, yet a song is not finished: it never will be.
      if (idleOnce) {
        const std::set<unsigned> ready(finished.begin(), finished.end());
        for (Entry& entry : entries) {
          if (!entry.id || ready.count(entry.id)) continue;
          nimbrel_.RemoveSong(entry.id);
          entry.id = 0;
          entry.report.outcome = Outcome::kError;
          entry.report.message = "the tagging library gave no result for " + entry.report.path;
        }
        return true;
      }
      idleOnce = true;
    }
    reporter_.Progress();
    signals_.Wait(5);
  }

  // Interrupted: what is finished now is kept, the rest is abandoned.
  nimbrel_.GetFinishedSongs(ids, finished);
  nimbrel_.StopTagging();
  reporter_.Note("interrupted: writing the " + std::to_string(finished.size()) +
                 " files finished so far (press Ctrl-C again to write nothing more)");
  const int seen = signals_.Count();
  while (nimbrel_.GetPendingJobCount() > 0 && signals_.Count() == seen) signals_.Wait(5);
  if (signals_.Count() > seen) {
    finished.clear();
    // A third press ends the process at once; the files are whole either way.
    signals_.Release();
  }
  const std::set<unsigned> keep(finished.begin(), finished.end());
  for (Entry& entry : entries) {
    if (!entry.id || keep.count(entry.id)) continue;
    nimbrel_.RemoveSong(entry.id);
    entry.id = 0;
    entry.report.outcome = Outcome::kSkipped;  // not done: not reported, not recorded
  }
  return false;
}

void TaggingRun::ListCandidates(Entry& entry) {
  FileReport& report = entry.report;
  report.candidates.clear();
  report.bestScore = -1;
  report.basicCandidates = 0;
  for (const Meridex::CTags& result : entry.results) {
    CString source;
    result.GetSource(source);
    CandidateInfo info;
    info.source = Utf8(source.str());
    info.lyrics = IsLyricsOnly(result);
    if (!info.lyrics) {
      const CandidateScore score = ScoreCandidate(entry.input, result);
      info.score = score.score;
      info.reasons = score.reasons;
      report.bestScore = std::max(report.bestScore, score.score);
      ++report.basicCandidates;
    }
    for (Field field : kAllFields) {
      const std::wstring value = FieldValue(result, field);
      if (!value.empty()) info.values.emplace_back(FieldName(field), field == Field::kCover ? ShownValue(result, field, value) : Utf8(value));
    }
    report.candidates.push_back(std::move(info));
  }
}

void TaggingRun::Collect(Entry& entry) {
  FileReport& report = entry.report;
  std::vector<Meridex::CTags>& results = entry.results;
  nimbrel_.GetSongResults(entry.id, results, false);
  if (!nimbrel_.GetSongTags(entry.id, entry.output, true)) {
    report.outcome = Outcome::kError;
    report.message = "the tagging library lost the result for " + report.path;
    entry.id = 0;
    return;
  }
  ListCandidates(entry);

  // Found lyrics go into the file without their source's signature line and
  // with the line ends the file's lyrics have.
  CString found, existing;
  if (entry.output.GetLyrics(found) && (!entry.input.GetLyrics(existing) || found != existing)) {
    std::vector<std::wstring> sources;
    for (const Meridex::CTags& candidate : results) {
      CString source;
      if (IsLyricsOnly(candidate) && candidate.GetSource(source)) sources.push_back(source.str());
    }
    entry.output.SetLyrics(CString(LyricsForFile(found.str(), existing.str(), sources)));
  }
}

void TaggingRun::Describe(Entry& entry) {
  FileReport& report = entry.report;
  std::vector<const Meridex::CTags*> basic, lyrics;
  for (const Meridex::CTags& result : entry.results) (IsLyricsOnly(result) ? lyrics : basic).push_back(&result);
  report.changes.clear();
  for (Field field : kAllFields) {
    const std::wstring before = FieldValue(entry.input, field);
    const std::wstring after = FieldValue(entry.output, field);
    // Letter case counts here: a change of case is written too.
    if (field == Field::kCover ? SamePictures(entry.input, entry.output) : before == after) continue;
    FieldChange change;
    change.field = field;
    change.before = ShownValue(entry.input, field, before);
    change.after = ShownValue(entry.output, field, after);
    change.beforeText = field == Field::kCover ? change.before : Utf8(before);
    change.afterText = field == Field::kCover ? change.after : Utf8(after);
    for (const Meridex::CTags* candidate : field == Field::kLyrics ? lyrics : basic) {
      if (field == Field::kCover) {
        // The front cover, where a found cover goes.
        if (!SameFrontCover(*candidate, entry.output)) continue;
      } else {
        const std::wstring value = FieldValue(*candidate, field);
        if (after.empty() || value.empty() || !SameValue(field, value, after)) continue;
      }
      ++change.agreeing;
      CString source;
      candidate->GetSource(source);
      const std::string name = source.IsEmpty() ? std::string("?") : Utf8(source.str());
      if (std::find(change.sources.begin(), change.sources.end(), name) == change.sources.end())
        change.sources.push_back(name);
    }
    report.changes.push_back(std::move(change));
  }

  if (!entry.heldBack.empty()) {
    report.outcome = Outcome::kLowScore;
    report.message = entry.heldBack;
  } else if (entry.results.empty()) {
    report.outcome = Outcome::kNotFound;
    report.message = "no source knew this song";
  } else if (report.changes.empty() && !basic.empty() && !AnyAgrees(entry.input, basic)) {
    // Nothing written because the policy kept the file's values: not "already complete".
    report.outcome = Outcome::kDisagrees;
    report.message = "the sources found another " + Joined(Disagreements(entry.input, *basic.front())) +
                     " than the file holds; policy " + std::to_string(options_.library.OverwritePolicy) +
                     " kept the file's (-p 2 writes the sources' values)";
  } else if (report.changes.empty()) {
    report.outcome = Outcome::kUnchanged;
  } else if (options_.quiet && !entry.confirmed && !basic.empty() && report.bestScore < options_.minScore) {
    report.outcome = Outcome::kLowScore;
    report.message = "best candidate scored " + std::to_string(report.bestScore) + "%, below " +
                     std::to_string(options_.minScore) + "%";
  } else {
    report.outcome = Outcome::kTagged;
    entry.save = !options_.dryRun;
  }
}

void TaggingRun::Write(std::vector<Entry>& entries) {
  const Clock::time_point start = Clock::now();
  // The group's files are written beside their originals first and made
  // durable together, then renamed over them: one flush for the group
  // instead of two per file, and each file still wholly old or wholly new.
  Meridex::CSaveBatch batch;
  std::vector<Entry*> added;
  std::vector<PendingWrite> pending;  // parallel to `added` with a history
  for (Entry& entry : entries) {
    if (!entry.save) continue;
    if (history_) {
      // Now, while the file still holds the pictures a new cover replaces.
      std::vector<Field> changed;
      for (const FieldChange& change : entry.report.changes) changed.push_back(change.field);
      pending.push_back(WriteHistory::Capture(entry.report.path, entry.input, changed));
    }
    const Meridex::FileResult prepared = batch.Add(entry.output, Meridex::FileNameFromNative(entry.report.path),
                                                   options_.keepModificationTime);
    if (prepared) {
      added.push_back(&entry);
    } else {
      if (history_) pending.pop_back();
      entry.report.outcome = Outcome::kError;
      entry.report.message = Message(prepared.message);
    }
  }
  const std::vector<Meridex::FileResult> results = batch.Commit();
  std::vector<std::pair<PendingWrite, FileStamp>> written;
  for (std::size_t i = 0; i < added.size() && i < results.size(); ++i) {
    if (results[i]) {
      added[i]->report.written = true;
      FileStamp after;
      if (history_ && FileStamp::Of(added[i]->report.path, after)) written.emplace_back(std::move(pending[i]), after);
    } else {
      added[i]->report.outcome = Outcome::kError;
      added[i]->report.message = Message(results[i].message);
    }
  }
  if (history_ && !history_->Record(written))
    reporter_.Note(history_->LastError() + "; these files cannot be undone");
  reporter_.Totals().writeSeconds += Since(start);
}

void TaggingRun::Finish(Entry& entry) {
  reporter_.File(entry.report);
  if (untagged_) untagged_->Add(entry.report);
  if (journal_ && !options_.dryRun && entry.report.outcome != Outcome::kError &&
      entry.report.outcome != Outcome::kSkipped) {
    journal_->Record(entry.report.path);
  }
}

bool TaggingRun::Run(const std::vector<std::string>& files) {
  reporter_.Begin(files.size());
  for (const auto& [begin, end] : Groups(files, static_cast<std::size_t>(options_.batchSize))) {
    std::vector<Entry> entries(end - begin);
    Clock::time_point start = Clock::now();
    for (std::size_t i = begin; i < end && signals_.Count() == 0; ++i) {
      Entry& entry = entries[i - begin];
      entry.report.path = files[i];
      if (journal_ && journal_->Done(files[i])) {
        entry.report.outcome = Outcome::kSkipped;
        reporter_.File(entry.report);
        continue;
      }
      for (GroupHook* hook : hooks_) hook->Reading(files[i]);
      Read(entry);
      signals_.Poll();
    }
    reporter_.Totals().readSeconds += Since(start);

    start = Clock::now();
    bool complete = Wait(entries);
    for (Entry& entry : entries)
      if (entry.id) Collect(entry);
    reporter_.Totals().librarySeconds += Since(start);
    for (GroupHook* hook : hooks_)
      if (complete && !hook->Decide(entries)) complete = false;
    for (Entry& entry : entries)
      if (entry.id) Describe(entry);

    Write(entries);
    for (Entry& entry : entries) {
      // Files not reached (an interruption) and files already reported are left out.
      if (entry.report.path.empty() || (entry.report.outcome == Outcome::kSkipped)) continue;
      Finish(entry);
    }
    for (GroupHook* hook : hooks_) hook->Done(entries);
    if (journal_) journal_->Flush();
    if (untagged_) untagged_->Flush();
    if (!complete) return false;
  }
  return true;
}

}  // namespace nimbrel_tag

namespace nimbrel_tag {

bool TaggingRun::SearchAgain(std::vector<TaggedFile>& files, const std::function<void(Meridex::CTags&)>& edit) {
  std::vector<Entry> again(files.size());
  for (std::size_t i = 0; i < files.size(); ++i) {
    again[i].report.path = files[i].report.path;
    Meridex::CTags query = files[i].input;
    edit(query);
    again[i].id = nimbrel_.AddSong(query, true);
  }
  const bool complete = Wait(again);
  for (std::size_t i = 0; i < files.size(); ++i) {
    if (!again[i].id) continue;
    files[i].results.clear();
    nimbrel_.GetSongResults(again[i].id, files[i].results, true);
    ListCandidates(files[i]);
  }
  return complete;
}

}  // namespace nimbrel_tag
