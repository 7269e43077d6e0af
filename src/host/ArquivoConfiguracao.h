#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "logging/VoradaLogger.h"

namespace qit {

// The INI configuration file: sections and keys match in any letter case, values are
// trimmed, and every write goes to the file at once, keeping the other sections, keys and
// comments of the file as they are. A missing or unreadable file reads as empty.
class ArquivoConfiguracao {
 public:
  explicit ArquivoConfiguracao(std::filesystem::path file);
  ~ArquivoConfiguracao();

  // The value of a key, trimmed and cut to 2047 characters; `padrao` when the section or
  // the key is missing.
  std::string LerTexto(const std::string& secao, const std::string& chave, const std::string& padrao) const;
  int LerInteiro(const std::string& secao, const std::string& chave, int padrao) const;
  // Only exactly "T" is true; the default applies before the comparison.
  bool LerFlag(const std::string& secao, const std::string& chave, bool padrao) const;

  // Raises "Unable to write to <file>" when the file cannot be written.
  void GravarTexto(const std::string& secao, const std::string& chave, const std::string& valor);
  void GravarInteiro(const std::string& secao, const std::string& chave, int valor);
  void GravarFlag(const std::string& secao, const std::string& chave, bool valor);

 private:
  struct Ini;
  std::filesystem::path file_;
  std::unique_ptr<Ini> ini_;
};

// One company port of [Portas]: Porta_N (default 10165 + N) and CodigoEmpresa_N (default 0).
struct PortaEmpresa {
  int porta = 0;
  int codigo_empresa = 0;
};
// The company ports 1..quantidade, in order.
std::vector<PortaEmpresa> LerPortasEmpresa(const ArquivoConfiguracao& ini, int quantidade);

// The integer rule of the configuration: decimal, or hexadecimal after "0x", "0X", "$",
// "x" or "X", with an optional sign and blanks before; a value that does not parse or does
// not fit a 32-bit signed integer gives `padrao`.
int InteiroDaConfiguracao(const std::string& texto, int padrao);

// The level rule of [Log] Level, compared exactly: "" or "stError", "stDebug", "stWarning";
// any other text leaves `atual`.
TLogLevel NivelDaConfiguracao(const std::string& texto, TLogLevel atual);

}  // namespace qit
