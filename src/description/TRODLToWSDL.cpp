#include "description/TRODLToWSDL.h"

#include <fmt/format.h>

#include <algorithm>

#include "common/Errors.h"
#include "common/Text.h"
#include "common/XmlText.h"

namespace qit {

namespace {

class WsdlLines {
 public:
  template <typename... Args>
  void Add(int indent, fmt::format_string<Args...> text, Args&&... args) {
    std::string line(static_cast<std::size_t>(indent), ' ');
    fmt::format_to(std::back_inserter(line), text, std::forward<Args>(args)...);
    lines_.push_back(std::move(line));
  }
  std::vector<std::string> Take() { return std::move(lines_); }

 private:
  std::vector<std::string> lines_;
};

bool IsInput(const TRODLParameter& parameter) {
  return SameText(parameter.Flag, "In") || SameText(parameter.Flag, "InOut");
}

bool IsOutput(const TRODLParameter& parameter) {
  return SameText(parameter.Flag, "Out") || SameText(parameter.Flag, "InOut");
}

std::string SchemaType(const TRODLLibrary& library, const std::string& type) {
  if (SameText(type, "String")) return "xs:string";
  if (SameText(type, "DateTime")) return "xs:dateTime";
  if (SameText(type, "Integer")) return "xs:int";
  if (library.IsStruct(type) || library.IsArray(type)) return "tns:" + type;
  throw Exception(fmt::format("Unsupported data type {}", type));
}

// The operations of a service, over all of its interfaces.
template <typename Visit>
void ForEachOperation(const TRODLService& service, Visit visit) {
  for (const TRODLInterface& interface : service.Interfaces)
    for (const TRODLOperation& operation : interface.Operations) visit(operation);
}

void WriteHead(WsdlLines& out, const TRODLLibrary& library, const std::string& target_namespace) {
  out.Add(0, R"(<?xml version="1.0" encoding="UTF-8" ?>)");
  out.Add(0, "<wsdl:definitions ");
  out.Add(3, R"(xmlns:wsdl="http://schemas.xmlsoap.org/wsdl/" )");
  out.Add(3, R"(xmlns:xs="http://www.w3.org/2001/XMLSchema" )");
  out.Add(3, R"(name="{}" )", library.Name);
  out.Add(3, R"(xmlns:soap="http://schemas.xmlsoap.org/wsdl/soap/" )");
  out.Add(3, R"(xmlns:soapenc="http://schemas.xmlsoap.org/soap/encoding/" )");
  out.Add(3, R"(xmlns:mime="http://schemas.xmlsoap.org/wsdl/mime/")");
  out.Add(3, R"(targetNamespace="{}" )", target_namespace);
  out.Add(3, R"(xmlns:tns="{}" )", target_namespace);
  out.Add(0, ">");
}

void WriteWrapperElement(WsdlLines& out, const TRODLLibrary& library, const std::string& name,
                         const std::vector<const TRODLParameter*>& parameters) {
  out.Add(3, R"(<xs:element name="{}">)", name);
  out.Add(6, "<xs:complexType>");
  out.Add(9, "<xs:sequence>");
  for (const TRODLParameter* parameter : parameters)
    out.Add(12, R"(<xs:element name="{}" minOccurs="1" maxOccurs="1" type="{}" />)", parameter->Name,
            SchemaType(library, parameter->DataType));
  out.Add(9, "</xs:sequence>");
  out.Add(6, "</xs:complexType>");
  out.Add(3, "</xs:element>");
}

void WriteTypes(WsdlLines& out, const TRODLLibrary& library, const std::vector<const TRODLService*>& services,
                const std::string& target_namespace) {
  out.Add(3, "<wsdl:types>");
  out.Add(6, R"(<xs:schema targetNamespace="{}" elementFormDefault="qualified">)", target_namespace);
  for (const TRODLStruct& type : library.Structs) {
    out.Add(9, R"(<xs:complexType name="{}">)", type.Name);
    out.Add(12, "<xs:sequence>");
    for (const TRODLElement& element : type.Elements) {
      out.Add(15, R"(<xs:element name="{}" type="{}">)", element.Name, SchemaType(library, element.DataType));
      out.Add(15, "</xs:element>");
    }
    out.Add(12, "</xs:sequence>");
    out.Add(9, "</xs:complexType>");
  }
  for (const TRODLArray& type : library.Arrays) {
    out.Add(9, R"(<xs:complexType name="{}">)", type.Name);
    out.Add(12, "<xs:sequence>");
    out.Add(15, R"(<xs:element name="{}" minOccurs="{}" maxOccurs="unbounded" type="{}" />)", type.ElementType, 0,
            SchemaType(library, type.ElementType));
    out.Add(12, "</xs:sequence>");
    out.Add(9, "</xs:complexType>");
  }
  for (const TRODLService* service : services) {
    ForEachOperation(*service, [&](const TRODLOperation& operation) {
      std::vector<const TRODLParameter*> inputs;
      std::vector<const TRODLParameter*> outputs;
      if (const TRODLParameter* result = operation.Result()) outputs.push_back(result);
      for (const TRODLParameter& parameter : operation.Parameters) {
        if (IsInput(parameter)) inputs.push_back(&parameter);
        if (IsOutput(parameter)) outputs.push_back(&parameter);
      }
      WriteWrapperElement(out, library, fmt::format("{}___{}", service->Name, operation.Name), inputs);
      WriteWrapperElement(out, library, fmt::format("{}___{}Response", service->Name, operation.Name), outputs);
    });
  }
  out.Add(6, "</xs:schema>");
  out.Add(3, "</wsdl:types>");
}

void WriteMessages(WsdlLines& out, const TRODLService& service) {
  ForEachOperation(service, [&](const TRODLOperation& operation) {
    const std::string element = fmt::format("{}___{}", service.Name, operation.Name);
    out.Add(3, R"(<wsdl:message name="{}Request">)", element);
    out.Add(6, R"(<wsdl:part name="parameters" element="tns:{}" />)", element);
    out.Add(3, "</wsdl:message>");
    out.Add(3, R"(<wsdl:message name="{}Response">)", element);
    out.Add(6, R"(<wsdl:part name="parameters" element="tns:{}Response" />)", element);
    out.Add(3, "</wsdl:message>");
  });
}

void WritePortType(WsdlLines& out, const TRODLService& service) {
  out.Add(3, R"(<wsdl:portType name="{}">)", service.Name);
  ForEachOperation(service, [&](const TRODLOperation& operation) {
    out.Add(6, R"(<wsdl:operation name="{}">)", operation.Name);
    out.Add(9, R"(<wsdl:input message="tns:{}___{}Request" />)", service.Name, operation.Name);
    out.Add(9, R"(<wsdl:output message="tns:{}___{}Response" />)", service.Name, operation.Name);
    out.Add(6, "</wsdl:operation>");
  });
  out.Add(3, "</wsdl:portType>");
}

void WriteBinding(WsdlLines& out, const TRODLLibrary& library, const TRODLService& service) {
  out.Add(3, R"(<wsdl:binding name="{}Binding" type="tns:{}">)", service.Name, service.Name);
  out.Add(6, R"(<soap:binding transport="http://schemas.xmlsoap.org/soap/http" />)");
  ForEachOperation(service, [&](const TRODLOperation& operation) {
    out.Add(9, R"(<wsdl:operation name="{}">)", operation.Name);
    out.Add(12, R"(<soap:operation soapAction="urn:{}-{}#{}" style="document" />)", library.Name, service.Name,
            operation.Name);
    for (const char* direction : {"input", "output"}) {
      out.Add(12, "<wsdl:{}>", direction);
      out.Add(15, R"(<soap:body use="literal" />)");
      out.Add(12, "</wsdl:{}>", direction);
    }
    out.Add(9, "</wsdl:operation>");
  });
  out.Add(3, "</wsdl:binding>");
}

void WriteService(WsdlLines& out, const TRODLService& service, const std::string& location) {
  std::string query_name = service.Name;
  std::replace(query_name.begin(), query_name.end(), ' ', '+');
  out.Add(3, R"(<wsdl:service name="{}">)", service.Name);
  out.Add(6, R"(<wsdl:port name="{}Port" binding="tns:{}Binding">)", service.Name, service.Name);
  // The address comes from the request (Host field and path): escaped, it cannot break the document.
  out.Add(9, R"(<soap:address location="{}?service={}" />)", XmlEscape(location, true), query_name);
  out.Add(6, "</wsdl:port>");
  out.Add(3, "</wsdl:service>");
}

}  // namespace

std::vector<std::string> TRODLToWSDL::Generate(const WsdlTarget& target) const {
  std::vector<const TRODLService*> services;
  if (!target.service_name.empty()) {
    const TRODLService* service = library_.FindService(target.service_name);
    if (service == nullptr) throw Exception(fmt::format("Invalid TargetEntity \"{}\"", target.service_name));
    services.push_back(service);
  } else {
    for (const TRODLService& service : library_.Services) services.push_back(&service);
  }
  const std::string target_namespace = target.target_namespace.find(':') == std::string::npos
                                           ? "urn:" + target.target_namespace
                                           : target.target_namespace;
  if (!target.xsd_name.empty()) throw Exception("No xsd by that name");

  WsdlLines out;
  WriteHead(out, library_, target_namespace);
  WriteTypes(out, library_, services, target_namespace);
  for (const TRODLService* service : services) WriteMessages(out, *service);
  for (const TRODLService* service : services) WritePortType(out, *service);
  for (const TRODLService* service : services) WriteBinding(out, library_, *service);
  for (const TRODLService* service : services) WriteService(out, *service, target.location);
  out.Add(0, "</wsdl:definitions>");
  return out.Take();
}

}  // namespace qit
