// Saving keeps what the file system holds about a file (owner, group,
// extended attributes, ACLs, other names), saves any name the system allows,
// leaves a file another program is writing alone, and a dry run's check
// (CheckSave) refuses exactly what the save refuses. Files are made by
// ffmpeg and checked by mutagen and ffmpeg, not by Meridex itself.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "meridex/Environment.h"
#include "meridex/Leftovers.h"
#include "meridex/SaveBatch.h"
#include "meridex/SaveCheck.h"
#include "meridex/Tags.h"
#include "platform/BirthTime.h"
#include "platform/Env.h"
#include "platform/FaultInjection.h"
#include "platform/File.h"
#include "platform/FileSystem.h"
#include "platform/Process.h"
#include "platform/TextCodec.h"
#include "support/AudioSamples.h"
#include "support/ScratchFolder.h"

namespace {

namespace fs = std::filesystem;
using Meridex::CTags;
using Meridex::FileResult;
using testing_support::ScratchFolder;

std::string Native(const std::wstring& path) { return platform::ToNativeName(path); }

std::string Quoted(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

std::string Output(const std::string& command) {
  std::string out;
  if (FILE* pipe = ::popen(command.c_str(), "r")) {
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
    ::pclose(pipe);
  }
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return out;
}

// The audio packets as ffmpeg demuxes them, whatever the tags around them.
std::string AudioDigest(const std::wstring& path) {
  return Output("ffmpeg -nostdin -v error -i " + Quoted(Native(path)) + " -map 0:a -c copy -f md5 - 2>&1");
}

std::string Python() {
  static const std::string python = [] {
    for (const char* candidate : {"/usr/bin/python3", "python3"})
      if (std::system((std::string(candidate) + " -c 'import mutagen' >/dev/null 2>&1").c_str()) == 0) return std::string(candidate);
    return std::string();
  }();
  return python;
}

// The title as mutagen reads it.
std::string TitleByMutagen(const std::wstring& path) {
  return Output(Python() + " -c 'import sys, mutagen; f = mutagen.File(sys.argv[1], easy=True); "
                           "print((f.get(\"title\") or [\"\"])[0] if f else \"<unreadable>\")' " +
                Quoted(Native(path)) + " 2>&1");
}

std::string Attribute(const std::wstring& path, const char* name) {
  char value[1024];
  const ssize_t n = ::getxattr(Native(path).c_str(), name, value, sizeof value);
  return n < 0 ? std::string("<none>") : std::string(value, static_cast<std::size_t>(n));
}

// An access ACL: owner rw, user 1234 r, group r, mask rw, others r.
std::string AccessAcl() {
  std::string acl;
  auto put = [&](std::uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) acl += static_cast<char>((value >> (8 * i)) & 0xFF);
  };
  put(2, 4);  // version
  const std::uint32_t kAny = 0xFFFFFFFFu;
  for (const auto& [tag, perm, id] : std::vector<std::tuple<int, int, std::uint32_t>>{
           {0x01, 6, kAny}, {0x02, 4, 1234}, {0x04, 4, kAny}, {0x10, 6, kAny}, {0x20, 4, kAny}}) {
    put(static_cast<std::uint32_t>(tag), 2);
    put(static_cast<std::uint32_t>(perm), 2);
    put(id, 4);
  }
  return acl;
}

int WorkFilesIn(const std::wstring& folder) {
  int n = 0;
  for (const auto& entry : fs::directory_iterator(Native(folder)))
    if (entry.path().filename().string().find(".meridex-") != std::string::npos) ++n;
  return n;
}

// A tagged MP3 (LAME through ffmpeg) and FLAC, made once.
const std::string& Source(bool flac) {
  static ScratchFolder* folder = new ScratchFolder;  // lives as long as the test program
  static std::string made[2];
  std::string& bytes = made[flac ? 1 : 0];
  if (bytes.empty()) {
    const std::wstring path = *folder / (flac ? L"source.flac" : L"source.mp3");
    const std::string command = "ffmpeg -nostdin -loglevel error -y -f lavfi -i sine=frequency=440:duration=0.3 "
                                "-metadata title=Old -metadata artist=Band -c:a " +
                                std::string(flac ? "flac" : "libmp3lame") + " " + Quoted(Native(path)) +
                                " </dev/null >/dev/null 2>&1";
    if (std::system(command.c_str()) == 0) bytes = testing_support::ReadFileBytes(path);
  }
  return bytes;
}

class FileSystemSafetyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testing_support::HaveFfmpeg() || Python().empty()) GTEST_SKIP() << "needs ffmpeg and python3-mutagen";
  }
  void TearDown() override {
    if (writer_ >= 0) ::close(writer_);
  }

  ScratchFolder scratch_;
  int writer_ = -1;  // a descriptor open for writing, as another program's
};

