#include "InteractiveChooser.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <map>
#include <set>
#include <tuple>

#include "CandidateScore.h"
#include "SpellingFix.h"
#include "Text.h"

namespace nimbrel_tag {

namespace {

std::string Folder(const std::string& path) { return path.substr(0, path.rfind('/') + 1); }

bool IsLyricsOnly(const Meridex::CTags& tags) {
  CString text;
  return !tags.GetTitle(text) && tags.GetArtistCount() == 0;
}

// A value on one line of a terminal: control characters shown as blanks.
std::string Shown(std::string text) {
  for (char& c : text)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
  return text;
}

std::string SourceOf(const Meridex::CTags& tags) {
  CString source;
  tags.GetSource(source);
  return Utf8(source.str());
}

bool Matches(const Meridex::CTags& candidate, const InteractiveChooser::Choice& choice) {
  return SourceOf(candidate) == choice.source && Utf8(FieldValue(candidate, Field::kAlbum)) == choice.album &&
         Utf8(FieldValue(candidate, Field::kYear)) == choice.year;
}

std::string Trimmed(const std::string& text) {
  const auto begin = text.find_first_not_of(" \t\r");
  if (begin == std::string::npos) return std::string();
  return text.substr(begin, text.find_last_not_of(" \t\r") - begin + 1);
}

bool IsMbid(const std::string& text) {
  if (text.size() != 36) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    if (dash ? text[i] != '-' : !std::isxdigit(static_cast<unsigned char>(text[i]))) return false;
  }
  return true;
}

// A MusicBrainz id an answer names: a bare id (kind empty), or the page of a
// release or a recording on musicbrainz.org. Ids are written in lower case.
struct NamedId {
  std::string kind, id;
};

std::optional<NamedId> IdOf(std::string answer) {
  for (char& c : answer) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (IsMbid(answer)) return NamedId{"", answer};
  for (const char* scheme : {"https://", "http://"}) {
    if (answer.rfind(scheme, 0) != 0) continue;
    std::string rest = answer.substr(std::string(scheme).size());
    for (const char* host : {"musicbrainz.org/", "www.musicbrainz.org/", "beta.musicbrainz.org/"}) {
      if (rest.rfind(host, 0) != 0) continue;
      rest = rest.substr(std::string(host).size());
      for (const char* kind : {"release", "recording"}) {
        const std::string prefix = std::string(kind) + "/";
        if (rest.rfind(prefix, 0) != 0) continue;
        const std::string id = rest.substr(prefix.size(), 36);
        const std::string after = rest.substr(std::min(rest.size(), prefix.size() + 36));
        if (IsMbid(id) && (after.empty() || after[0] == '/' || after[0] == '?' || after[0] == '#')) {
          return NamedId{kind, id};
        }
      }
    }
  }
  return std::nullopt;
}

}  // namespace

InteractiveChooser::InteractiveChooser(const TagOptions& options, Search search, Interrupted interrupted, int in,
                                       std::FILE* out)
    : options_(options), search_(std::move(search)), interrupted_(std::move(interrupted)), in_(in), out_(out) {}

std::vector<InteractiveChooser::Choice> InteractiveChooser::Choices(const std::vector<TaggedFile>& album) {
  std::map<std::tuple<std::string, std::string, std::string>, Choice> byKey;
  for (const TaggedFile& file : album) {
    // One vote per file and choice: its best candidate of that album.
    std::map<std::tuple<std::string, std::string, std::string>, CandidateScore> best;
    for (const Meridex::CTags& candidate : file.results) {
      if (IsLyricsOnly(candidate)) continue;
      const auto key = std::make_tuple(SourceOf(candidate), Utf8(FieldValue(candidate, Field::kAlbum)),
                                       Utf8(FieldValue(candidate, Field::kYear)));
      CandidateScore score = ScoreCandidate(file.input, candidate);
      auto found = best.find(key);
      if (found == best.end() || found->second.score < score.score) best[key] = std::move(score);
    }
    for (const auto& [key, score] : best) {
      Choice& choice = byKey[key];
      std::tie(choice.source, choice.album, choice.year) = key;
      ++choice.tracks;
      choice.score += score.score;
      for (const std::string& reason : score.reasons)
        if (std::find(choice.reasons.begin(), choice.reasons.end(), reason) == choice.reasons.end())
          choice.reasons.push_back(reason);
    }
  }
  std::vector<Choice> choices;
  for (auto& [key, choice] : byKey) {
    choice.score /= std::max(choice.tracks, 1);
    choices.push_back(std::move(choice));
  }
  std::stable_sort(choices.begin(), choices.end(), [](const Choice& a, const Choice& b) {
    return a.score != b.score ? a.score > b.score : a.tracks > b.tracks;
  });
  return choices;
}

