// The queue's journal on real files in a scratch folder: what comes back at start-up, what
// is deleted, the shared syncs, and damaged or failing files.
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "QueueTestSupport.h"
#include "FaultyFileLayer.h"
#include "queue/DurableSendQueue.h"
#include "queue/JournalFormat.h"
#include "queue/MemorySendQueue.h"

namespace qit::testing {
namespace {

namespace fs = std::filesystem;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

// One run of the program as far as the queue goes: a queue in memory and its journal in
// `folder`. Dropping it without Close is a crash: nothing more reaches the files.
struct ProgramRun {
  ProgramRun(TVoradaLogger& log, const fs::path& folder, SendJournalOptions options = {})
      : memory(log), queue(memory, log) {
    queue.Open(folder, std::move(options));
  }
  MemorySendQueue memory;
  DurableSendQueue queue;
};

class SendJournalTest : public ::testing::Test {
 protected:
  void TearDown() override { fs::remove_all(root_); }

  fs::path Folder() const { return root_ / "Fila"; }
  std::vector<fs::path> SegmentFiles() const {
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(Folder()))
      if (entry.is_regular_file()) files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    return files;
  }
  std::uint64_t FolderBytes() const {
    std::uint64_t bytes = 0;
    for (const fs::path& file : SegmentFiles()) bytes += fs::file_size(file);
    return bytes;
  }
  // The lines the log holds that contain `text`.
  std::vector<std::string> LogLines(const std::string& text) const {
    std::vector<std::string> lines;
    for (const std::string& line : log_.Texts())
      if (line.find(text) != std::string::npos) lines.push_back(line);
    return lines;
  }

  const fs::path root_ = ScratchFolder("qit_journal_tests_");
  ScratchLog log_;
};

// No file of the process grows past `bytes` while it exists (as on a disk that is full): a
// write past the limit fails with EFBIG.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    std::signal(SIGXFSZ, SIG_IGN);
    ::getrlimit(RLIMIT_FSIZE, &saved_);
    rlimit limited = saved_;
    limited.rlim_cur = bytes;
    if (::setrlimit(RLIMIT_FSIZE, &limited) != 0) std::abort();
  }
  ~FileSizeLimit() { ::setrlimit(RLIMIT_FSIZE, &saved_); }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;

 private:
  rlimit saved_{};
};

std::vector<std::uint64_t> SequencesOf(const std::vector<QueuedRecord>& records, std::initializer_list<int> at) {
  std::vector<std::uint64_t> sequences;
  for (const int i : at) sequences.push_back(records[static_cast<std::size_t>(i)].sequence);
  return sequences;
}

