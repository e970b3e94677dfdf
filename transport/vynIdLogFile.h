// Traffic logs: intercepts that copy every block a connection sends or
// receives, and its connect and disconnect moments, into a text file. A client
// log belongs to one connection; a server log makes one connection log per
// accepted connection, all writing whole lines into one shared file.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "platform/Classes.h"
#include "platform/DateUtils.h"
#include "transport/vynIdIntercept.h"

inline constexpr const char* RSLogFileAlreadyOpen = "Unable to set Filename while log file is open.";
inline constexpr const char* RSLogRecv = "Recv ";
inline constexpr const char* RSLogSent = "Sent ";
inline constexpr const char* RSLogStat = "Stat ";
inline constexpr const char* RSLogEOL = "<EOL>";
inline constexpr const char* RSLogCR = "<CR>";
inline constexpr const char* RSLogLF = "<LF>";
inline constexpr const char* RSLogDecodedRecv = "<<-- ";
inline constexpr const char* RSLogNoPeer = "0.0.0.0:0";

namespace detail {
// Local date and time, "yyyy-mm-dd hh:nn:ss"; the time is left out at exactly
// midnight. Fixed, so that logs read the same whatever the locale.
std::string LogTimeStamp(TDateTime ANow);
// The block one byte per character; with AReplaceCRLF, CR LF becomes <EOL>,
// then a lone CR <CR> and a lone LF <LF>.
std::string LogDataText(const TIdBytes& ABuffer, bool AReplaceCRLF);
// Opens AFilename to append to it; a missing file is made readable and
// writable by its owner alone, since logs hold credentials and tokens.
std::unique_ptr<TFileStream> OpenLogFileForAppend(const std::string& AFilename);
}  // namespace detail

// ---------------------------------------------------------------------------
// Connection logs

class TIdLogBase : public TIdConnectionIntercept {
public:
  explicit TIdLogBase(TComponent* AOwner = nullptr) : TIdConnectionIntercept(AOwner) {}

  void Connect(TComponent* AConnection) override;
  void Disconnect() override;
  void Receive(TIdBytes& VBuffer) override;
  void Send(TIdBytes& VBuffer) override;

  // True opens the log, False closes it; nothing is written while inactive.
  bool Active() const { return FActive; }
  virtual void SetActive(bool AValue);
  // A time stamp in data lines.
  bool LogTime() const { return FLogTime; }
  void SetLogTime(bool AValue) { FLogTime = AValue; }
  // Line breaks inside logged data written as markers.
  bool ReplaceCRLF() const { return FReplaceCRLF; }
  void SetReplaceCRLF(bool AValue) { FReplaceCRLF = AValue; }

protected:
  virtual void WriteStatusLine(const std::string& AText) = 0;
  virtual void WriteReceivedLine(const std::string& ATimeStamp, const std::string& AData) = 0;
  virtual void WriteSentLine(const std::string& ATimeStamp, const std::string& AData) = 0;
  virtual void Open() {}
  virtual void Close() {}
  // The stamp of data lines: empty without LogTime.
  std::string DataTimeStamp() const { return FLogTime ? detail::LogTimeStamp(Now()) : std::string(); }
  std::string DataText(const TIdBytes& ABuffer) const { return detail::LogDataText(ABuffer, FReplaceCRLF); }

private:
  bool FActive = false;
  // Between Connect and Disconnect: a connection that is closed twice (by
  // the peer's end, then by its owner) is logged as disconnected once.
  bool FConnected = false;
  bool FLogTime = true;
  bool FReplaceCRLF = true;
};

class TIdLogFile : public TIdLogBase {
public:
  explicit TIdLogFile(TComponent* AOwner = nullptr) : TIdLogBase(AOwner) {}
  ~TIdLogFile() override;

  const std::string& Filename() const { return FFilename; }
  // Refused while the file is open.
  void SetFilename(const std::string& AValue);
  TFileStream* FileStream() const { return FFileStream.get(); }

  // One line: the time stamp and a blank (with LogTime), then the text.
  // Activates the log first when it is not active.
  template <class... Args>
  void WriteFormattedLine(std::string_view AFormat, const Args&... AArgs) {
    WriteFormattedText(Format(AFormat, AArgs...));
  }

protected:
  void Open() override;
  void Close() override;
  // The text byte for byte; nothing while no file is open.
  virtual void WriteToFile(const std::string& AText);
  void WriteStatusLine(const std::string& AText) override;
  void WriteReceivedLine(const std::string& ATimeStamp, const std::string& AData) override;
  void WriteSentLine(const std::string& ATimeStamp, const std::string& AData) override;

private:
  void WriteFormattedText(const std::string& AText);
  std::string FFilename;
  std::unique_ptr<TFileStream> FFileStream;
};

// Lines from several threads never interleave.
class TvynIdLogFileBase : public TIdLogFile {
public:
  explicit TvynIdLogFileBase(TComponent* AOwner = nullptr) : TIdLogFile(AOwner) {}

  // A sent or received line with the time stamp (whatever LogTime says) and
  // the text as given.
  virtual void LogSendString(const std::string& AText);
  virtual void LogSendDecodedString(const std::string& AText);
  virtual void LogRecvString(const std::string& AText);
  virtual void LogRecvDecodedString(const std::string& AText);

