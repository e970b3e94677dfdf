#include "transport/vynIdHTTPHeaderInfo.h"

#include <limits>
#include <mutex>

#include "platform/SysUtils.h"
#include "transport/vynIdAuthentication.h"
#include "transport/vynIdInternetDate.h"

namespace {

std::mutex gUserAgentLock;
std::string gUserAgent = kIdDefaultUserAgent;

// Decimal digits only (no sign, no hexadecimal), -1 for anything else or a
// number too large for 64 bits.
std::int64_t DigitsToInt64(std::string_view aText) {
  const std::string s = Trim(aText);
  if (s.empty()) return -1;
  std::int64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return -1;
    if (v > (std::numeric_limits<std::int64_t>::max() - (c - '0')) / 10) return -1;
    v = v * 10 + (c - '0');
  }
  return v;
}

// An optional sign and decimal digits; false for anything else.
bool SignedDigits(std::string_view aText, std::int64_t& aValue) {
  std::string s = Trim(aText);
  bool negative = false;
  if (!s.empty() && (s[0] == '-' || s[0] == '+')) {
    negative = s[0] == '-';
    s.erase(0, 1);
  }
  const std::int64_t v = DigitsToInt64(s);
  if (v < 0 || s.empty() || (s[0] == ' ')) return false;
  aValue = negative ? -v : v;
  return true;
}

}  // namespace

bool IdParseHexDigits(std::string_view AText, std::int64_t& VValue) {
  if (AText.empty()) return false;
  std::uint64_t v = 0;
  for (char c : AText) {
    int d;
    if (c >= '0' && c <= '9')
      d = c - '0';
    else if (c >= 'a' && c <= 'f')
      d = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
      d = c - 'A' + 10;
    else
      return false;
    if (v > (static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) >> 4)) return false;
    v = (v << 4) | static_cast<std::uint64_t>(d);
  }
  VValue = static_cast<std::int64_t>(v);
  return true;
}

std::string GetDefaultUserAgent() {
  std::lock_guard<std::mutex> lock(gUserAgentLock);
  return gUserAgent;
}

void SetDefaultUserAgent(std::string AValue) {
  std::lock_guard<std::mutex> lock(gUserAgentLock);
  gUserAgent = std::move(AValue);
}

// ---------------------------------------------------------------------------
// Ranges

std::string TIdEntityRange::Text() const {
  if (StartPos >= 0)
    return EndPos >= 0 ? std::to_string(StartPos) + "-" + std::to_string(EndPos) : std::to_string(StartPos) + "-";
  if (SuffixLength >= 0) return "-" + std::to_string(SuffixLength);
  return {};
}

void TIdEntityRange::SetText(std::string_view AValue) {
  StartPos = EndPos = SuffixLength = -1;
  const std::string s = Trim(AValue);
  const auto dash = s.find('-');
  if (s.empty() || dash == std::string::npos) return;
  if (dash == 0) {
    SuffixLength = DigitsToInt64(std::string_view(s).substr(1));
    return;
  }
  StartPos = DigitsToInt64(std::string_view(s).substr(0, dash));
  if (StartPos < 0) return;
  std::string_view rest = std::string_view(s).substr(dash + 1);
  rest = rest.substr(0, rest.find(' '));
  EndPos = rest.empty() ? -1 : DigitsToInt64(rest);
}

void TIdEntityRanges::Assign(const TIdEntityRanges& ASource) {
  if (&ASource == this) return;
  FRanges.clear();
  for (const auto& r : ASource.FRanges) FRanges.push_back(std::make_unique<TIdEntityRange>(*r));
  FUnits = ASource.FUnits;
}

TIdEntityRange& TIdEntityRanges::Add() {
  FRanges.push_back(std::make_unique<TIdEntityRange>());
  return *FRanges.back();
}

TIdEntityRange& TIdEntityRanges::Ranges(int AIndex) {
  if (AIndex < 0 || AIndex >= Count()) throw EListError(Format("List index out of bounds (%d)", AIndex));
  return *FRanges[static_cast<std::size_t>(AIndex)];
}

const TIdEntityRange& TIdEntityRanges::Ranges(int AIndex) const {
  return const_cast<TIdEntityRanges*>(this)->Ranges(AIndex);
}

