#include "server/vynWSForward.h"

#include <array>
#include <memory>

#include "platform/SysUtils.h"
#include "server/vynWSMatch.h"
#include "transport/vynIdHTTP.h"
#include "transport/vynIdSSLOpenSSL.h"

namespace {

constexpr std::string_view kForwardedFor = "X-Forwarded-For";
constexpr std::string_view kForwardedHost = "X-Forwarded-Host";
constexpr char kForwardAnswerTooLarge[] = "Forwarded answer larger than %d bytes";

constexpr std::array<std::string_view, 22> kExcludedHeaders{"Cache-control",
                                                            "Connection",
                                                            "Content-Version",
                                                            "Content-Disposition",
                                                            "Content-Encoding",
                                                            "Content-Language",
                                                            "Content-Type",
                                                            "Content-Length",
                                                            "Content-Range",
                                                            "Date",
                                                            "Last-Modified",
                                                            "Expires",
                                                            "ETag",
                                                            "Pragma",
                                                            "Transfer-Encoding",
                                                            "Location",
                                                            "Server",
                                                            "Proxy-Connection",
                                                            "WWW-Authenticate",
                                                            "Proxy-Authenticate",
                                                            "Accept-Patch",
                                                            "Accept-Ranges"};

// The client names its target itself: a second Host line would make the
// request ambiguous (the original host travels as X-Forwarded-Host).
constexpr std::string_view kHostHeader = "Host";

// Collects the answer's body up to a limit.
class TBoundedMemoryStream : public TMemoryStream {
public:
  explicit TBoundedMemoryStream(std::int64_t aLimit) : FLimit(aLimit) {}
  std::int64_t Write(const void* aBuffer, std::int64_t aCount) override {
    if (FLimit > 0 && Position() + aCount > FLimit) throw EWriteError(Format(kForwardAnswerTooLarge, FLimit));
    return TMemoryStream::Write(aBuffer, aCount);
  }

private:
  std::int64_t FLimit;
};

void CopyHeadersExcept(const TIdHeaderList& aFrom, TIdHeaderList& aTo, bool aSkipHost) {
  for (int i = 0; i < aFrom.Count(); ++i) {
    const std::string name = aFrom.Names(i);
    if (name.empty() || detail::IsForwardExcludedHeader(name)) continue;
    if (aSkipHost && SameText(name, kHostHeader)) continue;
    aTo.Add(aFrom[i]);
  }
}

}  // namespace

void TvynWSForwardTLS_Options::Assign(const TPersistent& aSource) {
  const auto& s = AssignSource<TvynWSForwardTLS_Options>(aSource);
  CertFile = s.CertFile;
  KeyFile = s.KeyFile;
  RootCertFile = s.RootCertFile;
  Password = s.Password;
  VerifyCertificate = s.VerifyCertificate;
}

void TvynWSServerForwardHTTP::Assign(const TPersistent& aSource) {
  const auto& s = AssignSource<TvynWSServerForwardHTTP>(aSource);
  Enabled = s.Enabled;
  URL = s.URL;
  TLSOptions.Assign(s.TLSOptions);
  Document = s.Document;
  ConnectTimeout = s.ConnectTimeout;
  ReadTimeout = s.ReadTimeout;
  MaxResponseSize = s.MaxResponseSize;
}

std::string TvynWSServerForwardHTTP::ForwardURL() const {
  std::string url = URL;
  while (!url.empty() && url.back() == '/') url.pop_back();
  if (Document.empty() || Document.front() != '/') url.push_back('/');
  return url + Document;
}

