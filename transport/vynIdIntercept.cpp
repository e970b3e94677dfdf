#include "transport/vynIdIntercept.h"

#include "transport/vynIdResourceStringsCore.h"

TIdConnectionIntercept::TIdConnectionIntercept(TComponent* AOwner) : TIdComponent(AOwner) {}

TIdConnectionIntercept::~TIdConnectionIntercept() { SetIntercept(nullptr); }

void TIdConnectionIntercept::Connect(TComponent* AConnection) {
  FConnection = AConnection;
  if (OnConnect) OnConnect(this);
  if (FIntercept) FIntercept->Connect(AConnection);
}

void TIdConnectionIntercept::Disconnect() {
  if (FIntercept) FIntercept->Disconnect();
  if (OnDisconnect) OnDisconnect(this);
  FConnection = nullptr;
}

void TIdConnectionIntercept::Receive(TIdBytes& VBuffer) {
  if (FIntercept) FIntercept->Receive(VBuffer);
  if (OnReceive) OnReceive(this, VBuffer);
}

void TIdConnectionIntercept::Send(TIdBytes& VBuffer) {
  if (OnSend) OnSend(this, VBuffer);
  if (FIntercept) FIntercept->Send(VBuffer);
}

void TIdConnectionIntercept::SetIntercept(TIdConnectionIntercept* AValue) {
  if (AValue == FIntercept) return;
  for (TIdConnectionIntercept* link = AValue; link; link = link->FIntercept)
    if (link == this) throw EIdInterceptCircularLink(Format(RSInterceptCircularLink, ClassName()));
  if (FIntercept) FIntercept->RemoveFreeNotification(this);
  FIntercept = AValue;
  if (FIntercept) FIntercept->FreeNotification(this);
}

void TIdConnectionIntercept::Notification(TComponent* AComponent, TOperation AOperation) {
  if (AOperation == TOperation::opRemove && AComponent == FIntercept) FIntercept = nullptr;
  TIdComponent::Notification(AComponent, AOperation);
}
