// Driver cache lookups with 100 000 known drivers: by identifier across companies, by
// identifier and company, and a miss (a driver seen for the first time). Each lookup goes
// through the cache's index and lock and copies the record it finds.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "logging/VoradaLogger.h"
#include "workers/DriverCache.h"

namespace qit {
namespace {

constexpr int kDrivers = 100'000;

struct Fixture {
  Fixture()
      : folder(std::filesystem::temp_directory_path() / ("qit-cache-bench-" + std::to_string(std::random_device{}()))),
        log(folder),
        cache(log) {
    log.SetLogLevel(stError);  // the per-driver lines are debug lines
    for (int i = 0; i < kDrivers; ++i) cache.AdicionarMotoristaTempoReal(i, i % 7, "MATRICULA-" + std::to_string(i));
  }
  ~Fixture() {
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
  }

  std::filesystem::path folder;
  TVoradaLogger log;
  DriverCache cache;
};

Fixture& Shared() {
  static Fixture fixture;
  return fixture;
}

void Lookup(benchmark::State& state, bool by_company, bool hit) {
  Fixture& fixture = Shared();
  struct Key {
    std::string identifier;
    int company;
  };
  std::vector<Key> keys;
  for (int i = 0; i < 1024; ++i) {
    const int number = (i * 7919) % kDrivers;
    keys.push_back({(hit ? "MATRICULA-" : "NOVO-") + std::to_string(number), number % 7});
  }
  std::size_t next = 0;
  for (auto _ : state) {
    const Key& key = keys[next++ & 1023];
    benchmark::DoNotOptimize(fixture.cache.Find(key.identifier, key.company, by_company));
  }
}

void BM_FindAcrossCompanies(benchmark::State& state) { Lookup(state, false, true); }
void BM_FindInCompany(benchmark::State& state) { Lookup(state, true, true); }
void BM_FindUnknown(benchmark::State& state) { Lookup(state, true, false); }

BENCHMARK(BM_FindAcrossCompanies);
BENCHMARK(BM_FindInCompany);
BENCHMARK(BM_FindUnknown);

}  // namespace
}  // namespace qit

BENCHMARK_MAIN();
