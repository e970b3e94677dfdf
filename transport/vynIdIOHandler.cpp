#include "transport/vynIdIOHandler.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <mutex>
#include <sys/stat.h>

#include "platform/DateUtils.h"
#include "transport/vynIdIOHandlerStack.h"
#include "transport/vynIdResourceStringsCore.h"

EIdNotConnected::EIdNotConnected() : EIdException(RSNotConnected) {}
EIdClosedSocket::EIdClosedSocket() : EIdException(RSStatusDisconnected) {}
EIdReadTimeout::EIdReadTimeout() : EIdException(RSReadTimeout) {}
EIdReadLnMaxLineLengthExceeded::EIdReadLnMaxLineLengthExceeded() : EIdException(RSReadLnMaxLineLengthExceeded) {}
EIdReadLnWaitMaxAttemptsExceeded::EIdReadLnWaitMaxAttemptsExceeded() : EIdException(RSReadLnWaitMaxAttemptsExceeded) {}
EIdConnectTimeout::EIdConnectTimeout() : EIdException(RSConnectTimeout) {}
EIdIOHandlerRequiresLargeStream::EIdIOHandlerRequiresLargeStream() : EIdException(RSRequiresLargeStream) {}
EIdIOHandlerStreamDataTooLarge::EIdIOHandlerStreamDataTooLarge() : EIdException(RSDataTooLarge) {}
EIdNoDataToRead::EIdNoDataToRead() : EIdException(RSNoDataToRead) {}
EIdObjectTypeNotSupported::EIdObjectTypeNotSupported() : EIdException(RSObjectTypeNotSupported) {}
EIdMaxCaptureLineExceeded::EIdMaxCaptureLineExceeded() : EIdException(RSMaximumNumberOfCaptureLineExceeded) {}

namespace {

// The largest ReadBytes count received straight into the caller's array.
constexpr std::int32_t kDirectReadMax = 1024 * 1024;

bool IsConnectionEndingError(int aErr) {
  return aErr == ESHUTDOWN || aErr == ECONNABORTED || aErr == ECONNRESET || aErr == ETIMEDOUT || aErr == EPIPE;
}

template <class T>
T FromNetwork(T aValue) {
  if constexpr (sizeof(T) == 1) {
    return aValue;
  } else {
    using U = std::make_unsigned_t<T>;
    return static_cast<T>(TIdStack::NetworkToHost(static_cast<U>(aValue)));
  }
}

template <class T>
T ToNetwork(T aValue) {
  using U = std::make_unsigned_t<T>;
  return static_cast<T>(TIdStack::HostToNetwork(static_cast<U>(aValue)));
}

}  // namespace

TIdIOHandler::TIdIOHandler(TComponent* AOwner) : TIdComponent(AOwner), FDefStringEncoding(detail::EncodingASCII()) {
  // Read progress is counted as bytes leave the input buffer.
  FInputBuffer =
      std::make_unique<TIdBuffer>([this](TIdBuffer*, std::int32_t ABytes) { DoWork(TWorkMode::wmRead, ABytes); });
}

TIdIOHandler::~TIdIOHandler() { SetIntercept(nullptr); }

void TIdIOHandler::Notification(TComponent* AComponent, TOperation AOperation) {
  if (AOperation == TOperation::opRemove && AComponent == FIntercept) FIntercept = nullptr;
  TIdComponent::Notification(AComponent, AOperation);
}

void TIdIOHandler::SetIntercept(TIdConnectionIntercept* AValue) {
  if (AValue == FIntercept) return;
  if (FIntercept) FIntercept->RemoveFreeNotification(this);
  FIntercept = AValue;
  if (FIntercept) FIntercept->FreeNotification(this);
}

// ---------------------------------------------------------------------------
// Connection

void TIdIOHandler::Open() {
  FOpened = false;
  FClosedGracefully = false;
  FClosedLocally = false;
  FPendingTransportError = 0;
  WriteBufferClear();
  FInputBuffer->Clear();
  FOpened = true;
}

void TIdIOHandler::Close() {
  if (!FClosingOnPeerEnd) FClosedLocally = true;
  try {
    if (FIntercept) FIntercept->Disconnect();
  } catch (...) {
    FOpened = false;
    WriteBufferClear();
    throw;
  }
  FOpened = false;
  WriteBufferClear();
}

void TIdIOHandler::CloseOnPeerEnd() {
  FClosingOnPeerEnd = true;
  try {
    Close();
  } catch (...) {
    FClosingOnPeerEnd = false;
    throw;
  }
  FClosingOnPeerEnd = false;
}

bool TIdIOHandler::Connected() {
  CheckForDisconnect(false, false);
  if (!FOpened) return false;
  if ((FClosedGracefully || !FInputBuffer) && InputBufferIsEmpty()) return false;
  return true;
}

bool TIdIOHandler::Readable(std::int32_t) { return false; }

