#include "soap/SoapRequest.h"

#include <fmt/format.h>

#include "common/Errors.h"
#include "common/Text.h"
#include "contract/ROExceptions.h"
#include "soap/ROGuid.h"
#include "soap/SOAPConstants.h"
#include "soap/SOAPNames.h"
#include "soap/XmlNodes.h"

namespace qit {

namespace {

constexpr std::string_view kInvalidEnvelope = "Invalid SOAP Envelope. ";

[[noreturn]] void InvalidEnvelope(std::string_view reason) {
  throw EROException(std::string(kInvalidEnvelope) + std::string(reason));
}

// The error a body that starts like an encrypted stream gets: its first 500 bytes, control
// characters other than CR shown as ".".
EROInvalidStream InvalidBinaryHeader(std::string_view request) {
  std::string shown(request.substr(0, 500));
  for (char& c : shown)
    if (static_cast<unsigned char>(c) < 32 && c != '\r') c = '.';
  return EROInvalidStream(
      "Invalid binary header. It seems that encryption is active on the other side of the communication, but not "
      "locally?\r\r" +
      shown);
}

// A fault received in a request, raised again as the error its code names.
[[noreturn]] void RaiseFault(const pugi::xml_node& fault) {
  const std::string code = TextContent(FindChildElement(fault, "faultcode", true));
  std::string text = TextContent(FindChildElement(fault, "faultstring", true));
  if (SameText(code, "EConvertError")) throw EConvertError(std::move(text));
  if (SameText(code, "EROInvalidStream")) throw EROInvalidStream(std::move(text));
  throw EROException(std::move(text));
}

// The length of the well-formed UTF-8 sequence at text[i], or 0 when there is none.
std::size_t Utf8SequenceAt(std::string_view text, std::size_t i) {
  const auto at = [&](std::size_t k) { return static_cast<unsigned char>(text[i + k]); };
  const unsigned char lead = at(0);
  if (lead < 0x80) return 1;
  // Allowed range of the second byte for each lead byte; the others are plain continuations.
  unsigned char low = 0x80, high = 0xBF;
  std::size_t length = 0;
  if (lead >= 0xC2 && lead <= 0xDF) length = 2;
  else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  }
  if (length == 0 || i + length > text.size() || at(1) < low || at(1) > high) return 0;
  for (std::size_t k = 2; k < length; ++k)
    if ((at(k) & 0xC0) != 0x80) return 0;
  return length;
}

// Error texts can carry bytes of the request. What is not UTF-8 is read as Latin-1, and the
// control characters XML cannot carry are shown as ".", so the fault stays well-formed.
std::string XmlSafeText(std::string_view text) {
  std::string safe;
  safe.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const auto byte = static_cast<unsigned char>(text[i]);
    const std::size_t length = Utf8SequenceAt(text, i);
    if (length == 0) {
      safe += static_cast<char>(0xC0 | (byte >> 6));
      safe += static_cast<char>(0x80 | (byte & 0x3F));
      ++i;
    } else if (length == 1 && byte < 32 && byte != '\t' && byte != '\n' && byte != '\r') {
      safe += '.';
      ++i;
    } else {
      safe.append(text.substr(i, length));
      i += length;
    }
  }
  return safe;
}

}  // namespace

SoapRequest::SoapRequest(const TROSOAPMessage& handler, AnswerMode mode)
    : handler_(handler),
      mode_(mode),
      client_id_(NewGuid()),
      reader_(handler.Classes(), handler.Options().Contains(xsoStrictStructureFieldOrder)),
      writer_(handler.Classes(), handler.Options().Contains(xsoStrictStructureFieldOrder)) {}

bool SoapRequest::Process(IHTTPTransport& transport, std::string_view request, std::string& response) {
  try {
    PrepareRead(transport);
    ReadEnvelope(request);
    Invoke(transport);
    WriteEnvelope(response);
    return true;
  } catch (const std::exception& error) {
    // The edge of the request: whatever failed is answered as a fault. An error while
    // writing the fault itself leaves this function for the listener to answer.
    AnswerFault(transport, response, error);
    return false;
  }
}

