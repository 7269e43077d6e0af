#pragma once

#include <string>
#include <vector>

namespace qit::testing {

// Builds a small catalogue document for tests: statements with one default variant each.
class ScratchCatalogue {
 public:
  ScratchCatalogue& Dataset(const std::string& name, const std::string& sql, const std::vector<std::string>& params,
                            const std::vector<std::string>& fields) {
    datasets_ += "<Dataset Name=\"" + name + "\">" + Params(params) + Statement(sql, "stSQL") + "<Fields>";
    for (const auto& field : fields) datasets_ += "<Field Name=\"" + field + "\"/>";
    datasets_ += "</Fields></Dataset>";
    return *this;
  }

  ScratchCatalogue& Command(const std::string& name, const std::string& sql, const std::vector<std::string>& params,
                            const std::string& type = "stSQL") {
    commands_ += "<Command Name=\"" + name + "\">" + Params(params) + Statement(sql, type) + "</Command>";
    return *this;
  }

  std::string Xml() const {
    return "<Schema><Datasets>" + datasets_ + "</Datasets><Commands>" + commands_ + "</Commands></Schema>";
  }

 private:
  // "NAME" or "NAME:daptOutput" for another direction.
  static std::string Params(const std::vector<std::string>& params) {
    std::string xml = "<Params>";
    for (const auto& param : params) {
      const auto colon = param.find(':');
      xml += "<Param Name=\"" + param.substr(0, colon) + "\" ParamType=\"" +
             (colon == std::string::npos ? "daptInput" : param.substr(colon + 1)) + "\"/>";
    }
    return xml + "</Params>";
  }

  static std::string Statement(const std::string& sql, const std::string& type) {
    return "<Statements><Statement Default=\"True\" StatementType=\"" + type + "\"><SQL><![CDATA[" + sql +
           "]]></SQL></Statement></Statements>";
  }

  std::string datasets_;
  std::string commands_;
};

}  // namespace qit::testing
