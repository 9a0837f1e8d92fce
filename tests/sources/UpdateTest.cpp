// The plug-in updater against update lists and plug-in modules served on loopback.
#include "sources/Update.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <thread>

#include "PluginFolder.h"
#include "platform/Process.h"
#include "platform/TextCodec.h"
#include "sources/DllSources.h"
#include "support/FakeEnv.h"
#include "support/HttpTestServer.h"
#include "support/ProcessLog.h"
#include "support/ProxyEnvironment.h"

namespace {

using testing_support::HttpTestServer;
using testing_support::PluginFolder;
using testing_support::ProcessLogText;
using Files = std::map<std::string, std::string>;

const bool kProxyVariablesCleared = testing_support::ClearProxyEnvironment();

// Small files as they are, modules by size and hash, so that failures stay readable.
std::string Content(const std::wstring& path) {
  const std::string bytes = testing_support::ReadFileBytes(path);
  if (bytes.size() <= 1024) return bytes;
  return std::to_string(bytes.size()) + " bytes #" + std::to_string(std::hash<std::string>()(bytes));
}
std::string Module(const wchar_t* name) { return Content(PluginFolder::ModulePath(name)); }

// Every file (its Content) and folder ("/") below `folder`, by relative path.
Files Snapshot(const std::wstring& folder) {
  namespace fs = std::filesystem;
  Files files;
  const fs::path root(platform::ToUtf8(folder));
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    files[entry.path().lexically_relative(root).string()] =
        entry.is_directory() ? "/" : Content(platform::FromUtf8(entry.path().string()));
  }
  return files;
}

// Whether no other thread holds the update lock (left as it was).
bool UpdateLockIsFree() {
  if (!CUpdate::UpdateLock().TryLock()) return false;
  CUpdate::UpdateLock().Unlock();
  return true;
}

class UpdateTest : public ::testing::Test {
 protected:
  UpdateTest() {
    env_.SetConnectivityProbeHosts({platform::FromUtf8(server_.HostPort())});
    update_.SetParameters(Url("/list.xml"), work_ + L"deeper", L"");
    for (const wchar_t* module : {L"Alpha", L"Alpha_v1_3", L"Beta", L"Verse", L"Broken"}) {
      server_.ServeFile("/dl/" + platform::ToUtf8(module) + ".so", platform::ToUtf8(PluginFolder::ModulePath(module)));
    }
  }

  std::wstring Url(const std::string& path) const { return platform::FromUtf8(server_.Url(path)); }
  std::wstring W() const { return update_.GetWorkingDirectory().str(); }
  std::string Dll(const std::string& name, const std::string& version, const std::string& path,
                  const std::string& more = "") const {
    return "<DLL Name=\"" + name + "\" Version=\"" + version + "\"><DLLURL> " + server_.Url(path) + " </DLLURL>" +
           more + "</DLL>";
  }
  void ServeList(const std::string& general, const std::string& more = "") {
    server_.ServeText("/list.xml", "<?xml version=\"1.0\"?>\n<List><General>" + general + "</General>" + more +
                                       "</List>");
  }
  void Install(const std::wstring& kind, const wchar_t* module, const std::wstring& name) const {
    ASSERT_TRUE(platform::CopyFile(PluginFolder::ModulePath(module), W() + kind + L"/" + name + L".so", false));
  }
  // Methods and targets of the requests since the last call.
  std::vector<std::string> TakeRequests() {
    std::vector<std::string> taken;
    for (const auto& request : server_.Requests()) taken.push_back(request.method + " " + request.target);
    server_.ClearRequests();
    return taken;
  }
  void MarkLog() { logMark_ = ProcessLogText().size(); }
  bool Logged(const std::wstring& entry) const { return ProcessLogText().find(entry, logMark_) != std::wstring::npos; }

  HttpTestServer server_;
  testing_support::FakeEnv env_;
  platform::ScopedEnv scopedEnv_{&env_};
  testing_support::ScratchFolder scratch_;
  const std::wstring work_ = scratch_ / L"work/";
  CUpdate update_;
  std::size_t logMark_ = 0;
};

