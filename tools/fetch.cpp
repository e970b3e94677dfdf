// bin/fetch's request: one exchange on the HTTP client component, the body
// (and with -i every response head) to the output.
#include "tools/fetch.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <string_view>

#include "http_api/vynHTTP_Client.h"
#include "platform/Classes.h"
#include "platform/SysUtils.h"
#include "tools/timed_http.h"
#include "transport/vynIdURI.h"

namespace fetch {

namespace {

constexpr const char* kPrefix = "fetch: ";
constexpr const char* kFormContentType = "application/x-www-form-urlencoded";
constexpr const char* kErrorBodySeparator = ". ";
constexpr const char* kTooManyRedirects = "too many redirects (%d); the last pointed to %s";
constexpr const char* kComputedHeader = "-H %s: the client writes this header itself from the body";
constexpr const char* kBadProxyPort = "--proxy: '%s' is not a port";
constexpr const char* kWriteFailed = "cannot write the output";
constexpr const char* kMaxTimeExceeded = "the transfer took longer than --max-time %s seconds";
constexpr const char* kTimeUp = "the time is up";
constexpr const char* kCannotTakeBack = "the body cannot be taken back: it was already written";
constexpr const char* kCutMark = " [...]";
constexpr int kErrorStatus = 400;
// How much of an error body the message quotes: enough for a JSON error or a
// sentence of HTML, not a page.
constexpr std::size_t kErrorExcerpt = 1024;

// An error status: the status line and the body.
class HTTPStatusError : public Exception {
public:
  using Exception::Exception;
};

std::string Trim(std::string_view s) {
  const std::size_t b = s.find_first_not_of(" \t");
  if (b == std::string_view::npos) return {};
  const std::size_t e = s.find_last_not_of(" \t");
  return std::string(s.substr(b, e - b + 1));
}

// A header the request record writes from a field of its own: setting the
// field keeps the header single (a second copy from the custom lines would
// leave the server to pick one).
bool SetRecordField(TIdHTTPRequest& r, const std::string& aName, const std::string& aValue) {
  struct Field {
    const char* Name;
    std::string TIdHTTPRequest::*Member;
  };
  static const Field fields[] = {
      {"Accept", &TIdHTTPRequest::Accept},
      {"Accept-Charset", &TIdHTTPRequest::AcceptCharSet},
      {"Accept-Encoding", &TIdHTTPRequest::AcceptEncoding},
      {"Accept-Language", &TIdHTTPRequest::AcceptLanguage},
      {"From", &TIdHTTPRequest::From},
      {"Referer", &TIdHTTPRequest::Referer},
      {"User-Agent", &TIdHTTPRequest::UserAgent},
      {"Connection", &TIdHTTPRequest::Connection},
      {"Cache-Control", &TIdHTTPRequest::CacheControl},
      {"Pragma", &TIdHTTPRequest::Pragma},
      {"Content-Encoding", &TIdHTTPRequest::ContentEncoding},
      {"Content-Language", &TIdHTTPRequest::ContentLanguage},
      {"Content-Disposition", &TIdHTTPRequest::ContentDisposition},
      {"Proxy-Connection", &TIdHTTPRequest::ProxyConnection},
  };
  for (const Field& f : fields) {
    if (!SameText(aName, f.Name)) continue;
    r.*f.Member = aValue;
    return true;
  }
  if (SameText(aName, "Content-Type")) {
    r.SetContentType(aValue);
    return true;
  }
  if (SameText(aName, "Range")) {
    r.SetRange(aValue);
    return true;
  }
  // The body decides its length and framing; a second, typed value would
  // contradict it.
  if (SameText(aName, "Content-Length") || SameText(aName, "Transfer-Encoding"))
    throw Exception(Format(kComputedHeader, aName));
  return false;
}

void ApplyProxy(TIdHTTP& aHTTP, const std::string& aProxy) {
  TIdURI u(aProxy);
  TIdProxyConnectionInfo& p = aHTTP.ProxyParams();
  p.ProxyServer = u.Host;
  std::int32_t port = 1080;
  if (!u.Port.empty() && !TryStrToInt(u.Port, port)) throw Exception(Format(kBadProxyPort, u.Port));
  p.ProxyPort = port;
  if (!u.Username.empty()) {
    p.ProxyUsername = TIdURI::URLDecode(u.Username);
    p.ProxyPassword = TIdURI::URLDecode(u.Password);
    p.BasicAuthentication = true;
  }
}

// The stack joins the parts of some messages with line breaks ("Socket
// Error # 111" CR LF "Connection refused."); one line reads better here.
std::string OneLine(std::string aMessage) {
  for (std::size_t at = aMessage.find_first_of("\r\n"); at != std::string::npos;
       at = aMessage.find_first_of("\r\n", at)) {
    const std::size_t end = aMessage.find_first_not_of("\r\n", at);
    aMessage.replace(at, (end == std::string::npos ? aMessage.size() : end) - at, " ");
  }
  return aMessage;
}

using timed::Deadline;

// Where the response bodies go as they arrive: a success body straight to
// the output (after the heads asked for with -i), an error body into a short
// excerpt for the message. Nothing is held but the excerpt, whatever the size.
class BodySink : public TStream {
public:
  BodySink(std::FILE* aOut, const Deadline& aDeadline) : FOut(aOut), FDeadline(aDeadline) {}

