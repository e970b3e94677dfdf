#include "http_api/vynHTTP_API.h"

#include <chrono>
#include <mutex>

#include "transport/vynIdHTTP.h"

namespace {
constexpr const char* kNoHTTPClient = "No HTTP client component is installed.";
constexpr const char* kErrorBodySeparator = ". ";

std::mutex& FactoryLock() {
  static std::mutex lock;
  return lock;
}

// The HTTP client component behind a request.
class ComponentClient : public detail::HTTPRequestClient {
public:
  TvynIdHTTPTLS_Options& TLSOptions() override { return FHTTP.TLSOptions(); }
  void SetLog(bool aValue) override { FHTTP.SetLog(aValue); }
  TvynHttpLogFile& LogOptions() override { return FHTTP.LogOptions(); }
  TIdHeaderList& CustomHeaders() override { return FHTTP.Request().CustomHeaders(); }
  std::string Get(const std::string& AURL) override { return FHTTP.Get(AURL); }
  std::string Post(const std::string& AURL, TStream& ASource) override { return FHTTP.Post(AURL, &ASource); }
  std::string Patch(const std::string& AURL, TStream& ASource) override { return FHTTP.Patch(AURL, &ASource); }
  std::string Delete(const std::string& AURL) override { return FHTTP.Delete(AURL); }
  std::string Delete(const std::string& AURL, const std::string& aBody) override { return FHTTP.Delete(AURL, aBody); }
  std::int32_t ResponseCode() override { return FHTTP.ResponseCode(); }

private:
  TvynIdHTTP FHTTP;
};

detail::HTTPRequestClientFactory& Factory() {
  static detail::HTTPRequestClientFactory factory = [] { return std::make_unique<ComponentClient>(); };
  return factory;
}
}  // namespace

detail::HTTPRequestClientFactory detail::SetHTTPRequestClientFactory(HTTPRequestClientFactory aFactory) {
  std::lock_guard<std::mutex> guard(FactoryLock());
  std::swap(Factory(), aFactory);
  return aFactory;
}

TvynHTTPAPI_client::TvynHTTPAPI_client(TComponent* aOwner) : TvynHTTPComponentClient_Base(aOwner) {
  TLSOptions().Version = TwsTLSVersions::tls1_2;
}

TvynHTTPAPI_client::~TvynHTTPAPI_client() = default;

TvynIdHTTPTLS_Options& TvynHTTPAPI_client::TLSOptions() {
  if (!FTLSOptions) FTLSOptions = std::make_unique<TvynIdHTTPTLS_Options>();
  return *FTLSOptions;
}

std::string TvynHTTPAPI_client::Get(const std::string& aURL, const TStrings* aHeaders) { return DoGet(aURL, aHeaders); }
std::string TvynHTTPAPI_client::Post(const std::string& aURL, const std::string& aBody, const TStrings* aHeaders) {
  return DoPost(aURL, aBody, aHeaders);
}
std::string TvynHTTPAPI_client::Delete(const std::string& aURL, const TStrings* aHeader, const std::string& aBody) {
  return DoDelete(aURL, aHeader, aBody);
}
std::string TvynHTTPAPI_client::Patch(const std::string& aURL, const std::string& aBody, const TStrings* aHeaders) {
  return DoPatch(aURL, aBody, aHeaders);
}

std::string TvynHTTPAPI_client::Request(const char* aMethod, const std::string& aURL, const TStrings* aHeaders,
                                        const std::function<std::string(detail::HTTPRequestClient&)>& aSend) {
  const auto started = std::chrono::steady_clock::now();
  std::int32_t status = 0;
  const auto done = [&] {
    if (!OnRequestDone) return;
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
    OnRequestDone(this, aMethod, aURL, status, ms.count());
  };
  try {
    std::unique_ptr<detail::HTTPRequestClient> http;
    {
      std::lock_guard<std::mutex> guard(FactoryLock());
      if (Factory()) http = Factory()();
    }
    if (!http) throw Exception(kNoHTTPClient);
    http->TLSOptions().Assign(TLSOptions());
    http->SetLog(FLog);
    http->LogOptions().FileName = FLogFileName;
    if (aHeaders) http->CustomHeaders().SetText(aHeaders->Text());
    std::string body = aSend(*http);
    status = http->ResponseCode();
    done();
    return body;
  } catch (EIdHTTPProtocolException& E) {
    status = E.ErrorCode();
    done();
    E.SetMessage(E.Message() + kErrorBodySeparator + E.ErrorMessage());
    if (!OnHTTPAPIException) throw;
    OnHTTPAPIException(this, E);
  } catch (Exception& E) {
    done();
    if (!OnHTTPAPIException) throw;
    OnHTTPAPIException(this, E);
  }
  return {};
}

std::string TvynHTTPAPI_client::DoGet(const std::string& aURL, const TStrings* aHeaders) {
  return Request("GET", aURL, aHeaders, [&](detail::HTTPRequestClient& http) { return http.Get(aURL); });
}

std::string TvynHTTPAPI_client::DoPost(const std::string& aURL, const std::string& aBody, const TStrings* aHeaders) {
  return Request("POST", aURL, aHeaders, [&](detail::HTTPRequestClient& http) {
    // The ANSI code page is UTF-8 here: the body's bytes go out as they are.
    TStringStream body(aBody);
    return http.Post(aURL, body);
  });
}

std::string TvynHTTPAPI_client::DoPatch(const std::string& aURL, const std::string& aBody, const TStrings* aHeaders) {
  return Request("PATCH", aURL, aHeaders, [&](detail::HTTPRequestClient& http) {
    TStringStream body(aBody);
    return http.Patch(aURL, body);
  });
}

std::string TvynHTTPAPI_client::DoDelete(const std::string& aURL, const TStrings* aHeader, const std::string& aBody) {
  return Request("DELETE", aURL, aHeader, [&](detail::HTTPRequestClient& http) {
    return aBody.empty() ? http.Delete(aURL) : http.Delete(aURL, aBody);
  });
}