struct Row {
  const char* name;
  bool flac;
  const wchar_t* relativePath;  // below the scratch folder; non-UTF-8 bytes as surrogate escapes
  // Given the round's folder and the song; false when not possible here.
  std::function<bool(const std::wstring& folder, const std::wstring& song, int& writer)> arrange;
  const wchar_t* refusal;  // null: saved; else both the check and the save say this
  std::function<void(const std::wstring& folder, const std::wstring& song)> check;  // after a successful save
  bool obeyPermissions = false;  // as root too (root writes a read-only file anyway)
};

TEST_F(FileSystemSafetyTest, SavingKeepsWhatTheFileSystemHoldsAndRefusesWhatTheCheckRefuses) {
  const std::wstring longName = std::wstring(251, L'x') + L".mp3";  // 255 bytes, the system's limit
  auto none = [](const std::wstring&, const std::wstring&, int&) { return true; };
  std::vector<Row> rows = {
      {"plain mp3", false, L"song.mp3", none, nullptr, nullptr},
      {"plain flac", true, L"song.flac", none, nullptr, nullptr},
      {"owner and group", false, L"owned.mp3",
       [](const std::wstring&, const std::wstring& song, int&) {
         return ::geteuid() == 0 && ::chown(Native(song).c_str(), 1234, 2345) == 0;
       },
       nullptr,
       [](const std::wstring&, const std::wstring& song) {
         struct stat st;
         ASSERT_EQ(::stat(Native(song).c_str(), &st), 0);
         EXPECT_EQ(st.st_uid, 1234u);
         EXPECT_EQ(st.st_gid, 2345u);
       }},
      {"user attribute", true, L"rated.flac",
       [](const std::wstring&, const std::wstring& song, int&) {
         return ::setxattr(Native(song).c_str(), "user.rating", "5", 1, 0) == 0;
       },
       nullptr, [](const std::wstring&, const std::wstring& song) { EXPECT_EQ(Attribute(song, "user.rating"), "5"); }},
      {"access ACL", false, L"shared.mp3",
       [](const std::wstring&, const std::wstring& song, int&) {
         const std::string acl = AccessAcl();
         return ::setxattr(Native(song).c_str(), "system.posix_acl_access", acl.data(), acl.size(), 0) == 0;
       },
       nullptr,
       [](const std::wstring&, const std::wstring& song) {
         EXPECT_EQ(Attribute(song, "system.posix_acl_access"), AccessAcl());
         EXPECT_EQ(fs::status(Native(song)).permissions() & fs::perms::all,
                   fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                       fs::perms::group_write | fs::perms::others_read);
       }},
      {"hard link", true, L"linked.flac",
       [](const std::wstring& folder, const std::wstring& song, int&) {
         fs::create_directory(Native(folder + L"elsewhere"));
         fs::create_hard_link(Native(song), Native(folder + L"elsewhere/other name.flac"));
         return true;
       },
       nullptr,
       [](const std::wstring& folder, const std::wstring& song) {
         const std::wstring other = folder + L"elsewhere/other name.flac";
         EXPECT_EQ(fs::hard_link_count(Native(song)), 2u);
         EXPECT_TRUE(fs::equivalent(Native(song), Native(other)));
         EXPECT_EQ(TitleByMutagen(other), "New");
         fs::remove(Native(other));
       }},
      {"non-UTF-8 name", false, L"caf\xDCE9.mp3", none, nullptr, nullptr},
      {"non-UTF-8 folder", true, L"d\xDCE9j\xDCE0/song.flac", none, nullptr, nullptr},
      {"name of 255 bytes", false, longName.c_str(), none, nullptr, nullptr},
      {"being written", false, L"busy.mp3",
       [](const std::wstring&, const std::wstring& song, int& writer) {
         writer = ::open(Native(song).c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
         return writer >= 0;
       },
       L"being written by another program; try again later", nullptr},
      {"read-only", false, L"locked.mp3",
       [](const std::wstring&, const std::wstring& song, int&) {
         return ::chmod(Native(song).c_str(), 0444) == 0;
       },
       L"read-only", nullptr, true},
      {"folder not writable", true, L"closed/song.flac",
       [](const std::wstring& folder, const std::wstring&, int&) {
         return ::chmod(Native(folder + L"closed").c_str(), 0555) == 0;
       },
       L"Permission denied", nullptr, true},
  };

  for (const bool batch : {false, true}) {
    for (const Row& row : rows) {
      SCOPED_TRACE(std::string(row.name) + (batch ? " (batch)" : " (SaveFile)"));
      ScratchFolder folder;
      const std::wstring song = folder / row.relativePath;
      const std::wstring songFolder = song.substr(0, song.rfind(L'/') + 1);
      fs::create_directories(Native(songFolder));
      ASSERT_FALSE(Source(row.flac).empty()) << "ffmpeg made no file";
      testing_support::WriteFileBytes(song, Source(row.flac));
      if (!row.arrange(folder.path(), song, writer_)) {
        std::printf("  [ skipped ] %s: not possible here\n", row.name);
        continue;
      }
      const std::string bytes = testing_support::ReadFileBytes(song);
      const std::string audio = AudioDigest(song);
      ASSERT_NE(audio.find("MD5="), std::string::npos) << audio;

      FileResult checked, saved;
      {
        std::optional<platform::ScopedObeyFilePermissions> obey;
        if (row.obeyPermissions) obey.emplace();
        checked = Meridex::CheckSave(song);
        CTags tags;
        const FileResult read = tags.ReadFile(song);
        ASSERT_TRUE(read.ok) << platform::ToUtf8(read.message.str());
        tags.SetTitle(L"New");
        if (batch) {
          Meridex::CSaveBatch saving;
          saved = saving.Add(tags, song);
          if (saved) saved = saving.Commit().at(0);
        } else {
          saved = tags.SaveFile(song);
        }
      }
      if (row.refusal) {
        EXPECT_NE(checked.message.Find(row.refusal), -1) << platform::ToUtf8(checked.message.str());
        EXPECT_NE(saved.message.Find(row.refusal), -1) << platform::ToUtf8(saved.message.str());
        EXPECT_TRUE(testing_support::ReadFileBytes(song) == bytes) << "the refused file changed";
      } else {
        EXPECT_TRUE(checked.ok) << platform::ToUtf8(checked.message.str());
        ASSERT_TRUE(saved.ok) << platform::ToUtf8(saved.message.str());
        EXPECT_EQ(TitleByMutagen(song), "New");
        EXPECT_EQ(AudioDigest(song), audio);
        if (row.check) row.check(folder.path(), song);
      }
      ::chmod(Native(folder / L"closed").c_str(), 0755);
      if (writer_ >= 0) ::close(writer_);
      writer_ = -1;
      EXPECT_EQ(WorkFilesIn(songFolder), 0);
    }
  }
}

}  // namespace

