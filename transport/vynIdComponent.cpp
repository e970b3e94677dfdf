#include "transport/vynIdComponent.h"

#include "transport/vynIdResourceStringsCore.h"
#include "transport/vynIdStack.h"

TIdComponent::TIdComponent(TComponent* AOwner) : TComponent(AOwner) { TIdStack::IncUsage(); }

TIdComponent::~TIdComponent() {
  // The link to the work target is dropped by the component's own end, which
  // also tells the target. Removing it here would cut a free notification
  // the target asked for for its own reasons (a connection watching its
  // handler), and the target would keep a dangling pointer.
  FWorkTarget = nullptr;
  TIdStack::DecUsage();
}

const char* TIdComponent::StatusText(TIdStatus AStatus) {
  switch (AStatus) {
    case TIdStatus::hsResolving:
      return RSStatusResolving;
    case TIdStatus::hsConnecting:
      return RSStatusConnecting;
    case TIdStatus::hsConnected:
      return RSStatusConnected;
    case TIdStatus::hsDisconnecting:
      return RSStatusDisconnecting;
    case TIdStatus::hsDisconnected:
      return RSStatusDisconnected;
    default:
      return RSStatusText;
  }
}

void TIdComponent::SetWorkTarget(TIdComponent* AValue) {
  if (AValue == FWorkTarget) return;
  if (FWorkTarget) FWorkTarget->RemoveFreeNotification(this);
  FWorkTarget = AValue;
  if (FWorkTarget) FWorkTarget->FreeNotification(this);
}

void TIdComponent::Notification(TComponent* AComponent, TOperation AOperation) {
  if (AOperation == TOperation::opRemove && AComponent == FWorkTarget) FWorkTarget = nullptr;
  TComponent::Notification(AComponent, AOperation);
}

void TIdComponent::BeginWork(TWorkMode AWorkMode, std::int64_t ASize) {
  if (FWorkTarget) {
    FWorkTarget->BeginWork(AWorkMode, ASize);
    return;
  }
  TWorkInfo& info = FWorkInfos[static_cast<int>(AWorkMode)];
  if (++info.Level == 1) {
    info.Current = 0;
    info.Max = ASize;
    if (OnWorkBegin) OnWorkBegin(this, AWorkMode, ASize);
  }
}

void TIdComponent::DoWork(TWorkMode AWorkMode, std::int64_t ACount) {
  if (FWorkTarget) {
    FWorkTarget->DoWork(AWorkMode, ACount);
    return;
  }
  TWorkInfo& info = FWorkInfos[static_cast<int>(AWorkMode)];
  if (info.Level < 1) return;
  info.Current += ACount;
  if (OnWork) OnWork(this, AWorkMode, info.Current);
}

void TIdComponent::EndWork(TWorkMode AWorkMode) {
  if (FWorkTarget) {
    FWorkTarget->EndWork(AWorkMode);
    return;
  }
  TWorkInfo& info = FWorkInfos[static_cast<int>(AWorkMode)];
  if (info.Level < 1) return;
  if (info.Level == 1 && OnWorkEnd) OnWorkEnd(this, AWorkMode);
  --info.Level;
}
