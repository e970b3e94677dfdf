// The HTTP/1 message reader: every case is fed whole, split at every byte
// offset and one byte at a time, and must give the same events each way.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "fuzz/http_parser_check.h"
#include "transport/vynIdHTTPParser.h"

namespace {

using http_parser_check::Trace;
constexpr auto kReq = TIdHTTPMessageKind::mkRequest;
constexpr auto kResp = TIdHTTPMessageKind::mkResponse;

struct Case {
  const char* Name;
  TIdHTTPMessageKind Kind;
  std::string Input;
  // See Trace: "H<version or status> <framing 0 none 1 length 2 chunked
  // 3 until close> <content length> <header lines>", "B<body>", "C", "E<status>".
  std::string Events;
  bool Closes = true;  // the peer closes after the last byte
};

const Case kCases[] = {
    // Requests: framing.
    {"GetWithoutBody", kReq, "GET / HTTP/1.1\r\nHost: a\r\n\r\n", "H11 0 -1 1 C ."},
    {"LengthBody", kReq, "POST /f HTTP/1.1\r\nHost: a\r\nContent-Length: 5\r\n\r\nhello", "H11 1 5 2 Bhello C ."},
    {"ZeroLength", kReq, "POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 0\r\n\r\n", "H11 0 0 2 C ."},
    {"RequestLengthSaidTwice", kReq, "POST / HTTP/1.1\r\nContent-Length: 2\r\nContent-Length: 2\r\n\r\nab", "E400"},
    {"RequestLengthList", kReq, "POST / HTTP/1.1\r\nContent-Length: 2, 2\r\n\r\nab", "E400"},
    {"ChunkedWithExtensionsAndTrailers", kReq,
     "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n5;a=b\r\nhello\r\n6 ; x\r\n world\r\n0\r\nX-T: 1\r\n\r\n",
     "H11 2 -1 1 Bhello world T1 C ."},
    {"ChunkedUpperHex", kReq, "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\nA\r\n0123456789\r\n0\r\n\r\n",
     "H11 2 -1 1 B0123456789 C ."},
    {"PipelinedPair", kReq, "POST /a HTTP/1.1\r\nContent-Length: 1\r\n\r\nxGET /b HTTP/1.1\r\n\r\n",
     "H11 1 1 1 Bx C H11 0 -1 0 C ."},
    {"BareLFLineEnds", kReq, "POST / HTTP/1.1\nContent-Length: 2\n\nok", "H11 1 2 1 Bok C ."},
    {"EmptyLinesBeforeRequestLine", kReq, "\r\n\r\nGET / HTTP/1.1\r\n\r\n", "H11 0 -1 0 C ."},
    {"FoldedOrdinaryHeader", kReq, "GET / HTTP/1.1\r\nX-A: 1\r\n 2\r\n\r\n", "H11 0 -1 2 C ."},
    {"IdentityCodingOnlyIsNoBody", kReq, "GET / HTTP/1.1\r\nTransfer-Encoding: identity\r\n\r\n", "H11 0 -1 1 C ."},
    {"HeadCutShort", kReq, "GET / HTTP/1.1\r\nHost:", "E400"},
    {"BodyCutShort", kReq, "POST / HTTP/1.1\r\nContent-Length: 9\r\n\r\nabc", "H11 1 9 1 Babc E400"},
    {"KeptOpenWaitsForMore", kReq, "POST / HTTP/1.1\r\nContent-Length: 9\r\n\r\nabc", "H11 1 9 1 Babc ", false},
    // Requests: refusals.
    {"LengthAndChunked", kReq, "POST / HTTP/1.1\r\nContent-Length: 3\r\nTransfer-Encoding: chunked\r\n\r\n", "E400"},
    {"LengthAndIdentity", kReq, "POST / HTTP/1.1\r\nContent-Length: 1\r\nTransfer-Encoding: identity\r\n\r\n", "E400"},
    {"ChunkedInHTTP10", kReq, "POST / HTTP/1.0\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n", "E400"},
    {"ChunkedNotLast", kReq, "POST / HTTP/1.1\r\nTransfer-Encoding: chunked, gzip\r\n\r\n", "E400"},
    {"ChunkedTwice", kReq, "POST / HTTP/1.1\r\nTransfer-Encoding: chunked, chunked\r\n\r\n", "E400"},
    {"ChunkedConcatenated", kReq, "POST / HTTP/1.1\r\nTransfer-Encoding: chunkedchunked\r\n\r\n", "E400"},
    {"ControlBeforeChunked", kReq,
     "POST / HTTP/1.1\r\nTransfer-Encoding: \x01"
     "chunked\r\n\r\n",
     "E400"},
    {"ControlAfterChunked", kReq, "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\x0c\r\n\r\n", "E400"},
    {"OtherCodingBeforeChunked", kReq, "POST / HTTP/1.1\r\nTransfer-Encoding: gzip, chunked\r\n\r\n", "E501"},
    {"ControlInLength", kReq,
     "POST / HTTP/1.1\r\nContent-Length: \x0b"
     "3\r\n\r\nabc",
     "E400"},
    {"DifferingLengths", kReq, "POST / HTTP/1.1\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\nab", "E400"},
    {"DifferingLengthList", kReq, "POST / HTTP/1.1\r\nContent-Length: 1, 2\r\n\r\nab", "E400"},
    {"NegativeLength", kReq, "POST / HTTP/1.1\r\nContent-Length: -1\r\n\r\n", "E400"},
    {"HugeLength", kReq, "POST / HTTP/1.1\r\nContent-Length: 99999999999999999999\r\n\r\n", "E400"},
    {"FoldedLength", kReq, "POST / HTTP/1.1\r\nContent-Length: 1\r\n 2\r\n\r\n", "E400"},
    {"BlankBeforeColon", kReq, "POST / HTTP/1.1\r\nTransfer-Encoding : chunked\r\n\r\n", "E400"},
    {"ControlInName", kReq, "GET / HTTP/1.1\r\nX\x01Y: 1\r\n\r\n", "E400"},
    {"NoColon", kReq, "GET / HTTP/1.1\r\nNoColon\r\n\r\n", "E400"},
    {"ContinuationFirst", kReq, "GET / HTTP/1.1\r\n X: 1\r\n\r\n", "E400"},
    {"TwoHosts", kReq, "GET / HTTP/1.1\r\nHost: a\r\nhost: b\r\n\r\n", "E400"},
    {"NulInValue", kReq, std::string("GET / HTTP/1.1\r\nX: a\0b\r\n\r\n", 26), "E400"},
    {"BareCRInHead", kReq, "GET / HTTP/1.1\r\nX: a\rY: b\r\n\r\n", "E400"},
    {"NoVersion", kReq, "GET\r\n\r\n", "E400"},
    {"ChunkSizeNotHex", kReq, "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n0x5\r\nhello\r\n0\r\n\r\n",
     "H11 2 -1 1 E400"},
    {"ChunkSizeOverflow", kReq, "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\nffffffffffffffffff\r\n",
     "H11 2 -1 1 E400"},
    {"BlankAfterChunkSize", kReq, "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\na \r\n0123456789\r\n0\r\n\r\n",
     "H11 2 -1 1 E400"},
    {"ChunkDataOverrun", kReq, "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nabc\r\n",
     "H11 2 -1 1 Bab E400"},
    // Responses.
    {"ResponseLength", kResp, "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nhi", "H200 1 2 1 Bhi C ."},
    {"ResponseUntilClose", kResp, "HTTP/1.1 200 OK\r\n\r\nto the end", "H200 3 -1 0 Bto the end C "},
    {"ResponseChunkedWinsOverLength", kResp,
     "HTTP/1.1 200 OK\r\nContent-Length: 99\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nhi\r\n0\r\n\r\n",
     "H200 2 -1 2 Bhi C ."},
    {"ResponseChunkedNotLastRunsToClose", kResp, "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked, gzip\r\n\r\n2\r\nhi",
     "H200 3 -1 1 B2\r\nhi C "},
    {"ResponseCodingInHTTP10RunsToClose", kResp, "HTTP/1.0 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nhi",
     "H200 3 -1 1 B2\r\nhi C "},
    {"ResponseChunkedSubstringIsNotChunked", kResp, "HTTP/1.1 200 OK\r\nTransfer-Encoding: xchunked\r\n\r\nabc",
     "H200 3 -1 1 Babc C "},
    {"NoContent", kResp, "HTTP/1.1 204 No Content\r\nContent-Length: 5\r\n\r\n", "H204 0 -1 1 C ."},
    {"NotModified", kResp, "HTTP/1.1 304 Not Modified\r\n\r\n", "H304 0 -1 0 C ."},
    {"InterimThenFinal", kResp, "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\nx",
     "H100 0 -1 0 C H200 1 1 1 Bx C ."},
    {"StatusWithoutReason", kResp, "HTTP/1.1 404\r\nContent-Length: 0\r\n\r\n", "H404 0 0 1 C ."},
    {"EmptyLineBeforeStatus", kResp, "\r\nHTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n", "H404 0 0 1 C ."},
    {"StatusVersionMisspelt", kResp, "HTP/1.1 200 OK\r\n\r\n", "E400"},
    {"StatusVersionTwoDigits", kResp, "HTTP/01.1 200 OK\r\n\r\n", "E400"},
    {"StatusVersionFive", kResp, "HTTP/5.6 200 OK\r\n\r\n", "E400"},
    {"StatusTabAfterVersion", kResp, "HTTP/1.1\t200 OK\r\n\r\n", "E400"},
    {"StatusTwoSpaces", kResp, "HTTP/1.1  200 OK\r\n\r\n", "E400"},
    {"StatusOneDigit", kResp, "HTTP/1.1 2 OK\r\n\r\n", "E400"},
    {"StatusNotNumeric", kResp, "HTTP/1.1 abc OK\r\n\r\n", "E400"},
    {"StatusFourDigits", kResp, "HTTP/1.1 2000 OK\r\n\r\n", "E400"},
    {"StatusOutOfRange", kResp, "HTTP/1.1 099 Odd\r\n\r\n", "E400"},
    {"StatusNegative", kResp, "HTTP/1.1 -200 OK\r\n\r\n", "E400"},
    {"ResponseEqualLengthsAreOne", kResp, "HTTP/1.1 200 OK\r\nContent-Length: 2, 2\r\nContent-Length: 2\r\n\r\nab",
     "H200 1 2 2 Bab C ."},
    {"ResponseNegativeLength", kResp, "HTTP/1.1 200 OK\r\nContent-Length: -5\r\n\r\n", "E400"},
    {"ResponseDifferingLengths", kResp, "HTTP/1.1 200 OK\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\n", "E400"},
    {"ResponseBareCRInHead", kResp, "HTTP/1.1 200 OK\rX: y\r\n\r\n", "E400"},
    {"ResponseChunkTruncated", kResp, "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nab",
     "H200 2 -1 1 Bab E400"},
    {"CloseBeforeAnything", kResp, "", "."},
};

void PrintTo(const Case& ACase, std::ostream* AOut) { *AOut << ACase.Name; }

class HTTPParserCases : public ::testing::TestWithParam<Case> {};

TEST_P(HTTPParserCases, SameEventsWholeSplitAndByteByByte) {
  const Case& c = GetParam();
  const std::string whole = Trace(c.Kind, c.Input, {}, c.Closes);
  EXPECT_EQ(whole, c.Events);
  EXPECT_EQ(Trace(c.Kind, c.Input, http_parser_check::EveryByte(c.Input.size()), c.Closes), whole);
  for (std::size_t at = 1; at < c.Input.size(); ++at)
    ASSERT_EQ(Trace(c.Kind, c.Input, {at}, c.Closes), whole) << "split at " << at;
}

INSTANTIATE_TEST_SUITE_P(Messages, HTTPParserCases, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& aInfo) { return std::string(aInfo.param.Name); });

