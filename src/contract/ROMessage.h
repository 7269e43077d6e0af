#pragma once

#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include <boost/uuid/uuid.hpp>
#include <fmt/format.h>

#include "contract/ROExceptions.h"
#include "contract/ROTransport.h"
#include "contract/ROTypes.h"

namespace qit {

// A client identifier.
using TGuid = boost::uuids::uuid;

// One call's message as the invoker sees it: the names the request resolved to, its
// parameters, and the response being built.
class IROMessage {
 public:
  virtual ~IROMessage() = default;

  virtual const std::string& InterfaceName() const = 0;
  virtual const std::string& MessageName() const = 0;
  virtual const TGuid& ClientID() const = 0;

  // The parameter of that name below the message element, as an instance of type (or a
  // class derived from it); nullptr when the request does not carry it.
  virtual std::unique_ptr<TROSerializable> ReadParameter(std::string_view name, const TROClassInfo& type) = 0;
  // Starts the response message named Interface + "___" + Message.
  virtual void InitializeResponse(IROTransport& transport, std::string_view library, std::string_view interface_name,
                                  std::string_view message_name) = 0;
  // Appends a parameter to the response; a null value is written as the type's empty value.
  virtual void WriteParameter(std::string_view name, const TROClassInfo& type, const TROSerializable* value) = 0;
  virtual void FinalizeMessage() = 0;
  // Forgets the per-call attributes of the operation.
  virtual void ClearAttributes(IROTransport& transport) = 0;

  // For an operation that returns before it has ended: the response it writes is held back
  // until the returned function is called, once, from any thread; nullptr sends the response,
  // an error a fault of that error instead. Empty where the message cannot hold its answer:
  // the operation must then end before it returns.
  virtual std::function<void(std::exception_ptr error)> HoldAnswer() { return {}; }
};

// ReadParameter for a known class: the result is of class T or nullptr.
template <class T>
std::unique_ptr<T> ReadParameterAs(IROMessage& message, std::string_view name) {
  std::unique_ptr<TROSerializable> value = message.ReadParameter(name, T::kClassInfo);
  if (value && dynamic_cast<T*>(value.get()) == nullptr)
    throw EROException(fmt::format("Unexpected class found in stream; class \"{}\" does not descend from \"{}\".",
                                   value->ClassName(), T::kClassInfo.name));
  return std::unique_ptr<T>(static_cast<T*>(value.release()));
}

}  // namespace qit
