#include "transport/HttpRequestParser.h"

#include <algorithm>
#include <cstdint>
#include <optional>

#include "common/Text.h"
#include "transport/UrlText.h"

namespace qit {

namespace {

using Result = HttpRequestParser::Result;

// Body bytes reserved up front at most: a client may announce a length it never sends.
constexpr std::size_t kMaxBodyReserve = 64 * 1024;
// The first buffer of a body of unknown length.
constexpr std::size_t kFirstBodyBuffer = 4 * 1024;
// More hexadecimal digits than this cannot be a chunk size within any body limit.
constexpr std::size_t kMaxChunkSizeDigits = 15;

bool IsServedMethod(std::string_view method) { return method == "GET" || method == "POST" || method == "HEAD"; }

// A Content-Length value: decimal digits only. Values past any sensible size saturate.
std::optional<std::uint64_t> ParseLength(std::string_view text) {
  if (text.empty()) return std::nullopt;
  constexpr std::uint64_t kSaturated = UINT64_MAX / 10 - 1;
  std::uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = std::min(value * 10 + static_cast<unsigned>(c - '0'), kSaturated);
  }
  return value;
}

std::optional<std::uint64_t> ParseHex(std::string_view text) {
  if (text.empty() || text.size() > kMaxChunkSizeDigits) return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : text) {
    const int digit = HexDigitValue(c);
    if (digit < 0) return std::nullopt;
    value = value * 16 + static_cast<unsigned>(digit);
  }
  return value;
}

}  // namespace

HttpRequestParser::HttpRequestParser(std::size_t max_body_bytes, MemoryReservation* body_memory, bool any_method)
    : max_body_bytes_(max_body_bytes), body_memory_(body_memory), any_method_(any_method) {}

