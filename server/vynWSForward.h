// Forwarding a request the server received to another HTTP server and
// turning that server's answer into the response: the component's owner
// asks for it per request (OnBeforeForwardHTTP).
#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <string_view>

#include "platform/Classes.h"
#include "transport/vynIdCustomHTTPServer.h"

// TLS settings of the outgoing connection when the forward URL is https.
class TvynWSForwardTLS_Options : public TPersistent {
public:
  void Assign(const TPersistent& aSource) override;
  std::string CertFile;
  std::string KeyFile;
  std::string RootCertFile;
  std::string Password;
  bool VerifyCertificate = false;
};

// One per connection; the owner enables it and sets the target URL.
class TvynWSServerForwardHTTP : public TPersistent {
public:
  void Assign(const TPersistent& aSource) override;
  // The URL requested: URL without trailing "/", then Document.
  std::string ForwardURL() const;

  bool Enabled = false;
  std::string URL;
  TvynWSForwardTLS_Options TLSOptions;
  std::string Document;
  // Bounds of the outgoing exchange, in milliseconds, and of the answer's
  // body, in bytes: a slow or endless upstream never holds a connection
  // thread or memory without end.
  std::int32_t ConnectTimeout = 10000;
  std::int32_t ReadTimeout = 60000;
  std::int64_t MaxResponseSize = 64 * 1024 * 1024;
};

namespace detail {

// Whether a header name is one the forwarding leaves out in both
// directions (compared ignoring case).
bool IsForwardExcludedHeader(std::string_view aName);

// Sends aRequest to aForward.ForwardURL() (with the request's query) with
// the same method and body, and fills aResponse from the answer. A failed
// exchange leaves aResponse with the client's status code, or 500 when
// there is none, and is returned; nullptr on success.
std::exception_ptr ForwardHTTPRequest(const TvynWSServerForwardHTTP& aForward, TIdHTTPRequestInfo& aRequest,
                                      TIdHTTPResponseInfo& aResponse);

}  // namespace detail
