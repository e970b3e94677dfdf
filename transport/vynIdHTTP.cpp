#include "transport/vynIdHTTP.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <limits>

#include "platform/ScopeGuard.h"
#include "transport/vynIdResourceStringsCore.h"
#include "transport/vynIdResourceStringsProtocols.h"
#include "transport/vynIdSSLOpenSSL.h"

EIdUnknownProtocol::EIdUnknownProtocol() : EIdException(RSHTTPUnknownProtocol) {}
EIdUnknownProtocol::EIdUnknownProtocol(const std::string& AMessage) : EIdException(AMessage) {}
EIdIOHandlerPropInvalid::EIdIOHandlerPropInvalid() : EIdException(RSIOHandlerPropInvalidValue) {}

namespace {

constexpr const char* kMethodGet = "GET";
constexpr const char* kMethodHead = "HEAD";
constexpr const char* kMethodPost = "POST";
constexpr const char* kMethodPut = "PUT";
constexpr const char* kMethodDelete = "DELETE";
constexpr const char* kMethodOptions = "OPTIONS";
constexpr const char* kMethodTrace = "TRACE";
constexpr const char* kMethodPatch = "PATCH";
constexpr const char* kMethodConnect = "CONNECT";
constexpr const char* kKeepAlive = "keep-alive";
constexpr const char* kClose = "close";
constexpr const char* kNoCache = "no-cache";
constexpr const char* kFormContentType = "application/x-www-form-urlencoded";
constexpr const char* kUTF8 = "UTF-8";

// Interim heads (100 Continue and the like) one response may start with.
constexpr int kMaxInterimHeads = 32;
// How long a request with "Expect: 100-continue" waits for the go-ahead
// before it sends its body anyway.
constexpr std::int32_t kExpectContinueWaitMs = 1000;

bool IsHTMLMediaType(std::string_view AMediaType) {
  return AMediaType == "text/html" || AMediaType == "text/html-sandboxed" || AMediaType == "application/xhtml+xml";
}

bool IsXMLMediaType(std::string_view AMediaType) {
  if (AMediaType == "application/xml" || AMediaType == "application/xml-external-parsed-entity" ||
      AMediaType == "application/xml-dtd")
    return true;
  return !StartsText("text/", AMediaType) && EndsText("+xml", AMediaType);
}

bool IsHeadRequest(const TIdHTTPRequest& ARequest) {
  return SameText(ARequest.Method, kMethodHead) || SameText(ARequest.MethodOverride, kMethodHead);
}

bool HasBadChar(std::string_view AText) {
  return AText.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

// Registers the OpenSSL handler for TryMakeIOHandler once, when the first
// https request needs a handler.
void EnsureTLSHandlerClass() {
  static const bool registered = [] {
    RegisterIOHandler(IdIOHandlerClassOf<TIdSSLIOHandlerSocketOpenSSL>("TIdSSLIOHandlerSocketOpenSSL"));
    return true;
  }();
  (void)registered;
}

// A response head larger than this is refused: a client must not hold
// without bound what a server sends.
constexpr std::int32_t kMaxResponseHeadBytes = 1024 * 1024;
// Chunk-size lines are short; a longer one is not a chunked body.
constexpr std::int32_t kMaxChunkLine = 4096;

std::string ResponseErrorText(const TIdHTTPParser& AParser) {
  switch (AParser.Error()) {
    case TIdHTTPParseError::peTooManyHeaderLines:
      return Format(RSHTTPTooManyHeaderLines, static_cast<int>(AParser.HeaderLines().size()));
    case TIdHTTPParseError::peBadChunkSize:
    case TIdHTTPParseError::peChunkLineTooLong:
      return Format(RSHTTPChunkSizeInvalid, AParser.ErrorLine());
    default:
      return Format(RSHTTPResponseMalformed, AParser.ErrorText(), AParser.ErrorLine());
  }
}

// Scoped stand-in for Response.ContentStream.
class ContentStreamSwap {
public:
  ContentStreamSwap(TIdHTTPResponse& AResponse, TStream* AStream)
      : FResponse(AResponse), FSaved(AResponse.ContentStream) {
    FResponse.ContentStream = AStream;
  }
  ~ContentStreamSwap() { FResponse.ContentStream = FSaved; }
  ContentStreamSwap(const ContentStreamSwap&) = delete;
  ContentStreamSwap& operator=(const ContentStreamSwap&) = delete;

private:
  TIdHTTPResponse& FResponse;
  TStream* FSaved;
};

}  // namespace

// ---------------------------------------------------------------------------
// Helpers

std::string HTTPMediaType(std::string_view AContentType) {
  std::string_view s = AContentType.substr(0, AContentType.find(';'));
  return LowerCase(Trim(s));
}

TIdTextEncoding EncodingForCharset(std::string_view ACharSet) {
  const std::string cs = LowerCase(Trim(ACharSet));
  if (cs.empty()) return detail::Encoding8Bit();
  if (cs == "utf-8" || cs == "utf8") return detail::EncodingUTF8();
  if (cs == "us-ascii" || cs == "ascii" || cs == "ansi_x3.4-1968") return detail::EncodingASCII();
  if (cs == "iso-8859-1" || cs == "latin1" || cs == "iso_8859-1" || cs == "l1") return detail::Encoding8Bit();
  if (cs == "utf-16le" || cs == "utf16le" || cs == "utf-16" || cs == "utf16") return detail::EncodingUTF16LE();
  if (cs == "utf-16be" || cs == "utf16be") return detail::EncodingUTF16BE();
  if (cs == "utf-7" || cs == "utf7") return detail::EncodingUTF7();
  try {
    return TIdTextEncoding(new TIdCodePageEncoding(std::string(Trim(ACharSet))));
  } catch (...) {
    return detail::Encoding8Bit();
  }
}

std::string DecodeBodyText(TStream& AStream, std::string_view ACharSet) {
  const std::int64_t size = AStream.Size();
  if (size <= 0) return {};
  TIdBytes bytes;
  AStream.SetPosition(0);
  // Grows with what is there; never trusts a size it did not read.
  std::uint8_t block[64 * 1024];
  for (;;) {
    const std::int64_t n = AStream.Read(block, sizeof block);
    if (n <= 0) break;
    bytes.insert(bytes.end(), block, block + n);
  }
  return EncodingForCharset(ACharSet)->GetString(bytes);
}

std::string ResponseBodyCharset(TIdHTTPResponse& AResponse) {
  if (!AResponse.CharSet.empty()) return AResponse.CharSet;
  // JSON is UTF-8 by definition (RFC 8259); without this a JSON answer
  // would be read byte by byte into mojibake.
  const std::string media = HTTPMediaType(AResponse.ContentType());
  if (media == "application/json" || EndsText("+json", media)) return kUTF8;
  return {};
}

std::string EncodeFormValue(std::string_view AValue, const TIdTextEncoding& AByteEncoding) {
  const TIdTextEncoding& enc = AByteEncoding ? AByteEncoding : detail::EncodingUTF8();
  static const char kHex[] = "0123456789ABCDEF";
  std::string result;
  std::size_t i = 0;
  while (i < AValue.size()) {
    const auto c = static_cast<unsigned char>(AValue[i]);
    if (c == ' ') {
      result += '+';
      ++i;
      continue;
    }
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '*' || c == '-' ||
        c == '.' || c == '_') {
      result += static_cast<char>(c);
      ++i;
      continue;
    }
    // One whole UTF-8 character.
    std::size_t len = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 1;
    len = std::min(len, AValue.size() - i);
    const std::string_view ch = AValue.substr(i, len);
    i += len;
    const TIdBytes bytes = enc->GetBytes(ch);
    if (ch != "?" && bytes.size() == 1 && bytes[0] == '?') {
      // The encoding cannot carry the character: a numeric reference.
      std::uint32_t cp = len == 1 ? c : len == 2 ? (c & 0x1F) : len == 3 ? (c & 0x0F) : (c & 0x07);
      for (std::size_t k = 1; k < len; ++k) cp = (cp << 6) | (static_cast<unsigned char>(ch[k]) & 0x3F);
      result += "&#" + std::to_string(cp) + ";";
      continue;
    }
    for (std::uint8_t b : bytes) {
      result += '%';
      result += kHex[b >> 4];
      result += kHex[b & 15];
    }
  }
  return result;
}

std::string EncodeFormFields(const TStrings& ASource, bool AEncode, const TIdTextEncoding& AByteEncoding) {
  TStringList lines;
  for (int i = 0; i < ASource.Count(); ++i) {
    std::string line = ASource[i];
    if (AEncode) {
      const auto pos = line.find(ASource.NameValueSeparator);
      if (pos == std::string::npos)
        line = EncodeFormValue(line, AByteEncoding);
      else
        line = EncodeFormValue(line.substr(0, pos), AByteEncoding) + "=" +
               EncodeFormValue(line.substr(pos + 1), AByteEncoding);
    }
    lines.Add(line);
  }
  if (lines.Count() == 1) return Trim(lines[0]);
  std::string text = Trim(lines.Text());
  std::string result;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
      result += '&';
      ++i;
    } else {
      result += text[i];
    }
  }
  return result;
}

