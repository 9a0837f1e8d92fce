#include "CommandLine.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <cstdlib>
#include <functional>
#include <sstream>

#include "XdgFolders.h"

namespace nimbrel_tag {

namespace {

// A file larger than this is no configuration file.
constexpr off_t kMaxConfigSize = 64 * 1024;

bool ParseInt(const std::string& text, int low, int high, int& out) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || value < low || value > high) return false;
  out = static_cast<int>(value);
  return true;
}

bool ParseBool(std::string text, bool& out) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
  if (text == "yes" || text == "true" || text == "on" || text == "1") return out = true, true;
  if (text == "no" || text == "false" || text == "off" || text == "0") return out = false, true;
  return false;
}

// One option: its long name (also its key in the configuration file), an
// optional short letter, and how its value is applied. A flag has no value on
// the command line ("--lyrics"; "--no-lyrics" turns it off) and yes/no in the file.
struct Option {
  std::string name;
  char letter;
  bool flag;
  std::string argument;  // shown in the help
  std::string help;
  std::function<bool(TagOptions&, const std::string&, bool)> apply;  // (options, value, flag value)
};

template <typename Field>
std::function<bool(TagOptions&, const std::string&, bool)> Flag(Field field) {
  return [field](TagOptions& o, const std::string&, bool on) { return (o.*field) = on, true; };
}

std::function<bool(TagOptions&, const std::string&, bool)> LibraryFlag(bool NimbrelOptions::*field) {
  return [field](TagOptions& o, const std::string&, bool on) { return (o.library.*field) = on, true; };
}

std::function<bool(TagOptions&, const std::string&, bool)> Text(std::optional<std::string> TagOptions::*field) {
  return [field](TagOptions& o, const std::string& v, bool) { return (o.*field) = v, true; };
}

