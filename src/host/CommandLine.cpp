#include "host/CommandLine.h"

#include "common/Text.h"

namespace qit {

CommandLine ParseCommandLine(const std::vector<std::string>& args) {
  CommandLine result;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--home" || arg == "--unit-dir") {
      if (i + 1 >= args.size()) {
        result.error = arg + " needs a folder";
        break;
      }
      (arg == "--home" ? result.home : result.unit_dir) = args[++i];
      continue;
    }
    if (arg == "--help") {
      result.help = true;
      continue;
    }
    if (arg.size() < 2 || (arg[0] != '/' && arg[0] != '-')) continue;
    const std::string_view name = std::string_view(arg).substr(1);
    if (SameText(name, "INSTALL")) result.install = true;
    else if (SameText(name, "UNINSTALL")) result.uninstall = true;
    else if (SameText(name, "SILENT")) result.silent = true;
  }
  return result;
}

}  // namespace qit