std::string ResolvePath(std::string_view ABase, std::string_view APath, char ADelimiter) {
  if (!APath.empty() && APath.front() == ADelimiter) return std::string(APath);
  const bool keepTrailing = APath.empty() || APath.back() == ADelimiter;
  std::string work(ABase);
  if (!work.empty() && work.back() != ADelimiter) work += ADelimiter;
  work += APath;
  std::string result;
  std::size_t i = 0;
  while (i < work.size()) {
    const char c = work[i];
    if (c == ADelimiter) {
      if (result.empty() && i == 0)
        result += ADelimiter;
      else if (result.empty() || result.back() != ADelimiter)
        result += ADelimiter;
      ++i;
      continue;
    }
    if (c == '.' && !result.empty() && result.back() == ADelimiter && i + 1 < work.size() && work[i + 1] == '.') {
      // Drop the trailing delimiter, then the last segment.
      result.pop_back();
      const auto prev = result.rfind(ADelimiter);
      result.erase(prev == std::string::npos ? 0 : prev + 1);
      i += 2;
      continue;
    }
    result += c;
    ++i;
  }
  if (result.size() > 1 && result.back() == ADelimiter && !keepTrailing) result.pop_back();
  return result;
}

std::string XMLEncodingOf(TStream& AStream) {
  const std::int64_t saved = AStream.Position();
  std::uint8_t b[4] = {0, 0, 0, 0};
  AStream.SetPosition(0);
  const std::int64_t got = AStream.Read(b, 4);
  AStream.SetPosition(saved);
  if (got < 3) return kUTF8;
  auto is = [&](std::initializer_list<int> v) {
    int k = 0;
    for (int x : v)
      if (b[k++] != x) return false;
    return true;
  };
  struct Mark {
    std::initializer_list<int> Bytes;
    const char* Name;
  };
  const Mark marks[] = {{{0x00, 0x00, 0xFE, 0xFF}, "UCS-4BE"},
                        {{0x00, 0x00, 0xFF, 0xFE}, ""},
                        {{0xFF, 0xFE, 0x00, 0x00}, "UCS-4LE"},
                        {{0xFE, 0xFF, 0x00, 0x00}, ""},
                        {{0xFE, 0xFF}, "UTF-16BE"},
                        {{0xFF, 0xFE}, "UTF-16LE"},
                        {{0xEF, 0xBB, 0xBF}, kUTF8}};
  for (const Mark& m : marks) {
    if (m.Bytes.size() == 4 && got < 4) continue;
    if (is(m.Bytes)) {
      AStream.SetPosition(static_cast<std::int64_t>(m.Bytes.size()));
      return m.Name;
    }
  }
  if (got < 4) return kUTF8;
  // Unit width, which byte of a unit carries the text (or a decoder), and
  // the unit that ends the declaration.
  int width = 0, pick = -1;
  bool utf16be = false, utf16le = false, ebcdic = false;
  if (is({0x00, 0x00, 0x00, 0x3C}))
    width = 4, pick = 3;
  else if (is({0x00, 0x00, 0x3C, 0x00}))
    width = 4, pick = 2;
  else if (is({0x3C, 0x00, 0x00, 0x00}))
    width = 4, pick = 0;
  else if (is({0x00, 0x3C, 0x00, 0x00}))
    width = 4, pick = 1;
  else if (is({0x00, 0x3C, 0x00, 0x3F}))
    width = 2, utf16be = true;
  else if (is({0x3C, 0x00, 0x3F, 0x00}))
    width = 2, utf16le = true;
  else if (is({0x3C, 0x3F, 0x78, 0x6D}))
    width = 1, pick = 0;
  else if (is({0x4C, 0x6F, 0xA7, 0x94}))
    width = 1, ebcdic = true;
  else
    return kUTF8;
  // Reads units up to the end unit; bounded by what a declaration needs.
  constexpr std::int64_t kMaxDecl = 4096;
  std::string decl;
  AStream.SetPosition(0);
  bool ended = false;
  for (std::int64_t n = 0; n < kMaxDecl; ++n) {
    std::uint8_t u[4] = {0, 0, 0, 0};
    if (AStream.Read(u, width) != width) break;
    std::uint32_t ch;
    if (utf16be)
      ch = static_cast<std::uint32_t>(u[0] << 8 | u[1]);
    else if (utf16le)
      ch = static_cast<std::uint32_t>(u[1] << 8 | u[0]);
    else if (ebcdic) {
      // Code page 037 for the characters a declaration uses.
      static const struct {
        std::uint8_t E;
        char A;
      } kMap[] = {{0x05, '\t'}, {0x0D, '\r'}, {0x25, '\n'}, {0x40, ' '}, {0x7D, '\''}, {0x7F, '"'}, {0x4B, '.'},
                  {0x60, '-'},  {0x6D, '_'},  {0x4C, '<'},  {0x7E, '='}, {0x6E, '>'},  {0x6F, '?'}};
      const std::uint8_t e = u[0];
      ch = 1;
      for (const auto& m : kMap)
        if (m.E == e) ch = static_cast<unsigned char>(m.A);
      if (e >= 0x81 && e <= 0x89) ch = 'a' + (e - 0x81);
      if (e >= 0x91 && e <= 0x99) ch = 'j' + (e - 0x91);
      if (e >= 0xA2 && e <= 0xA9) ch = 's' + (e - 0xA2);
      if (e >= 0xC1 && e <= 0xC9) ch = 'A' + (e - 0xC1);
      if (e >= 0xD1 && e <= 0xD9) ch = 'J' + (e - 0xD1);
      if (e >= 0xE2 && e <= 0xE9) ch = 'S' + (e - 0xE2);
      if (e >= 0xF0 && e <= 0xF9) ch = '0' + (e - 0xF0);
    } else {
      ch = u[pick];
      // The other bytes of a 4-byte unit must be zero for it to be the
      // character; anything else is not part of an ASCII declaration.
      if (width == 4)
        for (int k = 0; k < 4; ++k)
          if (k != pick && u[k] != 0) ch = 1;
    }
    decl += ch < 0x80 ? static_cast<char>(ch) : '\x01';
    if (ch == '>') {
      ended = true;
      break;
    }
  }
  AStream.SetPosition(saved);
  if (!ended) return kUTF8;
  const auto at = decl.find("encoding");
  if (at == std::string::npos) return kUTF8;
  std::size_t p = at + 8;
  auto skipBlanks = [&] {
    while (p < decl.size() && (decl[p] == ' ' || decl[p] == '\t' || decl[p] == '\r' || decl[p] == '\n')) ++p;
  };
  skipBlanks();
  if (p >= decl.size() || decl[p] != '=') return kUTF8;
  ++p;
  skipBlanks();
  if (p >= decl.size() || (decl[p] != '"' && decl[p] != '\'')) return kUTF8;
  const char q = decl[p++];
  const auto end = decl.find(q, p);
  if (end == std::string::npos) return kUTF8;
  std::string value = Trim(decl.substr(p, end - p));
  return value.empty() ? std::string(kUTF8) : value;
}

// ---------------------------------------------------------------------------
// Request and response

TIdHTTPRequest::TIdHTTPRequest(TIdCustomHTTP* AHTTP) : TIdRequestHeaderInfo(AHTTP), FHTTP(AHTTP) {}

void TIdHTTPRequest::Assign(const TPersistent& ASource) {
  TIdRequestHeaderInfo::Assign(ASource);
  if (const auto* s = dynamic_cast<const TIdHTTPRequest*>(&ASource)) {
    URL = s->URL;
    Method = s->Method;
    Source = s->Source;
    FUseProxy = s->FUseProxy;
    IPVersion = s->IPVersion;
    Destination = s->Destination;
  }
}

TIdHTTPResponse::TIdHTTPResponse(TIdCustomHTTP* AHTTP)
    : TIdResponseHeaderInfo(AHTTP), FHTTP(AHTTP), FMetaHTTPEquiv(AHTTP) {}

void TIdHTTPResponse::Clear() {
  TIdResponseHeaderInfo::Clear();
  FMetaHTTPEquiv.Clear();
}

std::int32_t TIdHTTPResponse::ResponseCode() {
  if (FResponseCode == -1) {
    std::string s = FResponseText;
    const auto sp = s.find(' ');
    s = sp == std::string::npos ? std::string() : Trim(s.substr(sp + 1));
    s = s.substr(0, s.find(' '));
    s = s.substr(0, s.find('.'));
    std::int32_t code = -1;
    if (!TryStrToInt(s, code)) code = -1;
    FResponseCode = code;
  }
  return FResponseCode;
}