TEST_F(SendJournalTest, RecordsNotDoneComeBackInOrderAndSegmentsAllDoneAreDeleted) {
  // Every entry in a segment of its own, so that deletion shows segment by segment.
  SendJournalOptions one_entry_each;
  one_entry_each.segment_bytes = 1;
  std::vector<std::uint64_t> taken;
  {
    ProgramRun run(log_.Logger(), Folder(), one_entry_each);
    run.queue.AdicionarListaDeEnvio(List({"A1", "A2"}).get(), 7);
    run.queue.AdicionarListaDeEnvio(List({"B1"}).get(), 8);
    run.queue.AdicionarListaDeEnvio(List({"C1", "C2"}).get(), -9);
    const std::vector<QueuedRecord> batch = run.queue.TakeBatch(100);
    ASSERT_THAT(Vehicles(batch), ElementsAre("A1", "A2", "B1", "C1", "C2"));
    taken = Sequences(batch);
    run.queue.Acknowledge(SequencesOf(batch, {0, 1}));
    run.queue.Acknowledge(SequencesOf(batch, {3}));
    // Gone: the empty segment of the start and the one of the first list. Kept: B1's, the
    // C list's (C2 is not done), and both marks' segments, younger than B1's.
    EXPECT_EQ(SegmentFiles().size(), 4u);
    EXPECT_EQ(run.queue.JournalBytes(), FolderBytes());
    // A second process on the same folder is refused before it reads anything.
    SendJournal second(Folder(), log_.Logger());
    EXPECT_THROW(second.Open(), EListaDeEnvio);
  }  // a crash: B1 and C2 were never done

  {
    std::vector<std::pair<fs::path, std::uintmax_t>> before;
    for (const fs::path& file : SegmentFiles()) before.emplace_back(file, fs::file_size(file));
    ProgramRun run(log_.Logger(), Folder());
    EXPECT_THAT(LogLines("Fila de envio recuperada"),
                ElementsAre("Fila de envio recuperada: 0 registros de 0 listas voltaram à fila",
                            "Fila de envio recuperada: 2 registros de 2 listas voltaram à fila"));
    // Nothing is written anew (a start on a full disk needs room for a header alone): the
    // segments stay as they were, and the new one holds its header.
    const std::vector<fs::path> files = SegmentFiles();
    ASSERT_EQ(files.size(), before.size() + 1);
    for (const auto& [file, bytes] : before) EXPECT_EQ(fs::file_size(file), bytes) << file;
    EXPECT_EQ(fs::file_size(files.back()), 16u);
    EXPECT_EQ(run.queue.JournalBytes(), FolderBytes());
    run.queue.AdicionarListaDeEnvio(List({"D1"}).get(), 1);
    const std::vector<QueuedRecord> batch = run.queue.TakeBatch(100);
    EXPECT_THAT(Vehicles(batch), ElementsAre("B1", "C2", "D1"));
    EXPECT_THAT(Companies(batch), ElementsAre(8, -9, 1));
    EXPECT_THAT(Sequences(batch), ElementsAre(taken[2], taken[4], taken[4] + 1)) << "numbers are kept and not reused";
    // The marks, written to the new segment, count for the old ones: C2's segment waits for
    // B1's, which is older, and then they all go.
    run.queue.Acknowledge(SequencesOf(batch, {1}));
    EXPECT_EQ(SegmentFiles().size(), files.size());
    run.queue.Acknowledge(SequencesOf(batch, {0, 2}));
    EXPECT_EQ(SegmentFiles().size(), 1u);
    EXPECT_EQ(run.queue.JournalBytes(), FolderBytes());
    run.queue.Close();
  }
  {
    ProgramRun run(log_.Logger(), Folder());
    EXPECT_EQ(run.memory.WaitingRecords(), 0u);
    EXPECT_THAT(LogLines("Fila de envio recuperada").back(), HasSubstr(": 0 registros de 0 listas"));
  }
  // The texts and date-times survive the files exactly.
  {
    fs::remove_all(Folder());
    {
      ProgramRun run(log_.Logger(), Folder());
      auto list = List({"Veículo ç"});
      list->Items(0)->Inf_Adicional_Motorista = "Maria José";
      list->Items(0)->DataHoraInicio = TDateTime(45352.354166666664);
      list->Items(0)->Inf_Adicional_Agrupamento_2 = std::string(3000, 'x');
      run.queue.AdicionarListaDeEnvio(list.get(), 3);
    }
    ProgramRun run(log_.Logger(), Folder());
    const std::vector<QueuedRecord> batch = run.queue.TakeBatch(100);
    ASSERT_EQ(batch.size(), 1u);
    EXPECT_EQ(batch[0].record.ID_Veiculo, "Veículo ç");
    EXPECT_EQ(batch[0].record.Inf_Adicional_Motorista, "Maria José");
    EXPECT_EQ(batch[0].record.DataHoraInicio, TDateTime(45352.354166666664));
    EXPECT_EQ(batch[0].record.Inf_Adicional_Agrupamento_2, std::string(3000, 'x'));
  }
}

// A start after the disk filled: the records come back though a file may grow by little more
// than a new segment's header; with no room even for that, the start is refused, saying why.
TEST_F(SendJournalTest, AStartNeedsRoomForANewSegmentsHeaderAlone) {
  {
    ProgramRun run(log_.Logger(), Folder());
    for (int i = 0; i < 20; ++i) run.queue.AdicionarListaDeEnvio(List({"V" + std::to_string(i)}).get(), 1);
  }  // a crash with 20 records to do
  {
    const FileSizeLimit no_room(8);
    SendJournal journal(Folder(), log_.Logger());
    try {
      journal.Open();
      ADD_FAILURE() << "the start went through";
    } catch (const EListaDeEnvio& error) {
      EXPECT_THAT(error.what(), HasSubstr("Falha ao iniciar a fila de envio em disco: o segmento"));
      EXPECT_THAT(error.what(), HasSubstr("não pôde ser criado"));
    }
  }
  std::optional<FileSizeLimit> little_room(std::in_place, 64);
  ProgramRun run(log_.Logger(), Folder());
  little_room.reset();
  EXPECT_EQ(run.queue.TakeBatch(100).size(), 20u);
}

