// An in-process tag-cache server on a loopback port, its SQLite file in a
// scratch folder, the fake clock of FakeEnv for both the server and the
// library's client, and helpers to send signed requests byte for byte.
#pragma once

#include <httplib.h>

#include <memory>
#include <string>
#include <thread>

#include "platform/TcpSocket.h"
#include "platform/TextCodec.h"
#include "server/CacheServer.h"
#include "server/SqliteTagStore.h"
#include "servercache/NimbrelServerCache.h"
#include "servercache/RequestSigning.h"
#include "support/FakeEnv.h"
#include "support/ScratchFolder.h"

namespace server_testing {

struct Answer {
  int status = 0;  // 0: no answer
  std::string body;
  bool operator==(const Answer&) const = default;
};

class RunningServer {
 public:
  RunningServer(cache_server::TagStore& store, cache_server::ServerOptions options) : server_(store, options) {
    std::string error;
    if (!server_.Start(error)) throw std::runtime_error(error);
    thread_ = std::thread([this] { server_.Run(); });
  }
  ~RunningServer() { StopAndJoin(); }
  void StopAndJoin() {
    server_.Stop();
    if (thread_.joinable()) thread_.join();
  }
  int port() const { return server_.port(); }
  cache_server::CacheServer& server() { return server_; }

 private:
  cache_server::CacheServer server_;
  std::thread thread_;
};

class ServerTest : public ::testing::Test {
 protected:
  ServerTest() : scopedEnv_(&env) {
    settings.TagCacheHost = L"";
    settings.HttpProxy = L"0";
  }
  ~ServerTest() override { StopServer(); }

  static cache_server::ServerOptions DefaultOptions() {
    cache_server::ServerOptions options;
    options.port = 0;
    options.key = platform::ToWindows1252(nimbrel::kServerCacheSigningKey);
    options.ratePerSecond = 0;
    return options;
  }

  // Opens the store and starts a server with `options` (port 0 forced).
  void StartServer(cache_server::ServerOptions options = DefaultOptions()) {
    options.port = 0;
    if (!store) {
      std::string error;
      store = OpenStore(error);
      ASSERT_TRUE(store) << error;
    }
    running = std::make_unique<RunningServer>(*store, options);
    settings.TagCacheHost = platform::FromUtf8("127.0.0.1:" + std::to_string(running->port())).c_str();
    client = std::make_unique<CNimbrelServerCache>(settings);
    client->requestTimeoutMs = 10000;
  }
  // Stops the server and closes the store, as a restart does.
  void StopServer() {
    handler.reset();
    client.reset();
    running.reset();
    store.reset();
  }

  // The store a server starts with: the SQLite file at DbPath() unless a
  // test chooses another.
  virtual std::unique_ptr<cache_server::TagStore> OpenStore(std::string& error) {
    auto file = std::make_unique<cache_server::SqliteTagStore>();
    if (!file->Open(DbPath(), error)) return nullptr;
    return file;
  }

  std::string DbPath() const { return platform::ToUtf8(folder / L"cache.sqlite"); }