void TIdHTTPResponse::SetResponseText(const std::string& AValue) {
  FResponseText = AValue;
  FResponseCode = -1;
  const std::string v = AValue.size() >= 8 ? AValue.substr(5, 3) : std::string();
  FResponseVersion = SameText(v, "1.1") ? TIdHTTPProtocolVersion::pv1_1 : TIdHTTPProtocolVersion::pv1_0;
}

bool TIdHTTPResponse::KeepAlive() {
  if (!FHTTP) return false;
  if (FHTTP->Connected()) FHTTP->IOHandler()->CheckForDisconnect(false);
  FKeepAlive = FHTTP->Connected();
  if (!FKeepAlive) return false;
  const TIdHTTPRequest& req = FRequest ? *FRequest : FHTTP->Request();
  const bool viaProxy =
      req.UseProxy() == TIdHTTPConnectionType::ctProxy || req.UseProxy() == TIdHTTPConnectionType::ctSSLProxy;
  if (SameText(Trim(req.Connection), kClose)) return FKeepAlive = false;
  // A body framed two ways, or by the close: nothing after it can be
  // trusted to start a new answer.
  if (FParser.MustClose()) return FKeepAlive = false;
  if (viaProxy && SameText(Trim(req.ProxyConnection), kClose)) return FKeepAlive = false;
  if (FHTTP->ProtocolVersion() == TIdHTTPProtocolVersion::pv1_0) {
    FKeepAlive = SameText(Trim(Connection), kKeepAlive) && (!viaProxy || SameText(Trim(ProxyConnection), kKeepAlive));
  } else {
    FKeepAlive = !SameText(Trim(Connection), kClose) && (!viaProxy || !SameText(Trim(ProxyConnection), kClose));
  }
  return FKeepAlive;
}

// ---------------------------------------------------------------------------
// Protocol object

TIdHTTPProtocol::TIdHTTPProtocol(TIdCustomHTTP* AConnection)
    : FHTTP(AConnection),
      FRequest(std::make_unique<TIdHTTPRequest>(AConnection)),
      FResponse(std::make_unique<TIdHTTPResponse>(AConnection)) {
  FResponse->FRequest = FRequest.get();
}

void TIdHTTPProtocol::BuildAndSendRequest(TIdURI* AURI) {
  TIdHTTPRequest& req = *FRequest;
  if (req.Authentication()) req.Authentication()->SetRequest(req.Method, req.URL);
  req.SetHeaders();
  if (!req.Expect.empty()) req.RawHeaders().SetValue("Expect", req.Expect);
  // Proxy credentials go to the proxy only: on the CONNECT, or on a plain
  // request the proxy itself reads; never through a tunnel to the origin.
  const bool toProxy =
      SameText(req.Method, kMethodConnect) || (req.UseProxy() == TIdHTTPConnectionType::ctProxy && !FHTTP->FTunnelOpen);
  if (toProxy) FHTTP->ProxyParams().SetHeaders(req.RawHeaders());
  if (AURI && FHTTP->AllowCookies() && FHTTP->CookieManager())
    FHTTP->CookieManager()->GenerateClientCookies(*AURI, SameText(AURI->Protocol, "HTTPS"), req.RawHeaders());

  // A line break or NUL would end the request line or a header early and
  // let the rest pass as headers of its own; a line starting with a blank
  // would fold into the header above. Neither is written.
  if (HasBadChar(req.Method) || req.Method.find(' ') != std::string::npos)
    throw EIdHTTPRequestInvalid(Format(RSHTTPRequestInvalidChar, "method"));
  if (HasBadChar(req.URL)) throw EIdHTTPRequestInvalid(Format(RSHTTPRequestInvalidChar, "target"));
  for (int i = 0; i < req.RawHeaders().Count(); ++i) {
    const std::string& line = req.RawHeaders()[i];
    if (HasBadChar(line) || (!line.empty() && (line[0] == ' ' || line[0] == '\t')))
      throw EIdHTTPRequestInvalid(
          Format(RSHTTPRequestInvalidChar, "header " + req.RawHeaders().Names(i > 0 ? i - 1 : i)));
  }

  TIdIOHandler& io = *FHTTP->IOHandler();
  const bool opened = !io.WriteBufferingActive();
  if (opened) io.WriteBufferOpen(-1);
  // A head that failed half-way is not sent in part.
  TScopeGuard cancel([&] {
    if (opened) io.WriteBufferCancel();
  });
  FHTTP->FSendingBegan = true;
  io.WriteLn(req.Method + " " + req.URL + " HTTP/" +
             (FHTTP->ProtocolVersion() == TIdHTTPProtocolVersion::pv1_0 ? "1.0" : "1.1"));
  for (int i = 0; i < req.RawHeaders().Count(); ++i)
    if (!req.RawHeaders()[i].empty()) io.WriteLn(req.RawHeaders()[i]);
  io.WriteLn();
  if (opened) io.WriteBufferClose();
  cancel.Dismiss();
}

void TIdHTTPProtocol::RetrieveHeaders(std::int32_t AMaxHeaderCount) {
  TIdIOHandler& io = FHTTP->CheckedIOHandler();
  TIdHTTPParserLimits limits;
  limits.MaxStartLine = limits.MaxHeaderLine = io.MaxLineLength() > 0 ? io.MaxLineLength() : IdMaxLineLengthDefault;
  limits.MaxHeaderLines = AMaxHeaderCount;
  limits.MaxHeadBytes = kMaxResponseHeadBytes;
  limits.MaxChunkLine = kMaxChunkLine;
  TIdHTTPParser& parser = FResponse->FParser;
  parser = TIdHTTPParser(TIdHTTPMessageKind::mkResponse, limits);
  parser.SetRequestWasHead(IsHeadRequest(*FRequest));
  TIdBuffer& buffer = *io.InputBuffer();
  try {
    for (;;) {
      if (buffer.Size() > 0) {
        const TIdHTTPParseResult r = parser.FeedHead(buffer);
        if (r == TIdHTTPParseResult::prHeadComplete) break;
        // Lines past the limit stay an error: read as body they would
        // corrupt it, and dropped they could hide a framing line.
        if (r == TIdHTTPParseResult::prError) throw EIdHTTPResponseInvalid(ResponseErrorText(parser));
      }
      io.ReadFromSource(true, io.ReadTimeout(), true);
    }
  } catch (const EIdConnClosedGracefully&) {
    FHTTP->Disconnect();
    // Nothing of an answer is the caller's to tell; a head cut short is no
    // head: using what arrived would pass a partial answer for a whole one.
    if (!parser.Started()) throw;
    throw EIdHTTPResponseInvalid(RSHTTPHeaderClosed);
  } catch (...) {
    FHTTP->Disconnect();
    throw;
  }
  FResponse->SetResponseText(parser.StartLine());
  FResponse->Clear();
  for (std::string& line : parser.HeaderLines()) FResponse->RawHeaders().Add(std::move(line));
  FResponse->ParseRawHeaders();
}

void TIdHTTPProtocol::DiscardBody() {
  ContentStreamSwap swap(*FResponse, nullptr);
  FHTTP->ReadResponseBody(*FRequest, *FResponse);
}

void TIdHTTPProtocol::RaiseStatusError(const std::string& ABody) {
  throw EIdHTTPProtocolException::CreateError(FResponse->ResponseCode(), FResponse->ResponseText(), ABody);
}

void TIdHTTPProtocol::HandleStatusError(const TIdHTTPIgnoreReplies& AIgnoreReplies) {
  const std::int32_t code = FResponse->ResponseCode();
  const bool ignored = std::find(AIgnoreReplies.begin(), AIgnoreReplies.end(), code) != AIgnoreReplies.end();
  if (FHTTP->HTTPOptions().Contains(TIdHTTPOption::hoNoProtocolErrorException) || ignored) {
    if (FHTTP->HTTPOptions().Contains(TIdHTTPOption::hoWantProtocolErrorContent))
      FHTTP->ReadResponseBody(*FRequest, *FResponse);
    else
      DiscardBody();
    return;
  }
  TMemoryStream body;
  {
    ContentStreamSwap swap(*FResponse, &body);
    FHTTP->ReadResponseBody(*FRequest, *FResponse);
  }
  RaiseStatusError(DecodeBodyText(body, ResponseBodyCharset(*FResponse)));
}

bool TIdHTTPProtocol::ReadOrDiscardAuthBody(const TIdHTTPIgnoreReplies&) {
  if (FHTTP->HTTPOptions().Contains(TIdHTTPOption::hoInProcessAuth)) {
    DiscardBody();
    return true;
  }
  if (IsHeadRequest(*FRequest) || FResponse->ResponseCode() == 204)
    DiscardBody();
  else
    FHTTP->ReadResponseBody(*FRequest, *FResponse);
  return false;
}

