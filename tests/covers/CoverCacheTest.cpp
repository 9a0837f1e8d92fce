#include "covers/CoverCache.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <iterator>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "covers/Crc32.h"
#include "covers/TestPictures.h"
#include "foundation/FileUtils.h"
#include "foundation/PathNames.h"
#include "platform/FileSystem.h"
#include "platform/Image.h"
#include "platform/TextCodec.h"
#include "platform/Env.h"
#include "platform/Process.h"
#include "support/FakeEnv.h"
#include "support/HttpTestServer.h"
#include "support/ProcessLog.h"
#include "support/ProxyEnvironment.h"
#include "support/ScratchFolder.h"

namespace {

using test_pictures::Kind;
using testing_support::ReadFileBytes;
using testing_support::WriteFileBytes;

const bool kProxyVariablesCleared = testing_support::ClearProxyEnvironment();

std::vector<CString> FilesIn(const CString& folder) {
  std::vector<CString> files;
  ListFiles(folder, L"*", files);
  return files;
}

bool Logged(const CString& entry) {
  return testing_support::ProcessLogText().find(L"CCoverCache::GetCover: " + entry.str()) != std::wstring::npos;
}

class CoverCacheTest : public ::testing::Test {
 protected:
  void SetUp() override { testing_support::ProcessLogText(); }  // the log is open before the first entry

  CCoverCache::Options Options() { return {CString(scratch_ / L"covers"), CCoverCache::kDefaultMaxBytes, {}}; }
  CString Url(const std::string& path) { return CString(platform::FromUtf8(server_.Url(path))); }

