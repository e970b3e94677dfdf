// The branches of the HTTP server component's dispatch that answer a
// connection themselves (session ids, message and protocol posts, built-in
// files, the Flash policy, event streams), its upload handling, the
// authentication schemes beyond Basic and the forwarding of requests. The
// lifecycle and the plain HTTP path live in vynWSHTTPServer.cpp.
#include <memory>
#include <string>

#include "platform/SysUtils.h"
#include "server/vynWSBuiltinFiles.h"
#include "server/vynWSDispatch.h"
#include "server/vynWSForward.h"
#include "server/vynWSHTTPServer.h"
#include "server/vynWSMatch.h"
#include "server/vynWSSessionIds.h"
#include "server/vynWSUpload.h"
#include "transport/vynIdIOHandler.h"
#include "transport/vynIdSSLOpenSSL.h"
#include "transport/vynIdTextEncoding.h"

namespace {

constexpr std::string_view kSessionContentType = "text/plain";
constexpr std::string_view kMessagePostContentType = "text/html";
constexpr std::string_view kNotFoundResponse =
    "HTTP/1.1 404 Not Found\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: 0\r\nConnection: close\r\n";
constexpr std::string_view kTooLargeResponse =
    "HTTP/1.1 413 Payload Too Large\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: 0\r\nConnection: "
    "close\r\n";
constexpr std::string_view kBearerScheme = "Bearer";
constexpr std::string_view kBasicScheme = "Basic";
constexpr std::string_view kRetryField = "retry: ";
constexpr std::string_view kIdField = "id: ";
// A head line longer than this, or more lines than this, ends a request to
// the component's own endpoints.
constexpr std::int32_t kMaxHeadLineLength = 16 * 1024;
constexpr int kMaxHeadLines = 256;

std::string ServerLine() { return std::string("Server: ") + kWSServerSoftware + "\r\n\r\n"; }

// Whether this connection speaks TLS (a TLS server may serve plain ports).
bool SpeaksTLS(TIdTCPConnection* aConnection) {
  auto* tls = aConnection ? dynamic_cast<TIdSSLIOHandlerSocketBase*>(aConnection->IOHandler()) : nullptr;
  return tls && !tls->PassThrough();
}

}  // namespace

// Reads the request's head off the connection (the lines were gathered
// without being consumed) and returns it as header lines, request line
// first. Bounded in line length, count and time.
TIdHeaderList TvynWSHTTPServer::ReadRequestHead(TIdContext* aContext) {
  TIdHeaderList lines(TIdHeaderQuotingType::QuoteHTTP);
  TIdIOHandler* io = aContext->Connection()->IOHandler();
  const std::int32_t timeout = HTTPServer().RequestTimeout > 0 ? HTTPServer().RequestTimeout : 20000;
  for (int i = 0; i < kMaxHeadLines; ++i) {
    std::string line = io->ReadLn("\n", timeout, kMaxHeadLineLength);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) return lines;
    lines.Add(line);
  }
  throw Exception(Format("Request head has more than %d lines", kMaxHeadLines));
}