TEST(HTTPParser, ResponseToHeadHasNoBody) {
  TIdHTTPParser p(kResp);
  p.SetRequestWasHead(true);
  std::size_t used = 0;
  const std::string in = "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n";
  EXPECT_EQ(p.Feed(in, used), TIdHTTPParseResult::prHeadComplete);
  EXPECT_EQ(used, in.size());
  EXPECT_EQ(p.Framing(), TIdHTTPFraming::hfNone);
  EXPECT_EQ(p.Feed(std::string_view(), used), TIdHTTPParseResult::prMessageComplete);
}

TEST(HTTPParser, ChunkedBesideALengthClosesTheConnection) {
  TIdHTTPParser p(kResp);
  std::size_t used = 0;
  EXPECT_EQ(p.Feed("HTTP/1.1 200 OK\r\nContent-Length: 3\r\nTransfer-Encoding: chunked\r\n\r\n", used),
            TIdHTTPParseResult::prHeadComplete);
  EXPECT_TRUE(p.MustClose());
  p.Reset();
  EXPECT_EQ(p.Feed("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n", used), TIdHTTPParseResult::prHeadComplete);
  EXPECT_FALSE(p.MustClose());
}

TEST(HTTPParser, HeadKeepsLinesAsSent) {
  TIdHTTPParser p(kReq);
  std::size_t used = 0;
  ASSERT_EQ(p.Feed("get /x?y HTTP/1.0\r\nA: 1\r\n  more\r\nB:2\r\n\r\n", used), TIdHTTPParseResult::prHeadComplete);
  EXPECT_EQ(p.StartLine(), "get /x?y HTTP/1.0");
  EXPECT_EQ(p.HeaderLines(), (std::vector<std::string>{"A: 1", "  more", "B:2"}));
  EXPECT_EQ(p.VersionMajor(), 1);
  EXPECT_EQ(p.VersionMinor(), 0);
  // Without keeping, only the framing is known.
  TIdHTTPParser check(kReq, {}, false);
  ASSERT_EQ(check.Feed("POST / HTTP/1.1\r\nContent-Length: 3\r\n\r\n", used), TIdHTTPParseResult::prHeadComplete);
  EXPECT_TRUE(check.HeaderLines().empty());
  EXPECT_EQ(check.ContentLength(), 3);
}

