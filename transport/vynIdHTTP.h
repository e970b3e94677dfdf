// The HTTP/1.0 and 1.1 client: one exchange turns a method, a URL, an
// optional body and an optional response stream into a request on a new or
// kept-alive connection (direct, through a proxy or a CONNECT tunnel, plain
// or TLS), reads the answer, follows redirects, answers authentication
// challenges, keeps cookies and turns error statuses into
// EIdHTTPProtocolException.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Classes.h"
#include "transport/vynIdAuthentication.h"
#include "transport/vynIdCookie.h"
#include "transport/vynIdHTTPHeaderInfo.h"
#include "transport/vynIdHTTPParser.h"
#include "transport/vynIdReplyRFC.h"
#include "transport/vynIdTCPClient.h"
#include "transport/vynIdTextEncoding.h"
#include "transport/vynIdURI.h"

// An error status from the server: the status code, the status line as the
// message and the response body as ErrorMessage.
class EIdHTTPProtocolException : public EIdReplyRFCError {
public:
  EIdHTTPProtocolException(std::int32_t anErrCode, std::string asReplyMessage, std::string asErrorMessage)
      : EIdReplyRFCError(anErrCode, std::move(asReplyMessage)), FErrorMessage(std::move(asErrorMessage)) {}
  static EIdHTTPProtocolException CreateError(std::int32_t anErrCode, std::string asReplyMessage,
                                              std::string asErrorMessage) {
    return EIdHTTPProtocolException(anErrCode, std::move(asReplyMessage), std::move(asErrorMessage));
  }
  const std::string& ErrorMessage() const { return FErrorMessage; }

private:
  std::string FErrorMessage;
};

class EIdUnknownProtocol : public EIdException {
public:
  EIdUnknownProtocol();
  explicit EIdUnknownProtocol(const std::string& AMessage);
};

class EIdIOHandlerPropInvalid : public EIdException {
public:
  EIdIOHandlerPropInvalid();
};

// A response that breaks the message format: cut short, a bad chunk size,
// too many header lines. The connection it came on is closed.
class EIdHTTPResponseInvalid : public EIdException {
public:
  using EIdException::EIdException;
};

// A request that cannot be written safely (a line break or NUL in the
// target, a header name or value); refused before anything is sent.
class EIdHTTPRequestInvalid : public EIdException {
public:
  using EIdException::EIdException;
};

enum class TIdHTTPProtocolVersion : std::uint8_t { pv1_0, pv1_1 };
enum class TIdHTTPConnectionType : std::uint8_t { ctNormal, ctSSL, ctProxy, ctSSLProxy };
enum class TIdHTTPWhatsNext : std::uint8_t { wnGoToURL, wnJustExit, wnDontKnow, wnReadAndGo, wnAuthRequest };

enum class TIdHTTPOption : std::uint8_t {
  hoInProcessAuth = 0,
  hoKeepOrigProtocol = 1,
  hoForceEncodeParams = 2,
  hoNonSSLProxyUseConnectVerb = 3,
  hoNoParseMetaHTTPEquiv = 4,
  hoWaitForUnexpectedData = 5,
  hoTreat302Like303 = 6,
  hoNoProtocolErrorException = 7,
  hoNoReadMultipartMIME = 8,
  hoNoParseXmlCharset = 9,
  hoWantProtocolErrorContent = 10,
  hoNoReadChunked = 11
};

// A set of TIdHTTPOption values: bit n for the option of ordinal n.
class TIdHTTPOptions {
public:
  constexpr TIdHTTPOptions() = default;
  constexpr TIdHTTPOptions(std::initializer_list<TIdHTTPOption> AValues) {
    for (TIdHTTPOption v : AValues) Include(v);
  }
  constexpr bool Contains(TIdHTTPOption AValue) const { return (FBits >> static_cast<unsigned>(AValue)) & 1u; }
  constexpr void Include(TIdHTTPOption AValue) {
    FBits = static_cast<std::uint16_t>(FBits | (1u << static_cast<unsigned>(AValue)));
  }
  constexpr void Exclude(TIdHTTPOption AValue) {
    FBits = static_cast<std::uint16_t>(FBits & ~(1u << static_cast<unsigned>(AValue)));
  }
  constexpr std::uint16_t Mask() const { return FBits; }
  constexpr bool operator==(const TIdHTTPOptions&) const = default;

private:
  std::uint16_t FBits = 0;
};

