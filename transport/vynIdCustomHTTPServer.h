// The HTTP/1.0 and 1.1 server protocol: the request and response records a
// handler sees, and the request loop that reads requests from one
// connection, hands them to the handler and writes what it left.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "platform/Classes.h"
#include "transport/vynIdHTTPParser.h"
#include "transport/vynIdComponent.h"
#include "transport/vynIdContext.h"
#include "transport/vynIdCookie.h"
#include "transport/vynIdCustomTCPServer.h"
#include "transport/vynIdGlobal.h"
#include "transport/vynIdHTTPHeaderInfo.h"
#include "transport/vynIdMimeTable.h"

struct stat;
class TIdHTTPSession;
class TIdHTTPCustomSessionList;
class TIdCustomHTTPServer;

enum class THTTPCommandType : std::uint8_t { hcUnknown, hcHEAD, hcGET, hcPOST, hcDELETE, hcPUT, hcTRACE, hcOPTION };
// The command type of a method word (ignoring case); hcUnknown for others.
THTTPCommandType HTTPCommandTypeOf(std::string_view AWord);

class EIdHTTPServerError : public EIdException {
public:
  using EIdException::EIdException;
};
class EIdHTTPHeaderAlreadyWritten : public EIdHTTPServerError {
public:
  EIdHTTPHeaderAlreadyWritten();
};
class EIdHTTPErrorParsingCommand : public EIdHTTPServerError {
public:
  EIdHTTPErrorParsingCommand();
};
class EIdHTTPUnsupportedAuthorisationScheme : public EIdHTTPServerError {
public:
  EIdHTTPUnsupportedAuthorisationScheme();
};
class EIdHTTPCannotSwitchSessionStateWhenActive : public EIdHTTPServerError {
public:
  EIdHTTPCannotSwitchSessionStateWhenActive();
};
class EIdHTTPCannotSwitchSessionIDCookieNameWhenActive : public EIdHTTPServerError {
public:
  EIdHTTPCannotSwitchSessionIDCookieNameWhenActive();
};

// The status line text of a code; "Unknown Response Code" for others.
std::string HTTPResponseText(std::int32_t AResponseNo);
// "<HTML><BODY><B>" code " " text "</B></BODY></HTML>".
std::string HTTPDefaultBody(std::int32_t AResponseNo, std::string_view AResponseText);

class TIdHTTPRequestInfo : public TIdRequestHeaderInfo {
public:
  explicit TIdHTTPRequestInfo(TComponent* AOwner = nullptr);
  ~TIdHTTPRequestInfo() override;

  bool IsVersionAtLeast(std::int32_t AMajor, std::int32_t AMinor) const;

  TIdCookies& Cookies() { return *FCookies; }
  TStrings& Params() { return FParams; }
  const TStrings& Params() const { return FParams; }
  // The body, positioned at 0; none without body. Owned until released.
  TStream* PostStream() const { return FPostStream.get(); }
  void SetPostStream(std::unique_ptr<TStream> AValue) { FPostStream = std::move(AValue); }
  // Gives up the body without freeing it (the caller keeps it).
  TStream* ReleasePostStreamOwnership() { return FPostStream.release(); }
  void FreePostStream() { FPostStream.reset(); }

  bool AuthExists = false;
  std::string RawHTTPCommand;
  std::string RemoteIP;
  TIdHTTPSession* Session = nullptr;
  std::string Document;
  std::string URI;
  std::string Command;
  std::string Version;
  std::int32_t VersionMajor = -1;
  std::int32_t VersionMinor = -1;
  std::string AuthUsername;
  std::string AuthPassword;
  std::string UnparsedParams;
  std::string QueryParams;
  std::string FormParams;
  THTTPCommandType CommandType = THTTPCommandType::hcUnknown;

private:
  std::unique_ptr<TIdCookies> FCookies;
  TStringList FParams;
  std::unique_ptr<TStream> FPostStream;
};

class TIdHTTPResponseInfo : public TIdResponseHeaderInfo {
public:
  TIdHTTPResponseInfo(TIdCustomHTTPServer* AServer, TIdHTTPRequestInfo* ARequestInfo, TIdTCPConnection* AConnection);
  ~TIdHTTPResponseInfo() override;

