#include "core/CoverRetriever.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "config/NimbrelConfig.h"
#include "covers/CoverCache.h"
#include "covers/TestPictures.h"
#include "engines/BasicTagsCommonSearchEngine.h"
#include "foundation/FileUtils.h"
#include "nimbrel/SourcePlugin.h"
#include "platform/Env.h"
#include "platform/Event.h"
#include "platform/FileSystem.h"
#include "platform/TextCodec.h"
#include "sources/DllSourcesManager.h"
#include "sources/PluginFolder.h"
#include "sources/SourcesInUse.h"
#include "support/FakeEnv.h"
#include "support/HttpTestServer.h"
#include "support/ProxyEnvironment.h"
#include "support/ScratchFolder.h"
#include "support/plugins/CatalogueControl.h"

namespace {

using testing_support::WriteFileBytes;

const bool kProxyVariablesCleared = testing_support::ClearProxyEnvironment();

// The tagging object as cover retrieval sees it: a stop flag and the register.
class TestContext : public ISearchContext {
 public:
  boost::shared_ptr<CNimbrelSong> FindSong(std::uint32_t) override { return {}; }
  bool StopRequested() const override { return stop.load(); }
  NimbrelOptions Options() const override { return {}; }
  CEngineRegister<CBasicTagsCommonSearchEngine>& BasicEngines() override { return basic; }
  CEngineRegister<CLyricsCommonSearchEngine>& LyricsEngines() override { return lyrics; }
  bool GetCover(const CString&, const CString&, const CString&, CString&, bool, bool) override { return false; }
  // What StopTagging does with the register.
  void Stop() {
    stop = true;
    basic.StopAll();
  }

  std::atomic<bool> stop{false};
  CEngineRegister<CBasicTagsCommonSearchEngine> basic;
  CEngineRegister<CLyricsCommonSearchEngine> lyrics;
};

// Called by the catalogue inside a stalled GetCover_by_asin.
void SignalEntered(void* event) { static_cast<CEvent*>(event)->SetEvent(); }

class CoverRetrieverTest : public ::testing::Test {
 protected:
  CoverRetrieverTest() {
    env_.SetTempFolder(scratch_ / L"temp/", true);
    platform::CreateDirectory(scratch_ / L"temp");
    folder_.Install(L"General", L"amazon");
    config_.WorkingDirectory = folder_.path();
    config_.HttpProxy = L"0";
  }
  ~CoverRetrieverTest() override {
    config_.updateFinished.SetEvent();
    config_.WorkingDirectory = savedFolder_;
  }

  // Loads "amazon" (as cover retrieval would) and hands it its catalogue.
  CBasicTagsDllInterface* LoadAmazon(const std::string& data) {
    EXPECT_TRUE(manager_.LoadSource(L"amazon", kSourceGeneral, folder_.path()));
    CBasicTagsDllInterface* plugin = manager_.GetGeneralInterface(L"amazon");
    EXPECT_NE(plugin, nullptr);
    if (!plugin) return nullptr;
    CString path(scratch_ / L"catalogue.txt");
    WriteFileBytes(path.str(), data);
    EXPECT_EQ(1, plugin->SetProperty(CString(catalogue::kDataFile), &path));
    return plugin;
  }
  std::int32_t Calls(CBasicTagsDllInterface* plugin, const std::wstring& slot) {
    std::int32_t count = -1;
    plugin->GetProperty(CString(catalogue::kCallsPrefix + slot), &count);
    return count;
  }
  std::string Url(const std::string& path) { return server_.Url(path); }
  bool GetCover(const CString& artist, const CString& album, const CString& asin, CString& out, bool abortable,
                bool thumbnail) {
    return retriever_.GetCover(artist, album, asin, out, abortable, thumbnail);
  }

