#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "FailingAllocation.h"
#include "common/AutoResetEvent.h"
#include "logging/VoradaLogger.h"
#include "queue/MemorySendQueue.h"
#include "QueueTestSupport.h"

namespace qit::testing {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::StartsWith;

TEST(MemorySendQueue, ArrivalOrderIsKeptAcrossTakeAndGiveBack) {
  ScratchLog log;
  MemorySendQueue queue(log.Logger());
  auto first = List({"A1", "A2", "A3"});
  first->SetItems(2, nullptr);  // a position without an element: an empty record
  queue.AdicionarListaDeEnvio(first.get(), 7);
  first->Items(0)->ID_Veiculo = "changed";  // the queue holds its own copy
  first.reset();
  queue.AdicionarListaDeEnvio(List({"B1"}).get(), -2);
  queue.AdicionarListaDeEnvio(List({}).get(), 3);  // accepted, nothing to queue
  EXPECT_EQ(queue.WaitingRecords(), 4u);

  std::vector<QueuedRecord> batch = queue.TakeBatch(2);
  EXPECT_THAT(Vehicles(batch), ElementsAre("A1", "A2"));
  EXPECT_THAT(Sequences(batch), ElementsAre(1u, 2u));
  EXPECT_EQ(queue.WaitingRecords(), 4u) << "records in the worker's hands still count";

  // A list that arrives while the batch is out waits behind the batch when it comes back.
  queue.AdicionarListaDeEnvio(List({"C1"}).get(), 9);
  for (QueuedRecord& queued : batch) ++queued.failures;
  queue.GiveBack(std::move(batch));

  batch = queue.TakeBatch(100);
  EXPECT_THAT(Vehicles(batch), ElementsAre("A1", "A2", "", "B1", "C1"));
  EXPECT_THAT(Sequences(batch), ElementsAre(1u, 2u, 3u, 4u, 5u));
  EXPECT_THAT(Companies(batch), ElementsAre(7, 7, 7, -2, 9));
  std::vector<std::uint64_t> lists;  // the empty list took no number
  for (const QueuedRecord& queued : batch) lists.push_back(queued.list);
  EXPECT_THAT(lists, ElementsAre(1u, 1u, 1u, 2u, 3u));
  std::vector<int> failures;
  for (const QueuedRecord& queued : batch) failures.push_back(queued.failures);
  EXPECT_THAT(failures, ElementsAre(1, 1, 0, 0, 0));
  EXPECT_TRUE(queue.TakeBatch(100).empty());
}

TEST(MemorySendQueue, OnlyRecordsInTheWorkersHandsCanBeGivenBackOrAcknowledged) {
  ScratchLog log;
  MemorySendQueue queue(log.Logger());
  queue.AdicionarListaDeEnvio(List({"A", "B", "C"}).get(), 1);
  const std::vector<QueuedRecord> batch = queue.TakeBatch(3);
  ASSERT_EQ(batch.size(), 3u);

  const std::uint64_t done[] = {batch[0].sequence, 999};  // 999 was never handed out
  queue.Acknowledge(done);
  EXPECT_EQ(queue.WaitingRecords(), 2u);
  queue.GiveBack(batch);  // A is written already: only B and C come back
  queue.GiveBack(batch);  // nothing of it is in hand any more
  queue.Acknowledge(done);
  EXPECT_EQ(queue.WaitingRecords(), 2u);
  EXPECT_THAT(Vehicles(queue.TakeBatch(100)), ElementsAre("B", "C"));
}

TEST(MemorySendQueue, BytesChargedAreTheBytesReleased) {
  ScratchLog log;
  MemorySendQueue queue(log.Logger());
  auto list = List({std::string(100, 'v'), "short"});
  list->Items(0)->Inf_Adicional_Motorista = std::string(40, 'm');
  queue.AdicionarListaDeEnvio(list.get(), 1);

  // The records themselves and the texts too long to live inside them.
  const std::size_t charged = queue.WaitingBytes();
  const std::size_t least = 2 * sizeof(QueuedRecord) + 101 + 41;
  EXPECT_GE(charged, least);
  EXPECT_LE(charged, 2 * least);

  std::vector<QueuedRecord> batch = queue.TakeBatch(100);
  EXPECT_EQ(queue.WaitingBytes(), charged) << "records in the worker's hands still count";
  // The worker writes into its copy before the pass fails; the record comes back larger.
  batch[1].record.ID_Motorista = std::string(500, 'x');
  queue.GiveBack(std::move(batch));
  EXPECT_GE(queue.WaitingBytes(), charged + 501);

  batch = queue.TakeBatch(1);
  queue.Acknowledge(std::vector<std::uint64_t>{batch[0].sequence});
  batch = queue.TakeBatch(1);
  queue.Acknowledge(std::vector<std::uint64_t>{batch[0].sequence});
  EXPECT_EQ(queue.WaitingRecords(), 0u);
  EXPECT_EQ(queue.WaitingBytes(), 0u);
}

TEST(MemorySendQueue, AListThatWouldPassALimitIsRefusedWhole) {
  // Every record is the same, so a limit of three records' worth of bytes behaves like a
  // limit of three records.
  const std::string vehicle(64, 'V');
  std::size_t record_bytes = 0;
  {
    ScratchLog log;
    MemorySendQueue probe(log.Logger());
    probe.AdicionarListaDeEnvio(List({vehicle}).get(), 0);
    record_bytes = probe.WaitingBytes();
  }
  struct Case {
    const char* what;
    void (MemorySendQueue::*set_limit)(std::size_t);
    std::size_t unit;
    std::string refused;  // message start when two units are held
  };
  const std::vector<Case> cases = {
      {"records", &MemorySendQueue::SetMaxRecords, 1,
       "Fila de envio cheia: 2 registros aguardando gravação (limite 3); envie a lista novamente mais tarde"},
      {"bytes", &MemorySendQueue::SetMaxBytes, record_bytes,
       "Fila de envio cheia: " + std::to_string(2 * record_bytes) + " bytes aguardando gravação (limite " +
           std::to_string(3 * record_bytes) + " bytes); envie a lista novamente mais tarde"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ScratchLog log;
    MemorySendQueue queue(log.Logger());
    int wake_ups = 0;
    queue.SetWakeUp([&] { ++wake_ups; });
    (queue.*c.set_limit)(3 * c.unit);
    const auto one = List({vehicle});
    const auto two = List({vehicle, vehicle});
    const auto refused = [&](const TListaIntegraTelemetria& list) {
      const std::size_t records = queue.WaitingRecords(), bytes = queue.WaitingBytes();
      try {
        queue.AdicionarListaDeEnvio(&list, 5);
      } catch (const EListaDeEnvioCheia& error) {
        EXPECT_EQ(error.ClassName(), "EListaDeEnvioCheia");
        EXPECT_EQ(queue.WaitingRecords(), records) << "part of a refused list was queued";
        EXPECT_EQ(queue.WaitingBytes(), bytes);
        return std::string(error.what());
      }
      return std::string("taken");
    };

    queue.AdicionarListaDeEnvio(two.get(), 1);
    EXPECT_EQ(refused(*two), c.refused);
    queue.AdicionarListaDeEnvio(one.get(), 2);  // exactly at the limit
    EXPECT_EQ(queue.WaitingRecords(), 3u);

    std::vector<QueuedRecord> batch = queue.TakeBatch(100);
    EXPECT_THAT(refused(*one), StartsWith("Fila de envio cheia: ")) << "records in hand no longer counted";
    queue.Acknowledge(std::vector<std::uint64_t>{batch[0].sequence});
    queue.AdicionarListaDeEnvio(one.get(), 3);  // acknowledging freed the room
    batch.erase(batch.begin());
    queue.GiveBack(std::move(batch));
    EXPECT_THAT(refused(*one), StartsWith("Fila de envio cheia: ")) << "records given back no longer counted";
    EXPECT_EQ(wake_ups, 3) << "only accepted lists wake the worker";

    (queue.*c.set_limit)(0);
    queue.AdicionarListaDeEnvio(List(std::vector<std::string>(100, vehicle)).get(), 4);
    EXPECT_EQ(queue.WaitingRecords(), 103u);
  }
}

TEST(MemorySendQueue, TheWakeUpRunsAfterTheAppendOutsideTheLock) {
  ScratchLog log;
  MemorySendQueue queue(log.Logger());
  queue.SetMaxRecords(3);
  std::vector<std::size_t> seen;
  // The worker's own calls from inside the wake-up: they would deadlock under the lock.
  queue.SetWakeUp([&] {
    seen.push_back(queue.WaitingRecords());
    queue.GiveBack(queue.TakeBatch(1));
  });
  RunOrDie([&] {
    queue.AdicionarListaDeEnvio(List({"A", "B"}).get(), 1);
    EXPECT_THROW(queue.AdicionarListaDeEnvio(List({"C", "D"}).get(), 1), EListaDeEnvioCheia);
    queue.AdicionarListaDeEnvio(List({"E"}).get(), 1);
  });
  EXPECT_THAT(seen, ElementsAre(2u, 3u));
  EXPECT_THAT(Vehicles(queue.TakeBatch(100)), ElementsAre("A", "B", "E"));
}

TEST(MemorySendQueue, AMissingListIsLoggedAndQueuesNothing) {
  ScratchLog log;
  MemorySendQueue queue(log.Logger());
  int wake_ups = 0;
  queue.SetWakeUp([&] { ++wake_ups; });
  EXPECT_NO_THROW(queue.AdicionarListaDeEnvio(nullptr, 3));
  EXPECT_EQ(queue.WaitingRecords(), 0u);
  EXPECT_EQ(wake_ups, 0);
  EXPECT_THAT(log.Texts(), Contains("Erro em (AdicionarListaDeEnvio) = (EConvertError) : Cannot assign a nil to a "
                                    "TListaIntegraTelemetria"));
}

TEST(MemorySendQueue, AFailedCopyIsReportedAsNotQueuedAndLeavesTheQueueAsItWas) {
  ScratchLog log;
  MemorySendQueue queue(log.Logger());
  int wake_ups = 0;
  queue.SetWakeUp([&] { ++wake_ups; });
  queue.AdicionarListaDeEnvio(List({"before"}).get(), 1);
  const std::size_t bytes = queue.WaitingBytes();
  const auto list = List({std::string(40, 'a'), std::string(40, 'b'), std::string(40, 'c')});

  // Every allocation the append makes fails once in turn, until one append makes fewer.
  bool queued = false;
  for (long nth = 1; nth < 1000 && !queued; ++nth) {
    SCOPED_TRACE(nth);
    std::string message;
    std::string class_name;
    {
      FailingAllocation failure(nth);
      try {
        queue.AdicionarListaDeEnvio(list.get(), 2);
      } catch (const EListaDeEnvio& error) {
        message = error.what();
        class_name = error.ClassName();
      }
      queued = !FailingAllocation::Happened();
    }
    if (queued) break;
    EXPECT_EQ(class_name, "EListaDeEnvio");
    EXPECT_THAT(message, HasSubstr("a lista não foi incluída; envie a lista novamente"));
    EXPECT_EQ(queue.WaitingRecords(), 1u);
    EXPECT_EQ(queue.WaitingBytes(), bytes);
    EXPECT_EQ(wake_ups, 1);
  }
  ASSERT_TRUE(queued);
  const std::vector<QueuedRecord> batch = queue.TakeBatch(100);
  EXPECT_THAT(Vehicles(batch), ElementsAre("before", std::string(40, 'a'), std::string(40, 'b'), std::string(40, 'c')));
  const std::vector<std::uint64_t> sequences = Sequences(batch);
  EXPECT_TRUE(std::is_sorted(sequences.begin(), sequences.end()));
}

TEST(MemorySendQueue, AFailedTakeLosesNothing) {
  for (long nth = 1; nth < 1000; ++nth) {
    SCOPED_TRACE(nth);
    ScratchLog log;
    MemorySendQueue queue(log.Logger());
    queue.AdicionarListaDeEnvio(List({"A", "B"}).get(), 1);
    queue.AdicionarListaDeEnvio(List({"C"}).get(), 1);
    std::vector<QueuedRecord> first;
    bool happened = false;
    {
      FailingAllocation failure(nth);
      try {
        first = queue.TakeBatch(100);
      } catch (const std::bad_alloc&) {
      }
      happened = FailingAllocation::Happened();
    }
    // Whatever the take handed out is in hand; the rest still waits, in order.
    std::vector<QueuedRecord> rest = queue.TakeBatch(100);
    std::vector<std::string> all = Vehicles(first);
    for (const std::string& vehicle : Vehicles(rest)) all.push_back(vehicle);
    EXPECT_THAT(all, ElementsAre("A", "B", "C"));
    EXPECT_EQ(queue.WaitingRecords(), 3u);
    if (!happened) break;
  }
}

TEST(MemorySendQueue, ConcurrentProducersAndAConsumerLoseAndRepeatNothing) {
  ScratchLog log;
  MemorySendQueue queue(log.Logger());
  queue.SetMaxRecords(64);  // producers meet a full queue and send again
  AutoResetEvent wake_up;
  queue.SetWakeUp([&] { wake_up.Set(); });
  constexpr int kProducers = 4, kLists = 150, kPerList = 3;
  constexpr std::size_t kTotal = kProducers * kLists * kPerList;

  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; ++p)
    producers.emplace_back([&queue, p] {
      for (int i = 0; i < kLists; ++i) {
        std::vector<std::string> vehicles;
        for (int j = 0; j < kPerList; ++j)
          vehicles.push_back(std::to_string(p) + ":" + std::to_string(i * kPerList + j));
        const auto list = List(vehicles);
        for (;;) {
          try {
            queue.AdicionarListaDeEnvio(list.get(), p);
            break;
          } catch (const EListaDeEnvioCheia&) {
            std::this_thread::yield();
          }
        }
      }
    });

  // The worker: takes batches of any size, writes some, and gives back the rest, as a pass
  // that fails half-way does.
  std::vector<QueuedRecord> written;
  std::mt19937 random(12345);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
  while (written.size() < kTotal && std::chrono::steady_clock::now() < deadline) {
    wake_up.WaitFor(std::chrono::milliseconds(10));
    std::vector<QueuedRecord> batch = queue.TakeBatch(1 + random() % 16);
    const std::size_t keep = random() % 3 == 0 ? batch.size() / 2 : batch.size();
    std::vector<std::uint64_t> done;
    for (std::size_t k = 0; k < keep; ++k) {
      done.push_back(batch[k].sequence);
      written.push_back(std::move(batch[k]));
    }
    queue.Acknowledge(done);
    batch.erase(batch.begin(), batch.begin() + static_cast<std::ptrdiff_t>(keep));
    queue.GiveBack(std::move(batch));
  }
  queue.SetMaxRecords(0);  // producers still sending after a time-out finish
  for (std::thread& producer : producers) producer.join();

  ASSERT_EQ(written.size(), kTotal);
  std::vector<int> next(kProducers, 0);
  for (std::size_t k = 0; k < written.size(); ++k) {
    const QueuedRecord& queued = written[k];
    if (k > 0) {
      EXPECT_LT(written[k - 1].sequence, queued.sequence) << "written out of arrival order";
    }
    ASSERT_GE(queued.company_code, 0);
    ASSERT_LT(queued.company_code, kProducers);
    // Each producer's records, once each and in the order it sent them.
    EXPECT_EQ(queued.record.ID_Veiculo,
              std::to_string(queued.company_code) + ":" + std::to_string(next[queued.company_code]++));
  }
  EXPECT_EQ(queue.WaitingRecords(), 0u);
  EXPECT_EQ(queue.WaitingBytes(), 0u);
}

}  // namespace
}  // namespace qit::testing
