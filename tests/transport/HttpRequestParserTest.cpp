#include <gtest/gtest.h>

#include "transport/HttpRequestParser.h"

namespace qit {
namespace {

using Result = HttpRequestParser::Result;

constexpr std::size_t kLimit = 1000;

struct ParseCase {
  const char* name;
  std::string input;
  bool end_of_input;  // the client closes its sending side after the input
  Result expected;
  std::string method = {};
  std::string target = {};
  std::string body = {};
};

Result ParseAtOnce(const ParseCase& c, HttpRequestParser& parser) {
  const Result result = parser.Feed(c.input);
  return c.end_of_input && result == Result::kNeedMore ? parser.FinishInput() : result;
}

// Byte by byte: every state must survive a read that ends anywhere.
Result ParseByteByByte(const ParseCase& c, HttpRequestParser& parser) {
  Result result = Result::kNeedMore;
  for (std::size_t i = 0; i < c.input.size() && result == Result::kNeedMore; ++i)
    result = parser.Feed(std::string_view(c.input).substr(i, 1));
  return c.end_of_input && result == Result::kNeedMore ? parser.FinishInput() : result;
}

const std::vector<ParseCase>& Cases() {
  static const std::vector<ParseCase> cases = {
      {"simple get", "GET /x?y=1 HTTP/1.1\r\nHost: h\r\n\r\n", false, Result::kComplete, "GET", "/x?y=1"},
      {"method in lower case, bare line feeds", "get / HTTP/1.0\n\n", false, Result::kComplete, "GET", "/"},
      {"head", "Head /doc HTTP/1.1\r\n\r\n", false, Result::kComplete, "HEAD", "/doc"},
      {"content length, later bytes ignored", "POST /p HTTP/1.1\r\nContent-Length: 5\r\n\r\nhelloEXTRA", false,
       Result::kComplete, "POST", "/p", "hello"},
      {"content length on a get is read too", "GET /p HTTP/1.1\r\ncontent-length: 3\r\n\r\nabc", false,
       Result::kComplete, "GET", "/p", "abc"},
      {"zero content length", "POST /p HTTP/1.1\r\nContent-Length: 0\r\n\r\n", false, Result::kComplete, "POST", "/p"},
      {"the same content length twice", "POST /p HTTP/1.1\r\nContent-Length: 3\r\ncontent-length: 003\r\n\r\nabc",
       false, Result::kComplete, "POST", "/p", "abc"},
      {"post without length: body until the client closes", "POST /p HTTP/1.1\r\n\r\nall of it", true,
       Result::kComplete, "POST", "/p", "all of it"},
      {"post without length, still open", "POST /p HTTP/1.1\r\n\r\nsome", false, Result::kNeedMore},
      {"get without length has no body", "GET /p HTTP/1.1\r\n\r\n", false, Result::kComplete, "GET", "/p"},
      {"chunked with extension and trailer",
       "POST /p HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n4\r\nWiki\r\n5;x=1\r\npedia\r\nA\r\n in chunks\r\n0\r\nT: v\r\n\r\n",
       false, Result::kComplete, "POST", "/p", "Wikipedia in chunks"},
      {"chunked in any letter case", "POST /p HTTP/1.1\r\nTransfer-Encoding:  Chunked \r\n\r\n3\r\nabc\r\n0\r\n\r\n",
       false, Result::kComplete, "POST", "/p", "abc"},
      // Framing that could be read in more than one way is refused, and decided with the head.
      {"content lengths that differ", "POST /p HTTP/1.1\r\nContent-Length: 3\r\nContent-Length: 4\r\n\r\nabcd", false,
       Result::kBadRequest},
      {"negative content length", "POST /p HTTP/1.1\r\nContent-Length: -1\r\n\r\n", false, Result::kBadRequest},
      {"content length with a sign", "POST /p HTTP/1.1\r\nContent-Length: +899\r\n\r\n", false, Result::kBadRequest},
      {"hexadecimal content length", "GET /p HTTP/1.1\r\nContent-Length: 0x10\r\n\r\n", false, Result::kBadRequest},
      {"content length as a list", "POST /p HTTP/1.1\r\nContent-Length: 3, 3\r\n\r\nabc", false, Result::kBadRequest},
      {"empty content length", "POST /p HTTP/1.1\r\nContent-Length:\r\n\r\n", false, Result::kBadRequest},
      {"chunked with a content length",
       "POST /p HTTP/1.1\r\nContent-Length: 2\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n0\r\n\r\n", false,
       Result::kBadRequest},
      {"a coding before chunked", "POST /p HTTP/1.1\r\nTransfer-Encoding: gzip, chunked\r\n\r\n", false,
       Result::kBadRequest},
      {"a coding other than chunked", "POST /p HTTP/1.1\r\nTransfer-Encoding: identity\r\n\r\nabc", false,
       Result::kBadRequest},
      {"chunked twice", "POST /p HTTP/1.1\r\nTransfer-Encoding: chunked\r\nTransfer-Encoding: chunked\r\n\r\n",
       false, Result::kBadRequest},
      {"blank before a colon", "POST /p HTTP/1.1\r\nContent-Length : 3\r\n\r\nabc", false, Result::kBadRequest},
      {"tab before a colon", "GET /p HTTP/1.1\r\nHost\t: h\r\n\r\n", false, Result::kBadRequest},
      {"folded line holding a colon", "GET /p HTTP/1.1\r\nX: a\r\n  b: c\r\n\r\n", false, Result::kBadRequest},
      {"no blank in the request line", "GARBAGE\r\n\r\n", false, Result::kReject},
      {"no version", "GET /x\r\n\r\n", false, Result::kReject},
      {"empty first line", "\r\nGET / HTTP/1.1\r\n\r\n", false, Result::kReject},
      {"unknown method, before any header", "DELETE / HTTP/1.1\r\n", false, Result::kReject},
      {"options", "OPTIONS * HTTP/1.1\r\n\r\n", false, Result::kReject},
      {"chunk size not hexadecimal", "POST /p HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n", false,
       Result::kReject},
      {"chunk data longer than its size", "POST /p HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nabc\r\n", false,
       Result::kReject},
      {"head cut short by the client", "GET / HTTP/1.1\r\nHost: h\r\n", true, Result::kReject},
      {"body cut short by the client", "POST /p HTTP/1.1\r\nContent-Length: 10\r\n\r\nabc", true, Result::kReject},
      {"content length over the limit", "POST /p HTTP/1.1\r\nContent-Length: 1001\r\n\r\n", false, Result::kTooLarge},
      {"absurd content length", "POST /p HTTP/1.1\r\nContent-Length: 99999999999999999999999\r\n\r\n", false,
       Result::kTooLarge},
      {"chunks over the limit",
       "POST /p HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n" + std::string("1F4\r\n") + std::string(500, 'a') +
           "\r\n1F5\r\n",
       false, Result::kTooLarge},
      {"huge chunk size", "POST /p HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\nFFFFFFFFFFFFFFFFFFFF\r\n", false,
       Result::kReject},
      {"body until close over the limit", "POST /p HTTP/1.1\r\n\r\n" + std::string(1001, 'a'), false,
       Result::kTooLarge},
      {"endless head",
       "GET / HTTP/1.1\r\n" + std::string(HttpRequestParser::kMaxHeadBytes, 'h'), false, Result::kTooLarge},
  };
  return cases;
}

TEST(HttpRequestParserTest, ReadsRequestsWhetherTheyArriveAtOnceOrByteByByte) {
  for (const ParseCase& c : Cases()) {
    for (const bool byte_by_byte : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + (byte_by_byte ? " (byte by byte)" : ""));
      HttpRequestParser parser(kLimit);
      const Result result = byte_by_byte ? ParseByteByByte(c, parser) : ParseAtOnce(c, parser);
      ASSERT_EQ(result, c.expected);
      if (result != Result::kComplete) continue;
      EXPECT_EQ(parser.Request().method, c.method);
      EXPECT_EQ(parser.Request().target, c.target);
      EXPECT_EQ(parser.Request().body, c.body);
    }
  }
}

TEST(HttpRequestParserTest, KeepsHeaderFieldsInOrderWithTrimmedValues) {
  HttpRequestParser parser(kLimit);
  ASSERT_EQ(parser.Feed("POST /a%20b HTTP/1.0\r\nHost:  10.1.1.5:10166 \r\nno colon here\r\nSOAPAction: \"urn:x\"\r\n"
                        "host: second\r\n\r\n"),
            Result::kNeedMore);
  const HttpRequest& request = parser.Request();
  EXPECT_EQ(request.version, "HTTP/1.0");
  ASSERT_EQ(request.headers.size(), 3u);
  EXPECT_EQ(request.headers[1].name, "SOAPAction");
  EXPECT_EQ(request.headers[1].value, "\"urn:x\"");
  ASSERT_NE(request.FindHeader("HOST"), nullptr);
  EXPECT_EQ(*request.FindHeader("HOST"), "10.1.1.5:10166");  // the first of two
  EXPECT_EQ(request.FindHeader("Content-Length"), nullptr);
}

TEST(HttpRequestParserTest, ResultStaysOnceDecided) {
  HttpRequestParser parser(kLimit);
  ASSERT_EQ(parser.Feed("GET / HTTP/1.1\r\n\r\n"), Result::kComplete);
  EXPECT_EQ(parser.Feed("PUT / HTTP/1.1\r\n\r\n"), Result::kComplete);
  EXPECT_EQ(parser.FinishInput(), Result::kComplete);
  EXPECT_EQ(parser.Request().method, "GET");
}

}  // namespace
}  // namespace qit