// A power cut must not take back the folders the journal made, with the segments in them.
TEST_F(SendJournalTest, TheFoldersItCreatesReachTheDiskInTheirParents) {
  FaultyFileLayer files;
  SendJournalOptions options;
  options.files = &files;
  ProgramRun run(log_.Logger(), root_ / "servico" / "Fila", options);
  EXPECT_THAT(files.SyncedFolders(), ::testing::IsSupersetOf({root_, root_ / "servico"}));
}

TEST_F(SendJournalTest, CallsThatArriveTogetherShareASync) {
  constexpr int kCallers = 8;
  // The first sync after the start is held until every caller has written its list: the
  // others then find a sync under way and share the next one.
  FaultyFileLayer files;
  SendJournalOptions options;
  options.files = &files;
  MemorySendQueue memory(log_.Logger());
  SendJournal shared(Folder(), log_.Logger(), options);
  shared.Open();
  const std::uint64_t entries_before = shared.EntriesWritten();
  const std::uint64_t syncs_before = shared.Syncs();
  files.HoldFileSyncs();

  RunOrDie([&] {
    std::vector<std::thread> callers;
    for (int i = 0; i < kCallers; ++i)
      callers.emplace_back([&, i] {
        std::vector<QueuedRecord> records(1);
        records[0].record.ID_Veiculo = "V" + std::to_string(i);
        // Each caller waits for its list to be on disk, as AdicionarListaDeEnvio does.
        std::promise<void> durable;
        shared.AppendList(
            std::move(records),
            [&](std::size_t count) {
              const MemorySendQueue::Numbers numbers = memory.ReserveNumbers(count);
              return std::pair{numbers.first_sequence, numbers.list};
            },
            [&durable](std::vector<QueuedRecord>, std::exception_ptr) { durable.set_value(); });
        durable.get_future().wait();
      });
    while (shared.EntriesWritten() < entries_before + kCallers)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    files.ReleaseFileSyncs();
    for (std::thread& caller : callers) caller.join();
  });
  EXPECT_EQ(shared.EntriesWritten() - entries_before, static_cast<std::uint64_t>(kCallers));
  EXPECT_LE(shared.Syncs() - syncs_before, 2u) << "one sync for the first caller, one for all the others";
  EXPECT_EQ(files.FileSyncs(), shared.Syncs()) << "every sync the journal counts is one of a file's data";
}

