#include "transport/RequestRouter.h"

#include <fmt/format.h>

#include "common/Resources.h"
#include "common/Text.h"
#include "transport/InfoPage.h"
#include "transport/ServiceDescriptionPages.h"
#include "transport/THTTPTransport.h"
#include "transport/TRODLToXML.h"

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
// tells whether the request succeeded.
class Router {
 public:
  Router(const TROHTTPMessageDispatchers& dispatchers, const HttpServeOptions& options, THTTPTransport& transport,
         std::string& text)
      : dispatchers_(dispatchers), options_(options), transport_(transport), text_(text) {}

  bool Route(std::string_view request_text) {
    const auto [path, sub_path] = Split(transport_.RequestPath());
    if (const TROHTTPDispatcher* dispatcher = dispatchers_.FindDispatcher(path))
      return ToDispatcher(*dispatcher, request_text, sub_path);
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

 private:
  bool ToDispatcher(const TROHTTPDispatcher& dispatcher, std::string_view request_text, const std::string& sub_path) {
    IMessageHandler& handler = *dispatcher.Message;
    // A request without a body asks for the service description, whatever follows the path.
    if (request_text.empty())
      return options_.serve_rodl ? handler.ProcessMessage(transport_, request_text, text_) : InvalidPath();
    if (sub_path.empty() || !options_.serve_rodl) return handler.ProcessMessage(transport_, request_text, text_);
    if (SameText(sub_path, "rodl")) {
      OverridePath(dispatcher);
      return Answer(FindResource("RODLFILE"), kXmlUtf8ContentType);
    }
    const std::string metadata = handler.MetadataName();
    if (!metadata.empty() && SameText(metadata, sub_path)) {
      OverridePath(dispatcher);
      transport_.SetResponseContentType(handler.WriteServiceDescription(transport_, text_));
      return true;
    }
    return handler.ProcessMessage(transport_, request_text, text_);
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

}  // namespace

bool HasSupportedAuthorization(const HttpRequest& request) {
  const std::string* authorization = request.FindHeader("Authorization");
  if (authorization == nullptr || authorization->empty()) return true;
  return SameText(std::string_view(*authorization).substr(0, authorization->find(' ')), "Basic");
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

HttpResponse AnswerRequest(const HttpRequest& request, const TROHTTPMessageDispatchers& dispatchers,
                           const HttpServeOptions& options) {
  HttpResponse response;
  std::string text;
  try {
    THTTPTransport transport(request, response);
    const bool ok = Router(dispatchers, options, transport, text).Route(request.body);
    response.status = ok || !options.send_exceptions_as_500 ? 200 : 500;
  } catch (const std::exception& error) {
    // The edge of the request: whatever failed, the client gets its message.
    response.status = 500;
    response.content_type = "text/html";
    text = error.what();
  }
  response.body = std::move(text);
  return response;
}

}  // namespace qit