// Each limit with the status a server answers it with; every limit is
// found before the line or the head ends, so a client cannot make the
// reader hold more than the limit.
TEST(HTTPParser, LimitsAreReachedBeforeTheLineEnds) {
  TIdHTTPParserLimits limits;
  limits.MaxStartLine = 100;
  limits.MaxHeaderLine = 50;
  limits.MaxHeaderLines = 3;
  limits.MaxHeadBytes = 120;
  limits.MaxBody = 10;
  struct Row {
    const char* Name;
    std::string Input;
    std::int32_t Status;
  };
  const Row rows[] = {
      {"request line", "GET /" + std::string(200, 'a'), 414},
      {"header line", "GET / HTTP/1.1\r\nX: " + std::string(60, 'b'), 431},
      {"header count", "GET / HTTP/1.1\r\nA: 1\r\nB: 2\r\nC: 3\r\nD: 4\r\n", 431},
      {"head bytes",
       "GET / HTTP/1.1\r\nA: " + std::string(45, 'c') + "\r\nB: " + std::string(45, 'c') +
           "\r\nC: " + std::string(45, 'c'),
       431},
      {"declared body", "POST / HTTP/1.1\r\nContent-Length: 11\r\n\r\n", 413},
      {"chunked body", "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n6\r\nabcdef\r\n6\r\n", 413},
      {"trailer count", "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n0\r\nA: 1\r\nB: 2\r\nC: 3\r\nD: 4\r\n",
       431},
  };
  for (const Row& row : rows) {
    const std::string events = Trace(kReq, row.Input, {}, false, limits);
    EXPECT_EQ(events.substr(events.rfind('E') == std::string::npos ? 0 : events.rfind('E')),
              "E" + std::to_string(row.Status))
        << row.Name << ": " << events;
  }
  // Exactly at the limit is still taken; a CR before the LF is not counted.
  EXPECT_EQ(Trace(kReq, "GET /" + std::string(86, 'a') + " HTTP/1.1\r\n\r\n", {}, true, limits), "H11 0 -1 0 C .");
}