void TIdEntityRanges::SetUnits(std::string_view AValue) {
  FUnits = Trim(AValue);
  if (FUnits.empty()) FUnits = "bytes";
}

std::string TIdEntityRanges::Text() const {
  std::string list;
  for (const auto& r : FRanges) {
    const std::string t = r->Text();
    if (t.empty()) continue;
    if (!list.empty()) list += ',';
    list += t;
  }
  return list.empty() ? std::string() : FUnits + "=" + list;
}

void TIdEntityRanges::SetText(std::string_view AValue) {
  FRanges.clear();
  std::string_view s = AValue;
  const auto eq = s.find('=');
  if (eq != std::string_view::npos) {
    SetUnits(s.substr(0, eq));
    s = s.substr(eq + 1);
  } else {
    FUnits = "bytes";
  }
  std::size_t start = 0;
  for (std::size_t i = 0; i <= s.size(); ++i) {
    if (i < s.size() && s[i] != ',') continue;
    const std::string piece = Trim(s.substr(start, i - start));
    if (!piece.empty()) Add().SetText(piece);
    start = i + 1;
  }
}

// ---------------------------------------------------------------------------
// Entity

TIdEntityHeaderInfo::TIdEntityHeaderInfo(TComponent* AOwner) : FOwner(AOwner) { TIdEntityHeaderInfo::Clear(); }

void TIdEntityHeaderInfo::Assign(const TPersistent& ASource) {
  const auto& s = AssignSource<TIdEntityHeaderInfo>(ASource);
  if (&s == this) return;
  CacheControl = s.CacheControl;
  CharSet = s.CharSet;
  Connection = s.Connection;
  ContentDisposition = s.ContentDisposition;
  ContentEncoding = s.ContentEncoding;
  ContentLanguage = s.ContentLanguage;
  FContentLength = s.FContentLength;
  ContentRangeEnd = s.ContentRangeEnd;
  ContentRangeStart = s.ContentRangeStart;
  ContentRangeInstanceLength = s.ContentRangeInstanceLength;
  ContentRangeUnits = s.ContentRangeUnits;
  FContentType = s.FContentType;
  ContentVersion = s.ContentVersion;
  Date = s.Date;
  Expires = s.Expires;
  ETag = s.ETag;
  LastModified = s.LastModified;
  Pragma = s.Pragma;
  HasContentLength = s.HasContentLength;
  TransferEncoding = s.TransferEncoding;
  FRawHeaders.Assign(s.FRawHeaders);
  FCustomHeaders.Assign(s.FCustomHeaders);
}

void TIdEntityHeaderInfo::Clear() {
  CacheControl.clear();
  CharSet.clear();
  Connection.clear();
  ContentVersion.clear();
  ContentDisposition.clear();
  ContentEncoding.clear();
  ContentLanguage.clear();
  FContentType.clear();
  ContentRangeUnits.clear();
  ETag.clear();
  SetContentLength(-1);
  ContentRangeStart = ContentRangeEnd = ContentRangeInstanceLength = -1;
  Date = Expires = LastModified = 0;
  FRawHeaders.Clear();
}

void TIdEntityHeaderInfo::SetContentLength(std::int64_t AValue) {
  FContentLength = AValue;
  HasContentLength = AValue >= 0;
}

void TIdEntityHeaderInfo::SetContentType(std::string_view AValue) {
  if (Trim(AValue).empty()) {
    FContentType.clear();
    CharSet.clear();
    return;
  }
  // Without parameters there is no charset to take out.
  const bool params = AValue.find(';') != std::string_view::npos;
  const std::string charset =
      params ? ExtractHeaderSubItem(AValue, "charset", TIdHeaderQuotingType::QuoteHTTP) : std::string();
  FContentType = params ? Trim(ReplaceHeaderSubItem(AValue, "charset", "", TIdHeaderQuotingType::QuoteHTTP))
                        : std::string(TrimView(AValue));
  if (!charset.empty()) {
    CharSet = charset;
    return;
  }
  if (!CharSet.empty() || (FOwner && FOwner->IsLoading())) return;
  const std::string media = Trim(std::string_view(FContentType).substr(0, FContentType.find(';')));
  const auto slash = media.find('/');
  if (slash == std::string::npos || !SameText(std::string_view(media).substr(0, slash), "text")) return;
  const std::string_view subtype = std::string_view(media).substr(slash + 1);
  if (SameText(subtype, "xml") || SameText(subtype, "xml-external-parsed-entity") || EndsText("+xml", subtype))
    CharSet = "us-ascii";
  else
    CharSet = "ISO-8859-1";
}

