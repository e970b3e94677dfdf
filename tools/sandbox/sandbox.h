// The sandbox service: a local stand-in for the trading-bot service, so that
// the program can be tried and tested without it. One HTTPS port serves the
// OAuth2 endpoints (/oauth2/authorize, /oauth2/token) and the REST API under
// /v1 over in-memory state; registered webhooks receive a "validate" call and
// then signed "messages" calls for order and trade events.
//
// Requests are answered on the server's connection threads; the state is
// guarded by one lock. Webhook calls go out on worker threads, one per
// receiver with calls waiting, so no API request waits for a receiver and a
// slow receiver delays only its own calls (which keep their order).
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tools/sandbox/sandbox_cert.h"

class TIdHTTPServer;

namespace sandbox {

struct Options {
  std::string Host = "127.0.0.1";
  std::uint16_t Port = 0;  // 0: a free port chosen by the system
  std::string ClientId = "sandbox-client";
  std::string ClientSecret;  // empty: a random one is made at start
  std::string CertDir;       // empty: a fresh private temporary folder, removed at the end
  // The lifetime announced with each token, in seconds; the token is refused
  // once it has passed.
  std::int32_t ExpiresIn = 3600;
  // What a receiver must answer to the "validate" call.
  std::string ValidationCode = "9632";
  // Roots trusted for webhook receivers; empty: the sandbox's own certificate.
  std::string WebhookRootCertFile;
  // The most one webhook call may take, connect to answer, in milliseconds.
  std::int32_t WebhookTimeoutMs = 10000;
};

// One request as it arrived, for tests and for people watching. Bodies are
// kept only in part: Body and Answer hold at most their first 4 KiB, and the
// head lines at most 16 KiB.
struct RequestRecord {
  std::string Method;
  std::string Path;  // as sent, query included
  std::vector<std::string> HeaderLines;
  std::string Body;
  std::int64_t BodySize = 0;  // the whole request body's length
  std::int32_t Status = 0;
  std::string Answer;  // the start of the response body
  std::int64_t AnswerSize = 0;
};

// One webhook call the worker made.
struct WebhookDelivery {
  std::string URL;
  std::string Type;  // "validate" or "messages"
  std::string Body;
  std::string Signature;
  std::int32_t Status = 0;  // 0 when no answer came
  std::string Answer;       // the start of the receiver's body, or why nothing came
};

// What a request asks and what it gets: the transport-free core of the
// service, which the HTTPS server feeds.
struct Request {
  std::string Method;
  std::string Path;   // without the query
  std::string Query;  // after "?", undecoded
  std::vector<std::pair<std::string, std::string>> Headers;
  std::string Body;
  // The header's value, names compared without case; empty when absent.
  std::string Header(const std::string& aName) const;
};
struct Response {
  std::int32_t Status = 200;
  std::string ContentType = "application/json";
  std::string Body;
  std::string Location;  // for redirects
};

// HMAC-SHA256 of aBody with aKey, lower-case hex: the X-HUB-SIGNATURE value.
std::string Signature(const std::string& aKey, const std::string& aBody);

class Service {
public:
  explicit Service(Options aOptions = {});
  ~Service();
  Service(const Service&) = delete;
  Service& operator=(const Service&) = delete;

  // Makes the certificate, binds and listens; raises Exception on failure.
  void Start();
  // Stops listening and the webhook worker; the temporary folder goes.
  void Stop();
  bool Active() const { return FServer != nullptr; }

  const Options& Settings() const { return FOptions; }
  std::uint16_t Port() const { return FPort; }
  // "https://127.0.0.1:<port>" (no trailing slash).
  std::string Origin() const;
  std::string APIBaseURL() const { return Origin() + "/v1"; }
  std::string TokenURL() const { return Origin() + "/oauth2/token"; }
  std::string AuthorizeURL() const { return Origin() + "/oauth2/authorize"; }
  const std::string& CertFile() const { return FCert.CertFile; }
  const std::string& KeyFile() const { return FCert.KeyFile; }
  const std::string& CombinedFile() const { return FCert.CombinedFile; }
  // The lifetime announced with the tokens issued from now on.
  void SetExpiresIn(std::int32_t aSeconds);

  // Answers one request (also without the server, for tests).
  Response Handle(const Request& aRequest);

  // The last requests (at most 1000, and at most 8 MiB of records, are
  // kept), oldest first.
  std::vector<RequestRecord> Requests() const;
  void ClearRequests();
  // Token requests answered with a token so far.
  int TokensIssued() const;
  // Webhook calls made (at most 10000 are kept), oldest first.
  std::vector<WebhookDelivery> Deliveries() const;
  // Waits until no webhook call is queued or running, at most aMs ms.
  bool WaitWebhooksIdle(int aMs) const;

private:
  struct Hopper;
  struct Order;
  struct Trade;
  struct Webhook;
  struct Outgoing;

  Response Token(const Request& q);
  Response Authorize(const Request& q);
  Response API(const Request& q, const std::vector<std::string>& seg);
  Response HopperAPI(const Request& q, const std::vector<std::string>& seg);
  Response ExchangeAPI(const Request& q, const std::vector<std::string>& seg);
  Response WebhookAPI(const Request& q);
  // Empty when the request carries a live token; else the 401 answer.
  bool Authorized(const Request& q, Response& aRefusal);
  void Emit(const std::string& aMessageType, const std::string& aHopperId, const std::string& aDataJSON);
  void Enqueue(Outgoing aCall);
  void LaneLoop(const std::string& aURL);
  void Deliver(Outgoing& aCall);
  void KeepDelivery(WebhookDelivery aDelivery);
  void Record(const Request& q, const Response& aAnswer);

  Options FOptions;
  CertificateFiles FCert;
  std::string FTempDir;  // removed at Stop when the sandbox made it
  std::uint16_t FPort = 0;
  std::unique_ptr<TIdHTTPServer> FServer;
  struct TLSHandler;
  std::unique_ptr<TLSHandler> FTLS;

  mutable std::mutex FLock;
  std::map<std::string, double> FTokens;      // token -> expiry, seconds on the steady clock
  std::map<std::string, std::string> FCodes;  // authorization code -> redirect URI
  std::map<std::string, std::unique_ptr<Hopper>> FHoppers;
  std::vector<std::string> FHopperOrder;  // ids in creation order
  long long FNextHopperId = 1;
  long long FNextOrderId = 1001;
  long long FNextTradeId = 5001;
  std::vector<std::unique_ptr<Webhook>> FWebhooks;
  std::deque<RequestRecord> FRequests;
  std::size_t FRequestBytes = 0;  // what FRequests holds (RecordBytes)
  int FTokensIssued = 0;

  // The webhook calls: a lane per receiver URL, drained in order by its own
  // thread while it has calls.
  struct Lane {
    std::deque<Outgoing> Queue;
    bool Busy = false;  // its thread is running
    std::thread Thread;
  };
  mutable std::mutex FQueueLock;
  mutable std::condition_variable FQueueChanged;
  std::map<std::string, Lane> FLanes;
  std::size_t FQueued = 0;  // calls waiting in all lanes
  int FRunning = 0;         // calls taken from a lane and not yet done
  bool FStopping = true;    // not started, or stopping: no calls are taken
  std::deque<WebhookDelivery> FDeliveries;
};

}  // namespace sandbox