// Lists queued without waiting (as Enviar queues them): the caller's thread is not held, the
// lists written while a sync runs share the next one, they are queued and called back in the
// order written, and a failed sync refuses exactly the lists it covered.
TEST_F(SendJournalTest, ListsQueuedWithoutWaitingShareSyncsAndFollowTheirOutcome) {
  constexpr int kLists = 50;
  FaultyFileLayer files;  // syncs pass for the start-up's own
  SendJournalOptions options;
  options.files = &files;
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::pair<std::string, std::string>> outcomes;  // vehicle, error text ("" for none)
  const auto queue_list = [&](ProgramRun& run, const std::string& vehicle) {
    run.queue.QueueList(List({vehicle}).get(), 1, [&, vehicle](std::exception_ptr error) {
      std::string text;
      try {
        if (error) std::rethrow_exception(error);
      } catch (const std::exception& failure) {
        text = failure.what();
      }
      const std::lock_guard lock(mutex);
      outcomes.emplace_back(vehicle, text);
      changed.notify_all();
    });
  };
  const auto await_outcomes = [&](std::size_t count) {
    files.ReleaseFileSyncs();
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, std::chrono::seconds(30), [&] { return outcomes.size() >= count; });
  };
  {
    ProgramRun run(log_.Logger(), Folder(), options);
    const std::uint64_t syncs_before = run.queue.JournalSyncs();
    files.HoldFileSyncs();
    // One thread writes every list while the first sync is held: none of them waits.
    for (int i = 0; i < kLists; ++i) queue_list(run, "V" + std::to_string(i));
    {
      const std::lock_guard lock(mutex);
      EXPECT_TRUE(outcomes.empty()) << "called back before the sync";
    }
    EXPECT_EQ(run.memory.WaitingRecords(), 0u) << "queued before it was on disk";
    ASSERT_TRUE(await_outcomes(kLists));
    EXPECT_LE(run.queue.JournalSyncs() - syncs_before, 2u) << "one sync for the first list, one for all the others";
    std::vector<std::string> expected;
    for (int i = 0; i < kLists; ++i) expected.push_back("V" + std::to_string(i));
    std::vector<std::string> called_back;
    for (const auto& [vehicle, error] : outcomes) {
      called_back.push_back(vehicle);
      EXPECT_EQ(error, "") << vehicle;
    }
    EXPECT_EQ(called_back, expected);
    EXPECT_EQ(Vehicles(run.queue.TakeBatch(100)), expected);

    // A sync that fails refuses the lists it covered, and only them. Lists waiting for
    // their sync count against the queue's limits, and a failed one gives its room back.
    outcomes.clear();
    files.HoldFileSyncs();
    files.FailFileSyncs(EIO);
    run.memory.SetMaxRecords(kLists + 2);  // the records taken above still count
    queue_list(run, "BAD1");
    queue_list(run, "BAD2");
    EXPECT_THROW(queue_list(run, "FULL"), EListaDeEnvioCheia);
    ASSERT_TRUE(await_outcomes(2));
    queue_list(run, "OK");
    ASSERT_TRUE(await_outcomes(3));
    ASSERT_EQ(outcomes.size(), 3u);
    EXPECT_THAT(outcomes[0].second, HasSubstr("Falha ao sincronizar a fila de envio em disco"));
    EXPECT_THAT(outcomes[1].second, HasSubstr("Falha ao sincronizar a fila de envio em disco"));
    EXPECT_EQ(outcomes[2].first + "/" + outcomes[2].second, "OK/");
    EXPECT_THAT(Vehicles(run.queue.TakeBatch(100)), ElementsAre("OK"));
  }  // a crash
  ProgramRun run(log_.Logger(), Folder());
  const std::vector<std::string> recovered = Vehicles(run.queue.TakeBatch(1000));
  EXPECT_EQ(recovered.size(), static_cast<std::size_t>(kLists) + 1);
  EXPECT_THAT(recovered, Not(Contains("BAD1")));
  EXPECT_THAT(recovered, Not(Contains("BAD2")));
}

// Segments that fill while the journal's thread syncs: every list written from several
// threads at once, each entry in a segment of its own, is accepted and comes back.
TEST_F(SendJournalTest, SegmentsStartedWhileSyncsRunLoseNothing) {
  constexpr int kThreads = 4;
  constexpr int kLists = 100;
  SendJournalOptions one_entry_each;
  one_entry_each.segment_bytes = 1;
  std::atomic<int> accepted = 0;
  std::vector<std::string> failures;
  std::mutex mutex;
  {
    ProgramRun run(log_.Logger(), Folder(), one_entry_each);
    RunOrDie([&] {
      std::vector<std::thread> threads;
      for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
          for (int i = 0; i < kLists; ++i) {
            const auto outcome = [&](std::exception_ptr error) {
              if (!error) return void(++accepted);
              try {
                std::rethrow_exception(error);
              } catch (const std::exception& failure) {
                const std::lock_guard lock(mutex);
                failures.emplace_back(failure.what());
              }
            };
            try {
              // Half wait on their own thread, half are called back.
              if (i % 2 == 0) {
                run.queue.AdicionarListaDeEnvio(List({"T" + std::to_string(t)}).get(), 1);
                outcome(nullptr);
              } else {
                run.queue.QueueList(List({"T" + std::to_string(t)}).get(), 1, outcome);
              }
            } catch (const std::exception&) {
              outcome(std::current_exception());
            }
          }
        });
      for (std::thread& thread : threads) thread.join();
    });
  }  // every call back has run once the journal is gone
  EXPECT_THAT(failures, IsEmpty());
  EXPECT_EQ(accepted.load(), kThreads * kLists);
  ProgramRun run(log_.Logger(), Folder());
  EXPECT_EQ(run.queue.TakeBatch(10 * kThreads * kLists).size(), static_cast<std::size_t>(kThreads * kLists));
}

