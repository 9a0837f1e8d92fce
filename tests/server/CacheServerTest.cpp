// The server against the library's own client over loopback, and its answers
// status by status.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <set>

#include "server/ServerLog.h"
#include "server/FullDiskVfs.h"
#include "server/ServerFixture.h"
#include "servercache/RequestSigning.h"
#include "support/ProxyEnvironment.h"

namespace {

using server_testing::Answer;
using server_testing::ServerTest;

const bool kProxyVariablesCleared = testing_support::ClearProxyEnvironment();
const bool kQuietLog = [] {
  cache_server::ServerLog::SetLevel(cache_server::LogLevel::kError);
  return true;
}();

using CacheServerTest = ServerTest;

TEST_F(CacheServerTest, EveryRefusalHasItsStatus) {
  cache_server::ServerOptions options = DefaultOptions();
  StartServer(options);
  const std::string fill =
      "album=X&artist=A&cover_size_bytes=0&cover_x_resolution=0&cover_y_resolution=0&coverurl=&genre=Rock"
      "&source=discs&timestamp=" +
      Timestamp() + "&title=T&tracknr=1&type=tags&version=1&year=2000";
  EXPECT_EQ(200, Post("/fill.php", fill).status);
  EXPECT_EQ(403, Post("/fill.php", fill).status);                                    // replay
  EXPECT_EQ(403, Post("/lookup.php", LookupText("A", "T"), L"another-key").status);  // another key
  EXPECT_EQ(200, Post("/lookup.php", LookupText("A", "T")).status);
  // Timestamps: within ten minutes either way, not beyond.
  const auto at = [&](std::int64_t offset) {
    return Post("/lookup.php", "artist=A&searcher=0&timestamp=" + Timestamp(offset) +
                                   "&title=T&type=tags&version=1")
        .status;
  };
  EXPECT_EQ(200, at(-600));
  EXPECT_EQ(200, at(600));
  EXPECT_EQ(403, at(-601));
  EXPECT_EQ(403, at(601));
  // Malformed: 400.
  EXPECT_EQ(400, Post("/lookup.php", "searcher=0&artist=A&timestamp=" + Timestamp() +
                                         "&title=T&type=tags&version=1")
                     .status);                                                 // out of order
  EXPECT_EQ(400, PostRaw("/lookup.php", LookupText("A", "T")).status);          // unsigned
  EXPECT_EQ(400, Post("/lookup.php", LookupText("A%C3", "T")).status);          // invalid UTF-8
  EXPECT_EQ(400, Post("/lookup.php", LookupText("A%2", "T")).status);           // escape cut short
  EXPECT_EQ(400, Post("/lookup.php", LookupText("A", "T", 2)).status);          // searcher 2
  EXPECT_EQ(400, Post("/lookup.php", LookupText("A", "T") + "&title=U").status);  // duplicated
  EXPECT_EQ(400, Post("/lookup.php", LookupText("%20", "T")).status);           // empty once trimmed
  EXPECT_EQ(400, Post("/lookup.php", LookupText(std::string(256, 'a'), "T")).status);  // over 255
  // Not a request of the protocol.
  EXPECT_EQ(404, Post("/other.php", LookupText("A", "T")).status);
  // Bodies: 16 KiB is read (and refused as malformed), one byte more is not.
  EXPECT_EQ(400, PostRaw("/lookup.php", std::string(16 * 1024, 'a')).status);
  EXPECT_EQ(413, PostRaw("/lookup.php", std::string(16 * 1024 + 1, 'a')).status);
  std::string manyParameters;
  for (int i = 0; i < 1000000; ++i) manyParameters += "a=1&";
  EXPECT_EQ(413, PostRaw("/lookup.php", manyParameters).status);
}

// The optional fields of a fill: where their names belong, with values the
// client could send, under the signature.
TEST_F(CacheServerTest, OptionalFieldsAreCheckedAndSigned) {
  StartServer();
  const auto fill = [&](const std::string& fields) {
    std::string text = FillText("A", "T", "X", "discs");
    text.insert(text.find(fields < "genre" ? "&genre=" : "&source="), "&" + fields);
    return text;
  };
  const std::pair<std::string, int> cases[] = {
      {"discnr=2&disctotal=2", 200},
      {"length_ms=86400000", 200},
      {"originaldate=2000-02-29&recordingid=0f8c1f5e-4a0b-4c7e-9d3e-2b1a0c9d8e7f", 200},
      {"discnr=0", 400},
      {"disctotal=1000", 400},
      {"length_ms=86400001", 400},
      {"discnr=%2B2", 400},
      {"discnr=", 400},
      {"originaldate=2001-02-29", 400},
      {"originaldate=1975-13", 400},
      {"recordingid=0F8C1F5E-4A0B-4C7E-9D3E-2B1A0C9D8E7F", 400},
      {"recordingid=0f8c1f5e4a0b4c7e9d3e2b1a0c9d8e7f", 400},
      {"albumartist=Various", 400},  // out of order: it stands before "artist"
      {"disc=2", 400},               // no such field
      {"disctotal=2&discnr=2", 400},
  };
  for (const auto& [fields, status] : cases) {
    NextSecond();
    EXPECT_EQ(status, Post("/fill.php", fill(fields)).status) << fields;
  }
  for (const std::string_view albumArtist : {"V%01A", "Various"}) {  // a control character, then a good one
    NextSecond();
    const std::string text =
        fill("discnr=3").replace(0, 8, "album=X&albumartist=" + std::string(albumArtist) + "&");
    EXPECT_EQ(albumArtist == "Various" ? 200 : 400, Post("/fill.php", text).status) << albumArtist;
  }
  // Signed with one disc number, sent with another.
  NextSecond();
  std::string body = SignedBody(fill("discnr=3"));
  body.replace(body.find("discnr=3"), 8, "discnr=4");
  EXPECT_EQ(403, PostRaw("/fill.php", body).status);
}

// Behind a reverse proxy: its requests count as the client its header names
// last; anybody else's header is no more than text.
TEST_F(CacheServerTest, OnlyTheTrustedProxyNamesTheClient) {
  cache_server::ServerOptions options = DefaultOptions();
  options.trustedProxy = "127.0.0.3";
  options.maxConnectionsPerAddress = 1;
  StartServer(options);
  const std::pair<std::string, std::string> sent[] = {
      {"127.0.0.3", "X-Forwarded-For: 198.51.100.1, 203.0.113.5\r\n"},  // the proxy: its last entry
      {"127.0.0.2", "X-Forwarded-For: 203.0.113.6\r\n"},                // not the proxy: its own address
      {"127.0.0.3", "X-Forwarded-For: not-an-address\r\n"},             // the proxy's own
  };
  for (const auto& [from, header] : sent) {
    NextSecond();
    ASSERT_EQ(200, PostFrom(from, "/fill.php", FillText("A", "T", "X", "discs"), header).status) << header;
  }
  // The proxy is not held to the per-address limit of one connection.
  platform::TcpSocket held = ConnectFrom("127.0.0.3");
  NextSecond();
  EXPECT_EQ(200, PostFrom("127.0.0.3", "/lookup.php", LookupText("A", "T")).status);
  std::vector<std::string> clients;
  std::string error;
  ASSERT_TRUE(store->Export(
      [&](const cache_server::ExportItem& item) {
        clients = item.clients;
        return true;
      },
      error));
  EXPECT_EQ((std::vector<std::string>{"127.0.0.2", "127.0.0.3", "203.0.113.5"}), clients);
}

TEST_F(CacheServerTest, ClientsOverTheirRateGet429) {
  cache_server::ServerOptions options = DefaultOptions();
  options.ratePerSecond = 0.001;
  options.rateBurst = 3;
  StartServer(options);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(404, Post("/lookup.php", LookupText("A", "T" + std::to_string(i))).status);
  }
  EXPECT_EQ(429, Post("/lookup.php", LookupText("A", "T9")).status);
  EXPECT_EQ(CNimbrelServerCache::kNothingKnown, Lookup(L"A", L"T", false));
}