namespace {

std::set<std::string> NamesIn(const std::wstring& folder) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(Native(folder))) names.insert(entry.path().filename().string());
  return names;
}

// Work files of a killed save: those of dead writers go (a copy of a file
// written in place goes back into it); everything else stays.
TEST_F(FileSystemSafetyTest, LeftoversOfDeadWritersAreRemovedOrRestoredAndNothingElseIsTouched) {
  const std::string boot = platform::BootId().substr(0, 8);
  const std::string pid = std::to_string(platform::CurrentProcessId());
  const std::string start = std::to_string(platform::ProcessStartTime(platform::CurrentProcessId()));
  const std::string otherBoot = boot == "00000000" ? "11111111" : "00000000";
  const std::wstring& folder = scratch_.path();
  auto put = [&](const std::string& name, const std::string& bytes) {
    testing_support::WriteFileBytes(folder + platform::FromNativeName(name), bytes);
  };
  const std::string song = Source(false);
  put("song.mp3", song);
  put("torn.mp3", song);
  struct stat torn;
  ASSERT_EQ(::stat(Native(folder + L"torn.mp3").c_str(), &torn), 0);
  const std::string tornInode = std::to_string(torn.st_ino);
  const std::vector<std::string> gone = {
      ".meridex-" + otherBoot + "." + pid + ".1.aaaaaaaaaa.tmp",  // another boot
      ".meridex-" + boot + "." + pid + ".1.bbbbbbbbbb.tmp",       // this pid, another start: reused
  };
  const std::vector<std::string> kept = {
      "song.mp3",
      "torn.mp3",
      ".meridex-" + boot + "." + pid + "." + start + ".cccccccccc.tmp",  // alive: this process
      ".song.mp3.meridex-dddddddddd.tmp",                                // no writer named
      ".meridex-" + otherBoot + "." + pid + ".1.eeeeeeeeee.i1.orig",     // its file is not here
      ".meridex-" + otherBoot + "." + pid + ".1.ffffffffff.tmp",         // a link
      ".meridex-" + otherBoot + "." + pid + ".1.gggggggggg.tmp",         // another user's
  };
  for (const std::string& name : gone) put(name, std::string(100000, 'n'));
  for (std::size_t i = 2; i < 5; ++i) put(kept[i], "x");
  fs::create_symlink(Native(folder + L"song.mp3"), Native(folder) + kept[5]);
  put(kept[6], "x");
  const bool asRoot = ::geteuid() == 0 && ::chown((Native(folder) + kept[6]).c_str(), 1234, 1234) == 0;
  // A crash while torn.mp3 was written in place: its copy is complete, it is not.
  const std::string copy = ".meridex-" + otherBoot + "." + pid + ".1.hhhhhhhhhh.i" + tornInode + ".orig";
  put(copy, song);
  ASSERT_EQ(::truncate(Native(folder + L"torn.mp3").c_str(), 1000), 0);

  const std::vector<CString> said = Meridex::CleanUpFolder(folder);
  std::set<std::string> expected(kept.begin(), kept.end());
  if (!asRoot) expected.erase(kept[6]);  // ours after all: removed
  EXPECT_EQ(NamesIn(folder), expected);
  EXPECT_EQ(testing_support::ReadFileBytes(folder + L"torn.mp3"), song);
  EXPECT_EQ(testing_support::ReadFileBytes(folder + L"song.mp3"), song) << "a link's target is not touched";
  std::string text;
  for (const CString& line : said) text += platform::ToUtf8(line.str()) + "\n";
  EXPECT_NE(text.find("restored " + Native(folder) + "torn.mp3"), std::string::npos) << text;
  EXPECT_NE(text.find("kept " + Native(folder) + kept[4]), std::string::npos) << text;
  EXPECT_NE(text.find("removed " + std::to_string(asRoot ? 2 : 3) + " unfinished"), std::string::npos) << text;

  // The first save into a folder tidies it by itself.
  ScratchFolder other;
  testing_support::WriteFileBytes(other / L"song.mp3", song);
  testing_support::WriteFileBytes(other / platform::FromNativeName(gone[0]), "n");
  CTags tags;
  ASSERT_TRUE(tags.ReadFile(other / L"song.mp3").ok);
  tags.SetTitle(L"New");
  ASSERT_TRUE(tags.SaveFile(other / L"song.mp3").ok);
  EXPECT_EQ(NamesIn(other.path()), std::set<std::string>{"song.mp3"});
}

