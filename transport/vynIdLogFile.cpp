#include "transport/vynIdLogFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>

#include "transport/vynIdIOHandlerSocket.h"
#include "transport/vynIdResourceStringsCore.h"
#include "transport/vynIdTCPConnection.h"

namespace {

constexpr const char* kCRLF = "\r\n";

void WriteBytes(TFileStream& aFile, const std::string& aText) {
  if (!aText.empty()) aFile.WriteBuffer(aText.data(), static_cast<std::int64_t>(aText.size()));
}

// The running program's full path, for a server log without a file name.
std::string ProgramPath() {
  char path[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
  return n > 0 ? std::string(path, static_cast<std::size_t>(n)) : std::string("program");
}

std::string WithLogExtension(const std::string& aPath) {
  const std::size_t slash = aPath.rfind('/');
  const std::size_t dot = aPath.rfind('.');
  if (dot != std::string::npos && (slash == std::string::npos || dot > slash + 1)) return aPath.substr(0, dot) + ".log";
  return aPath + ".log";
}

}  // namespace

namespace detail {

std::string LogTimeStamp(TDateTime ANow) {
  int year, month, day, hour, minute, second, msec;
  DecodeDateTime(ANow, year, month, day, hour, minute, second, msec);
  char text[40];
  if (hour == 0 && minute == 0 && second == 0 && msec == 0)
    std::snprintf(text, sizeof text, "%04d-%02d-%02d", year, month, day);
  else
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", year, month, day, hour, minute, second);
  return text;
}

std::string LogDataText(const TIdBytes& ABuffer, bool AReplaceCRLF) {
  if (!AReplaceCRLF) return std::string(ABuffer.begin(), ABuffer.end());
  std::string result;
  result.reserve(ABuffer.size());
  for (std::size_t i = 0; i < ABuffer.size(); ++i) {
    const char c = static_cast<char>(ABuffer[i]);
    if (c == '\r' && i + 1 < ABuffer.size() && ABuffer[i + 1] == '\n') {
      result += RSLogEOL;
      ++i;
    } else if (c == '\r') {
      result += RSLogCR;
    } else if (c == '\n') {
      result += RSLogLF;
    } else {
      result += c;
    }
  }
  return result;
}

std::unique_ptr<TFileStream> OpenLogFileForAppend(const std::string& AFilename) {
  // Created here, without truncating one that exists, so that a new file
  // gets the owner-only mode; the stream then opens whatever is there.
  const int fd = ::open(AFilename.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd >= 0) ::close(fd);
  auto file = std::make_unique<TFileStream>(AFilename, fmOpenReadWrite);
  file->Seek(0, TSeekOrigin::soEnd);
  return file;
}

}  // namespace detail

// ---------------------------------------------------------------------------
// TIdLogBase

void TIdLogBase::SetActive(bool AValue) {
  if (AValue == FActive) return;
  if (AValue)
    Open();
  else
    Close();
  FActive = AValue;
}

void TIdLogBase::Connect(TComponent* AConnection) {
  TIdConnectionIntercept::Connect(AConnection);
  FConnected = true;
  if (FActive) WriteStatusLine(RSStatusConnected);
}

void TIdLogBase::Disconnect() {
  if (FActive && FConnected) WriteStatusLine(RSStatusDisconnected);
  FConnected = false;
  TIdConnectionIntercept::Disconnect();
}

void TIdLogBase::Receive(TIdBytes& VBuffer) {
  // What the chain and the event made of the block is what the caller gets.
  TIdConnectionIntercept::Receive(VBuffer);
  if (FActive) WriteReceivedLine(DataTimeStamp(), DataText(VBuffer));
}

void TIdLogBase::Send(TIdBytes& VBuffer) {
  // What the caller sent, before the chain changes it.
  if (FActive) WriteSentLine(DataTimeStamp(), DataText(VBuffer));
  TIdConnectionIntercept::Send(VBuffer);
}

// ---------------------------------------------------------------------------
// TIdLogFile

TIdLogFile::~TIdLogFile() {
  try {
    SetActive(false);
  } catch (...) {
  }
}

void TIdLogFile::SetFilename(const std::string& AValue) {
  if (FFileStream) throw EIdException(RSLogFileAlreadyOpen);
  FFilename = AValue;
}

void TIdLogFile::Open() { FFileStream = detail::OpenLogFileForAppend(FFilename); }

void TIdLogFile::Close() { FFileStream.reset(); }

void TIdLogFile::WriteToFile(const std::string& AText) {
  if (FFileStream) WriteBytes(*FFileStream, AText);
}

void TIdLogFile::WriteStatusLine(const std::string& AText) { WriteToFile(RSLogStat + AText + kCRLF); }

void TIdLogFile::WriteReceivedLine(const std::string& ATimeStamp, const std::string& AData) {
  WriteToFile(RSLogRecv + ATimeStamp + ": " + AData + kCRLF);
}

void TIdLogFile::WriteSentLine(const std::string& ATimeStamp, const std::string& AData) {
  WriteToFile(RSLogSent + ATimeStamp + ": " + AData + kCRLF);
}

void TIdLogFile::WriteFormattedText(const std::string& AText) {
  if (!Active()) SetActive(true);
  std::string line;
  if (LogTime()) line = detail::LogTimeStamp(Now()) + " ";
  line += ReplaceCRLF() ? detail::LogDataText(TIdBytes(AText.begin(), AText.end()), true) : AText;
  WriteToFile(line + kCRLF);
}

// ---------------------------------------------------------------------------
// TvynIdLogFileBase

void TvynIdLogFileBase::WriteToFile(const std::string& AText) {
  std::lock_guard<std::recursive_mutex> guard(FLock);
  TIdLogFile::WriteToFile(AText);
}

void TvynIdLogFileBase::LogSendString(const std::string& AText) { WriteSentLine(detail::LogTimeStamp(Now()), AText); }

void TvynIdLogFileBase::LogRecvString(const std::string& AText) {
  WriteReceivedLine(detail::LogTimeStamp(Now()), AText);
}

void TvynIdLogFileBase::LogSendDecodedString(const std::string& AText) {
  WriteToFile(RSLogSent + detail::LogTimeStamp(Now()) + ": " + AText + kCRLF);
}

void TvynIdLogFileBase::LogRecvDecodedString(const std::string& AText) {
  WriteToFile(RSLogRecv + detail::LogTimeStamp(Now()) + ": " + AText + kCRLF);
}

void TvynWSIdLogFileClient::WriteSentLine(const std::string& ATimeStamp, const std::string& AData) {
  if (!UnMaskFrames || SentData) TvynIdLogFileClient::WriteSentLine(ATimeStamp, AData);
}

// ---------------------------------------------------------------------------
// Connection logs of a server log

TIdServerInterceptLogFileConnection::~TIdServerInterceptLogFileConnection() { SetServerInterceptLog(nullptr); }

void TIdServerInterceptLogFileConnection::SetServerInterceptLog(TIdServerInterceptLogBase* AValue) {
  if (AValue == FServerInterceptLog) return;
  if (FServerInterceptLog) FServerInterceptLog->RemoveFreeNotification(this);
  FServerInterceptLog = AValue;
  if (FServerInterceptLog) FServerInterceptLog->FreeNotification(this);
}

void TIdServerInterceptLogFileConnection::Notification(TComponent* AComponent, TOperation AOperation) {
  if (AOperation == TOperation::opRemove && AComponent == FServerInterceptLog) FServerInterceptLog = nullptr;
  TIdLogBase::Notification(AComponent, AOperation);
}

std::string TIdServerInterceptLogFileConnection::PeerLabel() {
  TIdIOHandlerSocket* socket = nullptr;
  if (auto* connection = dynamic_cast<TIdTCPConnection*>(Connection()))
    socket = connection->Socket();
  else
    socket = dynamic_cast<TIdIOHandlerSocket*>(Connection());
  if (socket && socket->Binding() && socket->Binding()->HandleAllocated())
    FLastPeerLabel = socket->Binding()->PeerIP() + ":" + std::to_string(socket->Binding()->PeerPort());
  return FLastPeerLabel.empty() ? std::string(RSLogNoPeer) : FLastPeerLabel;
}

void TIdServerInterceptLogFileConnection::WriteLine(const std::string& AText) {
  if (FServerInterceptLog) FServerInterceptLog->LogWriteString(PeerLabel() + " " + AText + kCRLF);
}

void TIdServerInterceptLogFileConnection::WriteStatusLine(const std::string& AText) { WriteLine(RSLogStat + AText); }

void TIdServerInterceptLogFileConnection::WriteReceivedLine(const std::string& ATimeStamp, const std::string& AData) {
  WriteLine(RSLogRecv + ATimeStamp + ": " + AData);
}

void TIdServerInterceptLogFileConnection::WriteSentLine(const std::string& ATimeStamp, const std::string& AData) {
  WriteLine(RSLogSent + ATimeStamp + ": " + AData);
}

void TvynWSIdLogFileServerConnection::LogRecvDecodedString(const std::string& AText) {
  WriteLine(RSLogDecodedRecv + detail::LogTimeStamp(Now()) + ": " + AText);
}

// ---------------------------------------------------------------------------
// Server logs

std::unique_ptr<TIdServerInterceptLogFileConnection> TIdServerInterceptLogBase::NewConnectionLog() {
  return std::make_unique<TIdServerInterceptLogFileConnection>();
}

TIdConnectionIntercept* TIdServerInterceptLogBase::Accept(TComponent* AConnection) {
  auto log = NewConnectionLog();
  log->SetServerInterceptLog(this);
  log->SetLogTime(FLogTime);
  log->SetReplaceCRLF(FReplaceCRLF);
  log->SetActive(true);
  (void)AConnection;  // the server connects the log when it installs it
  return log.release();
}

void TIdServerInterceptLogBase::LogWriteString(const std::string& AText) {
  if (AText.empty()) return;
  std::lock_guard<std::recursive_mutex> guard(FLock);
  if (!FHasInit) {
    Init();
    FHasInit = true;
  }
  DoLogWriteString(AText);
}

TIdServerInterceptLogFile::~TIdServerInterceptLogFile() {
  std::lock_guard<std::recursive_mutex> guard(Lock());
  FFileStream.reset();
}

void TIdServerInterceptLogFile::SetFilename(const std::string& AValue) {
  std::lock_guard<std::recursive_mutex> guard(Lock());
  if (FFileStream) throw EIdException(RSLogFileAlreadyOpen);
  FFilename = AValue;
}

void TIdServerInterceptLogFile::Init() {
  std::lock_guard<std::recursive_mutex> guard(Lock());
  if (FFileStream) return;
  if (FFilename.empty()) FFilename = WithLogExtension(ProgramPath());
  FFileStream = detail::OpenLogFileForAppend(FFilename);
}

void TIdServerInterceptLogFile::DoLogWriteString(const std::string& AText) {
  if (FFileStream) WriteBytes(*FFileStream, AText);
}

std::unique_ptr<TIdServerInterceptLogFileConnection> TvynWSIdLogFileServer::NewConnectionLog() {
  auto log = std::make_unique<TvynWSIdLogFileServerConnection>();
  log->UnMaskFrames = UnMaskFrames;
  return log;
}
