#include "contract/ROServer.h"

#include <fmt/format.h>

#include "common/Text.h"
#include "contract/ROExceptions.h"

namespace qit {

bool TROInvoker::HandleMessage(const TROClassFactory& factory, IROMessage& message, IROTransport& transport) const {
  const auto method = methods_.find("Invoke_" + message.MessageName());
  if (method == methods_.end())
    throw EROException(
        fmt::format("Unknown method {} for interface {}", RequestText(message.MessageName()),
                    RequestText(message.InterfaceName())));

  const std::unique_ptr<TRORemoteDataModule> instance = factory.CreateInstance(message.ClientID());
  if (!instance)
    throw EROException(
        fmt::format("Class factory did not return an instance of \"{}\"", RequestText(message.InterfaceName())));

  // The instance holds the transport only while the operation runs, also when it raises.
  struct Activation {
    TRORemoteDataModule& instance;
    ~Activation() { instance.Deactivate(); }
  } activation{*instance};
  instance->Activate(message.ClientID(), transport, &message);
  method->second(*instance, message, transport);
  return true;
}

const TROClassFactory* TROClassFactoryList::Find(std::string_view name) const {
  for (const auto& factory : factories_)
    if (SameText(factory->FactoryName(), name)) return factory.get();
  return nullptr;
}

}  // namespace qit