class TIdCustomHTTP;
class TIdHTTPProtocol;

class TIdHTTPRequest : public TIdRequestHeaderInfo {
public:
  explicit TIdHTTPRequest(TIdCustomHTTP* AHTTP);
  void Assign(const TPersistent& ASource) override;

  std::string URL;
  std::string Method;
  // The body; not owned.
  TStream* Source = nullptr;
  TIdHTTPConnectionType UseProxy() const { return FUseProxy; }
  TIdIPVersion IPVersion = TIdIPVersion::Id_IPv4;
  // Host, ":" and port of the origin server.
  std::string Destination;

private:
  friend class TIdCustomHTTP;
  TIdCustomHTTP* FHTTP;
  TIdHTTPConnectionType FUseProxy = TIdHTTPConnectionType::ctNormal;
};

class TIdHTTPResponse : public TIdResponseHeaderInfo {
public:
  explicit TIdHTTPResponse(TIdCustomHTTP* AHTTP);
  void Clear() override;

  // The status code; parsed from the status line on first read, -1 when it
  // holds none.
  std::int32_t ResponseCode();
  void SetResponseCode(std::int32_t AValue) { FResponseCode = AValue; }
  const std::string& ResponseText() const { return FResponseText; }
  // Stores the line, forgets the parsed code and takes the version from it.
  void SetResponseText(const std::string& AValue);
  // Whether the connection may serve the next request; recomputed.
  bool KeepAlive();
  TIdHTTPProtocolVersion ResponseVersion() const { return FResponseVersion; }
  void SetResponseVersion(TIdHTTPProtocolVersion AValue) { FResponseVersion = AValue; }
  // Where the body goes; not owned; none discards it.
  TStream* ContentStream = nullptr;
  TIdMetaHTTPEquiv& MetaHTTPEquiv() { return FMetaHTTPEquiv; }
  // The reader of this response's head and body: it knows how the body is
  // framed once the head is read.
  TIdHTTPParser& Parser() { return FParser; }

private:
  friend class TIdHTTPProtocol;
  TIdCustomHTTP* FHTTP;
  // The request this answers (for the keep-alive rule).
  TIdHTTPRequest* FRequest = nullptr;
  std::int32_t FResponseCode = -1;
  std::string FResponseText;
  bool FKeepAlive = false;
  TIdHTTPProtocolVersion FResponseVersion = TIdHTTPProtocolVersion::pv1_1;
  TIdMetaHTTPEquiv FMetaHTTPEquiv;
  TIdHTTPParser FParser{TIdHTTPMessageKind::mkResponse};
};

// The optional decompressor of gzip and deflate bodies.
class TIdZLibCompressorBase : public TComponent {
public:
  using TComponent::TComponent;
  virtual bool IsReady() { return true; }
  virtual void DecompressDeflateStream(TStream& AInput, TStream& AOutput) = 0;
  virtual void DecompressGZipStream(TStream& AInput, TStream& AOutput) = 0;
};

// Sets of status codes that do not raise.
using TIdHTTPIgnoreReplies = std::vector<std::int16_t>;

class TIdHTTPProtocol {
public:
  explicit TIdHTTPProtocol(TIdCustomHTTP* AConnection);
  virtual ~TIdHTTPProtocol() = default;
  TIdHTTPProtocol(const TIdHTTPProtocol&) = delete;
  TIdHTTPProtocol& operator=(const TIdHTTPProtocol&) = delete;

  // Writes the request line and the header block in one write.
  void BuildAndSendRequest(TIdURI* AURI);
  // The head of a response, its status line and at most AMaxHeaderCount
  // header lines (0 or less: no limit). A head that breaks the message
  // format raises EIdHTTPResponseInvalid; a close before any of it raises
  // EIdConnClosedGracefully; either way the connection is closed.
  void RetrieveHeaders(std::int32_t AMaxHeaderCount);
  TIdHTTPWhatsNext ProcessResponse(const TIdHTTPIgnoreReplies& AIgnoreReplies);