  // Where the response goes. It hides the Connection header field, which
  // stays reachable as TIdEntityHeaderInfo::Connection (CloseConnection
  // sets it).
  TIdTCPConnection* Connection() const { return FConnection; }
  TIdCustomHTTPServer* HTTPServer() const { return FHTTPServer; }
  TIdHTTPRequestInfo* RequestInfo() const { return FRequestInfo; }

  std::int32_t ResponseNo() const { return FResponseNo; }
  // Also sets ResponseText; 404 also closes the connection.
  void SetResponseNo(std::int32_t AValue);
  TIdCookies& Cookies() { return *FCookies; }
  // Copies the collection.
  void SetCookies(TIdCookies& AValue) { FCookies->Assign(AValue); }
  TStream* ContentStream() const { return FContentStream.get(); }
  // The stream is freed when it is released while FreeContentStream is set.
  void SetContentStream(TStream* AValue);
  bool CloseConnection() const { return FCloseConnection; }
  // Also sets the Connection field to "close" or "keep-alive".
  void SetCloseConnection(bool AValue);
  bool HeaderHasBeenWritten() const { return FHeaderHasBeenWritten; }

  void WriteHeader();
  void WriteContent();
  void Redirect(const std::string& AURL);
  // Sends the file after the header; the number of bytes sent. A name that
  // is not a regular file raises EIdFileNotFound before anything is sent.
  std::int64_t ServeFile(TIdContext* AContext, const std::string& AFile);
  // The same for a file whose stat the caller has just taken (as
  // IdResolveDocumentPath gives it): one system call less per request.
  std::int64_t ServeFile(TIdContext* AContext, const std::string& AFile, const struct stat& AStat);
  // 304 when If-Modified-Since matches the file's time, 404 when the file is
  // missing (or no regular file); otherwise ServeFile.
  std::int64_t SmartServeFile(TIdContext* AContext, TIdHTTPRequestInfo* ARequestInfo, const std::string& AFile);
  // Sends the regular file open as AFd (the caller keeps it) under the name
  // AFile (for its type and disposition); with ARequestInfo, 304 when its
  // If-Modified-Since matches the file's time. Nothing is opened by name
  // again, so what was checked is what goes out.
  std::int64_t ServeOpenedFile(int AFd, const std::string& AFile, TIdHTTPRequestInfo* ARequestInfo = nullptr);
  // Sessions are off in this build: nothing to close.
  void CloseSession() {}

  std::string AuthRealm;
  std::string ContentText;
  bool FreeContentStream = true;
  std::string ResponseText;
  TIdHTTPSession* Session = nullptr;

private:
  // Serves AFile, whose stat (when it is a regular file) is ASt: from the
  // kept small files while it matches, else opened and read.
  std::int64_t ServeKnownFile(const std::string& AFile, const struct stat* ASt);
  // Head and body of the open regular file AFd of ASize bytes (named AFile).
  std::int64_t ServeOpenFile(int AFd, std::int64_t ASize, const std::string& AFile);
  // The header fields of a file of ASize bytes named AFile.
  void SetFileFields(std::int64_t ASize, const std::string& AFile);
  // The head and ABody in one send (buffered when the caller buffers).
  void WriteHeadAndBody(const TIdBytes& ABody);
  void ReleaseContentStream();
  std::int64_t ContentTextByteCount() const;
  bool BodyAllowed() const;
  // Whether the status allows a body at all (whatever the method).
  bool StatusAllowsBody() const;

  TIdCustomHTTPServer* FHTTPServer;
  TIdHTTPRequestInfo* FRequestInfo;
  TIdTCPConnection* FConnection;
  std::int32_t FResponseNo = 200;
  std::unique_ptr<TIdCookies> FCookies;
  std::unique_ptr<TStream> FContentStream;
  bool FCloseConnection = false;
  bool FHeaderHasBeenWritten = false;
};

// Maps a request path onto a file under ARoot for serving. Refuses (returns
// False) a path with NUL, a ".." segment, an encoded "/" or "\" or NUL, a
// target outside the resolved root (links included) and anything that is not
// a regular file. ARawPath is the request's path as sent, not yet decoded.
// VStat, when given, receives the file's stat.
bool IdResolveDocumentPath(const std::string& ARoot, std::string_view ARawPath, std::string& VFileName,
                           struct stat* VStat = nullptr);

