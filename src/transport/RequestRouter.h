#pragma once

#include <cstddef>

#include "transport/HttpMessage.h"
#include "transport/TROHTTPDispatcher.h"

namespace qit {

// What a listener serves besides its dispatchers, and how it reports failures.
struct HttpServeOptions {
  bool serve_rodl = true;              // service description and interface definition
  bool serve_info_page = true;         // information page, icon, documentation page
  bool send_exceptions_as_500 = true;  // a failed request is answered with status 500
};

// Whether the request may be answered: an Authorization field must use the "Basic" scheme.
// The credentials themselves are not checked; this server has no users.
bool HasSupportedAuthorization(const HttpRequest& request);

// The answer to a request whose head or body exceeds what the listener reads.
HttpResponse PayloadTooLargeResponse(std::size_t max_body_bytes);

// Answers one request: routes it by the first segment of its path to a dispatcher's
// message handler, to the service description or the interface definition, or to one of
// the built-in pages. An error that escapes the routing becomes status 500 with the
// error's message as the body.
HttpResponse AnswerRequest(const HttpRequest& request, const TROHTTPMessageDispatchers& dispatchers,
                           const HttpServeOptions& options);

}  // namespace qit