  TIdHTTPRequest& Request() { return *FRequest; }
  TIdHTTPResponse& Response() { return *FResponse; }

private:
  friend class TIdCustomHTTP;
  [[noreturn]] void RaiseStatusError(const std::string& ABody);
  // Raises for an error status, or reads or discards its body when the
  // status must not raise.
  void HandleStatusError(const TIdHTTPIgnoreReplies& AIgnoreReplies);
  void DiscardBody();
  bool ReadOrDiscardAuthBody(const TIdHTTPIgnoreReplies& AIgnoreReplies);

  TIdCustomHTTP* FHTTP;
  std::unique_ptr<TIdHTTPRequest> FRequest;
  std::unique_ptr<TIdHTTPResponse> FResponse;
};

using TIdHTTPOnHeadersAvailable = std::function<void(TComponent* Sender, TIdHeaderList& AHeaders, bool& VContinue)>;
using TIdHTTPOnRedirectEvent = std::function<void(TComponent* Sender, std::string& dest, std::int32_t& NumRedirect,
                                                  bool& Handled, std::string& VMethod)>;
using TIdOnSelectAuthorization =
    std::function<void(TComponent* Sender, TIdAuthenticationClass& AuthenticationClass, TIdHeaderList& AuthInfo)>;
using TIdOnAuthorization = std::function<void(TComponent* Sender, TIdAuthentication* Authentication, bool& Handled)>;
using TIdOnChunkReceived = std::function<void(TComponent* Sender, TIdBytes& Chunk)>;

class TIdCustomHTTP : public TIdTCPClientCustom {
public:
  explicit TIdCustomHTTP(TComponent* AOwner = nullptr);
  ~TIdCustomHTTP() override;

  // --- verbs
  void Get(const std::string& AURL, TStream* AResponseContent);
  void Get(const std::string& AURL, TStream* AResponseContent, const TIdHTTPIgnoreReplies& AIgnoreReplies);
  std::string Get(const std::string& AURL);
  std::string Get(const std::string& AURL, const TIdHTTPIgnoreReplies& AIgnoreReplies);
  void Head(const std::string& AURL);
  void Delete(const std::string& AURL, TStream* AResponseContent);
  std::string Delete(const std::string& AURL);
  // The text goes as the body, as UTF-8.
  std::string Delete(const std::string& AURL, const std::string& aBody);
  void Options(const std::string& AURL, TStream* AResponseContent);
  std::string Options(const std::string& AURL);
  void Trace(const std::string& AURL, TStream* AResponseContent);
  std::string Trace(const std::string& AURL);
  void Put(const std::string& AURL, TStream* ASource, TStream* AResponseContent);
  std::string Put(const std::string& AURL, TStream* ASource);
  void Patch(const std::string& AURL, TStream* ASource, TStream* AResponseContent);
  std::string Patch(const std::string& AURL, TStream* ASource);
  void Post(const std::string& AURL, TStream* ASource, TStream* AResponseContent);
  std::string Post(const std::string& AURL, TStream* ASource);
  // The named file is the body.
  void Post(const std::string& AURL, const std::string& ASourceFile, TStream* AResponseContent);
  std::string Post(const std::string& AURL, const std::string& ASourceFile);
  // The list as form fields.
  void Post(const std::string& AURL, TStrings* ASource, TStream* AResponseContent,
            const TIdTextEncoding& AByteEncoding = nullptr);
  std::string Post(const std::string& AURL, TStrings* ASource, const TIdTextEncoding& AByteEncoding = nullptr);

  // The exchange every verb runs.
  virtual void PerformRequest(const std::string& AMethod, const std::string& AURL, TStream* ASource,
                              TStream* AResponseContent, const TIdHTTPIgnoreReplies& AIgnoreReplies);