  std::recursive_mutex& Lock() { return FLock; }

protected:
  void WriteToFile(const std::string& AText) override;

private:
  std::recursive_mutex FLock;
};

// The HTTP client's log.
class TvynIdLogFileClient : public TvynIdLogFileBase {
public:
  using TvynIdLogFileBase::TvynIdLogFileBase;
};

// The WebSocket client's log: with UnMaskFrames the sent frames are written
// only when SentData asks for them.
class TvynWSIdLogFileClient : public TvynIdLogFileClient {
public:
  using TvynIdLogFileClient::TvynIdLogFileClient;
  bool SentData = true;
  bool UnMaskFrames = false;

protected:
  void WriteSentLine(const std::string& ATimeStamp, const std::string& AData) override;
};

// ---------------------------------------------------------------------------
// Server logs

class TIdServerInterceptLogBase;

// The log of one accepted connection: every line goes whole to the server
// log, behind the peer's address and port.
class TIdServerInterceptLogFileConnection : public TIdLogBase {
public:
  explicit TIdServerInterceptLogFileConnection(TComponent* AOwner = nullptr) : TIdLogBase(AOwner) {}
  ~TIdServerInterceptLogFileConnection() override;

  // The server log that made this one (borrowed; cleared when it goes).
  TIdServerInterceptLogBase* ServerInterceptLog() const { return FServerInterceptLog; }
  void SetServerInterceptLog(TIdServerInterceptLogBase* AValue);
  // "address:port" of the connection's peer, or "0.0.0.0:0" when the
  // connection has no TCP socket. Once known it is kept, so the line about
  // the disconnect still names the peer after the socket has closed.
  std::string PeerLabel();

protected:
  void WriteStatusLine(const std::string& AText) override;
  void WriteReceivedLine(const std::string& ATimeStamp, const std::string& AData) override;
  void WriteSentLine(const std::string& ATimeStamp, const std::string& AData) override;
  void Notification(TComponent* AComponent, TOperation AOperation) override;
  void WriteLine(const std::string& AText);

private:
  TIdServerInterceptLogBase* FServerInterceptLog = nullptr;
  std::string FLastPeerLabel;
};

class TvynWSIdLogFileServerConnection : public TIdServerInterceptLogFileConnection {
public:
  using TIdServerInterceptLogFileConnection::TIdServerInterceptLogFileConnection;
  bool UnMaskFrames = false;
  // A decoded incoming message, with the time stamp whatever LogTime says.
  void LogRecvDecodedString(const std::string& AText);
};

class TIdServerInterceptLogBase : public TIdServerIntercept {
public:
  explicit TIdServerInterceptLogBase(TComponent* AOwner = nullptr) : TIdServerIntercept(AOwner) {}

  // Runs once, under the lock, before the first line is written; nothing
  // here.
  void Init() override {}
  // A connection log for AConnection, active, with this log's settings; the
  // caller owns it.
  TIdConnectionIntercept* Accept(TComponent* AConnection) override;
  // One formatted text, written whole; the first call initialises the log.
  // Empty text is ignored.
  virtual void LogWriteString(const std::string& AText);

  bool LogTime() const { return FLogTime; }
  void SetLogTime(bool AValue) { FLogTime = AValue; }
  bool ReplaceCRLF() const { return FReplaceCRLF; }
  void SetReplaceCRLF(bool AValue) { FReplaceCRLF = AValue; }
  bool HasInit() const { return FHasInit; }
  std::recursive_mutex& Lock() { return FLock; }

protected:
  virtual void DoLogWriteString(const std::string& AText) = 0;
  // The class of the connection logs this log makes.
  virtual std::unique_ptr<TIdServerInterceptLogFileConnection> NewConnectionLog();

private:
  std::recursive_mutex FLock;
  bool FLogTime = true;
  bool FReplaceCRLF = true;
  bool FHasInit = false;
};

class TIdServerInterceptLogFile : public TIdServerInterceptLogBase {
public:
  explicit TIdServerInterceptLogFile(TComponent* AOwner = nullptr) : TIdServerInterceptLogBase(AOwner) {}
  ~TIdServerInterceptLogFile() override;

  // Empty: the program's own path with the extension ".log".
  const std::string& Filename() const { return FFilename; }
  // Refused while the file is open.
  void SetFilename(const std::string& AValue);
  TFileStream* FileStream() const { return FFileStream.get(); }

  // Opens the file; LogWriteString calls it with the first line, so the
  // file does not open when the server starts.
  void Init() override;

protected:
  void DoLogWriteString(const std::string& AText) override;

private:
  std::string FFilename;
  std::unique_ptr<TFileStream> FFileStream;
};

class TvynIdLogFileServer : public TIdServerInterceptLogFile {
public:
  using TIdServerInterceptLogFile::TIdServerInterceptLogFile;
};

// The WebSocket server's log: its connection logs can write decoded messages.
class TvynWSIdLogFileServer : public TvynIdLogFileServer {
public:
  using TvynIdLogFileServer::TvynIdLogFileServer;
  bool UnMaskFrames = false;

protected:
  std::unique_ptr<TIdServerInterceptLogFileConnection> NewConnectionLog() override;
};