bool TIdIOHandler::CheckForDataOnSource(std::int32_t ATimeout) {
  // Measured before Connected, which itself may read what has arrived.
  std::int32_t before = FInputBuffer->Size();
  if (!Connected()) return false;
  // What Connected read answers the question; waiting out the limit for more
  // would only delay whoever asked.
  if (FInputBuffer->Size() > before) return true;
  std::int32_t n = ReadFromSource(false, ATimeout, false);
  return n > 0 || FInputBuffer->Size() > before;
}

int TIdIOHandler::CheckTransportError(int AResult) {
  if (AResult != Id_SOCKET_ERROR) return 0;
  int err = GStack->WSGetLastError();
  if (IsConnectionEndingError(err)) return err;
  RaiseTransportError(err);
  return err;
}

void TIdIOHandler::RaiseTransportError(int AErr) { GStack->RaiseSocketError(AErr); }

std::int32_t TIdIOHandler::ReadFromSource(bool ARaiseExceptionIfDisconnected, std::int32_t ATimeout,
                                          bool ARaiseExceptionOnTimeout) {
  return ReadFromSourceTo(ARaiseExceptionIfDisconnected, ATimeout, ARaiseExceptionOnTimeout, nullptr, 0);
}

std::int32_t TIdIOHandler::ReadFromSourceTo(bool ARaiseExceptionIfDisconnected, std::int32_t ATimeout,
                                            bool ARaiseExceptionOnTimeout, std::uint8_t* ADirect,
                                            std::int32_t ADirectLength) {
  if (ATimeout == IdTimeoutDefault)
    ATimeout = (FReadTimeOut != IdTimeoutDefault && FReadTimeOut != 0) ? FReadTimeOut : IdTimeoutInfinite;
  CheckForDisconnect(ARaiseExceptionIfDisconnected, false);
  // Nothing more comes after a half-close; another receive would only see
  // the end again. As for a closed socket, with bytes still buffered.
  if (InputEndedOnly()) {
    if (ARaiseExceptionIfDisconnected) throw EIdNotConnected();
    return 0;
  }
  if (!SourceIsOpen()) {
    if (ARaiseExceptionIfDisconnected) throw EIdNotConnected();
    return 0;
  }
  for (;;) {
    // Without a time limit, or when the receive keeps the limit itself, the
    // receive waits; a readiness wait first would only cost a second system
    // call per block.
    if (!PrepareReceive(ATimeout) && !Readable(ATimeout)) {
      if (ARaiseExceptionOnTimeout) throw EIdReadTimeout();
      return -1;
    }
    std::int32_t count = 0;
    bool delivered = false;
    if (FOpened && SourceIsOpen()) {
      if (FIntercept) {
        TIdBytes block(static_cast<std::size_t>(FRecvBufferSize));
        count = ReadDataFromSource(block);
        if (count > 0) {
          delivered = true;
          block.resize(static_cast<std::size_t>(count));
          FIntercept->Receive(block);
          FInputBuffer->Write(block);
          count = static_cast<std::int32_t>(block.size());
        }
      } else if (ADirect) {
        count = ReadDataFromSourceInto(ADirect, ADirectLength);
        delivered = count > 0;
      } else {
        count = ReadDataFromSourceInto(FInputBuffer->ReserveTail(FRecvBufferSize), FRecvBufferSize);
        if (count > 0) {
          delivered = true;
          FInputBuffer->CommitTail(count);
        }
      }
    } else if (FOpened) {
      if (ARaiseExceptionIfDisconnected) throw EIdClosedSocket();
      return 0;
    } else {
      if (ARaiseExceptionIfDisconnected) throw EIdNotConnected();
      return 0;
    }
    if (count < 0) {
      int err = CheckTransportError(count);
      if (err == ETIMEDOUT) {
        if (ARaiseExceptionOnTimeout) throw EIdReadTimeout();
        return -1;
      }
      FClosedGracefully = true;
      CloseOnPeerEnd();
      if (FInputBuffer->Size() == 0 && ARaiseExceptionIfDisconnected) RaiseTransportError(err);
      FPendingTransportError = err;
      count = 0;
    } else if (count == 0 && !delivered) {
      FClosedGracefully = true;
    }
    CheckForDisconnect(ARaiseExceptionIfDisconnected, false);
    if (count != 0) return count;
    // An intercept that swallowed a whole block is not the peer's close.
    if (!SourceIsOpen() || InputEndedOnly()) return 0;
  }
}

std::int32_t TIdIOHandler::ReadDataFromSourceInto(std::uint8_t* ABuffer, std::int32_t ALength) {
  FRecvBlock.resize(static_cast<std::size_t>(ALength));
  std::int32_t count = ReadDataFromSource(FRecvBlock);
  if (count > 0) std::memcpy(ABuffer, FRecvBlock.data(), static_cast<std::size_t>(count));
  return count;
}

// ---------------------------------------------------------------------------
// Reading

std::int32_t TIdIOHandler::SearchInputBuffer(const TIdBytes& ABytes, std::int32_t& VStartPos) {
  std::int32_t found = -1;
  std::int32_t size = FInputBuffer->Size();
  if (size > 0) {
    if (VStartPos < size) found = FInputBuffer->IndexOf(ABytes, VStartPos);
    VStartPos = std::max<std::int32_t>(size - (static_cast<std::int32_t>(ABytes.size()) - 1), 0);
  }
  return found;
}

