// Buffered reading and writing of one connection: lines, counted bytes,
// streams, integers and text, with time-outs, a line length limit, output
// buffering and an optional intercept. Protocol code never touches sockets.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <typeinfo>
#include <vector>

#include "platform/Classes.h"
#include "transport/vynIdBuffer.h"
#include "transport/vynIdComponent.h"
#include "transport/vynIdIntercept.h"
#include "transport/vynIdStack.h"
#include "transport/vynIdTextEncoding.h"

enum class TIdMaxLineAction : std::uint8_t { maException, maSplit };

inline constexpr std::int32_t IdMaxLineLengthDefault = 16 * 1024;
inline constexpr std::int32_t GRecvBufferSizeDefault = 32 * 1024;
inline constexpr std::int32_t GSendBufferSizeDefault = 32 * 1024;
inline constexpr const char* LF = "\n";
inline constexpr const char* CR = "\r";
inline constexpr const char* EOL = "\r\n";

// ---------------------------------------------------------------------------
// Exceptions

class EIdNotConnected : public EIdException {
public:
  EIdNotConnected();
};
class EIdClosedSocket : public EIdException {
public:
  EIdClosedSocket();
};
class EIdReadTimeout : public EIdException {
public:
  EIdReadTimeout();
};
class EIdReadLnMaxLineLengthExceeded : public EIdException {
public:
  EIdReadLnMaxLineLengthExceeded();
};
class EIdReadLnWaitMaxAttemptsExceeded : public EIdException {
public:
  EIdReadLnWaitMaxAttemptsExceeded();
};
class EIdConnectTimeout : public EIdException {
public:
  EIdConnectTimeout();
};
class EIdConnectException : public EIdException {
public:
  using EIdException::EIdException;
};
class EIdIOHandlerRequiresLargeStream : public EIdException {
public:
  EIdIOHandlerRequiresLargeStream();
};
class EIdIOHandlerStreamDataTooLarge : public EIdException {
public:
  EIdIOHandlerStreamDataTooLarge();
};
class EIdNoDataToRead : public EIdException {
public:
  EIdNoDataToRead();
};
class EIdFileNotFound : public EIdException {
public:
  using EIdException::EIdException;
};
class EIdObjectTypeNotSupported : public EIdException {
public:
  EIdObjectTypeNotSupported();
};
class EIdMaxCaptureLineExceeded : public EIdException {
public:
  EIdMaxCaptureLineExceeded();
};

// ---------------------------------------------------------------------------

class TIdIOHandler : public TIdComponent {
public:
  explicit TIdIOHandler(TComponent* AOwner = nullptr);
  ~TIdIOHandler() override;

  // --- connection
  virtual void Open();
  virtual void Close();
  // Only marks the connection as closed by the peer.
  void CloseGracefully() { FClosedGracefully = true; }
  virtual bool Connected();
  virtual void CheckForDisconnect(bool ARaiseExceptionIfDisconnected = true, bool AIgnoreBuffer = false) = 0;
  virtual void AfterAccept() {}
  virtual bool Readable(std::int32_t AMSec = IdTimeoutDefault);
  // Bytes received but held below the input buffer (a TLS record already
  // decrypted): the next read gets them without waiting for the socket.
  virtual bool InputPending() { return false; }
  // The last receive may have left bytes in the source: it filled all it
  // asked for, or the handler cannot tell. False means the source held no
  // more then, so whatever arrives later is news to a wait on the socket.
  virtual bool SourceMayHoldMore() const { return true; }
  virtual bool SourceIsOpen() = 0;
  // Connected, and the input buffer grew or the socket delivered bytes
  // within the time-out.
  virtual bool CheckForDataOnSource(std::int32_t ATimeout = 0);
  // Receives into the input buffer: the count added, 0, or -1 on time-out.
  std::int32_t ReadFromSource(bool ARaiseExceptionIfDisconnected = true, std::int32_t ATimeout = IdTimeoutDefault,
                              bool ARaiseExceptionOnTimeout = true);

