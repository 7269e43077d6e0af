// Feeds arbitrary bytes to the send journal's start-up as the content of its segment files,
// then runs the queue on what came back. Two forms of input, told apart by the low bit of
// the first byte:
//
// - Damage (even): the segments a real journal wrote (lists, done marks, several segments)
//   are changed by a list of operations (cut, flip, zero, grow with zeros, remove), so that
//   recovery is reached with almost-valid files. The records that come back must be records
//   that journal wrote, with the same content and numbers; with no operation, exactly those
//   it left not done.
// - Raw (odd): the rest of the input, split at "QSEG", becomes segment files of their own,
//   each after a valid header when the second byte's bit for it is set; bit 7 puts them
//   after the real journal's segments.
//
// Either way: no crash, every record recovered has a sequence of its own, a list queued
// after the start gets sequences above all of them, and once everything is acknowledged and
// the queue closed, the next start brings nothing back and still numbers above all.

#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "logging/VoradaLogger.h"
#include "queue/DurableSendQueue.h"
#include "queue/MemorySendQueue.h"

namespace {

namespace fs = std::filesystem;

// A record of the real journal's segments, as it was written.
struct Written {
  std::string vehicle;
  int company = 0;
  std::uint64_t list = 0;
};

struct Prefix {
  std::vector<std::pair<std::string, std::string>> files;  // name, bytes; in order
  std::map<std::uint64_t, Written> written;                 // by sequence
  std::set<std::uint64_t> not_done;
};

[[noreturn]] void Fail(const char* what, std::uint64_t value = 0) {
  std::fprintf(stderr, "journal fuzzer: %s (%llu)\n", what, static_cast<unsigned long long>(value));
  std::abort();
}

// A scratch folder of this process's own, on a memory file system where there is one, so
// that the syncs cost little.
// The folder goes when the process exits.
const fs::path& ScratchRoot() {
  static const fs::path root = [] {
    const fs::path base = fs::is_directory("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
    return base / ("qit-journal-fuzz-" + std::to_string(::getpid()));
  }();
  static const bool cleaned_at_exit = std::atexit([] {
    std::error_code ignored;
    fs::remove_all(root, ignored);
  }) == 0;
  (void)cleaned_at_exit;
  return root;
}

std::unique_ptr<qit::TListaIntegraTelemetria> List(const std::vector<std::string>& vehicles) {
  auto list = std::make_unique<qit::TListaIntegraTelemetria>();
  for (const std::string& vehicle : vehicles) list->Add()->ID_Veiculo = vehicle;
  return list;
}

std::string ReadAll(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Lists and done marks written by the real journal over small segments, left as a crash
// leaves them.
Prefix MakePrefix(const fs::path& root) {
  const fs::path folder = root / "prefix" / "Fila";
  fs::remove_all(root / "prefix");
  Prefix prefix;
  {
    qit::TVoradaLogger log(root / "prefix");
    qit::MemorySendQueue memory(log);
    qit::DurableSendQueue queue(memory, log);
    qit::SendJournalOptions options;
    options.segment_bytes = 300;
    queue.Open(folder, options);
    const std::vector<std::vector<std::string>> lists = {
        {"A1", "A2"}, {"B1"}, {"C1", "C2", "C3"}, {"D1"}, {"E1", "E2"}, {"F1"}};
    for (std::size_t i = 0; i < lists.size(); ++i) queue.AdicionarListaDeEnvio(List(lists[i]).get(), 10 + int(i));
    const std::vector<qit::QueuedRecord> batch = queue.TakeBatch(100);
    for (const qit::QueuedRecord& queued : batch) {
      prefix.written[queued.sequence] = {queued.record.ID_Veiculo, queued.company_code, queued.list};
      prefix.not_done.insert(queued.sequence);
    }
    // Done marks in several entries: A2, C1 and C3, then E2.
    for (const std::vector<std::size_t>& done : {std::vector<std::size_t>{1, 3, 5}, {7}}) {
      std::vector<std::uint64_t> sequences;
      for (const std::size_t at : done) sequences.push_back(batch.at(at).sequence);
      queue.Acknowledge(sequences);
      for (const std::uint64_t sequence : sequences) prefix.not_done.erase(sequence);
    }
  }  // dropped without Close: a crash
  std::vector<fs::path> names;
  for (const auto& entry : fs::directory_iterator(folder))
    if (entry.is_regular_file()) names.push_back(entry.path());
  std::sort(names.begin(), names.end());
  for (const fs::path& name : names) prefix.files.emplace_back(name.filename().string(), ReadAll(name));
  if (prefix.files.size() < 3) Fail("the real journal left fewer segments than expected", prefix.files.size());
  return prefix;
}

std::string SegmentName(std::uint64_t number) {
  char name[32];
  std::snprintf(name, sizeof name, "%020llu.seg", static_cast<unsigned long long>(number));
  return name;
}

// Damage form: operations of 5 bytes each (kind, file, offset low, offset high, value).
void ApplyDamage(std::vector<std::pair<std::string, std::string>>& files, const std::uint8_t* data, std::size_t size) {
  for (std::size_t at = 0; at + 5 <= size; at += 5) {
    if (files.empty()) return;
    auto& [name, bytes] = files[data[at + 1] % files.size()];
    const std::size_t offset = data[at + 2] | std::size_t{data[at + 3]} << 8;
    const std::uint8_t value = data[at + 4];
    switch (data[at] % 5) {
      case 0: bytes.resize(std::min(bytes.size(), offset % (bytes.size() + 1))); break;
      case 1:
        if (!bytes.empty()) bytes[offset % bytes.size()] = static_cast<char>(bytes[offset % bytes.size()] ^ value);
        break;
      case 2:
        if (!bytes.empty())
          for (std::size_t i = offset % bytes.size(), end = std::min(bytes.size(), i + value); i < end; ++i) bytes[i] = 0;
        break;
      case 3: bytes.append(std::size_t{value} * 4, '\0'); break;
      case 4: files.erase(files.begin() + static_cast<std::ptrdiff_t>(data[at + 1] % files.size())); break;
    }
  }
}

// Raw form: the input split at "QSEG" into segment files, numbered after `after`.
void AddRaw(std::vector<std::pair<std::string, std::string>>& files, std::uint64_t after, std::uint8_t headers,
            std::string_view rest, const std::string& header) {
  constexpr std::string_view kSeparator = "QSEG";
  for (std::uint64_t number = after + 1; number <= after + 8; ++number) {
    const std::size_t end = rest.find(kSeparator);
    std::string bytes = (headers >> (number - after - 1)) & 1 ? header : std::string();
    bytes += rest.substr(0, end);
    files.emplace_back(SegmentName(number), std::move(bytes));
    if (end == std::string_view::npos) break;
    rest.remove_prefix(end + kSeparator.size());
  }
}

std::uint64_t MaxSequence(const std::vector<qit::QueuedRecord>& records) {
  std::uint64_t highest = 0;
  for (const qit::QueuedRecord& queued : records) highest = std::max(highest, queued.sequence);
  return highest;
}

// Starts the queue on `folder`; false when the start was refused (which is allowed: a folder
// the journal cannot use is an error it reports).
bool Start(qit::DurableSendQueue& queue, const fs::path& folder) {
  try {
    queue.Open(folder);
    return true;
  } catch (const qit::EListaDeEnvio&) {
    return false;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const fs::path& root = ScratchRoot();
  static const Prefix prefix = MakePrefix(root);
  // The header every segment begins with, as the real journal writes it.
  static const std::string header = prefix.files.front().second.substr(0, 16);
  if (size == 0) return 0;

  const bool raw = data[0] & 1;
  std::vector<std::pair<std::string, std::string>> files;
  if (!raw) {
    files = prefix.files;
    ApplyDamage(files, data + 1, size - 1);
  } else if (size >= 2) {
    std::uint64_t after = 0;
    if (data[1] & 0x80) {
      files = prefix.files;
      after = std::stoull(prefix.files.back().first.substr(0, 20));
    }
    AddRaw(files, after, data[1], std::string_view(reinterpret_cast<const char*>(data) + 2, size - 2), header);
  }

  const fs::path run = root / "run";
  const fs::path folder = run / "Fila";
  fs::remove_all(run);
  fs::create_directories(folder);
  for (const auto& [name, bytes] : files) std::ofstream(folder / name, std::ios::binary) << bytes;

  qit::TVoradaLogger log(run);
  std::uint64_t highest = 0;
  {
    qit::MemorySendQueue memory(log);
    qit::DurableSendQueue queue(memory, log);
    if (!Start(queue, folder)) return 0;
    const std::vector<qit::QueuedRecord> recovered = queue.TakeBatch(SIZE_MAX);
    std::set<std::uint64_t> sequences;
    for (const qit::QueuedRecord& queued : recovered) {
      if (!sequences.insert(queued.sequence).second) Fail("a sequence came back twice", queued.sequence);
      if (raw) continue;
      const auto written = prefix.written.find(queued.sequence);
      if (written == prefix.written.end()) Fail("a record came back that was never written", queued.sequence);
      if (written->second.vehicle != queued.record.ID_Veiculo || written->second.company != queued.company_code ||
          written->second.list != queued.list)
        Fail("a record came back other than it was written", queued.sequence);
    }
    if (!raw && size == 1 && sequences != prefix.not_done) Fail("intact segments did not give back what was not done");
    highest = MaxSequence(recovered);

    queue.AdicionarListaDeEnvio(List({"NEW"}).get(), 1);
    const std::vector<qit::QueuedRecord> added = queue.TakeBatch(SIZE_MAX);
    if (added.size() != 1 || added[0].sequence <= highest) Fail("a new list was numbered at or below a recovered record");
    highest = added[0].sequence;
    std::vector<std::uint64_t> all(sequences.begin(), sequences.end());
    all.push_back(added[0].sequence);
    queue.Acknowledge(all);
    queue.Close();
  }
  {
    // Everything was done: nothing comes back, and numbers still go up.
    qit::MemorySendQueue memory(log);
    qit::DurableSendQueue queue(memory, log);
    if (!Start(queue, folder)) Fail("a folder the journal started on once was refused the second time");
    if (memory.WaitingRecords() != 0) Fail("records done came back", memory.WaitingRecords());
    queue.AdicionarListaDeEnvio(List({"AGAIN"}).get(), 1);
    const std::vector<qit::QueuedRecord> added = queue.TakeBatch(SIZE_MAX);
    if (added.size() != 1 || added[0].sequence <= highest) Fail("a sequence was handed out again", highest);
    queue.Close();
  }
  return 0;
}