Result HttpRequestParser::Feed(std::string_view bytes) {
  while (result_ == Result::kNeedMore && !bytes.empty()) {
    if (state_ == State::kBody || state_ == State::kBodyUntilClose || state_ == State::kChunkData) {
      result_ = TakeBody(bytes);
      continue;
    }
    const bool head = state_ == State::kRequestLine || state_ == State::kHeaders || state_ == State::kTrailers;
    const bool whole = TakeLine(bytes);
    if (line_.size() + (head ? head_bytes_ : 0) > kMaxHeadBytes) {
      result_ = Result::kTooLarge;
      break;
    }
    if (!whole) break;
    if (head) head_bytes_ += line_.size();
    std::string_view line(line_);
    line.remove_suffix(1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    result_ = OnLine(line);
    line_.clear();
  }
  return result_;
}

Result HttpRequestParser::FinishInput() {
  if (result_ == Result::kNeedMore)
    result_ = state_ == State::kBodyUntilClose ? Finish(Result::kComplete) : Result::kReject;
  return result_;
}

bool HttpRequestParser::TakeLine(std::string_view& bytes) {
  const std::size_t end = bytes.find('\n');
  const std::size_t take = end == std::string_view::npos ? bytes.size() : end + 1;
  line_.append(bytes.data(), take);
  bytes.remove_prefix(take);
  return end != std::string_view::npos;
}

Result HttpRequestParser::OnLine(std::string_view line) {
  switch (state_) {
    case State::kRequestLine:
      return OnRequestLine(line);
    case State::kHeaders:
      return OnHeaderLine(line);
    case State::kChunkSize:
      return OnChunkSize(line);
    case State::kChunkEnd:
      // The chunk's data ends with an empty line; anything else is not chunked coding.
      if (!line.empty()) return Result::kReject;
      state_ = State::kChunkSize;
      return Result::kNeedMore;
    case State::kTrailers:
      // Trailer fields carry nothing this server uses; the empty line ends the request.
      return line.empty() ? Finish(Result::kComplete) : Result::kNeedMore;
    default:
      return Result::kReject;
  }
}

Result HttpRequestParser::OnRequestLine(std::string_view line) {
  // Method, target and version; the version is the text after the last blank.
  const std::size_t first = line.find(' ');
  if (first == std::string_view::npos) return Result::kReject;
  const std::string_view rest = line.substr(first + 1);
  const std::size_t last = rest.rfind(' ');
  if (last == std::string_view::npos) return Result::kReject;
  request_.method = UpperCase(line.substr(0, first));
  if (request_.method.empty() || (!any_method_ && !IsServedMethod(request_.method))) return Result::kReject;
  request_.target = Trim(rest.substr(0, last));
  request_.version = rest.substr(last + 1);
  state_ = State::kHeaders;
  return Result::kNeedMore;
}

Result HttpRequestParser::OnHeaderLine(std::string_view line) {
  if (line.empty()) return OnHeadEnd();
  // A line without a colon is no header field; it is skipped rather than failing the request.
  const std::size_t colon = line.find(':');
  if (colon == std::string_view::npos) return Result::kNeedMore;
  // A field name holds no blanks. "Content-Length : 5" (or a folded line that holds a colon)
  // is read as a field by some and skipped by others, so it is refused.
  const std::string_view name = line.substr(0, colon);
  if (name.find_first_of(" \t") != std::string_view::npos) return Result::kBadRequest;
  request_.headers.push_back({std::string(name), std::string(Trim(line.substr(colon + 1)))});
  return Result::kNeedMore;
}

Result HttpRequestParser::OnHeadEnd() {
  // Every Content-Length field must carry the same number, in plain decimal digits.
  std::optional<std::uint64_t> length;
  const std::string* coding = nullptr;
  std::size_t coding_fields = 0;
  for (const HttpHeader& header : request_.headers) {
    if (SameText(header.name, "Content-Length")) {
      const std::optional<std::uint64_t> value = ParseLength(header.value);
      if (!value || (length && *length != *value)) return Result::kBadRequest;
      length = value;
    } else if (SameText(header.name, "Transfer-Encoding")) {
      coding = &header.value;
      ++coding_fields;
    }
  }
  if (coding != nullptr) {
    // Chunked is the one coding read here, and the only one whose end can be told; a length
    // beside it could be believed instead of the chunks.
    if (coding_fields > 1 || length || !SameText(*coding, "chunked")) return Result::kBadRequest;
    state_ = State::kChunkSize;
    return Result::kNeedMore;
  }
  if (length) {
    if (*length == 0) return Finish(Result::kComplete);
    if (*length > max_body_bytes_) return Result::kTooLarge;
    remaining_ = static_cast<std::size_t>(*length);
    state_ = State::kBody;
    return Result::kNeedMore;
  }
  if (request_.method == "POST") {
    state_ = State::kBodyUntilClose;
    return Result::kNeedMore;
  }
  return Finish(Result::kComplete);
}

Result HttpRequestParser::OnChunkSize(std::string_view line) {
  // Chunk extensions after ";" carry nothing this server uses.
  const std::optional<std::uint64_t> size = ParseHex(Trim(line.substr(0, line.find(';'))));
  if (!size) return Result::kReject;
  if (*size == 0) {
    state_ = State::kTrailers;
    return Result::kNeedMore;
  }
  if (*size > max_body_bytes_ - request_.body.size()) return Result::kTooLarge;
  remaining_ = static_cast<std::size_t>(*size);
  state_ = State::kChunkData;
  return Result::kNeedMore;
}

Result HttpRequestParser::TakeBody(std::string_view& bytes) {
  if (state_ == State::kBodyUntilClose) {
    if (bytes.size() > max_body_bytes_ - request_.body.size()) return Result::kTooLarge;
    if (!AppendBody(bytes)) return Result::kNoMemory;
    bytes = {};
    return Result::kNeedMore;
  }
  const std::size_t take = std::min(remaining_, bytes.size());
  if (!AppendBody(bytes.substr(0, take))) return Result::kNoMemory;
  bytes.remove_prefix(take);
  remaining_ -= take;
  if (remaining_ > 0) return Result::kNeedMore;
  if (state_ == State::kBody) return Finish(Result::kComplete);
  state_ = State::kChunkEnd;
  return Result::kNeedMore;
}

bool HttpRequestParser::AppendBody(std::string_view bytes) {
  std::string& body = request_.body;
  const std::size_t needed = body.size() + bytes.size();
  if (needed > body.capacity()) {
    // A body announced by its length gets up to kMaxBodyReserve at once, then doubles up to
    // that length; any other body starts small and doubles up to the limit.
    const bool known = state_ == State::kBody;
    const std::size_t most = known ? body.size() + remaining_ : max_body_bytes_;
    const std::size_t doubled = std::max(body.capacity() * 2, known ? kMaxBodyReserve : kFirstBodyBuffer);
    const std::size_t capacity = std::max(needed, std::min(doubled, most));
    if (body_memory_ != nullptr && !body_memory_->Cover(capacity)) return false;
    // A new string of that capacity rather than reserve(), which may round a growth up to
    // twice the old capacity, past the body's length and what was reserved for it.
    std::string grown;
    grown.reserve(capacity);
    grown.append(body);
    body.swap(grown);
  }
  body.append(bytes);
  return true;
}

Result HttpRequestParser::Finish(Result result) {
  if (result == Result::kComplete) state_ = State::kDone;
  return result;
}

}  // namespace qit
