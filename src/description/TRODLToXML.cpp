#include "description/TRODLToXML.h"

#include <fmt/format.h>

#include <initializer_list>
#include <utility>

#include "common/XmlText.h"

namespace qit {

namespace {

using Attributes = std::initializer_list<std::pair<std::string_view, std::string_view>>;

class XmlLines {
 public:
  explicit XmlLines(std::string& out) : out_(out) {}

  // An element on a line of its own; attributes without a value are left out.
  void Open(std::string_view name, Attributes attributes = {}) { Tag(name, attributes, ">"); }
  void Empty(std::string_view name, Attributes attributes) { Tag(name, attributes, " />"); }
  void Close(std::string_view name) { fmt::format_to(std::back_inserter(out_), "</{}>\r\n", name); }
  void Documentation(std::string_view text) {
    if (!text.empty())
      fmt::format_to(std::back_inserter(out_), "<Documentation>{}</Documentation>\r\n", XmlEscape(text));
  }

 private:
  void Tag(std::string_view name, Attributes attributes, std::string_view end) {
    out_ += '<';
    out_ += name;
    for (const auto& [attribute, value] : attributes)
      if (!value.empty()) fmt::format_to(std::back_inserter(out_), " {}=\"{}\"", attribute, XmlEscape(value, true));
    out_ += end;
    out_ += "\r\n";
  }

  std::string& out_;
};

void WriteOperation(XmlLines& xml, const TRODLOperation& operation) {
  xml.Open("Operation", {{"Name", operation.Name}, {"UID", operation.UID}});
  xml.Documentation(operation.Documentation);
  xml.Open("Parameters");
  for (const TRODLParameter& parameter : operation.Parameters)
    xml.Empty("Parameter", {{"Name", parameter.Name}, {"DataType", parameter.DataType}, {"Flag", parameter.Flag}});
  xml.Close("Parameters");
  xml.Close("Operation");
}

void WriteService(XmlLines& xml, const TRODLService& service) {
  xml.Open("Service", {{"Name", service.Name},
                       {"UID", service.UID},
                       {"Ancestor", service.Ancestor},
                       {"Abstract", service.Abstract ? "1" : ""}});
  xml.Documentation(service.Documentation);
  xml.Open("Interfaces");
  for (const TRODLInterface& interface : service.Interfaces) {
    xml.Open("Interface", {{"Name", interface.Name}, {"UID", interface.UID}});
    xml.Documentation(interface.Documentation);
    xml.Open("Operations");
    for (const TRODLOperation& operation : interface.Operations) WriteOperation(xml, operation);
    xml.Close("Operations");
    xml.Close("Interface");
  }
  xml.Close("Interfaces");
  xml.Close("Service");
}

void WriteStruct(XmlLines& xml, const TRODLStruct& type) {
  xml.Open("Struct", {{"Name", type.Name}, {"UID", type.UID}, {"AutoCreateParams", type.AutoCreateParams}});
  xml.Documentation(type.Documentation);
  xml.Open("Elements");
  for (const TRODLElement& element : type.Elements)
    xml.Empty("Element", {{"Name", element.Name}, {"DataType", element.DataType}});
  xml.Close("Elements");
  xml.Close("Struct");
}

void WriteArray(XmlLines& xml, const TRODLArray& type) {
  xml.Open("Array", {{"Name", type.Name}, {"UID", type.UID}});
  xml.Documentation(type.Documentation);
  xml.Empty("ElementType", {{"DataType", type.ElementType}});
  xml.Close("Array");
}

}  // namespace

std::string TRODLToXML(const TRODLLibrary& library, std::string_view stylesheet_href) {
  std::string out =
      fmt::format("<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n<?xml-stylesheet type=\"text/xsl\" href=\"{}\"?>\r\n",
                  XmlEscape(stylesheet_href, true));
  XmlLines xml(out);
  xml.Open("Library", {{"Name", library.Name},
                       {"UID", library.UID},
                       {"Version", library.Version},
                       {"TargetNamespace", library.TargetNamespace}});
  xml.Documentation(library.Documentation);
  xml.Open("Services");
  for (const TRODLService& service : library.Services) WriteService(xml, service);
  xml.Close("Services");
  xml.Open("Structs");
  for (const TRODLStruct& type : library.Structs) WriteStruct(xml, type);
  xml.Close("Structs");
  xml.Open("Arrays");
  for (const TRODLArray& type : library.Arrays) WriteArray(xml, type);
  xml.Close("Arrays");
  xml.Close("Library");
  return out;
}

}  // namespace qit