// The stop with a sync slower than its deadline: Close returns only once every call back has
// ended (what the call backs reach goes right after it), and a list that comes later is
// refused without a call back.
TEST_F(SendJournalTest, CloseWaitsForTheCallsBackInFlightAndTakesNoListAfter) {
  FaultyFileLayer files;
  SendJournalOptions options;
  options.files = &files;
  ProgramRun run(log_.Logger(), Folder(), options);
  // Owned by the caller and gone once Close returned, as the service's objects are.
  auto answers = std::make_unique<std::vector<std::string>>();
  std::atomic<bool> closed = false;
  std::atomic<int> after_close = 0;
  files.HoldFileSyncs();
  for (const char* vehicle : {"V1", "V2", "V3"})
    run.queue.QueueList(List({vehicle}).get(), 1, [&, vehicle](std::exception_ptr) {
      std::this_thread::sleep_for(std::chrono::milliseconds(30));  // an answer that takes its time
      if (closed) ++after_close;
      else answers->push_back(vehicle);
    });
  std::thread opener([&files] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    files.ReleaseFileSyncs();
  });
  RunOrDie([&] { run.queue.Close(); });
  closed = true;
  EXPECT_THAT(*answers, ElementsAre("V1", "V2", "V3"));
  answers.reset();
  opener.join();
  EXPECT_EQ(after_close.load(), 0);

  bool called = false;
  EXPECT_THROW(run.queue.QueueList(List({"LATE"}).get(), 1, [&called](std::exception_ptr) { called = true; }),
               EListaDeEnvio);
  EXPECT_FALSE(called);
}