  testing_support::ScratchFolder scratch_;
  testing_support::FakeEnv env_;
  platform::ScopedEnv scopedEnv_{&env_};
  testing_support::PluginFolder folder_;
  testing_support::HttpTestServer server_;
  CNimbrelConfig& config_ = CNimbrelConfig::Instance();
  const CString savedFolder_ = config_.WorkingDirectory;
  CCoverCache covers_{{CString(scratch_ / L"covers/"), CCoverCache::kDefaultMaxBytes, {}}};
  CDllSourcesManager manager_;
  TestContext context_;
  CCoverRetriever retriever_{context_, &covers_, &manager_, &config_};
  const std::string jpeg_ = test_pictures::Make(test_pictures::Kind::kJpeg, 50, 40);
};

TEST_F(CoverRetrieverTest, CachedPicturesNeedNeitherThePluginNorTheUpdate) {
  const CString byAlbum = covers_.MakeCoverPath(L"Artist", L"Album", L"", L"http://127.0.0.1/a.jpg");
  const CString bySize = covers_.MakeCoverPath(L"large", L"B0001", L"", L"http://127.0.0.1/b.jpg");
  WriteFileBytes(byAlbum.str(), jpeg_);
  WriteFileBytes(bySize.str(), jpeg_);
  // An update is running: whoever waited for it would never return.
  config_.updateFinished.ResetEvent();

  CString out;
  EXPECT_TRUE(GetCover(L"Artist", L"Album", L"", out, true, false));
  EXPECT_EQ(byAlbum, out);
  // Missed under artist and album, found under the article number; a
  // thumbnail request takes the large picture.
  EXPECT_TRUE(GetCover(L"Artist", L"Other", L"B0001", out, false, true));
  EXPECT_EQ(bySize, out);
  // No article number and no hit: nothing more is tried.
  out = L"untouched";
  EXPECT_FALSE(GetCover(L"Artist", L"Other", L"", out, false, false));
  EXPECT_FALSE(GetCover(L"", L"", L"", out, false, false));
  EXPECT_EQ(CString(L"untouched"), out);
  EXPECT_FALSE(manager_.IsSourceLoaded(L"amazon", kSourceGeneral));
  EXPECT_EQ(0u, server_.RequestCount());
}

TEST_F(CoverRetrieverTest, PluginIsLoadedOnDemandAndItsAddressDownloaded) {
  server_.ServeText("/img/B0002.jpg", jpeg_, "image/jpeg");
  CString path(scratch_ / L"catalogue.txt");
  WriteFileBytes(path.str(), "asin B0002\t" + Url("/img/B0002.jpg") + "\n");

  // Not loaded before: cover retrieval loads it from the working directory.
  ASSERT_FALSE(manager_.IsSourceLoaded(L"amazon", kSourceGeneral));
  CString out;
  EXPECT_FALSE(GetCover(L"", L"", L"B0002", out, false, false));  // its catalogue is still empty
  ASSERT_TRUE(manager_.IsSourceLoaded(L"amazon", kSourceGeneral));
  CBasicTagsDllInterface* plugin = manager_.GetGeneralInterface(L"amazon");
  ASSERT_EQ(1, plugin->SetProperty(CString(catalogue::kDataFile), &path));

  EXPECT_TRUE(GetCover(L"Artist", L"Album", L"B0002", out, false, false));
  EXPECT_EQ(covers_.MakeCoverPath(L"large", L"B0002", L"", CString(platform::FromUtf8(Url("/img/B0002.jpg")))), out);
  EXPECT_EQ(jpeg_, testing_support::ReadFileBytes(out.str()));
  EXPECT_EQ(1, Calls(plugin, L"CallMethod"));
  // Found in the cache from now on.
  EXPECT_TRUE(GetCover(L"", L"", L"B0002", out, true, false));
  EXPECT_EQ(1, Calls(plugin, L"CallMethod"));
  EXPECT_EQ(1u, server_.RequestCount());
  EXPECT_TRUE(context_.basic.Empty());
}

TEST_F(CoverRetrieverTest, ThumbnailsAskForTheSmallPictureAtEveryJpg) {
  server_.ServeText("/a._SL100_.jpg/b._SL100_.jpg", jpeg_, "image/jpeg");
  server_.ServeText("/a.jpg/b.jpg", "the large one is not wanted", "text/plain");
  LoadAmazon("asin B0003\t" + Url("/a.jpg/b.jpg") + "\n");

  CString out;
  ASSERT_TRUE(GetCover(L"", L"", L"B0003", out, false, true));
  const auto requests = server_.Requests();
  ASSERT_EQ(1u, requests.size());
  EXPECT_EQ("/a._SL100_.jpg/b._SL100_.jpg", requests[0].path);
  EXPECT_EQ(covers_.MakeCoverPath(L"thumbn", L"B0003", L"",
                                  CString(platform::FromUtf8(Url("/a._SL100_.jpg/b._SL100_.jpg")))),
            out);
}

TEST_F(CoverRetrieverTest, AnswersThatAreNoPictureLeaveNothingCached) {
  server_.ServeText("/page.jpg", "<html>no picture here</html>", "image/jpeg");
  LoadAmazon("asin B0004\t" + Url("/page.jpg") + "\nasin B0005\tnot an address at all\nasin B0006\t\n");

  CString out = L"untouched";
  EXPECT_FALSE(GetCover(L"", L"", L"B0004", out, false, false));  // a page instead of a picture
  EXPECT_FALSE(GetCover(L"", L"", L"B0005", out, false, false));  // garbage for an address
  EXPECT_FALSE(GetCover(L"", L"", L"B0006", out, false, false));  // an empty address
  EXPECT_FALSE(GetCover(L"", L"", L"B9999", out, false, false));  // unknown to the plug-in
  EXPECT_EQ(CString(L"untouched"), out);
  for (const wchar_t* asin : {L"B0004", L"B0005", L"B0006"}) {
    CString cached;
    EXPECT_EQ(0, covers_.FindCachedCover(L"large", asin, L"", L"", cached)) << cached.str().c_str();
  }
}

TEST_F(CoverRetrieverTest, AThrowingPluginGivesNoCoverAndKeepsItsException) {
  CBasicTagsDllInterface* plugin = LoadAmazon("asin B0012\t" + Url("/g.jpg") + "\nthrow\n");
  CString out;
  EXPECT_FALSE(GetCover(L"", L"", L"B0012", out, true, false));
  EXPECT_EQ(1, Calls(plugin, L"Connect"));  // it threw there
  EXPECT_TRUE(context_.basic.Empty());
  EXPECT_EQ(0u, manager_.UseLock().SharedHolds());
  EXPECT_EQ(0u, server_.RequestCount());
}

TEST_F(CoverRetrieverTest, NoPluginMeansNoCover) {
  platform::DeleteFile(folder_.path() + L"General/amazon.so");
  CString out;
  EXPECT_FALSE(GetCover(L"Artist", L"Album", L"B0007", out, true, false));
  EXPECT_FALSE(manager_.IsSourceLoaded(L"amazon", kSourceGeneral));
}

TEST_F(CoverRetrieverTest, AbortableCallsAfterAStopAskNothing) {
  server_.ServeText("/c.jpg", jpeg_, "image/jpeg");
  CBasicTagsDllInterface* plugin = LoadAmazon("asin B0008\t" + Url("/c.jpg") + "\n");
  context_.Stop();

  CString out;
  EXPECT_FALSE(GetCover(L"", L"", L"B0008", out, true, false));
  EXPECT_EQ(0, Calls(plugin, L"CallMethod"));
  EXPECT_EQ(0, Calls(plugin, L"Connect"));
  // The host's own calls are not cancellable.
  EXPECT_TRUE(GetCover(L"", L"", L"B0008", out, false, false));
  EXPECT_EQ(1, Calls(plugin, L"CallMethod"));
  EXPECT_TRUE(context_.basic.Empty());
}

TEST_F(CoverRetrieverTest, AStopDuringThePluginCallReachesItsEngine) {
  server_.ServeText("/d.jpg", jpeg_, "image/jpeg");
  CBasicTagsDllInterface* plugin = LoadAmazon("asin B0009\t" + Url("/d.jpg") + "\nstall CallMethod 1\n");
  CEvent entered(false, true);
  catalogue::StallHook hook{&SignalEntered, &entered};
  plugin->SetProperty(CString(catalogue::kStallHook), &hook);

  bool found = true;
  std::thread caller([&] {
    CString out;
    found = GetCover(L"", L"", L"B0009", out, true, false);
  });
  entered.Wait();
  // The call waits inside the plug-in until its engine is stopped.
  EXPECT_FALSE(context_.basic.Empty());
  context_.Stop();
  caller.join();
  EXPECT_FALSE(found);  // the plug-in answered, but after the stop nothing is downloaded
  EXPECT_EQ(0u, server_.RequestCount());
  EXPECT_TRUE(context_.basic.Empty());
}

TEST_F(CoverRetrieverTest, AnUpdateWaitsForAPluginCallInFlight) {
  server_.ServeText("/e.jpg", jpeg_, "image/jpeg");
  CBasicTagsDllInterface* plugin = LoadAmazon("asin B0010\t" + Url("/e.jpg") + "\nstall CallMethod 1\n");
  CEvent entered(false, true);
  catalogue::StallHook hook{&SignalEntered, &entered};
  plugin->SetProperty(CString(catalogue::kStallHook), &hook);

  std::thread caller([&] {
    CString out;
    GetCover(L"", L"", L"B0010", out, true, false);
  });
  entered.Wait();
  NimbrelSettings settings;
  settings.WorkingDirectory = folder_.path();
  std::atomic<bool> unloaded{false};
  std::thread update([&] {
    manager_.PrepareUpdate(settings);
    unloaded = true;
  });
  while (manager_.UseLock().ExclusiveWaiting() == 0 && !unloaded) std::this_thread::yield();
  // The unloading waits while the call is inside the plug-in's code.
  EXPECT_FALSE(unloaded.load());
  EXPECT_TRUE(manager_.IsSourceLoaded(L"amazon", kSourceGeneral));
  context_.Stop();  // the stalled call returns; then the update may go on
  caller.join();
  update.join();
  EXPECT_TRUE(unloaded.load());
  EXPECT_FALSE(manager_.IsSourceLoaded(L"amazon", kSourceGeneral));
}

TEST_F(CoverRetrieverTest, ACallFromInsideASearchDoesNotWaitForTheUpdate) {
  server_.ServeText("/f.jpg", jpeg_, "image/jpeg");
  LoadAmazon("asin B0011\t" + Url("/f.jpg") + "\n");
  // A search holding the plug-ins resolves an article number while an
  // update has been announced: waiting for its end would wait for ever,
  // since the update first waits for this search.
  SourcesInUse search(manager_);
  config_.updateFinished.ResetEvent();
  CString out;
  EXPECT_TRUE(GetCover(L"", L"", L"B0011", out, false, false));
  EXPECT_EQ(1u, manager_.UseLock().SharedHolds());
}

}  // namespace
