#pragma once

#include <string>
#include <string_view>

#include "description/RODLLibrary.h"

namespace qit {

// Writes an interface definition back as XML in the vocabulary of the stored document,
// one element per line, lines ended by CR LF, behind the XML declaration and a processing
// instruction that names stylesheet_href as its XSLT style sheet.
std::string TRODLToXML(const TRODLLibrary& library, std::string_view stylesheet_href);

}  // namespace qit