namespace {

// The scheme of an absolute reference ("file" of "file:///x"); empty for a
// relative one, whose first segment cannot hold a colon.
std::string_view ReferenceScheme(std::string_view ARef) {
  if (ARef.empty() || !std::isalpha(static_cast<unsigned char>(ARef[0]))) return {};
  for (std::size_t i = 1; i < ARef.size(); ++i) {
    const auto c = static_cast<unsigned char>(ARef[i]);
    if (c == ':') return ARef.substr(0, i);
    if (!std::isalnum(c) && c != '+' && c != '-' && c != '.') return {};
  }
  return {};
}

// A Location as the next request can use it: blanks and controls, which
// servers leave raw, are percent-encoded, and a network-path reference
// ("//host/path") takes the current scheme so that it names that host.
std::string RedirectTarget(std::string_view ALocation, const std::string& ACurrentProtocol) {
  std::string out;
  if (ALocation.size() >= 2 && ALocation[0] == '/' && ALocation[1] == '/')
    out = (ACurrentProtocol.empty() ? std::string("http") : ACurrentProtocol) + ":";
  for (const char ch : ALocation) {
    const auto c = static_cast<unsigned char>(ch);
    if (c <= ' ' || c == 0x7F)
      out += TIdURI::PathEncode(std::string_view(&ch, 1));
    else
      out += ch;
  }
  return out;
}

// Only web schemes are followed: any other would be fetched as an HTTP path
// on the previous host.
void CheckRedirectScheme(const std::string& ATarget) {
  const std::string_view scheme = ReferenceScheme(ATarget);
  if (!scheme.empty() && !SameText(scheme, "http") && !SameText(scheme, "https"))
    throw EIdUnknownProtocol(Format(RSHTTPRedirectScheme, std::string(scheme)));
}

}  // namespace

TIdHTTPWhatsNext TIdHTTPProtocol::ProcessResponse(const TIdHTTPIgnoreReplies& AIgnoreReplies) {
  bool cont = true;
  if (FHTTP->OnHeadersAvailable) FHTTP->OnHeadersAvailable(FHTTP, FResponse->RawHeaders(), cont);
  if (!cont) {
    FResponse->Connection = kClose;
    return TIdHTTPWhatsNext::wnJustExit;
  }
  const std::int32_t code = FResponse->ResponseCode();
  if (code / 100 == 3 && code != 304) {
    if (FResponse->Location.empty()) {
      HandleStatusError(AIgnoreReplies);
      return TIdHTTPWhatsNext::wnJustExit;
    }
    ++FHTTP->FRedirectCount;
    std::string target = RedirectTarget(FResponse->Location, FHTTP->FURI->Protocol);
    std::string method = FRequest->Method;
    if (!FHTTP->ConfirmRedirect(target, method, FHTTP->FRedirectCount)) {
      HandleStatusError(AIgnoreReplies);
      return TIdHTTPWhatsNext::wnJustExit;
    }
    if (FHTTP->Connected()) DiscardBody();
    if (FHTTP->HandleRedirects() && FHTTP->FRedirectCount < FHTTP->RedirectMaximum()) {
      CheckRedirectScheme(target);
      FRequest->URL = target;
      if (code == 303 || (code == 302 && FHTTP->HTTPOptions().Contains(TIdHTTPOption::hoTreat302Like303))) {
        FRequest->Source = nullptr;
        FRequest->Method = kMethodGet;
      } else {
        FRequest->Method = method;
      }
      FRequest->MethodOverride.clear();
      return TIdHTTPWhatsNext::wnGoToURL;
    }
    FResponse->Location = target;
    return TIdHTTPWhatsNext::wnJustExit;
  }
  if (code / 100 == 2) {
    if (IsHeadRequest(*FRequest) || code == 204)
      DiscardBody();
    else
      FHTTP->ReadResponseBody(*FRequest, *FResponse);
    return TIdHTTPWhatsNext::wnJustExit;
  }
  if (code == 101) return TIdHTTPWhatsNext::wnJustExit;
  if (code == 401) {
    if (FHTTP->FAuthRetries < FHTTP->MaxAuthRetries() && FHTTP->NegotiateAuthorization(*FRequest, *FResponse))
      return ReadOrDiscardAuthBody(AIgnoreReplies) ? TIdHTTPWhatsNext::wnAuthRequest : TIdHTTPWhatsNext::wnJustExit;
    if (FRequest->Authentication()) FRequest->Authentication()->Reset();
    HandleStatusError(AIgnoreReplies);
    return TIdHTTPWhatsNext::wnJustExit;
  }
  if (code == 407) {
    if (FHTTP->FAuthProxyRetries < FHTTP->MaxAuthRetries() && FHTTP->NegotiateProxyAuthorization(*FRequest, *FResponse))
      return ReadOrDiscardAuthBody(AIgnoreReplies) ? TIdHTTPWhatsNext::wnAuthRequest : TIdHTTPWhatsNext::wnJustExit;
    if (FHTTP->ProxyParams().Authentication()) FHTTP->ProxyParams().Authentication()->Reset();
    HandleStatusError(AIgnoreReplies);
    return TIdHTTPWhatsNext::wnJustExit;
  }
  HandleStatusError(AIgnoreReplies);
  return TIdHTTPWhatsNext::wnJustExit;
}

// ---------------------------------------------------------------------------
// The component

TIdCustomHTTP::TIdCustomHTTP(TComponent* AOwner)
    : TIdTCPClientCustom(AOwner),
      FURI(std::make_unique<TIdURI>()),
      FProxyParameters(std::make_unique<TIdProxyConnectionInfo>()) {
  FHTTPProto = MakeProtocol();
  FProxyParameters->Clear();
}

TIdCustomHTTP::~TIdCustomHTTP() {
  // The connection goes first: its close reports to FireDisconnected,
  // which reads the request.
  DisconnectQuietly(false);
  SetCookieManager(nullptr);
  if (FAuthenticationManager) FAuthenticationManager->RemoveFreeNotification(this);
  if (FCompressor) FCompressor->RemoveFreeNotification(this);
}

void TIdCustomHTTP::DisconnectQuietly(bool ANotifyPeer) noexcept {
  try {
    Disconnect(ANotifyPeer);
  } catch (const std::exception&) {
    // Closing after a failure: the first error is the one to report.
  }
}

std::unique_ptr<TIdHTTPProtocol> TIdCustomHTTP::MakeProtocol() { return std::make_unique<TIdHTTPProtocol>(this); }

void TIdCustomHTTP::SetCookieManager(TIdCookieManager* AValue) {
  if (AValue == FCookieManager) return;
  if (FCookieManager) {
    if (FImplicitCookieManager)
      FOwnedCookieManager.reset();
    else
      FCookieManager->RemoveFreeNotification(this);
  }
  FCookieManager = AValue;
  FImplicitCookieManager = false;
  if (FCookieManager) FCookieManager->FreeNotification(this);
}

void TIdCustomHTTP::SetAuthenticationManager(TIdAuthenticationManager* AValue) {
  if (AValue == FAuthenticationManager) return;
  if (FAuthenticationManager) FAuthenticationManager->RemoveFreeNotification(this);
  FAuthenticationManager = AValue;
  if (FAuthenticationManager) FAuthenticationManager->FreeNotification(this);
}

void TIdCustomHTTP::SetCompressor(TIdZLibCompressorBase* AValue) {
  if (AValue == FCompressor) return;
  if (FCompressor) FCompressor->RemoveFreeNotification(this);
  FCompressor = AValue;
  if (FCompressor) FCompressor->FreeNotification(this);
}

void TIdCustomHTTP::Notification(TComponent* AComponent, TOperation AOperation) {
  if (AOperation == TOperation::opRemove) {
    if (AComponent == FCookieManager) {
      FCookieManager = nullptr;
      if (FImplicitCookieManager) (void)FOwnedCookieManager.release();
      FImplicitCookieManager = false;
    } else if (AComponent == FAuthenticationManager) {
      FAuthenticationManager = nullptr;
    } else if (AComponent == FCompressor) {
      FCompressor = nullptr;
    }
  }
  TIdTCPClientCustom::Notification(AComponent, AOperation);
}

void TIdCustomHTTP::FireDisconnected() {
  TIdTCPClientCustom::FireDisconnected();
  FTunnelOpen = false;
  if (!FHTTPProto) return;
  TIdHTTPRequest& req = Request();
  if (TIdAuthentication* auth = req.Authentication()) {
    if (auth->Steps() > 0 && auth->CurrentStep() == auth->Steps()) {
      if (FAuthenticationManager) FAuthenticationManager->AddAuthentication(*auth, *FURI);
      req.SetAuthentication(nullptr);
    }
  }
  if (TIdAuthentication* pauth = ProxyParams().Authentication()) {
    if (pauth->Steps() > 0 && pauth->CurrentStep() == pauth->Steps()) pauth->Reset();
  }
}