  // --- results and settings
  TIdHTTPRequest& Request() { return FHTTPProto->Request(); }
  void SetRequest(const TIdHTTPRequest& AValue) { FHTTPProto->Request().Assign(AValue); }
  TIdHTTPResponse& Response() { return FHTTPProto->Response(); }
  std::int32_t ResponseCode() { return Response().ResponseCode(); }
  const std::string& ResponseText() { return Response().ResponseText(); }
  TIdMetaHTTPEquiv& MetaHTTPEquiv() { return Response().MetaHTTPEquiv(); }
  const TIdURI& URL() const { return *FURI; }
  std::int32_t RedirectCount() const { return FRedirectCount; }
  std::int32_t AuthRetries() const { return FAuthRetries; }
  std::int32_t AuthProxyRetries() const { return FAuthProxyRetries; }

  TIdProxyConnectionInfo& ProxyParams() { return *FProxyParameters; }
  void SetProxyParams(const TIdProxyConnectionInfo& AValue) { FProxyParameters->Assign(AValue); }
  TIdHTTPOptions HTTPOptions() const { return FOptions; }
  void SetHTTPOptions(TIdHTTPOptions AValue) { FOptions = AValue; }
  TIdHTTPProtocolVersion ProtocolVersion() const { return FProtocolVersion; }
  void SetProtocolVersion(TIdHTTPProtocolVersion AValue) { FProtocolVersion = AValue; }
  std::int32_t RedirectMaximum() const { return FRedirectMax; }
  void SetRedirectMaximum(std::int32_t AValue) { FRedirectMax = AValue; }
  bool HandleRedirects() const { return FHandleRedirects; }
  void SetHandleRedirects(bool AValue) { FHandleRedirects = AValue; }
  std::int32_t MaxAuthRetries() const { return FMaxAuthRetries; }
  void SetMaxAuthRetries(std::int32_t AValue) { FMaxAuthRetries = AValue; }
  std::int32_t MaxHeaderLines() const { return FMaxHeaderLines; }
  void SetMaxHeaderLines(std::int32_t AValue) { FMaxHeaderLines = AValue; }
  bool AllowCookies() const { return FAllowCookies; }
  void SetAllowCookies(bool AValue) { FAllowCookies = AValue; }

  TIdCookieManager* CookieManager() const { return FCookieManager; }
  // Frees an implicit manager it replaces.
  void SetCookieManager(TIdCookieManager* AValue);
  TIdAuthenticationManager* AuthenticationManager() const { return FAuthenticationManager; }
  void SetAuthenticationManager(TIdAuthenticationManager* AValue);
  TIdZLibCompressorBase* Compressor() const { return FCompressor; }
  void SetCompressor(TIdZLibCompressorBase* AValue);

  TIdHTTPOnHeadersAvailable OnHeadersAvailable;
  TIdHTTPOnRedirectEvent OnRedirect;
  TIdOnSelectAuthorization OnSelectAuthorization;
  TIdOnSelectAuthorization OnSelectProxyAuthorization;
  TIdOnAuthorization OnAuthorization;
  TIdOnAuthorization OnProxyAuthorization;
  TIdOnChunkReceived OnChunkReceived;

  // Most rounds (redirects and authentication answers together) one
  // exchange makes, whatever RedirectMaximum and MaxAuthRetries say.
  static constexpr std::int32_t kMaxExchangeRounds = 100;

protected:
  friend class TIdHTTPProtocol;

  virtual std::unique_ptr<TIdHTTPProtocol> MakeProtocol();
  virtual bool NegotiateAuthorization(TIdHTTPRequest& ARequest, TIdHTTPResponse& AResponse);
  virtual bool NegotiateProxyAuthorization(TIdHTTPRequest& ARequest, TIdHTTPResponse& AResponse);
  virtual bool ConfirmRedirect(std::string& Location, std::string& VMethod, std::int32_t RedirectCount);
  void Notification(TComponent* AComponent, TOperation AOperation) override;
  void FireDisconnected() override;

