// The HTTP/1 message reader: fed bytes, it moves through named states and
// reports what it found. It never reads a socket itself, so the server's
// request loop, the event scheduler's whole-request check and the client's
// response reader all decide where a message ends by the same rules.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class TIdBuffer;

enum class TIdHTTPMessageKind : std::uint8_t { mkRequest, mkResponse };

enum class TIdHTTPParserState : std::uint8_t {
  psStartLine,
  psHeaderLines,
  psLengthBody,
  psChunkSize,  // the size line, with its extensions
  psChunkData,
  psChunkDataEnd,  // the line end after a chunk's data
  psTrailers,
  psUntilClose,
  psDone,
  psFailed,
};

enum class TIdHTTPParseResult : std::uint8_t {
  prNeedMore,         // every byte given was taken; feed more
  prHeadComplete,     // start line and header lines are read
  prBodyBytes,        // Body() holds the next body bytes
  prMessageComplete,  // the message ended; Reset() before the next one
  prError,            // Error() and ErrorStatus() say why
};

// How the body's end is found, decided when the head is complete.
enum class TIdHTTPFraming : std::uint8_t { hfNone, hfLength, hfChunked, hfUntilClose };

enum class TIdHTTPParseError : std::uint8_t {
  peNone,
  peBadStartLine,
  peStartLineTooLong,
  peBadHeaderLine,
  peHeaderLineTooLong,
  peTooManyHeaderLines,
  peHeadTooLarge,
  peBareCR,
  peBadContentLength,
  peBadTransferEncoding,
  peUnsupportedTransferCoding,
  peDuplicateHost,
  peBadChunkSize,
  peBadChunkEnd,
  peChunkLineTooLong,
  peBodyTooLarge,
  peTruncated,
};

struct TIdHTTPParserLimits {
  std::int32_t MaxStartLine = 8192;
  std::int32_t MaxHeaderLine = 16 * 1024;
  // <= 0: no limit on the count (the byte limit still holds).
  std::int32_t MaxHeaderLines = 1024;
  // Header lines (and trailer lines) together, line ends not counted. Without
  // it a client may send a thousand lines of the longest length each.
  std::int32_t MaxHeadBytes = 64 * 1024;
  // Chunk-size lines are short; a longer one is not a chunked body.
  std::int32_t MaxChunkLine = 4096;
  // < 0: no limit.
  std::int64_t MaxBody = -1;
};

class TIdHTTPParser {
public:
  // AKeepHead false: the head is checked but its lines are not kept (the
  // scheduler's whole-request check needs only where the message ends).
  explicit TIdHTTPParser(TIdHTTPMessageKind AKind, const TIdHTTPParserLimits& ALimits = {}, bool AKeepHead = true);

  // Ready for the next message; the limits and the kind stay.
  void Reset();
  // A response's body depends on its request: HEAD answers carry none.
  void SetRequestWasHead(bool AValue) { FRequestWasHead = AValue; }
  // After prHeadComplete: the caller will not read a body (a tunnel's
  // answer, a body the caller was told not to read).
  void SkipBody();
  // After prHeadComplete of an answer that may carry no body (to HEAD, or
  // 1xx, 204, 304): a body came anyway, framed as its header lines say.
  void ExpectBodyAnyway();

  // Takes bytes from AData until one result is reached; VUsed says how many
  // were taken. Bytes after the message's end are never taken.
  TIdHTTPParseResult Feed(const std::uint8_t* AData, std::size_t ASize, std::size_t& VUsed);
  TIdHTTPParseResult Feed(std::string_view AData, std::size_t& VUsed) {
    return Feed(reinterpret_cast<const std::uint8_t*>(AData.data()), AData.size(), VUsed);
  }
  // Feeds what ABuffer holds and removes the bytes taken, up to the end of
  // the head (body bytes would point into the buffer: use Feed for them).
  TIdHTTPParseResult FeedHead(TIdBuffer& ABuffer);
  // The peer closed: completes a body read until the close, fails any
  // other message that has begun.
  TIdHTTPParseResult FeedEnd();

  TIdHTTPParserState State() const { return FState; }
  TIdHTTPMessageKind Kind() const { return FKind; }
  // Whether any byte of this message was taken (empty lines before the
  // start line do not count).
  bool Started() const { return FStarted; }