void TIdEntityHeaderInfo::ParseRawHeaders() {
  const TIdHeaderList& h = FRawHeaders;
  CacheControl = h.Values("Cache-control");
  Connection = h.Values("Connection");
  ContentVersion = h.Values("Content-Version");
  ContentDisposition = h.Values("Content-Disposition");
  ContentEncoding = h.Values("Content-Encoding");
  ContentLanguage = h.Values("Content-Language");
  SetContentType(h.Values("Content-Type"));
  SetContentLength(DigitsToInt64(h.Values("Content-Length")));

  // "bytes 0-99/200", "bytes */200", "bytes 0-99/*"
  ContentRangeStart = ContentRangeEnd = ContentRangeInstanceLength = -1;
  ContentRangeUnits.clear();
  const std::string range = h.Values("Content-Range");
  if (!range.empty()) {
    std::string_view s = range;
    const auto space = s.find(' ');
    if (space != std::string_view::npos) {
      ContentRangeUnits = Trim(s.substr(0, space));
      s = s.substr(space + 1);
    }
    const auto slash = s.find('/');
    const std::string_view span = s.substr(0, slash);
    if (slash != std::string_view::npos) ContentRangeInstanceLength = DigitsToInt64(s.substr(slash + 1));
    const auto dash = span.find('-');
    if (dash != std::string_view::npos) {
      ContentRangeStart = DigitsToInt64(span.substr(0, dash));
      ContentRangeEnd = DigitsToInt64(span.substr(dash + 1));
    }
  }

  const int dateLine = h.IndexOfName("Date");
  Date = dateLine < 0 ? Now() : InternetDateToLocal(h.Values("Date"));
  LastModified = InternetDateToLocal(h.Values("Last-Modified"));

  Expires = 0;
  if (h.IndexOfName("Expires") >= 0) {
    const std::string e = h.Values("Expires");
    std::int64_t seconds = 0;
    if (SignedDigits(e, seconds)) {
      Expires = seconds < 0 ? 0 : IncSecond(Now(), seconds);
    } else {
      Expires = InternetDateToLocal(e);
      if (Expires == 0) Expires = IncSecond(Now(), -1);  // unreadable: already expired
    }
  }

  ETag = h.Values("ETag");
  Pragma = h.Values("Pragma");
  TransferEncoding = h.Values("Transfer-Encoding");
}

void TIdEntityHeaderInfo::SetHeaders() {
  TIdHeaderList& h = FRawHeaders;
  h.Clear();
  auto put = [&h](std::string_view name, const std::string& value) {
    if (!value.empty()) h.SetValue(name, value);
  };
  put("Connection", Connection);
  put("Content-Version", ContentVersion);
  put("Content-Disposition", ContentDisposition);
  put("Content-Encoding", ContentEncoding);
  put("Content-Language", ContentLanguage);
  if (!FContentType.empty()) {
    h.SetValue("Content-Type", FContentType);
    if (!CharSet.empty()) h.SetParam("Content-Type", "charset", CharSet);
  }
  if (FContentLength >= 0) h.SetValue("Content-Length", std::to_string(FContentLength));
  put("Cache-control", CacheControl);
  if (Date > 0) h.SetValue("Date", LocalToInternetDate(Date));
  put("ETag", ETag);
  if (Expires > 0) h.SetValue("Expires", LocalToInternetDate(Expires));
  put("Pragma", Pragma);
  put("Transfer-Encoding", TransferEncoding);
  h.AddStrings(FCustomHeaders);
}

// ---------------------------------------------------------------------------
// Request

TIdRequestHeaderInfo::TIdRequestHeaderInfo(TComponent* AOwner) : TIdEntityHeaderInfo(AOwner) {
  TIdRequestHeaderInfo::Clear();
}

TIdRequestHeaderInfo::~TIdRequestHeaderInfo() = default;

void TIdRequestHeaderInfo::SetAuthentication(std::unique_ptr<TIdAuthentication> AValue) {
  FAuthentication = std::move(AValue);
}