// A disk that holds a sync past the stop's deadline: Close gives up at the deadline and says
// so, takes no list from then on, and leaves the journal whole for the call back still to
// come; a later Close finishes, and the list, queued by that call back, comes back at the
// next start.
TEST_F(SendJournalTest, ACloseThatRunsOutOfTimeLeavesTheJournalWholeForTheCallsBackToCome) {
  FaultyFileLayer files;
  SendJournalOptions options;
  options.files = &files;
  {
    ProgramRun run(log_.Logger(), Folder(), options);
    std::promise<std::exception_ptr> outcome;
    std::future<std::exception_ptr> called_back = outcome.get_future();
    files.HoldFileSyncs();
    run.queue.QueueList(List({"V1"}).get(), 1, [&outcome](std::exception_ptr error) { outcome.set_value(error); });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(50);
    RunOrDie([&] { EXPECT_FALSE(run.queue.Close(deadline)); });
    EXPECT_GE(std::chrono::steady_clock::now(), deadline);
    EXPECT_THAT(LogLines("Fila de envio: listas ainda aguardando o disco no prazo da parada"), ::testing::SizeIs(1));
    EXPECT_THROW(run.queue.QueueList(List({"LATE"}).get(), 1, [](std::exception_ptr) {}), EListaDeEnvio);

    files.ReleaseFileSyncs();
    ASSERT_EQ(called_back.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    EXPECT_EQ(called_back.get(), nullptr);
    EXPECT_EQ(run.memory.WaitingRecords(), 1u);
    RunOrDie([&] { EXPECT_TRUE(run.queue.Close()); });
  }
  ProgramRun run(log_.Logger(), Folder());
  EXPECT_THAT(Vehicles(run.queue.TakeBatch(100)), ElementsAre("V1"));
}

// Damage found at start-up, each case on a segment of three lists V1, V2, V3.
TEST_F(SendJournalTest, DamagedFilesKeepWhatIsGoodAndSaySoInTheLog) {
  struct Case {
    const char* name;
    std::function<void(const fs::path& file, const std::vector<std::uint64_t>& ends)> damage;  // ends of the lists
    std::vector<std::string> back;
    const char* log_text;
    bool moved_aside;  // else a torn tail, cut after the last record that came back
  };
  const auto flip = [](const fs::path& file, std::uint64_t at) {
    std::fstream stream(file, std::ios::in | std::ios::out | std::ios::binary);
    stream.seekg(static_cast<std::streamoff>(at));
    const char byte = static_cast<char>(stream.get() ^ 0x40);
    stream.seekp(static_cast<std::streamoff>(at));
    stream.put(byte);
  };
  const std::vector<Case> cases = {
      {"a write cut short by a crash",
       [](const fs::path& file, const std::vector<std::uint64_t>& ends) { fs::resize_file(file, ends[2] - 5); },
       {"V1", "V2"}, "final incompleto do segmento 00000000000000000001.seg", false},
      {"zeros where the file grew but nothing was written",
       [](const fs::path& file, const std::vector<std::uint64_t>& ends) { fs::resize_file(file, ends[2] + 100); },
       {"V1", "V2", "V3"}, "final incompleto do segmento 00000000000000000001.seg", false},
      {"zeros from within the last entry on, past its end (a crash while it was written)",
       [](const fs::path& file, const std::vector<std::uint64_t>& ends) {
         fs::resize_file(file, ends[1] + 12);
         fs::resize_file(file, ends[2] + 100);
       },
       {"V1", "V2"}, "final incompleto do segmento 00000000000000000001.seg", false},
      {"a flipped byte in the middle: the entries after it still count",
       [&](const fs::path& file, const std::vector<std::uint64_t>& ends) { flip(file, ends[0] + 20); },
       {"V1", "V3"}, "segmento corrompido 00000000000000000001.seg (CRC inválido", true},
      {"a header that is not ours", [&](const fs::path& file, const std::vector<std::uint64_t>&) { flip(file, 0); },
       {}, "segmento corrompido 00000000000000000001.seg (cabeçalho inválido)", true},
  };
  const fs::path segment = Folder() / "00000000000000000001.seg";
  const fs::path aside = Folder() / "corrompidos" / "00000000000000000001.seg";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(Folder());
    std::vector<std::uint64_t> ends;
    {
      ProgramRun run(log_.Logger(), Folder());  // starts segment 1, empty
      for (const char* vehicle : {"V1", "V2", "V3"}) {
        run.queue.AdicionarListaDeEnvio(List({vehicle}).get(), 4);
        ends.push_back(run.queue.JournalBytes());
      }
    }
    c.damage(segment, ends);

    const std::size_t lines_before = LogLines(c.log_text).size();
    const std::size_t moves_before = LogLines("00000000000000000001.seg movido para").size();
    ProgramRun run(log_.Logger(), Folder());
    const std::vector<QueuedRecord> batch = run.queue.TakeBatch(100);
    EXPECT_THAT(Vehicles(batch), ::testing::ElementsAreArray(c.back));
    EXPECT_EQ(LogLines(c.log_text).size(), lines_before + 1) << "the log says what was found";
    // A segment stays while it holds records not done; a torn tail is cut off at once.
    EXPECT_EQ(fs::exists(segment), !c.back.empty());
    if (!c.moved_aside) {
      EXPECT_EQ(fs::file_size(segment), ends[c.back.size() - 1]);
    }
    run.queue.Acknowledge(Sequences(batch));
    EXPECT_EQ(fs::exists(aside), c.moved_aside) << "a damaged segment is kept for the operator once done";
    EXPECT_EQ(LogLines("00000000000000000001.seg movido para").size(), moves_before + (c.moved_aside ? 1 : 0));
    EXPECT_EQ(SegmentFiles().size(), 1u) << "only the newest segment is left in the folder";
  }
}