std::string TIdCustomHTTP::ReadProtocolLine() {
  TIdIOHandler& io = CheckedIOHandler();
  std::string line = io.ReadLn(LF, io.ReadTimeout(), io.MaxLineLength());
  if (io.ReadLnTimedOut()) throw EIdReadTimeout();
  return line;
}

void TIdCustomHTTP::StoreServerCookies(TIdHTTPResponse& AResponse) {
  if (!FAllowCookies) return;
  if (!FCookieManager) {
    FOwnedCookieManager = std::make_unique<TIdCookieManager>();
    FCookieManager = FOwnedCookieManager.get();
    FCookieManager->FreeNotification(this);
    FImplicitCookieManager = true;
  }
  TStringList cookies;
  AResponse.RawHeaders().Extract("Set-Cookie", cookies);
  if (cookies.Count() > 0) FCookieManager->AddServerCookies(cookies, *FURI);
}

void TIdCustomHTTP::ResolveRequestURL() {
  TIdHTTPRequest& req = Request();
  TIdURI uri(req.URL);
  if (!uri.Username.empty()) {
    req.Username = uri.Username;
    req.Password = uri.Password;
  }
  FURI->Username = req.Username;
  FURI->Password = req.Password;
  FURI->Path = ResolvePath(FURI->Path, uri.Path);
  FURI->Document = uri.Document;
  FURI->Params = uri.Params;
  if (!uri.Host.empty()) FURI->Host = uri.Host;
  if (!uri.Protocol.empty())
    FURI->Protocol = uri.Protocol;
  else
    FURI->Protocol = SameText(FURI->Protocol, "https") ? "https" : "http";
  if (!uri.Port.empty())
    FURI->Port = uri.Port;
  else if (SameText(FURI->Protocol, "http") && (!uri.Protocol.empty() || uri.Host.size()))
    FURI->Port = "80";
  else if (SameText(FURI->Protocol, "https") && (!uri.Protocol.empty() || uri.Host.size()))
    FURI->Port = "443";
  else if (FURI->Port.empty()) {
    if (SameText(FURI->Protocol, "http"))
      FURI->Port = "80";
    else if (SameText(FURI->Protocol, "https"))
      FURI->Port = "443";
    else
      throw EIdUnknownProtocol();
  }
  const bool star =
      (SameText(req.Method, kMethodOptions) || SameText(req.MethodOverride, kMethodOptions)) && uri.Document == "*";
  if (star)
    req.URL = "*";
  else
    req.URL = FURI->GetPathAndParams();
  req.IPVersion = uri.IPVersion;
  FURI->IPVersion = uri.IPVersion;
  for (const char* m : {kMethodTrace, kMethodPut, kMethodOptions, kMethodDelete, kMethodPatch}) {
    if ((SameText(req.Method, m) || SameText(req.MethodOverride, m)) &&
        FProtocolVersion != TIdHTTPProtocolVersion::pv1_1)
      throw EIdException(RSHTTPMethodRequiresVersion);
  }
  if (req.Source)
    req.SetContentLength(req.Source->Size());
  else if (SameText(req.Method, kMethodPost) || SameText(req.Method, kMethodPut))
    req.SetContentLength(0);
  else
    req.SetContentLength(-1);
  std::string host = FURI->Host;
  if (FURI->IPVersion == TIdIPVersion::Id_IPv6 && host.find(':') != std::string::npos) host = "[" + host + "]";
  const bool defaultPort = (SameText(FURI->Protocol, "http") && FURI->Port == "80") ||
                           (SameText(FURI->Protocol, "https") && FURI->Port == "443");
  req.Host = defaultPort ? host : host + ":" + FURI->Port;
}

TIdHTTPConnectionType TIdCustomHTTP::ChooseConnectionTarget() {
  const bool https = SameText(FURI->Protocol, "HTTPS");
  std::string host;
  std::int32_t port;
  TIdHTTPConnectionType result;
  if (ProxyParams().ProxyServer.empty()) {
    if (Socket() && Connected() && Socket()->IPVersion() != FURI->IPVersion) Disconnect();
    host = FURI->Host;
    if (!TryStrToInt(FURI->Port, port) || port <= 0 || port > 65535) port = 80;
    result = https ? TIdHTTPConnectionType::ctSSL : TIdHTTPConnectionType::ctNormal;
  } else {
    host = ProxyParams().ProxyServer;
    port = ProxyParams().ProxyPort;
    result = https ? TIdHTTPConnectionType::ctSSLProxy : TIdHTTPConnectionType::ctProxy;
  }
  if (Connected() && (!SameText(Host(), host) || Port() != port)) Disconnect();
  SetHost(host);
  SetPort(static_cast<std::uint16_t>(port));
  return result;
}

void TIdCustomHTTP::OpenConnection(TIdHTTPRequest& ARequest, TIdHTTPResponse& AResponse) {
  if (!AResponse.KeepAlive()) Disconnect();
  if (IOHandler() && IOHandler()->InputBuffer()) IOHandler()->InputBuffer()->Clear();
  CheckForGracefulDisconnect(false);
  if (Connected()) return;
  SetIPVersion(FURI->IPVersion);
  const TIdHTTPConnectionType type = ARequest.UseProxy();
  auto* ssl = dynamic_cast<TIdSSLIOHandlerSocketBase*>(IOHandler());
  if (type == TIdHTTPConnectionType::ctSSL || type == TIdHTTPConnectionType::ctSSLProxy) {
    if (!ssl && (!IOHandler() || ManagedIOHandler())) {
      // No handler, or the plain one made here for an earlier http request
      // (an http URL that redirects to https): a TLS handler takes over.
      EnsureTLSHandlerClass();
      TIdSSLIOHandlerSocketBase* h = TryMakeIOHandler<TIdSSLIOHandlerSocketBase>(nullptr);
      if (!h) throw EIdIOHandlerPropInvalid();
      // A handler made here speaks what servers accept today; the option
      // object's own default (TLS 1.0 alone) reaches almost none.
      if (auto* ossl = dynamic_cast<TIdSSLIOHandlerSocketOpenSSL*>(h))
        ossl->SSLOptions().SetSSLVersions({TIdSSLVersion::sslvTLSv1_2, TIdSSLVersion::sslvTLSv1_3});
      AdoptManagedIOHandler(h);
      h->OnStatus = OnStatus;
      ssl = h;
    }
    if (!ssl) throw EIdIOHandlerPropInvalid();
    ssl->SetURIToCheck(FURI->URI());
    ssl->SetPassThrough(type == TIdHTTPConnectionType::ctSSLProxy);
  } else if (ssl) {
    ssl->SetPassThrough(true);
    ssl->SetURIToCheck(FURI->URI());
  }
  TScopeGuard close([this] { DisconnectQuietly(); });
  Connect();
  close.Dismiss();
}

void TIdCustomHTTP::OpenTunnel(TIdHTTPRequest& ARequest) {
  std::unique_ptr<TIdHTTPProtocol> tunnel = MakeProtocol();
  TIdHTTPRequest& treq = tunnel->Request();
  TIdHTTPResponse& tresp = tunnel->Response();
  treq.UserAgent = ARequest.UserAgent;
  treq.Host = ARequest.Destination;
  treq.Pragma = kNoCache;
  treq.URL = ARequest.Destination;
  treq.Method = kMethodConnect;
  treq.ProxyConnection = kKeepAlive;
  treq.FUseProxy = ARequest.UseProxy();
  for (int round = 0;; ++round) {
    if (round >= kMaxExchangeRounds) throw EIdException(RSHTTPTooManyRounds);
    OpenConnection(treq, tresp);
    tunnel->BuildAndSendRequest(nullptr);
    try {
      tunnel->RetrieveHeaders(FMaxHeaderLines);
    } catch (const EIdConnClosedGracefully&) {
      // A proxy that closes without a word is one that answered nothing:
      // nothing may pass through a tunnel the proxy did not confirm.
      Disconnect();
      throw EIdHTTPResponseInvalid(RSHttpProxyEmptyStatus);
    }
    // Cookies of the proxy's own answer are not the origin's: not stored.
    const std::int32_t code = tresp.ResponseCode();
    if (code / 100 == 2) {
      // What follows a 2xx answer to CONNECT is the tunnel, not a body.
      tresp.Parser().SkipBody();
      FTunnelOpen = true;
      if (ARequest.UseProxy() == TIdHTTPConnectionType::ctSSLProxy) {
        if (auto* ssl = dynamic_cast<TIdSSLIOHandlerSocketBase*>(IOHandler())) {
          ssl->SetURIToCheck(FURI->URI());
          ssl->SetPassThrough(false);
        }
      }
      return;
    }
    if (code == 407 && FAuthProxyRetries < FMaxAuthRetries && NegotiateProxyAuthorization(treq, tresp)) {
      tunnel->DiscardBody();
      treq.URL = ARequest.Destination;
      continue;
    }
    // Any other answer: the tunnel is not open and the call fails with it.
    if (ProxyParams().Authentication()) ProxyParams().Authentication()->Reset();
    TMemoryStream body;
    try {
      ContentStreamSwap swap(tresp, &body);
      ReadResponseBody(treq, tresp);
    } catch (...) {
    }
    Disconnect();
    throw EIdHTTPProtocolException::CreateError(code, tresp.ResponseText(),
                                                DecodeBodyText(body, ResponseBodyCharset(tresp)));
  }
}