  // The body bytes of the last prBodyBytes: they point into the fed data.
  std::string_view Body() const { return FBody; }

  // The head, once complete (kept only with AKeepHead).
  const std::string& StartLine() const { return FStartLine; }
  // Raw header lines as received, without line ends; a line starting with
  // a blank continues the one above.
  const std::vector<std::string>& HeaderLines() const { return FHeaderLines; }
  std::vector<std::string>& HeaderLines() { return FHeaderLines; }
  const std::vector<std::string>& TrailerLines() const { return FTrailerLines; }
  // From the version on the start line; -1 when it is not "HTTP/n.n".
  std::int32_t VersionMajor() const { return FVersionMajor; }
  std::int32_t VersionMinor() const { return FVersionMinor; }
  bool IsVersionAtLeast11() const { return FVersionMajor > 1 || (FVersionMajor == 1 && FVersionMinor >= 1); }
  std::int32_t StatusCode() const { return FStatusCode; }

  TIdHTTPFraming Framing() const { return FFraming; }
  std::int64_t ContentLength() const { return FContentLength; }
  // A length and a chunked coding both came: the chunks are read, and the
  // connection must not carry another message.
  bool MustClose() const { return FMustClose; }

  TIdHTTPParseError Error() const { return FError; }
  // The status a server answers the error with: 400, 413, 414, 431 or 501.
  std::int32_t ErrorStatus() const;
  // A short English text naming the error, for messages.
  const char* ErrorText() const;
  // The line the error was found in, cut short (for messages).
  const std::string& ErrorLine() const { return FErrorLine; }

private:
  enum class TLineResult : std::uint8_t { lrLine, lrNeedMore, lrFailed };
  TLineResult TakeLine(const std::uint8_t* AData, std::size_t ASize, std::size_t& VUsed, std::int64_t ALimit,
                       TIdHTTPParseError ATooLong, std::string_view& VLine);
  TIdHTTPParseResult Fail(TIdHTTPParseError AError, std::string_view ALine = {});
  // Each returns prNeedMore to go on with the next line.
  TIdHTTPParseResult OnStartLine(std::string_view ALine);
  TIdHTTPParseResult OnHeaderLine(std::string_view ALine);
  TIdHTTPParseResult OnChunkSizeLine(std::string_view ALine);
  TIdHTTPParseResult OnTrailerLine(std::string_view ALine);
  TIdHTTPParseResult DecideFraming();
  TIdHTTPParseResult TakeBody(const std::uint8_t* AData, std::size_t ASize, std::size_t& VUsed,
                              std::int64_t& VRemaining, TIdHTTPParserState ANext);

  TIdHTTPMessageKind FKind;
  TIdHTTPParserLimits FLimits;
  bool FKeepHead;
  bool FRequestWasHead = false;
  bool FStatusMayHaveBody = false;

  TIdHTTPParserState FState = TIdHTTPParserState::psStartLine;
  bool FStarted = false;
  std::string FLine;  // a line begun in an earlier feed
  std::int32_t FSkipped = 0;
  std::int32_t FHeadBytes = 0;
  std::int32_t FLineCount = 0;
  std::string_view FBody;

  std::string FStartLine;
  std::vector<std::string> FHeaderLines;
  std::vector<std::string> FTrailerLines;
  std::int32_t FVersionMajor = -1;
  std::int32_t FVersionMinor = -1;
  std::int32_t FStatusCode = 0;

  // What the header lines said about framing.
  bool FHaveLength = false;
  bool FHaveCoding = false;
  bool FLastHeaderFraming = false;  // a continuation of it is refused
  bool FHaveHost = false;
  bool FHaveField = false;
  std::int64_t FDeclaredLength = 0;
  std::vector<std::string> FCodings;

  TIdHTTPFraming FFraming = TIdHTTPFraming::hfNone;
  std::int64_t FContentLength = -1;
  std::int64_t FRemaining = 0;
  std::int64_t FBodyTotal = 0;
  bool FMustClose = false;

  TIdHTTPParseError FError = TIdHTTPParseError::peNone;
  std::string FErrorLine;
};
