#include "transport/InfoPage.h"

#include <fmt/format.h>

#include "common/Resources.h"
#include "common/Version.h"

namespace qit {

namespace {

void ReplaceAll(std::string& text, std::string_view placeholder, std::string_view value) {
  for (std::size_t at = text.find(placeholder); at != std::string::npos; at = text.find(placeholder, at + value.size()))
    text.replace(at, placeholder.size(), value);
}

std::string DispatcherList(std::string_view base_path, const TROHTTPMessageDispatchers& dispatchers) {
  std::string list;
  for (const TROHTTPDispatcher& dispatcher : dispatchers.Items()) {
    std::string_view path = dispatcher.PathInfo;
    if (path.empty()) continue;
    if (path.front() == '/') path.remove_prefix(1);
    fmt::format_to(std::back_inserter(list), "<li><a href=\"{}{}\">{}</a> <i>({})</i></li>", base_path, path, path,
                   dispatcher.Message->ClassName());
  }
  return list;
}

}  // namespace

std::string InformationPage(std::string_view base_path, const TRODLLibrary& library,
                            const TROHTTPMessageDispatchers& dispatchers) {
  std::string base(base_path);
  if (base.empty() || base.back() != '/') base += '/';
  std::string page(FindResource("INFOPAGE"));
  ReplaceAll(page, "%BASEPATH%", base);
  ReplaceAll(page, "%NAME%", library.Name);
  ReplaceAll(page, "%DOC%", library.Documentation);
  ReplaceAll(page, "%DISPATCHERS%", DispatcherList(base, dispatchers));
  ReplaceAll(page, "%RO%", fmt::format("v{}", kVersion));
  return page;
}

}  // namespace qit