const std::vector<Option>& Options() {
  static const std::vector<Option> options = {
      {"dry-run", 'n', true, "", "show what would change, change nothing", Flag(&TagOptions::dryRun)},
      {"json", 'j', true, "", "one JSON object per file on standard output (JSON Lines)", Flag(&TagOptions::json)},
      {"quiet", 'q', true, "", "apply only results scoring at least --min-score; list the rest in the log",
       Flag(&TagOptions::quiet)},
      {"verbose", 'v', true, "", "also list every candidate with its score and reasons", Flag(&TagOptions::verbose)},
      {"min-score", 0, false, "N", "lowest score (0-100) that --quiet applies (default 90)",
       [](TagOptions& o, const std::string& v, bool) { return ParseInt(v, 0, 100, o.minScore); }},
      {"hidden", 0, true, "", "also tag hidden files and walk hidden folders", Flag(&TagOptions::hidden)},
      {"restart", 0, true, "", "redo the files an interrupted run with these arguments had done",
       Flag(&TagOptions::restart)},
      {"keep-mtime", 0, true, "", "keep each file's modification time", Flag(&TagOptions::keepModificationTime)},
      {"progress", 0, true, "", "progress line on standard error (default: when it is a terminal)",
       [](TagOptions& o, const std::string&, bool on) { return o.progress = on, true; }},
      {"batch", 0, false, "N", "files searched together (default 256; albums are kept together)",
       [](TagOptions& o, const std::string& v, bool) { return ParseInt(v, 1, 100000, o.batchSize); }},
      {"basic", 0, true, "", "search artist, title, album, genre, year, track (default on)",
       LibraryFlag(&NimbrelOptions::SearchBasicTags)},
      {"cover", 0, true, "", "search a cover picture (default on)", LibraryFlag(&NimbrelOptions::SearchCover)},
      {"lyrics", 0, true, "", "search lyrics (default on)", LibraryFlag(&NimbrelOptions::SearchLyrics)},
      {"policy", 'p', false, "1|2|3",
       "when found values replace the file's: 1 only fill empty fields, 2 always, 3 when two sources agree "
       "(default 3)",
       [](TagOptions& o, const std::string& v, bool) { return ParseInt(v, 1, 3, o.library.OverwritePolicy); }},
      {"criterion", 0, false, "0-3", "when a search counts as failed (default 1)",
       [](TagOptions& o, const std::string& v, bool) { return ParseInt(v, 0, 3, o.library.SuccessCriterion); }},
      {"max-difference", 0, false, "N", "largest text difference at which a track still matches (default 100)",
       [](TagOptions& o, const std::string& v, bool) {
         return ParseInt(v, 0, 100000, o.library.MaxMatchDifference);
       }},
      {"plugins", 0, false, "DIR", "the library's working folder, holding General/ and Lyrics/ plug-ins",
       Text(&TagOptions::workingDirectory)},
      {"log-folder", 0, false, "DIR", "folder of the library's log (default: the state folder)",
       Text(&TagOptions::logFolder)},
      {"update-url", 0, false, "URL", "plug-in update list to install and update plug-ins from (default none)",
       Text(&TagOptions::updateUrl)},
      {"cache-host", 0, false, "HOST[:PORT]", "shared tag-cache server (default none)",
       Text(&TagOptions::tagCacheHost)},
      {"proxy", 0, false, "HOST:PORT|0|1",
       "HTTP proxy of every request, the plug-ins' too: 0 none, 1 the system's (default 0)",
       Text(&TagOptions::proxy)},
      {"contact", 0, false, "ADDRESS",
       "an e-mail or web address of yours that the plug-ins name to the web services, which ask for one",
       [](TagOptions& o, const std::string& v, bool) {
         const bool plain = std::none_of(v.begin(), v.end(), [](unsigned char c) { return c < 0x20 || c == 0x7F; });
         return o.contact = v, !v.empty() && plain;
       }},
      {"trace-level", 0, false, "LEVEL", "library log level: Error, Warning, Info, Debug (default Warning)",
       [](TagOptions& o, const std::string& v, bool) { return o.traceLevel = v, !v.empty(); }},
      {"history", 0, true, "", "record every write so that `nimbrel-tag undo` can take it back (default on)",
       Flag(&TagOptions::history)},
      {"history-limit", 0, false, "MIB", "largest size of the history; the oldest runs go first (default 512)",
       [](TagOptions& o, const std::string& v, bool) { return ParseInt(v, 1, 1 << 20, o.historyLimitMiB); }},
      {"untagged-log", 0, false, "FILE", "where the files that were not tagged are listed, with why",
       [](TagOptions& o, const std::string& v, bool) { return o.untaggedLog = v, !v.empty(); }},
      {"interactive", 'i', true, "",
       "ask which candidate to take when the best scores below --min-score or the candidates disagree",
       Flag(&TagOptions::interactive)},
      {"fix-spelling", 0, true, "",
       "write the source's artist and title where they differ from the file's only in case, blanks, "
       "punctuation or accents",
       Flag(&TagOptions::fixSpelling)},
      {"plan", 0, false, "FILE", "with --dry-run: save what would be written, for `nimbrel-tag apply FILE`",
       [](TagOptions& o, const std::string& v, bool) { return o.plan = v, !v.empty(); }},
      {"report", 0, false, "FILE.html", "write a page with each album's changes, covers and candidates",
       [](TagOptions& o, const std::string& v, bool) { return o.htmlReport = v, !v.empty(); }},
  };
  return options;
}

const Option* FindByName(const std::string& name) {
  for (const Option& option : Options())
    if (option.name == name) return &option;
  return nullptr;
}

const Option* FindByLetter(char letter) {
  for (const Option& option : Options())
    if (option.letter == letter) return &option;
  return nullptr;
}

std::string Trim(const std::string& text) {
  const auto begin = text.find_first_not_of(" \t\r");
  if (begin == std::string::npos) return std::string();
  return text.substr(begin, text.find_last_not_of(" \t\r") - begin + 1);
}

