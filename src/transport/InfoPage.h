#pragma once

#include <string>
#include <string_view>

#include "description/RODLLibrary.h"
#include "transport/TROHTTPDispatcher.h"

namespace qit {

// The information page: the built-in template with "%BASEPATH%", "%NAME%", "%DOC%",
// "%DISPATCHERS%" and "%RO%" replaced, in that order, by the base path (ending with "/"),
// the library's name and documentation, one list item per dispatcher with a path, and the
// program's version.
std::string InformationPage(std::string_view base_path, const TRODLLibrary& library,
                            const TROHTTPMessageDispatchers& dispatchers);

}  // namespace qit