std::string TIdIOHandler::ReadLn(const TIdTextEncoding& AByteEncoding) {
  return ReadLn(LF, IdTimeoutDefault, -1, AByteEncoding);
}

std::string TIdIOHandler::ReadLn(std::string_view ATerminator, const TIdTextEncoding& AByteEncoding) {
  return ReadLn(ATerminator, IdTimeoutDefault, -1, AByteEncoding);
}

std::string TIdIOHandler::ReadLn(std::string_view ATerminator, std::int32_t ATimeout, std::int32_t AMaxLineLength,
                                 const TIdTextEncoding& AByteEncoding) {
  const TIdTextEncoding& encoding = EncodingOf(AByteEncoding);
  if (AMaxLineLength < 0) AMaxLineLength = FMaxLineLength;
  if (ATerminator.empty()) ATerminator = LF;
  const bool isLF = ATerminator == LF;
  const TIdBytes& terminator = TerminatorBytes(ATerminator, encoding);
  FReadLnSplit = false;
  FReadLnTimedOut = false;
  // Taken at the first wait (0 until then): a line already here needs no
  // clock.
  std::uint64_t start = 0;
  std::int32_t startPos = 0;
  std::int32_t found = -1;
  for (;;) {
    found = SearchInputBuffer(terminator, startPos);
    if (AMaxLineLength > 0 && (found > AMaxLineLength || (found < 0 && startPos > AMaxLineLength))) {
      if (FMaxLineAction == TIdMaxLineAction::maException) throw EIdReadLnMaxLineLengthExceeded();
      FReadLnSplit = true;
      return FInputBuffer->ExtractToString(AMaxLineLength, encoding);
    }
    if (found >= 0) break;
    CheckForDisconnect(true, true);
    if (start == 0 && ATimeout >= 0) start = GetTickCount64();
    if (ReadFromSource(true, ATimeout, false) == -1) FReadLnTimedOut = true;
    if (!FReadLnTimedOut && ATimeout >= 0 && GetTickCount64() - start >= static_cast<std::uint64_t>(ATimeout))
      FReadLnTimedOut = true;
    if (FReadLnTimedOut) return std::string();
  }
  std::int32_t lineLength = found;
  if (isLF && found > 0 && FInputBuffer->PeekByte(found - 1) == '\r') --lineLength;
  return FInputBuffer->ExtractToString(lineLength, encoding, found + static_cast<std::int32_t>(terminator.size()));
}

const TIdBytes& TIdIOHandler::TerminatorBytes(std::string_view ATerminator, const TIdTextEncoding& AEncoding) {
  if (FLnTerminatorBytes.empty() || FLnTerminatorEncoding.get() != AEncoding.get() || FLnTerminator != ATerminator) {
    FLnTerminatorBytes = AEncoding->GetBytes(ATerminator);
    FLnTerminator.assign(ATerminator);
    FLnTerminatorEncoding = AEncoding;
  }
  return FLnTerminatorBytes;
}

std::string TIdIOHandler::ReadLnSplit(bool& AWasSplit, std::string_view ATerminator, std::int32_t ATimeout,
                                      std::int32_t AMaxLineLength, const TIdTextEncoding& AByteEncoding) {
  TIdMaxLineAction saved = FMaxLineAction;
  FMaxLineAction = TIdMaxLineAction::maSplit;
  std::string result;
  try {
    result = ReadLn(ATerminator, ATimeout, AMaxLineLength, AByteEncoding);
  } catch (...) {
    FMaxLineAction = saved;
    throw;
  }
  FMaxLineAction = saved;
  AWasSplit = FReadLnSplit;
  return result;
}

std::string TIdIOHandler::ReadLnWait(std::int32_t AFailCount, const TIdTextEncoding& AByteEncoding) {
  std::int32_t attempts = 0;
  for (;;) {
    std::string line = ReadLn(AByteEncoding);
    if (FReadLnTimedOut) throw EIdReadTimeout();
    if (!Trim(line).empty()) return line;
    if (++attempts >= AFailCount) throw EIdReadLnWaitMaxAttemptsExceeded();
  }
}

std::string TIdIOHandler::ReadLnRFC(bool& VMsgEnd, const TIdTextEncoding& AByteEncoding) {
  return ReadLnRFC(VMsgEnd, LF, ".", AByteEncoding);
}

std::string TIdIOHandler::ReadLnRFC(bool& VMsgEnd, std::string_view ALineTerminator, std::string_view ADelim,
                                    const TIdTextEncoding& AByteEncoding) {
  std::string line = ReadLn(ALineTerminator, AByteEncoding);
  VMsgEnd = line == ADelim;
  if (!VMsgEnd && line.compare(0, 2, "..") == 0) line.erase(0, 1);
  return line;
}