// Opens the file that ARawPath names under ARoot for reading, refusing what
// IdResolveDocumentPath refuses and any symbolic link on the way (in the
// same step as the open, so a link swapped in after a check is never
// followed). The open descriptor (the caller closes it), or -1; VFileName
// gets the file's name under the resolved root, VStat its stat.
int IdOpenDocument(const std::string& ARoot, std::string_view ARawPath, std::string& VFileName,
                   struct stat* VStat = nullptr);

using TIdHTTPCommandEvent =
    std::function<void(TIdContext* AContext, TIdHTTPRequestInfo* ARequestInfo, TIdHTTPResponseInfo* AResponseInfo)>;
using TIdHTTPCommandError = std::function<void(TIdContext* AContext, TIdHTTPRequestInfo* ARequestInfo,
                                               TIdHTTPResponseInfo* AResponseInfo, const std::exception& AException)>;
using TIdHTTPCreatePostStream =
    std::function<void(TIdContext* AContext, TIdHeaderList& AHeaders, TStream*& VPostStream)>;
using TIdHTTPDoneWithPostStream =
    std::function<void(TIdContext* AContext, TIdHTTPRequestInfo* ARequestInfo, bool& VCanFree)>;
using TIdHTTPCreateSession = std::function<void(TIdContext* ASender, TIdHTTPSession*& VHTTPSession)>;
using TIdHTTPInvalidSessionEvent =
    std::function<void(TIdContext* AContext, TIdHTTPRequestInfo* ARequestInfo, TIdHTTPResponseInfo* AResponseInfo,
                       bool& VContinueProcessing, const std::string& AInvalidSessionID)>;
using TIdHTTPParseAuthenticationEvent =
    std::function<void(TIdContext* AContext, const std::string& AAuthType, const std::string& AAuthData,
                       std::string& VUsername, std::string& VPassword, bool& VHandled)>;
using TIdHTTPSessionStartEvent = std::function<void(TIdHTTPSession* Sender)>;
using TIdHTTPSessionEndEvent = std::function<void(TIdHTTPSession* Sender)>;
using TIdHTTPHeadersAvailableEvent = std::function<void(TIdContext* AContext, const std::string& AUri,
                                                        TIdHeaderList& AHeaders, bool& VContinueProcessing)>;
using TIdHTTPHeadersBlockedEvent =
    std::function<void(TIdContext* AContext, TIdHeaderList& AHeaders, std::int32_t& VResponseNo,
                       std::string& VResponseText, std::string& VContentText)>;
using TIdHTTPHeaderExpectationsEvent =
    std::function<void(TIdContext* AContext, const std::string& AExpectations, bool& VContinueProcessing)>;
using TIdHTTPQuerySSLPortEvent = std::function<void(std::uint16_t APort, bool& VUseSSL)>;

// Limits of the request reader that keep one client from holding a thread
// or memory without bound.
inline constexpr std::int32_t kIdHTTPMaxRequestLineDefault = 8192;
inline constexpr std::int32_t kIdHTTPMaxHeaderSizeDefault = 64 * 1024;
inline constexpr std::int64_t kIdHTTPMaxRequestBodyDefault = 16 * 1024 * 1024;
inline constexpr std::int32_t kIdHTTPIdleTimeoutDefault = 60000;
inline constexpr std::int32_t kIdHTTPRequestTimeoutDefault = 20000;

// The TCP server of an HTTP/1.x server: every accepted connection runs the
// request loop (RunExecute) on its worker thread.
class TIdCustomHTTPServer : public TIdCustomTCPServer {
public:
  explicit TIdCustomHTTPServer(TComponent* AOwner = nullptr);
  ~TIdCustomHTTPServer() override;