// A damaged segment that cannot be moved aside stays, with the younger segments that hold the
// marks of its records: nothing it holds is lost or comes back twice, and the move is made
// once it can be.
TEST_F(SendJournalTest, ADamagedSegmentThatCannotBeMovedStaysAndComesBackOnlyWithWhatIsNotDone) {
  SendJournalOptions one_entry_each;
  one_entry_each.segment_bytes = 1;
  const fs::path damaged = Folder() / "00000000000000000001.seg";
  std::vector<std::uint64_t> ends;
  std::vector<std::uint64_t> sequences;
  {
    ProgramRun run(log_.Logger(), Folder());
    for (const char* vehicle : {"V1", "V2", "V3", "V4"}) {
      run.queue.AdicionarListaDeEnvio(List({vehicle}).get(), 4);
      ends.push_back(run.queue.JournalBytes());
    }
    sequences = Sequences(run.queue.TakeBatch(100));
  }  // a crash
  // The damage is in V2's entry; "corrompidos" cannot be made (a file has its name).
  {
    std::fstream stream(damaged, std::ios::in | std::ios::out | std::ios::binary);
    stream.seekp(static_cast<std::streamoff>(ends[0] + 20));
    stream.put('#');
  }
  std::ofstream(Folder() / "corrompidos").put('x');
  {
    ProgramRun run(log_.Logger(), Folder(), one_entry_each);
    const std::vector<QueuedRecord> batch = run.queue.TakeBatch(100);
    ASSERT_THAT(Vehicles(batch), ElementsAre("V1", "V3", "V4"));
    run.queue.AdicionarListaDeEnvio(List({"NEW"}).get(), 4);
    EXPECT_GT(run.queue.TakeBatch(1).at(0).sequence, sequences.back()) << "a number seen is not handed out again";
    run.queue.Acknowledge(SequencesOf(batch, {0, 1}));
    run.queue.Acknowledge(SequencesOf(batch, {2}));
    run.queue.Acknowledge(SequencesOf(batch, {2}));  // one more mark: the failure is not logged again
    EXPECT_THAT(LogLines("não pôde ser movido"), ElementsAre(HasSubstr("00000000000000000001.seg")));
    EXPECT_TRUE(fs::exists(damaged));
  }  // a crash
  {
    ProgramRun run(log_.Logger(), Folder());
    EXPECT_THAT(Vehicles(run.queue.TakeBatch(100)), ElementsAre("NEW")) << "what was done does not come back";
    EXPECT_TRUE(fs::exists(damaged));
    EXPECT_EQ(LogLines("não pôde ser movido").size(), 2u);
  }
  fs::remove(Folder() / "corrompidos");
  ProgramRun run(log_.Logger(), Folder());
  EXPECT_TRUE(fs::exists(Folder() / "corrompidos" / "00000000000000000001.seg"));
  const std::vector<QueuedRecord> batch = run.queue.TakeBatch(100);
  EXPECT_THAT(Vehicles(batch), ElementsAre("NEW"));
  run.queue.Acknowledge(Sequences(batch));
  EXPECT_EQ(SegmentFiles().size(), 1u);
}

// A list whose write or sync fails is refused with nothing queued; the next lists go on, and
// the failed one does not come back at the next start.
TEST_F(SendJournalTest, AFailingWriteOrSyncRefusesTheListAndSpoilsNothingElse) {
  enum class Fault { kFileSizeLimit, kDiskFull, kSync };
  struct Case {
    const char* name;
    const char* fault_text;
    Fault fault;
  };
  const Case cases[] = {
      {"the file cannot grow past a limit", "Falha ao gravar na fila de envio em disco", Fault::kFileSizeLimit},
      {"the disk fills in the middle of the entry", "Falha ao gravar na fila de envio em disco (No space left",
       Fault::kDiskFull},
      {"the sync fails", "Falha ao sincronizar a fila de envio em disco", Fault::kSync},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(Folder());
    {
      FaultyFileLayer files;
      SendJournalOptions options;
      options.files = &files;
      ProgramRun run(log_.Logger(), Folder(), options);
      run.queue.AdicionarListaDeEnvio(List({"OK1"}).get(), 1);

      std::optional<FileSizeLimit> limit;
      switch (c.fault) {
        case Fault::kFileSizeLimit: limit.emplace(run.queue.JournalBytes() + 100); break;  // room for part of the list
        case Fault::kDiskFull: files.FailWritesAfter(100); break;
        case Fault::kSync: files.FailFileSyncs(EIO); break;
      }
      auto big = List({"BAD"});
      big->Items(0)->Inf_Adicional_Motorista = std::string(4000, 'b');
      try {
        run.queue.AdicionarListaDeEnvio(big.get(), 1);
        ADD_FAILURE() << "the list was accepted";
      } catch (const EListaDeEnvio& error) {
        EXPECT_THAT(error.what(), HasSubstr(c.fault_text));
        EXPECT_EQ(error.ClassName(), "EListaDeEnvio");
      }
      limit.reset();
      files.Heal();
      EXPECT_EQ(run.memory.WaitingRecords(), 1u) << "nothing of the refused list is queued";

      run.queue.AdicionarListaDeEnvio(List({"OK2"}).get(), 1);
      EXPECT_EQ(run.memory.WaitingRecords(), 2u);
    }
    ProgramRun run(log_.Logger(), Folder());
    EXPECT_THAT(Vehicles(run.queue.TakeBatch(100)), ElementsAre("OK1", "OK2"));
    EXPECT_THAT(LogLines("final incompleto"), IsEmpty()) << "the failed entry was cut at once";
  }
}