// The public request corpus, read as the server reads it: each case split
// every way agrees with itself, and the framing refusals of the corpus are
// refusals here too.
std::filesystem::path CorpusDir() {
  const char* shared = std::getenv("SHARED_DIR");
  return std::filesystem::path(shared ? shared : "../shared") / "corpora" / "http-messages" / "request";
}

// The corpus writes a message with LF line ends standing for CRLF and C
// escapes for the odd bytes.
std::string Unescape(const std::string& ABlock) {
  std::string out;
  for (std::size_t i = 0; i < ABlock.size(); ++i) {
    char c = ABlock[i];
    if (c == '\n') {
      out += "\r\n";
    } else if (c == '\\' && i + 1 < ABlock.size()) {
      const char n = ABlock[++i];
      if (n == 'r')
        out += '\r';
      else if (n == 'n')
        out += '\n';
      else if (n == 't')
        out += '\t';
      else if (n >= '0' && n <= '7') {
        int v = n - '0';
        for (int k = 0; k < 2 && i + 1 < ABlock.size() && ABlock[i + 1] >= '0' && ABlock[i + 1] <= '7'; ++k)
          v = v * 8 + (ABlock[++i] - '0');
        out += static_cast<char>(v);
      } else {
        out += '\\';
        out += n;
      }
    } else {
      out += c;
    }
  }
  return out;
}

