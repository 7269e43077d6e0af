#pragma once

#include <string>

#include "common/Errors.h"

namespace qit {

// Errors of the remoting layer: the contract classes, the SOAP message and the invocation.
// A SOAP fault carries a "detail" element only for this class and its descendants.
class EROException : public Exception {
 public:
  explicit EROException(std::string message) : Exception(std::move(message), "EROException") {}

 protected:
  EROException(std::string message, std::string class_name) : Exception(std::move(message), std::move(class_name)) {}
};

// A request body that is not a message at all (for example an encrypted stream).
class EROInvalidStream : public EROException {
 public:
  explicit EROInvalidStream(std::string message) : EROException(std::move(message), "EROInvalidStream") {}
};

}  // namespace qit