// A done mark that cannot be synced is raised to the worker and kept: the next mark carries
// it, so neither record comes back.
TEST_F(SendJournalTest, ADoneMarkThatFailsIsWrittenWithTheNextOne) {
  {
    FaultyFileLayer files;
    SendJournalOptions options;
    options.files = &files;
    ProgramRun run(log_.Logger(), Folder(), options);
    run.queue.AdicionarListaDeEnvio(List({"A", "B", "C"}).get(), 2);
    const std::vector<QueuedRecord> batch = run.queue.TakeBatch(100);
    files.FailFileSyncs(EIO);
    EXPECT_THROW(run.queue.Acknowledge(SequencesOf(batch, {0})), EListaDeEnvio);
    EXPECT_EQ(run.memory.WaitingRecords(), 2u) << "the record has left the queue all the same";
    run.queue.Acknowledge(SequencesOf(batch, {1}));
  }
  ProgramRun run(log_.Logger(), Folder());
  EXPECT_THAT(Vehicles(run.queue.TakeBatch(100)), ElementsAre("C"));
}

// An entry whose CRC holds but whose numbers no journal reaches (a segment written by
// something else, or damage the CRC does not catch) is damage: it does not push the numbers
// handed out later to the end of their range, where a list written would not read back.
TEST_F(SendJournalTest, NumbersNoJournalReachesAreDamageAndTheNextListsComeBack) {
  const auto list_entry = [](std::uint64_t list, std::uint64_t first, const std::string& vehicle) {
    std::vector<QueuedRecord> records(1);
    records[0].record.ID_Veiculo = vehicle;
    const journal::EncodedBody body = journal::EncodeListBody(records);
    return journal::FramedHead(journal::ListHead(list, 4, first, 1), body.bytes.size(), body.crc) + body.bytes;
  };
  const auto done_entry = [](std::uint64_t sequence) {
    const std::string payload = journal::DonePayload(std::vector<std::uint64_t>{sequence});
    return journal::FramedHead(payload, 0, 0);
  };
  struct Case {
    const char* name;
    std::string entry;
  };
  const Case cases[] = {
      {"a list at the end of the range", list_entry(2, UINT64_MAX - 1, "FAR")},
      {"a list number at the end of the range", list_entry(UINT64_MAX, 7, "FAR")},
      {"a done mark at the end of the range", done_entry(UINT64_MAX - 1)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(Folder());
    fs::create_directories(Folder());
    std::ofstream(Folder() / "00000000000000000001.seg", std::ios::binary)
        << journal::SegmentHeader() << list_entry(1, 5, "NEAR") << c.entry;
    std::uint64_t added = 0;
    {
      ProgramRun run(log_.Logger(), Folder());
      EXPECT_THAT(Vehicles(run.queue.TakeBatch(100)), ElementsAre("NEAR"));
      run.queue.AdicionarListaDeEnvio(List({"NEW"}).get(), 1);
      added = run.queue.TakeBatch(100).at(0).sequence;
      EXPECT_EQ(added, 6u);
    }  // a crash
    ProgramRun run(log_.Logger(), Folder());
    const std::vector<QueuedRecord> batch = run.queue.TakeBatch(100);
    EXPECT_THAT(Vehicles(batch), ElementsAre("NEAR", "NEW")) << "the list accepted after the start is not lost";
    EXPECT_THAT(Sequences(batch), ElementsAre(5u, added));
  }
}

}  // namespace
}  // namespace qit::testing
