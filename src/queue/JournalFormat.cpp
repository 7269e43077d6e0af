#include "queue/JournalFormat.h"

#include <zlib.h>

#include <algorithm>
#include <bit>
#include <climits>
#include <type_traits>

#include <fmt/format.h>

namespace qit::journal {

namespace {

constexpr char kMagic[8] = {'Q', 'I', 'T', '-', 'F', 'I', 'L', 'A'};
constexpr std::uint32_t kFormatVersion = 1;
constexpr std::uint8_t kListEntry = 1;
constexpr std::uint8_t kDoneEntry = 2;
constexpr std::string_view kSegmentSuffix = ".seg";
constexpr int kNameDigits = 20;

void PutU8(std::string& out, std::uint8_t value) { out.push_back(static_cast<char>(value)); }
void PutU32(std::string& out, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>(value >> (8 * i)));
}
void PutU64(std::string& out, std::uint64_t value) {
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>(value >> (8 * i)));
}

// Reads little-endian values from a payload; a read past its end clears ok and gives zero.
struct Reader {
  std::string_view bytes;
  bool ok = true;

  std::uint64_t Unsigned(int size) {
    if (bytes.size() < static_cast<std::size_t>(size)) {
      ok = false;
      bytes = {};
      return 0;
    }
    std::uint64_t value = 0;
    for (int i = 0; i < size; ++i) value |= std::uint64_t{static_cast<unsigned char>(bytes[i])} << (8 * i);
    bytes.remove_prefix(static_cast<std::size_t>(size));
    return value;
  }
  std::uint8_t U8() { return static_cast<std::uint8_t>(Unsigned(1)); }
  std::uint32_t U32() { return static_cast<std::uint32_t>(Unsigned(4)); }
  std::uint64_t U64() { return Unsigned(8); }
  std::string Text() {
    const std::uint32_t size = U32();
    if (!ok || bytes.size() < size) {
      ok = false;
      return {};
    }
    std::string text(bytes.substr(0, size));
    bytes.remove_prefix(size);
    return text;
  }
};

// A record's fields in the contract's declared order.
void PutRecord(std::string& out, const TIntegraTelemetria& record) {
  for (const TROField<TIntegraTelemetria>& field : TIntegraTelemetria::Fields())
    std::visit(
        [&](auto member) {
          const auto& value = record.*member;
          using Value = std::decay_t<decltype(value)>;
          if constexpr (std::is_same_v<Value, std::string>) {
            PutU32(out, static_cast<std::uint32_t>(value.size()));
            out += value;
          } else if constexpr (std::is_same_v<Value, TDateTime>) {
            PutU64(out, std::bit_cast<std::uint64_t>(value.Days()));
          } else {
            PutU32(out, static_cast<std::uint32_t>(value));
          }
        },
        field.member);
}

TIntegraTelemetria ReadRecord(Reader& in) {
  TIntegraTelemetria record;
  for (const TROField<TIntegraTelemetria>& field : TIntegraTelemetria::Fields())
    std::visit(
        [&](auto member) {
          auto& value = record.*member;
          using Value = std::decay_t<decltype(value)>;
          if constexpr (std::is_same_v<Value, std::string>) value = in.Text();
          else if constexpr (std::is_same_v<Value, TDateTime>) value = TDateTime(std::bit_cast<double>(in.U64()));
          else value = static_cast<int>(in.U32());
        },
        field.member);
  return record;
}

std::optional<ListEntry> DecodeList(Reader& in) {
  ListEntry entry;
  entry.list = in.U64();
  entry.company_code = static_cast<int>(in.U32());
  entry.first_sequence = in.U64();
  const std::uint32_t count = in.U32();
  for (std::uint32_t i = 0; i < count && in.ok; ++i) entry.records.push_back(ReadRecord(in));
  if (!in.ok || !in.bytes.empty() || count == 0 || entry.first_sequence == 0 ||
      entry.first_sequence >= kNumberLimit - count || entry.list >= kNumberLimit)
    return std::nullopt;
  return entry;
}

std::optional<DoneEntry> DecodeDone(Reader& in) {
  const std::uint32_t count = in.U32();
  if (!in.ok || in.bytes.size() != std::size_t{count} * 8) return std::nullopt;
  DoneEntry entry;
  entry.sequences.reserve(count);
  for (std::uint32_t i = 0; i < count; ++i) entry.sequences.push_back(in.U64());
  if (std::any_of(entry.sequences.begin(), entry.sequences.end(), [](std::uint64_t s) { return s >= kNumberLimit; }))
    return std::nullopt;
  return entry;
}

}  // namespace