TEST_F(UpdateTest, FollowsTheListAndWritesSourcesXmlExactly) {
  EXPECT_EQ(W(), work_ + L"deeper/");
  Install(L"General", L"Alpha", L"Alpha");  // 1.2.0.7, listed newer
  Install(L"General", L"Beta", L"Beta");    // 2.0.1.15, listed older
  Install(L"General", L"Verse", L"Verse");  // listed under Lyrics
  Install(L"General", L"Beta", L"NoUrl");   // its entry lacks a DLLURL
  server_.DropMidBody("/dl/Missing.so", 5000, "partial");
  ServeList(Dll(" Alpha ", "1.3.0.0", "/dl/Alpha_v1_3.so",
                "<Priority> 5 </Priority><DLLLocales><DLLLocale> en-GB </DLLLocale><Other>Qu\xE9" "bec</Other>"
                "<DLLLocale> </DLLLocale><DLLLocale>a&amp;b</DLLLocale></DLLLocales>") +
                Dll("Beta", "2.0.1.9", "/x", "<Priority>-3x</Priority>") +
                "<DLL Name=\"NoUrl\" Version=\"9\"/><DLL Name=\"NoVersion\"><DLLURL>" + server_.Url("/x") +
                "</DLLURL></DLL><DLL Version=\"1\"><DLLURL>" + server_.Url("/x") + "</DLLURL></DLL>",
            "<General>" + Dll("Second", "1", "/x") + "</General><ArtistInfo>" + Dll("Artist", "1", "/x") +
                "</ArtistInfo><Lyrics>" + Dll("Verse", "1.0.0.0", "/dl/Verse.so?a=1&amp;b=2") +
                Dll("Missing", "1", "/dl/Missing.so") + "</Lyrics>");
  const Files updated{
      {"ArtistInfo", "/"}, {"General", "/"}, {"General/Alpha.so", Module(L"Alpha_v1_3")},
      {"General/Beta.so", Module(L"Beta")}, {"Lyrics", "/"}, {"Lyrics/Verse.so", Module(L"Verse")},
      {"Sources.xml",
       "<?xml version=\"1.0\" encoding=\"iso-8859-1\" ?>\n<SourcesInfo>\n\t<General>\n"
       "\t\t<DLL Name=\"Alpha\" >\n\t\t\t<DLLLocales>\n\t\t\t\t<DLLLocale>en-GB</DLLLocale>\n"
       "\t\t\t\t<DLLLocale>Qu\xE9" "bec</DLLLocale>\n\t\t\t\t<DLLLocale>a&amp;b</DLLLocale>\n\t\t\t</DLLLocales>\n"
       "\t\t\t<Priority>5</Priority>\n\t\t</DLL>\n"
       "\t\t<DLL Name=\"Beta\" >\n\t\t\t<DLLLocales/>\n\t\t\t<Priority>-3</Priority>\n\t\t</DLL>\n\t</General>\n"
       "\t<Lyrics>\n\t\t<DLL Name=\"Verse\" >\n\t\t\t<DLLLocales/>\n\t\t\t<Priority>0</Priority>\n\t\t</DLL>\n"
       "\t</Lyrics>\n\t<ArtistInfo/>\n</SourcesInfo>"}};
  // The second time everything is current; only the failed download is tried again.
  for (const wchar_t* counts : {L"deleted:3, downloaded:2, failed:1", L"deleted:0, downloaded:0, failed:1"}) {
    MarkLog();
    ASSERT_TRUE(update_.Update());
    EXPECT_TRUE(Logged(L"CUpdate::Update: Start update. Url=" + Url("/list.xml")));
    EXPECT_TRUE(Logged(L"CUpdate::DoUpdateSources: Update finished: " + std::wstring(counts)));
    EXPECT_EQ(Snapshot(W()), updated);  // nothing left of the failed download
  }
  EXPECT_EQ(TakeRequests(), (std::vector<std::string>{"HEAD /", "GET /list.xml", "GET /dl/Alpha_v1_3.so",
                                                      "GET /dl/Verse.so?a=1&amp;b=2", "GET /dl/Missing.so", "HEAD /",
                                                      "GET /list.xml", "GET /dl/Missing.so"}));

  // A list without Lyrics withdraws every lyrics plug-in. A download that is
  // no module is kept and listed; the registry refuses it and loads the rest.
  ServeList(Dll("Beta", "2.0", "/x") + Dll("Broken", "1", "/dl/Broken.so"));
  ASSERT_TRUE(update_.Update());
  EXPECT_EQ(Snapshot(W()),
            (Files{{"ArtistInfo", "/"}, {"General", "/"}, {"General/Beta.so", Module(L"Beta")},
                   {"General/Broken.so", Module(L"Broken")}, {"Lyrics", "/"},
                   {"Sources.xml",
                    "<?xml version=\"1.0\" encoding=\"iso-8859-1\" ?>\n<SourcesInfo>\n\t<General>\n"
                    "\t\t<DLL Name=\"Beta\" >\n\t\t\t<DLLLocales/>\n\t\t\t<Priority>0</Priority>\n\t\t</DLL>\n"
                    "\t\t<DLL Name=\"Broken\" >\n\t\t\t<DLLLocales/>\n\t\t\t<Priority>0</Priority>\n\t\t</DLL>\n"
                    "\t</General>\n\t<Lyrics/>\n\t<ArtistInfo/>\n</SourcesInfo>"}}));
  MarkLog();
  EXPECT_EQ(CDllSources(L"General").LoadSources(W()), 1u);
  EXPECT_TRUE(Logged(L"CDllSources::LoadSource: Failed loading " + W() + L"General/Broken.so GetLastError():"));
}

