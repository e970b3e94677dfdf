#include "transport/vynIdTCPConnection.h"

#include <algorithm>

#include "transport/vynIdIOHandlerSocket.h"
#include "transport/vynIdResourceStringsCore.h"

namespace {
// A reply of more lines than this is refused rather than buffered without
// end, when the handler sets no limit of its own.
constexpr std::int32_t kMaxReplyLines = 65536;
}  // namespace

EIdAlreadyConnected::EIdAlreadyConnected() : EIdException(RSAlreadyConnected) {}

TIdTCPConnection::TIdTCPConnection(TComponent* AOwner) : TIdComponent(AOwner) {}

TIdTCPConnection::~TIdTCPConnection() {
  try {
    if (FIOHandler && FIOHandler->Opened()) FIOHandler->Close();
  } catch (...) {
  }
  ReleaseIOHandler();
  SetIntercept(nullptr);
}

void TIdTCPConnection::Notification(TComponent* AComponent, TOperation AOperation) {
  if (AOperation == TOperation::opRemove) {
    if (AComponent == FIntercept) FIntercept = nullptr;
    if (AComponent == FIOHandler && !ManagedIOHandler()) {
      FIOHandler = nullptr;
      FSocket = nullptr;
    }
  }
  TIdComponent::Notification(AComponent, AOperation);
}

void TIdTCPConnection::ReleaseIOHandler() {
  if (!FIOHandler) return;
  TIdIOHandler* old = FIOHandler;
  FIOHandler = nullptr;
  FSocket = nullptr;
  if (old == FManagedIOHandler.get()) {
    FManagedIOHandler.reset();
  } else {
    if (old->WorkTarget() == this) old->SetWorkTarget(nullptr);
    old->RemoveFreeNotification(this);
  }
}

void TIdTCPConnection::SetIOHandler(TIdIOHandler* AValue) {
  if (AValue == FIOHandler) return;
  if (AValue && FIntercept && AValue->Intercept() && AValue->Intercept() != FIntercept)
    throw EIdException(RSInterceptIsDifferent);
  // A handler being replaced by its managed successor must not be freed
  // before the successor is in place.
  std::unique_ptr<TIdIOHandler> keep;
  if (AValue && AValue == FManagedIOHandler.get()) keep = std::move(FManagedIOHandler);
  ReleaseIOHandler();
  FManagedIOHandler = std::move(keep);
  FIOHandler = AValue;
  if (!FIOHandler) return;
  FIOHandler->FreeNotification(this);
  FIOHandler->SetWorkTarget(this);
  if (FIntercept) FIOHandler->SetIntercept(FIntercept);
  FSocket = dynamic_cast<TIdIOHandlerSocket*>(FIOHandler);
}

void TIdTCPConnection::CheckNotConnectedForHandlerChange() {
  if (Connected()) throw EIdException(RSCannotChangeConnectedIOHandler);
}

void TIdTCPConnection::AdoptManagedIOHandler(TIdIOHandler* AHandler) {
  std::unique_ptr<TIdIOHandler> handler(AHandler);
  if (FIOHandler == FManagedIOHandler.get()) ReleaseIOHandler();
  FManagedIOHandler = std::move(handler);
  try {
    SetIOHandler(FManagedIOHandler.get());
  } catch (...) {
    FManagedIOHandler.reset();
    throw;
  }
}

void TIdTCPConnection::CreateIOHandler() {
  CheckNotConnectedForHandlerChange();
  AdoptManagedIOHandler(MakeDefaultIOHandler(nullptr));
}

void TIdTCPConnection::SetIntercept(TIdConnectionIntercept* AValue) {
  if (AValue == FIntercept) return;
  if (AValue && FIOHandler && FIOHandler->Intercept() && FIOHandler->Intercept() != AValue)
    throw EIdException(RSInterceptIsDifferent);
  if (FIntercept) FIntercept->RemoveFreeNotification(this);
  FIntercept = AValue;
  if (FIntercept) FIntercept->FreeNotification(this);
  if (FIOHandler) FIOHandler->SetIntercept(FIntercept);
}

bool TIdTCPConnection::Connected() { return FIOHandler && FIOHandler->Connected(); }

void TIdTCPConnection::Disconnect(bool ANotifyPeer) {
  try {
    if (ANotifyPeer && Connected()) DisconnectNotifyPeer();
  } catch (...) {
    // The close below happens whatever the goodbye did.
  }
  if (FIOHandler && FIOHandler->Opened()) {
    DoStatus(TIdStatus::hsDisconnecting);
    FIOHandler->Close();
    FireDisconnected();
    DoStatus(TIdStatus::hsDisconnected);
  }
}

void TIdTCPConnection::FireDisconnected() {
  if (OnDisconnected) OnDisconnected(this);
}

