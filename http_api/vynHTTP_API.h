// The generic REST client: one HTTP request per call on a fresh HTTP client
// component, the body returned as text, HTTP errors carrying the body.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "http_api/vynHTTP_Classes.h"
#include "http_api/vynHTTP_Client.h"
#include "platform/Classes.h"
#include "transport/vynIdHeaderList.h"

namespace detail {
// What a request needs of its HTTP client component. Each request creates one
// through the installed factory and frees it when the request ends. By
// default the factory makes the HTTP client component (TvynIdHTTP); tests
// install a recording one.
class HTTPRequestClient {
public:
  virtual ~HTTPRequestClient() = default;
  virtual TvynIdHTTPTLS_Options& TLSOptions() = 0;
  virtual void SetLog(bool aValue) = 0;
  virtual TvynHttpLogFile& LogOptions() = 0;
  // Request.CustomHeaders: one extra request header per line, in order.
  virtual TIdHeaderList& CustomHeaders() = 0;
  // Each returns the decoded response body and raises
  // EIdHTTPProtocolException for an error status.
  virtual std::string Get(const std::string& AURL) = 0;
  virtual std::string Post(const std::string& AURL, TStream& ASource) = 0;
  virtual std::string Patch(const std::string& AURL, TStream& ASource) = 0;
  virtual std::string Delete(const std::string& AURL) = 0;
  virtual std::string Delete(const std::string& AURL, const std::string& aBody) = 0;
  // The status code of the last answer; 0 when there was none.
  virtual std::int32_t ResponseCode() { return 0; }
};

using HTTPRequestClientFactory = std::function<std::unique_ptr<HTTPRequestClient>()>;

// Installs the process's HTTP client factory (an empty function removes it)
// and returns the one it replaces, so a test can put the previous one back.
// Without one, every request fails with "No HTTP client component is
// installed.".
HTTPRequestClientFactory SetHTTPRequestClientFactory(HTTPRequestClientFactory aFactory);
}  // namespace detail

class TvynHTTPAPI_client;
using TvynHTTPAPIExceptionEvent = std::function<void(TComponent* Sender, Exception& E)>;
// One request has ended: its method, URL, the answer's status code (0 when
// no answer came) and how long it took.
using TvynHTTPAPIRequestDoneEvent =
    std::function<void(TComponent* Sender, const std::string& aMethod, const std::string& aURL,
                       std::int32_t aStatusCode, std::int64_t aMilliseconds)>;

class TvynHTTPAPI_client : public TvynHTTPComponentClient_Base {
public:
  explicit TvynHTTPAPI_client(TComponent* aOwner = nullptr);
  ~TvynHTTPAPI_client() override;

  std::string Get(const std::string& aURL, const TStrings* aHeaders = nullptr);
  std::string Post(const std::string& aURL, const std::string& aBody, const TStrings* aHeaders = nullptr);
  std::string Delete(const std::string& aURL, const TStrings* aHeader = nullptr, const std::string& aBody = {});
  std::string Patch(const std::string& aURL, const std::string& aBody, const TStrings* aHeaders = nullptr);

  // Created on first access.
  TvynIdHTTPTLS_Options& TLSOptions();
  void SetTLSOptions(const TvynIdHTTPTLS_Options& aValue) { TLSOptions().Assign(aValue); }

  TvynHTTPAPIExceptionEvent OnHTTPAPIException;
  // Raised on the thread that made the request, before its result or error
  // goes on.
  TvynHTTPAPIRequestDoneEvent OnRequestDone;

protected:
  virtual std::string DoGet(const std::string& aURL, const TStrings* aHeaders);
  virtual std::string DoPost(const std::string& aURL, const std::string& aBody, const TStrings* aHeaders);
  virtual std::string DoDelete(const std::string& aURL, const TStrings* aHeader, const std::string& aBody);
  virtual std::string DoPatch(const std::string& aURL, const std::string& aBody, const TStrings* aHeaders);

  bool FLog = false;
  std::string FLogFileName;

private:
  // One request: a fresh component set up from this client, aSend's result,
  // and the error mapping.
  std::string Request(const char* aMethod, const std::string& aURL, const TStrings* aHeaders,
                      const std::function<std::string(detail::HTTPRequestClient&)>& aSend);

  std::unique_ptr<TvynIdHTTPTLS_Options> FTLSOptions;
};