// A file that took the freed inode of one an interrupted save was writing in
// place is another file: the copy is not written into it.
TEST_F(FileSystemSafetyTest, ACopyIsNotWrittenIntoALaterFileThatTookItsInode) {
  const std::wstring& folder = scratch_.path();
  testing_support::WriteFileBytes(folder + L"copy", "the content of a file deleted since");
  std::int64_t copyBorn = 0, laterBorn = 0;
  if (!platform::GetBirthTime(folder + L"copy", copyBorn)) GTEST_SKIP() << "this file system keeps no birth times";
  // File times tick coarsely: the later file is made again until its time is later.
  for (int i = 0; i < 100000 && laterBorn <= copyBorn; ++i) {
    std::filesystem::remove(Native(folder + L"later.mp3"));
    testing_support::WriteFileBytes(folder + L"later.mp3", "a file made after the copy");
    ASSERT_TRUE(platform::GetBirthTime(folder + L"later.mp3", laterBorn));
  }
  ASSERT_GT(laterBorn, copyBorn);
  struct stat later;
  ASSERT_EQ(::stat(Native(folder + L"later.mp3").c_str(), &later), 0);
  const std::string boot = platform::BootId().substr(0, 8) == "00000000" ? "11111111" : "00000000";
  const std::string name = ".meridex-" + boot + ".1.1.kkkkkkkkkk.i" + std::to_string(later.st_ino) + ".orig";
  ASSERT_EQ(::rename(Native(folder + L"copy").c_str(), (Native(folder) + name).c_str()), 0);

  const std::vector<CString> said = Meridex::CleanUpFolder(folder);
  EXPECT_EQ(testing_support::ReadFileBytes(folder + L"later.mp3"), "a file made after the copy");
  EXPECT_EQ(NamesIn(folder), (std::set<std::string>{"later.mp3", name}));
  ASSERT_EQ(said.size(), 1u);
  EXPECT_NE(said[0].str().find(L"made later"), std::wstring::npos) << platform::ToUtf8(said[0].str());
}