void TvynWSHTTPServer::Dispatch(TIdContext* aContext, TvynWSConnectionServer* aConnection,
                                detail::TwsRequestKind aKind) {
  using detail::TwsRequestKind;
  TIdTCPConnection* tcp = aContext->Connection();
  TIdIOHandler* io = tcp ? tcp->IOHandler() : nullptr;
  if (!io) return TvynWSServer_Talvex_Base::Dispatch(aContext, aConnection, aKind);
  const std::string gathered = aConnection->HeadersRequest().Text();
  switch (aKind) {
    case TwsRequestKind::rkSessionRequest: {
      aConnection->SetTransport(TwsTransport::trpHTTP);
      const TIdHeaderList head = ReadRequestHead(aContext);
      std::string user, password;
      detail::SessionRequestCredentials(head.Count() > 0 ? head[0] : std::string(), user, password);
      if (!user.empty() && CheckCredentials(aConnection, user, password)) {
        const std::string id = FSessionIds.Issue(user, password);
        aConnection->SendResponseHTTP(detail::SessionAnswer(id, std::string(), aConnection->Protocol()),
                                      std::string(kSessionContentType));
      } else {
        io->Write(std::string(kNotFoundResponse) + ServerLine());
      }
      CloseConnection(aContext);
      return;
    }
    case TwsRequestKind::rkMessagePost: {
      aConnection->SetTransport(TwsTransport::trpHTTP);
      const TIdHeaderList head = ReadRequestHead(aContext);
      const std::string target = detail::PostTarget(detail::TGatheredRequest(gathered), detail::kMessagePostPath);
      std::int64_t length = 0;
      const std::string lengthText = head.Values("Content-Length");
      if (!lengthText.empty() && (!TryStrToInt64(Trim(lengthText), length) || length < 0)) length = -1;
      const std::int64_t limit = HTTPServer().MaximumRequestBodySize;
      if (length < 0 || (limit > 0 && length > limit) || length > INT32_MAX) {
        io->Write(std::string(kTooLargeResponse) + ServerLine());
        CloseConnection(aContext);
        return;
      }
      // A client that stops sending does not hold the thread for ever.
      io->SetReadTimeout(HTTPServer().RequestTimeout > 0 ? HTTPServer().RequestTimeout : 20000);
      const std::string text =
          length > 0 ? io->ReadString(static_cast<std::int32_t>(length), detail::EncodingUTF8()) : std::string();
      DeliverMessagePost(target, text);
      aConnection->SendResponseHTTP(std::string(), std::string(kMessagePostContentType));
      CloseConnection(aContext);
      return;
    }
    case TwsRequestKind::rkProtocolPost:
      // No sub-protocol handlers are registered in this build: the post is
      // refused plainly rather than left unanswered.
      aConnection->SetTransport(TwsTransport::trpHTTP);
      ReadRequestHead(aContext);
      io->Write(std::string(kNotFoundResponse) + ServerLine());
      CloseConnection(aContext);
      return;
    case TwsRequestKind::rkOAuth2: {
      // No OAuth2 server component of this build answers: the request goes
      // on through the rest of the classification.
      detail::TClassifyOptions flags = ClassifyOptions(aConnection);
      flags.OAuth2Server = false;
      return Dispatch(aContext, aConnection, detail::ClassifyRequest(gathered, flags));
    }
    case TwsRequestKind::rkBuiltinFile: {
      aConnection->SetTransport(TwsTransport::trpHTTP);
      const detail::TGatheredRequest request(gathered);
      const detail::TBuiltinFileAnswer answer = detail::BuiltinFileAnswer(
          detail::BuiltinRequestLine(request.FirstLine()), ClassifyOptions(aConnection).BuiltinFiles);
      ReadRequestHead(aContext);
      std::string response = detail::BuiltinFileResponse(
          answer, aConnection->LocalIP(), static_cast<std::uint16_t>(aConnection->LocalPort()), SpeaksTLS(tcp));
      // A HEAD gets the same head, Content-Length included, and no body.
      if (request.RequestLine().empty()) response.resize(response.find("\r\n\r\n") + 4);
      io->Write(response);
      CloseConnection(aContext);
      return;
    }
    case TwsRequestKind::rkFlashPolicy:
      aConnection->SetTransport(TwsTransport::trpFlash);
      aConnection->HeadersRequest().Clear();
      detail::ClearInput(io);
      if (FallBack().Flash.Enabled)
        io->Write(detail::FlashPolicyAnswer(FallBack().Flash.Domain, FallBack().Flash.Ports));
      // A policy request is all a Flash player sends on this connection.
      CloseConnection(aContext);
      return;
    case TwsRequestKind::rkEventStream:
      aConnection->SetTransport(TwsTransport::trpSSE);
      ReadRequestHead(aContext);
      if (!FallBack().ServerSentEvents.Enabled) {
        CloseConnection(aContext);
        return;
      }
      // The reconnection delay is in milliseconds already.
      io->Write(
          detail::EventStreamAnswer(std::string(kRetryField) + std::to_string(FallBack().ServerSentEvents.Retry)) +
          std::string(kIdField) + aConnection->Guid() + "\r\n");
      aConnection->SetEnabled(true);
      return;
    default:
      return TvynWSServer_Talvex_Base::Dispatch(aContext, aConnection, aKind);
  }
}