TEST_F(UpdateTest, NamesThatCouldLeaveTheKindFolderAreRefused) {
  testing_support::WriteFileBytes(scratch_ / L"x.so", "victim");
  ASSERT_TRUE(platform::CreateDirectory(W() + L"General/a"));
  // As written in the list, and as logged (the backslash escapes, controls are masked).
  const std::vector<std::pair<std::string, std::string>> unsafe{
      {"../../x", "../../x"}, {"a/b", "a/b"}, {platform::ToUtf8(scratch_ / L"x"), platform::ToUtf8(scratch_ / L"x")},
      {"a\\\\b", "a\\b"}, {" \t ", ""}, {"..", ".."}, {".", "."}, {".hidden", ".hidden"}, {"x\ny", "x?y"}};
  std::string general;
  for (const auto& name : unsafe) general += Dll(name.first, "1", "/dl/Alpha.so");
  ServeList(general + Dll("Good", "1", "/dl/Beta.so"));
  Files expected = Snapshot(scratch_.path());

  MarkLog();
  ASSERT_TRUE(update_.Update());
  EXPECT_EQ(TakeRequests(), (std::vector<std::string>{"HEAD /", "GET /list.xml", "GET /dl/Beta.so"}));
  for (const auto& name : unsafe) {
    EXPECT_TRUE(Logged(L"CUpdate::ParseAvailableSources: DLL refused, its name is not a plain file name: [" +
                       platform::FromUtf8(name.second) + L"] in General\r\n"))
        << name.second;
  }
  expected["work/deeper/General/Good.so"] = Module(L"Beta");
  expected["work/deeper/Sources.xml"] =
      "<?xml version=\"1.0\" encoding=\"iso-8859-1\" ?>\n<SourcesInfo>\n\t<General>\n"
      "\t\t<DLL Name=\"Good\" >\n\t\t\t<DLLLocales/>\n\t\t\t<Priority>0</Priority>\n\t\t</DLL>\n\t</General>\n"
      "\t<Lyrics/>\n\t<ArtistInfo/>\n</SourcesInfo>";
  EXPECT_EQ(Snapshot(scratch_.path()), expected);

  // Refused again where the file is written, whoever built the record: the
  // file at the would-be destination is neither written nor deleted.
  for (const auto& [kind, name] : {std::pair{L"General", L"../../x"}, {L"../General", L"Good"}, {L"General", L""}}) {
    SourceInfo source;
    source.kind = kind;
    source.name = name;
    source.location = Url("/dl/Alpha.so");
    EXPECT_FALSE(update_.DownloadSource(source));
  }
  EXPECT_TRUE(
      Logged(L"CUpdate::DownloadSource: DLL refused, its name is not a plain file name: [Good] in [../General]"));
  EXPECT_EQ(server_.RequestCount(), 0u);
  EXPECT_EQ(Snapshot(scratch_.path()), expected);
}