  // --- reading
  std::string ReadLn(const TIdTextEncoding& AByteEncoding = nullptr);
  std::string ReadLn(std::string_view ATerminator, const TIdTextEncoding& AByteEncoding = nullptr);
  virtual std::string ReadLn(std::string_view ATerminator, std::int32_t ATimeout, std::int32_t AMaxLineLength = -1,
                             const TIdTextEncoding& AByteEncoding = nullptr);
  std::string ReadLnSplit(bool& AWasSplit, std::string_view ATerminator = LF, std::int32_t ATimeout = IdTimeoutDefault,
                          std::int32_t AMaxLineLength = -1, const TIdTextEncoding& AByteEncoding = nullptr);
  virtual std::string ReadLnWait(std::int32_t AFailCount = INT32_MAX, const TIdTextEncoding& AByteEncoding = nullptr);
  std::string ReadLnRFC(bool& VMsgEnd, const TIdTextEncoding& AByteEncoding = nullptr);
  std::string ReadLnRFC(bool& VMsgEnd, std::string_view ALineTerminator, std::string_view ADelim = ".",
                        const TIdTextEncoding& AByteEncoding = nullptr);
  // AByteCount > 0: exactly that many; -1: what is buffered, waiting once
  // when nothing is; 0: nothing.
  virtual void ReadBytes(TIdBytes& VBuffer, std::int32_t AByteCount, bool AAppend = true);
  std::string ReadString(std::int32_t ABytes, const TIdTextEncoding& AByteEncoding = nullptr);
  std::string ReadChar(const TIdTextEncoding& AByteEncoding = nullptr);
  std::uint8_t ReadByte();
  std::int16_t ReadInt16(bool AConvert = true);
  std::uint16_t ReadUInt16(bool AConvert = true);
  std::int32_t ReadInt32(bool AConvert = true);
  std::uint32_t ReadUInt32(bool AConvert = true);
  std::int64_t ReadInt64(bool AConvert = true);
  std::uint64_t ReadUInt64(bool AConvert = true);
  std::int16_t ReadSmallInt(bool AConvert = true) { return ReadInt16(AConvert); }
  std::uint16_t ReadWord(bool AConvert = true) { return ReadUInt16(AConvert); }
  std::int32_t ReadLongInt(bool AConvert = true) { return ReadInt32(AConvert); }
  std::uint32_t ReadLongWord(bool AConvert = true) { return ReadUInt32(AConvert); }
  void ReadStrings(TStrings& ADest, std::int32_t AReadLinesCount = -1, const TIdTextEncoding& AByteEncoding = nullptr);
  // AByteCount -1 without AReadUntilDisconnect: the count is read first.
  virtual void ReadStream(TStream* AStream, std::int64_t AByteCount = -1, bool AReadUntilDisconnect = false);
  void Capture(TStrings& ADest, std::string_view ADelim = ".", bool AUsesDotTransparency = true,
               const TIdTextEncoding& AByteEncoding = nullptr);
  void Capture(TStream& ADest, std::string_view ADelim = ".", bool AUsesDotTransparency = true,
               const TIdTextEncoding& AByteEncoding = nullptr);
  void Capture(TStrings& ADest, std::int32_t& VLineCount, std::string_view ADelim = ".",
               bool AUsesDotTransparency = true, const TIdTextEncoding& AByteEncoding = nullptr);
  void Capture(TStream& ADest, std::int32_t& VLineCount, std::string_view ADelim = ".",
               bool AUsesDotTransparency = true, const TIdTextEncoding& AByteEncoding = nullptr);
  std::string WaitFor(std::string_view AString, bool ARemoveFromBuffer = true, bool AInclusive = false,
                      const TIdTextEncoding& AByteEncoding = nullptr, std::int32_t ATimeout = IdTimeoutDefault);
  // Everything received until the peer closes.
  virtual std::string AllData(const TIdTextEncoding& AByteEncoding = nullptr);
  virtual std::string InputLn(std::string_view AMask = "", bool AEcho = true, std::int32_t ATabWidth = 8,
                              std::int32_t AMaxLineLength = -1, const TIdTextEncoding& AByteEncoding = nullptr);
  std::string InputBufferAsString(const TIdTextEncoding& AByteEncoding = nullptr);
  void InputBufferToStream(TStream& AStream, std::int32_t AByteCount = -1);
  bool InputBufferIsEmpty() const { return !FInputBuffer || FInputBuffer->Size() == 0; }
  void Discard(std::int64_t AByteCount);
  void DiscardAll();

