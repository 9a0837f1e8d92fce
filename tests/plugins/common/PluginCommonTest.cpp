// The plug-ins' JSON reader and HTTP client, with the inputs a hostile or
// broken service can send.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>

#include "../../../plugins/common/HttpClient.h"
#include "../../../plugins/common/Json.h"
#include "../../../plugins/common/PluginSettings.h"
#include "../../../plugins/common/Text.h"
#include "support/HttpTestServer.h"
#include "support/ProxyEnvironment.h"
#include "support/ScopedEnvironment.h"
#include "support/ScratchFolder.h"

namespace {

using plugin_json::Parse;
using plugin_json::Value;

const bool kProxyVariablesCleared = testing_support::ClearProxyEnvironment();

TEST(PluginJson, ReadsDocumentsAndRefusesWhatIsNotJson) {
  Value v;
  ASSERT_TRUE(Parse(R"( {"a": [1, -2.5e2, true, null, "x\n\u00e9\ud83c\udfb5"], "b": {}} )", v).ok);
  const Value* a = v.Find("a");
  ASSERT_TRUE(a && a->IsArray());
  ASSERT_EQ(a->Items().size(), 5u);
  EXPECT_EQ(a->Items()[0].Integer(), 1);
  EXPECT_EQ(a->Items()[1].Integer(), -250);
  EXPECT_TRUE(a->Items()[2].Bool());
  EXPECT_TRUE(a->Items()[3].IsNull());
  EXPECT_EQ(a->Items()[4].Text(), "x\n\xC3\xA9\xF0\x9F\x8E\xB5");
  for (const char* bad : {"", "{", "[1,]", "{\"a\":1,}", "01", "1.", "-", "'x'", "[1] 2", "{\"a\" 1}", "tru",
                          "\"tab\there\"", "\"\\x\"", "\"\\u12\"", "<html>503</html>", "nul"}) {
    EXPECT_FALSE(Parse(bad, v).ok) << bad;
    EXPECT_TRUE(v.IsNull()) << bad;
  }
}

TEST(PluginJson, NestingIsBoundedWithoutExhaustingTheStack) {
  Value v;
  const std::string deep = std::string(100000, '[') + std::string(100000, ']');
  const auto result = Parse(deep, v);
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.error, "nested too deeply");
  const std::string objects = [] {
    std::string s;
    for (int i = 0; i < 100000; ++i) s += "{\"a\":";
    return s;
  }();
  EXPECT_FALSE(Parse(objects, v).ok);
  EXPECT_TRUE(Parse(std::string(512, '[') + std::string(512, ']'), v).ok);
  EXPECT_FALSE(Parse(std::string(513, '[') + std::string(513, ']'), v).ok);
}

TEST(PluginJson, NulAndInvalidUtf8InStrings) {
  Value v;
  // An escaped NUL is kept in the value; the tag text drops it.
  ASSERT_TRUE(Parse(R"(["a\u0000b"])", v).ok);
  EXPECT_EQ(v.Items()[0].Text(), std::string("a\0b", 3));
  EXPECT_EQ(plugin_text::Widen(v.Items()[0].Text()), L"ab");
  // A raw NUL is a control character: not JSON.
  EXPECT_FALSE(Parse(std::string("[\"a\0b\"]", 7), v).ok);
  // Stray, overlong, surrogate and truncated sequences each become U+FFFD.
  ASSERT_TRUE(Parse("[\"\x80 \xC0\xAF \xED\xA0\x80 \xF4\x90\x80\x80 \xE2\x82\"]", v).ok);
  EXPECT_EQ(plugin_text::Widen(v.Items()[0].Text()), L"\xFFFD \xFFFD\xFFFD \xFFFD\xFFFD\xFFFD \xFFFD\xFFFD\xFFFD\xFFFD \xFFFD\xFFFD");
  ASSERT_TRUE(Parse(R"(["\ud800x", "\udc00"])", v).ok);
  EXPECT_EQ(plugin_text::Widen(v.Items()[0].Text()), L"\xFFFDx");
  EXPECT_EQ(plugin_text::Widen(v.Items()[1].Text()), L"\xFFFD");
}

TEST(PluginJson, NumbersOutOfRangeAreNoIntegers) {
  Value v;
  ASSERT_TRUE(Parse("[1e999, -1e999, 99999999999999999999, 9223372036854775807, 1.5, 2.0e1, 1e308]", v).ok);
  const auto& n = v.Items();
  EXPECT_FALSE(n[0].Number());
  EXPECT_FALSE(n[0].Integer());
  EXPECT_FALSE(n[1].Integer());
  EXPECT_FALSE(n[2].Integer());
  EXPECT_EQ(n[3].Integer(), INT64_MAX);
  EXPECT_FALSE(n[4].Integer());
  EXPECT_EQ(n[5].Integer(), 20);
  EXPECT_FALSE(n[6].Integer());
  EXPECT_TRUE(n[6].Number());
}