  TIdThreadSafeMimeTable& MIMETable() { return *FMIMETable; }
  TIdHTTPCustomSessionList* SessionList() const { return FSessionList; }
  bool ImplicitSessionList() const { return false; }
  bool SessionState() const { return FSessionState; }
  void SetSessionState(bool AValue);
  const std::string& SessionIDCookieName() const { return FSessionIDCookieName; }
  void SetSessionIDCookieName(const std::string& AValue);
  // Sessions come with a later build: none is ever made.
  TIdHTTPSession* CreateSession(TIdContext*, TIdHTTPResponseInfo*, TIdHTTPRequestInfo*) { return nullptr; }
  bool EndSession(const std::string&, const std::string& = {}) { return false; }

  // Reads and answers every request of one connection on the calling
  // thread; returns when the connection is to close (it is then
  // disconnected). Errors that end the connection propagate: the client's
  // close between requests, a time-out while idle, a request line without
  // blank. RunExecute calls it for every accepted connection.
  // With AMayPark, and a scheduler that can hold idle connections (see
  // TIdSchedulerOfEvents), it returns True instead of waiting for the next
  // request: the connection stays open and parked, and the next call goes
  // on with its next request.
  bool ServeConnection(TIdContext* AContext, TIdTCPConnection& AConnection, bool AMayPark = false);
  // For a connection that has sent nothing yet: parks it through AYarn
  // until its first bytes arrive or AIdleMs pass; false when the yarn's
  // scheduler cannot hold it (the caller then waits in a blocking poll).
  bool ParkUntilFirstBytes(TIdTCPConnection& AConnection, TIdYarn& AYarn, std::int32_t AIdleMs);

  bool AutoStartSession = false;
  bool KeepAlive = false;
  bool ParseParams = true;
  std::string ServerSoftware;
  std::int32_t SessionTimeOut = 0;
  std::int32_t MaximumHeaderLineCount = 1024;
  // The header lines of a request together, in bytes (431 above it); 0 or
  // less: only the line count and each line's length bound them.
  std::int32_t MaximumHeaderSize = kIdHTTPMaxHeaderSizeDefault;
  // The longest request line answered (414 above it).
  std::int32_t MaximumRequestLineLength = kIdHTTPMaxRequestLineDefault;
  // The largest body read (413 above it); 0 or less: no limit.
  std::int64_t MaximumRequestBodySize = kIdHTTPMaxRequestBodyDefault;
  // How long a connection may wait for its next request line, in ms.
  std::int32_t IdleTimeout = kIdHTTPIdleTimeoutDefault;
  // How long the rest of a request's head may take once its line arrived,
  // and the longest pause inside a body, in ms (408 after it).
  std::int32_t RequestTimeout = kIdHTTPRequestTimeoutDefault;

  TIdHTTPCreatePostStream OnCreatePostStream;
  TIdHTTPDoneWithPostStream OnDoneWithPostStream;
  TIdHTTPCreateSession OnCreateSession;
  TIdHTTPInvalidSessionEvent OnInvalidSession;
  TIdHTTPParseAuthenticationEvent OnParseAuthentication;
  TIdHTTPSessionEndEvent OnSessionEnd;
  TIdHTTPSessionStartEvent OnSessionStart;
  TIdHTTPCommandEvent OnCommandGet;
  TIdHTTPCommandEvent OnCommandOther;
  TIdHTTPCommandError OnCommandError;
  TIdHTTPHeadersAvailableEvent OnHeadersAvailable;
  TIdHTTPHeadersBlockedEvent OnHeadersBlocked;
  TIdHTTPHeaderExpectationsEvent OnHeaderExpectations;
  TIdHTTPQuerySSLPortEvent OnQuerySSLPort;

protected:
  // A TLS connection stays in pass-through unless FireQuerySSLPort accepts
  // the listening port; then OnConnect.
  void FireConnect(TIdContext* AContext) override;
  // The request loop; False, so the worker ends with the connection, unless
  // the connection was parked between requests.
  bool RunExecute(TIdContext* AContext) override;
  // A session time-out of 0 keeps sessions off.
  void BeginService() override;