// Records which files were flushed and which were renamed over an original,
// with a file-system sync that cannot be trusted.
class DistrustedSync : public platform::Env {
 public:
  bool SyncFileSystem(std::wstring_view) override {
    errno = EOPNOTSUPP;
    return false;
  }
  bool SyncFile(platform::File& file) override {
    platform::FileIdentity identity;
    if (file.GetIdentity(identity)) synced.insert(identity.inode);
    return file.Sync();
  }
  bool RenameReplacing(std::wstring_view from, std::wstring_view to) override {
    platform::FileIdentity identity;
    if (platform::GetFileIdentity(from, identity) && EndsWithTmp(from)) {
      ++renamed;
      if (!synced.count(identity.inode)) unsynced.push_back(platform::ToUtf8(to));
    }
    return platform::RenameReplacing(from, to);
  }
  static bool EndsWithTmp(std::wstring_view path) { return path.size() > 4 && path.substr(path.size() - 4) == L".tmp"; }

  std::set<std::uint64_t> synced;
  int renamed = 0;
  std::vector<std::string> unsynced;  // replaced by a content never flushed
};

TEST_F(FileSystemSafetyTest, WhereTheFileSystemSyncCannotBeTrustedEachFileIsFlushedBeforeItReplacesTheOriginal) {
  DistrustedSync env;
  ScratchFolder second;
  std::vector<std::wstring> songs;
  for (const ScratchFolder* folder : {&scratch_, &second})
    for (const bool flac : {false, true}) {
      songs.push_back(*folder / (flac ? L"a.flac" : L"a.mp3"));
      testing_support::WriteFileBytes(songs.back(), Source(flac));
    }
  platform::Env* previous = Meridex::InstallEnvironment(&env);
  Meridex::CSaveBatch batch;
  for (const std::wstring& song : songs) {
    CTags tags;
    ASSERT_TRUE(tags.ReadFile(song).ok);
    tags.SetTitle(L"New");
    ASSERT_TRUE(batch.Add(tags, song).ok);
  }
  const std::vector<FileResult> results = batch.Commit();
  CTags one;
  one.SetTitle(L"Alone");
  const FileResult alone = one.SaveFile(songs[0]);
  Meridex::InstallEnvironment(previous);

  for (const FileResult& result : results) EXPECT_TRUE(result.ok) << platform::ToUtf8(result.message.str());
  EXPECT_TRUE(alone.ok);
  EXPECT_EQ(env.renamed, 5);
  EXPECT_TRUE(env.unsynced.empty()) << env.unsynced.front();
  for (std::size_t i = 1; i < songs.size(); ++i) EXPECT_EQ(TitleByMutagen(songs[i]), "New");
}

}  // namespace