void TIdIOHandler::ReadBytes(TIdBytes& VBuffer, std::int32_t AByteCount, bool AAppend) {
  if (AByteCount > 0) {
    // A block of at least one receive while nothing is buffered goes
    // straight to the caller, sparing a copy through the input buffer. The
    // caller's array is sized up front, so only for counts of modest size:
    // a count the peer declared must not allocate before bytes arrive.
    if (!FIntercept && FInputBuffer->Size() == 0 && AByteCount >= FRecvBufferSize && AByteCount <= kDirectReadMax &&
        ReadBytesDirect(VBuffer, AByteCount, AAppend))
      return;
    // The input buffer grows only as bytes arrive: a large count costs
    // nothing up front.
    while (FInputBuffer->Size() < AByteCount) {
      std::int32_t n = ReadFromSource(false, IdTimeoutDefault, true);
      if (n <= 0 || FInputBuffer->Size() < AByteCount) CheckForDisconnect(true, true);
    }
    FInputBuffer->ExtractToBytes(VBuffer, AByteCount, AAppend);
  } else if (AByteCount < 0) {
    if (FInputBuffer->Size() == 0) {
      ReadFromSource(false, FReadTimeOut, false);
      CheckForDisconnect(true, true);
    }
    FInputBuffer->ExtractToBytes(VBuffer, -1, AAppend);
  }
}

bool TIdIOHandler::ReadBytesDirect(TIdBytes& VBuffer, std::int32_t AByteCount, bool AAppend) {
  const std::size_t oldSize = VBuffer.size();
  const std::size_t at = AAppend ? oldSize : 0;
  if (oldSize < at + static_cast<std::size_t>(AByteCount)) VBuffer.resize(at + static_cast<std::size_t>(AByteCount));
  std::int32_t filled = 0;
  // What arrived goes back to the input buffer (empty until now, so the
  // order holds) and the caller's array is as it was.
  auto handBack = [&] {
    if (filled > 0) FInputBuffer->Write(VBuffer.data() + at, filled);
    VBuffer.resize(oldSize);
  };
  try {
    while (filled < AByteCount) {
      std::int32_t n =
          ReadFromSourceTo(false, IdTimeoutDefault, true, VBuffer.data() + at + filled, AByteCount - filled);
      if (n <= 0) break;
      filled += n;
    }
  } catch (...) {
    handBack();
    throw;
  }
  if (filled < AByteCount) {
    handBack();
    return false;
  }
  // Counted as if the bytes had passed through the input buffer.
  DoWork(TWorkMode::wmRead, filled);
  return true;
}

void TIdIOHandler::ReadExactly(void* ADest, std::int32_t ACount) {
  TIdBytes bytes;
  ReadBytes(bytes, ACount, false);
  std::memcpy(ADest, bytes.data(), static_cast<std::size_t>(ACount));
}

std::string TIdIOHandler::ReadString(std::int32_t ABytes, const TIdTextEncoding& AByteEncoding) {
  if (ABytes <= 0) return std::string();
  TIdBytes bytes;
  ReadBytes(bytes, ABytes, false);
  return EncodingOf(AByteEncoding)->GetString(bytes);
}

std::string TIdIOHandler::ReadChar(const TIdTextEncoding& AByteEncoding) {
  const TIdTextEncoding& encoding = EncodingOf(AByteEncoding);
  const std::int32_t maxBytes = encoding->GetMaxByteCount(2);
  TIdBytes bytes;
  std::string text;
  for (std::int32_t i = 0; i < maxBytes; ++i) {
    ReadBytes(bytes, 1, true);
    text = encoding->GetString(bytes);
    if (text != detail::ReplacementChar && encoding->GetCharCount(bytes.data(), bytes.size()) >= 1 &&
        text.find(detail::ReplacementChar) == std::string::npos)
      return text;
  }
  return text;
}

std::uint8_t TIdIOHandler::ReadByte() {
  std::uint8_t v = 0;
  ReadExactly(&v, 1);
  return v;
}

#define VYN_READ_INT(Name, Type)           \
  Type TIdIOHandler::Name(bool AConvert) { \
    Type v = 0;                            \
    ReadExactly(&v, sizeof v);             \
    return AConvert ? FromNetwork(v) : v;  \
  }
VYN_READ_INT(ReadInt16, std::int16_t)
VYN_READ_INT(ReadUInt16, std::uint16_t)
VYN_READ_INT(ReadInt32, std::int32_t)
VYN_READ_INT(ReadUInt32, std::uint32_t)
VYN_READ_INT(ReadInt64, std::int64_t)
VYN_READ_INT(ReadUInt64, std::uint64_t)
#undef VYN_READ_INT

void TIdIOHandler::ReadStrings(TStrings& ADest, std::int32_t AReadLinesCount, const TIdTextEncoding& AByteEncoding) {
  if (AReadLinesCount < 0) AReadLinesCount = ReadInt32();
  for (std::int32_t i = 0; i < AReadLinesCount; ++i) ADest.Add(ReadLn(AByteEncoding));
}