void TIdCustomHTTP::OpenAndSend(TIdHTTPRequest& ARequest, TIdHTTPResponse& AResponse) {
  if (IOHandler() && IOHandler()->InputBuffer()) IOHandler()->InputBuffer()->Clear();
  const std::string destination = FURI->Host + ":" + FURI->Port;
  const TIdHTTPConnectionType before = ARequest.UseProxy();
  ARequest.FUseProxy = ChooseConnectionTarget();
  if (ARequest.UseProxy() != before) {
    if (Connected()) Disconnect();
  } else if (ARequest.UseProxy() == TIdHTTPConnectionType::ctSSLProxy && !SameText(destination, ARequest.Destination)) {
    if (Connected()) Disconnect();
  }
  ARequest.Destination = destination;
  bool tunnel = false;
  switch (ARequest.UseProxy()) {
    case TIdHTTPConnectionType::ctNormal:
    case TIdHTTPConnectionType::ctSSL:
      if (FProtocolVersion == TIdHTTPProtocolVersion::pv1_0 && ARequest.Connection.empty())
        ARequest.Connection = kKeepAlive;
      break;
    case TIdHTTPConnectionType::ctProxy:
      ARequest.URL = FURI->URI();
      if (FProtocolVersion == TIdHTTPProtocolVersion::pv1_0 && ARequest.Connection.empty())
        ARequest.ProxyConnection = kKeepAlive;
      if (FOptions.Contains(TIdHTTPOption::hoNonSSLProxyUseConnectVerb)) tunnel = !Connected();
      break;
    case TIdHTTPConnectionType::ctSSLProxy:
      tunnel = !Connected();
      break;
  }
  if (FCompressor && FCompressor->IsReady()) {
    for (const char* enc : {"deflate", "gzip"}) {
      if (ARequest.AcceptEncoding.find(enc) == std::string::npos)
        ARequest.AcceptEncoding =
            ARequest.AcceptEncoding.empty() ? std::string(enc) : ARequest.AcceptEncoding + ", " + enc;
    }
  }
  if (!ARequest.AcceptEncoding.empty() && ARequest.AcceptEncoding.find("identity") == std::string::npos)
    ARequest.AcceptEncoding += ", identity";
  if (tunnel)
    OpenTunnel(ARequest);
  else
    OpenConnection(ARequest, AResponse);
  FHTTPProto->BuildAndSendRequest(FURI.get());
  FHasPendingHead = false;
  if (!ARequest.Source) return;
  TIdIOHandler& io = *IOHandler();
  if (StartsText("100-continue", Trim(ARequest.Expect)) && ARequest.Source->Size() > 0) {
    // Waits briefly for the go-ahead; a final answer instead means the
    // body is not wanted, and it is not sent.
    if (io.InputBufferIsEmpty()) io.CheckForDataOnSource(kExpectContinueWaitMs);
    if (!io.InputBufferIsEmpty()) {
      FHTTPProto->RetrieveHeaders(FMaxHeaderLines);
      const std::int32_t code = AResponse.ResponseCode();
      if (code / 100 != 1 || code == 101) {
        FHasPendingHead = true;
        // The server may still expect the body it never got; the
        // connection is not reused.
        ARequest.Connection = kClose;
        return;
      }
    }
  }
  ARequest.Source->SetPosition(0);
  io.Write(*ARequest.Source, 0, false);
}

void TIdCustomHTTP::ReadResponseBody(TIdHTTPRequest& ARequest, TIdHTTPResponse& AResponse) {
  TIdIOHandler& io = CheckedIOHandler();
  TIdHTTPParser& parser = AResponse.Parser();
  const std::int32_t code = AResponse.ResponseCode();
  auto pending = [&](std::int32_t AMs) {
    if (!io.InputBufferIsEmpty()) return true;
    try {
      return io.CheckForDataOnSource(AMs) && !io.InputBufferIsEmpty();
    } catch (const EIdException&) {
      return false;
    }
  };
  const bool bodyless = IsHeadRequest(ARequest) || code / 100 == 1 || code == 204 || code == 304;
  if (bodyless) {
    if (!FOptions.Contains(TIdHTTPOption::hoWaitForUnexpectedData) || !pending(100)) return;
    // A body that should not be there is read as its header lines frame it.
    parser.ExpectBodyAnyway();
  }
  const TIdHTTPFraming framing = parser.Framing();
  const std::string media = HTTPMediaType(AResponse.ContentType());
  const bool multipart = framing == TIdHTTPFraming::hfUntilClose && StartsText("multipart/", media);
  bool readable;
  if (framing == TIdHTTPFraming::hfChunked)
    readable = !FOptions.Contains(TIdHTTPOption::hoNoReadChunked);
  else if (multipart)
    readable = !FOptions.Contains(TIdHTTPOption::hoNoReadMultipartMIME);
  else
    readable = framing != TIdHTTPFraming::hfNone;
  if (!readable) return;
  if (!bodyless && code / 100 == 3 && !pending(5000)) return;

  TStream* target = AResponse.ContentStream;
  // Post-processing of HTML and XML needs the body in memory.
  enum class Post { None, Meta, Xml } post = Post::None;
  if (target) {
    if (IsHTMLMediaType(media) && !FOptions.Contains(TIdHTTPOption::hoNoParseMetaHTTPEquiv))
      post = Post::Meta;
    else if (IsXMLMediaType(media) && !FOptions.Contains(TIdHTTPOption::hoNoParseXmlCharset))
      post = Post::Xml;
  }
  std::unique_ptr<TMemoryStream> collected;
  TStream* content = target;
  if (post != Post::None && !dynamic_cast<TMemoryStream*>(target)) {
    collected = std::make_unique<TMemoryStream>();
    content = collected.get();
  }
  std::unique_ptr<TMemoryStream> compressed;
  const bool decode = FCompressor && FCompressor->IsReady() &&
                      (SameText(AResponse.ContentEncoding, "deflate") || SameText(AResponse.ContentEncoding, "gzip"));
  TStream* raw = content;
  if (decode) {
    compressed = std::make_unique<TMemoryStream>();
    raw = compressed.get();
  }

  const std::int64_t contentStart = content ? content->Position() : 0;
  auto finish = [&] {
    if (collected) {
      collected->SetPosition(0);
      target->CopyFrom(*collected, collected->Size());
    }
  };
  try {
    if (framing == TIdHTTPFraming::hfChunked) {
      ReadChunkedBody(AResponse, raw);
    } else if (framing == TIdHTTPFraming::hfLength) {
      const std::int64_t length = parser.ContentLength();
      std::int64_t got = 0;
      try {
        if (raw) {
          const std::int64_t before = raw->Position();
          try {
            io.ReadStream(raw, length, false);
          } catch (const EIdConnClosedGracefully&) {
            got = raw->Position() - before;
            throw;
          }
          got = raw->Position() - before;
        } else {
          const std::int64_t buffered = io.InputBuffer() ? io.InputBuffer()->Size() : 0;
          got = std::min(buffered, length);
          io.Discard(length);
          got = length;
        }
      } catch (const EIdConnClosedGracefully&) {
        // A body shorter than announced is a broken answer, not a whole one.
        throw EIdHTTPResponseInvalid(Format(RSHTTPBodyTruncated, got, length));
      }
      if (got < length) throw EIdHTTPResponseInvalid(Format(RSHTTPBodyTruncated, got, length));
    } else if (multipart) {
      const std::string boundary = AResponse.RawHeaders().GetParam("Content-Type", "boundary");
      const std::string delim = "--" + boundary + "--";
      const TIdBytes delimBytes(delim.begin(), delim.end());
      BeginWork(TWorkMode::wmRead);
      TScopeGuard endWork([this] { EndWork(TWorkMode::wmRead); });
      {
        for (;;) {
          std::int32_t start = 0;
          const std::int32_t at = io.InputBuffer()->IndexOf(delimBytes, start);
          if (at >= 0) {
            const std::int32_t n = at + static_cast<std::int32_t>(delimBytes.size());
            if (raw)
              io.InputBuffer()->ExtractToStream(*raw, n);
            else
              io.InputBuffer()->Remove(n);
            try {
              ReadProtocolLine();
            } catch (const EIdConnClosedGracefully&) {
            }
            break;
          }
          const std::int32_t keep = static_cast<std::int32_t>(delimBytes.size()) - 1;
          const std::int32_t move = io.InputBuffer()->Size() - keep;
          if (move > 0) {
            if (raw)
              io.InputBuffer()->ExtractToStream(*raw, move);
            else
              io.InputBuffer()->Remove(move);
          }
          try {
            io.CheckForDataOnSource(0);
            io.CheckForDisconnect(true, true);
            if (io.InputBuffer()->Size() <= keep) io.ReadFromSource(true, io.ReadTimeout(), true);
          } catch (const EIdConnClosedGracefully&) {
            if (raw)
              io.InputBuffer()->ExtractToStream(*raw, -1);
            else
              io.InputBuffer()->Clear();
            break;
          }
        }
      }
      endWork.Dismiss();
      EndWork(TWorkMode::wmRead);
    } else {
      if (raw)
        io.ReadStream(raw, -1, true);
      else
        io.DiscardAll();
    }

    if (decode) {
      compressed->SetPosition(0);
      if (SameText(AResponse.ContentEncoding, "deflate"))
        FCompressor->DecompressDeflateStream(*compressed, *content);
      else
        FCompressor->DecompressGZipStream(*compressed, *content);
    }
    if (post == Post::Meta) {
      const std::int64_t end = content->Position();
      content->SetPosition(contentStart);
      TIdMetaHTTPEquiv& meta = AResponse.MetaHTTPEquiv();
      meta.ProcessMetaHTTPEquiv(*content);
      content->SetPosition(end);
      if (meta.RawHeaders().Count() > 0) {
        TIdHeaderList& found = meta.RawHeaders();
        for (int i = 0; i < found.Count(); ++i) {
          const std::string name = found.Names(i);
          if (name.empty()) continue;
          AResponse.RawHeaders().SetValue(name, found.Values(name));
        }
        AResponse.ParseRawHeaders();
      }
      if (!meta.CharSet.empty()) AResponse.CharSet = meta.CharSet;
    } else if (post == Post::Xml) {
      AResponse.CharSet = XMLEncodingOf(*content);
      content->Seek(0, TSeekOrigin::soEnd);
    }
  } catch (...) {
    finish();
    throw;
  }
  finish();
}

