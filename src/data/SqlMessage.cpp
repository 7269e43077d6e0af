#include "data/SqlMessage.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>

#include <fmt/format.h>

#include "data/DataErrors.h"

namespace qit {

namespace {

using Firebird::IMessageMetadata;

constexpr unsigned kCharsetOctets = 1;
constexpr unsigned kMaxVarchar = 32765;

bool IsNumericType(unsigned type) {
  switch (type) {
    case SQL_SHORT:
    case SQL_LONG:
    case SQL_INT64:
    case SQL_FLOAT:
    case SQL_DOUBLE:
    case SQL_D_FLOAT:
      return true;
    default:
      return false;
  }
}

bool IsDateTimeType(unsigned type) { return type == SQL_TIMESTAMP || type == SQL_TYPE_DATE || type == SQL_TYPE_TIME; }

bool IsTextType(unsigned type) { return type == SQL_TEXT || type == SQL_VARYING || type == SQL_BLOB; }

// How one marker's value travels in the message.
struct Slot {
  enum Kind { kNull, kLargeInt, kDouble, kDate, kTime, kTimestamp, kText } kind = kNull;
  std::int64_t integer = 0;
  double number = 0;
  TDateTime moment;
  std::string text;
};

Slot Choose(const DbValue* value, unsigned marker_type) {
  Slot slot;
  if (value == nullptr || IsNullValue(*value)) return slot;
  if (const auto* v = std::get_if<std::int32_t>(value)) {
    slot.kind = Slot::kLargeInt;
    slot.integer = *v;
  } else if (const auto* v = std::get_if<std::int64_t>(value)) {
    slot.kind = Slot::kLargeInt;
    slot.integer = *v;
  } else if (const auto* v = std::get_if<double>(value)) {
    slot.kind = Slot::kDouble;
    slot.number = *v;
  } else if (const auto* v = std::get_if<TDateTime>(value)) {
    slot.kind = marker_type == SQL_TYPE_DATE ? Slot::kDate : marker_type == SQL_TYPE_TIME ? Slot::kTime : Slot::kTimestamp;
    slot.moment = *v;
  } else {
    const std::string& text = std::get<std::string>(*value);
    const bool numeric = IsNumericType(marker_type);
    if (text.empty() && (numeric || IsDateTimeType(marker_type))) return slot;
    slot.kind = Slot::kText;
    slot.text = text;
    if (numeric) std::replace(slot.text.begin(), slot.text.end(), ',', '.');
  }
  return slot;
}

ISC_DATE EncodeDate(const TDateTime::Parts& p) {
  return fb::Util()->encodeDate(static_cast<unsigned>(p.year), static_cast<unsigned>(p.month),
                                static_cast<unsigned>(p.day));
}

ISC_TIME EncodeTime(const TDateTime::Parts& p) {
  return fb::Util()->encodeTime(static_cast<unsigned>(p.hour), static_cast<unsigned>(p.minute),
                                static_cast<unsigned>(p.second), static_cast<unsigned>(p.millisecond) * 10);
}

template <class T>
void Put(unsigned char* at, T value) {
  std::memcpy(at, &value, sizeof value);
}

template <class T>
T Get(const unsigned char* at) {
  T value;
  std::memcpy(&value, at, sizeof value);
  return value;
}

void DecodeDate(ISC_DATE date, TDateTime::Parts& parts) {
  unsigned year = 0, month = 0, day = 0;
  fb::Util()->decodeDate(date, &year, &month, &day);
  parts.year = static_cast<int>(year);
  parts.month = static_cast<int>(month);
  parts.day = static_cast<int>(day);
}

void DecodeTime(ISC_TIME time, TDateTime::Parts& parts) {
  unsigned hours = 0, minutes = 0, seconds = 0, fractions = 0;
  fb::Util()->decodeTime(time, &hours, &minutes, &seconds, &fractions);
  parts.hour = static_cast<int>(hours);
  parts.minute = static_cast<int>(minutes);
  parts.second = static_cast<int>(seconds);
  parts.millisecond = static_cast<int>(fractions / 10);
}

// A DATE reads as midnight of its day, a TIME as that time on the zero day.
TDateTime DecodeMoment(const ISC_DATE* date, const ISC_TIME* time) {
  TDateTime::Parts parts;
  if (date) DecodeDate(*date, parts);
  if (time) DecodeTime(*time, parts);
  return TDateTime::Encode(parts);
}

DbValue Scaled(std::int64_t raw, int scale) {
  if (scale == 0) return raw;
  // Dividing by the power of ten rounds once, where multiplying by 10^scale would round twice.
  return static_cast<double>(raw) / std::pow(10.0, -scale);
}

std::string ReadBlob(const ISC_QUAD& id, Firebird::IAttachment* attachment, Firebird::ITransaction* transaction) {
  fb::Status status;
  fb::Ref<Firebird::IBlob> blob(
      attachment->openBlob(&status, transaction, const_cast<ISC_QUAD*>(&id), 0, nullptr));
  std::string content;
  char chunk[16384];
  for (;;) {
    unsigned length = 0;
    const int result = blob->getSegment(&status, sizeof chunk, chunk, &length);
    if (result != Firebird::IStatus::RESULT_OK && result != Firebird::IStatus::RESULT_SEGMENT) break;
    content.append(chunk, length);
  }
  blob->close(&status);
  blob.Forget();
  return content;
}

}  // namespace

InputMessage::InputMessage(IMessageMetadata* markers, std::span<const DbValue* const> values) {
  fb::Status status;
  const unsigned count = markers->getCount(&status);
  std::vector<Slot> slots;
  slots.reserve(count);
  fb::Ref<Firebird::IMetadataBuilder> builder(markers->getBuilder(&status));
  for (unsigned i = 0; i < count; ++i) {
    const unsigned marker_type = fb::BaseType(markers->getType(&status, i));
    Slot slot = Choose(i < values.size() ? values[i] : nullptr, marker_type);
    switch (slot.kind) {
      case Slot::kNull:
        builder->setType(&status, i, marker_type | 1);
        break;
      case Slot::kLargeInt:
        builder->setType(&status, i, SQL_INT64 | 1);
        builder->setLength(&status, i, sizeof(ISC_INT64));
        builder->setScale(&status, i, 0);
        break;
      case Slot::kDouble:
        builder->setType(&status, i, SQL_DOUBLE | 1);
        builder->setLength(&status, i, sizeof(double));
        builder->setScale(&status, i, 0);
        break;
      case Slot::kDate:
        builder->setType(&status, i, SQL_TYPE_DATE | 1);
        builder->setLength(&status, i, sizeof(ISC_DATE));
        break;
      case Slot::kTime:
        builder->setType(&status, i, SQL_TYPE_TIME | 1);
        builder->setLength(&status, i, sizeof(ISC_TIME));
        break;
      case Slot::kTimestamp:
        builder->setType(&status, i, SQL_TIMESTAMP | 1);
        builder->setLength(&status, i, sizeof(ISC_TIMESTAMP));
        break;
      case Slot::kText: {
        if (slot.text.size() > kMaxVarchar)
          throw EParameterValueError(fmt::format("Text of {} bytes is too long for a parameter", slot.text.size()));
        const unsigned charset = IsTextType(marker_type) ? markers->getCharSet(&status, i) : 0;
        builder->setType(&status, i, SQL_VARYING | 1);
        builder->setSubType(&status, i, 0);
        builder->setScale(&status, i, 0);
        builder->setLength(&status, i, std::max<unsigned>(1, static_cast<unsigned>(slot.text.size())));
        builder->setCharSet(&status, i, charset);
        break;
      }
    }
    slots.push_back(std::move(slot));
  }
  metadata_.Reset(builder->getMetadata(&status));
  buffer_.assign(metadata_->getMessageLength(&status), 0);

  for (unsigned i = 0; i < count; ++i) {
    const Slot& slot = slots[i];
    unsigned char* data = buffer_.data() + metadata_->getOffset(&status, i);
    Put<ISC_SHORT>(buffer_.data() + metadata_->getNullOffset(&status, i), slot.kind == Slot::kNull ? -1 : 0);
    switch (slot.kind) {
      case Slot::kNull:
        break;
      case Slot::kLargeInt:
        Put<ISC_INT64>(data, slot.integer);
        break;
      case Slot::kDouble:
        Put<double>(data, slot.number);
        break;
      case Slot::kDate:
        Put<ISC_DATE>(data, EncodeDate(slot.moment.Decode()));
        break;
      case Slot::kTime:
        Put<ISC_TIME>(data, EncodeTime(slot.moment.Decode()));
        break;
      case Slot::kTimestamp: {
        const TDateTime::Parts parts = slot.moment.Decode();
        Put<ISC_TIMESTAMP>(data, ISC_TIMESTAMP{EncodeDate(parts), EncodeTime(parts)});
        break;
      }
      case Slot::kText:
        Put<ISC_USHORT>(data, static_cast<ISC_USHORT>(slot.text.size()));
        std::memcpy(data + sizeof(ISC_USHORT), slot.text.data(), slot.text.size());
        break;
    }
  }
}

std::vector<DbValue> DecodeRow(IMessageMetadata* layout, const unsigned char* row, Firebird::IAttachment* attachment,
                               Firebird::ITransaction* transaction) {
  fb::Status status;
  const unsigned count = layout->getCount(&status);
  std::vector<DbValue> values;
  values.reserve(count);
  for (unsigned i = 0; i < count; ++i) {
    if (Get<ISC_SHORT>(row + layout->getNullOffset(&status, i)) != 0) {
      values.emplace_back(DbNull{});
      continue;
    }
    const unsigned char* data = row + layout->getOffset(&status, i);
    const unsigned type = fb::BaseType(layout->getType(&status, i));
    const int scale = layout->getScale(&status, i);
    switch (type) {
      case SQL_TEXT: {
        std::string text(reinterpret_cast<const char*>(data), layout->getLength(&status, i));
        // Fixed-length character columns come padded with blanks; binary ones are kept whole.
        if (layout->getCharSet(&status, i) != kCharsetOctets) text.erase(text.find_last_not_of(' ') + 1);
        values.emplace_back(std::move(text));
        break;
      }
      case SQL_VARYING:
        values.emplace_back(std::string(reinterpret_cast<const char*>(data + sizeof(ISC_USHORT)), Get<ISC_USHORT>(data)));
        break;
      case SQL_SHORT:
        values.push_back(scale == 0 ? DbValue(std::int32_t{Get<ISC_SHORT>(data)}) : Scaled(Get<ISC_SHORT>(data), scale));
        break;
      case SQL_LONG:
        values.push_back(scale == 0 ? DbValue(std::int32_t{Get<ISC_LONG>(data)}) : Scaled(Get<ISC_LONG>(data), scale));
        break;
      case SQL_INT64:
        values.push_back(Scaled(Get<ISC_INT64>(data), scale));
        break;
      case SQL_FLOAT:
        values.emplace_back(static_cast<double>(Get<float>(data)));
        break;
      case SQL_DOUBLE:
      case SQL_D_FLOAT:
        values.emplace_back(Get<double>(data));
        break;
      case SQL_TIMESTAMP: {
        const auto stamp = Get<ISC_TIMESTAMP>(data);
        values.emplace_back(DecodeMoment(&stamp.timestamp_date, &stamp.timestamp_time));
        break;
      }
      case SQL_TYPE_DATE: {
        const auto date = Get<ISC_DATE>(data);
        values.emplace_back(DecodeMoment(&date, nullptr));
        break;
      }
      case SQL_TYPE_TIME: {
        const auto time = Get<ISC_TIME>(data);
        values.emplace_back(DecodeMoment(nullptr, &time));
        break;
      }
      case SQL_BOOLEAN:
        values.emplace_back(std::int32_t{Get<FB_BOOLEAN>(data) != 0 ? 1 : 0});
        break;
      case SQL_BLOB:
        values.emplace_back(ReadBlob(Get<ISC_QUAD>(data), attachment, transaction));
        break;
      case SQL_NULL:
        values.emplace_back(DbNull{});
        break;
      default:
        throw EDatabaseError(fmt::format("Column {} has a type that cannot be read ({})", layout->getAlias(&status, i), type));
    }
  }
  return values;
}

}  // namespace qit