void TIdTCPConnection::CheckForGracefulDisconnect(bool ARaiseExceptionIfDisconnected) {
  if (FIOHandler)
    FIOHandler->CheckForDisconnect(ARaiseExceptionIfDisconnected, false);
  else if (ARaiseExceptionIfDisconnected)
    throw EIdNotConnected();
}

TIdIOHandler& TIdTCPConnection::CheckedIOHandler() const {
  if (!FIOHandler) throw EIdNotConnected();
  return *FIOHandler;
}

// --- command/reply exchange

void TIdTCPConnection::GetInternalResponse(const TIdTextEncoding& AEncoding) {
  TIdIOHandler& handler = CheckedIOHandler();
  const std::int32_t maxLines = handler.MaxCapturedLines() > 0 ? handler.MaxCapturedLines() : kMaxReplyLines;
  TStringList lines;
  for (;;) {
    std::string line = handler.ReadLnWait(INT32_MAX, AEncoding);
    if (lines.Count() >= maxLines) throw EIdMaxCaptureLineExceeded();
    lines.Add(line);
    if (TIdReplyRFC::IsEndReplyLine(line)) break;
  }
  FLastCmdResult.SetFormattedReply(lines);
}

std::int16_t TIdTCPConnection::CheckResponse(std::int16_t AResponse,
                                             const std::vector<std::int16_t>& AAllowedResponses) {
  bool allowed = AAllowedResponses.empty() || (AAllowedResponses.size() == 1 && AAllowedResponses[0] == -1) ||
                 std::find(AAllowedResponses.begin(), AAllowedResponses.end(), AResponse) != AAllowedResponses.end();
  if (!allowed) RaiseExceptionForLastCmdResult();
  return AResponse;
}

std::string TIdTCPConnection::CheckResponse(const std::string& AResponse, const std::string& AAllowedResponse) {
  if (!AAllowedResponse.empty() && AResponse != AAllowedResponse) RaiseExceptionForLastCmdResult();
  return AResponse;
}

void TIdTCPConnection::RaiseExceptionForLastCmdResult() {
  std::string text = FLastCmdResult.Text().Text();
  const std::string& LineBreak = FLastCmdResult.Text().LineBreak;
  if (text.size() >= LineBreak.size() && text.compare(text.size() - LineBreak.size(), LineBreak.size(), LineBreak) == 0)
    text.resize(text.size() - LineBreak.size());
  throw EIdReplyRFCError(FLastCmdResult.NumericCode(), text);
}

std::int16_t TIdTCPConnection::GetResponse(const std::vector<std::int16_t>& AAllowedResponses,
                                           const TIdTextEncoding& AEncoding) {
  GetInternalResponse(AEncoding);
  return CheckResponse(FLastCmdResult.NumericCode(), AAllowedResponses);
}

std::int16_t TIdTCPConnection::GetResponse(std::int16_t AAllowedResponse, const TIdTextEncoding& AEncoding) {
  return GetResponse(std::vector<std::int16_t>{AAllowedResponse}, AEncoding);
}

std::string TIdTCPConnection::GetResponse(const std::string& AAllowedResponse, const TIdTextEncoding& AEncoding) {
  GetInternalResponse(AEncoding);
  return CheckResponse(FLastCmdResult.Code(), AAllowedResponse);
}

std::int16_t TIdTCPConnection::SendCmd(const std::string& AOut, const std::vector<std::int16_t>& AResponse,
                                       const TIdTextEncoding& AEncoding) {
  TIdIOHandler& handler = CheckedIOHandler();
  BeforeSendCmd();
  handler.WriteLn(AOut, AEncoding);
  return GetResponse(AResponse, AEncoding);
}

std::int16_t TIdTCPConnection::SendCmd(const std::string& AOut, std::int16_t AResponse,
                                       const TIdTextEncoding& AEncoding) {
  return SendCmd(AOut, std::vector<std::int16_t>{AResponse}, AEncoding);
}

std::string TIdTCPConnection::SendCmd(const std::string& AOut, const std::string& AResponse,
                                      const TIdTextEncoding& AEncoding) {
  TIdIOHandler& handler = CheckedIOHandler();
  BeforeSendCmd();
  handler.WriteLn(AOut, AEncoding);
  return GetResponse(AResponse, AEncoding);
}

void TIdTCPConnection::WriteHeader(const TStrings& AHeader) {
  TIdIOHandler& handler = CheckedIOHandler();
  handler.WriteBufferOpen();
  try {
    for (const std::string& item : AHeader) {
      std::size_t eq = item.find('=');
      handler.WriteLn(eq == std::string::npos ? item : item.substr(0, eq) + ": " + item.substr(eq + 1));
    }
    handler.WriteLn();
    handler.WriteBufferClose();
  } catch (...) {
    handler.WriteBufferCancel();
    throw;
  }
}

void TIdTCPConnection::WriteRFCStrings(const TStrings& AStrings) { CheckedIOHandler().WriteRFCStrings(AStrings); }