// Where a comment starts: a "#" first on the line or after a blank, so that
// a value may hold one ("my#list.log").
std::size_t CommentStart(const std::string& line) {
  for (std::size_t i = 0; i < line.size(); ++i)
    if (line[i] == '#' && (i == 0 || line[i - 1] == ' ' || line[i - 1] == '\t')) return i;
  return std::string::npos;
}

// Reads the configuration file at `path` into `options`. `required`: a
// missing file is an error (it was named on the command line).
bool ReadConfig(const std::string& path, bool required, TagOptions& options, std::string& error) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) {
    if (!required && errno == ENOENT) return true;
    error = "cannot read the configuration file " + path + ": " + std::strerror(errno);
    return false;
  }
  struct stat info {};
  std::string text;
  bool usable = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size <= kMaxConfigSize;
  if (!usable) {
    error = "the configuration file " + path + " is not a regular file of at most 64 KiB";
  } else if (info.st_uid != ::geteuid() && info.st_uid != 0) {
    // Its settings choose the plug-ins that are loaded: only its owner may
    // write it. Running on with the defaults instead would silently drop the
    // user's settings (a policy that keeps their values, say).
    error = "the configuration file " + path + " belongs to another user; its settings choose the plug-ins that "
            "run (make it yours: chown, or --no-config)";
    usable = false;
  } else if (info.st_mode & (S_IWGRP | S_IWOTH)) {
    error = "the configuration file " + path + " may be written by others; its settings choose the plug-ins that "
            "run (chmod go-w " + path + ")";
    usable = false;
  } else {
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<std::size_t>(n));
    if (n < 0) usable = false, error = "cannot read the configuration file " + path + ": " + std::strerror(errno);
  }
  ::close(fd);
  if (!usable) return false;

  // A byte-order mark some editors put first is no part of the first name.
  if (text.rfind("\xEF\xBB\xBF", 0) == 0) text.erase(0, 3);
  std::istringstream lines(text);
  std::string line;
  for (int number = 1; std::getline(lines, line); ++number) {
    const std::string content = Trim(line.substr(0, CommentStart(line)));
    if (content.empty()) continue;
    const auto equals = content.find('=');
    const std::string name = Trim(content.substr(0, equals));
    const std::string value = equals == std::string::npos ? std::string() : Trim(content.substr(equals + 1));
    const Option* option = FindByName(name);
    bool on = true;
    const std::string where = path + ":" + std::to_string(number) + ": ";
    if (!option || equals == std::string::npos) {
      error = where + (option ? "\"" + name + " = value\" expected" : "unknown setting \"" + name + "\"");
      return false;
    }
    if ((option->flag && !ParseBool(value, on)) || !option->apply(options, value, on)) {
      error = where + "invalid value \"" + value + "\" for " + name;
      return false;
    }
  }
  return true;
}

}  // namespace

std::string CommandLine::HelpText() {
  std::ostringstream out;
  out << "Usage: nimbrel-tag [OPTION]... PATH...\n"
         "       nimbrel-tag apply [--keep-mtime] [--no-history] PLAN\n"
         "       nimbrel-tag history | undo RUN|--last|PATH...   (see nimbrel-tag undo --help)\n"
         "Completes the tags of music files (artist, title, album, genre, year, track, cover, lyrics)\n"
         "with nimbrel. Folders are walked recursively; links are followed, never in circles.\n\n";
  for (const Option& option : Options()) {
    std::string left = option.letter ? std::string("-") + option.letter + ", " : std::string("    ");
    left += "--" + option.name + (option.argument.empty() ? "" : " " + option.argument);
    out << "  " << left << std::string(left.size() < 26 ? 26 - left.size() : 1, ' ') << option.help << "\n";
  }
  out << "      --no-OPTION             turns a yes/no option off (--no-lyrics, --no-cover)\n"
         "      --config FILE           read options from FILE (default: $XDG_CONFIG_HOME/nimbrel/nimbrel-tag.conf)\n"
         "      --no-config             read no configuration file\n"
         "  -h, --help                  show this help\n"
         "  -V, --version               show the version\n\n"
         "The configuration file holds \"name = value\" lines with the long option names.\n"
         "Exit status: 0 every file done, 1 some files could not be read or written,\n"
         "2 usage error, 130 interrupted (run again with the same arguments to go on).\n";
  return out.str();
}