  // --- writing
  virtual void Write(const TIdBytes& ABuffer, std::int32_t ALength = -1, std::int32_t AOffset = 0);
  virtual void Write(std::string_view AOut, const TIdTextEncoding& AByteEncoding = nullptr);
  void Write(const char* AOut, const TIdTextEncoding& AByteEncoding = nullptr) {
    Write(std::string_view(AOut), AByteEncoding);
  }
  void Write(const std::string& AOut, const TIdTextEncoding& AByteEncoding = nullptr) {
    Write(std::string_view(AOut), AByteEncoding);
  }
  virtual void Write(const TStrings& AValue, bool AWriteLinesCount = false,
                     const TIdTextEncoding& AByteEncoding = nullptr);
  virtual void Write(TStream& AStream, std::int64_t ASize = 0, bool AWriteByteCount = false);
  void Write(char AValue, const TIdTextEncoding& AByteEncoding = nullptr);
  void Write(std::uint8_t AValue);
  void Write(std::int16_t AValue, bool AConvert = true);
  void Write(std::uint16_t AValue, bool AConvert = true);
  void Write(std::int32_t AValue, bool AConvert = true);
  void Write(std::uint32_t AValue, bool AConvert = true);
  void Write(std::int64_t AValue, bool AConvert = true);
  void Write(std::uint64_t AValue, bool AConvert = true);
  virtual void WriteLn(std::string_view AOut = "", const TIdTextEncoding& AByteEncoding = nullptr);
  virtual void WriteLnRFC(std::string_view AOut = "", const TIdTextEncoding& AByteEncoding = nullptr);
  void WriteRFCStrings(const TStrings& AStrings, bool AWriteTerminator = true,
                       const TIdTextEncoding& AByteEncoding = nullptr);
  // The whole file; its size.
  virtual std::int64_t WriteFile(const std::string& AFile, bool AEnableTransferFile = false);
  // Sends at once, bypassing the write buffer.
  virtual void WriteDirect(const TIdBytes& ABuffer, std::int32_t ALength = -1, std::int32_t AOffset = 0);

  // --- write buffering
  virtual void WriteBufferOpen(std::int32_t AThreshold = -1);
  virtual void WriteBufferFlush(std::int32_t AByteCount = -1);
  virtual void WriteBufferClose();
  virtual void WriteBufferClear();
  virtual void WriteBufferCancel();
  bool WriteBufferingActive() const { return FWriteBuffer != nullptr; }

