#include "workers/DriverCache.h"

namespace qit {

void DriverCache::CarregarCDS(ConnectionManager& pool, Schema& schema) noexcept {
  try {
    std::vector<DriverRecord> loaded;
    {
      PooledConnection connection = pool.AcquireConnection("GPS");
      if (!connection->InTransaction()) connection->BeginTransaction();
      {
        auto drivers = schema.CreateDataset(*connection, "AgrupamentosId_TabVert.Get");
        drivers->Open();
        drivers->Last();
        drivers->First();
        if (!drivers->IsEmpty()) {
          DbField& code = drivers->FieldByName("CODIGO");
          DbField& identifier = drivers->FieldByName("MATRICULA");
          DbField& company = drivers->FieldByName("CODIGO_EMPRESA");
          loaded.reserve(drivers->RecordCount());
          for (; !drivers->Eof(); drivers->Next()) {
            DriverRecord record{code.AsInteger(), identifier.AsString(), company.AsInteger()};
            log_.Registrar({}, false,
                           "Adicionando Motorista = " + record.MATRICULA +
                               " Empresa = " + std::to_string(record.CODIGO_EMPRESA),
                           stDebug);
            loaded.push_back(std::move(record));
          }
        }
        drivers->Close();
      }
      if (connection->InTransaction()) {
        connection->CommitTransaction();
        connection->Disconnect();
      }
      connection.Release();
    }
    std::lock_guard lock(mutex_);
    for (auto& record : loaded) AppendLocked(std::move(record));
    loaded_ = true;
  } catch (const std::exception& error) {
    log_.RegistrarExcecao(&error, "CarregarCDS", true);
    if (metrics_) metrics_->DatabaseFailed(error.what());
    return;
  } catch (...) {
    log_.RegistrarExcecao(nullptr, "CarregarCDS", true);
    if (metrics_) metrics_->DatabaseFailed("CarregarCDS");
    return;
  }
  if (metrics_) metrics_->DatabaseSucceeded();
}

bool DriverCache::Loaded() const {
  std::lock_guard lock(mutex_);
  return loaded_;
}

void DriverCache::AdicionarMotoristaTempoReal(int group_code, int company_code, const std::string& identifier) {
  log_.Registrar({}, false,
                 "Adicionando Motorista Tempo Real = " + identifier + " Empresa = " + std::to_string(company_code),
                 stDebug);
  std::lock_guard lock(mutex_);
  AppendLocked(DriverRecord{group_code, identifier, company_code});
}

std::optional<DriverRecord> DriverCache::Find(std::string_view identifier, int company_code, bool by_company) const {
  std::lock_guard lock(mutex_);
  if (by_company) {
    const auto found = first_by_company_.find(CompanyKey{identifier, company_code});
    if (found == first_by_company_.end()) return std::nullopt;
    return records_[found->second];
  }
  const auto found = first_by_identifier_.find(identifier);
  if (found == first_by_identifier_.end()) return std::nullopt;
  return records_[found->second];
}

std::size_t DriverCache::Size() const {
  std::lock_guard lock(mutex_);
  return records_.size();
}

void DriverCache::ShrinkTo(std::size_t size) {
  std::lock_guard lock(mutex_);
  while (records_.size() > size) {
    const std::size_t position = records_.size() - 1;
    const DriverRecord& last = records_.back();
    // An index entry that points at the record going away was that key's first record, so
    // no earlier record has the key and the entry goes too.
    if (const auto found = first_by_identifier_.find(std::string_view(last.MATRICULA));
        found != first_by_identifier_.end() && found->second == position)
      first_by_identifier_.erase(found);
    if (const auto found = first_by_company_.find(CompanyKey{last.MATRICULA, last.CODIGO_EMPRESA});
        found != first_by_company_.end() && found->second == position)
      first_by_company_.erase(found);
    records_.pop_back();
  }
}

std::vector<DriverRecord> DriverCache::Records() const {
  std::lock_guard lock(mutex_);
  return {records_.begin(), records_.end()};
}

void DriverCache::AppendLocked(DriverRecord record) {
  const std::size_t position = records_.size();
  const DriverRecord& stored = records_.emplace_back(std::move(record));
  // try_emplace keeps an existing entry: the index answers the first record of each key.
  // When an index cannot grow, the record is taken back so that records and indexes agree.
  bool by_identifier_added = false;
  try {
    by_identifier_added = first_by_identifier_.try_emplace(std::string_view(stored.MATRICULA), position).second;
    first_by_company_.try_emplace(CompanyKey{stored.MATRICULA, stored.CODIGO_EMPRESA}, position);
  } catch (...) {
    if (by_identifier_added) first_by_identifier_.erase(std::string_view(stored.MATRICULA));
    records_.pop_back();
    throw;
  }
}

}  // namespace qit
