#include "transport/vynIdTCPClient.h"

#include "transport/vynIdResourceStringsCore.h"

EIdHostRequired::EIdHostRequired() : EIdException(RSHostRequired) {}
EIdPortRequired::EIdPortRequired() : EIdException(RSPortRequired) {}

TIdTCPClientCustom::TIdTCPClientCustom(TComponent* AOwner) : TIdTCPConnection(AOwner) {}

TIdIOHandler* TIdTCPClientCustom::MakeDefaultClientHandler() { return MakeDefaultIOHandler(nullptr); }

void TIdTCPClientCustom::FireConnected() {
  if (OnConnected) OnConnected(this);
}

void TIdTCPClientCustom::ApplySocketSettings(TIdIOHandlerSocket& ASocket) {
  ASocket.SetBoundIP(FBoundIP);
  ASocket.SetBoundPort(FBoundPort);
  ASocket.SetBoundPortMin(FBoundPortMin);
  ASocket.SetBoundPortMax(FBoundPortMax);
  ASocket.SetIPVersion(FIPVersion);
  ASocket.SetReuseSocket(FReuseSocket);
  ASocket.SetUseNagle(FUseNagle);
  ASocket.SetLingerState(FLingerState);
  ASocket.OnBeforeBind = OnBeforeBind;
  ASocket.OnAfterBind = OnAfterBind;
  ASocket.OnSocketAllocated = OnSocketAllocated;
}

void TIdTCPClientCustom::ApplySettingsToIOHandler() {
  if (!FIOHandler) return;
  if (!FDestination.empty()) FIOHandler->SetDestination(FDestination);
  FIOHandler->SetPort(FPort);
  FIOHandler->SetHost(FHost);
  FIOHandler->SetConnectTimeout(FConnectTimeout);
  FIOHandler->SetReadTimeout(FReadTimeout);
  if (FSocket) ApplySocketSettings(*FSocket);
}

void TIdTCPClientCustom::SetIOHandler(TIdIOHandler* AValue) {
  TIdTCPConnection::SetIOHandler(AValue);
  ApplySettingsToIOHandler();
}

void TIdTCPClientCustom::Connect() {
  if (Connected()) throw EIdAlreadyConnected();
  if (FHost.empty()) throw EIdHostRequired();
  if (FPort == 0) throw EIdPortRequired();
  if (!FIOHandler) {
    AdoptManagedIOHandler(MakeDefaultClientHandler());
    FIOHandler->OnStatus = OnStatus;
  }
  try {
    ApplySettingsToIOHandler();
    FIOHandler->Open();
    if (FIOHandler->Intercept()) FIOHandler->Intercept()->Connect(this);
    DoStatus(TIdStatus::hsConnected, FHost);
    FireConnected();
  } catch (...) {
    if (FIOHandler) {
      try {
        FIOHandler->Close();
      } catch (...) {
      }
      if (ManagedIOHandler()) ReleaseIOHandler();
    }
    throw;
  }
}

void TIdTCPClientCustom::Connect(const std::string& AHost) {
  SetHost(AHost);
  Connect();
}

void TIdTCPClientCustom::Connect(const std::string& AHost, std::uint16_t APort) {
  SetHost(AHost);
  SetPort(APort);
  Connect();
}

std::string TIdTCPClientCustom::ConnectAndGetAll() {
  Connect();
  std::string result;
  try {
    result = FIOHandler->AllData();
  } catch (...) {
    Disconnect();
    throw;
  }
  Disconnect();
  return result;
}

void TIdTCPClientCustom::SetHost(const std::string& AValue) {
  FHost = AValue;
  if (FIOHandler) FIOHandler->SetHost(AValue);
}

void TIdTCPClientCustom::SetPort(std::uint16_t AValue) {
  FPort = AValue;
  if (FIOHandler) FIOHandler->SetPort(AValue);
}

void TIdTCPClientCustom::SetIPVersion(TIdIPVersion AValue) {
  FIPVersion = AValue;
  if (FSocket) FSocket->SetIPVersion(AValue);
}

void TIdTCPClientCustom::SetBoundIP(const std::string& AValue) {
  FBoundIP = AValue;
  if (FSocket) FSocket->SetBoundIP(AValue);
}

void TIdTCPClientCustom::SetBoundPort(std::uint16_t AValue) {
  FBoundPort = AValue;
  if (FSocket) FSocket->SetBoundPort(AValue);
}

void TIdTCPClientCustom::SetBoundPortMin(std::uint16_t AValue) {
  FBoundPortMin = AValue;
  if (FSocket) FSocket->SetBoundPortMin(AValue);
}

void TIdTCPClientCustom::SetBoundPortMax(std::uint16_t AValue) {
  FBoundPortMax = AValue;
  if (FSocket) FSocket->SetBoundPortMax(AValue);
}

void TIdTCPClientCustom::SetConnectTimeout(std::int32_t AValue) {
  FConnectTimeout = AValue;
  if (FIOHandler) FIOHandler->SetConnectTimeout(AValue);
}

std::int32_t TIdTCPClientCustom::ReadTimeout() const { return FIOHandler ? FIOHandler->ReadTimeout() : FReadTimeout; }

void TIdTCPClientCustom::SetReadTimeout(std::int32_t AValue) {
  FReadTimeout = AValue;
  if (FIOHandler) FIOHandler->SetReadTimeout(AValue);
}

TIdReuseSocket TIdTCPClientCustom::ReuseSocket() const { return FSocket ? FSocket->ReuseSocket() : FReuseSocket; }

void TIdTCPClientCustom::SetReuseSocket(TIdReuseSocket AValue) {
  FReuseSocket = AValue;
  if (FSocket) FSocket->SetReuseSocket(AValue);
}

bool TIdTCPClientCustom::UseNagle() const { return FSocket ? FSocket->UseNagle() : FUseNagle; }

void TIdTCPClientCustom::SetUseNagle(bool AValue) {
  FUseNagle = AValue;
  if (FSocket) FSocket->SetUseNagle(AValue);
}

void TIdTCPClientCustom::SetLingerState(std::int32_t AValue) {
  FLingerState = AValue;
  if (FSocket) FSocket->SetLingerState(AValue);
}