void TvynWSHTTPServer::DeliverMessagePost(const std::string& aGuid, const std::string& aText) {
  TvynWSConnectionServer* target = nullptr;
  std::shared_ptr<std::atomic<std::int32_t>> pending;
  auto& list = LockList();
  for (TIdContext* context : list) {
    TvynWSConnectionServer* c = ConnectionOf(context);
    if (c && c->Enabled() && !c->Disconnected() && c->Guid() == aGuid) {
      // Counted before the list is released: the object stays until the
      // event ran.
      c->AddPendingEvent();
      target = c;
      pending = c->PendingCounter();
      break;
    }
  }
  UnLockList();
  if (!target) return;
  Deliver([this, target, aText, pending] {
    if (OnMessage) OnMessage(target, aText);
    --*pending;
  });
}

// ---------------------------------------------------------------------------
// Uploads

void TvynWSHTTPServer::CreatePostStream(TIdContext*, TIdHeaderList& aHeaders, TStream*& aPostStream) {
  const TvynHTTPUploadFilesServer& o = HTTPUploadFiles();
  if (o.StreamType != TwsPostStreamType::pstFileStream) return;
  if (!detail::IsFileUpload(aHeaders.Values("Content-Type"), aHeaders.Values("Content-Length"), o.MinSize)) return;
  aPostStream = detail::CreateUploadFile(o.SaveDirectory).release();
}

void TvynWSHTTPServer::DoneWithPostStream(TIdContext* aContext, TIdHTTPRequestInfo* aRequestInfo, bool& aCanFree) {
  aCanFree = true;
  auto* file = dynamic_cast<detail::TUploadFileStream*>(aRequestInfo->PostStream());
  if (!file) return;
  const TvynHTTPUploadFilesServer& o = HTTPUploadFiles();
  if (!o.RemoveBoundaries) {
    // The owner keeps the body as it came.
    file->Keep();
    return;
  }
  // The temporary file goes with the stream in any case.
  try {
    detail::ExtractMultipartFiles(*file, detail::MultipartBoundary(aRequestInfo->RawHeaders().Values("Content-Type")),
                                  o.SaveDirectory);
  } catch (const Exception& e) {
    // The answer is already out: the owner learns of the refused upload
    // through the component's exception event.
    DoException(ConnectionOf(aContext), e);
  }
}

// ---------------------------------------------------------------------------
// Authentication schemes of parsed requests

void TvynWSHTTPServer::ParseAuthentication(TIdContext* aContext, const std::string& aAuthType,
                                           const std::string& aAuthData, std::string& aUser, std::string& aPassword,
                                           bool& aHandled) {
  // Basic is decoded by the HTTP protocol itself.
  if (SameText(aAuthType, kBasicScheme)) return;
  TvynWSConnectionServer* connection = ConnectionOf(aContext);
  if (SameText(aAuthType, kBearerScheme) &&
      (Authentication().OAuth.OAuth2 != nullptr || Authentication().JWT.JWT != nullptr)) {
    // Token validators are not part of this build: a bearer token for one
    // is not accepted.
    aHandled = false;
    return;
  }
  bool authenticated = false;
  if (OnUnknownAuthentication)
    OnUnknownAuthentication(connection, aAuthType, aAuthData, aUser, aPassword, authenticated);
  aHandled = authenticated;
  if (authenticated && connection) {
    auto& a = connection->Authentication();
    a.Authenticated = true;
    a.User = aUser;
    a.Password = aPassword;
  }
}

// ---------------------------------------------------------------------------
// Forwarding

bool TvynWSHTTPServer::ForwardRequest(TvynWSConnectionServer* aConnection, TIdHTTPRequestInfo* aRequestInfo,
                                      TIdHTTPResponseInfo* aResponseInfo) {
  if (!OnBeforeForwardHTTP) return false;
  TvynWSServerForwardHTTP local;
  TvynWSServerForwardHTTP& forward = aConnection ? aConnection->Forward() : local;
  forward.Document = aRequestInfo->Document;
  OnBeforeForwardHTTP(aConnection, aRequestInfo, forward);
  if (!forward.Enabled) return false;
  std::exception_ptr error = detail::ForwardHTTPRequest(forward, *aRequestInfo, *aResponseInfo);
  if (OnAfterForwardHTTP) {
    if (!error) {
      OnAfterForwardHTTP(aConnection, aRequestInfo, aResponseInfo, nullptr);
    } else {
      try {
        std::rethrow_exception(error);
      } catch (const std::exception& e) {
        OnAfterForwardHTTP(aConnection, aRequestInfo, aResponseInfo, &e);
      } catch (...) {
        OnAfterForwardHTTP(aConnection, aRequestInfo, aResponseInfo, nullptr);
      }
    }
  }
  return true;
}
