#include "transport/RequestRouter.h"

#include <atomic>
#include <future>
#include <optional>

#include <fmt/format.h>

#include "common/Errors.h"
#include "common/Resources.h"
#include "common/Text.h"
#include "transport/InfoPage.h"
#include "description/ServiceDescriptionPages.h"
#include "transport/THTTPTransport.h"
#include "description/TRODLToXML.h"

namespace qit {

namespace {

constexpr const char* kInvalidPath =
    "<font size=\"7\">500 Invalid Path</font><br />Cannot find message dispatcher. Maybe there is no message "
    "component configured for the requested path?";

struct SplitPath {
  std::string path;      // "/" followed by the first segment
  std::string sub_path;  // the rest after the first segment's "/"
};

SplitPath Split(std::string_view request_path) {
  if (!request_path.empty() && request_path.front() == '/') request_path.remove_prefix(1);
  const std::size_t slash = request_path.find('/');
  if (slash == std::string_view::npos) return {"/" + std::string(request_path), {}};
  return {"/" + std::string(request_path.substr(0, slash)), std::string(request_path.substr(slash + 1))};
}

// One request's routing: fills the response text and the transport's content type, and
// tells through the completion whether the request succeeded.
class Router {
 public:
  Router(const TROHTTPMessageDispatchers& dispatchers, const HttpServeOptions& options, THTTPTransport& transport,
         std::string& text)
      : dispatchers_(dispatchers), options_(options), transport_(transport), text_(text) {}

  // Every way through ends by calling done, except the message handler's, which calls it
  // itself, at once or later.
  void Route(std::string_view request_text, const MessageCompletion& done) {
    const auto [path, sub_path] = Split(transport_.RequestPath());
    if (const TROHTTPDispatcher* dispatcher = dispatchers_.FindDispatcher(path))
      return ToDispatcher(*dispatcher, request_text, sub_path, done);
    done(ToBuiltInPage(path, sub_path));
  }

 private:
  void ToDispatcher(const TROHTTPDispatcher& dispatcher, std::string_view request_text, const std::string& sub_path,
                    const MessageCompletion& done) {
    IMessageHandler& handler = *dispatcher.Message;
    // A request without a body asks for the service description, whatever follows the path.
    if (request_text.empty()) {
      if (!options_.serve_rodl) return done(InvalidPath());
      return handler.ProcessMessage(transport_, request_text, text_, done);
    }
    if (sub_path.empty() || !options_.serve_rodl) return handler.ProcessMessage(transport_, request_text, text_, done);
    if (SameText(sub_path, "rodl")) {
      OverridePath(dispatcher);
      return done(Answer(FindResource("RODLFILE"), kXmlUtf8ContentType));
    }
    const std::string metadata = handler.MetadataName();
    if (!metadata.empty() && SameText(metadata, sub_path)) {
      OverridePath(dispatcher);
      transport_.SetResponseContentType(handler.WriteServiceDescription(transport_, text_));
      return done(true);
    }
    handler.ProcessMessage(transport_, request_text, text_, done);
  }

  bool ToBuiltInPage(const std::string& path, const std::string& sub_path) {
    if (SameText(path, "/rodl") && sub_path.empty() && options_.serve_rodl)
      return Answer(FindResource("RODLFILE"), kXmlUtf8ContentType);
    if (!options_.serve_info_page) return InvalidPath();
    if (SameText(path, "/doc")) {
      if (sub_path == "css") return Answer(FindResource("DOCCSS"), "text/css");
      if (sub_path == "xslt") return Answer(FindResource("DOCXSLT"), "text/xml");
      if (sub_path.empty()) return Answer(TRODLToXML(ReadStoredRODLLibrary(), "/doc/xslt"), "text/xml");
      return InvalidPath();
    }
    if (path == "/favicon.ico") return Answer(FindResource("FAVICON"), "image/x-icon");
    if (path == "/") return Answer(InformationPage("/", ReadStoredRODLLibrary(), dispatchers_), "text/html");
    return InvalidPath();
  }

  // The description then names the dispatcher's own path as the service address.
  void OverridePath(const TROHTTPDispatcher& dispatcher) {
    const std::string& info = dispatcher.PathInfo;
    transport_.SetPathOverride(!info.empty() && info.front() == '/' ? info : "/" + info);
  }

  bool Answer(std::string_view text, const char* content_type) {
    text_.assign(text);
    transport_.SetResponseContentType(content_type);
    return true;
  }

  bool InvalidPath() {
    Answer(kInvalidPath, "text/html");
    return false;
  }

