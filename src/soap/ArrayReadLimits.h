#pragma once

#include <cstddef>
#include <functional>

#include "contract/ROTypes.h"

namespace qit {

// Bounds on what the arrays of one request may become once decoded. A request of a few bytes
// can name one large record many times by reference, or hold millions of empty items; the
// reader checks these bounds before it decodes the items of an array (each item at the least
// it can take) and again after every item, and stops with the error raised at the first one
// passed, so nothing beyond the bound is ever built.
struct ArrayReadLimits {
  // What one decoded item takes, the way the receiver of the list charges it; without it no
  // bound is checked.
  std::function<std::size_t(const TROComplexType& item)> item_bytes;
  // Raises when the receiver could not take that many items, of that many bytes, now (the
  // send queue's room). Checked first; empty: no such check.
  std::function<void(std::size_t items, std::size_t bytes)> check_room;
  // Most bytes the items of all the arrays of one request may take; 0: no bound.
  std::size_t max_decoded_bytes = 0;
};

}  // namespace qit