TEST_F(UpdateTest, FailuresBeforeTheListIsKnownTouchNothing) {
  Install(L"General", L"Alpha", L"Alpha");
  testing_support::WriteFileBytes(W() + L"Sources.xml", "previous");
  const Files before = Snapshot(scratch_.path());
  const auto fails = [&](const std::wstring& logged) {
    MarkLog();
    EXPECT_FALSE(update_.Update());
    EXPECT_TRUE(Logged(logged)) << platform::ToUtf8(logged);
    EXPECT_EQ(Snapshot(scratch_.path()), before);
  };
  std::string deep;
  for (int i = 0; i < 1000; ++i) deep += "<General>";
  for (const std::string& body : {std::string(), std::string("plain text"), std::string("<List / >"), deep}) {
    server_.ServeText("/list.xml", body);
    fails(L"CUpdate::GetAvailableSources: Update failed: invalid XML");
  }
  server_.Serve("/list.xml", {404, "Not Found", {}, "<List><General/></List>"});
  fails(L"CUpdate::GetAvailableSources: Update failed: config (XML) file missing.");
  server_.ServeHuge("/list.xml", (64ull << 20) + 1);  // more than a text download may hold
  fails(L"CUpdate::GetAvailableSources: Update failed: config (XML) file missing.");

  const std::wstring closed = platform::FromUtf8(HttpTestServer().HostPort());
  env_.SetConnectivityProbeHosts({closed});
  update_.SetParameters(Url("/list.xml"), W(), closed);
  fails(L"CUpdate::ReadyToUpdate: Update failed: NO internet connection. KX_Proxy:" + closed + L"\r\n");
  update_.SetParameters(L"", W(), L"");
  fails(L"CUpdate::ReadyToUpdate: Update failed: Update url is empty");
  update_.SetParameters(Url("/list.xml"), L"", L"");
  fails(L"CUpdate::ReadyToUpdate: Update failed: Working dir is empty");
  EXPECT_EQ(server_.RequestCount(), 12u);  // a probe and the list for each list served, never a module
}

TEST_F(UpdateTest, StalledListHoldsTheUpdateLockUntilTheServerGoes) {
  Install(L"General", L"Alpha", L"Alpha");
  const Files before = Snapshot(scratch_.path());
  auto stalling = std::make_unique<HttpTestServer>();
  stalling->Stall("/list.xml");
  update_.SetParameters(platform::FromUtf8(stalling->Url("/list.xml")), W(), L"");
  std::atomic<int> result{-1};
  std::thread updater([&] { result = update_.Update() ? 1 : 0; });
  ASSERT_TRUE(stalling->WaitForRequests(1, 30000));
  EXPECT_FALSE(UpdateLockIsFree());
  // Parameters of the next update may be handed over meanwhile; they wait for this one.
  std::thread next([&] { update_.SetParameters(Url("/list.xml"), W(), L""); });
  stalling.reset();  // ends the stalled answer
  updater.join();
  next.join();
  EXPECT_EQ(result, 0);
  EXPECT_EQ(Snapshot(scratch_.path()), before);

  EXPECT_TRUE(UpdateLockIsFree());
  ServeList(Dll("Beta", "1", "/dl/Beta.so"));
  EXPECT_TRUE(update_.Update());
}

TEST_F(UpdateTest, SourcesXmlThatCannotBeWrittenKeepsThePreviousRegistryAndTheModules) {
  ServeList(Dll("Beta", "1", "/dl/Beta.so"));
  testing_support::WriteFileBytes(W() + L"Sources.xml", "previous registry");
  // A full disk: the temporary sibling opens but cannot be written whole.
  CString temporary;
  temporary.Format(L"%sSources.xml.%u.tmp", W(), platform::CurrentProcessId());
  if (!platform::PathExists(L"/dev/full")) GTEST_SKIP() << "no /dev/full";
  std::filesystem::create_symlink("/dev/full", platform::ToUtf8(temporary.str()));
  MarkLog();
  EXPECT_FALSE(update_.Update());
  EXPECT_TRUE(Logged(L"CUpdate::CreateNewXml: failed to write " + temporary.str() + L"\r\n"));
  EXPECT_EQ(Content(W() + L"Sources.xml"), "previous registry");
  EXPECT_FALSE(platform::PathExists(temporary.str()));
  EXPECT_EQ(Content(W() + L"General/Beta.so"), Module(L"Beta"));

  // A registry that cannot be replaced (a folder in its place).
  ASSERT_TRUE(platform::DeleteFile(W() + L"Sources.xml"));
  ASSERT_TRUE(platform::CreateDirectory(W() + L"Sources.xml"));
  MarkLog();
  EXPECT_FALSE(update_.Update());
  EXPECT_TRUE(Logged(L"CUpdate::CreateNewXml: failed to replace " + W() + L"Sources.xml\r\n"));
  EXPECT_FALSE(platform::PathExists(temporary.str()));
}

}  // namespace