void TIdIOHandler::ReadStream(TStream* AStream, std::int64_t AByteCount, bool AReadUntilDisconnect) {
  std::int64_t count = AByteCount;
  if (count == -1 && !AReadUntilDisconnect) count = FLargeStream ? ReadInt64() : ReadInt32();
  if (AReadUntilDisconnect) count = -1;
  if (AStream && count >= 0 && AStream->Position() > INT64_MAX - count) throw EIdIOHandlerStreamDataTooLarge();
  // The stream is not sized in advance: the count may come from the peer.
  const bool untilDisconnect = count < 0;
  BeginWork(TWorkMode::wmRead, untilDisconnect ? 0 : count);
  std::int64_t remaining = untilDisconnect ? 0 : count;
  auto moveBuffered = [&] {
    std::int32_t size = FInputBuffer->Size();
    std::int32_t n = untilDisconnect ? size : static_cast<std::int32_t>(std::min<std::int64_t>(remaining, size));
    if (n <= 0) return;
    if (AStream)
      FInputBuffer->ExtractToStream(*AStream, n);
    else
      FInputBuffer->Remove(n);
    remaining -= n;
  };
  try {
    moveBuffered();
    while (untilDisconnect || remaining > 0) {
      std::int32_t n;
      try {
        n = ReadFromSource(!untilDisconnect, IdTimeoutDefault, true);
      } catch (...) {
        moveBuffered();
        throw;
      }
      moveBuffered();
      if (n < 1) {
        CheckForDisconnect(false, false);
        break;
      }
    }
  } catch (...) {
    EndWork(TWorkMode::wmRead);
    throw;
  }
  EndWork(TWorkMode::wmRead);
  if (AStream && AStream->Size() > AStream->Position()) AStream->SetSize(AStream->Position());
}

void TIdIOHandler::Capture(TStrings& ADest, std::string_view ADelim, bool AUsesDotTransparency,
                           const TIdTextEncoding& AByteEncoding) {
  std::int32_t count = 0;
  Capture(ADest, count, ADelim, AUsesDotTransparency, AByteEncoding);
}

void TIdIOHandler::Capture(TStream& ADest, std::string_view ADelim, bool AUsesDotTransparency,
                           const TIdTextEncoding& AByteEncoding) {
  std::int32_t count = 0;
  Capture(ADest, count, ADelim, AUsesDotTransparency, AByteEncoding);
}

namespace {

// The capture loop shared by both destinations.
template <class Store>
void CaptureLines(TIdIOHandler& aHandler, std::int32_t& VLineCount, std::string_view ADelim, bool AUsesDotTransparency,
                  const TIdTextEncoding& AByteEncoding, std::int32_t aMaxLines, Store aStore) {
  VLineCount = 0;
  aHandler.BeginWork(TWorkMode::wmRead);
  try {
    for (;;) {
      std::string line = aHandler.ReadLn(AByteEncoding);
      if (line == ADelim) break;
      if (aMaxLines > 0 && VLineCount > aMaxLines) throw EIdMaxCaptureLineExceeded();
      if (AUsesDotTransparency && line.compare(0, 2, "..") == 0) line.erase(0, 1);
      aStore(line);
      ++VLineCount;
    }
  } catch (...) {
    aHandler.EndWork(TWorkMode::wmRead);
    throw;
  }
  aHandler.EndWork(TWorkMode::wmRead);
}

}  // namespace

void TIdIOHandler::Capture(TStrings& ADest, std::int32_t& VLineCount, std::string_view ADelim,
                           bool AUsesDotTransparency, const TIdTextEncoding& AByteEncoding) {
  CaptureLines(*this, VLineCount, ADelim, AUsesDotTransparency, AByteEncoding, FMaxCapturedLines,
               [&](const std::string& line) { ADest.Add(line); });
}

void TIdIOHandler::Capture(TStream& ADest, std::int32_t& VLineCount, std::string_view ADelim, bool AUsesDotTransparency,
                           const TIdTextEncoding& AByteEncoding) {
  const TIdTextEncoding& encoding = EncodingOf(AByteEncoding);
  CaptureLines(*this, VLineCount, ADelim, AUsesDotTransparency, AByteEncoding, FMaxCapturedLines,
               [&](const std::string& line) {
                 TIdBytes bytes = encoding->GetBytes(line + EOL);
                 if (!bytes.empty()) ADest.WriteBuffer(bytes.data(), static_cast<std::int64_t>(bytes.size()));
               });
}

std::string TIdIOHandler::WaitFor(std::string_view AString, bool ARemoveFromBuffer, bool AInclusive,
                                  const TIdTextEncoding& AByteEncoding, std::int32_t ATimeout) {
  const TIdTextEncoding& encoding = EncodingOf(AByteEncoding);
  TIdBytes pattern = encoding->GetBytes(AString);
  if (pattern.empty()) return std::string();
  std::int32_t startPos = 0;
  std::int32_t found;
  while ((found = SearchInputBuffer(pattern, startPos)) < 0) ReadFromSource(true, ATimeout, true);
  const auto length = static_cast<std::int32_t>(pattern.size());
  if (ARemoveFromBuffer && AInclusive) return FInputBuffer->ExtractToString(found + length, encoding);
  std::string result = FInputBuffer->ExtractToString(found, encoding);
  if (ARemoveFromBuffer) FInputBuffer->Remove(length);
  if (AInclusive) result += AString;
  return result;
}

