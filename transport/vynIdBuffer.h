// A queue of received or pending bytes: appended at the tail, consumed at the
// head, compacted only now and then.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "platform/Classes.h"
#include "transport/vynIdGlobal.h"
#include "transport/vynIdStack.h"
#include "transport/vynIdTextEncoding.h"

class EIdTooMuchDataInBuffer : public EIdException {
public:
  using EIdException::EIdException;
};
class EIdNotEnoughDataInBuffer : public EIdException {
public:
  using EIdException::EIdException;
};

class TIdBuffer {
public:
  using TIdBufferBytesRemoved = std::function<void(TIdBuffer* ASender, std::int32_t ABytes)>;

  TIdBuffer();
  explicit TIdBuffer(std::int32_t AGrowthFactor);
  explicit TIdBuffer(TIdBufferBytesRemoved AOnBytesRemoved);
  // ALength -1 adopts the array as storage; otherwise the first ALength bytes
  // are copied.
  TIdBuffer(const TIdBytes& ABytes, std::int32_t ALength);
  ~TIdBuffer();
  TIdBuffer(const TIdBuffer&) = delete;
  TIdBuffer& operator=(const TIdBuffer&) = delete;

  // Appending (ADestIndex < 0) or overwriting from ADestIndex.
  void Write(const TIdBytes& ABytes, std::int32_t ALength = -1, std::int32_t AOffset = 0, std::int32_t ADestIndex = -1);
  void Write(const std::uint8_t* ABytes, std::int32_t ALength, std::int32_t ADestIndex = -1);
  void Write(std::string_view AString, const TIdTextEncoding& AByteEncoding = nullptr, std::int32_t ADestIndex = -1);
  // < 0: from the position to the end; 0: all of it from position 0; > 0: at
  // most that many.
  void Write(TStream& AStream, std::int64_t AByteCount = 0);
  void WriteUInt8(std::uint8_t AValue, std::int32_t ADestIndex = -1);
  void WriteUInt16(std::uint16_t AValue, std::int32_t ADestIndex = -1);
  void WriteUInt32(std::uint32_t AValue, std::int32_t ADestIndex = -1);
  void WriteUInt64(std::uint64_t AValue, std::int32_t ADestIndex = -1);
  void WriteIPv6(const TIdIPv6Address& AValue, std::int32_t ADestIndex = -1);

  // Room for ACount more bytes at the tail, to receive into directly; the
  // bytes count once CommitTail says how many arrived.
  std::uint8_t* ReserveTail(std::int32_t ACount);
  void CommitTail(std::int32_t ACount);

  void Remove(std::int32_t AByteCount);
  void CompactHead(bool ACanShrink = true);
  void Clear();

  // AIndex < 0: taken from the head and removed; otherwise copied from that
  // position (relative to the head). A count of -1 means all of it.
  void ExtractToBytes(TIdBytes& VBytes, std::int32_t AByteCount = -1, bool AAppend = true, std::int32_t AIndex = -1);
  std::string ExtractToString(std::int32_t AByteCount = -1, const TIdTextEncoding& AByteEncoding = nullptr);
  // The first AByteCount bytes as text, with ARemoveCount bytes (at least
  // AByteCount) removed in one step: a line and its terminator.
  std::string ExtractToString(std::int32_t AByteCount, const TIdTextEncoding& AByteEncoding, std::int32_t ARemoveCount);
  void ExtractToStream(TStream& AStream, std::int32_t AByteCount = -1, std::int32_t AIndex = -1);
  void ExtractToIdBuffer(TIdBuffer& ABuffer, std::int32_t AByteCount = -1, std::int32_t AIndex = -1);
  std::uint8_t ExtractToUInt8(std::int32_t AIndex = -1);
  std::uint16_t ExtractToUInt16(std::int32_t AIndex = -1);
  std::uint32_t ExtractToUInt32(std::int32_t AIndex = -1);
  std::uint64_t ExtractToUInt64(std::int32_t AIndex = -1);
  TIdIPv6Address ExtractToIPv6(std::int32_t AIndex = -1);

  std::int32_t IndexOf(const TIdBytes& ABytes, std::int32_t AStartPos = 0);
  std::int32_t IndexOf(std::string_view AString, std::int32_t AStartPos = 0,
                       const TIdTextEncoding& AByteEncoding = nullptr);
  std::int32_t IndexOf(std::uint8_t AByte, std::int32_t AStartPos = 0);
  std::uint8_t PeekByte(std::int32_t AIndex);
  // The bytes from the head, in place (they stay until removed): what a
  // reader fed bytes is given without a copy.
  std::string_view View() const {
    return FSize > 0 ? std::string_view(reinterpret_cast<const char*>(Data(0)), static_cast<std::size_t>(FSize))
                     : std::string_view();
  }

  std::int32_t Size() const { return FSize; }
  std::int32_t Capacity() const { return static_cast<std::int32_t>(FBytes.size()); }
  void SetCapacity(std::int32_t AValue);
  void SaveToStream(TStream& AStream);
  std::string AsString();

  const TIdTextEncoding& Encoding() const { return FByteEncoding; }
  void SetEncoding(const TIdTextEncoding& AValue) { FByteEncoding = AValue; }
  std::int32_t GrowthFactor() const { return FGrowthFactor; }
  void SetGrowthFactor(std::int32_t AValue) { FGrowthFactor = AValue; }
  TIdBufferBytesRemoved OnBytesRemoved;

private:
  // Checks that ACount bytes exist from AIndex (head when negative); returns
  // the effective count.
  std::int32_t CheckExtract(std::int32_t AByteCount, std::int32_t AIndex) const;
  const std::uint8_t* Data(std::int32_t AIndex) const;
  void CheckAdd(std::int64_t AByteCount) const;
  void TakeBytes(void* ADest, std::int32_t ACount, std::int32_t AIndex);

  TIdBytes FBytes;
  TIdTextEncoding FByteEncoding;
  std::int32_t FGrowthFactor = 2048;
  std::int32_t FHeadIndex = 0;
  std::int32_t FSize = 0;
};