void TIdCustomHTTP::ReadChunkedBody(TIdHTTPResponse& AResponse, TStream* ARaw) {
  TIdIOHandler& io = CheckedIOHandler();
  TIdHTTPParser& parser = AResponse.Parser();
  TIdBuffer& buffer = *io.InputBuffer();
  DoStatus(TIdStatus::hsStatusText, std::string(RSHTTPChunkStarted));
  BeginWork(TWorkMode::wmRead);
  TScopeGuard endWork([this] { EndWork(TWorkMode::wmRead); });
  // With OnChunkReceived a chunk is handed over whole, grown as it arrives.
  const bool whole = ARaw && OnChunkReceived;
  TIdBytes chunk;
  for (;;) {
    std::size_t used = 0;
    const TIdHTTPParseResult r = parser.Feed(buffer.View(), used);
    if (r == TIdHTTPParseResult::prBodyBytes) {
      const std::string_view bytes = parser.Body();
      if (whole)
        chunk.insert(chunk.end(), bytes.begin(), bytes.end());
      else if (ARaw)
        ARaw->WriteBuffer(bytes.data(), static_cast<std::int64_t>(bytes.size()));
      buffer.Remove(static_cast<std::int32_t>(used));
      if (whole && parser.State() != TIdHTTPParserState::psChunkData) {
        OnChunkReceived(this, chunk);
        if (!chunk.empty()) ARaw->WriteBuffer(chunk.data(), static_cast<std::int64_t>(chunk.size()));
        chunk.clear();
      }
      continue;
    }
    buffer.Remove(static_cast<std::int32_t>(used));
    if (r == TIdHTTPParseResult::prMessageComplete) break;
    if (r == TIdHTTPParseResult::prError) throw EIdHTTPResponseInvalid(ResponseErrorText(parser));
    try {
      io.ReadFromSource(true, io.ReadTimeout(), true);
    } catch (const EIdConnClosedGracefully&) {
      throw EIdHTTPResponseInvalid(RSHTTPChunkTruncated);
    }
  }
  for (const std::string& line : parser.TrailerLines()) AResponse.RawHeaders().Add(line);
  endWork.Dismiss();
  EndWork(TWorkMode::wmRead);
}

bool TIdCustomHTTP::NegotiateAuthorization(TIdHTTPRequest& ARequest, TIdHTTPResponse& AResponse) {
  ++FAuthRetries;
  if (!ARequest.Authentication()) {
    TIdAuthenticationClass cls = nullptr;
    for (int i = 0; i < AResponse.WWWAuthenticate().Count() && !cls; ++i) {
      const std::string& line = AResponse.WWWAuthenticate()[i];
      cls = FindAuthScheme(line.substr(0, line.find(' ')));
    }
    if (OnSelectAuthorization) OnSelectAuthorization(this, cls, AResponse.WWWAuthenticate());
    if (!cls) return false;
    ARequest.SetAuthentication(cls());
  }
  TIdAuthentication& auth = *ARequest.Authentication();
  auth.SetUsername(ARequest.Username);
  auth.SetPassword(ARequest.Password);
  auth.Params().SetValue("Authorization", auth.Authentication());
  auth.SetAuthParams(AResponse.WWWAuthenticate());
  for (int guard = 0; guard < 16; ++guard) {
    switch (auth.Next()) {
      case TIdAuthWhatsNext::wnDoRequest:
        return true;
      case TIdAuthWhatsNext::wnFail:
        return false;
      case TIdAuthWhatsNext::wnAskTheProgram: {
        if (!OnAuthorization) return false;
        auth.SetUsername(ARequest.Username);
        auth.SetPassword(ARequest.Password);
        bool handled = false;
        OnAuthorization(this, &auth, handled);
        if (!handled) return false;
        ARequest.BasicAuthentication = true;
        ARequest.Username = auth.Username();
        ARequest.Password = auth.Password();
        break;
      }
    }
  }
  return false;
}

bool TIdCustomHTTP::NegotiateProxyAuthorization(TIdHTTPRequest&, TIdHTTPResponse& AResponse) {
  ++FAuthProxyRetries;
  TIdProxyConnectionInfo& proxy = ProxyParams();
  if (!proxy.Authentication()) {
    TIdAuthenticationClass cls = nullptr;
    for (int i = 0; i < AResponse.ProxyAuthenticate().Count() && !cls; ++i) {
      const std::string& line = AResponse.ProxyAuthenticate()[i];
      cls = FindAuthScheme(line.substr(0, line.find(' ')));
    }
    if (OnSelectProxyAuthorization) OnSelectProxyAuthorization(this, cls, AResponse.ProxyAuthenticate());
    if (!cls) return false;
    proxy.SetAuthentication(cls());
  }
  TIdAuthentication& auth = *proxy.Authentication();
  auth.SetUsername(proxy.ProxyUsername);
  auth.SetPassword(proxy.ProxyPassword);
  auth.SetAuthParams(AResponse.ProxyAuthenticate());
  for (int guard = 0; guard < 16; ++guard) {
    switch (auth.Next()) {
      case TIdAuthWhatsNext::wnDoRequest:
        return true;
      case TIdAuthWhatsNext::wnFail:
        return false;
      case TIdAuthWhatsNext::wnAskTheProgram: {
        if (!OnProxyAuthorization) return false;
        auth.SetUsername(proxy.ProxyUsername);
        auth.SetPassword(proxy.ProxyPassword);
        bool handled = false;
        OnProxyAuthorization(this, &auth, handled);
        if (!handled) return false;
        proxy.ProxyUsername = auth.Username();
        proxy.ProxyPassword = auth.Password();
        break;
      }
    }
  }
  return false;
}

bool TIdCustomHTTP::ConfirmRedirect(std::string& Location, std::string& VMethod, std::int32_t ARedirectCount) {
  bool handled = FHandleRedirects;
  if (OnRedirect) {
    std::int32_t count = ARedirectCount;
    OnRedirect(this, Location, count, handled, VMethod);
  }
  return handled;
}

void TIdCustomHTTP::DropCredentialsFor(const std::string& AOldProtocol, const std::string& AOldHost,
                                       const std::string& AOldPort) {
  const bool sameOrigin =
      SameText(AOldProtocol, FURI->Protocol) && SameText(AOldHost, FURI->Host) && AOldPort == FURI->Port;
  if (sameOrigin) return;
  TIdHTTPRequest& req = Request();
  req.Username.clear();
  req.Password.clear();
  req.BasicAuthentication = false;
  req.SetAuthentication(nullptr);
  FURI->Username.clear();
  FURI->Password.clear();
  // Lines the caller set for the first origin are its secrets too.
  for (const char* name : {"Authorization", "Cookie", "Proxy-Authorization"})
    while (req.CustomHeaders().IndexOfName(name) >= 0) req.CustomHeaders().SetValue(name, "");
}

