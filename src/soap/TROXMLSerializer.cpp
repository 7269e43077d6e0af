#include "soap/TROXMLSerializer.h"

#include <algorithm>
#include <utility>

#include <fmt/format.h>

#include "common/StrToInt.h"
#include "common/Text.h"
#include "contract/ROExceptions.h"
#include "contract/ROTypes.h"
#include "soap/ROXMLDateTime.h"
#include "soap/XmlNodes.h"

namespace qit {

// Moves the serializer's position to a record's or array's element for the time its
// contents are handled.
class TROXMLSerializer::Descent {
 public:
  Descent(TROXMLSerializer& serializer, pugi::xml_node node) : serializer_(serializer), saved_(serializer.current_) {
    serializer.current_ = node;
  }
  ~Descent() { serializer_.current_ = saved_; }

 private:
  TROXMLSerializer& serializer_;
  pugi::xml_node saved_;
};

// Gives the array being read its items, its copies of referenced items and the size of its
// empty item, and gives the enclosing array's back when it is done, also when reading fails.
class TROXMLSerializer::ArrayScope {
 public:
  ArrayScope(TROXMLSerializer& serializer, std::vector<pugi::xml_node> items, std::size_t least_item_bytes)
      : serializer_(serializer),
        items_(std::exchange(serializer.array_items_, std::move(items))),
        referenced_items_(std::exchange(serializer.referenced_items_, {})),
        least_item_bytes_(std::exchange(serializer.least_item_bytes_, least_item_bytes)) {}
  ~ArrayScope() {
    serializer_.array_items_ = std::move(items_);
    serializer_.referenced_items_ = std::move(referenced_items_);
    serializer_.least_item_bytes_ = least_item_bytes_;
  }
  ArrayScope(const ArrayScope&) = delete;
  ArrayScope& operator=(const ArrayScope&) = delete;