Meridex::CTags InteractiveChooser::WithCandidate(const Meridex::CTags& input, const Meridex::CTags& candidate,
                                                 int policy, bool fixSpelling) {
  Meridex::CTags tags = input;
  auto take = [&](Field field, void (Meridex::CTags::*set)(const CString&)) {
    const std::wstring value = FieldValue(candidate, field);
    if (value.empty() || (policy == 1 && !FieldValue(input, field).empty())) return;
    (tags.*set)(CString(value));
  };
  take(Field::kAlbum, &Meridex::CTags::SetAlbum);
  take(Field::kYear, &Meridex::CTags::SetYear);
  take(Field::kTrack, &Meridex::CTags::SetTrackNumber);
  take(Field::kGenre, &Meridex::CTags::SetGenre);
  take(Field::kCopyright, &Meridex::CTags::SetCopyright);
  take(Field::kUrl, &Meridex::CTags::SetUrl);
  if (candidate.GetComposerCount() > 0 && (policy != 1 || input.GetComposerCount() == 0)) {
    tags.RemoveAllComposers();
    for (int i = 0; i < candidate.GetComposerCount(); ++i) {
      CString name;
      if (candidate.GetComposer(i, name)) tags.AddComposer(name, false);
    }
  }
  // The candidate's cover takes the place of the file's front cover; the other pictures stay.
  Meridex::CPictureTag cover;
  const int front = input.GetFrontCoverIndex();
  if (candidate.GetPicture(candidate.GetFrontCoverIndex(), cover) && (policy != 1 || front < 0)) {
    std::vector<Meridex::CPictureTag> pictures;
    for (int i = 0; i < input.GetPictureCount(); ++i) {
      Meridex::CPictureTag picture;
      if (input.GetPicture(i, picture)) pictures.push_back(i == front ? cover : picture);
    }
    if (front < 0) pictures.push_back(cover);
    tags.RemoveAllPictures();
    for (const Meridex::CPictureTag& picture : pictures) tags.AddPicture(picture);
  }
  if (fixSpelling) SpellingFix::Apply(tags, candidate);
  return tags;
}

std::optional<std::string> InteractiveChooser::ReadLine() {
  for (;;) {
    if (const auto end = pending_.find('\n'); end != std::string::npos) {
      std::string line = pending_.substr(0, end);
      pending_.erase(0, end + 1);
      return line;
    }
    if (interrupted_()) return std::nullopt;
    // Waits in short steps, so that Ctrl-C (held for the run) is seen.
    pollfd fd{in_, POLLIN, 0};
    const int ready = ::poll(&fd, 1, 100);
    if (ready < 0 && errno != EINTR) return std::nullopt;
    if (ready <= 0) continue;
    char buffer[256];
    const ssize_t n = ::read(in_, buffer, sizeof buffer);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) {
      ended_ = true;
      return std::nullopt;
    }
    pending_.append(buffer, static_cast<std::size_t>(n));
  }
}

bool InteractiveChooser::Ask(std::vector<TaggedFile>& album) {
  const std::string folder = Folder(album.front().report.path);
  for (;;) {
    const std::vector<Choice> choices = Choices(album);
    std::string text = "\n" + Shown(album.size() == 1 ? album.front().report.path : folder) + " (" +
                       std::to_string(album.size()) + (album.size() == 1 ? " file" : " files") + ")\n";
    if (choices.empty()) text += "  no candidates\n";
    for (std::size_t i = 0; i < choices.size(); ++i) {
      const Choice& c = choices[i];
      text += "  " + std::to_string(i + 1) + ". \"" + Shown(c.album.empty() ? "(no album)" : c.album) + "\"" +
              (c.year.empty() ? "" : " (" + Shown(c.year) + ")") + ", " + std::to_string(c.tracks) + " of " +
              std::to_string(album.size()) + " tracks, " + std::to_string(c.score) + "% [" + Shown(c.source) + "]";
      std::string reasons;
      for (const std::string& reason : c.reasons) reasons += (reasons.empty() ? "" : ", ") + reason;
      text += (reasons.empty() ? "" : ": " + reasons) + "\n";
    }
    text += "Choose " + (choices.empty() ? std::string() : "1-" + std::to_string(choices.size()) + ", ") +
            "s to skip, a to apply as found, or type an album" +
            (album.size() == 1 ? ", \"artist - title\"" : std::string()) + " or a MusicBrainz id to search again: ";
    std::fputs(text.c_str(), out_);
    std::fflush(out_);

    const std::optional<std::string> read = ReadLine();
    if (!read) {
      if (!ended_) return false;
      for (TaggedFile& file : album) file.heldBack = "not chosen: the input ended";
      return true;
    }
    const std::string answer = Trimmed(*read);
    if (answer.empty()) continue;
    if (answer == "s" || answer == "S") {
      for (TaggedFile& file : album) file.heldBack = "skipped at the prompt";
      return true;
    }
    if (answer == "a" || answer == "A") {
      for (TaggedFile& file : album) file.confirmed = true;
      return true;
    }
    char* end = nullptr;
    const long number = std::strtol(answer.c_str(), &end, 10);
    if (*end == '\0' && number >= 1 && static_cast<std::size_t>(number) <= choices.size()) {
      const Choice& choice = choices[static_cast<std::size_t>(number - 1)];
      for (TaggedFile& file : album) {
        const Meridex::CTags* best = nullptr;
        int bestScore = -1;
        for (const Meridex::CTags& candidate : file.results) {
          if (IsLyricsOnly(candidate) || !Matches(candidate, choice)) continue;
          const int score = ScoreCandidate(file.input, candidate).score;
          if (score > bestScore) best = &candidate, bestScore = score;
        }
        if (!best) {
          file.heldBack = "the chosen album has no track for this file";
          continue;
        }
        Meridex::CTags chosen = WithCandidate(file.input, *best, options_.library.OverwritePolicy, options_.fixSpelling);
        // Lyrics are searched apart from the album: what was found stays.
        CString lyrics;
        if (file.output.GetLyrics(lyrics)) chosen.SetLyrics(lyrics);
        file.output = std::move(chosen);
        file.confirmed = true;
      }
      return true;
    }
    // A MusicBrainz id searches again by that id alone: for an album its
    // release; for a single song its recording, or either when a bare id
    // does not tell which.
    if (const std::optional<NamedId> named = IdOf(answer)) {
      if (named->kind == "recording" && album.size() > 1) {
        std::fputs("A recording names one song: give the album's release to search again.\n", out_);
        continue;
      }
      const bool release = named->kind != "recording";
      const bool recording = named->kind == "recording" || (named->kind.empty() && album.size() == 1);
      const CString id(plugin_text::Widen(named->id));
      if (!search_(album, [&](Meridex::CTags& tags) {
            tags.SetAlbum(CString());
            tags.SetReleaseId(release ? id : CString());
            tags.SetRecordingId(recording ? id : CString());
          })) {
        return false;
      }
      continue;
    }
    // Anything else is a new search.
    const std::wstring term = plugin_text::Widen(answer);
    const std::size_t dash = term.find(L" - ");
    const bool song = album.size() == 1 && dash != std::wstring::npos;
    if (!search_(album, [&](Meridex::CTags& tags) {
          if (song) {
            tags.RemoveAllArtists();
            tags.AddArtist(CString(term.substr(0, dash)), false);
            tags.SetTitle(CString(term.substr(dash + 3)));
          } else {
            tags.SetAlbum(CString(term));
          }
        })) {
      return false;
    }
  }
}

