#include "transport/TROHTTPDispatcher.h"

#include <fmt/format.h>

#include "common/Errors.h"
#include "common/Text.h"

namespace qit {

const TROHTTPDispatcher& TROHTTPMessageDispatchers::Add(TROHTTPDispatcher dispatcher) {
  if (dispatcher.Message == nullptr)
    throw Exception(fmt::format("Dispatcher {} has no message handler", dispatcher.Name));
  for (const TROHTTPDispatcher& item : items_)
    if (item.Message == dispatcher.Message)
      throw Exception(fmt::format("Dispatcher for {} already assigned", dispatcher.Name));
  return items_.emplace_back(std::move(dispatcher));
}

const TROHTTPDispatcher* TROHTTPMessageDispatchers::FindDispatcher(std::string_view path) const {
  for (auto item = items_.rbegin(); item != items_.rend(); ++item) {
    const std::string& info = item->PathInfo;
    if (SameText(info, path)) return &*item;
    // A PathInfo written without its leading "/" matches the path that has it.
    if (!info.empty() && info.front() != '/' && path.size() == info.size() + 1 && path.front() == '/' &&
        SameText(path.substr(1), info))
      return &*item;
  }
  return nullptr;
}

}  // namespace qit
