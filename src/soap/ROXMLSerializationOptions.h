#pragma once

#include <cstdint>
#include <initializer_list>

namespace qit {

// Options of the SOAP message and its serializer. The ordinals matter: the set is kept as a
// 16-bit mask, bit n standing for the option of ordinal n.
enum TROXMLSerializationOption {
  xsoWriteMultiRefArray,
  xsoWriteMultiRefObject,
  xsoSendUntyped,
  xsoStrictStructureFieldOrder,
  xsoIgnoreStructureType,
  xsoEncodedXML,
  xsoClientIdInWsdl,
  xsoDocument,
  xsoSplitServiceWsdls,
  xsoExternalTypesAsReferences,
};

class TROXMLSerializationOptions {
 public:
  constexpr TROXMLSerializationOptions(std::initializer_list<TROXMLSerializationOption> options) {
    for (const TROXMLSerializationOption option : options) mask_ |= static_cast<std::uint16_t>(1u << option);
  }
  constexpr bool Contains(TROXMLSerializationOption option) const { return (mask_ >> option) & 1u; }
  constexpr std::uint16_t Mask() const { return mask_; }

 private:
  std::uint16_t mask_ = 0;
};

// The options of the service's SOAP message: untyped document style, fields in declared
// order, one service description per service.
inline constexpr TROXMLSerializationOptions kSOAPMessageOptions{xsoSendUntyped, xsoStrictStructureFieldOrder,
                                                                xsoDocument, xsoSplitServiceWsdls};

}  // namespace qit