std::uint32_t Crc(std::uint32_t crc, std::string_view bytes) {
  // zlib takes at most UINT_MAX bytes a call.
  while (!bytes.empty()) {
    const auto chunk = static_cast<uInt>(std::min<std::size_t>(bytes.size(), UINT_MAX));
    crc = static_cast<std::uint32_t>(::crc32(crc, reinterpret_cast<const Bytef*>(bytes.data()), chunk));
    bytes.remove_prefix(chunk);
  }
  return crc;
}

std::string SegmentHeader() {
  std::string header(kMagic, sizeof kMagic);
  PutU32(header, kFormatVersion);
  PutU32(header, Crc(0, header));
  return header;
}

std::filesystem::path SegmentPath(const std::filesystem::path& folder, std::uint64_t number) {
  return folder / fmt::format("{:0{}}{}", number, kNameDigits, kSegmentSuffix);
}

std::optional<std::uint64_t> SegmentNumber(const std::filesystem::path& file) {
  const std::string name = file.filename().string();
  if (name.size() != kNameDigits + kSegmentSuffix.size() || !name.ends_with(kSegmentSuffix)) return std::nullopt;
  std::uint64_t number = 0;
  for (int i = 0; i < kNameDigits; ++i) {
    if (name[static_cast<std::size_t>(i)] < '0' || name[static_cast<std::size_t>(i)] > '9') return std::nullopt;
    if (number > (UINT64_MAX - 9) / 10) return std::nullopt;
    number = number * 10 + static_cast<std::uint64_t>(name[static_cast<std::size_t>(i)] - '0');
  }
  return number;
}

EncodedBody EncodeListBody(const std::vector<QueuedRecord>& records) {
  if (records.size() > UINT32_MAX)
    throw EListaDeEnvio("Lista grande demais para a fila de envio em disco: a lista não foi incluída");
  EncodedBody body;
  for (const QueuedRecord& queued : records) PutRecord(body.bytes, queued.record);
  body.crc = Crc(0, body.bytes);
  return body;
}

std::string ListHead(std::uint64_t list, int company_code, std::uint64_t first_sequence, std::uint32_t count) {
  std::string head;
  PutU8(head, kListEntry);
  PutU64(head, list);
  PutU32(head, static_cast<std::uint32_t>(company_code));
  PutU64(head, first_sequence);
  PutU32(head, count);
  return head;
}

std::string DonePayload(std::span<const std::uint64_t> sequences) {
  if (sequences.size() > (UINT32_MAX - 5) / 8) throw EListaDeEnvio("Conclusões demais para uma entrada da fila de envio");
  std::string payload;
  PutU8(payload, kDoneEntry);
  PutU32(payload, static_cast<std::uint32_t>(sequences.size()));
  for (const std::uint64_t sequence : sequences) PutU64(payload, sequence);
  return payload;
}

std::string FramedHead(std::string_view head, std::size_t body_size, std::uint32_t body_crc) {
  const std::size_t length = head.size() + body_size;
  if (length > UINT32_MAX)
    throw EListaDeEnvio(fmt::format(
        "Lista grande demais para a fila de envio em disco ({} bytes): a lista não foi incluída", length));
  std::string framed;
  PutU32(framed, static_cast<std::uint32_t>(length));
  std::uint32_t crc = Crc(Crc(0, framed), head);
  crc = static_cast<std::uint32_t>(::crc32_combine(crc, body_crc, static_cast<z_off_t>(body_size)));
  PutU32(framed, crc);
  framed += head;
  return framed;
}

std::optional<std::variant<ListEntry, DoneEntry>> DecodePayload(std::string_view payload) {
  Reader in{payload};
  const std::uint8_t kind = in.U8();
  if (kind == kListEntry) {
    if (auto entry = DecodeList(in)) return std::move(*entry);
  } else if (kind == kDoneEntry) {
    if (auto entry = DecodeDone(in)) return std::move(*entry);
  }
  return std::nullopt;
}

Frame FrameAt(std::string_view data, std::size_t position) {
  using Problem = Frame::Problem;
  const std::string_view rest = data.substr(position);
  if (rest.size() < kFrameBytes) return {Problem::kShort, {}, data.size()};
  Reader frame{rest.substr(0, kFrameBytes)};
  const std::uint32_t length = frame.U32();
  const std::uint32_t crc = frame.U32();
  if (length > rest.size() - kFrameBytes) return {Problem::kShort, {}, data.size()};
  const std::string_view payload = rest.substr(kFrameBytes, length);
  const std::size_t end = position + kFrameBytes + length;
  if (Crc(Crc(0, rest.substr(0, 4)), payload) != crc) return {Problem::kBadCrc, {}, end};
  return {Problem::kNone, payload, end};
}

bool MayStartEntry(std::string_view data, std::size_t position) {
  if (data.size() - position <= kFrameBytes) return false;
  const auto kind = static_cast<std::uint8_t>(data[position + kFrameBytes]);
  return kind == kListEntry || kind == kDoneEntry;
}

}  // namespace qit::journal
