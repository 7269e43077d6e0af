#pragma once

#include <algorithm>
#include <memory>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "common/DateTime.h"
#include "common/Text.h"
#include "contract/ROSerializer.h"

namespace qit {

class TROSerializable;

// What the serializer and the class registry know of a record or array class.
struct TROClassInfo {
  enum class Kind { Struct, Array };

  std::string_view name;
  Kind kind;
  const TROClassInfo* parent;  // nullptr for a class with no serializable ancestor
  std::unique_ptr<TROSerializable> (*create)();

  // True for this class itself and for every class derived from other.
  bool InheritsFrom(const TROClassInfo& other) const;
};

// A record or array that travels in messages: copyable from another instance of its class
// and readable from / writable to a serializer.
class TROSerializable {
 public:
  virtual ~TROSerializable() = default;

  virtual const TROClassInfo& ClassInfo() const = 0;
  std::string_view ClassName() const { return ClassInfo().name; }

  // Deep copy from an instance of this class (or a derived one). Anything else, nullptr
  // included, fails with EConvertError "Cannot assign a <source> to a <target>".
  virtual void Assign(const TROSerializable* source) = 0;

  virtual void ReadComplex(IROSerializer& serializer) = 0;
  virtual void WriteComplex(IROSerializer& serializer) const = 0;

 protected:
  [[noreturn]] void AssignError(const TROSerializable* source) const;
};

// Base of the records.
class TROComplexType : public TROSerializable {};

// Base of the arrays of records. The array owns its elements; a position may hold none.
class TROArray : public TROSerializable {
 public:
  virtual const TROClassInfo& ElementClass() const = 0;

  int Count() const { return static_cast<int>(items_.size()); }
  // 0 <= index < Count(), else EROException "Array index out of bounds (<index>).".
  TROComplexType* GetItem(int index) const;
  // Same bounds; the element held before is destroyed.
  void SetItem(int index, std::unique_ptr<TROComplexType> item);
  // 0 <= index < Count(), else EROException "Invalid index <index>"; later elements move down.
  void Delete(int index);
  void Clear() { items_.clear(); }
  // Destroys the elements beyond count and gives every new position a new empty element.
  void Resize(int count);

  // Clears, takes the source's count and copies each element into a new one; a position
  // where the source holds no element keeps its new empty element.
  void Assign(const TROSerializable* source) override;
  void ReadComplex(IROSerializer& serializer) override;
  void WriteComplex(IROSerializer& serializer) const override;

 protected:
  virtual std::unique_ptr<TROComplexType> NewElement() const = 0;

 private:
  void CheckBounds(int index) const;

  std::vector<std::unique_ptr<TROComplexType>> items_;
};

// An array whose elements are of the record class Element; Derived names the array class.
template <class Derived, class Element>
class TROArrayOf : public TROArray {
 public:
  const TROClassInfo& ClassInfo() const override { return Derived::kClassInfo; }
  const TROClassInfo& ElementClass() const override { return Element::kClassInfo; }

  Element* Items(int index) const { return static_cast<Element*>(GetItem(index)); }
  void SetItems(int index, std::unique_ptr<Element> item) { SetItem(index, std::move(item)); }
  // Appends a new empty element and returns it.
  Element* Add() {
    Resize(Count() + 1);
    return Items(Count() - 1);
  }

 protected:
  std::unique_ptr<TROComplexType> NewElement() const override { return std::make_unique<Element>(); }
};

// One field of a record: its element name and the member that holds it.
template <class Record>
struct TROField {
  std::string_view name;
  std::variant<std::string Record::*, TDateTime Record::*, int Record::*> member;
};

// A record described by its field table (Record::Fields(), in declared order): copying,
// reading and writing go field by field, in declared or alphabetical order.
template <class Record>
class TROStruct : public TROComplexType {
 public:
  const TROClassInfo& ClassInfo() const override { return Record::kClassInfo; }

  void Assign(const TROSerializable* source) override {
    const auto* other = source ? dynamic_cast<const Record*>(source) : nullptr;
    if (other == nullptr) AssignError(source);
    static_cast<Record&>(*this) = *other;
  }

  void ReadComplex(IROSerializer& serializer) override {
    auto& self = static_cast<Record&>(*this);
    for (const TROField<Record>* field : FieldsInOrder(serializer.StrictFieldOrder()))
      std::visit(
          [&](auto member) {
            auto& value = self.*member;
            using Value = std::decay_t<decltype(value)>;
            if constexpr (std::is_same_v<Value, std::string>) serializer.ReadText(field->name, value);
            else if constexpr (std::is_same_v<Value, TDateTime>) serializer.ReadDateTime(field->name, value);
            else serializer.ReadInteger(field->name, value);
          },
          field->member);
  }

  void WriteComplex(IROSerializer& serializer) const override {
    const auto& self = static_cast<const Record&>(*this);
    for (const TROField<Record>* field : FieldsInOrder(serializer.StrictFieldOrder()))
      std::visit(
          [&](auto member) {
            const auto& value = self.*member;
            using Value = std::decay_t<decltype(value)>;
            if constexpr (std::is_same_v<Value, std::string>) serializer.WriteText(field->name, value);
            else if constexpr (std::is_same_v<Value, TDateTime>) serializer.WriteDateTime(field->name, value);
            else serializer.WriteInteger(field->name, value);
          },
          field->member);
  }

 private:
  static const std::vector<const TROField<Record>*>& FieldsInOrder(bool declared) {
    static const std::vector<const TROField<Record>*> kDeclared = [] {
      std::vector<const TROField<Record>*> order;
      for (const TROField<Record>& field : Record::Fields()) order.push_back(&field);
      return order;
    }();
    static const std::vector<const TROField<Record>*> kAlphabetical = [] {
      std::vector<const TROField<Record>*> order = kDeclared;
      std::sort(order.begin(), order.end(), [](auto* a, auto* b) { return TextLess()(a->name, b->name); });
      return order;
    }();
    return declared ? kDeclared : kAlphabetical;
  }
};

}  // namespace qit