  // The fake clock's time as the client encodes it.
  std::string Timestamp(std::int64_t offsetS = 0) {
    const std::int64_t t = env.UnixTime() + offsetS;
    const std::int64_t days = t / 86400;
    // Civil date from days since 1970 (H. Hinnant's algorithm).
    const std::int64_t z = days + 719468, era = z / 146097, doe = z - era * 146097;
    const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100), mp = (5 * doy + 2) / 153;
    const std::int64_t d = doy - (153 * mp + 2) / 5 + 1, m = mp < 10 ? mp + 3 : mp - 9, y = yoe + era * 400 + (m <= 2);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d%%3A%02d%%3A%02dZ", static_cast<int>(y), static_cast<int>(m),
                  static_cast<int>(d), static_cast<int>(t % 86400 / 3600), static_cast<int>(t % 3600 / 60),
                  static_cast<int>(t % 60));
    return text;
  }

  // Posts `text` with its signature under `key` appended, as the client does.
  Answer Post(const std::string& path, const std::string& text,
              std::wstring_view key = nimbrel::kServerCacheSigningKey) {
    const std::string signature = platform::ToUtf8(nimbrel::SignRequest(key, platform::FromUtf8(text)));
    return PostRaw(path, text + "&signature=" + signature);
  }
  Answer PostRaw(const std::string& path, const std::string& body) {
    httplib::Client http("127.0.0.1", running->port());
    http.set_read_timeout(10, 0);
    const httplib::Result result = http.Post(path.c_str(), body, "application/x-www-form-urlencoded");
    if (!result) return Answer{};
    return Answer{result->status, result->body};
  }
  // Connects from the loopback address `from`, as another client.
  platform::TcpSocket ConnectFrom(const std::string& from = "127.0.0.1") {
    platform::TcpSocket socket;
    if (!socket.Connect("127.0.0.1", static_cast<std::uint16_t>(running->port()), from)) {
      throw std::runtime_error("cannot connect from " + from);
    }
    return socket;
  }
  // Everything the server sends until it closes the connection (at most 10 s).
  static std::string ReadToClose(platform::TcpSocket& socket) {
    std::string all;
    char buffer[4096];
    for (std::int64_t n; (n = socket.Receive(buffer, sizeof buffer, 10000)) > 0;) all.append(buffer, n);
    return all;
  }
  // One answer of a kept-alive connection: its head and its body.
  static std::string ReadAnswer(platform::TcpSocket& socket) {
    std::string all;
    char byte;
    std::size_t bodyAt = std::string::npos, length = 0;
    while (bodyAt == std::string::npos || all.size() < bodyAt + length) {
      if (socket.Receive(&byte, 1, 10000) != 1) break;
      all += byte;
      if (bodyAt == std::string::npos && all.size() >= 4 && all.compare(all.size() - 4, 4, "\r\n\r\n") == 0) {
        bodyAt = all.size();
        const std::size_t at = all.find("Content-Length: ");
        if (at != std::string::npos) length = std::stoul(all.substr(at + 16));
      }
    }
    return all;
  }
  // `body` posted to `path` as raw bytes, framed by Content-Length.
  static std::string RawPost(const std::string& path, const std::string& body) {
    return "POST " + path + " HTTP/1.1\r\nHost: x\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" +
           body;
  }
  std::string SignedBody(const std::string& text) {
    return text + "&signature=" + platform::ToUtf8(nimbrel::SignRequest(nimbrel::kServerCacheSigningKey,
                                                                        platform::FromUtf8(text)));
  }

  // Posts `text`, signed, from the loopback address `from` (127.0.0.2…): the
  // server sees another client there.
  Answer PostFrom(const std::string& from, const std::string& path, const std::string& text,
                  const std::string& headers = "") {
    platform::TcpSocket socket = ConnectFrom(from);
    const std::string body = SignedBody(text);
    Answer answer;
    if (!socket.SendAll("POST " + path +
                        " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/x-www-form-urlencoded\r\n" + headers +
                        "Connection: close"
                        "\r\nContent-Length: " +
                        std::to_string(body.size()) + "\r\n\r\n" + body)) {
      return answer;
    }
    const std::string reply = ReadToClose(socket);
    const std::size_t head = reply.find("\r\n\r\n");
    if (reply.rfind("HTTP/1.1 ", 0) == 0 && head != std::string::npos) {
      answer.status = std::stoi(reply.substr(9, 3));
      answer.body = reply.substr(head + 4);
    }
    return answer;
  }
  std::string FillText(const std::string& artist, const std::string& title, const std::string& album,
                       const std::string& source, int coverBytes = 0) {
    return "album=" + album + "&artist=" + artist + "&cover_size_bytes=" + std::to_string(coverBytes) +
           "&cover_x_resolution=0&cover_y_resolution=0&coverurl=&genre=Rock&source=" + source +
           "&timestamp=" + Timestamp() + "&title=" + title + "&tracknr=1&type=tags&version=1&year=2000";
  }
  std::string ReportText(const std::string& artist, const std::string& title) {
    return "artist=" + artist + "&timestamp=" + Timestamp() + "&title=" + title + "&type=tags&version=1";
  }
  std::string LookupText(const std::string& artist, const std::string& title, int searcher = 0) {
    return "artist=" + artist + "&searcher=" + std::to_string(searcher) + "&timestamp=" + Timestamp() +
           "&title=" + title + "&type=tags&version=1";
  }

  std::int32_t Lookup(const std::wstring& artist, const std::wstring& title, bool searcher,
                      Nimbrel::SongInfo* info = nullptr, std::vector<std::wstring>* names = nullptr) {
    Nimbrel::SongInfo ignored;
    std::vector<std::wstring> ignoredNames;
    return client->Lookup(artist, title, info ? *info : ignored, names ? *names : ignoredNames, searcher);
  }
  // Identical requests in the same second from one address are replays: the
  // tests let a second pass between them, as real clients' requests differ.
  void NextSecond() { env.AdvanceMs(1000); }

  // A failure report without source from another household: straight into
  // a request handler of the store, where a client's address is only a text.
  int ReportFailFrom(const std::string& artist, const std::string& title, const std::string& address) {
    if (!handler) {
      authenticator = std::make_unique<cache_server::RequestAuthenticator>(
          platform::ToWindows1252(nimbrel::kServerCacheSigningKey), 600);
      handler = std::make_unique<cache_server::RequestHandler>(*store, *authenticator);
    }
    const std::string text =
        "artist=" + artist + "&timestamp=" + Timestamp() + "&title=" + title + "&type=tags&version=1";
    const std::string body =
        text + "&signature=" + platform::ToUtf8(CNimbrelServerCache::Sign(platform::FromUtf8(text)));
    return handler->Handle("/reportFail.php", body, address, env.UnixTime()).status;
  }

  static Nimbrel::SongInfo Song(const std::wstring& artist, const std::wstring& title, const std::wstring& album,
                                const std::wstring& source) {
    Nimbrel::SongInfo song(artist, title, album);
    song.albumInfo.genre = L"Rock";
    song.albumInfo.year = 1975;
    song.trackInfo.trackNumber = 7;
    song.coverInfo.coverUrl = L"http://covers.test/" + album + L".jpg";
    song.source = source;
    return song;
  }

  testing_support::FakeEnv env;
  testing_support::ScratchFolder folder;
  NimbrelSettings settings;
  std::unique_ptr<cache_server::TagStore> store;
  std::unique_ptr<RunningServer> running;
  std::unique_ptr<CNimbrelServerCache> client;
  std::unique_ptr<cache_server::RequestAuthenticator> authenticator;
  std::unique_ptr<cache_server::RequestHandler> handler;

 private:
  platform::ScopedEnv scopedEnv_;
};

}  // namespace server_testing
