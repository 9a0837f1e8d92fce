#include "Reporter.h"

#include "Base64.h"
#include "EscapedText.h"
#include "Json.h"

namespace nimbrel_tag {

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

std::string Joined(const std::vector<std::string>& items, const char* separator) {
  std::string out;
  for (const std::string& item : items) out += (out.empty() ? "" : separator) + item;
  return out;
}

std::string JsonArray(const std::vector<std::string>& items) {
  std::string out = "[";
  for (const std::string& item : items) out += (out.size() > 1 ? "," : "") + plugin_json::Quoted(item);
  return out + "]";
}

// A value on one short line: control characters as blanks, at most 60
// bytes, never cut inside a UTF-8 sequence.
std::string OneLine(std::string value) {
  for (char& c : value)
    if (static_cast<unsigned char>(c) < 0x20) c = ' ';
  if (value.size() <= 60) return value;
  std::size_t cut = 57;
  while (cut > 0 && (static_cast<unsigned char>(value[cut]) & 0xC0) == 0x80) --cut;
  return value.substr(0, cut) + "...";
}

std::string Fixed(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", value);
  return text;
}

}  // namespace

const char* OutcomeName(Outcome outcome) {
  switch (outcome) {
    case Outcome::kTagged: return "tagged";
    case Outcome::kUnchanged: return "unchanged";
    case Outcome::kNotFound: return "not-found";
    case Outcome::kLowScore: return "low-score";
    case Outcome::kNoKeys: return "no-artist-or-title";
    case Outcome::kError: return "error";
    case Outcome::kSkipped: return "skipped";
    case Outcome::kDisagrees: return "disagrees";
  }
  return "";
}

Reporter::Reporter(ReporterStyle style, std::FILE* out, std::FILE* err)
    : style_(style), out_(out), err_(err), start_(Clock::now()), lastProgress_(start_) {}

std::string Reporter::Duration(double seconds) {
  const long total = seconds < 0 ? 0 : static_cast<long>(seconds + 0.5);
  char text[32];
  if (total >= 3600) {
    std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", total / 3600, total / 60 % 60, total % 60);
  } else {
    std::snprintf(text, sizeof text, "%ld:%02ld", total / 60, total % 60);
  }
  return text;
}

void Reporter::Begin(std::size_t files) {
  totals_.files = files;
  start_ = Clock::now();
  Progress(true);
}

void Reporter::ClearProgress() {
  if (!progressShown_) return;
  std::fputs("\r\033[K", err_);
  progressShown_ = false;
}

void Reporter::Progress(bool force) {
  if (!style_.progress) return;
  const Clock::time_point now = Clock::now();
  if (!force && now - lastProgress_ < std::chrono::milliseconds(200)) return;
  lastProgress_ = now;
  const double elapsed = Seconds(now - start_);
  const double rate = elapsed > 0 ? static_cast<double>(totals_.done) / elapsed : 0.0;
  std::string line = "[" + std::to_string(totals_.done) + "/" + std::to_string(totals_.files) + "] " +
                     std::to_string(totals_.tagged) + " tagged, " + std::to_string(totals_.notTagged) +
                     " not tagged, " + std::to_string(totals_.errors) + " failed";
  if (totals_.done > 0 && rate > 0) {
    line += ", " + Fixed(rate) + " files/s, " +
            Duration(static_cast<double>(totals_.files - totals_.done) / rate) + " left";
  }
  std::fprintf(err_, "\r\033[K%s", line.c_str());
  std::fflush(err_);
  progressShown_ = true;
}

void Reporter::File(const FileReport& report) {
  ++totals_.done;
  switch (report.outcome) {
    case Outcome::kTagged: ++totals_.tagged; break;
    case Outcome::kUnchanged: ++totals_.unchanged; break;
    case Outcome::kError: ++totals_.errors; break;
    case Outcome::kSkipped: ++totals_.skipped; break;
    default: ++totals_.notTagged; break;
  }
  if (report.outcome == Outcome::kSkipped) {
    Progress();
    return;
  }
  ClearProgress();
  if (style_.json) {
    if (!outClosed_) Json(report);
  } else if (report.outcome == Outcome::kError) {
    std::fprintf(err_, "nimbrel-tag: %s\n", Escaped(report.message).c_str());
  } else if (!style_.quiet && !outClosed_) {
    Text(report);
  }
  CheckOutput();
  Progress();
}

void Reporter::CheckOutput() {
  if (outClosed_) return;
  std::fflush(out_);
  if (!std::ferror(out_)) return;
  // The reader went away (`| head`): the run goes on and finishes its
  // writes; what it has to say still comes on standard error.
  outClosed_ = true;
  Note("standard output was closed; going on without it");
}

