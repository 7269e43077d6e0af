#pragma once

namespace qit {

// Namespace URIs of the SOAP 1.1 envelope and of XML Schema, fixed by their standards.
inline constexpr const char* kSOAPEnvelopeNamespace = "http://schemas.xmlsoap.org/soap/envelope/";
inline constexpr const char* kSOAPEncodingNamespace = "http://schemas.xmlsoap.org/soap/encoding/";
inline constexpr const char* kXMLSchemaNamespace = "http://www.w3.org/2001/XMLSchema";
inline constexpr const char* kXMLSchemaInstanceNamespace = "http://www.w3.org/2001/XMLSchema-instance";

// Content type of every SOAP response and fault.
inline constexpr const char* kSOAPContentType = "text/xml; charset=\"utf-8\"";

}  // namespace qit