  // A new head: its body goes to the output unless its status is an error.
  void BeginResponse(bool aError, std::string aHead) {
    FError = aError;
    FExcerpt.clear();
    FCut = false;
    FHeads += aHead;
  }
  // The excerpt of an error body, marked when there was more.
  std::string Excerpt() const {
    std::string out = FExcerpt;
    if (FCut) {
      // Not in the middle of a UTF-8 sequence.
      while (!out.empty() && (static_cast<unsigned char>(out.back()) & 0xC0) == 0x80) out.pop_back();
      if (!out.empty() && (static_cast<unsigned char>(out.back()) & 0xC0) == 0xC0) out.pop_back();
      out += kCutMark;
    }
    return out;
  }
  // The heads not yet written (all of them for a body-less answer).
  void Finish() { FlushHeads(); }

  std::int64_t Read(void*, std::int64_t) override { return 0; }
  std::int64_t Write(const void* aBuffer, std::int64_t aCount) override {
    if (FDeadline.Passed()) throw Exception(kTimeUp);
    const auto* bytes = static_cast<const char*>(aBuffer);
    const auto count = static_cast<std::size_t>(aCount);
    if (FError) {
      const std::size_t room = kErrorExcerpt - std::min(kErrorExcerpt, FExcerpt.size());
      FExcerpt.append(bytes, std::min(room, count));
      FCut = FCut || count > room;
    } else {
      FlushHeads();
      Put(std::string_view(bytes, count));
      FWritten += aCount;
    }
    FPosition += aCount;
    return aCount;
  }
  std::int64_t Seek(std::int64_t aOffset, TSeekOrigin aOrigin) override {
    const std::int64_t to = aOrigin == TSeekOrigin::soBeginning ? aOffset : FPosition + aOffset;
    if (to != FPosition) SetSize(to);
    return FPosition;
  }
  std::int64_t Size() override { return FPosition; }
  // The client cuts its stream back when it restarts an exchange; only what
  // never reached the output can go.
  void SetSize(std::int64_t aSize) override {
    if (aSize == FPosition) return;
    if (aSize > FPosition || FWritten > aSize) throw Exception(kCannotTakeBack);
    FPosition = aSize;
    FExcerpt.clear();
  }

private:
  void FlushHeads() {
    Put(FHeads);
    FHeads.clear();
  }
  void Put(std::string_view aData) {
    if (!aData.empty() && std::fwrite(aData.data(), 1, aData.size(), FOut) != aData.size())
      throw Exception(kWriteFailed);
  }