  testing_support::ScratchFolder scratch_;
  testing_support::HttpTestServer server_;
  const std::string jpeg_ = test_pictures::Make(Kind::kJpeg, 50, 40);
};

TEST(CoverCacheNames, ChecksumsAndNameParts) {
  EXPECT_EQ(0xCBF43926u, nimbrel::ComputeCrc32("123456789", 9));
  EXPECT_EQ(0x414FA339u, nimbrel::ComputeCrc32("The quick brown fox jumps over the lazy dog", 43));

  EXPECT_EQ(CString(L"CBF43926"), CCoverCache::UrlKey(L"123456789"));
  EXPECT_EQ(CString(L"A4139E"), CCoverCache::UrlKey(L"http://127.0.0.1/35.jpg"));  // no leading zeros
  EXPECT_EQ(CString(L"D3D99E8B"), CCoverCache::UrlKey(L"\u0141"));  // U+0141 counts as 0x41, "A"
  EXPECT_EQ(CString(L"2B315A41"), CCoverCache::UrlKey(L"\U0001F600"));  // pair D83D DE00: bytes 3D 00
  EXPECT_EQ(CString(L"NOCRC"), CCoverCache::UrlKey(CString(std::wstring(1, static_cast<wchar_t>(0x110000)))));

  EXPECT_EQ(CString(L"AC DC_The Band_"), CCoverCache::CoverName(L"AC/DC", L"The_Band", L""));
  EXPECT_EQ(CString(L"Simon and Garfunkel_Vol  2 _Björk Sigur Rós"),
            CCoverCache::CoverName(L"Simon & Garfunkel", L"Vol: 2?", L"Björk Sigur Rós"));
  // A leading "." would hide the file; "~" cannot occur in a name otherwise.
  EXPECT_EQ(CString(L"~.38 Special_Rockin' _"), CCoverCache::CoverName(L".38 Special", L"Rockin'~", L""));
  EXPECT_EQ(CString(L"_.38_"), CCoverCache::CoverName(L"", L".38", L""));
}

TEST_F(CoverCacheTest, DownloadedPicturesAreFoundAgainWithoutAnyRequest) {
  server_.ServeText("/x.y/a.jpg", jpeg_, "image/jpeg");
  server_.ServeText("/img/cover", test_pictures::Make(Kind::kPng, 61, 17), "image/png");
  const CString url = Url("/x.y/a.jpg"), bare = Url("/img/cover");
  CString expected, out, bareOut;
  {
    CCoverCache cache(Options());
    expected = cache.Folder() + L"Artist_Album__" + CCoverCache::UrlKey(url) + L".jpg";
    EXPECT_EQ(expected, cache.MakeCoverPath(L"Artist", L"Album", L"", url));
    EXPECT_EQ(CCoverCache::RET_FOUND_BY_URL, cache.GetCover(L"Artist", L"Album", L"", out, url, L"", false));
    EXPECT_EQ(expected, out);
    EXPECT_EQ(jpeg_, ReadFileBytes(out.str()));
    // Without extension: stored in JPEG form as name + ".jpg" (a dot in a key is no extension).
    ASSERT_EQ(CCoverCache::RET_FOUND_BY_URL, cache.GetCover(L"Vol. 1", L"B", L"", bareOut, bare, L"", false));
    EXPECT_EQ(cache.MakeCoverPath(L"Vol. 1", L"B", L"", bare) + L".jpg", bareOut);
    EXPECT_EQ(platform::ImageFormat::kJpeg, platform::RecogniseImageFormat(ReadFileBytes(bareOut.str())));
    int width = 0, height = 0;
    EXPECT_TRUE(platform::ImagePixelSize(bareOut.str(), width, height));
    EXPECT_EQ(61 * 17, width * height);
    EXPECT_EQ((std::vector<CString>{out, bareOut}), FilesIn(cache.Folder()));
  }
  CCoverCache later(Options());  // a later run
  CString again, bareAgain;
  EXPECT_EQ(CCoverCache::RET_FOUND_LOCALLY, later.GetCover(L"Artist", L"Album", L"", again, url, L"", false));
  EXPECT_EQ(CCoverCache::RET_FOUND_LOCALLY, later.GetCover(L"Vol. 1", L"B", L"", bareAgain, bare, L"", false));
  EXPECT_EQ(out, again);
  EXPECT_EQ(bareOut, bareAgain);
  EXPECT_EQ(2u, server_.RequestCount());
  EXPECT_TRUE(Logged(L"RET_FOUND_BY_URL for Artist - Album -  - " + url + L" => " + expected));
  EXPECT_TRUE(Logged(L"RET_FOUND_LOCALLY for Artist - Album -  - " + url + L" => " + expected));
}

TEST_F(CoverCacheTest, FailedDownloadsLeaveNothingAndAreNotRepeated) {
  // (Which broken pictures the image checks refuse is tested with the image class.)
  const std::string png = test_pictures::Make(Kind::kPng);
  server_.ServeText("/page.jpg", "<html>Sorry</html>", "text/html");
  server_.ServeText("/cut", png.substr(0, png.size() - 20), "image/png");
  server_.ServeText("/empty.png", "", "image/png");
  server_.ServeText("/bomb.png", test_pictures::PngDeclaring(100000, 100000), "image/png");
  server_.DropMidBody("/dropped.jpg", jpeg_.size(), jpeg_.substr(0, jpeg_.size() / 2));
  const char* paths[] = {"/missing.jpg", "/page.jpg", "/cut", "/empty.png", "/bomb.png", "/dropped.jpg"};
  CCoverCache cache(Options());
  for (int round = 0; round < 2; ++round) {
    for (const char* path : paths) {
      CString out = L"untouched";
      EXPECT_EQ(CCoverCache::RET_NOT_FOUND, cache.GetCover(L"K", L"L", L"", out, Url(path), L"", false)) << path;
      EXPECT_EQ(0, cache.FindCachedCover(L"K", L"L", L"", Url(path), out)) << path;
      EXPECT_EQ(CString(L"untouched"), out);
    }
  }
  EXPECT_EQ(std::size(paths), server_.RequestCount());  // the second round asked nothing
  EXPECT_TRUE(FilesIn(cache.Folder()).empty());
  EXPECT_TRUE(FilesIn(cache.TempFolder()).empty());
  EXPECT_TRUE(Logged(L"r FALSE for K - L -  - " + Url("/dropped.jpg") + L" => untouched"));
}

TEST_F(CoverCacheTest, LookupsWithoutAddressMatchByPrefixAndPreferLargePictures) {
  CCoverCache cache(Options());
  const CString stored = cache.MakeCoverPath(L"Artist", L"Best", L"Of Foo", L"http://h/1.jpg");
  WriteFileBytes(stored.str(), jpeg_);
  CString out;
  EXPECT_EQ(1, cache.FindCachedCover(L"Artist", L"Best", L"", L"", out));
  EXPECT_EQ(1, cache.FindCachedCover(L"Artist", L"Best", L"Of", L"", out));
  EXPECT_EQ(stored, out);
  EXPECT_EQ(0, cache.FindCachedCover(L"Artist", L"Best", L"Of Foo", L"http://h/2.jpg", out));
  // "_" separates the keys, so a shorter key2 does not reach into a longer one.
  EXPECT_EQ(0, cache.GetCover(L"Artist", L"Be", L"", out, L"", L"", false));
  EXPECT_TRUE(Logged(L"FALSE for Artist - Be -  -  => " + stored));

  const CString thumb = cache.MakeCoverPath(L"thumbn", L"B0001", L"", L"http://h/t.jpg");
  const CString large = cache.MakeCoverPath(L"large", L"B0001", L"", L"http://h/l.jpg");
  EXPECT_EQ(0, cache.GetCover(L"thumbn", L"B0001", L"", out, L"", L"", false));
  EXPECT_TRUE(Logged(L"RET_NOT_FOUND for thumbn - B0001 -  -  => "));
  WriteFileBytes(thumb.str(), jpeg_);
  EXPECT_EQ(1, cache.GetCover(L"thumbn", L"B0001", L"", out, L"", L"", false));
  EXPECT_EQ(thumb, out);
  WriteFileBytes(large.str(), jpeg_);
  EXPECT_EQ(1, cache.GetCover(L"thumbn", L"B0001", L"", out, L"", L"", false));
  EXPECT_TRUE(Logged(L"r TRUE for thumbn - B0001 -  -  => " + large));
}

// An artist whose name begins with "." is found by name and trimmed like any other.
TEST_F(CoverCacheTest, NamesBeginningWithADotAreNeitherHiddenNorLost) {
  CCoverCache::Options options = Options();
  options.maxBytes = 10;
  const CString url = L"http://h/38.jpg";
  CString stored, out;
  {
    CCoverCache cache(options);
    stored = cache.MakeCoverPath(L".38 Special", L"Rockin' into the Night", L"", url);
    EXPECT_EQ(GetFileNameOf(stored).Left(2), L"~.");
    WriteFileBytes(stored.str(), jpeg_);
    EXPECT_EQ(CCoverCache::RET_FOUND_LOCALLY,
              cache.GetCover(L".38 Special", L"Rockin' into the Night", L"", out, L"", L"", false));
    EXPECT_EQ(stored, out);
    EXPECT_EQ(CCoverCache::RET_FOUND_LOCALLY, cache.GetCover(L".38 Special", L"Rockin' into the Night", L"", out, url,
                                                             L"", false));
    EXPECT_EQ(0u, server_.RequestCount());
  }
  EXPECT_FALSE(platform::PathExists(stored.str()));  // beyond the budget of 10 bytes
}

// Each process keeps its downloads and copies in its own folder under "tmp".
TEST_F(CoverCacheTest, UnloadRemovesOnlyThisProcesssTemporaryFiles) {
  CCoverCache::Options options = Options();
  const CString other = options.folder + L"/tmp/1/";
  CString own;
  {
    CCoverCache cache(options);
    own = cache.TempFolder();
    EXPECT_EQ(cache.TempFolder(), nimbrel::FormatWide(L"%stmp/%X/", cache.Folder().str(), platform::CurrentProcessId()));
    ASSERT_TRUE(platform::CreateDirectory(other.str()));
    WriteFileBytes((other + L"download").str(), "in use elsewhere");
    WriteFileBytes((cache.Folder() + L"Artist_Album__1.jpg").str(), jpeg_);
    CString copy;
    ASSERT_TRUE(cache.MakeTempCopy(cache.Folder() + L"Artist_Album__1.jpg", copy));
    EXPECT_EQ(cache.TempFolder(), GetParentFolder(copy));
  }
  EXPECT_EQ(ReadFileBytes((other + L"download").str()), "in use elsewhere");
  EXPECT_FALSE(platform::PathExists(own.str()));
  // Once no process has a folder left, "tmp" goes too.
  platform::DeleteFile((other + L"download").str());
  platform::RemoveDirectory(other.str());
  { CCoverCache again(options); }
  EXPECT_FALSE(platform::PathExists((options.folder + L"/tmp").str()));
}

// A folder of the cache planted as a link, or open to others, turns the
// cache off: nothing is written there and nothing is emptied.
TEST_F(CoverCacheTest, RefusedFoldersTurnTheCacheOff) {
  testing_support::ScratchFolder victim;
  WriteFileBytes(victim / L"photo.jpg", "mine");
  server_.ServeText("/a.jpg", jpeg_, "image/jpeg");
  CCoverCache::Options options = Options();
  ASSERT_TRUE(platform::CreateDirectory(options.folder.str()));
  std::filesystem::create_directory_symlink(platform::ToNativeName(victim.path()),
                                            platform::ToNativeName((options.folder + L"/tmp").str()));
  {
    CCoverCache cache(options);
    EXPECT_FALSE(cache.IsEnabled());
    CString out = L"untouched", copy;
    EXPECT_EQ(CCoverCache::RET_NOT_FOUND, cache.GetCover(L"A", L"B", L"", out, Url("/a.jpg"), L"", false));
    EXPECT_FALSE(cache.MakeTempCopy(CString(victim / L"photo.jpg"), copy));
    EXPECT_EQ(0, cache.FindCachedCover(L"A", L"B", L"", L"", out));
    EXPECT_EQ(out, L"untouched");
  }
  EXPECT_EQ(FilesIn(CString(victim.path())), std::vector<CString>{CString(victim / L"photo.jpg")});
  EXPECT_EQ(0u, server_.RequestCount());
  EXPECT_NE(testing_support::ProcessLogText().find(L"ERR: AssurePrivateDir: '" + options.folder.str() + L"/tmp/' is a symbolic link"),
            std::wstring::npos);

  // The per-user temporary folder itself planted as a link: no cache folder at all.
  testing_support::FakeEnv env;
  platform::ScopedEnv scoped(&env);
  std::filesystem::create_directory_symlink(platform::ToNativeName(victim.path()),
                                            platform::ToNativeName(scratch_ / L"nimbrel-0"));
  env.SetTempFolder(scratch_ / L"nimbrel-0/", true);
  CCoverCache cache;
  EXPECT_FALSE(cache.IsEnabled());
  EXPECT_FALSE(platform::PathExists(victim / L"Nimbrel"));
}

// Complaints of the picture decoders about a corrupt picture are debug entries of our log.
TEST_F(CoverCacheTest, DecoderComplaintsAreLoggedAtDebugLevel) {
  CCoverCache cache(Options());
  std::string png = test_pictures::Make(Kind::kPng, 16, 16);
  png[png.find("IDAT") + 8] ^= 0x55;
  CString path = cache.Folder() + L"noextension";
  WriteFileBytes(path.str(), png);
  EXPECT_FALSE(CCoverCache::NormaliseExtension(path));
  EXPECT_NE(testing_support::ProcessLogText().find(L" DBG: CCoverCache: picture decoder: gd-png"), std::wstring::npos);
}

TEST_F(CoverCacheTest, OverlongKeysAreShortenedConsistently) {
  server_.ServeText("/long.jpg", jpeg_, "image/jpeg");
  server_.ServeText("/long", jpeg_, "image/jpeg");
  const CString url = Url("/long.jpg");
  const CString base(std::wstring(150, L'\u00E9'));  // 300 bytes of UTF-8
  CCoverCache cache(Options());
  for (const CString& address : {url, url + L"?" + CString(std::wstring(300, L'q')), Url("/long")}) {
    for (const CString& key2 : {base + L"1", base + L"2"}) {
      CString out, again, found;
      ASSERT_EQ(CCoverCache::RET_FOUND_BY_URL, cache.GetCover(L"Ärtist", key2, L"", out, address, L"", false));
      EXPECT_LE(platform::ToUtf8(GetFileNameOf(out).str()).size(), CCoverCache::kMaxFileNameBytes);
      EXPECT_EQ(CCoverCache::RET_FOUND_LOCALLY, cache.GetCover(L"Ärtist", key2, L"", again, address, L"", false));
      EXPECT_EQ(1, cache.FindCachedCover(L"Ärtist", key2, L"", address, found));
      EXPECT_EQ(out, again);
      EXPECT_EQ(out, found);
    }
  }
  EXPECT_EQ(6u, FilesIn(cache.Folder()).size());  // no two keys collided
  EXPECT_EQ(6u, server_.RequestCount());
}

TEST_F(CoverCacheTest, DestructionTrimsNewestFilesBeyondTheBudget) {
  std::map<CString, std::int64_t> created = {{L"a", 1}, {L"b", 3}, {L"c", 2}, {L"d", 4}};  // "e": unreadable
  CCoverCache::Options options = Options();
  options.maxBytes = 1000;
  options.creationTime = [&created](const CString& path, std::int64_t& seconds) {
    const auto it = created.find(GetFileNameOf(path));
    if (it == created.end()) return false;
    seconds = it->second;
    return true;
  };
  const CString folder = options.folder + L"/";
  {
    CCoverCache cache(options);
    for (const auto& [name, size] : std::map<CString, std::size_t>{
             {L"a", 400}, {L"b", 400}, {L"c", 400}, {L"d", 100}, {L"e", 50}, {L".hidden", 5000}}) {
      WriteFileBytes((folder + name).str(), std::string(size, 'x'));
    }
  }
  // e 50, a 450, c 850; b would make 1250: deleted; d 950.
  EXPECT_EQ((std::vector<CString>{folder + L"a", folder + L"c", folder + L"d", folder + L"e"}), FilesIn(folder));
  EXPECT_TRUE(platform::PathExists((folder + L".hidden").str()));
  EXPECT_FALSE(platform::PathExists((folder + L"tmp").str()));
}

TEST_F(CoverCacheTest, ConcurrentRequestsAgree) {
  constexpr int kAddresses = 6;  // every third answers 404; odd ones have no extension
  auto path = [](int i) { return "/c/" + std::to_string(i) + (i % 2 ? "" : ".jpg"); };
  for (int i = 0; i < kAddresses; ++i)
    if (i % 3 != 2) server_.ServeText(path(i), jpeg_, "image/jpeg");
  CCoverCache cache(Options());
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      for (int k = 0; k < 3 * kAddresses; ++k) {
        const int i = (k + t) % kAddresses;
        CString out;
        const std::int32_t result =
            cache.GetCover(L"Art", CString(std::to_wstring(i)), L"", out, Url(path(i)), L"", false);
        platform::ImageHeader header;
        if (i % 3 == 2 ? result != CCoverCache::RET_NOT_FOUND : !platform::ProbeImageFile(out.str(), header))
          ++failures;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(0, failures.load());
  EXPECT_EQ(4u, FilesIn(cache.Folder()).size());
}

}  // namespace
