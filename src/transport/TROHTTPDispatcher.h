#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "contract/MessageHandler.h"

namespace qit {

// One entry of a listener's routing table: requests to PathInfo go to Message.
struct TROHTTPDispatcher {
  std::string Name;
  // Shared with the table, so that connections still running keep the handler they use.
  std::shared_ptr<IMessageHandler> Message;
  bool Enabled = true;
  std::string PathInfo;
};

// The routing table of path to message handler. Built once, then shared read-only by every
// listener that routes through it.
class TROHTTPMessageDispatchers {
 public:
  // Adds an entry. A handler may serve one entry only: adding it again fails with
  // "Dispatcher for <name> already assigned"; an entry without a handler fails too.
  const TROHTTPDispatcher& Add(TROHTTPDispatcher dispatcher);

  const std::vector<TROHTTPDispatcher>& Items() const { return items_; }

  // The entry for a request path ("/" followed by the first path segment), searching from
  // the last entry to the first; letter case is ignored. nullptr when none matches.
  const TROHTTPDispatcher* FindDispatcher(std::string_view path) const;

 private:
  std::vector<TROHTTPDispatcher> items_;
};

}  // namespace qit
