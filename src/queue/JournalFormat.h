#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "queue/SendQueue.h"

// The send journal's bytes on disk. Segment files are named by a 20-digit number, in the
// order written; each begins with a 16-byte header (magic, format version, CRC-32 of both)
// followed by entries: a 4-byte length, a 4-byte CRC-32 of length and payload, and the
// payload. A payload is a list (kind 1: list number, company code, first sequence, record
// count and the records, each field in the contract's declared order) or the sequences of
// records done (kind 2: count and sequences). Numbers are little-endian; a text is its
// length and its bytes; a date-time is the bits of its double.
namespace qit::journal {

inline constexpr std::size_t kHeaderBytes = 16;
inline constexpr std::size_t kFrameBytes = 8;  // length and CRC before every payload
// Sequences and list numbers stay below this: a journal never comes near it (it counts one
// a record), and numbers read above it could leave no room for those handed out after them.
inline constexpr std::uint64_t kNumberLimit = std::uint64_t{1} << 62;
// Damaged segments are moved to this folder of the journal's, kept for the operator.
inline constexpr std::string_view kAsideFolder = "corrompidos";

// CRC-32 (zlib's) of `bytes`, continuing from `crc` (0 to start).
std::uint32_t Crc(std::uint32_t crc, std::string_view bytes);

// The header every segment begins with.
std::string SegmentHeader();
// The file of segment `number` in a journal's folder.
std::filesystem::path SegmentPath(const std::filesystem::path& folder, std::uint64_t number);
// The number of a segment file's name, or nothing for another file.
std::optional<std::uint64_t> SegmentNumber(const std::filesystem::path& file);

// A payload's bytes after its head: the records of a list, encoded before its numbers are
// known, with their CRC-32.
struct EncodedBody {
  std::string bytes;
  std::uint32_t crc = 0;
};
// Raises EListaDeEnvio for more records than an entry can hold.
EncodedBody EncodeListBody(const std::vector<QueuedRecord>& records);
// The head of a list's payload: kind, list number, company code, first sequence, count.
std::string ListHead(std::uint64_t list, int company_code, std::uint64_t first_sequence, std::uint32_t count);
// A done mark's whole payload. Raises EListaDeEnvio for more sequences than an entry holds.
std::string DonePayload(std::span<const std::uint64_t> sequences);
// What goes before the body of an entry: its frame (length and CRC of the whole payload,
// from the CRC of the body) and the payload's head. Raises EListaDeEnvio when the payload
// is longer than a frame can say.
std::string FramedHead(std::string_view head, std::size_t body_size, std::uint32_t body_crc);

// A payload read back.
struct ListEntry {
  std::uint64_t list = 0;  // below kNumberLimit
  int company_code = 0;
  std::uint64_t first_sequence = 0;         // from 1
  std::vector<TIntegraTelemetria> records;  // at least one; first_sequence + size() is below kNumberLimit
};
struct DoneEntry {
  std::vector<std::uint64_t> sequences;  // each below kNumberLimit
};
// A payload as written by this format, or nothing for bytes that are not one.
std::optional<std::variant<ListEntry, DoneEntry>> DecodePayload(std::string_view payload);

// An entry's frame looked for at one position of a segment's bytes.
struct Frame {
  enum class Problem : std::uint8_t {
    kNone,
    kShort,   // the frame or its payload runs past the end of the data
    kBadCrc,
  } problem = Problem::kNone;
  std::string_view payload;
  std::size_t end = 0;  // where the entry ends, as far as its length says (at most the data's end)
};
Frame FrameAt(std::string_view data, std::size_t position);
// Whether an entry may begin at `position`: its frame and the kind of one of our payloads
// fit. Cheaper than FrameAt's CRC, for a scan over damaged bytes.
bool MayStartEntry(std::string_view data, std::size_t position);

}  // namespace qit::journal