  // Disconnect that raises nothing: for closing after a failure, whose own
  // error is the one to report.
  void DisconnectQuietly(bool ANotifyPeer = true) noexcept;
  void ResolveRequestURL();
  TIdHTTPConnectionType ChooseConnectionTarget();
  void OpenAndSend(TIdHTTPRequest& ARequest, TIdHTTPResponse& AResponse);
  void OpenConnection(TIdHTTPRequest& ARequest, TIdHTTPResponse& AResponse);
  void OpenTunnel(TIdHTTPRequest& ARequest);
  std::string ReadProtocolLine();
  void StoreServerCookies(TIdHTTPResponse& AResponse);
  void ReadResponseBody(TIdHTTPRequest& ARequest, TIdHTTPResponse& AResponse);
  // The chunks of a chunked body into ARaw (none: discarded), trailer lines
  // into the response's header lines.
  void ReadChunkedBody(TIdHTTPResponse& AResponse, TStream* ARaw);
  // Drops credentials that must not follow a redirect to another origin
  // or from https to http.
  void DropCredentialsFor(const std::string& AOldProtocol, const std::string& AOldHost, const std::string& AOldPort);

  std::int32_t FAuthRetries = 0;
  std::int32_t FAuthProxyRetries = 0;
  TIdCookieManager* FCookieManager = nullptr;
  TIdZLibCompressorBase* FCompressor = nullptr;
  bool FImplicitCookieManager = false;
  std::int32_t FMaxAuthRetries = 3;
  std::int32_t FMaxHeaderLines = 255;
  bool FAllowCookies = true;
  TIdAuthenticationManager* FAuthenticationManager = nullptr;
  TIdHTTPProtocolVersion FProtocolVersion = TIdHTTPProtocolVersion::pv1_1;
  std::int32_t FRedirectCount = 0;
  std::int32_t FRedirectMax = 15;
  bool FHandleRedirects = false;
  TIdHTTPOptions FOptions{TIdHTTPOption::hoForceEncodeParams};
  std::unique_ptr<TIdURI> FURI;
  std::unique_ptr<TIdHTTPProtocol> FHTTPProto;
  std::unique_ptr<TIdProxyConnectionInfo> FProxyParameters;

private:
  void DoRequestText(const std::string& AMethod, const std::string& AURL, TStream* ASource, std::string& AResult,
                     const TIdHTTPIgnoreReplies& AIgnoreReplies = {});
  std::unique_ptr<TIdCookieManager> FOwnedCookieManager;
  // Within an exchange: bytes have been written on the connection, so a
  // failure leaves it in an unknown state.
  bool FSendingBegan = false;
  // The connection runs through a CONNECT tunnel the proxy opened.
  bool FTunnelOpen = false;
  // A final answer's head read while waiting for "100 Continue".
  bool FHasPendingHead = false;
};

class TIdHTTP : public TIdCustomHTTP {
public:
  using TIdCustomHTTP::TIdCustomHTTP;
};

// Helpers the client shares with its callers and tests.

// The media type of a Content-Type value, lower case, without parameters.
std::string HTTPMediaType(std::string_view AContentType);
// The converter for a charset name; the 8-bit encoding for an empty or
// unknown name.
TIdTextEncoding EncodingForCharset(std::string_view ACharSet);
// The stream from position 0 to its end, decoded with the charset.
std::string DecodeBodyText(TStream& AStream, std::string_view ACharSet);
// The charset a response body is read with: its own, or UTF-8 for JSON.
std::string ResponseBodyCharset(TIdHTTPResponse& AResponse);
// The body of a form post from a list of name=value lines.
std::string EncodeFormFields(const TStrings& ASource, bool AEncode, const TIdTextEncoding& AByteEncoding);
std::string EncodeFormValue(std::string_view AValue, const TIdTextEncoding& AByteEncoding);
// Path resolution with "." and ".." segments and runs of delimiters.
std::string ResolvePath(std::string_view ABase, std::string_view APath, char ADelimiter = '/');
// The encoding an XML document declares (or its byte-order mark says);
// "UTF-8" when it declares none. The stream position is left after a mark.
std::string XMLEncodingOf(TStream& AStream);