void TIdRequestHeaderInfo::Assign(const TPersistent& ASource) {
  TIdEntityHeaderInfo::Assign(ASource);
  const auto* s = dynamic_cast<const TIdRequestHeaderInfo*>(&ASource);
  if (!s || s == this) return;
  Accept = s->Accept;
  AcceptCharSet = s->AcceptCharSet;
  AcceptEncoding = s->AcceptEncoding;
  AcceptLanguage = s->AcceptLanguage;
  Expect = s->Expect;
  From = s->From;
  Password = s->Password;
  Referer = s->Referer;
  UserAgent = s->UserAgent;
  Username = s->Username;
  Host = s->Host;
  ProxyConnection = s->ProxyConnection;
  FRanges = s->FRanges;
  BasicAuthentication = s->BasicAuthentication;
  MethodOverride = s->MethodOverride;
}

void TIdRequestHeaderInfo::Clear() {
  Accept = kIdDefaultAccept;
  AcceptCharSet.clear();
  UserAgent = GetDefaultUserAgent();
  BasicAuthentication = false;
  FRanges.Clear();
  MethodOverride.clear();
  TIdEntityHeaderInfo::Clear();
}

void TIdRequestHeaderInfo::ParseRawHeaders() {
  TIdEntityHeaderInfo::ParseRawHeaders();
  const TIdHeaderList& h = FRawHeaders;
  Accept = h.Values("Accept");
  AcceptCharSet = h.Values("Accept-Charset");
  AcceptEncoding = h.Values("Accept-Encoding");
  AcceptLanguage = h.Values("Accept-Language");
  Host = h.Values("Host");
  From = h.Values("From");
  Referer = h.Values("Referer");
  UserAgent = h.Values("User-Agent");
  FRanges.SetText(h.Values("Range"));
  MethodOverride = h.Values("X-HTTP-Method-Override");
}

void TIdRequestHeaderInfo::SetHeaders() {
  TIdEntityHeaderInfo::SetHeaders();
  TIdHeaderList& h = FRawHeaders;
  auto put = [&h](std::string_view name, const std::string& value) {
    if (!value.empty()) h.SetValue(name, value);
  };
  put("Proxy-Connection", ProxyConnection);
  put("Host", Host);
  put("Accept", Accept);
  put("Accept-Charset", AcceptCharSet);
  put("Accept-Encoding", AcceptEncoding);
  put("Accept-Language", AcceptLanguage);
  put("From", From);
  put("Referer", Referer);
  put("User-Agent", UserAgent);
  put("Range", FRanges.Text());
  if (LastModified > 0) h.SetValue("If-Modified-Since", LocalToInternetDate(LastModified));
  if (!FAuthentication && BasicAuthentication) {
    FAuthentication = std::make_unique<TIdBasicAuthentication>();
    FAuthentication->SetUsername(Username);
    FAuthentication->SetPassword(Password);
  }
  if (FAuthentication) put("Authorization", FAuthentication->Authentication());
  put("X-HTTP-Method-Override", MethodOverride);
}

// ---------------------------------------------------------------------------
// Response

TIdResponseHeaderInfo::TIdResponseHeaderInfo(TComponent* AOwner) : TIdEntityHeaderInfo(AOwner) {
  TIdResponseHeaderInfo::Clear();
}

void TIdResponseHeaderInfo::Assign(const TPersistent& ASource) {
  TIdEntityHeaderInfo::Assign(ASource);
  const auto* s = dynamic_cast<const TIdResponseHeaderInfo*>(&ASource);
  if (!s || s == this) return;
  AcceptPatch = s->AcceptPatch;
  AcceptRanges = s->AcceptRanges;
  Location = s->Location;
  Server = s->Server;
  ProxyConnection = s->ProxyConnection;
  FProxyAuthenticate.Assign(s->FProxyAuthenticate);
  FWWWAuthenticate.Assign(s->FWWWAuthenticate);
}

void TIdResponseHeaderInfo::Clear() {
  TIdEntityHeaderInfo::Clear();
  FContentType.clear();
  CharSet.clear();
  Location.clear();
  Server.clear();
  AcceptPatch.clear();
  AcceptRanges.clear();
  FProxyAuthenticate.Clear();
  FWWWAuthenticate.Clear();
}

