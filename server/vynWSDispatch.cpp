#include "server/vynWSDispatch.h"

#include <cctype>
#include <random>

#include "server/vynWSMatch.h"

namespace detail {

namespace {

constexpr std::string_view kWebSocketToken = "websocket";
constexpr std::string_view kUpgradeToken = "upgrade";
constexpr std::string_view kEventStreamType = "text/event-stream";

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

bool SameTextView(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  return true;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// %XX becomes its byte, everything else stays: bytes in, bytes out, so
// credentials compare as sent whatever their encoding.
std::string PercentDecode(std::string_view aText) {
  std::string out;
  out.reserve(aText.size());
  for (std::size_t i = 0; i < aText.size(); ++i) {
    if (aText[i] == '%' && i + 2 < aText.size()) {
      const int hi = HexValue(aText[i + 1]), lo = HexValue(aText[i + 2]);
      if (hi >= 0 && lo >= 0) {
        out.push_back(static_cast<char>(hi * 16 + lo));
        i += 2;
        continue;
      }
    }
    out.push_back(aText[i]);
  }
  return out;
}

// A message that is already an event-stream field goes out as it is.
bool StartsWithField(std::string_view aMessage) {
  for (std::string_view field : {"data:", "retry:", "event:", "id:"})
    if (aMessage.substr(0, field.size()) == field) return true;
  return false;
}

}  // namespace

TGatheredRequest::TGatheredRequest(std::string_view aText) : FText(aText) {
  std::size_t pos = 0;
  while (pos < aText.size()) {
    std::size_t end = aText.find_first_of("\r\n", pos);
    if (end == std::string_view::npos) {
      FLines.push_back(aText.substr(pos));
      break;
    }
    FLines.push_back(aText.substr(pos, end - pos));
    pos = end + 1;
    if (aText[end] == '\r' && pos < aText.size() && aText[pos] == '\n') ++pos;
  }
}

std::string_view TGatheredRequest::RequestLine() const {
  return WildcardMatch(FirstLine(), "GET *") ? FirstLine() : std::string_view();
}

std::string_view TGatheredRequest::PostLine() const {
  return WildcardMatch(FirstLine(), "POST *") ? FirstLine() : std::string_view();
}

bool TGatheredRequest::IsHTTP1() const { return WildcardMatch(FirstLine(), "*HTTP/1.*"); }

bool TGatheredRequest::AnyLineContains(std::string_view aSub) const {
  for (std::string_view line : FLines)
    if (ContainsText(line, aSub)) return true;
  return false;
}

bool TGatheredRequest::AnyLineMatches(std::string_view aPattern) const {
  for (std::string_view line : FLines)
    if (WildcardMatch(line, aPattern)) return true;
  return false;
}

std::string_view TGatheredRequest::PairValue(std::string_view aName) const {
  for (std::string_view line : FLines) {
    const std::size_t eq = line.find('=');
    if (eq != std::string_view::npos && WildcardMatch(line.substr(0, eq), aName)) return line.substr(eq + 1);
  }
  return {};
}

std::string TGatheredRequest::HeaderValues(std::string_view aName) const {
  std::string out;
  for (std::size_t i = 1; i < FLines.size() && !FLines[i].empty(); ++i) {
    const std::string_view line = FLines[i];
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos || !SameTextView(line.substr(0, colon), aName)) continue;
    if (!out.empty()) out.append(", ");
    out.append(TrimBlanks(line.substr(colon + 1)));
  }
  return out;
}

bool ListHasToken(std::string_view aList, std::string_view aToken) {
  std::size_t pos = 0;
  while (pos <= aList.size()) {
    std::size_t comma = aList.find(',', pos);
    if (comma == std::string_view::npos) comma = aList.size();
    std::string_view element = aList.substr(pos, comma - pos);
    element = TrimBlanks(element.substr(0, element.find(';')));
    if (SameTextView(element, aToken)) return true;
    pos = comma + 1;
  }
  return false;
}

bool TGatheredRequest::IsWebSocketUpgrade() const {
  // The request's own fields, as parsed: a value that merely mentions an
  // upgrade, or a later pipelined request, does not make one.
  return IsHTTP1() && !RequestLine().empty() && ListHasToken(HeaderValues("Upgrade"), kWebSocketToken) &&
         ListHasToken(HeaderValues("Connection"), kUpgradeToken);
}

bool TGatheredRequest::IsSessionRequest() const { return ContainsText(RequestLine(), kSessionRequestPath); }

bool TGatheredRequest::IsPost(std::string_view aPath) const {
  if (WildcardMatch(PostLine(), std::string("POST ").append(aPath).append("*"))) return true;
  // Requests that arrive over HTTP/2 are gathered as name=value pairs.
  return FirstLine() == ":method=POST" && WildcardMatch(PairValue(":path"), std::string("*").append(aPath).append("*"));
}

bool TGatheredRequest::IsMessagePost() const { return IsPost(kMessagePostPath); }

bool TGatheredRequest::IsProtocolPost() const { return IsPost(kProtocolPostPath); }

bool TGatheredRequest::IsFlashPolicyRequest() const {
  // A Flash player ends its request with a NUL instead of a line break.
  std::string_view first = FirstLine();
  if (!first.empty() && first.back() == '\0') first.remove_suffix(1);
  return first == kFlashPolicyRequest;
}

bool TGatheredRequest::IsEventStream() const {
  // Only a client that asks for nothing but an event stream gets one.
  const std::string accept = HeaderValues("Accept");
  return IsHTTP1() && SameTextView(TrimBlanks(std::string_view(accept).substr(0, accept.find(';'))), kEventStreamType);
}

bool TGatheredRequest::IsHTTP2Preface() const { return FText.substr(0, kHTTP2Preface.size()) == kHTTP2Preface; }

std::string BuiltinRequestLine(std::string_view aFirstLine) {
  if (WildcardMatch(aFirstLine, "GET *")) return std::string(aFirstLine);
  // A HEAD asks for what the GET would get, without its body.
  if (WildcardMatch(aFirstLine, "HEAD *")) return "GET" + std::string(aFirstLine.substr(4));
  return {};
}

TwsRequestKind ClassifyRequest(std::string_view aGathered, const TClassifyOptions& aOptions) {
  const TGatheredRequest request(aGathered);
  if (request.IsWebSocketUpgrade()) return TwsRequestKind::rkWebSocketUpgrade;
  if (aOptions.AuthenticationEnabled && aOptions.SessionEnabled && request.IsSessionRequest())
    return TwsRequestKind::rkSessionRequest;
  if (request.IsMessagePost()) return TwsRequestKind::rkMessagePost;
  if (request.IsProtocolPost()) return TwsRequestKind::rkProtocolPost;
  if (aOptions.SSL && aOptions.AuthenticationEnabled && aOptions.OAuth2Server && request.IsHTTP1())
    return TwsRequestKind::rkOAuth2;
  if (aOptions.HTTP2Enabled && request.IsHTTP2Preface()) return TwsRequestKind::rkHTTP2Preface;
  if (const std::string line = BuiltinRequestLine(request.FirstLine());
      !line.empty() && BuiltinFileAnswer(line, aOptions.BuiltinFiles).Answered)
    return TwsRequestKind::rkBuiltinFile;
  if (request.IsFlashPolicyRequest()) return TwsRequestKind::rkFlashPolicy;
  if (request.IsEventStream()) return TwsRequestKind::rkEventStream;
  if (request.IsHTTP1()) return TwsRequestKind::rkHTTP;
  return TwsRequestKind::rkOther;
}

const char* RequestKindName(TwsRequestKind aKind) {
  switch (aKind) {
    case TwsRequestKind::rkWebSocketUpgrade:
      return "rkWebSocketUpgrade";
    case TwsRequestKind::rkSessionRequest:
      return "rkSessionRequest";
    case TwsRequestKind::rkMessagePost:
      return "rkMessagePost";
    case TwsRequestKind::rkProtocolPost:
      return "rkProtocolPost";
    case TwsRequestKind::rkOAuth2:
      return "rkOAuth2";
    case TwsRequestKind::rkHTTP2Preface:
      return "rkHTTP2Preface";
    case TwsRequestKind::rkBuiltinFile:
      return "rkBuiltinFile";
    case TwsRequestKind::rkFlashPolicy:
      return "rkFlashPolicy";
    case TwsRequestKind::rkEventStream:
      return "rkEventStream";
    case TwsRequestKind::rkHTTP:
      return "rkHTTP";
    case TwsRequestKind::rkOther:
      return "rkOther";
  }
  return "?";
}

std::string FlashPolicyAnswer(std::string_view aDomain, std::string_view aPorts) {
  std::string out = "<cross-domain-policy><allow-access-from domain=";
  out.append("\"").append(aDomain).append("\"");
  out.append(" to-ports=");
  out.append("\"").append(aPorts).append("\"");
  out.append(" />");
  out.append("</cross-domain-policy>");
  out.push_back('\0');
  return out;
}

std::string PathElement(std::string_view aRequestLine, std::size_t aIndex) {
  std::string_view path = aRequestLine;
  const std::size_t blank = path.find(' ');
  if (blank == std::string_view::npos) return {};
  path.remove_prefix(blank + 1);
  path = path.substr(0, path.find(' '));
  path = path.substr(0, path.find('?'));
  std::size_t element = 1;
  std::size_t pos = 0;
  for (;;) {
    const std::size_t slash = path.find('/', pos);
    if (element == aIndex) {
      return PercentDecode(path.substr(pos, slash == std::string_view::npos ? path.npos : slash - pos));
    }
    if (slash == std::string_view::npos) return {};
    pos = slash + 1;
    ++element;
  }
}

std::string PostTarget(const TGatheredRequest& aRequest, std::string_view aPrefix) {
  std::string_view path;
  if (!aRequest.PostLine().empty()) {
    path = aRequest.PostLine().substr(5);
    path = path.substr(0, path.find(' '));
  } else {
    path = aRequest.PairValue(":path");
  }
  // The prefix ignoring case, as the classification found it.
  for (std::size_t i = 0; i + aPrefix.size() <= path.size(); ++i) {
    if (WildcardMatch(path.substr(i, aPrefix.size()), aPrefix)) {
      std::string_view rest = path.substr(i + aPrefix.size());
      return std::string(rest.substr(0, rest.find('?')));
    }
  }
  return {};
}

std::string NewSessionId() {
  static constexpr char kHex[] = "0123456789abcdef";
  std::random_device source;
  std::string id;
  id.reserve(32);
  while (id.size() < 32) {
    std::uint32_t word = source();
    for (int i = 0; i < 8 && id.size() < 32; ++i, word >>= 4) id.push_back(kHex[word & 15]);
  }
  return id;
}

std::string EventStreamAnswer(std::string_view aMessage) {
  std::string out =
      "HTTP/1.1 200 OK\r\n"
      "Content-Type: text/event-stream\r\n"
      "Cache-Control: no-cache, no-store, max-age=0, must-revalidate\r\n"
      "Expires: Fri, 01 Jan 1990 00:00:00 GMT\r\n"
      "Pragma: no-cache\r\n"
      "Connection: close\r\n"
      "\r\n";
  const bool field = StartsWithField(aMessage);
  if (!field) out.append("data: ");
  out.append(aMessage).append("\r\n");
  return out;
}

}  // namespace detail
