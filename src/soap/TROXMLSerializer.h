#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <pugixml.hpp>

#include "contract/ROClassRegistry.h"
#include "contract/ROSerializer.h"
#include "soap/ArrayReadLimits.h"

namespace qit {

// Reads and writes the parameters of one SOAP message as XML elements. Reading finds
// elements by local name without regard to letter case or prefix; writing qualifies every
// element with the prefix of the message's namespace and writes no type attributes.
class TROXMLSerializer final : public IROSerializer {
 public:
  TROXMLSerializer(const TROClassRegistry& classes, bool strict_field_order)
      : classes_(classes), strict_field_order_(strict_field_order) {}

  // Reading: values are looked for below the message element, which also resolves "href"
  // references that are not found in the Body. The arrays read afterwards are held to
  // limits (none when null), which must outlive the reading.
  void BeginRead(pugi::xml_node message, const ArrayReadLimits* limits = nullptr);

  // Writing into a new document whose root element takes the namespace declarations.
  void BeginDocument(pugi::xml_node root);
  // Appends name, qualified with the prefix of namespace_uri ("v" + n, the n-th namespace
  // registered in this document), and writes the following values below it.
  pugi::xml_node BeginElement(pugi::xml_node parent, std::string_view name, std::string_view namespace_uri);

  bool StrictFieldOrder() const override { return strict_field_order_; }
  void ReadText(std::string_view name, std::string& value) override;
  void WriteText(std::string_view name, const std::string& value) override;
  void ReadInteger(std::string_view name, int& value) override;
  void WriteInteger(std::string_view name, int value) override;
  void ReadDateTime(std::string_view name, TDateTime& value) override;
  void WriteDateTime(std::string_view name, TDateTime value) override;
  std::unique_ptr<TROComplexType> ReadStruct(std::string_view name, const TROClassInfo& type) override;
  void WriteStruct(std::string_view name, const TROClassInfo& type, const TROComplexType* value) override;
  std::unique_ptr<TROArray> ReadArray(std::string_view name, const TROClassInfo& type) override;
  void WriteArray(std::string_view name, const TROClassInfo& type, const TROArray* value) override;
  int ArrayItemCount() override { return static_cast<int>(array_items_.size()); }
  std::unique_ptr<TROComplexType> ReadArrayItem(int index, const TROClassInfo& type) override;

 private:
  class Descent;

  class ArrayScope;

  pugi::xml_node Find(std::string_view name);
  // The element a value is read from: the element itself or the one its "href" names;
  // a null node when the value is missing or nil.
  pugi::xml_node ValueElement(pugi::xml_node element);
  // The first child element of scope whose "id" is id (an element without one counts as
  // the empty id), through an index of scope's children made at its first use.
  pugi::xml_node ChildWithId(pugi::xml_node scope, std::string_view id);
  const TROClassInfo& CheckedType(const pugi::xml_node& element, const TROClassInfo& expected) const;
  std::unique_ptr<TROSerializable> ReadObject(pugi::xml_node element, const TROClassInfo& type);
  // Reads the value of an element that is already resolved (null: missing).
  std::unique_ptr<TROSerializable> ReadResolved(pugi::xml_node element, const TROClassInfo& type);
  std::unique_ptr<TROSerializable> ReadArrayItems(std::unique_ptr<TROSerializable> object, pugi::xml_node element);
  // Raises when items decoded items taking bytes would pass the limits.
  void CheckLimits(std::size_t items, std::size_t bytes) const;
  pugi::xml_node Append(std::string_view name);

  const TROClassRegistry& classes_;
  const bool strict_field_order_;

  pugi::xml_node current_;
  pugi::xml_node message_;
  std::vector<pugi::xml_node> array_items_;  // the items of the array being read
  // The items of the array being read that came from a referenced element, by that element:
  // an element referenced again is copied from its first item instead of being decoded
  // again, so the work of a reference is the size of what it adds to the list.
  std::unordered_map<const void*, const TROComplexType*> referenced_items_;
  std::size_t least_item_bytes_ = 0;  // an empty item of the array being read, as charged

  const ArrayReadLimits* limits_ = nullptr;
  std::size_t decoded_items_ = 0;  // items of the arrays read in this message
  std::size_t decoded_bytes_ = 0;  // what they take, as limits_->item_bytes counts it

  // The children of the elements "href" references were looked up in (the Body, the message
  // element), by id; the views point into the request document.
  struct IdIndex {
    pugi::xml_node scope;
    std::unordered_map<std::string_view, pugi::xml_node> children;
  };
  std::vector<IdIndex> id_indexes_;

  // The element children of one element with their local names, gathered at its first
  // lookup: a record's fields are looked up one after the other, and walking all of the
  // children again for each of them made reading a record quadratic in its size.
  struct ChildElement {
    std::string_view local_name;  // points into the request document
    pugi::xml_node node;
  };
  pugi::xml_node indexed_;  // whose children children_ holds; null when none
  std::vector<ChildElement> children_;

  pugi::xml_node root_;
  std::vector<std::string> namespaces_;  // registered in this document; index + 1 is the prefix number
  std::string prefix_;
  std::string qualified_name_;  // the name being appended, its memory kept from element to element
};

}  // namespace qit
