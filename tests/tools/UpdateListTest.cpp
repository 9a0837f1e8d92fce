// The update list generator against real plug-in modules: the list it writes
// for a plug-in folder, served on loopback with the folder's modules, makes
// the real updater install exactly those modules, and a later list with a
// newer module replaces it. Modules the updater could not handle are refused.
#include "UpdateList.h"

#include <gtest/gtest.h>

#include <list>

#include "platform/FileSystem.h"
#include "platform/TextCodec.h"
#include "sources/DllSources.h"
#include "sources/PluginFolder.h"
#include "sources/Update.h"
#include "support/FakeEnv.h"
#include "support/HttpTestServer.h"
#include "support/ProxyEnvironment.h"
#include "support/ScratchFolder.h"

namespace {

using testing_support::HttpTestServer;
using testing_support::PluginFolder;
using testing_support::ReadFileBytes;

const bool kProxyVariablesCleared = testing_support::ClearProxyEnvironment();

class UpdateListTest : public ::testing::Test {
 protected:
  UpdateListTest() {
    EXPECT_TRUE(kProxyVariablesCleared);
    env_.SetConnectivityProbeHosts({platform::FromUtf8(server_.HostPort())});
  }

  // Generates the list of the published folder, writes it there, and serves
  // the list and every listed module below /plugins/ at `encoded` paths.
  void Publish(const std::map<std::wstring, std::int32_t>& priorities = {}) {
    CUpdateList list;
    for (const auto& [name, priority] : priorities) list.SetPriority(name, priority);
    ASSERT_TRUE(list.AddFolder(published_.path())) << platform::ToUtf8(list.Error().str());
    ASSERT_TRUE(list.Write(published_.path() + L"update.xml", platform::FromUtf8(server_.Url("/plugins/"))));
    server_.ServeFile("/plugins/update.xml", platform::ToUtf8(published_.path() + L"update.xml"));
    for (const auto& module : list.Modules()) {
      std::string segment;
      for (char c : platform::ToUtf8(module.name.str())) {
        segment += c == ' ' ? std::string("%20") : c == '+' ? std::string("%2B") : std::string(1, c);
      }
      server_.ServeFile("/plugins/" + platform::ToUtf8(module.kind.str()) + "/" + segment + ".so",
                        platform::ToUtf8(published_.path() + (module.kind.str() + L"/" + module.name.str() + L".so")));
    }
  }

  // The real updater, pointed at the served list, then the registries.
  bool RunUpdate() {
    CUpdate update;
    update.SetParameters(platform::FromUtf8(server_.Url("/plugins/update.xml")), installed_.path(), L"");
    return update.Update();
  }
  std::list<std::wstring> Loaded(const wchar_t* kind) {
    CDllSources sources(kind);
    sources.LoadSources(installed_.path().c_str());
    std::list<std::wstring> names;
    sources.GetSourceNames(names);
    return names;
  }
  std::string Installed(const std::wstring& file) { return ReadFileBytes(installed_.path() + file); }
  static std::string Module(const wchar_t* name) { return ReadFileBytes(PluginFolder::ModulePath(name)); }