void TIdResponseHeaderInfo::ParseRawHeaders() {
  TIdEntityHeaderInfo::ParseRawHeaders();
  const TIdHeaderList& h = FRawHeaders;
  Location = h.Values("Location");
  Server = h.Values("Server");
  ProxyConnection = h.Values("Proxy-Connection");
  FWWWAuthenticate.Clear();
  h.Extract("WWW-Authenticate", FWWWAuthenticate);
  FProxyAuthenticate.Clear();
  h.Extract("Proxy-Authenticate", FProxyAuthenticate);
  AcceptPatch = h.Values("Accept-Patch");
  AcceptRanges = h.Values("Accept-Ranges");
}

void TIdResponseHeaderInfo::SetHeaders() {
  TIdEntityHeaderInfo::SetHeaders();
  TIdHeaderList& h = FRawHeaders;
  if (HasContentRange() || HasContentRangeInstance()) {
    std::string v = ContentRangeUnits.empty() ? std::string("bytes") : ContentRangeUnits;
    v += ' ';
    v += HasContentRange() ? std::to_string(ContentRangeStart) + "-" + std::to_string(ContentRangeEnd) : "*";
    v += '/';
    v += HasContentRangeInstance() ? std::to_string(ContentRangeInstanceLength) : "*";
    h.SetValue("Content-Range", v);
  }
  if (!AcceptPatch.empty()) h.SetValue("Accept-Patch", AcceptPatch);
  if (!AcceptRanges.empty()) h.SetValue("Accept-Ranges", AcceptRanges);
  // Like every other date of the message, written in GMT.
  if (LastModified > 0) h.SetValue("Last-Modified", LocalToInternetDate(LastModified));
}

// ---------------------------------------------------------------------------
// Proxy

TIdProxyConnectionInfo::TIdProxyConnectionInfo() = default;
TIdProxyConnectionInfo::~TIdProxyConnectionInfo() = default;

TIdAuthentication* TIdProxyConnectionInfo::Authentication() {
  if (FAuthentication && (!SameText(FAuthServer, ProxyServer) || FAuthPort != ProxyPort)) FAuthentication.reset();
  return FAuthentication.get();
}

void TIdProxyConnectionInfo::SetAuthentication(std::unique_ptr<TIdAuthentication> AValue) {
  FAuthentication = std::move(AValue);
  FAuthServer = ProxyServer;
  FAuthPort = ProxyPort;
}

void TIdProxyConnectionInfo::SetHeaders(TIdHeaderList& AHeaders) {
  TIdAuthentication* auth = Authentication();
  if (!auth && BasicAuthentication) {
    auto basic = std::make_unique<TIdBasicAuthentication>();
    basic->SetUsername(ProxyUsername);
    basic->SetPassword(ProxyPassword);
    SetAuthentication(std::move(basic));
    auth = FAuthentication.get();
  }
  if (!auth) return;
  std::string value = auth->Authentication();
  if (!value.empty()) AHeaders.SetValue("Proxy-Authorization", value);
}

void TIdProxyConnectionInfo::Assign(const TPersistent& ASource) {
  const auto& s = AssignSource<TIdProxyConnectionInfo>(ASource);
  BasicAuthentication = s.BasicAuthentication;
  ProxyPassword = s.ProxyPassword;
  ProxyPort = s.ProxyPort;
  ProxyServer = s.ProxyServer;
  ProxyUsername = s.ProxyUsername;
}

void TIdProxyConnectionInfo::Clear() {
  ProxyServer.clear();
  ProxyUsername.clear();
  ProxyPassword.clear();
  ProxyPort = 0;
}

// ---------------------------------------------------------------------------
// META elements