  virtual void FireCreatePostStream(TIdContext* AContext, TIdHeaderList& AHeaders, TStream*& VPostStream);
  virtual void ReleasePostStream(TIdContext* AContext, TIdHTTPRequestInfo* ARequestInfo);
  virtual void FireCreateSession(TIdContext* AContext, TIdHTTPSession*& VNewSession);
  virtual void FireInvalidSession(TIdContext* AContext, TIdHTTPRequestInfo* ARequestInfo,
                                  TIdHTTPResponseInfo* AResponseInfo, bool& VContinueProcessing,
                                  const std::string& AInvalidSessionID);
  virtual void FireCommandGet(TIdContext* AContext, TIdHTTPRequestInfo* ARequestInfo,
                              TIdHTTPResponseInfo* AResponseInfo);
  virtual void FireCommandOther(TIdContext* AContext, TIdHTTPRequestInfo* ARequestInfo,
                                TIdHTTPResponseInfo* AResponseInfo);
  virtual void FireCommandError(TIdContext* AContext, TIdHTTPRequestInfo* ARequestInfo,
                                TIdHTTPResponseInfo* AResponseInfo, const std::exception& AException);
  virtual bool FireHeadersAvailable(TIdContext* AContext, const std::string& AUri, TIdHeaderList& AHeaders);
  virtual void FireHeadersBlocked(TIdContext* AContext, TIdHeaderList& AHeaders, std::int32_t& VResponseNo,
                                  std::string& VResponseText, std::string& VContentText);
  virtual bool FireHeaderExpectations(TIdContext* AContext, const std::string& AExpectations);
  virtual bool FireQuerySSLPort(std::uint16_t APort);
  virtual void FireSessionEnd(TIdHTTPSession* ASession);
  virtual void FireSessionStart(TIdHTTPSession* ASession);
  // Whether an Authorization line whose scheme nobody decodes is refused
  // (401). A server that requires no authentication has nothing to refuse;
  // this one cannot tell, so it refuses.
  virtual bool RefusesUndecodedScheme(TIdContext* /*AContext*/) { return true; }

private:
  friend class TIdHTTPResponseInfo;
  struct RequestState;
  // One request; False when the connection is to close.
  bool ServeOneRequest(TIdContext* AContext, TIdTCPConnection& AConnection);
  // Its steps. A request the reader refuses (bad framing, a limit passed,
  // a stall) raises a refusal that is answered with its status and a close.
  TIdHTTPParserLimits RequestLimits(const TIdIOHandler* AIO) const;
  // Raises EIdReadTimeout when no request began within the idle time.
  void ReadRequestHead(TIdIOHandler& AIO, TIdHTTPParser& AParser);
  // False when the application's header check answered the request.
  bool TakeRequestHead(TIdContext* AContext, TIdTCPConnection& AConnection, RequestState& AState);
  void ReadRequestBody(TIdContext* AContext, TIdIOHandler& AIO, RequestState& AState);
  void DecodeRequestParams(TIdContext* AContext, TIdHTTPRequestInfo& ARequest);
  // False when the request is to be abandoned (its answer began and broke).
  bool RunHandlers(TIdContext* AContext, TIdTCPConnection& AConnection, TIdHTTPRequestInfo& ARequest,
                   TIdHTTPResponseInfo& AResponse);
  void WriteAnswer(TIdTCPConnection& AConnection, TIdHTTPResponseInfo& AResponse);
  // After a request: parks the connection (or hands it to a thread that may
  // wait) through AYarn; whether the step is to return for that.
  bool ParkBetweenRequests(TIdTCPConnection& AConnection, TIdYarn& AYarn);
  void DecodeParams(TIdHTTPRequestInfo& ARequest, std::string_view AText);
  bool DecodeCredentials(TIdContext* AContext, const std::string& AScheme, const std::string& AData,
                         std::string& VUsername, std::string& VPassword);

  std::unique_ptr<TIdThreadSafeMimeTable> FMIMETable;
  TIdHTTPCustomSessionList* FSessionList = nullptr;
  bool FSessionState = false;
  std::string FSessionIDCookieName = "IDHTTPSESSIONID";
};

class TIdHTTPServer : public TIdCustomHTTPServer {
public:
  using TIdCustomHTTPServer::TIdCustomHTTPServer;
  // Stops while the whole object still stands: worker threads call its
  // virtual operations until they end. (A class derived from it, or from
  // TIdCustomHTTPServer, stops in its own destructor likewise.)
  ~TIdHTTPServer() override { SetActive(false); }
};