TEST(RequestAuthenticatorTest, ReplayMemoryIsBoundedAndForgetsOnlyPastTheWindow) {
  const std::string key = "key";
  cache_server::RequestAuthenticator authenticator(key, 600, 3);
  using Replay = cache_server::RequestAuthenticator::Replay;
  using Verdict = cache_server::RequestAuthenticator::Verdict;
  std::int64_t t0 = 0, t1 = 0;
  ASSERT_TRUE(cache_server::ParseTimestamp("2026-01-15T12:00:00Z", t0));
  ASSERT_TRUE(cache_server::ParseTimestamp("2026-01-15T12:10:01Z", t1));
  const auto check = [&](const std::string& text, const char* stamp, Replay replay, std::int64_t now) {
    return authenticator.Check(text, nimbrel::Base64Encode(nimbrel::HmacSha256(key, text)), stamp, "a", replay, now);
  };
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(Verdict::kAccepted, check("fill" + std::to_string(i), "2026-01-15T12:00:00Z", Replay::kOnce, t0));
  }
  // Full: what would have to be remembered waits; plain look-ups go on.
  EXPECT_EQ(Verdict::kBusy, check("fill3", "2026-01-15T12:00:00Z", Replay::kOnce, t0));
  EXPECT_EQ(Verdict::kAccepted, check("plain", "2026-01-15T12:00:00Z", Replay::kNever, t0));
  EXPECT_EQ(Verdict::kAccepted, check("plain", "2026-01-15T12:00:00Z", Replay::kNever, t0));
  EXPECT_EQ(Verdict::kReplay, check("fill0", "2026-01-15T12:00:00Z", Replay::kOnce, t0 + 600));
  EXPECT_EQ(3u, authenticator.remembered());
  EXPECT_EQ(Verdict::kStale, check("fill0", "2026-01-15T12:00:00Z", Replay::kOnce, t1));
  EXPECT_EQ(Verdict::kAccepted, check("fill3", "2026-01-15T12:10:01Z", Replay::kOnce, t1));
  EXPECT_EQ(1u, authenticator.remembered());
}

