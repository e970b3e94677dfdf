// bin/fetch's request: one exchange on the HTTP client component, the body
// (and with -i every response head) to the output.
#include "tools/fetch.h"

#include <exception>
#include <string_view>

#include "http_api/vynHTTP_Client.h"
#include "platform/Classes.h"
#include "platform/SysUtils.h"
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
constexpr int kErrorStatus = 400;

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

void Write(std::FILE* aOut, std::string_view aData) {
  if (!aData.empty() && std::fwrite(aData.data(), 1, aData.size(), aOut) != aData.size())
    throw Exception(kWriteFailed);
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

std::string StreamText(TMemoryStream& aStream) {
  return std::string(reinterpret_cast<const char*>(aStream.Memory()), static_cast<std::size_t>(aStream.Size()));
}

}  // namespace

int Run(const Options& aOptions, std::FILE* aOut, std::FILE* aErr) {
  if (aOptions.Help) {
    std::fputs(kUsage, aOut);
    return 0;
  }
  try {
    TvynIdHTTP http;
    TvynIdHTTPTLS_Options& tls = http.TLSOptions();
    // The version is left open: the handshake settles on the highest one
    // both sides support.
    tls.Version = TwsTLSVersions::tlsUndefined;
    tls.VerifyCertificate = !aOptions.Insecure;
    tls.RootCertFile = aOptions.CACert;
    TIdHTTPOptions options = http.HTTPOptions();
    // Every status comes back to be judged here, with its body; a POST keeps
    // HTTP/1.1 as the other verbs do.
    options.Include(TIdHTTPOption::hoNoProtocolErrorException);
    options.Include(TIdHTTPOption::hoWantProtocolErrorContent);
    options.Include(TIdHTTPOption::hoKeepOrigProtocol);
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

    std::string heads;
    if (aOptions.IncludeHead) {
      http.OnHeadersAvailable = [&](TComponent*, TIdHeaderList& AHeaders, bool&) {
        heads += http.ResponseText() + "\r\n";
        for (int i = 0; i < AHeaders.Count(); ++i) heads += AHeaders[i] + "\r\n";
        heads += "\r\n";
      };
    }
    TStringStream body(aOptions.Body);
    TMemoryStream content;
    http.PerformRequest(aOptions.EffectiveMethod(), aOptions.URL, aOptions.HasBody ? &body : nullptr, &content, {});

    const std::int32_t code = http.ResponseCode();
    if (code >= kErrorStatus) {
      std::string message = http.ResponseText();
      if (content.Size() > 0) message += kErrorBodySeparator + StreamText(content);
      throw HTTPStatusError(message);
    }
    if (aOptions.FollowRedirects && code >= 300 && code < 400 && !http.Response().Location.empty() &&
        http.RedirectCount() >= http.RedirectMaximum())
      throw Exception(Format(kTooManyRedirects, http.RedirectCount(), http.Response().Location));
    Write(aOut, heads);
    Write(aOut, StreamText(content));
    if (std::fflush(aOut) != 0) throw Exception(kWriteFailed);
    return 0;
  } catch (const HTTPStatusError& e) {
    // The body as the server sent it.
    std::fprintf(aErr, "%s%s\n", kPrefix, e.Message().c_str());
  } catch (const Exception& e) {
    std::fprintf(aErr, "%s%s\n", kPrefix, OneLine(e.Message()).c_str());
  } catch (const std::exception& e) {
    std::fprintf(aErr, "%s%s\n", kPrefix, OneLine(e.what()).c_str());
  }
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
