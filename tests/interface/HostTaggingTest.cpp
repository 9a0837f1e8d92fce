// libnimbrel driven as a host drives it: loaded with dlopen, reached only
// through its exported functions and the tagging interface. The plug-ins
// come from an update list on loopback; the connectivity probe of the update
// goes to the same loopback server, named as the proxy. (The searches with
// the tag-cache server are tested in process, tests/core.)
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "meridex/Tags.h"
#include "nimbrel/INimbrel.h"
#include "nimbrel/NimbrelSettings.h"
#include "platform/DynamicLibrary.h"
#include "platform/Env.h"
#include "platform/TextCodec.h"
#include "sources/PluginFolder.h"
#include "support/HttpTestServer.h"

namespace {

using testing_support::HttpResponse;

// The picture library that libnimbrel uses stays loaded until the process
// ends, as in a host that uses it too: its codecs allocate in their
// initialisers and free nothing when unloaded. Opened by the test, not at
// start-up, and never closed.
bool KeepPictureLibrary() {
  static platform::DynamicLibrary* gd = [] {
    auto* library = new platform::DynamicLibrary;
    library->Open(L"libgd.so.3");
    return library;
  }();
  return gd->IsOpen();
}

CString Wide(const std::string& text) { return CString(platform::FromUtf8(text)); }

TEST(HostTagging, UpdatesPluginsTagsSongsAndLetsGo) {
  EXPECT_TRUE(KeepPictureLibrary());
  testing_support::HttpTestServer server;
  server.Serve("/", HttpResponse{});  // the connectivity probe, through the "proxy"
  server.ServeFile("/dl/Alpha.so", platform::ToUtf8(testing_support::PluginFolder::ModulePath(L"Alpha")));
  server.ServeText("/update.xml", "<?xml version=\"1.0\"?>\n<List><General><DLL Name=\"Alpha\" Version=\"1.2.0.7\">"
                                  "<DLLURL>" + server.Url("/dl/Alpha.so") + "</DLLURL></DLL></General></List>");

  // In the test's own temporary folder: the library may use the working
  // folder until the process ends (see LibraryLoadTest).
  const std::string temp = platform::ToUtf8(platform::Env::Current()->TempFolder());
  const std::filesystem::path work = temp + "host-work", logs = temp + "host-logs";
  std::filesystem::remove_all(work);
  std::filesystem::create_directories(work);

  platform::DynamicLibrary library;
  std::wstring error;
  ASSERT_TRUE(library.Open(platform::FromUtf8(NIMBREL_LIBRARY_PATH), &error)) << platform::ToUtf8(error);
  using Initialise = void (*)(const NimbrelSettings&);
  using NewInstance = INimbrel* (*)();
  auto initialise = reinterpret_cast<Initialise>(library.Symbol("_Z17InitialiseNimbrelRK15NimbrelSettings"));
  auto newInstance = reinterpret_cast<NewInstance>(library.Symbol("_Z18NewNimbrelInstancev"));
  ASSERT_NE(nullptr, initialise);
  ASSERT_NE(nullptr, newInstance);

  NimbrelSettings settings;
  settings.UpdateUrl = Wide(server.Url("/update.xml"));
  settings.WorkingDirectory = Wide(work.string());
  settings.LogFolder = Wide(logs.string());
  settings.TraceLevel = L"Info";
  settings.HttpProxy = Wide(server.HostPort());
  // No tag-cache server: its client's workers would outlive the test (the
  // library stays loaded until the process ends) with their TLS state.
  settings.TagCacheHost = L"";
  initialise(settings);

  INimbrel* nimbrel = newInstance();
  ASSERT_NE(nullptr, nimbrel);
  NimbrelOptions options;
  options.SearchCover = false;
  options.SearchLyrics = false;
  options.OverwritePolicy = 2;
  options.SuccessCriterion = 0;
  nimbrel->SetOptions(options);
  // The test plug-in knows an album for every artist, holding "Known song".
  std::vector<unsigned> ids;
  for (const wchar_t* artist : {L"Host artist one", L"Host artist two", L"Host artist three"}) {
    Meridex::CTags tags;
    tags.AddArtist(artist, false);
    tags.SetTitle(L"Known song");
    tags.SetComment(L"kept as it is");
    ids.push_back(nimbrel->AddSong(tags, false));  // the first waits for the update and the loading
    ASSERT_NE(0u, ids.back());
  }
  std::vector<unsigned> finished;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (nimbrel->GetFinishedSongs(ids, finished) < ids.size() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::yield();  // a host polls
  }
  ASSERT_EQ(finished, ids);
  for (std::size_t i = 0; i < ids.size(); ++i) {
    Meridex::CTags out;
    ASSERT_TRUE(nimbrel->GetSongTags(ids[i], out, true));
    CString album, comment;
    out.GetAlbum(album);
    out.GetComment(comment);
    EXPECT_EQ(album.str().rfind(L"Album of Host artist", 0), 0u) << album.str().size();
    EXPECT_EQ(comment, L"kept as it is");
    EXPECT_FALSE(nimbrel->GetSongTags(ids[i], out, true));
  }
  EXPECT_TRUE(std::filesystem::exists(work / "General" / "Alpha.so"));  // installed by the update
  delete nimbrel;
  library.Close();
  // Only loopback was asked: the probe (through the proxy), the list and the
  // plug-in.
  for (const auto& request : server.Requests()) {
    EXPECT_TRUE(request.target.rfind("/", 0) == 0 || request.target.rfind("http://www.", 0) == 0) << request.target;
  }
}

}  // namespace
