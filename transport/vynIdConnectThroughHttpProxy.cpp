#include "transport/vynIdConnectThroughHttpProxy.h"

#include <cctype>

#include "transport/vynIdCoderMIME.h"
#include "transport/vynIdHeaderList.h"
#include "transport/vynIdIOHandler.h"
#include "transport/vynIdResourceStringsCore.h"
#include "transport/vynIdTextEncoding.h"

namespace {

// A host goes into the request line as it stands: anything that could end
// the line or the token is refused before a byte is sent.
void CheckHost(const std::string& AHost) {
  bool valid = !AHost.empty();
  for (unsigned char c : AHost)
    if (c <= ' ' || c == 0x7F) valid = false;
  if (!valid) throw EIdHttpProxyError(Format(RSHttpProxyHostInvalid, AHost));
}

// host:port as the request line wants it; an IPv6 literal in brackets, as
// its colons would otherwise run into the port's.
std::string Authority(const std::string& AHost, std::uint16_t APort) {
  const bool ipv6 = AHost.front() != '[' && AHost.find(':') != std::string::npos;
  return (ipv6 ? "[" + AHost + "]" : AHost) + ":" + std::to_string(APort);
}

// A status line's code: its second space-separated token, three digits. A
// line without one is no HTTP answer; -1.
int StatusCode(const std::string& AStatus) {
  std::size_t start = AStatus.find(' ');
  if (start == std::string::npos) return -1;
  start = AStatus.find_first_not_of(' ', start);
  if (start == std::string::npos) return -1;
  std::size_t end = AStatus.find(' ', start);
  const std::string token = AStatus.substr(start, end == std::string::npos ? std::string::npos : end - start);
  if (token.size() != 3) return -1;
  for (char c : token)
    if (!std::isdigit(static_cast<unsigned char>(c))) return -1;
  return std::stoi(token);
}

// A line of the answer; a proxy silent past the read time-out is an error,
// never an empty line.
std::string ReadAnswerLine(TIdIOHandler* AIOHandler) {
  std::string line = AIOHandler->ReadLn();
  if (AIOHandler->ReadLnTimedOut()) throw EIdReadTimeout();
  return line;
}

// The body length of an answer whose connection is to be used again; -1
// when it cannot be known or is too large to skip.
std::int64_t SkippableBodyLength(const TIdHeaderList& AHeaders) {
  if (!AHeaders.Values("Transfer-Encoding").empty()) return -1;
  const std::string text = Trim(AHeaders.Values("Content-Length"));
  if (text.empty() || text.size() > 18) return -1;
  for (char c : text)
    if (!std::isdigit(static_cast<unsigned char>(c))) return -1;
  const std::int64_t length = std::stoll(text);
  return length <= TIdConnectThroughHttpProxy::kMaxSkippedBody ? length : -1;
}

}  // namespace

TIdConnectThroughHttpProxy::TIdConnectThroughHttpProxy(TComponent* AOwner) : TIdCustomTransparentProxy(AOwner) {}

TIdConnectThroughHttpProxy::~TIdConnectThroughHttpProxy() = default;

void TIdConnectThroughHttpProxy::Assign(const TPersistent& ASource) {
  TIdCustomTransparentProxy::Assign(ASource);
  // A copy that the handler makes must tunnel like the original.
  if (const auto* source = dynamic_cast<const TIdConnectThroughHttpProxy*>(&ASource)) FEnabled = source->FEnabled;
}

std::unique_ptr<TIdCustomTransparentProxy> TIdConnectThroughHttpProxy::MakeOfSameClass() const {
  return std::make_unique<TIdConnectThroughHttpProxy>();
}

void TIdConnectThroughHttpProxy::OpenTunnel(TIdIOHandler* AIOHandler, const std::string& AHost, std::uint16_t APort,
                                            TIdIPVersion AIPVersion) {
  SendConnectRequest(AIOHandler, AHost, APort, AIPVersion, FAuthorizationRequired);
}

void TIdConnectThroughHttpProxy::SendConnectRequest(TIdIOHandler* AIOHandler, const std::string& AHost,
                                                    std::uint16_t APort, TIdIPVersion AIPVersion, bool ALogin) {
  CheckHost(AHost);
  AIOHandler->WriteBufferOpen();
  try {
    AIOHandler->WriteLn("CONNECT " + Authority(AHost, APort) + " HTTP/1.0");
    if (ALogin)
      AIOHandler->WriteLn("Proxy-Authorization: Basic " +
                          TIdEncoderMIME::EncodeString(FUsername + ":" + FPassword, detail::EncodingUTF8()));
    AIOHandler->WriteLn();
    AIOHandler->WriteBufferClose();
  } catch (...) {
    AIOHandler->WriteBufferCancel();
    throw;
  }

  // An empty, silent or unreadable answer never counts as an open tunnel:
  // the stream that follows would not be the destination's.
  const std::string status = ReadAnswerLine(AIOHandler);
  if (Trim(status).empty()) throw EIdHttpProxyError(RSHttpProxyEmptyStatus);
  TIdHeaderList headers(TIdHeaderQuotingType::QuoteHTTP);
  for (int count = 0;; ++count) {
    std::string line = ReadAnswerLine(AIOHandler);
    if (line.empty()) break;
    if (count >= kMaxHeaderLines) throw EIdHttpProxyError(RSHttpProxyTooManyHeaders);
    headers.Add(line);
  }
  const int code = StatusCode(status);
  // A body sent with a success belongs to no one: the tunnel starts right
  // after the empty line.
  if (code == 200) return;

  if (code == 407 && !ALogin && (!FUsername.empty() || !FPassword.empty())) {
    const bool close = SameText(Trim(headers.Values("Proxy-Connection")), "close") ||
                       SameText(Trim(headers.Values("Connection")), "close");
    const std::int64_t body = close ? -1 : SkippableBodyLength(headers);
    if (body >= 0) {
      AIOHandler->Discard(body);
      SendConnectRequest(AIOHandler, AHost, APort, AIPVersion, true);
      return;
    }
    // Reopening reconnects to the proxy and runs the request again, now
    // with the login.
    AIOHandler->Close();
    FAuthorizationRequired = true;
    try {
      AIOHandler->Open();
    } catch (...) {
      FAuthorizationRequired = false;
      throw;
    }
    FAuthorizationRequired = false;
    FReopenedByTunnel = true;
    return;
  }
  throw EIdHttpProxyError(status);
}