  const TROHTTPMessageDispatchers& dispatchers_;
  const HttpServeOptions& options_;
  THTTPTransport& transport_;
  std::string& text_;
};

// One request from its routing to its answer: the request, the response under construction
// and the transport over both. Held by the completion of the request, so it stays in place
// while a message handler still works on it, whatever happens to the connection meanwhile.
class Exchange {
 public:
  Exchange(HttpRequest request, const HttpServeOptions& options, AnswerCallback answer)
      : request_(std::move(request)),
        transport_(request_, response_),
        send_exceptions_as_500_(options.send_exceptions_as_500),
        answer_(std::move(answer)) {}
  Exchange(const Exchange&) = delete;
  Exchange& operator=(const Exchange&) = delete;

  const HttpRequest& Request() const { return request_; }
  THTTPTransport& Transport() { return transport_; }
  std::string& Text() { return text_; }

  // The routing's result: false when the response text holds a fault or the invalid-path
  // answer.
  void Complete(bool ok) {
    if (!Claim()) return;
    response_.status = ok || !send_exceptions_as_500_ ? 200 : 500;
    response_.body = std::move(text_);
    answer_(RequestAnswer{std::move(response_), nullptr});
  }

  // An error instead of a result: status 500 with the error's message.
  void Fail(const std::exception& error, std::exception_ptr error_ptr) {
    if (!Claim()) return;
    if (!error_ptr) error_ptr = std::make_exception_ptr(Exception(error.what(), ClassNameOf(error)));
    response_.status = 500;
    response_.content_type = "text/html";
    response_.body = error.what();
    answer_(RequestAnswer{std::move(response_), std::move(error_ptr)});
  }

 private:
  // Only the first outcome is answered.
  bool Claim() { return !finished_.exchange(true, std::memory_order_acq_rel); }

  HttpRequest request_;
  HttpResponse response_;
  std::string text_;
  THTTPTransport transport_;  // over request_ and response_, declared before it
  const bool send_exceptions_as_500_;
  const AnswerCallback answer_;
  std::atomic<bool> finished_{false};
};

}  // namespace

bool HasSupportedAuthorization(const HttpRequest& request) {
  const std::string* authorization = request.FindHeader("Authorization");
  if (authorization == nullptr || authorization->empty()) return true;
  return SameText(std::string_view(*authorization).substr(0, authorization->find(' ')), "Basic");
}

HttpResponse BadRequestResponse() {
  HttpResponse response;
  response.status = 400;
  response.body =
      "<font size=\"7\">400 Bad Request</font><br />The length of the request cannot be told for certain: its "
      "Content-Length and Transfer-Encoding fields disagree or are malformed, or a header field's name holds a blank.";
  return response;
}

HttpResponse PayloadTooLargeResponse(std::size_t max_body_bytes) {
  HttpResponse response;
  response.status = 413;
  response.body = fmt::format(
      "<font size=\"7\">413 Payload Too Large</font><br />The request is larger than this server accepts (a body of at "
      "most {} bytes).",
      max_body_bytes);
  return response;
}

HttpResponse ServiceUnavailableResponse() {
  HttpResponse response;
  response.status = 503;
  response.body =
      "<font size=\"7\">503 Service Unavailable</font><br />The memory this server keeps for requests being read is "
      "taken by other requests now. Try again later.";
  return response;
}

void AnswerRequest(HttpRequest request, const TROHTTPMessageDispatchers& dispatchers, const HttpServeOptions& options,
                   AnswerCallback answer) {
  if (options.handler) {
    RequestAnswer result;
    try {
      result.response = options.handler(request);
    } catch (const std::exception& error) {
      result.response = HttpResponse{};
      result.response.status = 500;
      result.response.body = error.what();
      result.error = std::current_exception();
    }
    return answer(std::move(result));
  }
  const auto exchange = std::make_shared<Exchange>(std::move(request), options, std::move(answer));
  // This copy of the completion lives until the routing has returned: a handler that raises
  // after dropping its own copies is answered with its error, not as one that let go.
  const MessageCompletion done([exchange](std::optional<bool> ok) {
    if (ok)
      exchange->Complete(*ok);
    else
      exchange->Fail(Exception("The message handler let the request go without completing it"), nullptr);
  });
  try {
    Router(dispatchers, options, exchange->Transport(), exchange->Text()).Route(exchange->Request().body, done);
  } catch (const std::exception& error) {
    // The edge of the request: whatever failed, the client gets its message.
    exchange->Fail(error, std::current_exception());
  }
}

HttpResponse AnswerRequest(HttpRequest request, const TROHTTPMessageDispatchers& dispatchers,
                           const HttpServeOptions& options) {
  auto promise = std::make_shared<std::promise<HttpResponse>>();
  std::future<HttpResponse> response = promise->get_future();
  AnswerRequest(std::move(request), dispatchers, options,
                [promise](RequestAnswer answer) { promise->set_value(std::move(answer.response)); });
  return response.get();
}

}  // namespace qit
