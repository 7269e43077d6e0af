#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/Text.h"
#include "contract/ROMessage.h"
#include "contract/ROTransport.h"

namespace qit {

// Base of a service implementation. One instance serves one call: the invocation activates
// it with the call's client identifier and transport, runs the operation and destroys it.
class TRORemoteDataModule {
 public:
  virtual ~TRORemoteDataModule() = default;

  void Activate(const TGuid& client_id, IROTransport& transport, IROMessage* message = nullptr) {
    client_id_ = client_id;
    transport_ = &transport;
    message_ = message;
  }
  void Deactivate() {
    OnDeactivate();
    transport_ = nullptr;
    message_ = nullptr;
  }

  const TGuid& ClientID() const { return client_id_; }
  // The transport of the running call; nullptr outside a call.
  IROTransport* Transport() const { return transport_; }
  // The message of the running call; nullptr outside a call.
  IROMessage* Message() const { return message_; }

 protected:
  // Called as the call ends, whether the operation ran, raised or was never reached (its
  // parameters could not be read), while the transport is still there.
  virtual void OnDeactivate() noexcept {}

 private:
  TGuid client_id_{};
  IROTransport* transport_ = nullptr;
  IROMessage* message_ = nullptr;
};

class TROClassFactory;

// Runs the operations of one service. Stateless: one invoker serves every call at once.
class TROInvoker {
 public:
  using Method = std::function<void(TRORemoteDataModule& instance, IROMessage& message, IROTransport& transport)>;

  virtual ~TROInvoker() = default;

  // Finds "Invoke_" + the message's operation name (letter case ignored), creates an instance
  // through the factory and runs the method on it. Errors pass on to the caller; the instance
  // is deactivated and destroyed in every case.
  bool HandleMessage(const TROClassFactory& factory, IROMessage& message, IROTransport& transport) const;

 protected:
  void Publish(std::string name, Method method) { methods_.emplace(std::move(name), std::move(method)); }

 private:
  std::map<std::string, Method, TextLess> methods_;
};

// Makes the per-call instances of one service and holds its invoker.
class TROClassFactory {
 public:
  using Creator = std::function<std::unique_ptr<TRORemoteDataModule>()>;

  TROClassFactory(std::string name, std::unique_ptr<TROInvoker> invoker, Creator creator)
      : name_(std::move(name)), invoker_(std::move(invoker)), creator_(std::move(creator)) {}

  const std::string& FactoryName() const { return name_; }
  const TROInvoker& Invoker() const { return *invoker_; }
  // A new instance for one call; dropping it releases the instance.
  std::unique_ptr<TRORemoteDataModule> CreateInstance(const TGuid& client_id) const { return creator_(); }

 private:
  std::string name_;
  std::unique_ptr<TROInvoker> invoker_;
  Creator creator_;
};

// The services a message handler can reach, by name. Filled at start-up, before any listener
// is active, and only read while requests run.
class TROClassFactoryList {
 public:
  void Add(std::unique_ptr<TROClassFactory> factory) { factories_.push_back(std::move(factory)); }
  // The first factory whose name equals name without regard to letter case; nullptr if none.
  const TROClassFactory* Find(std::string_view name) const;

 private:
  std::vector<std::unique_ptr<TROClassFactory>> factories_;
};

}  // namespace qit
