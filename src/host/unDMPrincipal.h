#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>

#include "logging/VoradaLogger.h"

namespace qit {

// Where the program finds its files: the executable's folder (or --home) and the name the
// configuration (".dat") and connection (".con") files take.
struct PastaPrograma {
  std::filesystem::path pasta;
  std::string nome = "QueltoIntegradorTelemetria";

  std::filesystem::path ArquivoConfiguracao() const { return pasta / (nome + ".dat"); }
  std::filesystem::path ArquivoConexao() const { return pasta / (nome + ".con"); }
};

// One company port: the listener position N of `Servidores` (1-based), its port and the
// company code that tags every call arriving on it.
struct ServidorEmpresa {
  std::string nome;  // "Server" + N
  int porta = 0;
  int codigo_empresa = 0;
};

// The main data module: the single owner of every component the service runs on. Its
// creation handler reads the configuration and opens the company ports.
class TdmPrincipal {
 public:
  TdmPrincipal(PastaPrograma pasta, boost::asio::io_context& io);
  ~TdmPrincipal();
  TdmPrincipal(const TdmPrincipal&) = delete;
  TdmPrincipal& operator=(const TdmPrincipal&) = delete;

  // The creation handler. An error stops it where it happened: what was done stays done,
  // what comes after is not done. The error is raised to the caller.
  void DataModuleCreate();

  const PastaPrograma& Pasta() const { return pasta_; }

  TVoradaLogger Log;
  TVoradaLogger Log_Atualizar;

  // Configuration values, read once at start-up. They keep their zero values when the
  // creation handler stops before reading them.
  int Qtde_Dias_Remocao = 0;
  int TempoAguardar_Minutos = 0;
  bool GravarMotorista = false;
  bool ConsultarEmpresa = false;
  bool Exportar_Telemetria = false;
  int Quantidade = 0;
  // Port of the main listener ([Servidor] Porta); set only when the creation handler succeeds.
  std::optional<int> PortaServidor;
  // Positions 0..Quantidade; position 0 is never used; a position stays empty when the
  // building stopped before it.
  std::vector<std::optional<ServidorEmpresa>> Servidores;

 private:
  int LerConfiguracao();  // returns [Servidor] Porta
  void ConstruirServidores(const class ArquivoConfiguracao& ini);

  PastaPrograma pasta_;
  boost::asio::io_context& io_;
};

}  // namespace qit
