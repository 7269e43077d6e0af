#pragma once

#include <exception>
#include <string>

namespace qit {

// Base of every error the program raises. Besides its message it carries the class name
// that log lines and SOAP faults show ("EConvertError", "EROException", ...).
class Exception : public std::exception {
 public:
  explicit Exception(std::string message, std::string class_name = "Exception")
      : message_(std::move(message)), class_name_(std::move(class_name)) {}

  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& Message() const noexcept { return message_; }
  const std::string& ClassName() const noexcept { return class_name_; }

 private:
  std::string message_;
  std::string class_name_;
};

// A text that does not convert to the value asked for (numbers, dates, GUIDs).
class EConvertError : public Exception {
 public:
  explicit EConvertError(std::string message) : Exception(std::move(message), "EConvertError") {}
};

// The class name of any error: ours carry one; anything else is reported as "Exception".
inline std::string ClassNameOf(const std::exception& error) {
  if (const auto* own = dynamic_cast<const Exception*>(&error)) return own->ClassName();
  return "Exception";
}

}  // namespace qit
