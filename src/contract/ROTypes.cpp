#include "contract/ROTypes.h"

#include <fmt/format.h>

#include "common/Errors.h"
#include "contract/ROExceptions.h"

namespace qit {

bool TROClassInfo::InheritsFrom(const TROClassInfo& other) const {
  for (const TROClassInfo* info = this; info != nullptr; info = info->parent)
    if (info == &other) return true;
  return false;
}

void TROSerializable::AssignError(const TROSerializable* source) const {
  const std::string_view source_name = source ? source->ClassName() : std::string_view("nil");
  throw EConvertError(fmt::format("Cannot assign a {} to a {}", source_name, ClassName()));
}

void TROArray::CheckBounds(int index) const {
  if (index < 0 || index >= Count()) throw EROException(fmt::format("Array index out of bounds ({}).", index));
}

TROComplexType* TROArray::GetItem(int index) const {
  CheckBounds(index);
  return items_[index].get();
}

void TROArray::SetItem(int index, std::unique_ptr<TROComplexType> item) {
  CheckBounds(index);
  items_[index] = std::move(item);
}

void TROArray::Delete(int index) {
  if (index < 0 || index >= Count()) throw EROException(fmt::format("Invalid index {}", index));
  items_.erase(items_.begin() + index);
}

void TROArray::Resize(int count) {
  const std::size_t wanted = static_cast<std::size_t>(std::max(count, 0));
  if (wanted <= items_.size()) {
    items_.resize(wanted);
    return;
  }
  items_.reserve(wanted);
  while (items_.size() < wanted) items_.push_back(NewElement());
}

void TROArray::Assign(const TROSerializable* source) {
  if (source == nullptr || !source->ClassInfo().InheritsFrom(ClassInfo())) AssignError(source);
  const auto& other = static_cast<const TROArray&>(*source);
  Clear();
  Resize(other.Count());
  for (int i = 0; i < other.Count(); ++i)
    if (const TROComplexType* item = other.items_[i].get()) items_[i]->Assign(item);
}

void TROArray::ReadComplex(IROSerializer& serializer) {
  Clear();
  const int count = serializer.ArrayItemCount();
  items_.reserve(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) items_.push_back(serializer.ReadArrayItem(i, ElementClass()));
}

void TROArray::WriteComplex(IROSerializer& serializer) const {
  const TROClassInfo& element = ElementClass();
  for (const auto& item : items_) serializer.WriteStruct(element.name, element, item.get());
}

}  // namespace qit