// The text between AOpen and the next fence after APos; npos when none.
std::size_t FencedBlock(const std::string& AText, std::size_t APos, const std::string& AOpen, std::string& VBlock) {
  const std::size_t open = AText.find(AOpen, APos);
  if (open == std::string::npos) return std::string::npos;
  const std::size_t from = open + AOpen.size();
  const std::size_t close = AText.find("```", from);
  if (close == std::string::npos) return std::string::npos;
  VBlock = AText.substr(from, close - from);
  return close + 3;
}

bool IsStrictRequestCase(const std::string& AMeta) {
  std::string compact;
  for (char c : AMeta)
    if (c != ' ') compact += c;
  return compact == "{\"type\":\"request\"}";
}

TEST(HTTPParserCorpus, RequestCasesAgreeWithThemselvesAndRefuseBadFraming) {
  namespace fs = std::filesystem;
  const fs::path dir = CorpusDir();
  if (!fs::is_directory(dir)) GTEST_SKIP() << "corpus not found: " << dir;
  // Reasons that are about where a message ends: these must be refused.
  const char* const framing[] = {"Transfer-Encoding", "Content-Length", "chunk size", "Invalid header token",
                                 "Invalid header field char"};
  int cases = 0, refusalsChecked = 0;
  for (const auto& entry : fs::directory_iterator(dir)) {
    std::ifstream in(entry.path());
    std::stringstream text;
    text << in.rdbuf();
    const std::string md = text.str();
    static const std::string kMeta = "<!-- meta=";
    for (std::size_t pos = md.find(kMeta); pos != std::string::npos; pos = md.find(kMeta, pos)) {
      const std::size_t metaEnd = md.find(" -->", pos);
      if (metaEnd == std::string::npos) break;
      const std::string meta = md.substr(pos + kMeta.size(), metaEnd - pos - kMeta.size());
      std::string raw, log;
      std::size_t next = FencedBlock(md, metaEnd, "```http\n", raw);
      if (next == std::string::npos) break;
      next = FencedBlock(md, next, "```log\n", log);
      if (next == std::string::npos) break;
      pos = next;
      if (!IsStrictRequestCase(meta)) continue;
      // The block's own last line end closes the fence, not the message.
      if (!raw.empty() && raw.back() == '\n') raw.pop_back();
      const std::string input = Unescape(raw);
      ++cases;
      const std::string whole = Trace(kReq, input, {}, false);
      ASSERT_EQ(Trace(kReq, input, http_parser_check::EveryByte(input.size()), false), whole)
          << entry.path().filename() << ": " << fuzz_check::Excerpt(input);
      const std::size_t reasonAt = log.find("error code=");
      if (reasonAt == std::string::npos) continue;
      const std::string reason = log.substr(reasonAt, log.find('\n', reasonAt) - reasonAt);
      bool aboutFraming = false;
      for (const char* f : framing) aboutFraming = aboutFraming || reason.find(f) != std::string::npos;
      if (!aboutFraming) continue;
      ++refusalsChecked;
      EXPECT_NE(whole.find('E'), std::string::npos)
          << entry.path().filename() << " (" << reason << "): " << fuzz_check::Excerpt(input) << " gave " << whole;
    }
  }
  EXPECT_GT(cases, 50);
  EXPECT_GT(refusalsChecked, 10);
}

}  // namespace