std::string TIdIOHandler::AllData(const TIdTextEncoding& AByteEncoding) {
  if (Connected()) {
    for (;;) {
      std::int32_t n;
      try {
        n = ReadFromSource(false, 250, false);
      } catch (const EIdConnClosedGracefully&) {
        break;
      }
      // Any other failure (a reset among them) propagates: the data is not
      // complete.
      if (n == 0) break;
    }
  }
  if (int err = std::exchange(FPendingTransportError, 0)) RaiseTransportError(err);
  return InputBufferAsString(AByteEncoding);
}

std::string TIdIOHandler::InputLn(std::string_view AMask, bool AEcho, std::int32_t ATabWidth,
                                  std::int32_t AMaxLineLength, const TIdTextEncoding& AByteEncoding) {
  if (AMaxLineLength < 0) AMaxLineLength = FMaxLineLength;
  std::string line;
  // Characters are counted, not bytes: remember where each one starts.
  std::vector<std::size_t> starts;
  for (;;) {
    std::string c = ReadChar(AByteEncoding);
    if (c == "\n") break;
    if (static_cast<std::int32_t>(starts.size()) > AMaxLineLength) continue;
    if (c == "\b") {
      if (!starts.empty()) {
        line.erase(starts.back());
        starts.pop_back();
        if (AEcho) Write(std::string_view("\b \b"), AByteEncoding);
      }
    } else if (c == "\t") {
      if (ATabWidth > 0) {
        std::size_t spaces = static_cast<std::size_t>(ATabWidth) - starts.size() % static_cast<std::size_t>(ATabWidth);
        for (std::size_t i = 0; i < spaces; ++i) {
          starts.push_back(line.size());
          line += ' ';
        }
        if (AEcho) Write(std::string(spaces, ' '), AByteEncoding);
      } else {
        starts.push_back(line.size());
        line += '\t';
        if (AEcho) Write(std::string_view("\t"), AByteEncoding);
      }
    } else if (c != "\r" && c != "\x1B") {
      starts.push_back(line.size());
      line += c;
      if (AEcho) Write(AMask.empty() ? std::string_view(c) : AMask, AByteEncoding);
    }
  }
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
  if (AEcho) WriteLn("", AByteEncoding);
  return line;
}

std::string TIdIOHandler::InputBufferAsString(const TIdTextEncoding& AByteEncoding) {
  return FInputBuffer->ExtractToString(-1, EncodingOf(AByteEncoding));
}

void TIdIOHandler::InputBufferToStream(TStream& AStream, std::int32_t AByteCount) {
  FInputBuffer->ExtractToStream(AStream, AByteCount);
}

void TIdIOHandler::Discard(std::int64_t AByteCount) {
  if (AByteCount <= 0) return;
  BeginWork(TWorkMode::wmRead, AByteCount);
  try {
    while (AByteCount > 0) {
      if (FInputBuffer->Size() == 0) {
        ReadFromSource(false, IdTimeoutDefault, true);
        if (FInputBuffer->Size() == 0) CheckForDisconnect(true, true);
      }
      std::int32_t n = static_cast<std::int32_t>(std::min<std::int64_t>(AByteCount, FInputBuffer->Size()));
      FInputBuffer->Remove(n);
      AByteCount -= n;
    }
  } catch (...) {
    EndWork(TWorkMode::wmRead);
    throw;
  }
  EndWork(TWorkMode::wmRead);
}

void TIdIOHandler::DiscardAll() {
  BeginWork(TWorkMode::wmRead);
  try {
    for (;;) {
      FInputBuffer->Remove(FInputBuffer->Size());
      ReadFromSource(true, IdTimeoutDefault, true);
    }
  } catch (const EIdConnClosedGracefully&) {
    FInputBuffer->Remove(FInputBuffer->Size());
  } catch (...) {
    FInputBuffer->Remove(FInputBuffer->Size());
    EndWork(TWorkMode::wmRead);
    throw;
  }
  EndWork(TWorkMode::wmRead);
}

// ---------------------------------------------------------------------------
// Writing

void TIdIOHandler::Write(const TIdBytes& ABuffer, std::int32_t ALength, std::int32_t AOffset) {
  if (AOffset < 0) return;
  std::int64_t available = static_cast<std::int64_t>(ABuffer.size()) - AOffset;
  std::int64_t length = ALength < 0 ? available : std::min<std::int64_t>(ALength, available);
  if (length < 1) return;
  if (FWriteBuffer) {
    FWriteBuffer->Write(ABuffer, static_cast<std::int32_t>(length), AOffset);
    if (FWriteBufferThreshold > 0)
      while (FWriteBuffer && FWriteBuffer->Size() >= FWriteBufferThreshold) WriteBufferFlush(FWriteBufferThreshold);
  } else {
    WriteDirect(ABuffer, static_cast<std::int32_t>(length), AOffset);
  }
}