  HttpTestServer server_;
  testing_support::FakeEnv env_;
  platform::ScopedEnv scopedEnv_{&env_};
  PluginFolder published_;  // what the server publishes
  testing_support::ScratchFolder installed_;  // the library's working directory
};

TEST_F(UpdateListTest, UpdaterInstallsThePublishedModulesThenReplacesANewerOne) {
  published_.Install(L"General", L"Alpha");                     // 1.2.0.7
  published_.Install(L"General", L"Beta", L"Beta hi+fi.so");   // 2.0.1.15, a name to encode
  published_.Install(L"Lyrics", L"Verse");                      // 1.0.0.0
  Publish({{L"Beta hi+fi", 5}});
  const std::string xml = ReadFileBytes(published_.path() + L"update.xml");
  EXPECT_NE(std::string::npos, xml.find("<DLL Name=\"Alpha\" Version=\"1.2.0.7\""));
  EXPECT_NE(std::string::npos, xml.find("<DLLURL>" + server_.Url("/plugins/General/Beta%20hi%2Bfi.so") + "</DLLURL>"))
      << xml;
  EXPECT_NE(std::string::npos, xml.find("<Priority>5</Priority>"));

  ASSERT_TRUE(RunUpdate());
  // Compared whole, not printed: they are modules.
  EXPECT_TRUE(Module(L"Alpha") == Installed(L"General/Alpha.so"));
  EXPECT_TRUE(Module(L"Beta") == Installed(L"General/Beta hi+fi.so"));
  EXPECT_TRUE(Module(L"Verse") == Installed(L"Lyrics/Verse.so"));
  EXPECT_EQ((std::list<std::wstring>{L"Beta hi+fi", L"Alpha"}), Loaded(L"General"));  // priority 5 before 100
  EXPECT_EQ((std::list<std::wstring>{L"Verse"}), Loaded(L"Lyrics"));

  // Unchanged modules are not fetched again; a newer Alpha replaces the old one.
  published_.Install(L"General", L"Alpha_v1_3", L"Alpha.so");
  Publish({{L"Beta hi+fi", 5}});
  server_.ClearRequests();
  ASSERT_TRUE(RunUpdate());
  EXPECT_TRUE(Module(L"Alpha_v1_3") == Installed(L"General/Alpha.so"));
  std::vector<std::string> fetched;
  for (const auto& request : server_.Requests()) {
    if (request.method == "GET") fetched.push_back(request.path);
  }
  EXPECT_EQ((std::vector<std::string>{"/plugins/update.xml", "/plugins/General/Alpha.so"}), fetched);
}

// Two packages share a plug-in folder: each lists only its own modules in a
// fragment, and the merge keeps each module's address and priority.
TEST_F(UpdateListTest, MergedFragmentsKeepEachPackagesOwnAddressesAndPriorities) {
  published_.Install(L"General", L"Alpha");
  published_.Install(L"General", L"Beta", L"Beta hi+fi.so");
  published_.Install(L"Lyrics", L"Verse");
  const std::wstring fragments = published_.path() + L"update.d/";
  ASSERT_TRUE(platform::CreateDirectory(fragments));
  CUpdateList ours;
  ours.SetPriority(L"Alpha", 5);
  ASSERT_TRUE(ours.AddFolder(published_.path(), {L"Lyrics/Verse.so", L"General/Alpha.so"})) << platform::ToUtf8(ours.Error().str());
  ASSERT_TRUE(ours.Write(fragments + L"ours.xml", L"http://127.0.0.1:9/ours/"));
  CUpdateList theirs;
  theirs.SetPriority(L"Beta hi+fi", 7);
  ASSERT_TRUE(theirs.AddFolder(published_.path(), {L"General/Beta hi+fi.so"}));
  ASSERT_TRUE(theirs.Write(fragments + L"theirs.xml", L"http://127.0.0.1:9/theirs"));
  EXPECT_EQ(std::string::npos, ReadFileBytes(fragments + L"theirs.xml").find("Alpha"));

  CUpdateList merged;
  ASSERT_TRUE(merged.AddList(fragments + L"theirs.xml")) << platform::ToUtf8(merged.Error().str());
  ASSERT_TRUE(merged.AddList(fragments + L"ours.xml")) << platform::ToUtf8(merged.Error().str());
  CString xml;
  ASSERT_TRUE(merged.GetXml(L"", xml)) << platform::ToUtf8(merged.Error().str());
  const std::wstring text = xml.str();
  const auto alpha = text.find(L"<DLL Name=\"Alpha\" Version=\"1.2.0.7\"");
  const auto beta = text.find(L"<DLL Name=\"Beta hi+fi\" Version=\"2.0.1.15\"");
  const auto verse = text.find(L"<DLL Name=\"Verse\"");
  ASSERT_NE(std::wstring::npos, alpha);
  ASSERT_NE(std::wstring::npos, beta);
  ASSERT_NE(std::wstring::npos, verse);
  EXPECT_LT(alpha, beta);  // by kind, then by name, whatever order the fragments came in
  // A module's entry: its address, then its priority, before the entry ends.
  auto entry = [&](std::size_t at) { return text.substr(at, text.find(L"</DLL>", at) - at); };
  EXPECT_NE(std::wstring::npos, entry(alpha).find(L"<DLLURL>http://127.0.0.1:9/ours/General/Alpha.so</DLLURL>"));
  EXPECT_NE(std::wstring::npos, entry(alpha).find(L"<Priority>5</Priority>"));
  EXPECT_NE(std::wstring::npos, entry(beta).find(L"<DLLURL>http://127.0.0.1:9/theirs/General/Beta%20hi%2Bfi.so</DLLURL>"))
      << platform::ToUtf8(text);
  EXPECT_NE(std::wstring::npos, entry(beta).find(L"<Priority>7</Priority>"));
  EXPECT_NE(std::wstring::npos, entry(verse).find(L"<DLLURL>http://127.0.0.1:9/ours/Lyrics/Verse.so</DLLURL>"));
  EXPECT_EQ(std::wstring::npos, entry(verse).find(L"<Priority>"));

  // A module two packages both list is refused, naming both fragments.
  EXPECT_FALSE(merged.AddList(fragments + L"ours.xml"));
  EXPECT_NE(std::wstring::npos, merged.Error().str().find(L"General/Alpha is listed by")) << platform::ToUtf8(merged.Error().str());
  // A package lists only modules that are there.
  CUpdateList missing;
  EXPECT_FALSE(missing.AddFolder(published_.path(), {L"General/Gone.so"}));
  EXPECT_FALSE(missing.AddFolder(published_.path(), {L"Other/Alpha.so"}));
}

TEST_F(UpdateListTest, EmptyFolderListsBothKindsEmpty) {
  CUpdateList list;
  ASSERT_TRUE(list.AddFolder(published_.path()));
  CString xml;
  ASSERT_TRUE(list.GetXml(L"http://127.0.0.1:9/p", xml));
  EXPECT_NE(std::wstring::npos, xml.str().find(L"<General/>"));
  EXPECT_NE(std::wstring::npos, xml.str().find(L"<Lyrics/>"));
}

TEST_F(UpdateListTest, RefusesModulesTheUpdaterWouldMishandle) {
  struct Case {
    const wchar_t* module;
    const wchar_t* file;
    const wchar_t* why;
  };
  for (const Case& c : {Case{L"Gamma", L"Gamma.so", L"no version stamp"}, Case{L"Broken", L"Broken.so", L"no version stamp"},
                        Case{L"Alpha", L"AlphaD.so", L"debug build"}, Case{L"Alpha", L"Bj\u00F6rk.so", L"printable ASCII"},
                        Case{L"Alpha", L"Al.sox.so", L"another file"}, Case{L"Alpha", L"Alpha .so", L"trims"}}) {
    PluginFolder folder;
    folder.Install(L"Lyrics", c.module, c.file);
    CUpdateList list;
    EXPECT_FALSE(list.AddFolder(folder.path())) << platform::ToUtf8(c.file);
    EXPECT_NE(std::wstring::npos, list.Error().str().find(c.file)) << platform::ToUtf8(list.Error().str());
    EXPECT_NE(std::wstring::npos, list.Error().str().find(c.why)) << platform::ToUtf8(list.Error().str());
  }
}

TEST_F(UpdateListTest, RefusesBaseAddressesTheListCannotCarry) {
  published_.Install(L"General", L"Alpha");
  CUpdateList list;
  ASSERT_TRUE(list.AddFolder(published_.path()));
  CString xml;
  // "&" would come back from the updater's text accessor as "&amp;".
  for (const wchar_t* bad : {L"http://h/p?a=1&b=2", L"ftp://h/p", L"", L"http://h/a b", L"http://h/\u00E9", L"http://h/\"x"}) {
    EXPECT_FALSE(list.GetXml(bad, xml)) << platform::ToUtf8(bad);
  }
  ASSERT_TRUE(list.GetXml(L"http://127.0.0.1:9/base///", xml));
  EXPECT_NE(std::wstring::npos, xml.str().find(L"<DLLURL>http://127.0.0.1:9/base/General/Alpha.so</DLLURL>"));
}

}  // namespace
