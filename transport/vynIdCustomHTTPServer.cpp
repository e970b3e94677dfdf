#include "transport/vynIdCustomHTTPServer.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <linux/openat2.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <unordered_map>

#include "platform/DateUtils.h"
#include "platform/ScopeGuard.h"
#include "platform/SysUtils.h"
#include "transport/vynIdCoderMIME.h"
#include "transport/vynIdIOHandler.h"
#include "transport/vynIdIOHandlerSocket.h"
#include "transport/vynIdInternetDate.h"
#include "transport/vynIdResourceStringsCore.h"
#include "transport/vynIdSSLOpenSSL.h"
#include "transport/vynIdStack.h"
#include "transport/vynIdTCPConnection.h"
#include "transport/vynIdTextEncoding.h"
#include "transport/vynIdURI.h"
#include "transport/vynIdYarn.h"

namespace {

constexpr const char* RSHTTPHeaderAlreadyWritten = "Header has already been written.";
constexpr const char* RSHTTPErrorParsingCommand = "Error in parsing command.";
constexpr const char* RSHTTPUnsupportedAuthorisationScheme = "Unsupported authorization scheme.";
constexpr const char* RSHTTPCannotSwitchSessionStateWhenActive =
    "Cannot change session state when the server is active.";
constexpr const char* RSHTTPCannotSwitchSessionIDCookieNameWhenActive =
    "Cannot change session ID cookie name when the server is active.";
constexpr const char* RSHTTPUnknownResponseCode = "Unknown Response Code";
constexpr const char* kServerSoftwareDefault = "Talvex/10.6.2.0";
constexpr const char* kHTMLUTF8 = "text/html; charset=utf-8";
constexpr const char* kHTMLCharsetPrefix = "text/html; charset=";
constexpr const char* kDefaultCharSet = "ISO-8859-1";
constexpr const char* kContinueText = "Continue";
constexpr const char* kExpect100 = "100-continue";
constexpr const char* kFormMediaType = "application/x-www-form-urlencoded";

// Chunk-size lines and trailers are short; a longer one is not a chunked body.
constexpr std::int32_t kMaxChunkLine = 4096;

struct StatusRow {
  std::int32_t Code;
  const char* Text;
};
constexpr StatusRow kStatusTexts[] = {
    {100, "Continue"},
    {200, "OK"},
    {201, "Created"},
    {202, "Accepted"},
    {203, "Non-authoritative Information"},
    {204, "No Content"},
    {205, "Reset Content"},
    {206, "Partial Content"},
    {301, "Moved Permanently"},
    {302, "Moved Temporarily"},
    {303, "See Other"},
    {304, "Not Modified"},
    {305, "Use Proxy"},
    {400, "Bad Request"},
    {401, "Unauthorized"},
    {403, "Forbidden"},
    {404, "Not Found"},
    {405, "Method not allowed"},
    {406, "Not Acceptable"},
    {407, "Proxy Authentication Required"},
    {408, "Request Timeout"},
    {409, "Conflict"},
    {410, "Gone"},
    {411, "Length Required"},
    {412, "Precondition Failed"},
    {413, "Request Entity Too Long"},
    {414, "Request-URI Too Long. 256 Chars max"},
    {415, "Unsupported Media Type"},
    {417, "Expectation Failed"},
    {428, "Precondition Required"},
    {429, "Too Many Requests"},
    {431, "Request Header Fields Too Large"},
    {500, "Internal Server Error"},
    {501, "Not Implemented"},
    {502, "Bad Gateway"},
    {503, "Service Unavailable"},
    {504, "Gateway timeout"},
    {505, "HTTP version not supported"},
    {511, "Network Authentication Required"},
};

struct CommandRow {
  THTTPCommandType Type;
  const char* Word;
};
constexpr CommandRow kCommandWords[] = {
    {THTTPCommandType::hcUnknown, "UNKNOWN"}, {THTTPCommandType::hcHEAD, "HEAD"},      {THTTPCommandType::hcGET, "GET"},
    {THTTPCommandType::hcPOST, "POST"},       {THTTPCommandType::hcDELETE, "DELETE"},  {THTTPCommandType::hcPUT, "PUT"},
    {THTTPCommandType::hcTRACE, "TRACE"},     {THTTPCommandType::hcOPTION, "OPTIONS"},
};

// A request the reader answers itself with a header-only status and a close:
// the framing is unsafe, a limit was passed or the client stalled.
struct Refusal {
  std::int32_t Code;
};

// The encoding a charset names; AFallback for an empty or unknown one.
TIdTextEncoding EncodingForCharSet(std::string_view ACharSet, const TIdTextEncoding& AFallback) {
  std::string cs = LowerCase(Trim(ACharSet));
  if (cs.empty()) return AFallback;
  if (cs == "utf-8" || cs == "utf8") return detail::EncodingUTF8();
  if (cs == "iso-8859-1" || cs == "latin1" || cs == "latin-1") return detail::Encoding8Bit();
  if (cs == "us-ascii" || cs == "ascii") return detail::EncodingASCII();
  try {
    return TIdTextEncoding(new TIdCodePageEncoding(cs));
  } catch (const EIdException&) {
    return AFallback;
  }
}

std::int32_t RemainingMs(std::uint64_t ADeadline) {
  std::uint64_t now = GetTickCount64();
  if (now >= ADeadline) return 0;
  std::uint64_t left = ADeadline - now;
  return left > INT32_MAX ? INT32_MAX : static_cast<std::int32_t>(left);
}

// Line breaks in a text a handler chose would end the line early and let
// the rest pass for another header.
std::string OneLine(std::string_view AText) {
  std::string out(AText);
  for (char& c : out)
    if (c == '\r' || c == '\n') c = ' ';
  return out;
}

// The interim line repeats the request's version only when it is a plain
// "HTTP/n.n"; anything else the client sent is not echoed.
std::string InterimVersion(const std::string& AVersion) {
  bool plain = AVersion.size() >= 6 && AVersion.compare(0, 5, "HTTP/") == 0;
  for (std::size_t i = 5; plain && i < AVersion.size(); ++i)
    plain = (AVersion[i] >= '0' && AVersion[i] <= '9') || AVersion[i] == '.';
  return plain ? AVersion : std::string("HTTP/1.1");
}

// A refused client may still be sending what was refused (a long line, a
// body): closing on bytes not read resets the connection, and the client
// may lose the answer. The answer is ended with a half close and what comes
// is read and dropped, briefly and within a bound.
void DrainBeforeClose(TIdTCPConnection& AConnection) noexcept {
  constexpr std::uint64_t kDrainMs = 250;
  constexpr std::int64_t kDrainBytes = 4 * 1024 * 1024;
  try {
    TIdIOHandler* io = AConnection.IOHandler();
    TIdIOHandlerSocket* socket = AConnection.Socket();
    TIdSocketHandle* binding = socket ? socket->Binding() : nullptr;
    if (!io || !binding || !binding->HandleAllocated()) return;
    if (io->WriteBufferingActive()) io->WriteBufferClose();
    ::shutdown(static_cast<int>(binding->Handle()), SHUT_WR);
    const std::uint64_t deadline = GetTickCount64() + kDrainMs;
    std::int64_t dropped = 0;
    while (dropped < kDrainBytes) {
      dropped += io->InputBuffer()->Size();
      io->InputBuffer()->Clear();
      const std::int32_t left = RemainingMs(deadline);
      if (left <= 0 || io->ReadFromSource(false, left, false) <= 0) break;
    }
  } catch (const std::exception&) {
    // The connection is going away anyway.
  }
}

bool IsQuietSocketError(int AErr) {
  return AErr == ECONNABORTED || AErr == ECONNRESET || AErr == ESHUTDOWN || AErr == EPIPE || AErr == 10053 ||
         AErr == 10054 || AErr == 10058;
}

void DisconnectQuietly(TIdTCPConnection& AConnection) {
  try {
    AConnection.Disconnect(false);
  } catch (const std::exception&) {
    // The connection is going away anyway.
  }
}

// Whether ABuffer holds a whole request, body and all, or one the reader
// refuses: serving it then never waits for the client. Read in place with
// the serving reader's own rules; this runs before every request on a
// parked connection.
bool RequestIsWhole(TIdBuffer& ABuffer, const TIdHTTPParserLimits& ALimits) {
  TIdHTTPParser parser(TIdHTTPMessageKind::mkRequest, ALimits, false);
  std::string_view bytes = ABuffer.View();
  for (;;) {
    std::size_t used = 0;
    const TIdHTTPParseResult r = parser.Feed(bytes, used);
    bytes.remove_prefix(used);
    if (r == TIdHTTPParseResult::prNeedMore) return false;
    if (r == TIdHTTPParseResult::prMessageComplete || r == TIdHTTPParseResult::prError) return true;
  }
}

// Whether one receive now returns without waiting: always for a plain
// socket (it receives without waiting), for TLS only when a whole record
// (or the end) is there, and when nothing is there at all.
enum class TReceiveNow { Nothing, Waits, DoesNotWait, WholeRecord };

TReceiveNow ReceiveWouldNotWait(TIdTCPConnection& AConnection, TIdIOHandler& AIO) {
  auto* tls = dynamic_cast<TIdSSLIOHandlerSocketBase*>(&AIO);
  if (!tls || tls->PassThrough()) return TReceiveNow::DoesNotWait;
  if (AIO.InputPending()) return TReceiveNow::DoesNotWait;
  TIdIOHandlerSocket* socket = AConnection.Socket();
  TIdSocketHandle* binding = socket ? socket->Binding() : nullptr;
  if (!binding || !binding->HandleAllocated()) return TReceiveNow::DoesNotWait;
  const int fd = static_cast<int>(binding->Handle());
  // One look covers the header and, for a request's usual size, the whole
  // record; only a longer one asks how much more is there.
  std::uint8_t peek[4096];
  const ssize_t peeked = ::recv(fd, peek, sizeof peek, MSG_PEEK | MSG_DONTWAIT);
  if (peeked < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return TReceiveNow::Nothing;
  if (peeked == 0) return TReceiveNow::DoesNotWait;
  if (peeked < 5) return TReceiveNow::Waits;
  const int record = 5 + ((peek[3] << 8) | peek[4]);
  if (peeked >= record) return TReceiveNow::WholeRecord;
  if (peeked < static_cast<ssize_t>(sizeof peek)) return TReceiveNow::Waits;
  int available = 0;
  if (::ioctl(fd, FIONREAD, &available) != 0) return TReceiveNow::Waits;
  return available >= record ? TReceiveNow::WholeRecord : TReceiveNow::Waits;
}

// The ready check of a parked connection (see TIdYarnReadyCheck).
TIdYarnReadiness NextRequestReadiness(TIdTCPConnection& AConnection, bool AReceive,
                                      const TIdHTTPParserLimits& ALimits) {
  TIdIOHandler* io = AConnection.IOHandler();
  if (!io || !io->InputBuffer()) return TIdYarnReadiness::yrReady;
  if (RequestIsWhole(*io->InputBuffer(), ALimits)) return TIdYarnReadiness::yrReady;
  // Bytes the last receive may have left in the socket are no news to a
  // wait on it: they are looked for now.
  if (AReceive || io->SourceMayHoldMore()) {
    // Bytes the socket holds that one receive cannot take without waiting
    // (part of a TLS record): the rest is waited for on a thread that may.
    const TReceiveNow now = ReceiveWouldNotWait(AConnection, *io);
    if (now == TReceiveNow::Waits) return TIdYarnReadiness::yrPartial;
    // One receive; 0 is the end (or a closed socket): the step meets it at
    // once. A whole record known to be there is read without a readiness
    // wait first.
    if (now != TReceiveNow::Nothing &&
        io->ReadFromSource(false, now == TReceiveNow::WholeRecord ? IdTimeoutInfinite : 0, false) == 0)
      return TIdYarnReadiness::yrReady;
    if (RequestIsWhole(*io->InputBuffer(), ALimits)) return TIdYarnReadiness::yrReady;
  }
  return io->InputBufferIsEmpty() && !io->InputPending() ? TIdYarnReadiness::yrNothing : TIdYarnReadiness::yrPartial;
}

std::string ContainsEncoded(std::string_view APath) {
  // "%2F", "%5C" and "%00" in any case: decoded they would change the path's
  // structure or end it early.
  for (std::size_t i = 0; i + 2 < APath.size(); ++i) {
    if (APath[i] != '%') continue;
    std::string hex = UpperCase(APath.substr(i + 1, 2));
    if (hex == "2F" || hex == "5C" || hex == "00") return hex;
  }
  return {};
}

// A file opened for serving. It is opened without waiting (a FIFO would
// block a plain open) and checked before anything is read; one descriptor
// gives the size announced and the bytes sent.
struct ServedFile {
  int Fd = -1;
  struct stat St {};
  ServedFile() = default;
  ServedFile(const ServedFile&) = delete;
  ServedFile& operator=(const ServedFile&) = delete;
  ~ServedFile() {
    if (Fd >= 0) ::close(Fd);
  }
  // Whether AFile is a regular file, now open.
  bool Open(const std::string& AFile) {
    if (AFile.find('\0') != std::string::npos) return false;
    Fd = ::open(AFile.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    return Fd >= 0 && ::fstat(Fd, &St) == 0 && S_ISREG(St.st_mode);
  }
};

// Reads an open file from where it stands; the descriptor stays its owner's.
class TServedFileStream : public TStream {
public:
  TServedFileStream(int AFd, std::int64_t ASize) : FFd(AFd), FSize(ASize) {}
  std::int64_t Read(void* ABuffer, std::int64_t ACount) override {
    for (;;) {
      ssize_t n = ::read(FFd, ABuffer, static_cast<std::size_t>(ACount));
      if (n >= 0) return n;
      if (errno != EINTR) return 0;
    }
  }
  std::int64_t Write(const void*, std::int64_t) override { return 0; }
  std::int64_t Seek(std::int64_t AOffset, TSeekOrigin AOrigin) override {
    int whence = AOrigin == TSeekOrigin::soBeginning ? SEEK_SET
                 : AOrigin == TSeekOrigin::soCurrent ? SEEK_CUR
                                                     : SEEK_END;
    return ::lseek(FFd, AOffset, whence);
  }
  std::int64_t Size() override { return FSize; }
  void SetSize(std::int64_t) override {}

private:
  int FFd;
  std::int64_t FSize;
};

// Bodies up to this size leave in the same send as the head: as two sends
// they cost a second system call, and with Nagle on the second one waits
// for the client's delayed ACK.
constexpr std::int64_t kHeadAndBodyTogetherMax = 64 * 1024;

// The bytes of small files served lately, so that serving one again costs
// a stat instead of an open, a read and a close. An entry is used only
// while the file's identity, size and times are those it was read with,
// and a file changed in the last seconds is not kept: its time may not
// move again on the next change within the same clock tick.
class TSmallFileCache {
public:
  std::shared_ptr<const TIdBytes> Find(const std::string& AName, const struct stat& ASt) {
    std::lock_guard<std::mutex> g(FLock);
    auto it = FFiles.find(AName);
    if (it == FFiles.end() || !Same(it->second.St, ASt)) return nullptr;
    return it->second.Bytes;
  }
  void Keep(const std::string& AName, const struct stat& ASt, std::shared_ptr<const TIdBytes> ABytes) {
    const auto size = static_cast<std::int64_t>(ABytes->size());
    if (size > kHeadAndBodyTogetherMax || size != static_cast<std::int64_t>(ASt.st_size)) return;
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    if (ASt.st_mtim.tv_sec > now.tv_sec - kSettledSeconds || ASt.st_ctim.tv_sec > now.tv_sec - kSettledSeconds) return;
    std::lock_guard<std::mutex> g(FLock);
    auto it = FFiles.find(AName);
    if (it != FFiles.end()) {
      FBytes -= it->second.Bytes->size();
      FFiles.erase(it);
    }
    // Past the bounds it starts over rather than keep a usage order.
    if (FFiles.size() >= kMaxFiles || FBytes + ABytes->size() > kMaxBytes) {
      FFiles.clear();
      FBytes = 0;
    }
    FBytes += ABytes->size();
    FFiles.emplace(AName, Entry{ASt, std::move(ABytes)});
  }

private:
  static constexpr std::size_t kMaxFiles = 256;
  static constexpr std::size_t kMaxBytes = 4 * 1024 * 1024;
  static constexpr time_t kSettledSeconds = 2;
  struct Entry {
    struct stat St;
    std::shared_ptr<const TIdBytes> Bytes;
  };
  static bool Same(const struct stat& A, const struct stat& B) {
    return A.st_dev == B.st_dev && A.st_ino == B.st_ino && A.st_size == B.st_size &&
           A.st_mtim.tv_sec == B.st_mtim.tv_sec && A.st_mtim.tv_nsec == B.st_mtim.tv_nsec &&
           A.st_ctim.tv_sec == B.st_ctim.tv_sec && A.st_ctim.tv_nsec == B.st_ctim.tv_nsec;
  }
  std::mutex FLock;
  std::unordered_map<std::string, Entry> FFiles;
  std::size_t FBytes = 0;
};
TSmallFileCache gSmallFiles;

}  // namespace

THTTPCommandType HTTPCommandTypeOf(std::string_view AWord) {
  for (const CommandRow& row : kCommandWords)
    if (SameText(AWord, row.Word)) return row.Type;
  return THTTPCommandType::hcUnknown;
}

EIdHTTPHeaderAlreadyWritten::EIdHTTPHeaderAlreadyWritten() : EIdHTTPServerError(RSHTTPHeaderAlreadyWritten) {}
EIdHTTPErrorParsingCommand::EIdHTTPErrorParsingCommand() : EIdHTTPServerError(RSHTTPErrorParsingCommand) {}
EIdHTTPUnsupportedAuthorisationScheme::EIdHTTPUnsupportedAuthorisationScheme()
    : EIdHTTPServerError(RSHTTPUnsupportedAuthorisationScheme) {}
EIdHTTPCannotSwitchSessionStateWhenActive::EIdHTTPCannotSwitchSessionStateWhenActive()
    : EIdHTTPServerError(RSHTTPCannotSwitchSessionStateWhenActive) {}
EIdHTTPCannotSwitchSessionIDCookieNameWhenActive::EIdHTTPCannotSwitchSessionIDCookieNameWhenActive()
    : EIdHTTPServerError(RSHTTPCannotSwitchSessionIDCookieNameWhenActive) {}

std::string HTTPResponseText(std::int32_t AResponseNo) {
  for (const StatusRow& row : kStatusTexts)
    if (row.Code == AResponseNo) return row.Text;
  return RSHTTPUnknownResponseCode;
}

std::string HTTPDefaultBody(std::int32_t AResponseNo, std::string_view AResponseText) {
  std::string body = "<HTML><BODY><B>";
  body += std::to_string(AResponseNo);
  body += ' ';
  body += AResponseText;
  body += "</B></BODY></HTML>";
  return body;
}

// ---------------------------------------------------------------------------
// Request record

TIdHTTPRequestInfo::TIdHTTPRequestInfo(TComponent* AOwner)
    : TIdRequestHeaderInfo(AOwner), FCookies(std::make_unique<TIdCookies>()) {
  SetContentLength(-1);
}

TIdHTTPRequestInfo::~TIdHTTPRequestInfo() = default;

bool TIdHTTPRequestInfo::IsVersionAtLeast(std::int32_t AMajor, std::int32_t AMinor) const {
  return VersionMajor > AMajor || (VersionMajor == AMajor && VersionMinor >= AMinor);
}

// ---------------------------------------------------------------------------
// Response record

TIdHTTPResponseInfo::TIdHTTPResponseInfo(TIdCustomHTTPServer* AServer, TIdHTTPRequestInfo* ARequestInfo,
                                         TIdTCPConnection* AConnection)
    : TIdResponseHeaderInfo(AServer),
      FHTTPServer(AServer),
      FRequestInfo(ARequestInfo),
      FConnection(AConnection),
      FCookies(std::make_unique<TIdCookies>()) {
  SetResponseNo(200);
  SetContentType("");
  SetContentLength(-1);
  FRawHeaders.SetFoldLines(false);
  Server = kServerSoftwareDefault;
}

TIdHTTPResponseInfo::~TIdHTTPResponseInfo() { ReleaseContentStream(); }

void TIdHTTPResponseInfo::SetResponseNo(std::int32_t AValue) {
  FResponseNo = AValue;
  ResponseText = HTTPResponseText(AValue);
  if (AValue == 404) SetCloseConnection(true);
}

void TIdHTTPResponseInfo::SetContentStream(TStream* AValue) {
  if (FContentStream.get() == AValue) return;
  ReleaseContentStream();
  FContentStream.reset(AValue);
}

void TIdHTTPResponseInfo::ReleaseContentStream() {
  if (!FreeContentStream) (void)FContentStream.release();
  FContentStream.reset();
}

void TIdHTTPResponseInfo::SetCloseConnection(bool AValue) {
  FCloseConnection = AValue;
  TIdEntityHeaderInfo::Connection = AValue ? "close" : "keep-alive";
}

bool TIdHTTPResponseInfo::BodyAllowed() const {
  if (FRequestInfo && FRequestInfo->CommandType == THTTPCommandType::hcHEAD) return false;
  return StatusAllowsBody();
}

bool TIdHTTPResponseInfo::StatusAllowsBody() const {
  return !((FResponseNo >= 100 && FResponseNo <= 199) || FResponseNo == 204 || FResponseNo == 304);
}

std::int64_t TIdHTTPResponseInfo::ContentTextByteCount() const {
  TIdTextEncoding enc = EncodingForCharSet(CharSet, detail::Encoding8Bit());
  return static_cast<std::int64_t>(enc->GetBytes(ContentText).size());
}

void TIdHTTPResponseInfo::WriteHeader() {
  if (FHeaderHasBeenWritten) throw EIdHTTPHeaderAlreadyWritten();
  FHeaderHasBeenWritten = true;
  if (!AuthRealm.empty()) {
    SetResponseNo(401);
    if (ContentText.empty() && !FContentStream) {
      SetContentType(kHTMLUTF8);
      ContentText = HTTPDefaultBody(FResponseNo, ResponseText);
      SetContentLength(-1);
    }
  }
  if (ContentType().empty() && (!ContentText.empty() || FContentStream))
    SetContentType(std::string(kHTMLCharsetPrefix) + (CharSet.empty() ? kDefaultCharSet : CharSet));
  if (ContentLength() == -1 && (TransferEncoding.empty() || SameText(TransferEncoding, "identity"))) {
    // A HEAD answer tells the length its GET would send.
    const bool headOnly = FRequestInfo && FRequestInfo->CommandType == THTTPCommandType::hcHEAD;
    if (!BodyAllowed() && !(headOnly && StatusAllowsBody())) {
      SetContentLength(0);
    } else if (!ContentText.empty()) {
      SetContentLength(ContentTextByteCount());
    } else if (FContentStream) {
      SetContentLength(FContentStream->Size());
    } else {
      SetContentType(kHTMLUTF8);
      ContentText = HTTPDefaultBody(FResponseNo, ResponseText);
      SetContentLength(static_cast<std::int64_t>(ContentText.size()));
    }
  }
  if (Date <= 0) Date = Now();
  SetHeaders();
  if (!Server.empty()) FRawHeaders.SetValue("Server", Server);
  if (!Location.empty()) FRawHeaders.SetValue("Location", Location);
  auto replaceAll = [this](const char* AName, const TIdHeaderList& AEntries) {
    while (FRawHeaders.IndexOfName(AName) >= 0) FRawHeaders.SetValue(AName, "");
    for (const std::string& entry : AEntries) FRawHeaders.AddValue(AName, entry);
  };
  if (WWWAuthenticate().Count() > 0)
    replaceAll("WWW-Authenticate", WWWAuthenticate());
  else if (!AuthRealm.empty())
    FRawHeaders.SetValue("WWW-Authenticate", "Basic realm=\"" + AuthRealm + "\"");
  if (ProxyAuthenticate().Count() > 0) replaceAll("Proxy-Authenticate", ProxyAuthenticate());

  if (!FConnection || !FConnection->IOHandler()) throw EIdClosedSocket();
  TIdIOHandler& io = *FConnection->IOHandler();
  const bool opened = !io.WriteBufferingActive();
  if (opened) io.WriteBufferOpen();
  try {
    std::string head;
    head.reserve(256);
    head += "HTTP/1.1 ";
    head += std::to_string(FResponseNo);
    head += ' ';
    head += OneLine(ResponseText);
    head += EOL;
    for (const std::string& line : FRawHeaders) {
      head += line;
      head += EOL;
    }
    for (int i = 0; i < FCookies->Count(); ++i)
      head += "Set-Cookie: " + OneLine(FCookies->GetCookie(i).ServerCookie()) + EOL;
    head += EOL;
    io.Write(head);
    if (opened) io.WriteBufferClose();
  } catch (...) {
    if (opened) io.WriteBufferCancel();
    throw;
  }
}

void TIdHTTPResponseInfo::WriteContent() {
  if (!FHeaderHasBeenWritten) WriteHeader();
  if (BodyAllowed()) {
    if (!FConnection || !FConnection->IOHandler()) throw EIdClosedSocket();
    TIdIOHandler& io = *FConnection->IOHandler();
    TIdTextEncoding enc = EncodingForCharSet(CharSet, detail::Encoding8Bit());
    if (!ContentText.empty()) {
      io.Write(ContentText, enc);
    } else if (!FContentStream) {
      io.Write(HTTPDefaultBody(FResponseNo, ResponseText), enc);
    } else if (HasContentLength) {
      FContentStream->SetPosition(0);
      if (ContentLength() > 0) io.Write(*FContentStream, ContentLength());
    } else {
      FContentStream->SetPosition(0);
      io.Write(*FContentStream, 0);
    }
  }
  ContentText.clear();
  ReleaseContentStream();
}

void TIdHTTPResponseInfo::Redirect(const std::string& AURL) {
  SetResponseNo(302);
  Location = AURL;
}

std::int64_t TIdHTTPResponseInfo::ServeFile(TIdContext*, const std::string& AFile) {
  struct stat st {};
  const bool known = AFile.find('\0') == std::string::npos && ::stat(AFile.c_str(), &st) == 0 && S_ISREG(st.st_mode);
  return ServeKnownFile(AFile, known ? &st : nullptr);
}

std::int64_t TIdHTTPResponseInfo::ServeFile(TIdContext*, const std::string& AFile, const struct stat& AStat) {
  return ServeKnownFile(AFile, S_ISREG(AStat.st_mode) ? &AStat : nullptr);
}

std::int64_t TIdHTTPResponseInfo::ServeKnownFile(const std::string& AFile, const struct stat* ASt) {
  if (ASt) {
    if (auto body = gSmallFiles.Find(AFile, *ASt)) {
      SetFileFields(static_cast<std::int64_t>(body->size()), AFile);
      WriteHeadAndBody(*body);
      return static_cast<std::int64_t>(body->size());
    }
  }
  ServedFile file;
  if (!file.Open(AFile)) throw EIdFileNotFound(Format(RSFileNotFound, AFile));
  const auto size = static_cast<std::int64_t>(file.St.st_size);
  if (size > kHeadAndBodyTogetherMax || !BodyAllowed()) return ServeOpenFile(file.Fd, size, AFile);
  // A small file is read whole before the head goes: a file that shrank
  // meanwhile fails before anything was sent.
  auto body = std::make_shared<TIdBytes>(static_cast<std::size_t>(size));
  std::int64_t got = 0;
  while (got < size) {
    ssize_t n = ::read(file.Fd, body->data() + got, static_cast<std::size_t>(size - got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw EIdNoDataToRead();
    got += n;
  }
  gSmallFiles.Keep(AFile, file.St, body);
  SetFileFields(size, AFile);
  WriteHeadAndBody(*body);
  return size;
}

void TIdHTTPResponseInfo::SetFileFields(std::int64_t ASize, const std::string& AFile) {
  if (ContentType().empty()) {
    SetContentType(FHTTPServer ? FHTTPServer->MIMETable().GetFileMIMEType(AFile) : std::string(kIdDefaultMimeType));
  }
  SetContentLength(ASize);
  if (ContentDisposition.empty()) {
    std::string name = AFile.substr(AFile.find_last_of('/') == std::string::npos ? 0 : AFile.find_last_of('/') + 1);
    // Quotes and backslashes would end the quoted name early.
    std::string quoted;
    for (char c : name) {
      if (c == '"' || c == '\\') quoted += '\\';
      quoted += c;
    }
    // attachment; filename="NAME"; put together by hand: a format call cost
    // more than the rest of the header fields.
    ContentDisposition.reserve(quoted.size() + 24);
    ContentDisposition = "attachment; filename=\"";
    ContentDisposition += quoted;
    ContentDisposition += "\";";
  }
}

void TIdHTTPResponseInfo::WriteHeadAndBody(const TIdBytes& ABody) {
  if (!BodyAllowed() || ABody.empty()) {
    WriteHeader();
    return;
  }
  if (!FConnection || !FConnection->IOHandler()) throw EIdClosedSocket();
  TIdIOHandler& io = *FConnection->IOHandler();
  const bool opened = !io.WriteBufferingActive();
  if (opened) io.WriteBufferOpen();
  try {
    WriteHeader();
    io.Write(ABody);
  } catch (...) {
    if (opened) io.WriteBufferCancel();
    throw;
  }
  if (opened) io.WriteBufferClose();
}

std::int64_t TIdHTTPResponseInfo::ServeOpenFile(int AFd, std::int64_t ASize, const std::string& AFile) {
  SetFileFields(ASize, AFile);
  WriteHeader();
  if (!BodyAllowed() || ASize == 0) return 0;
  if (!FConnection || !FConnection->IOHandler()) throw EIdClosedSocket();
  TServedFileStream stream(AFd, ASize);
  FConnection->IOHandler()->Write(stream, ASize);
  return ASize;
}

std::int64_t TIdHTTPResponseInfo::ServeOpenedFile(int AFd, const std::string& AFile, TIdHTTPRequestInfo* ARequestInfo) {
  struct stat st {};
  if (AFd < 0 || ::fstat(AFd, &st) != 0 || !S_ISREG(st.st_mode)) throw EIdFileNotFound(Format(RSFileNotFound, AFile));
  if (ARequestInfo) {
    const TDateTime modified = UTCToLocalTime(UnixToDateTime(static_cast<std::int64_t>(st.st_mtime)));
    TDateTime since = 0;
    std::string text = ARequestInfo->RawHeaders().Values("If-Modified-Since");
    if (!text.empty() && TryInternetDateToUTC(text, since) && since != 0 &&
        std::fabs(UTCToLocalTime(since) - modified) * 86400.0 < 2.0) {
      SetResponseNo(304);
      return 0;
    }
    Date = Now();
    LastModified = modified;
  }
  if (::lseek(AFd, 0, SEEK_SET) < 0) throw EIdFileNotFound(Format(RSFileNotFound, AFile));
  const auto size = static_cast<std::int64_t>(st.st_size);
  if (size > kHeadAndBodyTogetherMax || !BodyAllowed()) return ServeOpenFile(AFd, size, AFile);
  // A small file leaves in the same send as its head.
  TIdBytes body(static_cast<std::size_t>(size));
  std::int64_t got = 0;
  while (got < size) {
    ssize_t n = ::read(AFd, body.data() + got, static_cast<std::size_t>(size - got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw EIdNoDataToRead();
    got += n;
  }
  SetFileFields(size, AFile);
  WriteHeadAndBody(body);
  return size;
}

std::int64_t TIdHTTPResponseInfo::SmartServeFile(TIdContext*, TIdHTTPRequestInfo* ARequestInfo,
                                                 const std::string& AFile) {
  struct stat st {};
  if (AFile.find('\0') != std::string::npos || ::stat(AFile.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
    SetResponseNo(404);
    return 0;
  }
  TDateTime modified = UTCToLocalTime(UnixToDateTime(static_cast<std::int64_t>(st.st_mtime)));
  TIdHTTPRequestInfo* request = ARequestInfo ? ARequestInfo : FRequestInfo;
  if (request) {
    TDateTime since = 0;
    std::string text = request->RawHeaders().Values("If-Modified-Since");
    if (!text.empty() && TryInternetDateToUTC(text, since) && since != 0) {
      since = UTCToLocalTime(since);
      if (std::fabs(since - modified) * 86400.0 < 2.0) {
        SetResponseNo(304);
        return 0;
      }
    }
  }
  Date = Now();
  LastModified = modified;
  return ServeKnownFile(AFile, &st);
}

// ---------------------------------------------------------------------------
// Safe file paths

namespace {
// The root's resolution is kept for a second: resolving it for every
// request walks all its folders, and a root moved meanwhile is still
// followed soon.
constexpr std::uint64_t kResolvedRootLifeMs = 1000;

bool ResolveRoot(const std::string& ARoot, std::string& VRoot) {
  static std::mutex lock;
  static std::string cachedRoot, cachedResolution;
  static std::uint64_t cachedAt = 0;
  const std::uint64_t now = GetTickCount64();
  {
    std::lock_guard<std::mutex> g(lock);
    if (!cachedRoot.empty() && cachedRoot == ARoot && now - cachedAt < kResolvedRootLifeMs) {
      VRoot = cachedResolution;
      return true;
    }
  }
  char buf[PATH_MAX];
  if (!::realpath(ARoot.c_str(), buf)) return false;
  VRoot = buf;
  std::lock_guard<std::mutex> g(lock);
  cachedRoot = ARoot;
  cachedResolution = VRoot;
  cachedAt = now;
  return true;
}

// The request path's segments below the root as "/a/b" (empty for the root
// itself); false for what no file under the root may be named by.
bool DocumentRelativePath(const std::string& ARoot, std::string_view ARawPath, std::string& VRelative) {
  if (ARoot.empty() || ARoot.find('\0') != std::string::npos) return false;
  std::size_t pathEnd = 0;
  while (pathEnd < ARawPath.size() && ARawPath[pathEnd] != '?' && ARawPath[pathEnd] != '#') ++pathEnd;
  const std::string_view raw = ARawPath.substr(0, pathEnd);
  if (!ContainsEncoded(raw).empty()) return false;
  std::string decoded = TIdURI::URLDecode(raw);
  if (decoded.find('\0') != std::string::npos || decoded.find('\\') != std::string::npos) return false;
  // Every segment is checked; "." is harmless but ".." never is.
  VRelative.clear();
  std::size_t pos = 0;
  while (pos <= decoded.size()) {
    std::size_t next = decoded.find('/', pos);
    if (next == std::string::npos) next = decoded.size();
    std::string_view segment(decoded.data() + pos, next - pos);
    if (segment == "..") return false;
    if (!segment.empty() && segment != ".") {
      VRelative += '/';
      VRelative += segment;
    }
    pos = next + 1;
  }
  return true;
}

// Opens ARelative ("/a/b") below the open folder ARootFd without following
// any link: openat2 confined beneath the folder where the kernel has it,
// else one openat per segment with O_NOFOLLOW.
int OpenBeneath(int ARootFd, const std::string& ARelative) {
  constexpr int kFileFlags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
#ifdef SYS_openat2
  {
    open_how how{};
    how.flags = kFileFlags;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    const std::string path = ARelative.substr(1);
    const long fd = ::syscall(SYS_openat2, ARootFd, path.c_str(), &how, sizeof how);
    if (fd >= 0) return static_cast<int>(fd);
    if (errno != ENOSYS && errno != EPERM && errno != E2BIG) return -1;
  }
#endif
  int dir = ARootFd;
  int fd = -1;
  std::size_t pos = 1;
  for (;;) {
    const std::size_t slash = ARelative.find('/', pos);
    const std::string segment = ARelative.substr(pos, slash == std::string::npos ? std::string::npos : slash - pos);
    const bool last = slash == std::string::npos;
    fd = ::openat(dir, segment.c_str(), last ? kFileFlags | O_NOFOLLOW : O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dir != ARootFd) ::close(dir);
    if (fd < 0 || last) return fd;
    dir = fd;
    pos = slash + 1;
  }
}
}  // namespace

int IdOpenDocument(const std::string& ARoot, std::string_view ARawPath, std::string& VFileName, struct stat* VStat) {
  VFileName.clear();
  std::string relative, root;
  if (!DocumentRelativePath(ARoot, ARawPath, relative) || relative.empty()) return -1;
  if (!ResolveRoot(ARoot, root)) return -1;
  const int rootFd = ::open(root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (rootFd < 0) return -1;
  const int fd = OpenBeneath(rootFd, relative);
  ::close(rootFd);
  if (fd < 0) return -1;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return -1;
  }
  VFileName = root == "/" ? relative : root + relative;
  if (VStat) *VStat = st;
  return fd;
}

bool IdResolveDocumentPath(const std::string& ARoot, std::string_view ARawPath, std::string& VFileName,
                           struct stat* VStat) {
  VFileName.clear();
  std::string relative;
  if (!DocumentRelativePath(ARoot, ARawPath, relative)) return false;
  std::string root;
  if (!ResolveRoot(ARoot, root)) return false;
  std::string candidate = root == "/" ? relative : root + relative;
  if (!relative.empty()) {
    // Below the resolved root a path without links is its own resolution:
    // each segment is looked at once instead of resolving the whole path
    // (the root's folders included) again. A link sends it the long way.
    struct stat st {};
    bool link = false;
    std::size_t end = root == "/" ? 0 : root.size();
    while (!link && end < candidate.size()) {
      end = candidate.find('/', end + 1);
      if (end == std::string::npos) end = candidate.size();
      if (::lstat(candidate.substr(0, end).c_str(), &st) != 0) return false;
      link = S_ISLNK(st.st_mode);
    }
    if (!link) {
      if (!S_ISREG(st.st_mode)) return false;
      VFileName = std::move(candidate);
      if (VStat) *VStat = st;
      return true;
    }
  }
  char fileBuf[PATH_MAX];
  if (!::realpath(candidate.c_str(), fileBuf)) return false;
  std::string resolved(fileBuf);
  const std::string prefix = root == "/" ? root : root + "/";
  if (resolved != root && resolved.compare(0, prefix.size(), prefix) != 0) return false;
  struct stat st {};
  if (::stat(resolved.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  VFileName = resolved;
  if (VStat) *VStat = st;
  return true;
}

// ---------------------------------------------------------------------------
// Server

TIdCustomHTTPServer::TIdCustomHTTPServer(TComponent* AOwner)
    : TIdCustomTCPServer(AOwner), FMIMETable(std::make_unique<TIdThreadSafeMimeTable>()) {
  SetDefaultPort(80);
}

// The worker threads call into this object: they end before it does.
TIdCustomHTTPServer::~TIdCustomHTTPServer() { SetActive(false); }

void TIdCustomHTTPServer::FireConnect(TIdContext* AContext) {
  TIdTCPConnection* connection = AContext ? AContext->Connection() : nullptr;
  if (connection) {
    if (auto* tls = dynamic_cast<TIdSSLIOHandlerSocketBase*>(connection->IOHandler())) {
      std::uint16_t port = 0;
      if (TIdIOHandlerSocket* sock = connection->Socket(); sock && sock->Binding()) port = sock->Binding()->Port();
      tls->SetPassThrough(!FireQuerySSLPort(port));
    }
  }
  TIdCustomTCPServer::FireConnect(AContext);
}

bool TIdCustomHTTPServer::RunExecute(TIdContext* AContext) {
  if (!AContext || !AContext->Connection()) return false;
  return ServeConnection(AContext, *AContext->Connection(), true);
}

void TIdCustomHTTPServer::BeginService() {
  TIdCustomTCPServer::BeginService();
  if (SessionTimeOut == 0) FSessionState = false;
}

void TIdCustomHTTPServer::SetSessionState(bool AValue) {
  if (Active() && AValue != FSessionState) throw EIdHTTPCannotSwitchSessionStateWhenActive();
  FSessionState = AValue;
}

void TIdCustomHTTPServer::SetSessionIDCookieName(const std::string& AValue) {
  if (Active() && AValue != FSessionIDCookieName) throw EIdHTTPCannotSwitchSessionIDCookieNameWhenActive();
  FSessionIDCookieName = AValue;
}

void TIdCustomHTTPServer::FireCreatePostStream(TIdContext* AContext, TIdHeaderList& AHeaders, TStream*& VPostStream) {
  if (OnCreatePostStream) OnCreatePostStream(AContext, AHeaders, VPostStream);
}

void TIdCustomHTTPServer::ReleasePostStream(TIdContext* AContext, TIdHTTPRequestInfo* ARequestInfo) {
  bool canFree = true;
  if (OnDoneWithPostStream) OnDoneWithPostStream(AContext, ARequestInfo, canFree);
  if (canFree)
    ARequestInfo->FreePostStream();
  else
    (void)ARequestInfo->ReleasePostStreamOwnership();
}

void TIdCustomHTTPServer::FireCreateSession(TIdContext* AContext, TIdHTTPSession*& VNewSession) {
  if (OnCreateSession) OnCreateSession(AContext, VNewSession);
}

void TIdCustomHTTPServer::FireInvalidSession(TIdContext* AContext, TIdHTTPRequestInfo* ARequestInfo,
                                             TIdHTTPResponseInfo* AResponseInfo, bool& VContinueProcessing,
                                             const std::string& AInvalidSessionID) {
  if (OnInvalidSession) OnInvalidSession(AContext, ARequestInfo, AResponseInfo, VContinueProcessing, AInvalidSessionID);
}

void TIdCustomHTTPServer::FireCommandGet(TIdContext* AContext, TIdHTTPRequestInfo* ARequestInfo,
                                         TIdHTTPResponseInfo* AResponseInfo) {
  if (OnCommandGet) OnCommandGet(AContext, ARequestInfo, AResponseInfo);
}

void TIdCustomHTTPServer::FireCommandOther(TIdContext* AContext, TIdHTTPRequestInfo* ARequestInfo,
                                           TIdHTTPResponseInfo* AResponseInfo) {
  if (OnCommandOther) OnCommandOther(AContext, ARequestInfo, AResponseInfo);
}

void TIdCustomHTTPServer::FireCommandError(TIdContext* AContext, TIdHTTPRequestInfo* ARequestInfo,
                                           TIdHTTPResponseInfo* AResponseInfo, const std::exception& AException) {
  if (OnCommandError) OnCommandError(AContext, ARequestInfo, AResponseInfo, AException);
}

bool TIdCustomHTTPServer::FireHeadersAvailable(TIdContext* AContext, const std::string& AUri, TIdHeaderList& AHeaders) {
  bool result = true;
  if (OnHeadersAvailable) OnHeadersAvailable(AContext, AUri, AHeaders, result);
  return result;
}

void TIdCustomHTTPServer::FireHeadersBlocked(TIdContext* AContext, TIdHeaderList& AHeaders, std::int32_t& VResponseNo,
                                             std::string& VResponseText, std::string& VContentText) {
  VResponseNo = 403;
  VResponseText.clear();
  VContentText.clear();
  if (OnHeadersBlocked) OnHeadersBlocked(AContext, AHeaders, VResponseNo, VResponseText, VContentText);
}

bool TIdCustomHTTPServer::FireHeaderExpectations(TIdContext* AContext, const std::string& AExpectations) {
  bool result = SameText(AExpectations, kExpect100);
  if (OnHeaderExpectations) OnHeaderExpectations(AContext, AExpectations, result);
  return result;
}

bool TIdCustomHTTPServer::FireQuerySSLPort(std::uint16_t APort) {
  bool result = APort == 443;
  if (OnQuerySSLPort) OnQuerySSLPort(APort, result);
  return result;
}

void TIdCustomHTTPServer::FireSessionEnd(TIdHTTPSession* ASession) {
  if (OnSessionEnd) OnSessionEnd(ASession);
}

void TIdCustomHTTPServer::FireSessionStart(TIdHTTPSession* ASession) {
  if (OnSessionStart) OnSessionStart(ASession);
}

void TIdCustomHTTPServer::DecodeParams(TIdHTTPRequestInfo& ARequest, std::string_view AText) {
  ARequest.Params().Clear();
  if (AText.empty()) return;
  TIdTextEncoding enc = EncodingForCharSet(ARequest.CharSet, detail::EncodingUTF8());
  std::size_t pos = 0;
  for (;;) {
    std::size_t amp = AText.find('&', pos);
    std::string piece(AText.substr(pos, amp == std::string_view::npos ? std::string_view::npos : amp - pos));
    if (amp == std::string_view::npos && piece.empty()) break;  // a trailing "&"
    for (char& c : piece)
      if (c == '+') c = ' ';
    ARequest.Params().Add(TIdURI::URLDecode(piece, enc));
    if (amp == std::string_view::npos) break;
    pos = amp + 1;
  }
}

bool TIdCustomHTTPServer::DecodeCredentials(TIdContext* AContext, const std::string& AScheme, const std::string& AData,
                                            std::string& VUsername, std::string& VPassword) {
  bool handled = false;
  if (OnParseAuthentication) OnParseAuthentication(AContext, AScheme, AData, VUsername, VPassword, handled);
  if (!handled && SameText(AScheme, "Basic")) {
    std::string text = TIdDecoderMIME::DecodeString(Trim(AData), detail::EncodingUTF8());
    std::size_t colon = text.find(':');
    VUsername = text.substr(0, colon);
    VPassword = colon == std::string::npos ? std::string() : text.substr(colon + 1);
    handled = true;
  }
  return handled;
}

bool TIdCustomHTTPServer::ServeConnection(TIdContext* AContext, TIdTCPConnection& AConnection, bool AMayPark) {
  TIdYarn* yarn = AMayPark && AContext ? AContext->Yarn() : nullptr;
  try {
    if (yarn && yarn->IdleExpired()) {
      // Parked for the whole idle time: what arrived at the last moment is
      // still served, as a read that waited would have; else the idle end.
      TIdIOHandler* io = AConnection.IOHandler();
      if (!io) throw EIdClosedSocket();
      if (io->InputBufferIsEmpty()) io->CheckForDataOnSource(0);
      if (io->InputBufferIsEmpty()) throw EIdReadTimeout();
    }
    while (ServeOneRequest(AContext, AConnection)) {
      if (yarn && ParkBetweenRequests(AConnection, *yarn)) return true;
    }
  } catch (const EIdSocketError& e) {
    DisconnectQuietly(AConnection);
    if (IsQuietSocketError(e.LastError())) return false;
    throw;
  } catch (const EIdClosedSocket&) {
    DisconnectQuietly(AConnection);
    return false;
  } catch (...) {
    DisconnectQuietly(AConnection);
    throw;
  }
  DisconnectQuietly(AConnection);
  return false;
}

bool TIdCustomHTTPServer::ParkBetweenRequests(TIdTCPConnection& AConnection, TIdYarn& AYarn) {
  TIdIOHandler* io = AConnection.IOHandler();
  if (!io) return false;
  TIdTCPConnection* connection = &AConnection;
  const TIdHTTPParserLimits limits = RequestLimits(io);
  // Nothing of the next request is here yet: the connection waits without
  // a thread.
  if (io->InputBufferIsEmpty() && !io->InputPending())
    return AYarn.Park(IdleTimeout, [connection, limits](bool AReceive) {
      return NextRequestReadiness(*connection, AReceive, limits);
    });
  // A pipelined request that is not whole yet may keep its client waited
  // for: not on a thread that serves others.
  if (AYarn.OnSharedThread() && NextRequestReadiness(AConnection, true, limits) != TIdYarnReadiness::yrReady)
    return AYarn.HandOver();
  return false;
}

bool TIdCustomHTTPServer::ParkUntilFirstBytes(TIdTCPConnection& AConnection, TIdYarn& AYarn, std::int32_t AIdleMs) {
  TIdIOHandler* io = AConnection.IOHandler();
  if (!io || !io->InputBufferIsEmpty() || io->InputPending()) return false;
  TIdTCPConnection* connection = &AConnection;
  const TIdHTTPParserLimits limits = RequestLimits(io);
  return AYarn.Park(
      AIdleMs, [connection, limits](bool AReceive) { return NextRequestReadiness(*connection, AReceive, limits); });
}

// What the steps of one request share.
struct TIdCustomHTTPServer::RequestState {
  RequestState(TIdCustomHTTPServer* AServer, TIdTCPConnection& AConnection, const TIdHTTPParserLimits& ALimits)
      : Parser(TIdHTTPMessageKind::mkRequest, ALimits),
        Request(std::make_unique<TIdHTTPRequestInfo>(AServer)),
        Response(std::make_unique<TIdHTTPResponseInfo>(AServer, Request.get(), &AConnection)) {}
  TIdHTTPParser Parser;
  std::unique_ptr<TIdHTTPRequestInfo> Request;
  std::unique_ptr<TIdHTTPResponseInfo> Response;
};

TIdHTTPParserLimits TIdCustomHTTPServer::RequestLimits(const TIdIOHandler* AIO) const {
  TIdHTTPParserLimits limits;
  limits.MaxStartLine = MaximumRequestLineLength > 0 ? MaximumRequestLineLength : 0;
  limits.MaxHeaderLine = AIO && AIO->MaxLineLength() > 0 ? AIO->MaxLineLength() : IdMaxLineLengthDefault;
  limits.MaxHeaderLines = MaximumHeaderLineCount;
  limits.MaxHeadBytes = MaximumHeaderSize;
  limits.MaxChunkLine = kMaxChunkLine;
  limits.MaxBody = MaximumRequestBodySize > 0 ? MaximumRequestBodySize : -1;
  return limits;
}

bool TIdCustomHTTPServer::ServeOneRequest(TIdContext* AContext, TIdTCPConnection& AConnection) {
  TIdIOHandler* ioPtr = AConnection.IOHandler();
  if (!ioPtr) throw EIdClosedSocket();
  TIdIOHandler& io = *ioPtr;
  RequestState state(this, AConnection, RequestLimits(&io));
  TIdHTTPRequestInfo& req = *state.Request;
  TIdHTTPResponseInfo& resp = *state.Response;
  resp.Server = Trim(ServerSoftware);
  io.SetMaxCapturedLines(MaximumHeaderLineCount);

  // Answers that end the connection with a status and no body.
  auto refuse = [&](std::int32_t ACode) {
    resp.SetResponseNo(ACode);
    resp.SetCloseConnection(true);
    resp.ContentText.clear();
    resp.SetContentStream(nullptr);
    resp.SetContentLength(0);
    if (!resp.HeaderHasBeenWritten()) resp.WriteHeader();
    if (req.PostStream()) ReleasePostStream(AContext, &req);
    DrainBeforeClose(AConnection);
    return false;
  };
  try {
    ReadRequestHead(io, state.Parser);
    if (!TakeRequestHead(AContext, AConnection, state)) return false;
    ReadRequestBody(AContext, io, state);
  } catch (const Refusal& r) {
    return refuse(r.Code);
  }
  DecodeRequestParams(AContext, req);
  if (!RunHandlers(AContext, AConnection, req, resp)) {
    if (req.PostStream()) ReleasePostStream(AContext, &req);
    return false;
  }
  WriteAnswer(AConnection, resp);
  if (req.PostStream()) ReleasePostStream(AContext, &req);
  return !resp.CloseConnection();
}

void TIdCustomHTTPServer::ReadRequestHead(TIdIOHandler& AIO, TIdHTTPParser& AParser) {
  // The request line within the idle time, the rest of the head within the
  // request time once the line is in.
  const std::uint64_t lineDeadline =
      GetTickCount64() + static_cast<std::uint64_t>(IdleTimeout > 0 ? IdleTimeout : IdTimeoutDefault);
  std::uint64_t headDeadline = 0;
  TIdBuffer& buffer = *AIO.InputBuffer();
  for (;;) {
    if (buffer.Size() > 0) {
      const TIdHTTPParseResult r = AParser.FeedHead(buffer);
      if (r == TIdHTTPParseResult::prHeadComplete) return;
      if (r == TIdHTTPParseResult::prError) throw Refusal{AParser.ErrorStatus()};
    }
    const bool lineIn = AParser.State() != TIdHTTPParserState::psStartLine;
    if (lineIn && headDeadline == 0)
      headDeadline = GetTickCount64() + static_cast<std::uint64_t>(RequestTimeout > 0 ? RequestTimeout : INT32_MAX);
    const std::int32_t left = RemainingMs(lineIn ? headDeadline : lineDeadline);
    if (left <= 0 || AIO.ReadFromSource(true, left, false) == -1) {
      // A client that sent part of a request is told; an idle one just ends.
      if (!AParser.Started() && buffer.Size() == 0) throw EIdReadTimeout();
      throw Refusal{408};
    }
  }
}

bool TIdCustomHTTPServer::TakeRequestHead(TIdContext* AContext, TIdTCPConnection& AConnection, RequestState& AState) {
  TIdHTTPParser& parser = AState.Parser;
  TIdHTTPRequestInfo& req = *AState.Request;
  TIdHTTPResponseInfo& resp = *AState.Response;
  TIdIOHandler& io = *AConnection.IOHandler();

  // The request line: method, target, version.
  std::string line = parser.StartLine();
  const std::size_t lastBlank = line.rfind(' ');
  req.RawHTTPCommand = line;
  req.Version = line.substr(lastBlank + 1);
  req.VersionMajor = parser.VersionMajor();
  req.VersionMinor = parser.VersionMinor();
  line.resize(lastBlank);

  // The header lines, as they came.
  req.RawHeaders().Clear();
  for (std::string& h : parser.HeaderLines()) req.RawHeaders().Add(std::move(h));
  req.ParseRawHeaders();
  if (req.Expect.empty()) req.Expect = req.RawHeaders().Values("Expect");

  // Keep-alive.
  if (!KeepAlive) {
    resp.SetCloseConnection(true);
  } else if (req.IsVersionAtLeast(1, 1)) {
    resp.SetCloseConnection(SameText(req.Connection, "close"));
  } else {
    resp.SetCloseConnection(!SameText(req.Connection, "keep-alive"));
  }

  // The method, and a POST's override.
  std::string method;
  {
    const std::size_t blank = line.find(' ');
    method = UpperCase(std::string_view(line).substr(0, blank));
    line.erase(0, blank == std::string::npos ? line.size() : blank + 1);
  }
  if (method == "POST") {
    std::string over = req.MethodOverride;
    if (over.empty()) over = req.RawHeaders().Values("X-HTTP-Method");
    if (over.empty()) over = req.RawHeaders().Values("X-METHOD-OVERRIDE");
    if (!over.empty()) method = UpperCase(over);
  }
  if (TIdIOHandlerSocket* sock = AConnection.Socket(); sock && sock->Binding())
    req.RemoteIP = sock->Binding()->PeerIP();
  req.Command = method;
  req.CommandType = HTTPCommandTypeOf(method);

  // The target: document and query.
  {
    std::size_t q = line.find('?');
    req.QueryParams = q == std::string::npos ? std::string() : line.substr(q + 1);
    req.URI = line.substr(0, q);
  }
  if (req.URI == "*") {
    req.Document = "*";
  } else {
    TIdURI uri(req.URI);
    req.Document = TIdURI::URLDecode(uri.Path) + TIdURI::URLDecode(uri.Document);
    if (!uri.Host.empty() && req.Host.empty()) req.Host = uri.Host;
  }

  // The application's header checks.
  if (!FireHeadersAvailable(AContext, req.URI, req.RawHeaders())) {
    std::int32_t code = 403;
    std::string text, content;
    FireHeadersBlocked(AContext, req.RawHeaders(), code, text, content);
    resp.SetResponseNo(code);
    if (!text.empty()) resp.ResponseText = text;
    resp.ContentText = content;
    resp.SetCloseConnection(true);
    if (content.empty()) resp.SetContentLength(0);
    resp.WriteHeader();
    if (!content.empty()) resp.WriteContent();
    return false;
  }
  const bool v11 = req.IsVersionAtLeast(1, 1);
  if (v11 && req.Host.empty()) throw Refusal{400};

  if (v11 && io.InputBufferIsEmpty() && !req.Expect.empty()) {
    if (!FireHeaderExpectations(AContext, req.Expect)) throw Refusal{417};
    if (LowerCase(req.Expect).find(kExpect100) != std::string::npos)
      io.WriteLn(InterimVersion(req.Version) + " 100 " + kContinueText + EOL);
  }
  return true;
}

void TIdCustomHTTPServer::ReadRequestBody(TIdContext* AContext, TIdIOHandler& AIO, RequestState& AState) {
  TIdHTTPParser& parser = AState.Parser;
  TIdHTTPRequestInfo& req = *AState.Request;
  if (parser.Framing() == TIdHTTPFraming::hfNone) {
    // A POST or PUT without a length whose body comes anyway: its end
    // cannot be known.
    if (parser.ContentLength() < 0 &&
        (req.CommandType == THTTPCommandType::hcPOST || req.CommandType == THTTPCommandType::hcPUT)) {
      if (AIO.InputBufferIsEmpty()) AIO.CheckForDataOnSource(1);
      if (!AIO.InputBufferIsEmpty()) throw Refusal{411};
    }
    if (parser.ContentLength() < 0) return;
  }
  TStream* supplied = nullptr;
  FireCreatePostStream(AContext, req.RawHeaders(), supplied);
  req.SetPostStream(supplied ? std::unique_ptr<TStream>(supplied) : std::make_unique<TMemoryStream>());
  TStream& stream = *req.PostStream();
  stream.SetPosition(0);
  TIdBuffer& buffer = *AIO.InputBuffer();
  for (;;) {
    std::size_t used = 0;
    const TIdHTTPParseResult r = parser.Feed(buffer.View(), used);
    if (r == TIdHTTPParseResult::prBodyBytes)
      stream.WriteBuffer(parser.Body().data(), static_cast<std::int64_t>(parser.Body().size()));
    buffer.Remove(static_cast<std::int32_t>(used));
    if (r == TIdHTTPParseResult::prMessageComplete) break;
    if (r == TIdHTTPParseResult::prError) throw Refusal{parser.ErrorStatus()};
    if (r == TIdHTTPParseResult::prNeedMore &&
        AIO.ReadFromSource(true, RequestTimeout > 0 ? RequestTimeout : IdTimeoutDefault, false) == -1)
      throw Refusal{408};
  }
  stream.SetPosition(0);
}

void TIdCustomHTTPServer::DecodeRequestParams(TIdContext* AContext, TIdHTTPRequestInfo& ARequest) {
  TIdHTTPRequestInfo& req = ARequest;
  // A form post's body becomes its parameters.
  const std::string mediaType = Trim(req.ContentType().substr(0, req.ContentType().find(';')));
  const bool formPost = req.PostStream() && SameText(mediaType, kFormMediaType);
  if (formPost) {
    TStream& s = *req.PostStream();
    s.SetPosition(0);
    std::string text(static_cast<std::size_t>(s.Size()), '\0');
    if (!text.empty()) s.ReadBuffer(text.data(), static_cast<std::int64_t>(text.size()));
    req.FormParams = detail::Encoding8Bit()->GetString(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
    ReleasePostStream(AContext, &req);
  }
  req.UnparsedParams = req.FormParams;
  if (!req.QueryParams.empty()) {
    if (!req.UnparsedParams.empty()) req.UnparsedParams += '&';
    req.UnparsedParams += req.QueryParams;
  }
  if (ParseParams) DecodeParams(req, formPost ? req.UnparsedParams : req.QueryParams);
  // Cookies.
  for (int i = 0; i < req.RawHeaders().Count(); ++i) {
    if (SameText(req.RawHeaders().Names(i), "Cookie")) {
      int line = i;
      req.Cookies().AddClientCookies(req.RawHeaders().GetValueFromLine(line));
    }
  }
}

bool TIdCustomHTTPServer::RunHandlers(TIdContext* AContext, TIdTCPConnection& AConnection, TIdHTTPRequestInfo& req,
                                      TIdHTTPResponseInfo& resp) {
  try {
    std::string authorization = req.RawHeaders().Values("Authorization");
    if (!authorization.empty()) {
      std::size_t blank = authorization.find(' ');
      std::string scheme = authorization.substr(0, blank);
      std::string data = blank == std::string::npos ? std::string() : authorization.substr(blank + 1);
      req.AuthExists = DecodeCredentials(AContext, scheme, data, req.AuthUsername, req.AuthPassword);
      if (!req.AuthExists && RefusesUndecodedScheme(AContext)) throw EIdHTTPUnsupportedAuthorisationScheme();
    }
    // Sessions are off: every request goes on without one.
    switch (req.CommandType) {
      case THTTPCommandType::hcHEAD:
      case THTTPCommandType::hcGET:
      case THTTPCommandType::hcPOST:
        FireCommandGet(AContext, &req, &resp);
        break;
      default:
        FireCommandOther(AContext, &req, &resp);
        break;
    }
  } catch (const EIdSocketError&) {
    throw;
  } catch (const EIdHTTPUnsupportedAuthorisationScheme& e) {
    resp.SetResponseNo(401);
    resp.ContentText = e.Message();
    bool hasBasic = false;
    for (const std::string& entry : resp.WWWAuthenticate())
      hasBasic = hasBasic || SameText(entry.substr(0, entry.find(' ')), "Basic");
    if (!hasBasic) resp.WWWAuthenticate().Add("Basic");
  } catch (const Exception& e) {
    // Once the head went out (or the connection broke) a status can no
    // longer be told: anything written now would be read as body bytes.
    if (resp.HeaderHasBeenWritten() || !AConnection.Connected()) return false;
    resp.SetResponseNo(500);
    resp.ContentText = e.Message();
    resp.SetContentStream(nullptr);
    resp.SetContentLength(-1);
    FireCommandError(AContext, &req, &resp, e);
  }
  return true;
}

void TIdCustomHTTPServer::WriteAnswer(TIdTCPConnection& AConnection, TIdHTTPResponseInfo& resp) {
  // A small body leaves in the same send as its head.
  TIdIOHandler* out = AConnection.IOHandler();
  const bool together =
      out && !resp.HeaderHasBeenWritten() && !out->WriteBufferingActive() &&
      (resp.ContentStream() ? resp.ContentStream()->Size() <= kHeadAndBodyTogetherMax
                            : static_cast<std::int64_t>(resp.ContentText.size()) <= kHeadAndBodyTogetherMax);
  if (together) out->WriteBufferOpen();
  // Anything held back is dropped when the answer fails half-way.
  TScopeGuard cancel([&] {
    if (together && out->WriteBufferingActive()) out->WriteBufferCancel();
  });
  if (!resp.HeaderHasBeenWritten()) resp.WriteHeader();
  if (!resp.ContentText.empty() || resp.ContentStream()) resp.WriteContent();
  if (together) out->WriteBufferClose();
  cancel.Dismiss();
}
