#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "common/DateTime.h"

namespace qit {

struct TROClassInfo;
class TROComplexType;
class TROArray;

// What records and arrays read themselves from and write themselves to. A value is found
// or written by its name below the serializer's current position; records and arrays move
// that position down while their contents are handled and restore it afterwards.
class IROSerializer {
 public:
  virtual ~IROSerializer() = default;

  // True when record fields go in their declared order; otherwise alphabetically.
  virtual bool StrictFieldOrder() const = 0;

  // A missing value reads as the empty text, 0, or the zero date-time.
  virtual void ReadText(std::string_view name, std::string& value) = 0;
  virtual void WriteText(std::string_view name, const std::string& value) = 0;
  virtual void ReadInteger(std::string_view name, int& value) = 0;
  virtual void WriteInteger(std::string_view name, int value) = 0;
  virtual void ReadDateTime(std::string_view name, TDateTime& value) = 0;
  virtual void WriteDateTime(std::string_view name, TDateTime value) = 0;

  // A missing record or array reads as nullptr; type is the class the caller expects.
  virtual std::unique_ptr<TROComplexType> ReadStruct(std::string_view name, const TROClassInfo& type) = 0;
  virtual void WriteStruct(std::string_view name, const TROClassInfo& type, const TROComplexType* value) = 0;
  virtual std::unique_ptr<TROArray> ReadArray(std::string_view name, const TROClassInfo& type) = 0;
  virtual void WriteArray(std::string_view name, const TROClassInfo& type, const TROArray* value) = 0;

  // Inside an array being read: how many items it holds, and one item by position.
  virtual int ArrayItemCount() = 0;
  virtual std::unique_ptr<TROComplexType> ReadArrayItem(int index, const TROClassInfo& type) = 0;
};

}  // namespace qit