void Reporter::Text(const FileReport& report) {
  std::string text = Escaped(report.path) + "\n";
  for (const FieldChange& change : report.changes) {
    text += "  " + std::string(FieldName(change.field)) + ": " + change.before + " -> " + change.after;
    if (!change.sources.empty()) {
      text += "  [" + Joined(change.sources, ", ");
      if (report.basicCandidates > 1 && change.field != Field::kLyrics)
        text += "; " + std::to_string(change.agreeing) + " of " + std::to_string(report.basicCandidates) + " agree";
      text += "]";
    }
    text += "\n";
  }
  switch (report.outcome) {
    case Outcome::kTagged:
      if (report.bestScore >= 0) text += "  score " + std::to_string(report.bestScore) + "%\n";
      break;
    case Outcome::kUnchanged: text += "  already complete\n"; break;
    default: text += "  not tagged: " + report.message + "\n"; break;
  }
  if (style_.verbose) {
    for (const CandidateInfo& candidate : report.candidates) {
      text += "  candidate from " + (candidate.source.empty() ? std::string("?") : candidate.source);
      if (candidate.lyrics) {
        text += ": lyrics\n";
        continue;
      }
      text += ": " + std::to_string(candidate.score) + "%";
      if (!candidate.reasons.empty()) text += " (" + Joined(candidate.reasons, ", ") + ")";
      text += "\n   ";
      for (const auto& [field, value] : candidate.values) text += " " + field + "=\"" + OneLine(value) + "\"";
      text += "\n";
    }
  }
  std::fputs(text.c_str(), out_);
}

void Reporter::Json(const FileReport& report) {
  // "path" is text (a byte that is not UTF-8 shows as U+FFFD); "path_bytes"
  // gives a program the exact name back.
  std::string line = "{\"path\":" + plugin_json::Quoted(report.path) + ",\"path_bytes\":\"" + Base64(report.path) +
                     "\",\"status\":\"" +
                     OutcomeName(report.outcome) + "\",\"written\":" + (report.written ? "true" : "false") +
                     ",\"dryRun\":" + (style_.dryRun ? "true" : "false");
  if (!report.message.empty()) line += ",\"message\":" + plugin_json::Quoted(report.message);
  if (report.bestScore >= 0) line += ",\"score\":" + std::to_string(report.bestScore);
  line += ",\"changes\":[";
  for (std::size_t i = 0; i < report.changes.size(); ++i) {
    const FieldChange& change = report.changes[i];
    line += std::string(i ? "," : "") + "{\"field\":\"" + FieldName(change.field) +
            "\",\"old\":" + plugin_json::Quoted(change.beforeText) + ",\"new\":" + plugin_json::Quoted(change.afterText) +
            ",\"sources\":" + JsonArray(change.sources) + ",\"agreeing\":" + std::to_string(change.agreeing) + "}";
  }
  line += "],\"candidates\":[";
  for (std::size_t i = 0; i < report.candidates.size(); ++i) {
    const CandidateInfo& candidate = report.candidates[i];
    line += std::string(i ? "," : "") + "{\"source\":" + plugin_json::Quoted(candidate.source) +
            ",\"kind\":\"" + (candidate.lyrics ? "lyrics" : "tags") + "\"";
    if (!candidate.lyrics) {
      line += ",\"score\":" + std::to_string(candidate.score) + ",\"reasons\":" + JsonArray(candidate.reasons);
    }
    line += ",\"tags\":{";
    for (std::size_t k = 0; k < candidate.values.size(); ++k) {
      line += std::string(k ? "," : "") + plugin_json::Quoted(candidate.values[k].first) + ":" +
              plugin_json::Quoted(candidate.values[k].second);
    }
    line += "}}";
  }
  line += "]}\n";
  std::fputs(line.c_str(), out_);
}

void Reporter::Problem(const std::string& path, const std::string& message) {
  ClearProgress();
  std::fprintf(err_, "nimbrel-tag: %s: %s\n", Escaped(path).c_str(), Escaped(message).c_str());
  Progress(true);
}

void Reporter::Note(const std::string& text) {
  ClearProgress();
  std::fprintf(err_, "nimbrel-tag: %s\n", Escaped(text).c_str());
  Progress(true);
}

void Reporter::Summary(bool interrupted, const std::string& untaggedLog) {
  Progress(true);
  ClearProgress();
  const double elapsed = Seconds(Clock::now() - start_);
  const std::size_t worked = totals_.done - totals_.skipped;
  std::string text = std::to_string(totals_.done) + " of " + std::to_string(totals_.files) + " files: " +
                     std::to_string(totals_.tagged) + (style_.dryRun ? " would be tagged, " : " tagged, ") +
                     std::to_string(totals_.unchanged) + " already complete, " + std::to_string(totals_.notTagged) +
                     " not tagged, " + std::to_string(totals_.errors) + (style_.dryRun ? " would fail" : " failed");
  if (totals_.skipped) text += ", " + std::to_string(totals_.skipped) + " done earlier";
  text += " in " + Duration(elapsed);
  if (elapsed > 0 && worked > 0) {
    text += " (" + Fixed(static_cast<double>(worked) / elapsed) + " files/s; reading " + Fixed(totals_.readSeconds) +
            " s, searching " + Fixed(totals_.librarySeconds) + " s, writing " + Fixed(totals_.writeSeconds) + " s)";
  }
  std::fprintf(err_, "%s.\n", text.c_str());
  if (style_.dryRun) std::fputs("Dry run: no file was changed.\n", err_);
  if (totals_.notTagged + totals_.errors > 0 && !untaggedLog.empty())
    std::fprintf(err_, "The files not tagged are listed, with why, in %s\n", untaggedLog.c_str());
  if (interrupted)
    std::fputs("Interrupted: the files finished so far were written; run the same command again to go on.\n", err_);
}

}  // namespace nimbrel_tag
