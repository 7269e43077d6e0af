#include "soap/TROSOAPMessage.h"

#include <memory>
#include <optional>

#include "common/Resources.h"
#include "contract/HeldAnswer.h"
#include "soap/SOAPConstants.h"
#include "soap/SoapRequest.h"

namespace qit {

namespace {

// The option set decides whether a library of several services is described one service at
// a time; the description settings follow it rather than keep a second answer of their own.
WsdlSettings DescriptionSettings(WsdlSettings settings, TROXMLSerializationOptions options) {
  settings.split_service_wsdls = options.Contains(xsoSplitServiceWsdls);
  return settings;
}

}  // namespace

TROSOAPMessage::TROSOAPMessage(const TROClassFactoryList& factories, const TROClassRegistry& classes,
                               TROXMLSerializationOptions options, WsdlSettings wsdl_settings)
    : factories_(factories),
      classes_(classes),
      options_(options),
      wsdl_settings_(DescriptionSettings(std::move(wsdl_settings), options)),
      target_namespace_(wsdl_settings_.server_target_namespace.empty() ? kDefaultTargetNamespace
                                                                       : wsdl_settings_.server_target_namespace) {}

void TROSOAPMessage::ProcessMessage(IHTTPTransport& transport, std::string_view request, std::string& response,
                                    MessageCompletion done) {
  // An error while writing a fault leaves here before done is called: the listener answers it.
  if (const std::optional<bool> answered = AnswerShortBody(transport, request, response)) return done(*answered);
  const auto soap = std::make_shared<SoapRequest>(*this, SoapRequest::kMayHoldAnswer);
  if (!soap->Process(transport, request, response)) return done(false);
  const std::shared_ptr<HeldAnswer> held = soap->Held();
  if (!held) return done(true);
  // The operation ends later: the request's document is let go meanwhile, the response
  // written stays, and a failure replaces it with a fault.
  soap->ReleaseRequest();
  held->WhenSettled([soap, &transport, &response, done](std::exception_ptr error) {
    if (!error) return done(true);
    try {
      std::rethrow_exception(error);
    } catch (const std::exception& failure) {
      try {
        soap->AnswerFault(transport, response, failure);
        done(false);
      } catch (const std::exception&) {
        // No fault could be written: done goes uncalled, and the listener answers 500.
      }
    } catch (...) {
    }
  });
}

bool TROSOAPMessage::Answer(IHTTPTransport& transport, std::string_view request, std::string& response) const {
  if (const std::optional<bool> answered = AnswerShortBody(transport, request, response)) return *answered;
  return SoapRequest(*this).Process(transport, request, response);
}

std::optional<bool> TROSOAPMessage::AnswerShortBody(IHTTPTransport& transport, std::string_view request,
                                                    std::string& response) const {
  switch (request.size()) {
    case 0:
      transport.SetResponseContentType(::qit::WriteServiceDescription(transport, response, wsdl_settings_));
      return true;
    case 4:
      response = FindResource("RODLFILE");
      transport.SetResponseContentType(kSOAPContentType);
      return true;
    case 5:
      response = "PROBEDOK";
      return true;
    default:
      return std::nullopt;
  }
}

std::string TROSOAPMessage::WriteServiceDescription(IHTTPTransport& transport, std::string& response) {
  return ::qit::WriteServiceDescription(transport, response, wsdl_settings_);
}

}  // namespace qit