class PluginHttp : public ::testing::Test {
 protected:
  testing_support::HttpTestServer server_;
  plugin_http::Options options_;
};

TEST_F(PluginHttp, AnswersStatusBodyAndHeaders) {
  server_.Serve("/a", {503, "Busy", {{"Retry-After", "7"}}, "{\"error\":\"slow down\"}"});
  server_.Redirect("/moved", server_.Url("/a"), 307);
  options_.userAgent = "nimbrel/1.0.0 ( me@example.org )";
  const auto response = plugin_http::Get(server_.Url("/moved"), options_);
  EXPECT_TRUE(response.transferred);
  EXPECT_EQ(response.status, 503);
  EXPECT_EQ(response.body, "{\"error\":\"slow down\"}");
  EXPECT_EQ(plugin_http::RetryAfterSeconds(response.Header("retry-after")), 7);
  EXPECT_EQ(server_.Requests().back().Header("User-Agent"), options_.userAgent);
  EXPECT_EQ(plugin_http::RetryAfterSeconds("Wed, 21 Oct 2026 07:28:00 GMT"), -1);
}

TEST_F(PluginHttp, BodyCapStallAndRedirectLoopEndTheTransfer) {
  server_.ServeHuge("/huge", 64ull * 1024 * 1024 + 1);
  const auto huge = plugin_http::Get(server_.Url("/huge"), options_);
  EXPECT_FALSE(huge.transferred);
  EXPECT_TRUE(huge.tooLarge);
  EXPECT_TRUE(huge.body.empty());

  server_.Stall("/stall");
  options_.stallTimeoutSeconds = 1;
  const auto start = std::chrono::steady_clock::now();
  const auto stalled = plugin_http::Get(server_.Url("/stall"), options_);
  EXPECT_FALSE(stalled.transferred);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));

  server_.Redirect("/loop", server_.Url("/loop"));
  EXPECT_FALSE(plugin_http::Get(server_.Url("/loop"), options_).transferred);
  EXPECT_LE(server_.RequestCount(), 2u + 6u);
}

TEST_F(PluginHttp, OnlyWebAddressesAreFetched) {
  EXPECT_FALSE(plugin_http::Get("file:///etc/hostname", options_).transferred);
  server_.Redirect("/elsewhere", "file:///etc/hostname");
  EXPECT_FALSE(plugin_http::Get(server_.Url("/elsewhere"), options_).transferred);
}

TEST(PluginSettings, SectionsCommonLinesAndBadLines) {
  std::vector<std::string> problems;
  const auto values = plugin_settings::ParseSection(
      "# comment\n; comment\nContact = all@example.org\nRegion=DE\n"
      "[lrclib]\nContact = lyrics@example.org\n"
      "[ MusicBrainz ]\r\n  contact =  \" mb@example.org ; x\"  # quoted\r\nbaseurl=http://127.0.0.1:1/ws#top ; port 1\n"
      "Colour = blue\nno equals sign\nProxy = a\x01b\n[broken\nTimeoutSeconds = 5\n",
      "musicbrainz", {"Contact", "BaseUrl", "Proxy", "TimeoutSeconds"}, problems);
  // The section's own value wins over the lines for every plug-in; keys are spelt as the plug-in spells them.
  EXPECT_EQ(values, (std::map<std::string, std::string>{{"Contact", " mb@example.org ; x"},
                                                        {"BaseUrl", "http://127.0.0.1:1/ws#top"}}));
  ASSERT_EQ(problems.size(), 4u);
  EXPECT_EQ(problems[0], "line 10: unknown key \"Colour\"");
  EXPECT_EQ(problems[1], "line 11: no \"key = value\"");
  EXPECT_EQ(problems[2], "line 12: control characters in the value of Proxy");
  EXPECT_EQ(problems[3], "line 13: a section without \"]\"");

  EXPECT_EQ(plugin_settings::Integer("42"), 42);
  for (const char* bad : {"", "4x", " 4", "99999999999", "+"}) EXPECT_FALSE(plugin_settings::Integer(bad)) << bad;
  EXPECT_TRUE(plugin_settings::IsWebAddress("https://musicbrainz.org/ws/2"));
  for (const char* bad : {"file:///etc/passwd", "http://", "ftp://x", "http://a b", "http://a\r\nX: y", "//x"}) {
    EXPECT_FALSE(plugin_settings::IsWebAddress(bad)) << bad;
  }
  testing_support::ScopedEnvironment home("HOME", "/home/someone");
  EXPECT_EQ(plugin_settings::UserPath("~/music/../data/c.sqlite"), "/home/someone/data/c.sqlite");
  for (const char* bad : {"relative/c.sqlite", "./c.sqlite", "~someone/x", "/a\nb", ""}) {
    EXPECT_EQ(plugin_settings::UserPath(bad), "") << bad;
  }
}