ParseResult CommandLine::Parse(int argc, char** argv, TagOptions& options, std::string& error,
                               std::vector<std::string>& /*notes*/) {
  std::vector<std::string> args(argv + 1, argv + argc);
  // The configuration file comes first, whatever its place on the line.
  std::string config;
  bool useConfig = true, explicitConfig = false;
  for (std::size_t i = 0; i < args.size() && args[i] != "--"; ++i) {
    if (args[i] == "--no-config") useConfig = false;
    if (args[i] == "--config" && i + 1 < args.size()) config = args[i + 1], explicitConfig = true;
    if (args[i].rfind("--config=", 0) == 0) config = args[i].substr(9), explicitConfig = true;
    if (args[i] == "-h" || args[i] == "--help") return ParseResult::kHelp;
    if (args[i] == "-V" || args[i] == "--version") return ParseResult::kVersion;
  }
  if (!explicitConfig && !ConfigFolder().empty()) config = ConfigFolder() + "nimbrel-tag.conf";
  if (useConfig && !config.empty() && !ReadConfig(config, explicitConfig, options, error))
    return ParseResult::kUsageError;

  bool onlyPaths = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (onlyPaths || arg.empty() || arg[0] != '-' || arg == "-") {
      options.paths.push_back(arg);
      continue;
    }
    if (arg == "--") {
      onlyPaths = true;
      continue;
    }
    if (arg == "--no-config") continue;
    if (arg == "--config") {
      if (i + 1 >= args.size()) return error = "--config needs a file", ParseResult::kUsageError;
      ++i;
      continue;
    }
    if (arg.rfind("--config=", 0) == 0) continue;

    std::string name, value;
    bool hasValue = false;
    const Option* option = nullptr;
    bool on = true;
    if (arg.rfind("--", 0) == 0) {
      name = arg.substr(2);
      if (const auto equals = name.find('='); equals != std::string::npos) {
        value = name.substr(equals + 1);
        name.resize(equals);
        hasValue = true;
      }
      option = FindByName(name);
      if (!option && name.rfind("no-", 0) == 0) {
        option = FindByName(name.substr(3));
        if (option && !option->flag) option = nullptr;
        on = false;
      }
    } else {
      // Short options: "-nq" is "-n -q"; a short option with a value takes the rest or the next argument.
      for (std::size_t k = 1; k < arg.size(); ++k) {
        option = FindByLetter(arg[k]);
        if (!option) return error = std::string("unknown option -") + arg[k], ParseResult::kUsageError;
        if (option->flag) {
          option->apply(options, std::string(), true);
          option = nullptr;
          continue;
        }
        name = option->name;
        if (k + 1 < arg.size()) value = arg.substr(k + 1), hasValue = true;
        break;
      }
      if (!option) continue;
    }
    if (!option) return error = "unknown option " + arg + " (see --help)", ParseResult::kUsageError;
    if (option->flag) {
      if (hasValue && !ParseBool(value, on)) return error = "--" + name + " takes no value", ParseResult::kUsageError;
    } else if (!hasValue) {
      if (i + 1 >= args.size()) return error = "--" + option->name + " needs a value", ParseResult::kUsageError;
      value = args[++i];
    }
    if (!option->apply(options, value, on))
      return error = "invalid value \"" + value + "\" for --" + option->name, ParseResult::kUsageError;
  }
  if (options.paths.empty()) return error = "no file or folder given (see --help)", ParseResult::kUsageError;
  return ParseResult::kRun;
}

}  // namespace nimbrel_tag
