#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "contract/ROTransport.h"

namespace qit {

// How a message handler tells that a request is done: call it with false when the response
// holds a fault, true otherwise. Calling it may happen on any thread, during ProcessMessage
// or after it returned. Copies share one outcome: the first call of any copy counts, later
// calls do nothing. When the last copy goes without having been called, the request fails
// as one whose handler raised (status 500). A default-constructed completion does nothing.
class MessageCompletion {
 public:
  // Receives the outcome once: the handler's result, or nullopt when no copy was called.
  // It must not raise.
  using Receiver = std::function<void(std::optional<bool> ok)>;

  MessageCompletion() = default;
  explicit MessageCompletion(Receiver receiver) : state_(std::make_shared<State>(std::move(receiver))) {}

  void operator()(bool ok) const {
    if (state_ && !state_->called.exchange(true, std::memory_order_acq_rel)) state_->receiver(ok);
  }

 private:
  struct State {
    explicit State(Receiver r) : receiver(std::move(r)) {}
    ~State() {
      if (!called.load(std::memory_order_acquire)) receiver(std::nullopt);
    }
    std::atomic<bool> called{false};
    Receiver receiver;
  };

  std::shared_ptr<State> state_;
};

// What a listener's dispatcher hands a request to: the message handler of its path.
class IMessageHandler {
 public:
  virtual ~IMessageHandler() = default;
  // Class name shown on the information page ("TROSOAPMessage").
  virtual std::string ClassName() const = 0;
  // Name of the metadata sub-path ("wsdl"); empty when the handler has none.
  virtual std::string MetadataName() const = 0;
  // Processes one request body on a private copy of the handler and calls done once the
  // response is written: at once, or later from any thread. transport, request and response
  // stay valid until done is called. An error raised from here fails the request (status
  // 500 with the error's message) unless done was called first.
  virtual void ProcessMessage(IHTTPTransport& transport, std::string_view request, std::string& response,
                              MessageCompletion done) = 0;
  // Writes the service description into response (emptied first) and returns its content type.
  virtual std::string WriteServiceDescription(IHTTPTransport& transport, std::string& response) = 0;
};

}  // namespace qit