void SoapRequest::AnswerFault(IROTransport& transport, std::string& response, const std::exception& error) {
  InitializeFault(transport, {}, interface_name_, message_name_);
  WriteFault(response, error);
}

std::function<void(std::exception_ptr error)> SoapRequest::HoldAnswer() {
  if (mode_ != kMayHoldAnswer) return {};
  held_ = std::make_shared<HeldAnswer>();
  return held_->Settler();
}

void SoapRequest::Invoke(IHTTPTransport& transport) {
  if (interface_name_.empty()) throw EROException("The message does not have an interface name");
  if (message_name_.empty()) throw EROException("The message does not have a name");
  if (client_id_.is_nil()) client_id_ = NewGuid();
  const TROClassFactory* factory = handler_.Factories().Find(interface_name_);
  if (factory == nullptr) throw EROException(fmt::format("Class factory for interface {} not found", RequestText(interface_name_)));
  factory->Invoker().HandleMessage(*factory, *this, transport);
}

void SoapRequest::PrepareRead(IROTransport& transport) {
  IHTTPTransport* http = transport.TransportInstance();
  soap_action_ = http ? http->RequestHeader("SOAPAction") : std::string();
  service_name_ = http ? http->QueryParameter("service") : std::string();
}

void SoapRequest::ReadEnvelope(std::string_view request) {
  if (const std::optional<std::string> error = LoadXml(request_, request)) {
    if (request.starts_with("rorock")) throw InvalidBinaryHeader(request);
    throw EROException("Cannot parse SOAP error: " + *error);
  }
  const pugi::xml_node envelope = request_.document_element();
  if (!envelope || LocalName(envelope) != "Envelope") InvalidEnvelope("SOAP Envelope node missing or not root.");

  pugi::xml_node body;
  for (pugi::xml_node child = FirstChildElement(envelope); child; child = NextSiblingElement(child)) {
    if (LocalName(child) == "Body" && !body) body = child;
    else if (LocalName(child) == "Header") ReadHeader(child);
  }
  if (!body) InvalidEnvelope("SOAP envelope does not contain a Body.");
  const pugi::xml_node message = FirstChildElement(body);
  if (!message) InvalidEnvelope("SOAP Body does not contain a message nor a fault");
  if (LocalName(message) == "Fault") RaiseFault(message);

  const pugi::xml_attribute first_attribute = message.first_attribute();
  const TSOAPNames names = ResolveSOAPNames({
      .soap_action = soap_action_,
      .service_name = service_name_,
      .message_local_name = std::string(LocalName(message)),
      .message_namespace = NamespaceUri(message),
      .body_namespace = NamespaceUri(body),
      .envelope_namespace = NamespaceUri(envelope),
      .first_attribute = first_attribute ? std::optional<std::string>(first_attribute.value()) : std::nullopt,
  });
  library_name_ = names.library_name;
  interface_name_ = names.interface_name;
  message_name_ = names.message_name;
  reader_.BeginRead(message, &handler_.ReadLimits());
}

void SoapRequest::ReadHeader(const pugi::xml_node& header) {
  for (pugi::xml_node child = FirstChildElement(header); child; child = NextSiblingElement(child)) {
    const std::string_view name = LocalName(child);
    const bool own_text = name == "ROClientID";
    if (!own_text && name != "ROClientIDHeader") continue;
    const std::string id = TextContent(own_text ? child : FindChildElement(child, "ID", true));
    if (!id.empty()) client_id_ = StringToGuid(id);
    if (own_text) return;
  }
}

std::unique_ptr<TROSerializable> SoapRequest::ReadParameter(std::string_view name, const TROClassInfo& type) {
  if (type.kind == TROClassInfo::Kind::Array) return reader_.ReadArray(name, type);
  return reader_.ReadStruct(name, type);
}

std::string SoapRequest::LibraryNamespace() const {
  const std::string name = library_name_.empty() ? "DefaultLibrary" : library_name_;
  return name.find(':') == std::string::npos ? "urn:" + name : name;
}