 private:
  TROXMLSerializer& serializer_;
  std::vector<pugi::xml_node> items_;
  std::unordered_map<const void*, const TROComplexType*> referenced_items_;
  std::size_t least_item_bytes_;
};

namespace {

// Names that begin with "___" are written without it.
std::string_view ElementName(std::string_view name) {
  return name.starts_with("___") ? name.substr(3) : name;
}

bool IsNil(const pugi::xml_node& element) { return std::string_view(element.attribute("xsi:nil").value()) == "true"; }

// The reader creates objects of a class checked against the expected one, so the kind of
// the object is known.
template <class Target>
std::unique_ptr<Target> Downcast(std::unique_ptr<TROSerializable> object) {
  return std::unique_ptr<Target>(static_cast<Target*>(object.release()));
}

// Parses the text of an element, without copying it when it is a single text node.
template <class Parse>
auto ParseText(const pugi::xml_node& element, Parse parse) {
  if (const std::optional<std::string_view> text = SingleText(element)) return parse(*text);
  return parse(TextContent(element));
}

}  // namespace

void TROXMLSerializer::BeginRead(pugi::xml_node message, const ArrayReadLimits* limits) {
  message_ = message;
  current_ = message;
  array_items_.clear();
  // A node of an earlier document may share its address with one of this document.
  indexed_ = pugi::xml_node();
  children_.clear();
  id_indexes_.clear();
  referenced_items_.clear();
  least_item_bytes_ = 0;
  limits_ = limits;
  decoded_items_ = 0;
  decoded_bytes_ = 0;
}

void TROXMLSerializer::BeginDocument(pugi::xml_node root) {
  root_ = root;
  namespaces_.clear();
}

pugi::xml_node TROXMLSerializer::BeginElement(pugi::xml_node parent, std::string_view name,
                                              std::string_view namespace_uri) {
  auto known = std::find(namespaces_.begin(), namespaces_.end(), namespace_uri);
  if (known == namespaces_.end()) {
    namespaces_.emplace_back(namespace_uri);
    known = namespaces_.end() - 1;
    const std::string declaration = "xmlns:v" + std::to_string(namespaces_.size());
    root_.append_attribute(declaration.c_str()) = known->c_str();
  }
  prefix_ = 'v';
  prefix_ += std::to_string(known - namespaces_.begin() + 1);
  current_ = parent;
  current_ = Append(name);
  return current_;
}

pugi::xml_node TROXMLSerializer::Find(std::string_view name) {
  if (indexed_ != current_) {
    children_.clear();
    for (pugi::xml_node child = FirstChildElement(current_); child; child = NextSiblingElement(child))
      children_.push_back({LocalName(child), child});
    indexed_ = current_;
  }
  // The first child of that name, as FindChildElement finds it.
  const std::string_view wanted = ElementName(name);
  for (const ChildElement& child : children_)
    if (child.local_name.size() == wanted.size() && (child.local_name == wanted || SameText(child.local_name, wanted)))
      return child.node;
  return {};
}

pugi::xml_node TROXMLSerializer::Append(std::string_view name) {
  qualified_name_.assign(prefix_);
  qualified_name_ += ':';
  qualified_name_ += ElementName(name);
  return current_.append_child(qualified_name_.c_str());
}

void TROXMLSerializer::ReadText(std::string_view name, std::string& value) {
  const pugi::xml_node element = Find(name);
  value = element ? TextContent(element) : std::string();
}

void TROXMLSerializer::WriteText(std::string_view name, const std::string& value) {
  pugi::xml_node element = Append(name);
  if (!value.empty()) element.text().set(value.c_str());
}

void TROXMLSerializer::ReadInteger(std::string_view name, int& value) {
  const pugi::xml_node element = Find(name);
  value = element ? ParseText(element, StrToInt) : 0;
}

void TROXMLSerializer::WriteInteger(std::string_view name, int value) {
  Append(name).text().set(std::to_string(value).c_str());
}

void TROXMLSerializer::ReadDateTime(std::string_view name, TDateTime& value) {
  const pugi::xml_node element = Find(name);
  value = element ? ParseText(element, XmlToDateTime) : TDateTime();
}

void TROXMLSerializer::WriteDateTime(std::string_view name, TDateTime value) {
  Append(name).text().set(DateTimeToXml(value).c_str());
}

pugi::xml_node TROXMLSerializer::ChildWithId(pugi::xml_node scope, std::string_view id) {
  auto index = std::find_if(id_indexes_.begin(), id_indexes_.end(),
                            [&](const IdIndex& known) { return known.scope == scope; });
  if (index == id_indexes_.end()) {
    // Looking through every child for each reference made a list of references quadratic in
    // its length; the children are indexed once instead, the first of an id winning as the
    // walk in document order finds it.
    index = id_indexes_.insert(id_indexes_.end(), IdIndex{scope, {}});
    for (pugi::xml_node child = FirstChildElement(scope); child; child = NextSiblingElement(child))
      index->children.emplace(std::string_view(child.attribute("id").value()), child);
  }
  const auto found = index->children.find(id);
  return found == index->children.end() ? pugi::xml_node() : found->second;
}

pugi::xml_node TROXMLSerializer::ValueElement(pugi::xml_node element) {
  if (!element || IsNil(element)) return {};
  const std::string_view href = element.attribute("href").value();
  if (!href.starts_with('#')) return element;
  // A multi-reference value lives elsewhere: a child of the Body, else of the message element.
  const std::string_view id = href.substr(1);
  for (pugi::xml_node scope = element.parent(); scope.type() == pugi::node_element; scope = scope.parent())
    if (SameText(LocalName(scope), "Body")) {
      if (const pugi::xml_node target = ChildWithId(scope, id)) return target;
      break;
    }
  return ChildWithId(message_, id);
}

const TROClassInfo& TROXMLSerializer::CheckedType(const pugi::xml_node& element, const TROClassInfo& expected) const {
  const pugi::xml_attribute attribute = element.attribute("xsi:type");
  if (!attribute) return expected;
  const std::string_view type = attribute.value();
  if (type == "SOAP-ENC:Array" || type == "soapenc:Array") return expected;
  const std::string_view name = LocalPart(type);
  const TROClassInfo* found = classes_.Find(name);
  if (found == nullptr) throw EROException(fmt::format("Unknown class \"{}\" found in stream.", RequestText(name)));
  if (!found->InheritsFrom(expected))
    throw EROException(fmt::format("Unexpected class found in stream; class \"{}\" does not descend from \"{}\".",
                                   found->name, expected.name));
  return *found;
}

std::unique_ptr<TROSerializable> TROXMLSerializer::ReadObject(pugi::xml_node element, const TROClassInfo& type) {
  return ReadResolved(ValueElement(element), type);
}

std::unique_ptr<TROSerializable> TROXMLSerializer::ReadResolved(pugi::xml_node element, const TROClassInfo& type) {
  if (!element) return nullptr;
  std::unique_ptr<TROSerializable> object = CheckedType(element, type).create();
  const Descent descent(*this, element);
  if (type.kind == TROClassInfo::Kind::Array) return ReadArrayItems(std::move(object), element);
  object->ReadComplex(*this);
  return object;
}

std::unique_ptr<TROSerializable> TROXMLSerializer::ReadArrayItems(std::unique_ptr<TROSerializable> object,
                                                                  pugi::xml_node element) {
  // The items are the element children, whatever their names; text between them is not.
  std::size_t count = 0;
  for (pugi::xml_node child = FirstChildElement(element); child; child = NextSiblingElement(child)) ++count;
  std::size_t least_item_bytes = 0;
  if (limits_ != nullptr && limits_->item_bytes) {
    const std::unique_ptr<TROSerializable> empty = static_cast<const TROArray&>(*object).ElementClass().create();
    least_item_bytes = limits_->item_bytes(static_cast<const TROComplexType&>(*empty));
    // An array that could not fit even with every item empty is refused before any item is
    // read, or any room is taken for them.
    CheckLimits(decoded_items_ + count, decoded_bytes_ + count * least_item_bytes);
  }
  std::vector<pugi::xml_node> items;
  items.reserve(count);
  for (pugi::xml_node child = FirstChildElement(element); child; child = NextSiblingElement(child))
    items.push_back(child);
  const ArrayScope scope(*this, std::move(items), least_item_bytes);
  object->ReadComplex(*this);
  return object;
}

void TROXMLSerializer::CheckLimits(std::size_t items, std::size_t bytes) const {
  if (limits_->check_room) limits_->check_room(items, bytes);
  if (limits_->max_decoded_bytes > 0 && bytes > limits_->max_decoded_bytes)
    throw EROException(fmt::format(
        "Lista grande demais: {} registros ocupariam pelo menos {} bytes depois de lidos (limite {} bytes); envie a "
        "lista em partes menores",
        items, bytes, limits_->max_decoded_bytes));
}

std::unique_ptr<TROComplexType> TROXMLSerializer::ReadStruct(std::string_view name, const TROClassInfo& type) {
  return Downcast<TROComplexType>(ReadObject(Find(name), type));
}

std::unique_ptr<TROComplexType> TROXMLSerializer::ReadArrayItem(int index, const TROClassInfo& type) {
  const pugi::xml_node item = array_items_.at(static_cast<std::size_t>(index));
  const pugi::xml_node element = ValueElement(item);
  const bool referenced = element && element != item;
  const auto known = referenced ? referenced_items_.find(element.internal_object()) : referenced_items_.end();
  std::unique_ptr<TROComplexType> record;
  if (known != referenced_items_.end()) {
    record = Downcast<TROComplexType>(known->second->ClassInfo().create());
    record->Assign(known->second);
  } else {
    record = Downcast<TROComplexType>(ReadResolved(element, type));
    if (referenced && record) referenced_items_.emplace(element.internal_object(), record.get());
  }
  if (limits_ != nullptr && limits_->item_bytes) {
    // A missing item is charged as the empty record the list's receiver makes of it.
    decoded_items_ += 1;
    decoded_bytes_ += record ? limits_->item_bytes(*record) : least_item_bytes_;
    CheckLimits(decoded_items_, decoded_bytes_);
  }
  return record;
}

std::unique_ptr<TROArray> TROXMLSerializer::ReadArray(std::string_view name, const TROClassInfo& type) {
  return Downcast<TROArray>(ReadObject(Find(name), type));
}

void TROXMLSerializer::WriteStruct(std::string_view name, const TROClassInfo& type, const TROComplexType* value) {
  if (value == nullptr) return;
  const Descent descent(*this, Append(name));
  value->WriteComplex(*this);
}

void TROXMLSerializer::WriteArray(std::string_view name, const TROClassInfo& type, const TROArray* value) {
  const pugi::xml_node element = Append(name);
  if (value == nullptr) return;
  const Descent descent(*this, element);
  value->WriteComplex(*this);
}

}  // namespace qit