namespace detail {

bool IsForwardExcludedHeader(std::string_view aName) {
  for (std::string_view excluded : kExcludedHeaders)
    if (SameText(aName, excluded)) return true;
  return false;
}

std::exception_ptr ForwardHTTPRequest(const TvynWSServerForwardHTTP& aForward, TIdHTTPRequestInfo& aRequest,
                                      TIdHTTPResponseInfo& aResponse) {
  TIdHTTP http;
  std::unique_ptr<TIdSSLIOHandlerSocketOpenSSL> tls;
  try {
    std::string url = aForward.ForwardURL();
    if (!aRequest.QueryParams.empty()) url += "?" + aRequest.QueryParams;
    if (StartsText("https:", url)) {
      tls = std::make_unique<TIdSSLIOHandlerSocketOpenSSL>();
      tls->SetPassThrough(false);
      TIdSSLOptions& ssl = tls->SSLOptions();
      ssl.Mode = TIdSSLMode::sslmClient;
      // The forward options name no version: negotiate, as the handler's own
      // default (TLS 1.0 alone) is refused by today's servers.
      ssl.SetMethod(detail::SSLVersionOf(TwsTLSVersions::tlsUndefined));
      ssl.RootCertFile = aForward.TLSOptions.RootCertFile;
      ssl.CertFile = aForward.TLSOptions.CertFile;
      ssl.KeyFile = aForward.TLSOptions.KeyFile;
      ssl.VerifyMode = aForward.TLSOptions.VerifyCertificate ? TIdSSLVerifyModeSet{TIdSSLVerifyMode::sslvrfPeer}
                                                             : TIdSSLVerifyModeSet{};
      const std::string password = aForward.TLSOptions.Password;
      tls->OnGetPassword = [password](std::string& aPassword) { aPassword = password; };
      http.SetIOHandler(tls.get());
    }
    http.SetConnectTimeout(aForward.ConnectTimeout);
    http.SetReadTimeout(aForward.ReadTimeout);
    // The upstream's statuses, redirects and challenges go back to the
    // client as they are.
    TIdHTTPOptions options = http.HTTPOptions();
    options.Include(TIdHTTPOption::hoNoProtocolErrorException);
    options.Include(TIdHTTPOption::hoWantProtocolErrorContent);
    http.SetHTTPOptions(options);
    http.SetHandleRedirects(false);
    http.SetAllowCookies(false);

    TIdHTTPRequest& out = http.Request();
    CopyHeadersExcept(aRequest.RawHeaders(), out.CustomHeaders(), true);
    out.CustomHeaders().Add(std::string(kForwardedFor) + ": " + aRequest.RemoteIP);
    out.CustomHeaders().Add(std::string(kForwardedHost) + ": " + aRequest.Host);
    if (!aRequest.RawHeaders().Values("Content-Type").empty())
      out.SetContentType(aRequest.RawHeaders().Values("Content-Type"));

    auto body = std::make_unique<TBoundedMemoryStream>(aForward.MaxResponseSize);
    TStream* source = aRequest.PostStream();
    if (source) source->SetPosition(0);
    const std::string method = UpperCase(aRequest.Command);
    const bool sendsBody = method == "POST" || method == "PUT" || method == "PATCH";
    http.PerformRequest(method, url, sendsBody ? source : nullptr, method == "HEAD" ? nullptr : body.get(), {});

    TIdHTTPResponse& in = http.Response();
    aResponse.SetResponseNo(in.ResponseCode());
    if (!in.ResponseText().empty()) aResponse.ResponseText = in.ResponseText();
    aResponse.SetContentType(in.ContentType());
    if (!in.CharSet.empty()) aResponse.CharSet = in.CharSet;
    aResponse.CacheControl = in.CacheControl;
    aResponse.ContentDisposition = in.ContentDisposition;
    aResponse.ContentEncoding = in.ContentEncoding;
    aResponse.ContentLanguage = in.ContentLanguage;
    aResponse.ContentVersion = in.ContentVersion;
    aResponse.Expires = in.Expires;
    aResponse.ETag = in.ETag;
    aResponse.LastModified = in.LastModified;
    aResponse.Pragma = in.Pragma;
    aResponse.Location = in.Location;
    aResponse.AcceptPatch = in.AcceptPatch;
    aResponse.AcceptRanges = in.AcceptRanges;
    aResponse.WWWAuthenticate().Assign(in.WWWAuthenticate());
    CopyHeadersExcept(in.RawHeaders(), aResponse.CustomHeaders(), false);
    if (body->Size() > 0) {
      body->SetPosition(0);
      aResponse.FreeContentStream = true;
      aResponse.SetContentStream(body.release());
    }
    http.Disconnect();
    if (tls) http.SetIOHandler(nullptr);
    return nullptr;
  } catch (...) {
    // A status error carries the upstream's code; anything else (no
    // connection, a time-out, an answer cut short or too large) is a failed
    // exchange, even when a status line had arrived.
    std::int32_t code = 500;
    try {
      throw;
    } catch (const EIdHTTPProtocolException& e) {
      if (e.ErrorCode() > 0) code = e.ErrorCode();
    } catch (...) {
    }
    aResponse.SetResponseNo(code);
    aResponse.SetContentStream(nullptr);
    try {
      http.Disconnect();
    } catch (...) {
    }
    if (tls) http.SetIOHandler(nullptr);
    return std::current_exception();
  }
}

}  // namespace detail
