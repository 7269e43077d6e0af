#pragma once

#include <cstddef>
#include <exception>
#include <functional>
#include <string>

#include "transport/HttpMessage.h"
#include "transport/TROHTTPDispatcher.h"

namespace qit {

// What a listener serves besides its dispatchers, and how it reports failures.
struct HttpServeOptions {
  bool serve_rodl = true;              // service description and interface definition
  bool serve_info_page = true;         // information page, icon, documentation page
  bool send_exceptions_as_500 = true;  // a failed request is answered with status 500
  // When set, answers every request itself, in place of the dispatchers and the built-in
  // pages, at once on the serving thread; what it raises is answered with status 500. Such a
  // listener reads requests of any method, so that the handler can refuse the ones it does
  // not serve.
  std::function<HttpResponse(const HttpRequest&)> handler;
};

// Whether the request may be answered: an Authorization field must use the "Basic" scheme.
// The credentials themselves are not checked; this server has no users.
bool HasSupportedAuthorization(const HttpRequest& request);

// The answer to a request whose framing is ambiguous or malformed (its length could be read
// in more than one way).
HttpResponse BadRequestResponse();

// The answer to a request whose head or body exceeds what the listener reads.
HttpResponse PayloadTooLargeResponse(std::size_t max_body_bytes);

// The answer to a request whose body does not fit in the memory left for request bodies.
HttpResponse ServiceUnavailableResponse();

// The outcome of one request.
struct RequestAnswer {
  HttpResponse response;
  // The error that escaped the routing, or the message handler's failure to complete; the
  // response is then its status-500 answer. Empty otherwise.
  std::exception_ptr error;
};

// Receives the answer of a request, once.
using AnswerCallback = std::function<void(RequestAnswer answer)>;

// Answers one request: routes it by the first segment of its path to a dispatcher's
// message handler, to the service description or the interface definition, or to one of
// the built-in pages. An error that escapes the routing becomes status 500 with the
// error's message as the body.
//
// The answer goes to `answer`, exactly once: before this returns when every step completes
// at once (the built-in pages always do), or later, on the thread where the message
// handler completed. The request is kept, with the transport and the response, until then.
void AnswerRequest(HttpRequest request, const TROHTTPMessageDispatchers& dispatchers, const HttpServeOptions& options,
                   AnswerCallback answer);

// The same, waiting for the answer: for callers that are not on a loop the handler needs.
HttpResponse AnswerRequest(HttpRequest request, const TROHTTPMessageDispatchers& dispatchers,
                           const HttpServeOptions& options);

}  // namespace qit