namespace {

struct HtmlTag {
  std::string Name;                                             // upper case; "/NAME" for an end tag
  std::vector<std::pair<std::string, std::string>> Attributes;  // names in upper case
};

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f'; }

// Reads the tag that starts at aText[i] == '<'; i ends after its '>'.
HtmlTag ReadTag(const std::string& aText, std::size_t& i) {
  HtmlTag tag;
  const std::size_t n = aText.size();
  ++i;
  std::size_t start = i;
  if (i < n && aText[i] == '/') ++i;
  while (i < n && !IsBlank(aText[i]) && aText[i] != '>' && aText[i] != '/') ++i;
  tag.Name = UpperCase(std::string_view(aText).substr(start, i - start));
  while (i < n && aText[i] != '>') {
    if (IsBlank(aText[i]) || aText[i] == '/') {
      ++i;
      continue;
    }
    start = i;
    while (i < n && !IsBlank(aText[i]) && aText[i] != '=' && aText[i] != '>') ++i;
    std::string name = UpperCase(std::string_view(aText).substr(start, i - start));
    while (i < n && IsBlank(aText[i])) ++i;
    std::string value;
    if (i < n && aText[i] == '=') {
      ++i;
      while (i < n && IsBlank(aText[i])) ++i;
      if (i < n && (aText[i] == '"' || aText[i] == '\'')) {
        const char q = aText[i++];
        start = i;
        while (i < n && aText[i] != q) ++i;
        value = aText.substr(start, i - start);
        if (i < n) ++i;
      } else {
        start = i;
        while (i < n && !IsBlank(aText[i]) && aText[i] != '>') ++i;
        value = aText.substr(start, i - start);
      }
    }
    if (!name.empty()) tag.Attributes.emplace_back(std::move(name), std::move(value));
  }
  if (i < n) ++i;
  return tag;
}

std::string Attribute(const HtmlTag& aTag, std::string_view aName) {
  for (const auto& [name, value] : aTag.Attributes)
    if (name == aName) return value;
  return {};
}

bool HasAttribute(const HtmlTag& aTag, std::string_view aName) {
  for (const auto& a : aTag.Attributes)
    if (a.first == aName) return true;
  return false;
}

// Moves i past the end tag "</aName" (letter case ignored), or to the end.
void SkipToEndTag(const std::string& aText, std::size_t& i, std::string_view aName) {
  // Searched in place: copying the rest of the document per element would
  // make a page of many short elements cost quadratic time.
  for (std::size_t p = aText.find("</", i); p != std::string::npos; p = aText.find("</", p + 2)) {
    if (SameText(std::string_view(aText).substr(p + 2, aName.size()), aName)) {
      i = p;
      ReadTag(aText, i);
      return;
    }
  }
  i = aText.size();
}

}  // namespace

void TIdMetaHTTPEquiv::ProcessMetaHTTPEquiv(TStream& AStream) {
  std::string text;
  AStream.SetPosition(0);
  const std::int64_t size = AStream.Size();
  if (size > 0) {
    text.resize(static_cast<std::size_t>(size));
    text.resize(static_cast<std::size_t>(AStream.Read(text.data(), size)));
  }
  TIdHeaderList lines(TIdHeaderQuotingType::QuoteHTTP);
  std::string charset;
  bool inHead = false;
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lt = text.find('<', i);
    if (lt == std::string::npos) break;
    i = lt;
    if (text.compare(i, 4, "<!--") == 0) {
      const auto end = text.find("-->", i + 4);
      i = end == std::string::npos ? text.size() : end + 3;
      continue;
    }
    if (text.compare(i, 2, "<?") == 0 || text.compare(i, 2, "<!") == 0) {
      const auto end = text.find('>', i);
      i = end == std::string::npos ? text.size() : end + 1;
      continue;
    }
    const HtmlTag tag = ReadTag(text, i);
    if (!inHead) {
      if (tag.Name == "HEAD") inHead = true;
      if (tag.Name == "BODY") break;
      continue;
    }
    if (tag.Name == "BODY" || tag.Name == "/HEAD") break;
    if (tag.Name == "TITLE" || tag.Name == "SCRIPT" || tag.Name == "STYLE") {
      SkipToEndTag(text, i, tag.Name);
    } else if (tag.Name == "META") {
      if (HasAttribute(tag, "CHARSET")) charset = Trim(Attribute(tag, "CHARSET"));
      const std::string name = Trim(Attribute(tag, "HTTP-EQUIV"));
      if (!name.empty()) lines.AddValue(name, Attribute(tag, "CONTENT"));
    }
  }
  if (lines.Count() > 0) {
    FRawHeaders.AddStrings(lines);
    ParseRawHeaders();
  }
  if (!charset.empty()) CharSet = charset;
}
