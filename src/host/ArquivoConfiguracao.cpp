#include "host/ArquivoConfiguracao.h"

#include <SimpleIni.h>

#include <charconv>
#include <cstdint>

#include "common/Errors.h"
#include "common/Text.h"

namespace qit {

namespace {
constexpr std::size_t kMaximoValor = 2047;
}

struct ArquivoConfiguracao::Ini {
  CSimpleIniA data{/*a_bIsUtf8=*/true, /*a_bMultiKey=*/false, /*a_bMultiLine=*/false};
};

ArquivoConfiguracao::ArquivoConfiguracao(std::filesystem::path file)
    : file_(std::move(file)), ini_(std::make_unique<Ini>()) {
  ini_->data.SetSpaces(false);  // "Key=Value", as the file's readers expect
  // A missing file, or anything that is not a regular file, simply reads as empty.
  std::error_code error;
  if (std::filesystem::is_regular_file(file_, error)) ini_->data.LoadFile(file_.c_str());
}

ArquivoConfiguracao::~ArquivoConfiguracao() = default;

std::string ArquivoConfiguracao::LerTexto(const std::string& secao, const std::string& chave,
                                          const std::string& padrao) const {
  const char* valor = ini_->data.GetValue(secao.c_str(), chave.c_str(), nullptr);
  if (valor == nullptr) return padrao;
  std::string texto(Trim(valor));
  if (texto.size() > kMaximoValor) texto.resize(kMaximoValor);
  return texto;
}

int ArquivoConfiguracao::LerInteiro(const std::string& secao, const std::string& chave, int padrao) const {
  // A missing key and a value that does not parse both give the default.
  return InteiroDaConfiguracao(LerTexto(secao, chave, ""), padrao);
}

bool ArquivoConfiguracao::LerFlag(const std::string& secao, const std::string& chave, bool padrao) const {
  return LerTexto(secao, chave, padrao ? "T" : "F") == "T";
}

void ArquivoConfiguracao::GravarTexto(const std::string& secao, const std::string& chave, const std::string& valor) {
  ini_->data.SetValue(secao.c_str(), chave.c_str(), valor.c_str());
  if (ini_->data.SaveFile(file_.c_str(), /*a_bAddSignature=*/false) < 0)
    throw Exception("Unable to write to " + file_.string(), "EIniFileException");
}

void ArquivoConfiguracao::GravarInteiro(const std::string& secao, const std::string& chave, int valor) {
  GravarTexto(secao, chave, std::to_string(valor));
}

void ArquivoConfiguracao::GravarFlag(const std::string& secao, const std::string& chave, bool valor) {
  GravarTexto(secao, chave, valor ? "T" : "F");
}

std::vector<PortaEmpresa> LerPortasEmpresa(const ArquivoConfiguracao& ini, int quantidade) {
  std::vector<PortaEmpresa> portas;
  for (int n = 1; n <= quantidade; ++n)
    portas.push_back({ini.LerInteiro("Portas", "Porta_" + std::to_string(n), 10165 + n),
                      ini.LerInteiro("Portas", "CodigoEmpresa_" + std::to_string(n), 0)});
  return portas;
}

int InteiroDaConfiguracao(const std::string& texto, int padrao) {
  std::string_view resto = TrimLeft(texto);
  bool negativo = false;
  if (!resto.empty() && (resto.front() == '-' || resto.front() == '+')) {
    negativo = resto.front() == '-';
    resto.remove_prefix(1);
  }
  int base = 10;
  for (std::string_view prefixo : {"0x", "0X", "$", "x", "X"}) {
    if (resto.substr(0, prefixo.size()) == prefixo) {
      base = 16;
      resto.remove_prefix(prefixo.size());
      break;
    }
  }
  if (resto.empty() || resto.front() == '-' || resto.front() == '+') return padrao;
  std::uint64_t magnitude = 0;
  const auto [fim, erro] = std::from_chars(resto.data(), resto.data() + resto.size(), magnitude, base);
  if (erro != std::errc() || fim != resto.data() + resto.size()) return padrao;
  const std::int64_t valor = negativo ? -static_cast<std::int64_t>(magnitude) : static_cast<std::int64_t>(magnitude);
  if (magnitude > (std::uint64_t{1} << 31) || valor > INT32_MAX || valor < INT32_MIN) return padrao;
  return static_cast<int>(valor);
}

TLogLevel NivelDaConfiguracao(const std::string& texto, TLogLevel atual) {
  if (texto.empty() || texto == "stError") return stError;
  if (texto == "stDebug") return stDebug;
  if (texto == "stWarning") return stWarning;
  return atual;
}

}  // namespace qit