void SoapRequest::StartEnvelope() {
  response_.reset();
  pugi::xml_node declaration = response_.append_child(pugi::node_declaration);
  declaration.append_attribute("version") = "1.0";
  declaration.append_attribute("encoding") = "utf-8";
  pugi::xml_node envelope = response_.append_child("SOAP-ENV:Envelope");
  envelope.append_attribute("xmlns:SOAP-ENV") = kSOAPEnvelopeNamespace;
  envelope.append_attribute("xmlns:xsd") = kXMLSchemaNamespace;
  envelope.append_attribute("xmlns:xsi") = kXMLSchemaInstanceNamespace;
  envelope.append_attribute("xmlns:HNS") = handler_.TargetNamespace().c_str();
  envelope.append_attribute("xmlns:SOAP-ENC") = kSOAPEncodingNamespace;
  response_header_ = envelope.append_child("SOAP-ENV:Header");
  response_body_ = envelope.append_child("SOAP-ENV:Body");
  if (!handler_.Options().Contains(xsoDocument))
    response_body_.append_attribute("SOAP-ENV:encodingStyle") = kSOAPEncodingNamespace;
  response_body_.append_attribute("xmlns:ro") = LibraryNamespace().c_str();
  writer_.BeginDocument(envelope);
}

void SoapRequest::SetNames(IROTransport& transport, std::string_view interface_name, std::string_view message_name) {
  interface_name_ = interface_name;
  message_name_ = message_name;
  if (IHTTPTransport* http = transport.TransportInstance()) http->SetResponseContentType(kSOAPContentType);
}

void SoapRequest::InitializeResponse(IROTransport& transport, std::string_view library,
                                     std::string_view interface_name, std::string_view message_name) {
  library_name_ = library;
  SetNames(transport, interface_name, message_name);
  StartEnvelope();
  if (message_name.starts_with("___")) message_name.remove_prefix(3);
  writer_.BeginElement(response_body_, fmt::format("{}___{}", interface_name, message_name),
                       handler_.TargetNamespace());
}

void SoapRequest::WriteParameter(std::string_view name, const TROClassInfo& type, const TROSerializable* value) {
  if (type.kind == TROClassInfo::Kind::Array)
    writer_.WriteArray(name, type, dynamic_cast<const TROArray*>(value));
  else
    writer_.WriteStruct(name, type, dynamic_cast<const TROComplexType*>(value));
}

void SoapRequest::FinishEnvelope(std::string& response) {
  const std::string id = GuidToString(client_id_);
  if (handler_.Options().Contains(xsoDocument)) {
    pugi::xml_node header = response_header_.append_child("ROClientIDHeader");
    header.append_attribute("SOAP-ENV:mustUnderstand") = "0";
    header.append_attribute("xmlns") = LibraryNamespace().c_str();
    header.append_child("ID").text().set(id.c_str());
  } else {
    pugi::xml_node header = response_header_.append_child("HNS:ROClientID");
    header.append_attribute("SOAP-ENV:mustUnderstand") = "0";
    header.text().set(id.c_str());
  }
  response = SaveXml(response_);
}

void SoapRequest::WriteEnvelope(std::string& response) {
  if (!response_header_) throw EROException("The response message has not been initialized");
  FinishEnvelope(response);
}

void SoapRequest::InitializeFault(IROTransport& transport, std::string_view library, std::string_view interface_name,
                                  std::string_view message_name) {
  if (!library.empty()) library_name_ = library;
  SetNames(transport, interface_name, message_name);
}

void SoapRequest::WriteFault(std::string& response, const std::exception& error) {
  StartEnvelope();
  pugi::xml_node fault = response_body_.append_child("SOAP-ENV:Fault");
  fault.append_child("faultcode").text().set(ClassNameOf(error).c_str());
  fault.append_child("faultstring").text().set(XmlSafeText(error.what()).c_str());
  if (dynamic_cast<const EROException*>(&error) != nullptr)
    writer_.BeginElement(fault.append_child("detail"), "ROException", handler_.TargetNamespace());
  FinishEnvelope(response);
}

}  // namespace qit
