#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "common/ServiceMetrics.h"
#include "data/ConnectionManager.h"
#include "data/Schema.h"
#include "logging/VoradaLogger.h"

namespace qit {

// One known driver (a record of cdsMotoristas).
struct DriverRecord {
  int CODIGO = 0;           // the driver's CODIGO_GRUPO in the vertical storage
  std::string MATRICULA;    // the driver identifier (its CPO_MATRICULA value)
  int CODIGO_EMPRESA = 0;   // the company the driver belongs to
  int CODIGO_OPERACAO = 0;  // declared, never filled

  bool operator==(const DriverRecord&) const = default;
};

// The drivers known to the process (cdsMotoristas): loaded once from the database, then
// extended by every driver this process registers. Records keep their insertion order and
// a lookup answers the first matching one, through indexes that map a key to its first
// position instead of walking the records. Every operation takes the cache's lock, so a load
// on one thread and lookups on another are safe.
class DriverCache {
 public:
  // metrics, when given, learns how every load ended (a database attempt).
  explicit DriverCache(TVoradaLogger& Log, ServiceMetrics* metrics = nullptr) : log_(Log), metrics_(metrics) {}
  DriverCache(const DriverCache&) = delete;
  DriverCache& operator=(const DriverCache&) = delete;

  // Loads every driver of the database (AgrupamentosId_TabVert.Get) through a connection to
  // GPS, logging each one. The records are added only after the whole result was read: a
  // failed load adds nothing, is logged ("CarregarCDS", shown) and never raised, and leaves
  // Loaded() false so that the caller may try again later.
  void CarregarCDS(ConnectionManager& pool, Schema& schema) noexcept;
  // True once a CarregarCDS has completed.
  bool Loaded() const;

  // Logs "Adicionando Motorista Tempo Real = <identifier> Empresa = <company>" and appends
  // the driver.
  void AdicionarMotoristaTempoReal(int group_code, int company_code, const std::string& identifier);

  // The first record, in insertion order, whose MATRICULA equals `identifier` exactly and,
  // when `by_company`, whose CODIGO_EMPRESA equals `company_code`.
  std::optional<DriverRecord> Find(std::string_view identifier, int company_code, bool by_company) const;

  // The number of records, and a way back to an earlier number: records appended after it
  // are forgotten. A caller takes the size before work whose database changes may be rolled
  // back and shrinks the cache to it when they are, so the cache never knows a driver whose
  // rows were never committed. Meant for the insert worker, the only writer once the cache
  // is loaded.
  std::size_t Size() const;
  void ShrinkTo(std::size_t size);

  // A copy of every record, in order.
  std::vector<DriverRecord> Records() const;

 private:
  struct CompanyKey {
    std::string_view identifier;
    int company_code;
    bool operator==(const CompanyKey&) const = default;
  };
  struct TextHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view text) const noexcept { return std::hash<std::string_view>{}(text); }
  };
  struct CompanyKeyHash {
    std::size_t operator()(const CompanyKey& key) const noexcept {
      return std::hash<std::string_view>{}(key.identifier) ^ (std::hash<int>{}(key.company_code) * 0x9e3779b97f4a7c15ULL);
    }
  };

  void AppendLocked(DriverRecord record);

  TVoradaLogger& log_;
  ServiceMetrics* const metrics_;
  mutable std::mutex mutex_;
  // A deque never moves its elements when it grows or shrinks at the end, so the indexes
  // can key on views of the records' own MATRICULA texts.
  std::deque<DriverRecord> records_;
  std::unordered_map<std::string_view, std::size_t, TextHash, std::equal_to<>> first_by_identifier_;
  std::unordered_map<CompanyKey, std::size_t, CompanyKeyHash> first_by_company_;
  bool loaded_ = false;
};

}  // namespace qit
