#include "server/vynWSConnection.h"

#include <cstdio>
#include <random>

#include "transport/vynIdContext.h"
#include "transport/vynIdIOHandlerSocket.h"
#include "transport/vynIdTCPConnection.h"

namespace {
constexpr const char* kResponseHead = "HTTP/1.1 200 OK\r\nContent-Type: ";
constexpr const char* kServerLine = "\r\nServer: ";

std::string NewGuid() {
  // A version-4 GUID from the system's random source, as 32 hexadecimal
  // digits without braces or dashes.
  std::random_device random;
  std::uint8_t bytes[16];
  for (std::uint8_t& b : bytes) b = static_cast<std::uint8_t>(random());
  bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0F) | 0x40);
  bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3F) | 0x80);
  char hex[33];
  for (int i = 0; i < 16; ++i) std::snprintf(hex + 2 * i, 3, "%02X", bytes[i]);
  return std::string(hex, 32);
}
}  // namespace

namespace detail {
void ClearInput(TIdIOHandler* aIO) {
  if (aIO && aIO->InputBuffer()) aIO->InputBuffer()->Clear();
}

void CloseTCPConnection(TIdTCPConnection* aConnection) {
  if (!aConnection) return;
  ClearInput(aConnection->IOHandler());
  try {
    aConnection->Disconnect(false);
  } catch (const std::exception&) {
    // Closed below anyway.
  }
  if (TIdIOHandlerSocket* socket = aConnection->Socket()) socket->Close();
}
}  // namespace detail

std::string TvynSocketConnection_Base::Guid() const {
  std::lock_guard<std::mutex> g(FGuidLock);
  if (FGuid.empty()) FGuid = NewGuid();
  return FGuid;
}

std::string TvynWSConnection::Protocol() const {
  std::lock_guard<std::mutex> g(FTextLock);
  return FProtocol;
}

void TvynWSConnection::SetProtocol(const std::string& aValue) {
  std::lock_guard<std::mutex> g(FTextLock);
  FProtocol = aValue;
}

std::string TvynWSConnection::CloseReason() const {
  std::lock_guard<std::mutex> g(FTextLock);
  return FCloseReason;
}

std::string TvynWSConnection::MsgError() const {
  std::lock_guard<std::mutex> g(FTextLock);
  return FMsgError;
}

void TvynWSConnection::SetMsgError(const std::string& aValue) {
  std::lock_guard<std::mutex> g(FTextLock);
  FMsgError = aValue;
}

void TvynWSConnection_Transport::Disconnect(std::int32_t aCloseCode) {
  if (FDoDisconnect.exchange(true)) return;
  FCloseCode.store(aCloseCode);
  SetDisconnected(true);
  if (!FTCPConnection) return;
  if (std::this_thread::get_id() == FOwnerThread) {
    detail::CloseTCPConnection(FTCPConnection);
  } else if (TIdIOHandlerSocket* socket = FTCPConnection->Socket()) {
    // The owning thread closes the socket; this one only stops its I/O.
    socket->Interrupt();
  }
}

void TvynWSConnection_Transport::Close(std::int32_t aCloseCode) { Disconnect(aCloseCode); }

void TvynWSConnection_Transport::SendResponseHTTP(const std::string& aContent, const std::string& aContentType) {
  if (!FTCPConnection || !FTCPConnection->IOHandler()) return;
  std::string out = kResponseHead + aContentType + kServerLine + kWSServerSoftware +
                    "\r\nContent-Length: " + std::to_string(aContent.size()) + "\r\n\r\n" + aContent;
  FTCPConnection->IOHandler()->Write(out);
  AddSendBytes(static_cast<std::int64_t>(out.size()));
}

TvynWSConnectionServer::TvynWSConnectionServer(TIdContext* aContext) : FContext(aContext) {
  FOwnerThread = std::this_thread::get_id();
  FTCPConnection = aContext ? aContext->Connection() : nullptr;
  if (FTCPConnection) {
    if (TIdIOHandlerSocket* socket = FTCPConnection->Socket(); socket && socket->Binding()) {
      TIdSocketHandle* b = socket->Binding();
      FIP = b->PeerIP();
      FPort = b->PeerPort();
      FLocalIP = b->IP();
      FLocalPort = b->Port();
      FIPVersion = b->IPVersion();
    }
  }
}
