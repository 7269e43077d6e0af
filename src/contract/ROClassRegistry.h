#pragma once

#include <map>
#include <string_view>

#include "common/Text.h"
#include "contract/ROTypes.h"

namespace qit {

// The serializable classes known by name, for the reader's type checks and for creating
// the records and arrays it finds. Names are matched without regard to letter case.
class TROClassRegistry {
 public:
  // Fails with EROException 'Class "<name>" is already registered' for a name it holds.
  void Register(const TROClassInfo& info);
  // nullptr when no class of that name is registered.
  const TROClassInfo* Find(std::string_view name) const;

 private:
  std::map<std::string_view, const TROClassInfo*, TextLess> classes_;
};

}  // namespace qit
