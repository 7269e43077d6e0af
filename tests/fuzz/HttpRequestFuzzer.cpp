// Feeds arbitrary bytes, as a client would send them, through the listener's request path:
// the incremental parser (in pieces of a size the input chooses), the authorization check,
// the routing with its transport, the service description and pages, and the response head.
// Everything but the sockets.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "TestMessageHandler.h"
#include "transport/HttpRequestParser.h"
#include "transport/RequestRouter.h"

namespace {

// A body is echoed with what the transport tells of the request; one that begins with "F"
// counts as a fault.
class EchoHandler : public qit::test::TestMessageHandler {
 protected:
  bool ProcessBody(qit::IHTTPTransport& transport, std::string_view request, std::string& response) override {
    response.assign(request);
    response += transport.RequestPath() + transport.RequestQuery() + transport.RequestLocation() +
                transport.QueryParameter("service") + transport.RequestHeader("SOAPAction");
    return request.front() != 'F';
  }
};

const qit::TROHTTPMessageDispatchers& Dispatchers() {
  static const qit::TROHTTPMessageDispatchers dispatchers = [] {
    qit::TROHTTPMessageDispatchers table;
    table.Add({"SOAPMessage", std::make_shared<EchoHandler>(), true, "Integracao_Telemetria"});
    return table;
  }();
  return dispatchers;
}

constexpr std::size_t kMaxBody = 4096;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  // The first byte sets the size of the reads the bytes arrive in.
  const std::size_t piece = 1 + data[0] % 97;
  std::string_view input(reinterpret_cast<const char*>(data + 1), size - 1);

  qit::HttpRequestParser parser(kMaxBody);
  using Result = qit::HttpRequestParser::Result;
  Result result = Result::kNeedMore;
  while (!input.empty() && result == Result::kNeedMore) {
    const std::string_view chunk = input.substr(0, piece);
    input.remove_prefix(chunk.size());
    result = parser.Feed(chunk);
  }
  if (result == Result::kNeedMore) result = parser.FinishInput();

  qit::HttpResponse response;
  if (result == Result::kTooLarge) {
    response = qit::PayloadTooLargeResponse(kMaxBody);
  } else if (result == Result::kBadRequest) {
    response = qit::BadRequestResponse();
  } else if (result == Result::kComplete && qit::HasSupportedAuthorization(parser.Request())) {
    if (parser.Request().body.size() > kMaxBody) __builtin_trap();
    response = qit::AnswerRequest(parser.Request(), Dispatchers(), qit::HttpServeOptions{});
  } else {
    return 0;
  }
  const std::string head = qit::FormatResponseHead(response);
  if (head.find("\r\n\r\n") != head.size() - 4) __builtin_trap();
  return 0;
}