void TIdCustomHTTP::PerformRequest(const std::string& AMethod, const std::string& AURL, TStream* ASource,
                                   TStream* AResponseContent, const TIdHTTPIgnoreReplies& AIgnoreReplies) {
  FRedirectCount = 0;
  FAuthRetries = 0;
  FAuthProxyRetries = 0;
  const std::int64_t startPos = AResponseContent ? AResponseContent->Position() : 0;
  TIdHTTPRequest& req = Request();
  TIdHTTPResponse& resp = Response();
  req.URL = AURL;
  req.Method = AMethod;
  req.Source = ASource;
  resp.ContentStream = AResponseContent;
  FSendingBegan = false;
  try {
    bool redirected = false;
    for (std::int32_t round = 0;; ++round) {
      if (round >= kMaxExchangeRounds) throw EIdException(RSHTTPTooManyRounds);
      const std::string oldProtocol = FURI->Protocol, oldHost = FURI->Host, oldPort = FURI->Port;
      ResolveRequestURL();
      if (redirected) DropCredentialsFor(oldProtocol, oldHost, oldPort);
      if (auto* ssl = dynamic_cast<TIdSSLIOHandlerSocketBase*>(IOHandler())) ssl->SetURIToCheck(FURI->URI());
      OpenAndSend(req, resp);
      for (int interim = 0;; ++interim) {
        if (interim >= kMaxInterimHeads) throw EIdHTTPResponseInvalid(RSHTTPTooManyInterimResponses);
        if (FHasPendingHead)
          FHasPendingHead = false;
        else
          FHTTPProto->RetrieveHeaders(FMaxHeaderLines);
        const std::int32_t code = resp.ResponseCode();
        // Interim heads are dropped, their cookies with them.
        if (code / 100 == 1 && code != 101) continue;
        StoreServerCookies(resp);
        break;
      }
      const TIdHTTPWhatsNext next = FHTTPProto->ProcessResponse(AIgnoreReplies);
      if (next == TIdHTTPWhatsNext::wnGoToURL) {
        if (AResponseContent) {
          AResponseContent->SetSize(startPos);
          AResponseContent->SetPosition(startPos);
        }
        FAuthRetries = 0;
        FAuthProxyRetries = 0;
        redirected = true;
        continue;
      }
      if (next == TIdHTTPWhatsNext::wnAuthRequest) {
        // The retry goes where the challenge came from, which after a
        // redirect is not the URL the call started with.
        req.URL = FURI->URI();
        redirected = false;
        continue;
      }
      break;
    }
  } catch (const EIdHTTPProtocolException&) {
    if (!resp.KeepAlive()) DisconnectQuietly();
    throw;
  } catch (...) {
    // After any other failure once bytes were sent, the connection's state
    // is unknown: it is never used again.
    if (FSendingBegan || !resp.KeepAlive()) DisconnectQuietly();
    throw;
  }
  if (!resp.KeepAlive()) Disconnect();
}

// ---------------------------------------------------------------------------
// Verbs

void TIdCustomHTTP::DoRequestText(const std::string& AMethod, const std::string& AURL, TStream* ASource,
                                  std::string& AResult, const TIdHTTPIgnoreReplies& AIgnoreReplies) {
  TMemoryStream body;
  PerformRequest(AMethod, AURL, ASource, &body, AIgnoreReplies);
  AResult = DecodeBodyText(body, ResponseBodyCharset(Response()));
}

void TIdCustomHTTP::Get(const std::string& AURL, TStream* AResponseContent) { Get(AURL, AResponseContent, {}); }

void TIdCustomHTTP::Get(const std::string& AURL, TStream* AResponseContent,
                        const TIdHTTPIgnoreReplies& AIgnoreReplies) {
  PerformRequest(kMethodGet, AURL, nullptr, AResponseContent, AIgnoreReplies);
}

std::string TIdCustomHTTP::Get(const std::string& AURL) { return Get(AURL, TIdHTTPIgnoreReplies{}); }

std::string TIdCustomHTTP::Get(const std::string& AURL, const TIdHTTPIgnoreReplies& AIgnoreReplies) {
  std::string result;
  DoRequestText(kMethodGet, AURL, nullptr, result, AIgnoreReplies);
  return result;
}

void TIdCustomHTTP::Head(const std::string& AURL) { PerformRequest(kMethodHead, AURL, nullptr, nullptr, {}); }

void TIdCustomHTTP::Delete(const std::string& AURL, TStream* AResponseContent) {
  PerformRequest(kMethodDelete, AURL, nullptr, AResponseContent, {});
}

std::string TIdCustomHTTP::Delete(const std::string& AURL) {
  std::string result;
  DoRequestText(kMethodDelete, AURL, nullptr, result);
  return result;
}

std::string TIdCustomHTTP::Delete(const std::string& AURL, const std::string& aBody) {
  TStringStream source(aBody);
  std::string result;
  DoRequestText(kMethodDelete, AURL, &source, result);
  return result;
}

void TIdCustomHTTP::Options(const std::string& AURL, TStream* AResponseContent) {
  PerformRequest(kMethodOptions, AURL, nullptr, AResponseContent, {});
}

std::string TIdCustomHTTP::Options(const std::string& AURL) {
  std::string result;
  DoRequestText(kMethodOptions, AURL, nullptr, result);
  return result;
}

void TIdCustomHTTP::Trace(const std::string& AURL, TStream* AResponseContent) {
  PerformRequest(kMethodTrace, AURL, nullptr, AResponseContent, {});
}

std::string TIdCustomHTTP::Trace(const std::string& AURL) {
  std::string result;
  DoRequestText(kMethodTrace, AURL, nullptr, result);
  return result;
}

void TIdCustomHTTP::Put(const std::string& AURL, TStream* ASource, TStream* AResponseContent) {
  PerformRequest(kMethodPut, AURL, ASource, AResponseContent, {});
}

std::string TIdCustomHTTP::Put(const std::string& AURL, TStream* ASource) {
  std::string result;
  DoRequestText(kMethodPut, AURL, ASource, result);
  return result;
}

void TIdCustomHTTP::Patch(const std::string& AURL, TStream* ASource, TStream* AResponseContent) {
  PerformRequest(kMethodPatch, AURL, ASource, AResponseContent, {});
}

std::string TIdCustomHTTP::Patch(const std::string& AURL, TStream* ASource) {
  std::string result;
  DoRequestText(kMethodPatch, AURL, ASource, result);
  return result;
}

void TIdCustomHTTP::Post(const std::string& AURL, TStream* ASource, TStream* AResponseContent) {
  const TIdHTTPProtocolVersion saved = FProtocolVersion;
  if (!FOptions.Contains(TIdHTTPOption::hoKeepOrigProtocol)) {
    if (Connected()) Disconnect();
    FProtocolVersion = TIdHTTPProtocolVersion::pv1_0;
  }
  TScopeGuard restore([&] { FProtocolVersion = saved; });
  PerformRequest(kMethodPost, AURL, ASource, AResponseContent, {});
}

std::string TIdCustomHTTP::Post(const std::string& AURL, TStream* ASource) {
  TMemoryStream body;
  Post(AURL, ASource, &body);
  return DecodeBodyText(body, ResponseBodyCharset(Response()));
}

void TIdCustomHTTP::Post(const std::string& AURL, const std::string& ASourceFile, TStream* AResponseContent) {
  TFileStream source(ASourceFile, fmOpenRead);
  Post(AURL, &source, AResponseContent);
}

std::string TIdCustomHTTP::Post(const std::string& AURL, const std::string& ASourceFile) {
  TFileStream source(ASourceFile, fmOpenRead);
  return Post(AURL, &source);
}

void TIdCustomHTTP::Post(const std::string& AURL, TStrings* ASource, TStream* AResponseContent,
                         const TIdTextEncoding& AByteEncoding) {
  TIdHTTPRequest& req = Request();
  const std::string media = HTTPMediaType(req.ContentType());
  if (media.empty() || IsHTMLMediaType(media)) req.SetContentType(kFormContentType);
  if (!ASource) {
    Post(AURL, static_cast<TStream*>(nullptr), AResponseContent);
    return;
  }
  const std::string text =
      EncodeFormFields(*ASource, FOptions.Contains(TIdHTTPOption::hoForceEncodeParams), AByteEncoding);
  TMemoryStream body;
  const TIdBytes bytes = detail::EncodingASCII()->GetBytes(text);
  if (!bytes.empty()) body.WriteBuffer(bytes.data(), static_cast<std::int64_t>(bytes.size()));
  Post(AURL, &body, AResponseContent);
}

std::string TIdCustomHTTP::Post(const std::string& AURL, TStrings* ASource, const TIdTextEncoding& AByteEncoding) {
  TMemoryStream result;
  Post(AURL, ASource, &result, AByteEncoding);
  return DecodeBodyText(result, ResponseBodyCharset(Response()));
}