bool InteractiveChooser::Decide(std::vector<TaggedFile>& files) {
  // The albums in the order met: the files of one folder that the library
  // found on one album (a folder of singles holds several). Files it found on
  // no album (their titles are on several) go together when their candidates
  // name the same albums, as the tracks of one album do; else each alone.
  // Files without candidates are not asked about.
  std::vector<std::vector<std::size_t>> albums;
  std::map<std::wstring, std::size_t> byKey;
  for (std::size_t i = 0; i < files.size(); ++i) {
    if (!files[i].id || files[i].report.basicCandidates == 0) continue;
    std::wstring album = FieldValue(files[i].output, Field::kAlbum);
    if (album.empty()) {
      std::set<std::wstring> named;
      for (const Meridex::CTags& candidate : files[i].results)
        if (!IsLyricsOnly(candidate)) named.insert(FieldValue(candidate, Field::kAlbum));
      if (named.size() < 2) {
        albums.push_back({i});
        continue;
      }
      album = L"\1";  // apart from every album name
      for (const std::wstring& name : named) album += name + L'\0';
    }
    for (wchar_t& c : album) c = nimbrel::FoldCase(c);
    const auto [place, added] = byKey.emplace(plugin_text::Widen(Folder(files[i].report.path)) + L'\0' + album, albums.size());
    if (added) albums.emplace_back();
    albums[place->second].push_back(i);
  }
  for (std::size_t a = 0; a < albums.size(); ++a) {
    const std::vector<std::size_t>& places = albums[a];
    std::vector<TaggedFile> album;
    for (std::size_t i : places) album.push_back(std::move(files[i]));
    const std::vector<Choice> choices = Choices(album);
    bool doubtful = false;
    for (const TaggedFile& file : album) doubtful |= file.report.bestScore < options_.minScore;
    for (const Choice& choice : choices)
      doubtful |= !SameValue(Field::kAlbum, plugin_text::Widen(choice.album), plugin_text::Widen(choices.front().album));
    bool go = true;
    if (doubtful && ended_) {
      for (TaggedFile& file : album) file.heldBack = "not chosen: the input ended";
    } else if (doubtful) {
      go = Ask(album);
    }
    for (std::size_t k = 0; k < places.size(); ++k) files[places[k]] = std::move(album[k]);
    if (!go) {
      // Interrupted at the prompt: this album and the ones after it are
      // neither written nor recorded as done, so that a later run asks again.
      for (std::size_t rest = a; rest < albums.size(); ++rest) {
        for (std::size_t i : albums[rest]) {
          files[i].id = 0;
          files[i].report.outcome = Outcome::kSkipped;
        }
      }
      return false;
    }
  }
  return true;
}

}  // namespace nimbrel_tag
