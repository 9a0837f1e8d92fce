// Feeds arbitrary bytes to the cache server's form parser and to its request
// handler over an in-memory store. The first byte picks the request path and
// whether the body gets a valid signature appended, so that the fuzzer also
// reaches the field checks and the store behind the signature check.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/TextCodec.h"
#include "server/FormParser.h"
#include "server/RequestHandler.h"
#include "server/SqliteTagStore.h"
#include "servercache/RequestSigning.h"

namespace {

struct Fixture {
  Fixture() : authenticator(platform::ToWindows1252(nimbrel::kServerCacheSigningKey), 600) {
    std::string error;
    store.Open(":memory:", error);
  }
  cache_server::SqliteTagStore store;
  cache_server::RequestAuthenticator authenticator;
  cache_server::RequestHandler handler{store, authenticator};
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Fixture fixture;
  if (size == 0) return 0;
  const std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);

  cache_server::ParsedForm form;
  std::string error;
  if (cache_server::ParseForm(input, form, error)) {
    // An accepted form: named, distinct, few fields; the signed text is all
    // before the last signature; and the fields, written again with every
    // byte escaped, read back the same.
    if (form.fields.size() > cache_server::kMaxFormParameters) __builtin_trap();
    const std::size_t mark = input.rfind("&signature=");
    if (form.signedText != (mark == std::string_view::npos ? std::string_view() : input.substr(0, mark))) {
      __builtin_trap();
    }
    std::string again;
    for (const cache_server::FormField& field : form.fields) {
      if (field.name.empty()) __builtin_trap();
      if (!again.empty()) again += '&';
      for (const std::string* part : {&field.name, &field.value}) {
        for (const char c : *part) {
          static const char kHex[] = "0123456789abcdef";
          again += '%';
          again += kHex[static_cast<unsigned char>(c) >> 4];
          again += kHex[c & 15];
        }
        if (part == &field.name) again += '=';
      }
    }
    cache_server::ParsedForm reread;
    if (!cache_server::ParseForm(again, reread, error) || reread.fields.size() != form.fields.size()) __builtin_trap();
    for (std::size_t i = 0; i < form.fields.size(); ++i) {
      if (reread.fields[i].name != form.fields[i].name || reread.fields[i].value != form.fields[i].value) {
        __builtin_trap();
      }
    }
  }

  static const char* const kPaths[] = {"/lookup.php", "/fill.php", "/reportFail.php", "/other"};
  const char* path = kPaths[data[0] & 3];
  std::string body(input);
  if (data[0] & 4) {
    body += "&signature=" + platform::ToUtf8(nimbrel::SignRequest(nimbrel::kServerCacheSigningKey,
                                                                  platform::FromWindows1252(input)));
  }
  // The clock at 2026-01-15 12:00:00 UTC, the time of the seed corpus.
  const cache_server::HandlerResponse response =
      fixture.handler.Handle(path, body, (data[0] & 8) ? "127.0.0.1" : "::1", 1768478400);
  if (response.status != 200 && response.status != 202 && response.status != 207 && response.status != 400 &&
      response.status != 403 && response.status != 404 && response.status != 500 && response.status != 503) {
    __builtin_trap();
  }
  // A request served (no refusal, no store failure) carried its signature as
  // the literal last pair, after all the text it signs.
  if (response.reason.empty()) {
    cache_server::ParsedForm served;
    if (!cache_server::ParseForm(body, served, error) || served.signedText.empty() ||
        body.find('&', served.signedText.size() + 1) != std::string::npos) {
      __builtin_trap();
    }
  }
  return 0;
}