void TIdIOHandler::Write(std::string_view AOut, const TIdTextEncoding& AByteEncoding) {
  if (AOut.empty()) return;
  Write(EncodingOf(AByteEncoding)->GetBytes(AOut));
}

void TIdIOHandler::Write(char AValue, const TIdTextEncoding& AByteEncoding) {
  Write(std::string_view(&AValue, 1), AByteEncoding);
}

void TIdIOHandler::Write(std::uint8_t AValue) { Write(TIdBytes{AValue}); }

#define VYN_WRITE_INT(Type)                              \
  void TIdIOHandler::Write(Type AValue, bool AConvert) { \
    if (AConvert) AValue = ToNetwork(AValue);            \
    TIdBytes bytes(sizeof AValue);                       \
    std::memcpy(bytes.data(), &AValue, sizeof AValue);   \
    Write(bytes);                                        \
  }
VYN_WRITE_INT(std::int16_t)
VYN_WRITE_INT(std::uint16_t)
VYN_WRITE_INT(std::int32_t)
VYN_WRITE_INT(std::uint32_t)
VYN_WRITE_INT(std::int64_t)
VYN_WRITE_INT(std::uint64_t)
#undef VYN_WRITE_INT

void TIdIOHandler::WriteLn(std::string_view AOut, const TIdTextEncoding& AByteEncoding) {
  std::string line(AOut);
  line += EOL;
  Write(std::string_view(line), AByteEncoding);
}

void TIdIOHandler::WriteLnRFC(std::string_view AOut, const TIdTextEncoding& AByteEncoding) {
  if (!AOut.empty() && AOut.front() == '.')
    WriteLn("." + std::string(AOut), AByteEncoding);
  else
    WriteLn(AOut, AByteEncoding);
}

void TIdIOHandler::WriteRFCStrings(const TStrings& AStrings, bool AWriteTerminator,
                                   const TIdTextEncoding& AByteEncoding) {
  for (const std::string& line : AStrings) WriteLnRFC(line, AByteEncoding);
  if (AWriteTerminator) WriteLn(".", AByteEncoding);
}

void TIdIOHandler::Write(const TStrings& AValue, bool AWriteLinesCount, const TIdTextEncoding& AByteEncoding) {
  const bool openedHere = !WriteBufferingActive();
  if (openedHere) WriteBufferOpen();
  try {
    if (AWriteLinesCount) Write(static_cast<std::int32_t>(AValue.Count()));
    for (const std::string& line : AValue) WriteLn(line, AByteEncoding);
  } catch (...) {
    if (openedHere) WriteBufferCancel();
    throw;
  }
  if (openedHere) WriteBufferClose();
}

void TIdIOHandler::Write(TStream& AStream, std::int64_t ASize, bool AWriteByteCount) {
  std::int64_t amount;
  if (ASize < 0) {
    amount = AStream.Size() - AStream.Position();
  } else if (ASize == 0) {
    AStream.SetPosition(0);
    amount = AStream.Size();
  } else {
    amount = ASize;
  }
  if (AWriteByteCount) {
    if (FLargeStream) {
      Write(amount);
    } else {
      if (amount > INT32_MAX) throw EIdIOHandlerRequiresLargeStream();
      Write(static_cast<std::int32_t>(amount));
    }
  }
  BeginWork(TWorkMode::wmWrite, amount);
  try {
    TIdBytes block;
    while (amount > 0) {
      auto chunk = static_cast<std::int32_t>(std::min<std::int64_t>(amount, FSendBufferSize));
      block.resize(static_cast<std::size_t>(chunk));
      std::int64_t n = AStream.Read(block.data(), chunk);
      if (n <= 0) throw EIdNoDataToRead();
      Write(block, static_cast<std::int32_t>(n));
      amount -= n;
    }
  } catch (...) {
    EndWork(TWorkMode::wmWrite);
    throw;
  }
  EndWork(TWorkMode::wmWrite);
}