// Forgetting a request (one the store could not carry out) leaves every
// other one of its second remembered, however their hashes crowd.
TEST(RequestAuthenticatorTest, ForgottenRequestsMayComeAgainTheOthersStayRefused) {
  const std::string key = "key";
  cache_server::RequestAuthenticator authenticator(key, 600);
  using Verdict = cache_server::RequestAuthenticator::Verdict;
  std::int64_t now = 0;
  ASSERT_TRUE(cache_server::ParseTimestamp("2026-01-15T12:00:00Z", now));
  std::vector<cache_server::RequestAuthenticator::Ticket> tickets(300);
  const auto check = [&](int i) {
    const std::string text = "fill" + std::to_string(i);
    return authenticator.Check(text, nimbrel::Base64Encode(nimbrel::HmacSha256(key, text)), "2026-01-15T12:00:00Z",
                               "a", cache_server::RequestAuthenticator::Replay::kOnce, now, &tickets[i]);
  };
  for (int i = 0; i < 300; ++i) ASSERT_EQ(Verdict::kAccepted, check(i));
  for (int i = 0; i < 300; i += 2) authenticator.Forget(tickets[i]);
  EXPECT_EQ(150u, authenticator.remembered());
  for (int i = 0; i < 300; ++i) EXPECT_EQ(i % 2 == 0 ? Verdict::kAccepted : Verdict::kReplay, check(i)) << i;
}

TEST_F(CacheServerTest, AFullDiskStillAnswersLookUpsAndRefusesWritesWith503) {
  server_testing::FullDiskVfs disk;  // before the store opens
  StartServer();
  ASSERT_EQ(1, client->Fill(Song(L"A", L"T", L"Album", L"discs")));
  disk.full = true;
  for (int restart = 0; restart < 2; ++restart) {
    NextSecond();
    EXPECT_EQ(503, Post("/fill.php", FillText("B", "T", "Album", "discs")).status) << restart;
    EXPECT_EQ(503, Post("/reportFail.php", ReportText("B", "T")).status) << restart;
    EXPECT_EQ(200, Post("/lookup.php", LookupText("A", "T")).status) << restart;
    EXPECT_EQ(404, Post("/lookup.php", LookupText("B", "T", 1)).status) << restart;  // the search goes unrecorded
    // Started again with the disk still full: it serves.
    StopServer();
    StartServer();
  }
  disk.full = false;
  NextSecond();
  EXPECT_EQ(200, Post("/fill.php", FillText("B", "T", "Album", "discs")).status);
  EXPECT_EQ(200, Post("/lookup.php", LookupText("B", "T")).status);
  // Stopped cleanly (log and index files gone), started on a full disk: the
  // log's index cannot even be made, and it still serves, read-only.
  StopServer();
  ASSERT_FALSE(std::filesystem::exists(DbPath() + "-shm"));
  disk.full = true;
  StartServer();
  EXPECT_FALSE(static_cast<cache_server::SqliteTagStore&>(*store).writable());
  EXPECT_EQ(200, Post("/lookup.php", LookupText("B", "T")).status);
  EXPECT_EQ(404, Post("/lookup.php", LookupText("C", "T", 1)).status);
  EXPECT_EQ(503, Post("/fill.php", FillText("C", "T", "Album", "discs")).status);
  StopServer();  // its files go through the VFS
}

}  // namespace
