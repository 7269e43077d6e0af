#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "transport/HttpMessage.h"
#include "transport/RequestMemoryBudget.h"

namespace qit {

// Reads one HTTP request incrementally from the bytes of a connection, as they arrive.
//
// The request line and the header fields are read line by line (a line ends at a line
// feed; a carriage return before it is dropped). A request line needs a method, a target
// and a version separated by blanks; only GET, POST and HEAD (any letter case) are served.
// The body is: the decoded chunks when Transfer-Encoding is chunked; else exactly
// Content-Length bytes when that field is present and positive; else, for a POST without
// Content-Length, everything until the client closes its sending side; else nothing.
//
// A request whose length could be read in more than one way is refused (kBadRequest) rather
// than guessed at: a server and a proxy in front of it that guessed differently would see
// different requests in the same bytes. That is: Content-Length fields that disagree, or one
// that is not plain decimal digits; Transfer-Encoding together with Content-Length; a
// Transfer-Encoding other than one "chunked"; a blank between a header field's name and its
// colon.
//
// No interim "100 Continue" is ever asked for: the body is read when the client sends it.
class HttpRequestParser {
 public:
  enum class Result {
    kNeedMore,    // feed more bytes (or FinishInput when the client closed its sending side)
    kComplete,    // Request() holds the whole request; later bytes are ignored
    kReject,      // not a request this server answers: close without a response
    kBadRequest,  // the body's length cannot be told for certain: answer 400, read no further
    kTooLarge,    // the body (or the head) exceeds the limits: answer 413, read no further
    kNoMemory,    // the memory budget refused the body's growth: answer 503, read no further
  };

  // Longest request head (request line and header fields) and longest chunk-size line.
  static constexpr std::size_t kMaxHeadBytes = 64 * 1024;

  // body_memory: what the body's buffer is reserved from before it grows; none: no limit
  // but max_body_bytes. It must outlive the parser. any_method: requests of other methods
  // are read as well (with a body only by Content-Length or chunks), for a listener that
  // answers them itself.
  explicit HttpRequestParser(std::size_t max_body_bytes, MemoryReservation* body_memory = nullptr,
                             bool any_method = false);

  Result Feed(std::string_view bytes);
  // The client closed its sending side: a body read until that point is complete.
  Result FinishInput();

  HttpRequest& Request() { return request_; }

 private:
  enum class State {
    kRequestLine,
    kHeaders,
    kBody,
    kBodyUntilClose,
    kChunkSize,
    kChunkData,
    kChunkEnd,
    kTrailers,
    kDone
  };

  // Moves bytes up to and including the next line feed into line_; true when the line is
  // complete.
  bool TakeLine(std::string_view& bytes);
  Result OnLine(std::string_view line);
  Result OnRequestLine(std::string_view line);
  Result OnHeaderLine(std::string_view line);
  Result OnHeadEnd();
  Result OnChunkSize(std::string_view line);
  Result TakeBody(std::string_view& bytes);
  // Appends body bytes, growing the buffer by doubling (up to the body's known length)
  // within the memory reservation; false when the reservation refuses the growth.
  bool AppendBody(std::string_view bytes);
  Result Finish(Result result);

  std::size_t max_body_bytes_;
  MemoryReservation* body_memory_;
  bool any_method_;
  HttpRequest request_;
  State state_ = State::kRequestLine;
  Result result_ = Result::kNeedMore;
  std::string line_;            // the line being read; kept between calls of Feed
  std::size_t head_bytes_ = 0;  // bytes of the request line, header fields and trailers
  std::size_t remaining_ = 0;   // body or chunk bytes still expected
};

}  // namespace qit