  std::FILE* FOut;
  const Deadline& FDeadline;
  bool FError = false;
  bool FCut = false;
  std::string FExcerpt;
  std::string FHeads;
  std::int64_t FPosition = 0;  // body bytes taken
  std::int64_t FWritten = 0;   // body bytes that reached the output
};

}  // namespace

int Run(const Options& aOptions, std::FILE* aOut, std::FILE* aErr) {
  if (aOptions.Help) {
    std::fputs(kUsage, aOut);
    return 0;
  }
  const Deadline deadline(aOptions.MaxTime);
  try {
    timed::DeadlineHTTP http(deadline, timed::Milliseconds(aOptions.ConnectTimeout));
    TvynIdHTTPTLS_Options& tls = http.TLSOptions();
    // The version is left open: the handshake settles on the highest one
    // both sides support.
    tls.Version = TwsTLSVersions::tlsUndefined;
    tls.VerifyCertificate = !aOptions.Insecure;
    tls.RootCertFile = aOptions.CACert;
    TIdHTTPOptions options = http.HTTPOptions();
    // Every status comes back to be judged here, with its body; a POST keeps
    // HTTP/1.1 as the other verbs do. The body passes through as it is: an
    // HTML or XML charset scan would hold all of it in memory first.
    options.Include(TIdHTTPOption::hoNoProtocolErrorException);
    options.Include(TIdHTTPOption::hoWantProtocolErrorContent);
    options.Include(TIdHTTPOption::hoKeepOrigProtocol);
    options.Include(TIdHTTPOption::hoNoParseMetaHTTPEquiv);
    options.Include(TIdHTTPOption::hoNoParseXmlCharset);
    http.SetHTTPOptions(options);
    http.SetHandleRedirects(aOptions.FollowRedirects);
    if (!aOptions.Proxy.empty()) ApplyProxy(http, aOptions.Proxy);

    TIdHTTPRequest& request = http.Request();
    bool typedContentType = false;
    for (const std::string& line : aOptions.Headers) {
      const std::size_t colon = line.find(':');
      const std::string name = line.substr(0, colon);
      const std::string value = Trim(std::string_view(line).substr(colon + 1));
      typedContentType = typedContentType || SameText(name, "Content-Type");
      if (!SetRecordField(request, name, value)) request.CustomHeaders().Add(name + ": " + value);
    }
    if (aOptions.HasBody && !typedContentType) request.SetContentType(kFormContentType);

    BodySink sink(aOut, deadline);
    http.OnHeadersAvailable = [&](TComponent*, TIdHeaderList& AHeaders, bool&) {
      if (deadline.Passed()) throw Exception(kTimeUp);
      std::string head;
      if (aOptions.IncludeHead) {
        head += http.ResponseText() + "\r\n";
        for (int i = 0; i < AHeaders.Count(); ++i) head += AHeaders[i] + "\r\n";
        head += "\r\n";
      }
      sink.BeginResponse(http.ResponseCode() >= kErrorStatus, std::move(head));
    };
    TStringStream body(aOptions.Body);
    http.PerformRequest(aOptions.EffectiveMethod(), aOptions.URL, aOptions.HasBody ? &body : nullptr, &sink, {});

    const std::int32_t code = http.ResponseCode();
    if (code >= kErrorStatus) {
      std::string message = http.ResponseText();
      const std::string excerpt = sink.Excerpt();
      if (!excerpt.empty()) message += kErrorBodySeparator + excerpt;
      throw HTTPStatusError(message);
    }
    if (aOptions.FollowRedirects && code >= 300 && code < 400 && !http.Response().Location.empty() &&
        http.RedirectCount() >= http.RedirectMaximum())
      throw Exception(Format(kTooManyRedirects, http.RedirectCount(), http.Response().Location));
    sink.Finish();
    if (std::fflush(aOut) != 0) throw Exception(kWriteFailed);
    return 0;
  } catch (const HTTPStatusError& e) {
    // The body as the server sent it.
    std::fprintf(aErr, "%s%s\n", kPrefix, e.Message().c_str());
  } catch (const std::exception& e) {
    // Whatever broke off the transfer once the time was up, the limit is
    // the reason.
    const std::string message = deadline.Passed(std::chrono::milliseconds(20))
                                    ? Format(kMaxTimeExceeded, FloatToStr(aOptions.MaxTime))
                                    : OneLine(e.what());
    std::fprintf(aErr, "%s%s\n", kPrefix, message.c_str());
  }
  std::fflush(aOut);
  return 1;
}

int Main(const std::vector<std::string>& aArgs, std::FILE* aOut, std::FILE* aErr) {
  Options options;
  try {
    options = ParseArgs(aArgs);
  } catch (const Exception& e) {
    std::fprintf(aErr, "%s%s\n%s", kPrefix, e.Message().c_str(), kUsage);
    return 1;
  }
  return Run(options, aOut, aErr);
}

}  // namespace fetch
