#include "contract/ROClassRegistry.h"

#include <fmt/format.h>

#include "contract/ROExceptions.h"

namespace qit {

void TROClassRegistry::Register(const TROClassInfo& info) {
  if (!classes_.emplace(info.name, &info).second)
    throw EROException(fmt::format("Class \"{}\" is already registered", info.name));
}

const TROClassInfo* TROClassRegistry::Find(std::string_view name) const {
  const auto found = classes_.find(name);
  return found == classes_.end() ? nullptr : found->second;
}

}  // namespace qit
