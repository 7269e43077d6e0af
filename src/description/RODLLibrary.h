#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace qit {

// The interface definition as the service description and the documentation pages use it,
// read from the stored definition document.

struct TRODLParameter {
  std::string Name;
  std::string DataType;
  std::string Flag;  // "In", "Out", "InOut" or "Result"
};

struct TRODLOperation {
  std::string Name;
  std::string UID;
  std::string Documentation;
  std::vector<TRODLParameter> Parameters;  // in declared order, the result included

  const TRODLParameter* Result() const;
};

struct TRODLInterface {
  std::string Name;
  std::string UID;
  std::string Documentation;
  std::vector<TRODLOperation> Operations;
};

struct TRODLService {
  std::string Name;
  std::string UID;
  std::string Ancestor;
  bool Abstract = false;
  std::string Documentation;
  std::vector<TRODLInterface> Interfaces;
};

struct TRODLElement {
  std::string Name;
  std::string DataType;
};

struct TRODLStruct {
  std::string Name;
  std::string UID;
  std::string AutoCreateParams;
  std::string Documentation;
  std::vector<TRODLElement> Elements;
};

struct TRODLArray {
  std::string Name;
  std::string UID;
  std::string Documentation;
  std::string ElementType;
};

struct TRODLLibrary {
  std::string Name;
  std::string UID;
  std::string Version;
  std::string Documentation;
  std::string TargetNamespace;  // the library's own, empty when it names none
  std::vector<TRODLService> Services;
  std::vector<TRODLStruct> Structs;
  std::vector<TRODLArray> Arrays;

  // The service of that name (letter case ignored); nullptr when there is none.
  const TRODLService* FindService(std::string_view name) const;
  bool IsStruct(std::string_view type_name) const;
  bool IsArray(std::string_view type_name) const;
};

// Reads a definition document. A document that is not well-formed XML, or whose root is
// not a Library, fails with a message saying so.
TRODLLibrary ReadRODLLibrary(std::string_view document);

// The definition stored in the program.
TRODLLibrary ReadStoredRODLLibrary();

}  // namespace qit