  // --- properties
  virtual std::string Destination() const;
  virtual void SetDestination(const std::string& AValue);
  const std::string& Host() const { return FHost; }
  virtual void SetHost(const std::string& AValue) { FHost = AValue; }
  std::uint16_t Port() const { return FPort; }
  virtual void SetPort(std::uint16_t AValue) { FPort = AValue; }
  TIdConnectionIntercept* Intercept() const { return FIntercept; }
  virtual void SetIntercept(TIdConnectionIntercept* AValue);
  std::int32_t ReadTimeout() const { return FReadTimeOut; }
  void SetReadTimeout(std::int32_t AValue) { FReadTimeOut = AValue; }
  std::int32_t ConnectTimeout() const { return FConnectTimeout; }
  void SetConnectTimeout(std::int32_t AValue) { FConnectTimeout = AValue; }
  std::int32_t MaxLineLength() const { return FMaxLineLength; }
  void SetMaxLineLength(std::int32_t AValue) { FMaxLineLength = AValue; }
  TIdMaxLineAction MaxLineAction() const { return FMaxLineAction; }
  void SetMaxLineAction(TIdMaxLineAction AValue) { FMaxLineAction = AValue; }
  std::int32_t MaxCapturedLines() const { return FMaxCapturedLines; }
  void SetMaxCapturedLines(std::int32_t AValue) { FMaxCapturedLines = AValue; }
  std::int32_t RecvBufferSize() const { return FRecvBufferSize; }
  void SetRecvBufferSize(std::int32_t AValue) { FRecvBufferSize = AValue > 0 ? AValue : GRecvBufferSizeDefault; }
  std::int32_t SendBufferSize() const { return FSendBufferSize; }
  void SetSendBufferSize(std::int32_t AValue) { FSendBufferSize = AValue > 0 ? AValue : GSendBufferSizeDefault; }
  bool LargeStream() const { return FLargeStream; }
  void SetLargeStream(bool AValue) { FLargeStream = AValue; }
  const TIdTextEncoding& DefStringEncoding() const { return FDefStringEncoding; }
  void SetDefStringEncoding(const TIdTextEncoding& AValue) { FDefStringEncoding = detail::EncodingOrASCII(AValue); }
  TIdBuffer* InputBuffer() const { return FInputBuffer.get(); }
  bool ReadLnSplit() const { return FReadLnSplit; }
  bool ReadLnTimedOut() const { return FReadLnTimedOut; }
  bool ClosedGracefully() const { return FClosedGracefully; }
  // Whether the socket stays open for sending once the peer ended its side
  // (a half-close), until the owner closes it or a send fails. Accepted
  // connections keep it, so that a client that shut down its sending after
  // the request still gets the answer.
  bool SendAfterPeerEnd() const { return FSendAfterPeerEnd; }
  void SetSendAfterPeerEnd(bool AValue) { FSendAfterPeerEnd = AValue; }
  bool Opened() const { return FOpened; }
  std::int32_t WriteBufferThreshold() const { return FWriteBufferThreshold; }

protected:
  void Notification(TComponent* AComponent, TOperation AOperation) override;
  virtual std::int32_t ReadDataFromSource(TIdBytes& VBuffer) = 0;
  // Receives straight into memory the caller owns; by default through
  // ReadDataFromSource and a copy. Handlers that can receive in place
  // override it to spare the copy.
  virtual std::int32_t ReadDataFromSourceInto(std::uint8_t* ABuffer, std::int32_t ALength);
  // Whether a receive ends by itself with a time-out after ATimeout ms when
  // nothing arrives, so that no readiness wait is needed before it.
  virtual bool ReceiveTimesOutAfter(std::int32_t /*ATimeout*/) const { return false; }
  // Readies the next receive for a limit of ATimeout ms (IdTimeoutInfinite:
  // none); whether that receive then keeps the limit itself. By default
  // only an unlimited receive or one ReceiveTimesOutAfter vouches for does.
  virtual bool PrepareReceive(std::int32_t ATimeout) {
    return ATimeout == IdTimeoutInfinite || ReceiveTimesOutAfter(ATimeout);
  }
  virtual std::int32_t WriteDataToTarget(const TIdBytes& ABuffer, std::int32_t AOffset, std::int32_t ALength) = 0;
  // For a failed transfer (-1): the error number when it is one of the
  // connection-ending errors, else raised.
  virtual int CheckTransportError(int AResult);
  [[noreturn]] virtual void RaiseTransportError(int AErr);
  // Closes because the peer ended the connection or a transfer failed, as
  // opposed to a Close the owner asked for.
  void CloseOnPeerEnd();
  // The peer ended its sending and the socket is kept for ours.
  bool InputEndedOnly() { return FSendAfterPeerEnd && FClosedGracefully && SourceIsOpen(); }
  // True after a Close the owner asked for, until the next Open.
  bool ClosedLocally() const { return FClosedLocally; }
  const TIdTextEncoding& EncodingOf(const TIdTextEncoding& AByteEncoding) const {
    return AByteEncoding ? AByteEncoding : FDefStringEncoding;
  }
  // Position of ABytes in the input buffer from VStartPos, or -1; VStartPos
  // advances so that a terminator split across receives is still found.
  std::int32_t SearchInputBuffer(const TIdBytes& ABytes, std::int32_t& VStartPos);
  void ReadExactly(void* ADest, std::int32_t ACount);

