#pragma once

#include <cstddef>
#include <memory>
#include <span>
#include <vector>

#include <firebird/Interface.h>

#include "data/DbValue.h"
#include "data/FbClient.h"

namespace qit {

// The input message of one execution: each marker's value laid out in the form its tag asks
// for, and the metadata describing that layout; the server converts it to the marker's type.
//
//   no value or NULL         NULL
//   32- or 64-bit integer    BIGINT
//   floating point           DOUBLE PRECISION
//   date-time                the marker's own TIMESTAMP, DATE or TIME
//   text                     the text; a numeric marker gets a decimal comma as a point
//   empty text               NULL for numeric and date-time markers, '' otherwise
//
// A null pointer among the values stands for a marker that has no value and is sent as NULL.
class InputMessage {
 public:
  InputMessage(Firebird::IMessageMetadata* markers, std::span<const DbValue* const> values);

  Firebird::IMessageMetadata* Metadata() const { return metadata_.get(); }
  unsigned char* Buffer() { return buffer_.data(); }

 private:
  fb::Ref<Firebird::IMessageMetadata> metadata_;
  std::vector<unsigned char> buffer_;
};

// Decodes one fetched row of `layout` into values. Blob columns are read in full through
// the attachment and transaction the row came from.
std::vector<DbValue> DecodeRow(Firebird::IMessageMetadata* layout, const unsigned char* row,
                               Firebird::IAttachment* attachment, Firebird::ITransaction* transaction);

}  // namespace qit
