// The tag-cache protocol: the three requests of the library's client
// ("/lookup.php", "/fill.php", "/reportFail.php"), each a form-encoded body
// whose parameters stand exactly in the client's order with the signature
// last (a fill may hold the record's optional fields, RecordFields.h, in
// their places of that order), turned into operations on the store and
// answered by status:
//
//   look-up: 200 with the record ("key=value" lines ended by CR LF, UTF-8),
//            202 while another client searches the song, 207 with the
//            comma-separated sources that found nothing for it, 404 with
//            "skip search" when nobody could tag it, else 404;
//   fill, failure report: 200 once stored.
//   400: malformed (parse error, parameters missing, extra or out of order,
//        a value the client would never send: invalid UTF-8, a control
//        character, over the client's length limits, not a number);
//   403: refused (bad signature, timestamp outside the window, replay: see
//        RequestAuthenticator; a request answered otherwise than served is
//        not remembered, so that it may be sent again unchanged);
//   503: not now (the replay memory is full, or the store cannot write: a
//        full disk, when look-ups are still answered; or the database
//        cannot be reached, when look-ups get 503 too, which the client
//        takes as nothing known);
//   500: the store failed.
//
// Every refusal carries its reason for the log. Independent of HTTP (the
// front end hands in path, body and client address), so it can be driven
// directly by tests and the fuzzer. Thread-safe as its store and
// authenticator are.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "server/RequestAuthenticator.h"
#include "server/TagStore.h"

namespace cache_server {

struct HandlerResponse {
  int status = 200;
  std::string body;
  // Why a request was refused or failed; empty for a served request.
  std::string reason;
};

class RequestHandler {
 public:
  // Both must outlive the handler.
  RequestHandler(TagStore& store, RequestAuthenticator& authenticator);

  // `path`: the request's path; `client`: the peer's address; `now`: the
  // server's clock in seconds since 1970 UTC.
  HandlerResponse Handle(std::string_view path, std::string_view body, std::string_view client, std::int64_t now);

 private:
  TagStore& store_;
  RequestAuthenticator& authenticator_;
};

}  // namespace cache_server