std::int64_t TIdIOHandler::WriteFile(const std::string& AFile, bool) {
  struct stat st {};
  if (::stat(AFile.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) throw EIdFileNotFound(Format(RSFileNotFound, AFile));
  TFileStream stream(AFile, fmOpenRead);
  std::int64_t size = stream.Size();
  if (size > 0) Write(stream, 0);
  return size;
}

void TIdIOHandler::WriteDirect(const TIdBytes& ABuffer, std::int32_t ALength, std::int32_t AOffset) {
  if (!InputEndedOnly()) CheckForDisconnect(true, true);
  std::int64_t available = static_cast<std::int64_t>(ABuffer.size()) - AOffset;
  std::int64_t length = ALength < 0 ? available : std::min<std::int64_t>(ALength, available);
  if (AOffset < 0 || length < 1) return;
  const TIdBytes* block = &ABuffer;
  TIdBytes intercepted;
  std::int32_t pos = AOffset;
  auto remaining = static_cast<std::int32_t>(length);
  if (FIntercept) {
    intercepted.assign(ABuffer.begin() + AOffset, ABuffer.begin() + AOffset + length);
    FIntercept->Send(intercepted);
    block = &intercepted;
    pos = 0;
    remaining = static_cast<std::int32_t>(intercepted.size());
  }
  while (remaining > 0) {
    std::int32_t n = WriteDataToTarget(*block, pos, remaining);
    if (n < 0) {
      int err = CheckTransportError(n);
      if (err != ETIMEDOUT) {
        FClosedGracefully = true;
        CloseOnPeerEnd();
      }
      RaiseTransportError(err);
    }
    if (n == 0) FClosedGracefully = true;
    if (!InputEndedOnly()) CheckForDisconnect(true, false);
    // Nothing written and no error: the connection is gone.
    if (n == 0) throw EIdConnClosedGracefully();
    DoWork(TWorkMode::wmWrite, n);
    pos += n;
    remaining -= n;
  }
}

void TIdIOHandler::WriteBufferOpen(std::int32_t AThreshold) {
  if (FWriteBuffer)
    FWriteBuffer->Clear();
  else
    FWriteBuffer = std::make_unique<TIdBuffer>();
  FWriteBufferThreshold = AThreshold;
}

void TIdIOHandler::WriteBufferFlush(std::int32_t AByteCount) {
  if (!FWriteBuffer || FWriteBuffer->Size() == 0) return;
  if (AByteCount < 0 || AByteCount > FWriteBuffer->Size()) AByteCount = FWriteBuffer->Size();
  TIdBytes bytes;
  FWriteBuffer->ExtractToBytes(bytes, AByteCount);
  WriteDirect(bytes);
}

void TIdIOHandler::WriteBufferClose() {
  try {
    WriteBufferFlush(-1);
  } catch (...) {
    FWriteBuffer.reset();
    throw;
  }
  FWriteBuffer.reset();
}

void TIdIOHandler::WriteBufferClear() {
  if (FWriteBuffer) FWriteBuffer->Clear();
}

void TIdIOHandler::WriteBufferCancel() {
  WriteBufferClear();
  FWriteBuffer.reset();
}

// ---------------------------------------------------------------------------
// Destination

std::string TIdIOHandler::Destination() const {
  if (FPort > 0) return FHost + ":" + std::to_string(FPort);
  return FHost;
}

void TIdIOHandler::SetDestination(const std::string& AValue) {
  std::size_t colon = AValue.rfind(':');
  if (colon == std::string::npos) return;
  SetHost(AValue.substr(0, colon));
  std::string port = Trim(AValue.substr(colon + 1, 255));
  std::int32_t value = 0;
  if (TryStrToInt(port, value) && value >= 0 && value <= 65535)
    SetPort(static_cast<std::uint16_t>(value));
  else
    SetPort(0);
}

// ---------------------------------------------------------------------------
// Registry

namespace {

struct Registry {
  // The stack handler is the default from the start.
  Registry() : Default(IdIOHandlerClassOf<TIdIOHandlerStack>("TIdIOHandlerStack")) { Classes.push_back(Default); }
  std::mutex Lock;
  std::vector<TIdIOHandlerClass> Classes;
  TIdIOHandlerClass Default;
};

Registry& TheRegistry() {
  static Registry registry;
  return registry;
}

}  // namespace

void RegisterIOHandler(const TIdIOHandlerClass& AClass) {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> lock(r.Lock);
  for (const TIdIOHandlerClass& c : r.Classes)
    if (c.ClassName == AClass.ClassName) return;
  r.Classes.push_back(AClass);
}

void SetDefaultClass(const TIdIOHandlerClass& AClass) {
  RegisterIOHandler(AClass);
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> lock(r.Lock);
  r.Default = AClass;
}

TIdIOHandler* MakeDefaultIOHandler(TComponent* AOwner) {
  TIdIOHandlerFactory create;
  {
    Registry& r = TheRegistry();
    std::lock_guard<std::mutex> lock(r.Lock);
    create = r.Default.Create;
  }
  return create ? create(AOwner) : nullptr;
}

namespace detail {

TIdIOHandler* TryMakeIOHandler(const std::function<bool(TIdIOHandler&)>& AIsBase, TComponent* AOwner) {
  std::vector<TIdIOHandlerClass> classes;
  {
    Registry& r = TheRegistry();
    std::lock_guard<std::mutex> lock(r.Lock);
    classes = r.Classes;
  }
  for (auto it = classes.rbegin(); it != classes.rend(); ++it) {
    // The class is tested on an instance without owner, then made for real.
    std::unique_ptr<TIdIOHandler> probe(it->Create(nullptr));
    if (probe && AIsBase(*probe)) return it->Create(AOwner);
  }
  return nullptr;
}

void RaiseNoIOHandler(const std::string& AClassName) {
  throw EIdException(Format(RSIOHandlerTypeNotInstalled, AClassName));
}

}  // namespace detail
