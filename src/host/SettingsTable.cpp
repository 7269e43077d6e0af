#include "host/SettingsTable.h"

#include <array>
#include <type_traits>

#include "common/Text.h"
#include "host/IniFile.h"

namespace qit {

namespace {

using Bounds = IntegerSetting::Bounds;
constexpr Storage kWrittenBack = Storage::kWrittenBack;
constexpr Storage kReadOnly = Storage::kReadOnly;

// By default a worker step that lasts longer than twice the lock wait counts as stalled;
// without a limit on lock waits, one that lasts longer than this many seconds.
constexpr int kStallLimitWithoutLockLimit = 60;

int StallLimitDefault(const Settings& earlier) {
  const int lock_wait = earlier.TempoEsperaBloqueio_Segundos;
  return lock_wait > 0 ? 2 * lock_wait : kStallLimitWithoutLockLimit;
}

IntegerSetting Limit(int Settings::*field, int default_value) {
  return {.field = field, .default_value = default_value, .bounds = Bounds::kNonNegative};
}

const std::array kDefinitions = {
    // Levels of the two logs; the level rule turns the texts into levels.
    SettingDefinition{"Log", "Level", kReadOnly, TextSetting{&Settings::Level, ""}},
    SettingDefinition{"Log", "LevelAtualizar", kReadOnly, TextSetting{&Settings::LevelAtualizar, ""}},

    SettingDefinition{"CONFIGURACOES", "Qtde_Dias_Remocao", kWrittenBack, IntegerSetting{&Settings::Qtde_Dias_Remocao, 5}},
    SettingDefinition{"CONFIGURACOES", "TempoAguardar_Minutos", kWrittenBack,
                      IntegerSetting{&Settings::TempoAguardar_Minutos, 15}},
    SettingDefinition{"CONFIGURACOES", "GravarMotorista", kWrittenBack, FlagSetting{&Settings::GravarMotorista, true}},
    SettingDefinition{"CONFIGURACOES", "ConsultarEmpresa", kWrittenBack, FlagSetting{&Settings::ConsultarEmpresa, true}},
    SettingDefinition{"CONFIGURACOES", "Exportar_Telemetria", kWrittenBack,
                      FlagSetting{&Settings::Exportar_Telemetria, false}},
    SettingDefinition{"CONFIGURACOES", "RegistrosPorTransacao", kWrittenBack,
                      IntegerSetting{&Settings::RegistrosPorTransacao, 1}},
    SettingDefinition{"CONFIGURACOES", "SessoesPorTransacao", kWrittenBack,
                      IntegerSetting{&Settings::SessoesPorTransacao, 1}},
    SettingDefinition{"CONFIGURACOES", "IntervaloMinimoProcessamento_Segundos", kWrittenBack,
                      IntegerSetting{&Settings::IntervaloMinimoProcessamento_Segundos, 10}},

    SettingDefinition{"Servidor", "Porta", kWrittenBack, IntegerSetting{&Settings::Porta, kDefaultMainPort}},
    // Limits of the listeners, the queue and the workers' waits (0: no limit).
    SettingDefinition{"Servidor", "TempoLimiteLeitura_Segundos", kReadOnly,
                      Limit(&Settings::TempoLimiteLeitura_Segundos, 60)},
    SettingDefinition{"Servidor", "TempoLimiteRequisicao_Segundos", kReadOnly,
                      Limit(&Settings::TempoLimiteRequisicao_Segundos, 120)},
    SettingDefinition{"Servidor", "TamanhoMaximoRequisicao_MB", kReadOnly,
                      Limit(&Settings::TamanhoMaximoRequisicao_MB, 64)},
    SettingDefinition{"Servidor", "MaximoConexoes", kReadOnly, Limit(&Settings::MaximoConexoes, 1024)},
    SettingDefinition{"Servidor", "MaximoConexoesPorCliente", kReadOnly,
                      Limit(&Settings::MaximoConexoesPorCliente, 256)},
    SettingDefinition{"Servidor", "MemoriaMaximaRequisicoes_MB", kReadOnly,
                      Limit(&Settings::MemoriaMaximaRequisicoes_MB, 256)},
    SettingDefinition{"Servidor", "MaximoRegistrosNaFila", kReadOnly, Limit(&Settings::MaximoRegistrosNaFila, 500000)},
    SettingDefinition{"Servidor", "MemoriaMaximaFila_MB", kReadOnly, Limit(&Settings::MemoriaMaximaFila_MB, 256)},
    SettingDefinition{"Servidor", "TempoEsvaziarFila_Segundos", kReadOnly,
                      Limit(&Settings::TempoEsvaziarFila_Segundos, 10)},
    SettingDefinition{"Servidor", "TempoEsperaBloqueio_Segundos", kReadOnly,
                      Limit(&Settings::TempoEsperaBloqueio_Segundos, 30)},
    // A step may wait for one lock and still be on time; twice that is a stall.
    SettingDefinition{"Servidor", "TempoMaximoEtapa_Segundos", kReadOnly,
                      IntegerSetting{.field = &Settings::TempoMaximoEtapa_Segundos,
                                     .bounds = Bounds::kNonNegative,
                                     .derived_default = StallLimitDefault}},
    SettingDefinition{"Servidor", "FilaDuravel", kReadOnly, FlagSetting{&Settings::FilaDuravel, true}},
    SettingDefinition{"Servidor", "PortaMetricas", kReadOnly, Limit(&Settings::PortaMetricas, 0)},
    SettingDefinition{"Servidor", "EnderecoMetricas", kReadOnly, TextSetting{&Settings::EnderecoMetricas, "127.0.0.1"}},

    SettingDefinition{"Portas", "Quantidade", kReadOnly, IntegerSetting{&Settings::Quantidade, 0}},
};

int DefaultOf(const IntegerSetting& setting, const Settings& earlier) {
  return setting.derived_default ? setting.derived_default(earlier) : setting.default_value;
}

// Fills `settings` key by key, in the table's order (a derived default sees the keys before
// it); `ini` null gives every default.
Settings Fill(const IniFile* ini) {
  Settings settings;
  for (const SettingDefinition& definition : kDefinitions) {
    const std::string section(definition.section);
    const std::string key(definition.key);
    std::visit(
        [&](const auto& setting) {
          using Kind = std::decay_t<decltype(setting)>;
          if constexpr (std::is_same_v<Kind, IntegerSetting>) {
            const int default_value = DefaultOf(setting, settings);
            int value = ini ? ini->ReadInteger(section, key, default_value) : default_value;
            if (setting.bounds == IntegerSetting::Bounds::kNonNegative && value < 0) value = default_value;
            settings.*setting.field = value;
          } else if constexpr (std::is_same_v<Kind, FlagSetting>) {
            settings.*setting.field = ini ? ini->ReadFlag(section, key, setting.default_value) : setting.default_value;
          } else {
            std::string value(ini ? Trim(ini->ReadText(section, key, "")) : std::string_view());
            settings.*setting.field = value.empty() ? std::string(setting.default_value) : std::move(value);
          }
        },
        definition.value);
  }
  return settings;
}

}  // namespace

std::span<const SettingDefinition> SettingDefinitions() { return kDefinitions; }

Settings DefaultSettings() { return Fill(nullptr); }

Settings ReadSettings(const IniFile& ini) { return Fill(&ini); }

void WriteBackSettings(IniFile& ini, const Settings& settings) {
  for (const SettingDefinition& definition : kDefinitions) {
    if (definition.storage != Storage::kWrittenBack) continue;
    const std::string section(definition.section);
    const std::string key(definition.key);
    std::visit(
        [&](const auto& setting) {
          using Kind = std::decay_t<decltype(setting)>;
          if constexpr (std::is_same_v<Kind, IntegerSetting>)
            ini.WriteInteger(section, key, settings.*setting.field);
          else if constexpr (std::is_same_v<Kind, FlagSetting>)
            ini.WriteFlag(section, key, settings.*setting.field);
          else
            ini.WriteText(section, key, settings.*setting.field);
        },
        definition.value);
  }
}

}  // namespace qit
