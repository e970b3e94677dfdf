// A recording HTTP client for REST tests: it records each request (method,
// URL, header lines in order, body, TLS and log settings) and answers with a
// canned body or raises a canned HTTP error status.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "http_api/vynHTTP_API.h"
#include "transport/vynIdHTTP.h"

struct RecordedRequest {
  std::string Method;
  std::string URL;
  std::vector<std::string> Headers;
  std::string Body;
  bool HasBody = false;  // a body was handed over (Post, Patch, Delete with body)
  TwsTLSVersions TLSVersion = TwsTLSVersions::tlsUndefined;
  bool VerifyCertificate = false;
  bool Log = false;
  std::string LogFileName;
};

struct CannedError {
  std::int32_t Code;
  std::string StatusLine;
  std::string Body;
};

class RecordingHTTP {
public:
  RecordingHTTP() {
    FPrevious = detail::SetHTTPRequestClientFactory([this] { return std::make_unique<Client>(*this); });
  }
  ~RecordingHTTP() { detail::SetHTTPRequestClientFactory(std::move(FPrevious)); }
  RecordingHTTP(const RecordingHTTP&) = delete;
  RecordingHTTP& operator=(const RecordingHTTP&) = delete;

  std::vector<RecordedRequest> Requests;
  std::string Response = "{}";
  std::optional<CannedError> Error;
  std::int32_t Status = 200;  // of an answer without error
  int Live = 0;               // components alive right now

private:
  class Client : public detail::HTTPRequestClient {
  public:
    explicit Client(RecordingHTTP& aOwner) : FOwner(aOwner) { ++FOwner.Live; }
    ~Client() override { --FOwner.Live; }
    TvynIdHTTPTLS_Options& TLSOptions() override { return FTLS; }
    void SetLog(bool aValue) override { FLog = aValue; }
    TvynHttpLogFile& LogOptions() override { return FLogOptions; }
    TIdHeaderList& CustomHeaders() override { return FHeaders; }
    std::int32_t ResponseCode() override { return FOwner.Status; }
    std::string Get(const std::string& AURL) override { return Send("GET", AURL, nullptr); }
    std::string Post(const std::string& AURL, TStream& ASource) override { return Send("POST", AURL, &ASource); }
    std::string Patch(const std::string& AURL, TStream& ASource) override { return Send("PATCH", AURL, &ASource); }
    std::string Delete(const std::string& AURL) override { return Send("DELETE", AURL, nullptr); }
    std::string Delete(const std::string& AURL, const std::string& aBody) override {
      TStringStream s(aBody);
      return Send("DELETE", AURL, &s);
    }

  private:
    std::string Send(const char* aMethod, const std::string& aURL, TStream* aBody) {
      RecordedRequest r;
      r.Method = aMethod;
      r.URL = aURL;
      for (const std::string& line : FHeaders) r.Headers.push_back(line);
      if (aBody) {
        r.HasBody = true;
        r.Body.resize(static_cast<std::size_t>(aBody->Size() - aBody->Position()));
        aBody->ReadBuffer(r.Body.data(), static_cast<std::int64_t>(r.Body.size()));
      }
      r.TLSVersion = FTLS.Version;
      r.VerifyCertificate = FTLS.VerifyCertificate;
      r.Log = FLog;
      r.LogFileName = FLogOptions.FileName;
      FOwner.Requests.push_back(std::move(r));
      if (FOwner.Error)
        throw EIdHTTPProtocolException(FOwner.Error->Code, FOwner.Error->StatusLine, FOwner.Error->Body);
      return FOwner.Response;
    }
    RecordingHTTP& FOwner;
    TvynIdHTTPTLS_Options FTLS;
    bool FLog = false;
    TvynHttpLogFile FLogOptions;
    TIdHeaderList FHeaders{TIdHeaderQuotingType::QuoteHTTP};
  };

  detail::HTTPRequestClientFactory FPrevious;
};
