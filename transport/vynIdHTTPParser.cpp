#include "transport/vynIdHTTPParser.h"

#include <algorithm>
#include <cstring>

#include "platform/SysUtils.h"
#include "transport/vynIdBuffer.h"
#include "transport/vynIdHTTPHeaderInfo.h"

namespace {

constexpr std::size_t kErrorLineExcerpt = 64;
// The longest decimal length taken: more digits could overflow.
constexpr std::size_t kMaxLengthDigits = 18;
// At most 15 hex digits, so the sum of chunk sizes cannot overflow either.
constexpr std::size_t kMaxChunkSizeDigits = 15;

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// RFC 9110 5.6.2: the characters of a token.
bool IsTokenChar(unsigned char c) {
  if (c >= '0' && c <= '9') return true;
  if ((c | 0x20) >= 'a' && (c | 0x20) <= 'z') return true;
  return std::strchr("!#$%&'*+-.^_`|~", c) != nullptr && c != 0;
}

bool IsToken(std::string_view AText) {
  if (AText.empty()) return false;
  for (unsigned char c : AText)
    if (!IsTokenChar(c)) return false;
  return true;
}

std::string_view TrimBlanks(std::string_view AText) {
  while (!AText.empty() && IsBlank(AText.front())) AText.remove_prefix(1);
  while (!AText.empty() && IsBlank(AText.back())) AText.remove_suffix(1);
  return AText;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// "HTTP/" DIGIT "." DIGIT, strictly; false otherwise.
bool ParseHTTPVersion(std::string_view AText, std::int32_t& VMajor, std::int32_t& VMinor) {
  if (AText.size() != 8 || AText.compare(0, 5, "HTTP/") != 0 || !IsDigit(AText[5]) || AText[6] != '.' ||
      !IsDigit(AText[7]))
    return false;
  VMajor = AText[5] - '0';
  VMinor = AText[7] - '0';
  return true;
}

// A request's version as loosely as the request line was always read: the
// numbers around the dot after the slash; -1 where they are not numbers.
void ParseRequestVersion(std::string_view AText, std::int32_t& VMajor, std::int32_t& VMinor) {
  auto number = [](std::string_view s) {
    std::int32_t v = 0;
    if (s.empty() || s.size() > 9) return -1;
    for (char c : s) {
      if (!IsDigit(c)) return -1;
      v = v * 10 + (c - '0');
    }
    return v;
  };
  const std::size_t slash = AText.find('/');
  if (slash != std::string_view::npos) AText.remove_prefix(slash + 1);
  const std::size_t dot = AText.find('.');
  if (dot == std::string_view::npos) {
    VMajor = number(AText);
    VMinor = -1;
  } else {
    VMajor = number(AText.substr(0, dot));
    VMinor = number(AText.substr(dot + 1));
  }
}

// Digits only; with AListOfEqual, a list of equal values ("5, 5") is one
// value.
bool ParseContentLengthValue(std::string_view AText, std::int64_t& VValue, bool AListOfEqual) {
  bool any = false;
  std::int64_t first = 0;
  for (;;) {
    const std::size_t comma = AText.find(',');
    const std::string_view item = TrimBlanks(AText.substr(0, comma));
    if (item.empty() || item.size() > kMaxLengthDigits) return false;
    std::int64_t v = 0;
    for (char c : item) {
      if (!IsDigit(c)) return false;
      v = v * 10 + (c - '0');
    }
    if (any && (v != first || !AListOfEqual)) return false;
    first = v;
    any = true;
    if (comma == std::string_view::npos) break;
    AText.remove_prefix(comma + 1);
  }
  VValue = first;
  return true;
}

}  // namespace

TIdHTTPParser::TIdHTTPParser(TIdHTTPMessageKind AKind, const TIdHTTPParserLimits& ALimits, bool AKeepHead)
    : FKind(AKind), FLimits(ALimits), FKeepHead(AKeepHead) {}

void TIdHTTPParser::Reset() {
  FState = TIdHTTPParserState::psStartLine;
  FStarted = false;
  FLine.clear();
  FSkipped = 0;
  FHeadBytes = 0;
  FLineCount = 0;
  FBody = {};
  FStartLine.clear();
  FHeaderLines.clear();
  FTrailerLines.clear();
  FVersionMajor = FVersionMinor = -1;
  FStatusCode = 0;
  FHaveLength = FHaveCoding = FLastHeaderFraming = FHaveHost = FHaveField = false;
  FDeclaredLength = 0;
  FCodings.clear();
  FFraming = TIdHTTPFraming::hfNone;
  FContentLength = -1;
  FRemaining = 0;
  FBodyTotal = 0;
  FMustClose = false;
  FStatusMayHaveBody = false;
  FError = TIdHTTPParseError::peNone;
  FErrorLine.clear();
}

void TIdHTTPParser::SkipBody() {
  if (FState == TIdHTTPParserState::psFailed) return;
  FFraming = TIdHTTPFraming::hfNone;
  FState = TIdHTTPParserState::psDone;
}

void TIdHTTPParser::ExpectBodyAnyway() {
  if (FState != TIdHTTPParserState::psDone || FFraming != TIdHTTPFraming::hfNone) return;
  FStatusMayHaveBody = true;
  DecideFraming();
}

TIdHTTPParseResult TIdHTTPParser::Fail(TIdHTTPParseError AError, std::string_view ALine) {
  FError = AError;
  FErrorLine.assign(ALine.substr(0, kErrorLineExcerpt));
  FState = TIdHTTPParserState::psFailed;
  FLine.clear();
  return TIdHTTPParseResult::prError;
}

TIdHTTPParser::TLineResult TIdHTTPParser::TakeLine(const std::uint8_t* AData, std::size_t ASize, std::size_t& VUsed,
                                                   std::int64_t ALimit, TIdHTTPParseError ATooLong,
                                                   std::string_view& VLine) {
  const std::uint8_t* start = AData + VUsed;
  const std::size_t avail = ASize - VUsed;
  const auto* nl = static_cast<const std::uint8_t*>(std::memchr(start, '\n', avail));
  const std::size_t piece = nl ? static_cast<std::size_t>(nl - start) : avail;
  // The limit counts the line without its end; a CR before the LF (or
  // last in a line not ended yet) is part of the end.
  std::size_t length = FLine.size() + piece;
  const bool crLast =
      nl ? (piece > 0 ? start[piece - 1] == '\r' : !FLine.empty() && FLine.back() == '\r') : start[avail - 1] == '\r';
  if (crLast) --length;
  if (ALimit >= 0 && length > static_cast<std::size_t>(ALimit)) {
    Fail(ATooLong, FLine.empty() ? std::string_view(reinterpret_cast<const char*>(start), piece) : FLine);
    return TLineResult::lrFailed;
  }
  if (!nl) {
    FLine.append(reinterpret_cast<const char*>(start), avail);
    VUsed = ASize;
    return TLineResult::lrNeedMore;
  }
  VUsed += piece + 1;
  if (FLine.empty()) {
    VLine = std::string_view(reinterpret_cast<const char*>(start), piece);
  } else {
    FLine.append(reinterpret_cast<const char*>(start), piece);
    VLine = FLine;
  }
  if (!VLine.empty() && VLine.back() == '\r') VLine.remove_suffix(1);
  // A CR anywhere else would let readers disagree on where the line ends.
  if (VLine.find('\r') != std::string_view::npos) {
    Fail(TIdHTTPParseError::peBareCR, VLine);
    return TLineResult::lrFailed;
  }
  return TLineResult::lrLine;
}

TIdHTTPParseResult TIdHTTPParser::Feed(const std::uint8_t* AData, std::size_t ASize, std::size_t& VUsed) {
  using S = TIdHTTPParserState;
  VUsed = 0;
  FBody = {};
  for (;;) {
    S state = FState;
    switch (state) {
      case S::psDone:
        return TIdHTTPParseResult::prMessageComplete;
      case S::psFailed:
        return TIdHTTPParseResult::prError;
      case S::psLengthBody:
        return TakeBody(AData, ASize, VUsed, FRemaining, S::psDone);
      case S::psChunkData:
        return TakeBody(AData, ASize, VUsed, FRemaining, S::psChunkDataEnd);
      case S::psUntilClose: {
        if (VUsed == ASize) return TIdHTTPParseResult::prNeedMore;
        FBody = std::string_view(reinterpret_cast<const char*>(AData + VUsed), ASize - VUsed);
        VUsed = ASize;
        return TIdHTTPParseResult::prBodyBytes;
      }
      default:
        break;
    }
    // The line states.
    if (VUsed == ASize) return TIdHTTPParseResult::prNeedMore;
    // The longest line this state takes (< 0: no limit) and the error past it.
    std::int64_t limit;
    TIdHTTPParseError tooLong;
    switch (state) {
      case S::psStartLine:
        limit = FLimits.MaxStartLine > 0 ? FLimits.MaxStartLine : -1;
        tooLong = TIdHTTPParseError::peStartLineTooLong;
        break;
      case S::psChunkSize:
      case S::psChunkDataEnd:
        limit = FLimits.MaxChunkLine > 0 ? FLimits.MaxChunkLine : -1;
        tooLong = TIdHTTPParseError::peChunkLineTooLong;
        break;
      default: {
        limit = FLimits.MaxHeaderLine > 0 ? FLimits.MaxHeaderLine : -1;
        tooLong = TIdHTTPParseError::peHeaderLineTooLong;
        // What is left of the head's bytes bounds the line the same way, so
        // the limit that binds is found at the same byte however the line
        // arrives.
        if (FLimits.MaxHeadBytes > 0) {
          const std::int64_t left = std::max<std::int64_t>(FLimits.MaxHeadBytes - FHeadBytes, 0);
          if (limit < 0 || left < limit) {
            limit = left;
            tooLong = TIdHTTPParseError::peHeadTooLarge;
          }
        }
        break;
      }
    }
    std::string_view line;
    const TLineResult taken = TakeLine(AData, ASize, VUsed, limit, tooLong, line);
    if (taken == TLineResult::lrFailed) return TIdHTTPParseResult::prError;
    if (taken == TLineResult::lrLine && (state == S::psHeaderLines || state == S::psTrailers))
      FHeadBytes += static_cast<std::int32_t>(line.size());
    if (taken == TLineResult::lrNeedMore) {
      // A lone CR may still be an empty line before the start line.
      if (state == S::psStartLine && FLine != "\r") FStarted = true;
      return TIdHTTPParseResult::prNeedMore;
    }
    TIdHTTPParseResult r;
    switch (state) {
      case S::psStartLine:
        r = OnStartLine(line);
        break;
      case S::psHeaderLines:
        r = OnHeaderLine(line);
        break;
      case S::psChunkSize:
        r = OnChunkSizeLine(line);
        break;
      case S::psChunkDataEnd:
        r = line.empty() ? (FState = S::psChunkSize, TIdHTTPParseResult::prNeedMore)
                         : Fail(TIdHTTPParseError::peBadChunkEnd, line);
        break;
      default:
        r = OnTrailerLine(line);
        break;
    }
    FLine.clear();
    if (r != TIdHTTPParseResult::prNeedMore) return r;
  }
}

TIdHTTPParseResult TIdHTTPParser::TakeBody(const std::uint8_t* AData, std::size_t ASize, std::size_t& VUsed,
                                           std::int64_t& VRemaining, TIdHTTPParserState ANext) {
  if (VRemaining == 0) {
    FState = ANext;
    return Feed(AData, ASize, VUsed);
  }
  if (VUsed == ASize) return TIdHTTPParseResult::prNeedMore;
  const std::size_t take =
      static_cast<std::size_t>(std::min<std::int64_t>(VRemaining, static_cast<std::int64_t>(ASize - VUsed)));
  FBody = std::string_view(reinterpret_cast<const char*>(AData + VUsed), take);
  VUsed += take;
  VRemaining -= static_cast<std::int64_t>(take);
  if (VRemaining == 0) FState = ANext;
  return TIdHTTPParseResult::prBodyBytes;
}

TIdHTTPParseResult TIdHTTPParser::FeedHead(TIdBuffer& ABuffer) {
  std::size_t used = 0;
  const TIdHTTPParseResult r = Feed(ABuffer.View(), used);
  ABuffer.Remove(static_cast<std::int32_t>(used));
  return r;
}

TIdHTTPParseResult TIdHTTPParser::FeedEnd() {
  switch (FState) {
    case TIdHTTPParserState::psUntilClose:
      FState = TIdHTTPParserState::psDone;
      return TIdHTTPParseResult::prMessageComplete;
    case TIdHTTPParserState::psDone:
      return TIdHTTPParseResult::prMessageComplete;
    case TIdHTTPParserState::psFailed:
      return TIdHTTPParseResult::prError;
    case TIdHTTPParserState::psStartLine:
      if (!FStarted) return TIdHTTPParseResult::prNeedMore;  // nothing begun: a plain close
      [[fallthrough]];
    default:
      return Fail(TIdHTTPParseError::peTruncated, FLine);
  }
}

TIdHTTPParseResult TIdHTTPParser::OnStartLine(std::string_view ALine) {
  if (ALine.empty()) {
    // RFC 9112 2.2: empty lines before the start line are skipped, a few.
    FSkipped += 2;
    if (FLimits.MaxStartLine > 0 && FSkipped > FLimits.MaxStartLine)
      return Fail(TIdHTTPParseError::peBadStartLine, ALine);
    return TIdHTTPParseResult::prNeedMore;
  }
  FStarted = true;
  if (ALine.find('\0') != std::string_view::npos) return Fail(TIdHTTPParseError::peBadStartLine, ALine);
  if (FKind == TIdHTTPMessageKind::mkRequest) {
    // Method, target and version, split at the first and the last blank.
    const std::size_t first = ALine.find(' ');
    const std::size_t last = ALine.rfind(' ');
    if (first == std::string_view::npos || first == 0 || last + 1 == ALine.size())
      return Fail(TIdHTTPParseError::peBadStartLine, ALine);
    ParseRequestVersion(ALine.substr(last + 1), FVersionMajor, FVersionMinor);
  } else {
    // HTTP-version SP 3DIGIT [SP reason], strictly: a line that is not one
    // is no answer at all.
    if (ALine.size() < 12 || !ParseHTTPVersion(ALine.substr(0, 8), FVersionMajor, FVersionMinor) ||
        FVersionMajor != 1 || ALine[8] != ' ' || !IsDigit(ALine[9]) || !IsDigit(ALine[10]) || !IsDigit(ALine[11]) ||
        (ALine.size() > 12 && ALine[12] != ' '))
      return Fail(TIdHTTPParseError::peBadStartLine, ALine);
    FStatusCode = (ALine[9] - '0') * 100 + (ALine[10] - '0') * 10 + (ALine[11] - '0');
    if (FStatusCode < 100 || FStatusCode > 599) return Fail(TIdHTTPParseError::peBadStartLine, ALine);
  }
  if (FKeepHead) FStartLine.assign(ALine);
  FState = TIdHTTPParserState::psHeaderLines;
  return TIdHTTPParseResult::prNeedMore;
}

TIdHTTPParseResult TIdHTTPParser::OnHeaderLine(std::string_view ALine) {
  if (ALine.empty()) return DecideFraming();
  if (++FLineCount > FLimits.MaxHeaderLines && FLimits.MaxHeaderLines > 0)
    return Fail(TIdHTTPParseError::peTooManyHeaderLines, ALine);
  if (ALine.find('\0') != std::string_view::npos) return Fail(TIdHTTPParseError::peBadHeaderLine, ALine);
  if (IsBlank(ALine.front())) {
    // A continuation needs a line to continue, and never one that frames
    // the body: two readers could join it differently.
    if (!FHaveField || FLastHeaderFraming) return Fail(TIdHTTPParseError::peBadHeaderLine, ALine);
  } else {
    const std::size_t colon = ALine.find(':');
    // A blank or control character in the name lets two readers disagree
    // on it (an unseen Transfer-Encoding, say).
    if (colon == std::string_view::npos || !IsToken(ALine.substr(0, colon)))
      return Fail(TIdHTTPParseError::peBadHeaderLine, ALine);
    const std::string_view name = ALine.substr(0, colon);
    const std::string_view value = TrimBlanks(ALine.substr(colon + 1));
    FHaveField = true;
    FLastHeaderFraming = false;
    if (SameText(name, "Content-Length")) {
      // A request's length is said once (RFC 9112 6.3: a server may refuse
      // any repetition); an answer may repeat the same value.
      std::int64_t length;
      if (!ParseContentLengthValue(value, length, FKind == TIdHTTPMessageKind::mkResponse) ||
          (FHaveLength && (length != FDeclaredLength || FKind == TIdHTTPMessageKind::mkRequest)))
        return Fail(TIdHTTPParseError::peBadContentLength, ALine);
      FHaveLength = true;
      FDeclaredLength = length;
      FLastHeaderFraming = true;
    } else if (SameText(name, "Transfer-Encoding")) {
      FHaveCoding = true;
      FLastHeaderFraming = true;
      std::string_view rest = value;
      for (;;) {
        const std::size_t comma = rest.find(',');
        const std::string_view item = TrimBlanks(rest.substr(0, comma));
        // A coding's parameters are not used by any coding taken here.
        const std::string_view coding = TrimBlanks(item.substr(0, item.find(';')));
        if (!coding.empty()) {
          if (!IsToken(coding)) return Fail(TIdHTTPParseError::peBadTransferEncoding, ALine);
          FCodings.push_back(LowerCase(coding));
        }
        if (comma == std::string_view::npos) break;
        rest.remove_prefix(comma + 1);
      }
    } else if (FKind == TIdHTTPMessageKind::mkRequest && SameText(name, "Host")) {
      if (FHaveHost) return Fail(TIdHTTPParseError::peDuplicateHost, ALine);
      FHaveHost = true;
    }
  }
  if (FKeepHead) FHeaderLines.emplace_back(ALine);
  return TIdHTTPParseResult::prNeedMore;
}

TIdHTTPParseResult TIdHTTPParser::DecideFraming() {
  using S = TIdHTTPParserState;
  const bool request = FKind == TIdHTTPMessageKind::mkRequest;
  // "identity" is no coding at all (older senders name it).
  FCodings.erase(std::remove(FCodings.begin(), FCodings.end(), "identity"), FCodings.end());
  const bool coded = !FCodings.empty();
  const bool chunkedLast =
      coded && FCodings.back() == "chunked" && std::count(FCodings.begin(), FCodings.end(), "chunked") == 1;
  FState = S::psDone;
  FFraming = TIdHTTPFraming::hfNone;
  if (!request && !FStatusMayHaveBody &&
      (FRequestWasHead || FStatusCode / 100 == 1 || FStatusCode == 204 || FStatusCode == 304))
    return TIdHTTPParseResult::prHeadComplete;
  if (request && FHaveCoding && coded) {
    // RFC 9112 6.1 and 6.3: a request whose body's end two readers could
    // find differently is refused.
    if (!IsVersionAtLeast11() || FHaveLength || !chunkedLast)
      return Fail(TIdHTTPParseError::peBadTransferEncoding, "Transfer-Encoding");
    // Only chunked is decoded: a body coded otherwise would reach the
    // handler still coded.
    if (FCodings.size() > 1) return Fail(TIdHTTPParseError::peUnsupportedTransferCoding, FCodings.front());
    FFraming = TIdHTTPFraming::hfChunked;
  } else if (!request && FHaveCoding && coded) {
    // RFC 9112 6.3: in an HTTP/1.0 answer, or with chunked not last, the
    // body runs to the close; chunked wins over a length, and the
    // connection is then not used again.
    if (!IsVersionAtLeast11() || !chunkedLast) {
      FFraming = TIdHTTPFraming::hfUntilClose;
      FMustClose = true;
    } else {
      FFraming = TIdHTTPFraming::hfChunked;
      FMustClose = FHaveLength;
    }
  } else if (request && FHaveCoding && FHaveLength) {
    // Even a coding of "identity" only beside a length is ambiguous.
    return Fail(TIdHTTPParseError::peBadTransferEncoding, "Transfer-Encoding");
  } else if (FHaveLength) {
    FContentLength = FDeclaredLength;
    if (FLimits.MaxBody >= 0 && FContentLength > FLimits.MaxBody)
      return Fail(TIdHTTPParseError::peBodyTooLarge, "Content-Length");
    FFraming = FContentLength > 0 ? TIdHTTPFraming::hfLength : TIdHTTPFraming::hfNone;
  } else if (!request) {
    FFraming = TIdHTTPFraming::hfUntilClose;
    FMustClose = true;
  }
  switch (FFraming) {
    case TIdHTTPFraming::hfLength:
      FRemaining = FContentLength;
      FState = S::psLengthBody;
      break;
    case TIdHTTPFraming::hfChunked:
      FState = S::psChunkSize;
      FHeadBytes = 0;
      FLineCount = 0;
      break;
    case TIdHTTPFraming::hfUntilClose:
      FState = S::psUntilClose;
      break;
    case TIdHTTPFraming::hfNone:
      break;
  }
  return TIdHTTPParseResult::prHeadComplete;
}

TIdHTTPParseResult TIdHTTPParser::OnChunkSizeLine(std::string_view ALine) {
  // chunk-size [ BWS ";" extensions ]: the extensions are skipped.
  // Blanks may stand only before the extensions' ";" (RFC 9112 7.1.1).
  const std::size_t semicolon = ALine.find(';');
  std::string_view digits = ALine.substr(0, semicolon);
  if (semicolon != std::string_view::npos)
    while (!digits.empty() && IsBlank(digits.back())) digits.remove_suffix(1);
  std::int64_t size = 0;
  if (digits.empty() || digits.size() > kMaxChunkSizeDigits || !IdParseHexDigits(digits, size))
    return Fail(TIdHTTPParseError::peBadChunkSize, ALine);
  if (size == 0) {
    FState = TIdHTTPParserState::psTrailers;
    return TIdHTTPParseResult::prNeedMore;
  }
  if (FLimits.MaxBody >= 0 && size > FLimits.MaxBody - FBodyTotal)
    return Fail(TIdHTTPParseError::peBodyTooLarge, ALine);
  FBodyTotal += size;
  FRemaining = size;
  FState = TIdHTTPParserState::psChunkData;
  return TIdHTTPParseResult::prNeedMore;
}

TIdHTTPParseResult TIdHTTPParser::OnTrailerLine(std::string_view ALine) {
  if (ALine.empty()) {
    FState = TIdHTTPParserState::psDone;
    return TIdHTTPParseResult::prMessageComplete;
  }
  // Trailer lines are bounded like header lines.
  if (++FLineCount > FLimits.MaxHeaderLines && FLimits.MaxHeaderLines > 0)
    return Fail(TIdHTTPParseError::peTooManyHeaderLines, ALine);
  if (ALine.find('\0') != std::string_view::npos) return Fail(TIdHTTPParseError::peBadHeaderLine, ALine);
  if (FKeepHead) FTrailerLines.emplace_back(ALine);
  return TIdHTTPParseResult::prNeedMore;
}

std::int32_t TIdHTTPParser::ErrorStatus() const {
  switch (FError) {
    case TIdHTTPParseError::peStartLineTooLong:
      return 414;
    case TIdHTTPParseError::peHeaderLineTooLong:
    case TIdHTTPParseError::peTooManyHeaderLines:
    case TIdHTTPParseError::peHeadTooLarge:
      return 431;
    case TIdHTTPParseError::peBodyTooLarge:
      return 413;
    case TIdHTTPParseError::peUnsupportedTransferCoding:
      return 501;
    default:
      return 400;
  }
}

const char* TIdHTTPParser::ErrorText() const {
  switch (FError) {
    case TIdHTTPParseError::peNone:
      return "No error";
    case TIdHTTPParseError::peBadStartLine:
      return FKind == TIdHTTPMessageKind::mkRequest ? "Invalid request line" : "Invalid status line";
    case TIdHTTPParseError::peStartLineTooLong:
      return FKind == TIdHTTPMessageKind::mkRequest ? "Request line too long" : "Status line too long";
    case TIdHTTPParseError::peBadHeaderLine:
      return "Invalid header line";
    case TIdHTTPParseError::peHeaderLineTooLong:
      return "Header line too long";
    case TIdHTTPParseError::peTooManyHeaderLines:
      return "Too many header lines";
    case TIdHTTPParseError::peHeadTooLarge:
      return "Header too large";
    case TIdHTTPParseError::peBareCR:
      return "Bare CR in a line";
    case TIdHTTPParseError::peBadContentLength:
      return "Invalid Content-Length";
    case TIdHTTPParseError::peBadTransferEncoding:
      return "Invalid Transfer-Encoding";
    case TIdHTTPParseError::peUnsupportedTransferCoding:
      return "Unsupported transfer coding";
    case TIdHTTPParseError::peDuplicateHost:
      return "More than one Host line";
    case TIdHTTPParseError::peBadChunkSize:
      return "Invalid chunk size";
    case TIdHTTPParseError::peBadChunkEnd:
      return "Chunk data not followed by a line end";
    case TIdHTTPParseError::peChunkLineTooLong:
      return "Chunk size line too long";
    case TIdHTTPParseError::peBodyTooLarge:
      return "Body too large";
    case TIdHTTPParseError::peTruncated:
      return "Message cut short";
  }
  return "Invalid message";
}
