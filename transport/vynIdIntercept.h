// Sees and may rewrite every block of bytes a connection sends or receives;
// intercepts chain.
#pragma once

#include <functional>

#include "transport/vynIdComponent.h"

class EIdInterceptCircularLink : public EIdException {
public:
  using EIdException::EIdException;
};

class TIdConnectionIntercept;
using TIdInterceptNotifyEvent = std::function<void(TIdConnectionIntercept* ASender)>;
using TIdInterceptStreamEvent = std::function<void(TIdConnectionIntercept* ASender, TIdBytes& ABuffer)>;

class TIdConnectionIntercept : public TIdComponent {
public:
  explicit TIdConnectionIntercept(TComponent* AOwner = nullptr);
  ~TIdConnectionIntercept() override;

  virtual void Connect(TComponent* AConnection);
  virtual void Disconnect();
  virtual void Receive(TIdBytes& VBuffer);
  virtual void Send(TIdBytes& VBuffer);

  TComponent* Connection() const { return FConnection; }
  // The chained intercept (referenced, not owned).
  TIdConnectionIntercept* Intercept() const { return FIntercept; }
  void SetIntercept(TIdConnectionIntercept* AValue);
  bool IsClient() const { return FIsClient; }
  void SetIsClient(bool AValue) { FIsClient = AValue; }
  // A user object, untouched by the intercept.
  void* Data = nullptr;

  TIdInterceptNotifyEvent OnConnect;
  TIdInterceptNotifyEvent OnDisconnect;
  TIdInterceptStreamEvent OnReceive;
  TIdInterceptStreamEvent OnSend;

protected:
  void Notification(TComponent* AComponent, TOperation AOperation) override;

private:
  TComponent* FConnection = nullptr;
  TIdConnectionIntercept* FIntercept = nullptr;
  bool FIsClient = true;
};

// Makes one connection intercept per connection a server accepts; the
// server installs it and frees it when the connection ends.
class TIdServerIntercept : public TIdComponent {
public:
  explicit TIdServerIntercept(TComponent* AOwner = nullptr) : TIdComponent(AOwner) {}
  virtual void Init() = 0;
  // The intercept for AConnection (the caller owns it), or none.
  virtual TIdConnectionIntercept* Accept(TComponent* AConnection) = 0;
};