class PluginSettingsFile : public ::testing::Test {
 protected:
  std::string Path(const std::string& name) const { return std::string(folder_.path().begin(), folder_.path().end()) + name; }
  void Write(const std::string& text, mode_t mode = 0600) {
    std::ofstream(file_, std::ios::binary | std::ios::trunc) << text;
    ::chmod(file_.c_str(), mode);
  }

  testing_support::ScratchFolder folder_;
  const std::string file_ = Path("plugins.conf");
  testing_support::ScopedEnvironment conf_{"NIMBREL_PLUGINS_CONF", file_};
  testing_support::ScopedEnvironment contact_{"NIMBREL_TEST_CONTACT", std::nullopt};
  plugin_settings::LayeredSettings settings_{"test", {"Contact", "BaseUrl"}};
};

TEST_F(PluginSettingsFile, HostBeatsEnvironmentBeatsFileAndChangesAreSeen) {
  EXPECT_FALSE(settings_.Refresh()) << "no file is no problem";
  EXPECT_EQ(settings_.Problems(), "");
  EXPECT_EQ(settings_.FilePath(), file_);
  Write("[test]\nContact = file@example.org\nBaseUrl = http://127.0.0.1:1\n");
  EXPECT_TRUE(settings_.Refresh());
  EXPECT_EQ(settings_.Get("Contact"), "file@example.org");
  EXPECT_FALSE(settings_.Refresh()) << "an unchanged file is not read again";
  {
    testing_support::ScopedEnvironment contact("NIMBREL_TEST_CONTACT", " env@example.org ");
    EXPECT_TRUE(settings_.Refresh());
    EXPECT_EQ(settings_.Get("Contact"), "env@example.org");
    settings_.SetByHost("Contact", "host@example.org");
    EXPECT_EQ(settings_.Get("Contact"), "host@example.org");
  }
  // A file replaced by another, as editors save, is read again.
  const std::string replacement = Path("new.conf");
  std::ofstream(replacement) << "[test]\nBaseUrl = http://127.0.0.1:2\n";
  ::chmod(replacement.c_str(), 0600);
  std::filesystem::rename(replacement, file_);
  EXPECT_TRUE(settings_.Refresh());
  EXPECT_EQ(settings_.Get("BaseUrl"), "http://127.0.0.1:2");
  EXPECT_EQ(settings_.Get("Contact"), "host@example.org");
  std::filesystem::remove(file_);
  EXPECT_TRUE(settings_.Refresh());
  EXPECT_FALSE(settings_.Get("BaseUrl")) << "a removed file takes its values with it";
}

TEST_F(PluginSettingsFile, UnsafeOrOversizedFilesAreIgnored) {
  const std::string good = "[test]\nContact = file@example.org\n";
  Write(good, 0622);
  settings_.Refresh();
  EXPECT_FALSE(settings_.Get("Contact"));
  EXPECT_NE(settings_.Problems().find("writable by others"), std::string::npos) << settings_.Problems();

  Write(good + "#" + std::string(plugin_settings::kMaxFileBytes, 'x') + "\n");
  settings_.Refresh();
  EXPECT_FALSE(settings_.Get("Contact"));
  EXPECT_NE(settings_.Problems().find("larger than 64 KiB"), std::string::npos) << settings_.Problems();

  std::filesystem::remove(file_);
  ASSERT_EQ(::mkfifo(file_.c_str(), 0600), 0);
  settings_.Refresh();  // must not wait for a writer
  EXPECT_NE(settings_.Problems().find("not a regular file"), std::string::npos) << settings_.Problems();
  std::filesystem::remove(file_);
  std::filesystem::create_directory(file_);
  settings_.Refresh();
  EXPECT_FALSE(settings_.Get("Contact"));
  std::filesystem::remove(file_);

  Write(good);
  settings_.Refresh();
  EXPECT_EQ(settings_.Get("Contact"), "file@example.org");
  EXPECT_EQ(settings_.Problems(), "");
  // A relative name, or none at all, for the file or the home folder: no file is read.
  testing_support::ScopedEnvironment relative("NIMBREL_PLUGINS_CONF", "plugins.conf");
  testing_support::ScopedEnvironment config("XDG_CONFIG_HOME", "config");
  testing_support::ScopedEnvironment home("HOME", std::nullopt);
  EXPECT_EQ(plugin_settings::SettingsFilePath(), "");
  EXPECT_TRUE(settings_.Refresh());
  EXPECT_FALSE(settings_.Get("Contact"));
}

}  // namespace