  bool FLargeStream = false;
  bool FClosedGracefully = false;
  bool FSendAfterPeerEnd = false;
  std::int32_t FConnectTimeout = 0;
  std::string FHost;
  std::unique_ptr<TIdBuffer> FInputBuffer;
  TIdConnectionIntercept* FIntercept = nullptr;
  std::int32_t FMaxCapturedLines = -1;
  TIdMaxLineAction FMaxLineAction = TIdMaxLineAction::maException;
  std::int32_t FMaxLineLength = IdMaxLineLengthDefault;
  bool FOpened = false;
  std::uint16_t FPort = 0;
  bool FReadLnSplit = false;
  bool FReadLnTimedOut = false;
  std::int32_t FReadTimeOut = IdTimeoutDefault;
  std::int32_t FRecvBufferSize = GRecvBufferSizeDefault;
  std::int32_t FSendBufferSize = GSendBufferSizeDefault;
  std::unique_ptr<TIdBuffer> FWriteBuffer;
  std::int32_t FWriteBufferThreshold = 0;
  TIdTextEncoding FDefStringEncoding;

private:
  // ReadFromSource receiving into ADirect (up to ADirectLength bytes) instead
  // of the input buffer when ADirect is set; only without an intercept.
  std::int32_t ReadFromSourceTo(bool ARaiseExceptionIfDisconnected, std::int32_t ATimeout,
                                bool ARaiseExceptionOnTimeout, std::uint8_t* ADirect, std::int32_t ADirectLength);
  // ReadBytes of a large count while the input buffer is empty: receives
  // straight into the caller's array. False, with every byte received
  // handed back to the input buffer, when the peer ended first.
  bool ReadBytesDirect(TIdBytes& VBuffer, std::int32_t AByteCount, bool AAppend);
  // The encoded terminator of the last ReadLn, so that a run of reads
  // encodes it once.
  const TIdBytes& TerminatorBytes(std::string_view ATerminator, const TIdTextEncoding& AEncoding);

  // Receives land here first; kept between reads.
  TIdBytes FRecvBlock;
  std::string FLnTerminator;
  TIdTextEncoding FLnTerminatorEncoding;
  TIdBytes FLnTerminatorBytes;
  bool FClosedLocally = false;
  bool FClosingOnPeerEnd = false;
  // A connection-ending error a read swallowed because bytes were still
  // buffered; AllData reports it instead of calling the data complete.
  int FPendingTransportError = 0;
};

// ---------------------------------------------------------------------------
// Registry of handler classes

using TIdIOHandlerFactory = std::function<TIdIOHandler*(TComponent* AOwner)>;

struct TIdIOHandlerClass {
  std::string ClassName;
  TIdIOHandlerFactory Create;
};

template <class T>
TIdIOHandlerClass IdIOHandlerClassOf(const std::string& AClassName) {
  return TIdIOHandlerClass{AClassName, [](TComponent* AOwner) -> TIdIOHandler* { return new T(AOwner); }};
}

// No duplicates (by class name).
void RegisterIOHandler(const TIdIOHandlerClass& AClass);
void SetDefaultClass(const TIdIOHandlerClass& AClass);
TIdIOHandler* MakeDefaultIOHandler(TComponent* AOwner = nullptr);

namespace detail {
TIdIOHandler* TryMakeIOHandler(const std::function<bool(TIdIOHandler&)>& AIsBase, TComponent* AOwner);
[[noreturn]] void RaiseNoIOHandler(const std::string& AClassName);
}  // namespace detail

// The last registered class that derives from T, or none.
template <class T>
T* TryMakeIOHandler(TComponent* AOwner = nullptr) {
  return static_cast<T*>(
      detail::TryMakeIOHandler([](TIdIOHandler& AHandler) { return dynamic_cast<T*>(&AHandler) != nullptr; }, AOwner));
}

// As TryMakeIOHandler, raising "No IOHandler of type %s is installed.".
template <class T>
T* MakeIOHandler(TComponent* AOwner = nullptr) {
  T* result = TryMakeIOHandler<T>(AOwner);
  if (!result) detail::RaiseNoIOHandler(ClassNameOf(typeid(T)));
  return result;
}
