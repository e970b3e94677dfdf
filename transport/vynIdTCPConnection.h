// A connection over one I/O handler: the handler's lifetime, intercepts,
// disconnecting with status reports, and the command/reply exchange of line
// protocols.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "transport/vynIdComponent.h"
#include "transport/vynIdIOHandler.h"
#include "transport/vynIdIntercept.h"
#include "transport/vynIdReplyRFC.h"

class TIdIOHandlerSocket;

class EIdAlreadyConnected : public EIdException {
public:
  EIdAlreadyConnected();
};

using TIdNotifyEvent = std::function<void(TComponent* ASender)>;

class TIdTCPConnection : public TIdComponent {
public:
  explicit TIdTCPConnection(TComponent* AOwner = nullptr);
  ~TIdTCPConnection() override;

  // --- the handler
  TIdIOHandler* IOHandler() const { return FIOHandler; }
  virtual void SetIOHandler(TIdIOHandler* AValue);
  // The handler when it is a socket handler, else none.
  TIdIOHandlerSocket* Socket() const { return FSocket; }
  // The handler was made by this connection and ends with it.
  bool ManagedIOHandler() const { return FIOHandler && FIOHandler == FManagedIOHandler.get(); }
  // A handler of the default class, or of the last registered class that
  // derives from T; assigned and managed.
  void CreateIOHandler();
  // AHandler becomes the connection's managed handler (a server hands an
  // accepted handler over this way).
  void AdoptIOHandler(std::unique_ptr<TIdIOHandler> AHandler) { AdoptManagedIOHandler(AHandler.release()); }
  template <class T>
  void CreateIOHandler() {
    CheckNotConnectedForHandlerChange();
    AdoptManagedIOHandler(MakeIOHandler<T>(nullptr));
  }

  virtual TIdConnectionIntercept* Intercept() const { return FIntercept; }
  virtual void SetIntercept(TIdConnectionIntercept* AValue);

  // --- connection state
  virtual bool Connected();
  virtual void Disconnect(bool ANotifyPeer = true);
  virtual void CheckForGracefulDisconnect(bool ARaiseExceptionIfDisconnected = true);

  // --- command/reply exchange
  TIdReplyRFC& Greeting() { return FGreeting; }
  TIdReplyRFC& LastCmdResult() { return FLastCmdResult; }
  // Writes AOut and a line end, reads the reply and checks its code (-1
  // allows any); the numeric code.
  virtual std::int16_t SendCmd(const std::string& AOut, std::int16_t AResponse = -1,
                               const TIdTextEncoding& AEncoding = nullptr);
  std::int16_t SendCmd(const std::string& AOut, const std::vector<std::int16_t>& AResponse,
                       const TIdTextEncoding& AEncoding = nullptr);
  // Codes compared as text; an empty AResponse allows any. The reply code.
  std::string SendCmd(const std::string& AOut, const std::string& AResponse,
                      const TIdTextEncoding& AEncoding = nullptr);
  std::string SendCmd(const std::string& AOut, const char* AResponse, const TIdTextEncoding& AEncoding = nullptr) {
    return SendCmd(AOut, std::string(AResponse), AEncoding);
  }
  virtual std::int16_t GetResponse(const std::vector<std::int16_t>& AAllowedResponses,
                                   const TIdTextEncoding& AEncoding = nullptr);
  std::int16_t GetResponse(std::int16_t AAllowedResponse = -1, const TIdTextEncoding& AEncoding = nullptr);
  virtual std::string GetResponse(const std::string& AAllowedResponse, const TIdTextEncoding& AEncoding = nullptr);
  virtual void GetInternalResponse(const TIdTextEncoding& AEncoding = nullptr);
  virtual std::int16_t CheckResponse(std::int16_t AResponse, const std::vector<std::int16_t>& AAllowedResponses);
  virtual std::string CheckResponse(const std::string& AResponse, const std::string& AAllowedResponse);
  [[noreturn]] virtual void RaiseExceptionForLastCmdResult();

  // Each item with its first "=" turned into ": ", then an empty line, in
  // one write.
  void WriteHeader(const TStrings& AHeader);
  // Dot-stuffed lines, then ".".
  void WriteRFCStrings(const TStrings& AStrings);

  TIdNotifyEvent OnDisconnected;

protected:
  void Notification(TComponent* AComponent, TOperation AOperation) override;
  virtual void FireDisconnected();
  virtual void BeforeSendCmd() {}
  // Says goodbye in the protocol's words before the close; nothing here.
  virtual void DisconnectNotifyPeer() {}
  // The handler, or EIdNotConnected.
  TIdIOHandler& CheckedIOHandler() const;
  void CheckNotConnectedForHandlerChange();
  void AdoptManagedIOHandler(TIdIOHandler* AHandler);
  // Frees a managed handler, or lets go of one assigned from outside.
  void ReleaseIOHandler();

  TIdReplyRFC FGreeting;
  TIdReplyRFC FLastCmdResult;
  TIdConnectionIntercept* FIntercept = nullptr;
  TIdIOHandler* FIOHandler = nullptr;
  std::unique_ptr<TIdIOHandler> FManagedIOHandler;
  TIdIOHandlerSocket* FSocket = nullptr;
};
