// A stand-in for the local redirect listener: it records how it was set up
// and lets a test deliver a redirect's query parameters to the client.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "oauth/vynHTTP_OAuth_Client.h"
#include "transport/vynIdCustomHTTPServer.h"

// What a redirect request was answered with.
struct TvynHTTPOAuth_LocalResponse {
  std::int32_t ResponseNo = 200;
  std::string ContentText;
};

struct ListenerLog {
  bool Active = false;
  int Created = 0;
  int Activations = 0;
  std::int32_t Port = 0;
  bool SSL = false;
  std::vector<std::string> Bindings;
  TvynHTTPOAuthSSL_Options SSLOptions;
  detail::OAuthLocalServer* Live = nullptr;
};

class FakeListener : public detail::OAuthLocalServer {
public:
  explicit FakeListener(ListenerLog& ALog) : FLog(ALog) {
    ++FLog.Created;
    FLog.Live = this;
  }
  ~FakeListener() override { FLog.Live = nullptr; }
  bool Active() override { return FLog.Active; }
  void SetActive(bool AValue) override {
    if (AValue && !FLog.Active) ++FLog.Activations;
    FLog.Active = AValue;
  }
  void SetPort(std::int32_t AValue) override { FLog.Port = AValue; }
  bool SSL() override { return FLog.SSL; }
  void SetSSL(bool AValue) override { FLog.SSL = AValue; }
  void SetSSLOptions(const TvynHTTPOAuthSSL_Options& AValue) override { FLog.SSLOptions.Assign(AValue); }
  void AddBinding(const std::string& AIP, std::uint16_t APort) override {
    FLog.Bindings.push_back(AIP + ":" + std::to_string(APort));
  }
  void ClearBindings() override { FLog.Bindings.clear(); }

private:
  ListenerLog& FLog;
};

// Installs the fake for the life of the object.
class InstalledListener {
public:
  InstalledListener() {
    FPrevious = detail::SetOAuthLocalServerFactory([this] { return std::make_unique<FakeListener>(Log); });
  }
  ~InstalledListener() { detail::SetOAuthLocalServerFactory(std::move(FPrevious)); }
  InstalledListener(const InstalledListener&) = delete;
  InstalledListener& operator=(const InstalledListener&) = delete;

  // A redirect request with the query AQuery ("a=1&b=2", already decoded).
  TvynHTTPOAuth_LocalResponse Redirect(const std::string& AQuery) {
    TStringList params;
    std::size_t from = 0;
    while (from <= AQuery.size()) {
      const std::size_t amp = AQuery.find('&', from);
      params.Add(AQuery.substr(from, amp == std::string::npos ? std::string::npos : amp - from));
      if (amp == std::string::npos) break;
      from = amp + 1;
    }
    // As the server component hands it on: a request with its parameters
    // and a response with its defaults, no connection behind them.
    TIdHTTPRequestInfo request(nullptr);
    for (int i = 0; i < params.Count(); ++i) request.Params().Add(params[i]);
    TIdHTTPResponseInfo response(nullptr, &request, nullptr);
    Log.Live->OnCommandGet(nullptr, &request, &response);
    return {response.ResponseNo(), response.ContentText};
  }

  ListenerLog Log;

private:
  detail::OAuthLocalServerFactory FPrevious;
};
