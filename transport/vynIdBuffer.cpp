#include "transport/vynIdBuffer.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "transport/vynIdResourceStringsCore.h"

namespace {
constexpr std::size_t kKeptStorage = 256 * 1024;
}

TIdBuffer::TIdBuffer() { TIdStack::IncUsage(); }

TIdBuffer::TIdBuffer(std::int32_t AGrowthFactor) : FGrowthFactor(AGrowthFactor) { TIdStack::IncUsage(); }

TIdBuffer::TIdBuffer(TIdBufferBytesRemoved AOnBytesRemoved) : OnBytesRemoved(std::move(AOnBytesRemoved)) {
  TIdStack::IncUsage();
}

TIdBuffer::TIdBuffer(const TIdBytes& ABytes, std::int32_t ALength) {
  TIdStack::IncUsage();
  if (ALength < 0) {
    FBytes = ABytes;
    FSize = static_cast<std::int32_t>(FBytes.size());
  } else {
    std::int32_t n = std::min<std::int32_t>(ALength, static_cast<std::int32_t>(ABytes.size()));
    FBytes.assign(ABytes.begin(), ABytes.begin() + n);
    FSize = n;
  }
}

TIdBuffer::~TIdBuffer() { TIdStack::DecUsage(); }

void TIdBuffer::CheckAdd(std::int64_t AByteCount) const {
  if (static_cast<std::int64_t>(FSize) + AByteCount > INT32_MAX) throw EIdTooMuchDataInBuffer(RSTooMuchDataInBuffer);
}

const std::uint8_t* TIdBuffer::Data(std::int32_t AIndex) const {
  return FBytes.data() + FHeadIndex + std::max<std::int32_t>(AIndex, 0);
}

void TIdBuffer::Write(const TIdBytes& ABytes, std::int32_t ALength, std::int32_t AOffset, std::int32_t ADestIndex) {
  if (AOffset < 0) return;
  std::int64_t available = static_cast<std::int64_t>(ABytes.size()) - AOffset;
  std::int64_t length = ALength < 0 ? available : std::min<std::int64_t>(ALength, available);
  if (length <= 0) return;
  CheckAdd(ADestIndex < 0 ? length : 0);
  if (ADestIndex < 0 && FSize == 0) {
    // An empty buffer adopts a copy of the bytes as its storage.
    FBytes.assign(ABytes.begin() + AOffset, ABytes.begin() + AOffset + length);
    FHeadIndex = 0;
    FSize = static_cast<std::int32_t>(length);
    return;
  }
  Write(ABytes.data() + AOffset, static_cast<std::int32_t>(length), ADestIndex);
}

void TIdBuffer::Write(const std::uint8_t* ABytes, std::int32_t ALength, std::int32_t ADestIndex) {
  if (ALength <= 0) return;
  // Writing past the end would leave a gap of undefined bytes.
  if (ADestIndex > FSize) throw EIdException(RSIndexOutOfBounds);
  std::int32_t dest = ADestIndex < 0 ? FSize : ADestIndex;
  std::int64_t end = static_cast<std::int64_t>(dest) + ALength;
  if (end > FSize) CheckAdd(end - FSize);
  CompactHead(false);
  if (static_cast<std::int64_t>(FBytes.size()) < end) {
    std::int64_t capacity = std::min<std::int64_t>(end + FGrowthFactor, INT32_MAX);
    FBytes.resize(static_cast<std::size_t>(capacity));
  }
  std::memmove(FBytes.data() + dest, ABytes, static_cast<std::size_t>(ALength));
  FSize = static_cast<std::int32_t>(std::max<std::int64_t>(FSize, end));
}

void TIdBuffer::Write(std::string_view AString, const TIdTextEncoding& AByteEncoding, std::int32_t ADestIndex) {
  const TIdTextEncoding& encoding = AByteEncoding ? AByteEncoding : detail::EncodingOrASCII(FByteEncoding);
  TIdBytes bytes = encoding->GetBytes(AString);
  Write(bytes, -1, 0, ADestIndex);
}

void TIdBuffer::Write(TStream& AStream, std::int64_t AByteCount) {
  std::int64_t count;
  if (AByteCount < 0) {
    count = AStream.Size() - AStream.Position();
  } else if (AByteCount == 0) {
    AStream.SetPosition(0);
    count = AStream.Size();
  } else {
    count = std::min(AByteCount, AStream.Size() - AStream.Position());
  }
  if (count <= 0) return;
  CheckAdd(count);
  TIdBytes chunk(static_cast<std::size_t>(std::min<std::int64_t>(count, 65536)));
  while (count > 0) {
    std::int64_t n = AStream.Read(chunk.data(), std::min<std::int64_t>(count, static_cast<std::int64_t>(chunk.size())));
    if (n <= 0) break;
    Write(chunk.data(), static_cast<std::int32_t>(n));
    count -= n;
  }
}

std::uint8_t* TIdBuffer::ReserveTail(std::int32_t ACount) {
  CheckAdd(ACount);
  std::int64_t end = static_cast<std::int64_t>(FSize) + ACount;
  if (static_cast<std::int64_t>(FBytes.size()) - FHeadIndex < end) {
    CompactHead(false);
    if (static_cast<std::int64_t>(FBytes.size()) < end)
      FBytes.resize(static_cast<std::size_t>(std::min<std::int64_t>(end + FGrowthFactor, INT32_MAX)));
  }
  return FBytes.data() + FHeadIndex + FSize;
}

void TIdBuffer::CommitTail(std::int32_t ACount) {
  if (ACount > 0) FSize += ACount;
}

void TIdBuffer::WriteUInt8(std::uint8_t AValue, std::int32_t ADestIndex) { Write(&AValue, 1, ADestIndex); }

void TIdBuffer::WriteUInt16(std::uint16_t AValue, std::int32_t ADestIndex) {
  std::uint16_t n = TIdStack::HostToNetwork(AValue);
  Write(reinterpret_cast<const std::uint8_t*>(&n), sizeof n, ADestIndex);
}

void TIdBuffer::WriteUInt32(std::uint32_t AValue, std::int32_t ADestIndex) {
  std::uint32_t n = TIdStack::HostToNetwork(AValue);
  Write(reinterpret_cast<const std::uint8_t*>(&n), sizeof n, ADestIndex);
}

void TIdBuffer::WriteUInt64(std::uint64_t AValue, std::int32_t ADestIndex) {
  std::uint64_t n = TIdStack::HostToNetwork(AValue);
  Write(reinterpret_cast<const std::uint8_t*>(&n), sizeof n, ADestIndex);
}

void TIdBuffer::WriteIPv6(const TIdIPv6Address& AValue, std::int32_t ADestIndex) {
  TIdIPv6Address n = TIdStack::HostToNetwork(AValue);
  Write(reinterpret_cast<const std::uint8_t*>(n.data()), sizeof n, ADestIndex);
}

void TIdBuffer::Remove(std::int32_t AByteCount) {
  if (AByteCount <= 0) return;
  std::int32_t removed = std::min(AByteCount, FSize);
  if (AByteCount >= FSize) {
    // Storage of the size a few receives need is kept for the next ones;
    // releasing it cost an allocation and a fill per block read.
    if (FBytes.size() <= kKeptStorage) {
      FHeadIndex = 0;
      FSize = 0;
    } else {
      Clear();
    }
  } else {
    FHeadIndex += AByteCount;
    FSize -= AByteCount;
    // Storage is given back only when it is more than twice what is needed:
    // cutting it to the bare minimum made the next receive grow it again,
    // a reallocation every few lines. The unread bytes move to the front
    // only once they are no more than the bytes already skipped, so each
    // byte is moved a bounded number of times: moving a 32 KB block after
    // every 2 KB of lines read cost more than reading the lines.
    if (FHeadIndex > FGrowthFactor) {
      const bool shrink =
          static_cast<std::int64_t>(FBytes.size()) > 2 * (static_cast<std::int64_t>(FSize) + FGrowthFactor);
      if (shrink || FHeadIndex >= FSize) CompactHead(shrink);
    }
  }
  if (OnBytesRemoved && removed > 0) OnBytesRemoved(this, removed);
}

void TIdBuffer::CompactHead(bool ACanShrink) {
  if (FHeadIndex > 0) {
    std::memmove(FBytes.data(), FBytes.data() + FHeadIndex, static_cast<std::size_t>(FSize));
    FHeadIndex = 0;
  }
  if (ACanShrink && static_cast<std::int64_t>(FBytes.size()) - FSize > FGrowthFactor) {
    FBytes.resize(static_cast<std::size_t>(FSize + FGrowthFactor));
    FBytes.shrink_to_fit();
  }
}

void TIdBuffer::Clear() {
  TIdBytes().swap(FBytes);
  FHeadIndex = 0;
  FSize = 0;
}

std::int32_t TIdBuffer::CheckExtract(std::int32_t AByteCount, std::int32_t AIndex) const {
  std::int32_t available = AIndex < 0 ? FSize : FSize - AIndex;
  if (AByteCount < 0) AByteCount = std::max(available, 0);
  if (AByteCount > available)
    throw EIdNotEnoughDataInBuffer(Format(RSNotEnoughDataInBuffer, AByteCount, std::max(available, 0)));
  return AByteCount;
}

void TIdBuffer::TakeBytes(void* ADest, std::int32_t ACount, std::int32_t AIndex) {
  CheckExtract(ACount, AIndex);
  std::memcpy(ADest, Data(AIndex), static_cast<std::size_t>(ACount));
  if (AIndex < 0) Remove(ACount);
}

void TIdBuffer::ExtractToBytes(TIdBytes& VBytes, std::int32_t AByteCount, bool AAppend, std::int32_t AIndex) {
  std::int32_t n = CheckExtract(AByteCount, AIndex);
  if (n == 0) return;
  std::size_t at = AAppend ? VBytes.size() : 0;
  if (VBytes.size() < at + static_cast<std::size_t>(n)) VBytes.resize(at + static_cast<std::size_t>(n));
  std::memcpy(VBytes.data() + at, Data(AIndex), static_cast<std::size_t>(n));
  if (AIndex < 0) Remove(n);
}

std::string TIdBuffer::ExtractToString(std::int32_t AByteCount, const TIdTextEncoding& AByteEncoding) {
  if (AByteCount < 0) AByteCount = FSize;
  return ExtractToString(AByteCount, AByteEncoding, AByteCount);
}

std::string TIdBuffer::ExtractToString(std::int32_t AByteCount, const TIdTextEncoding& AByteEncoding,
                                       std::int32_t ARemoveCount) {
  std::string result;
  if (AByteCount > 0) {
    CheckExtract(AByteCount, -1);
    const TIdTextEncoding& encoding = AByteEncoding ? AByteEncoding : detail::EncodingOrASCII(FByteEncoding);
    result = encoding->GetString(Data(-1), static_cast<std::size_t>(AByteCount));
  }
  if (ARemoveCount > 0) {
    CheckExtract(ARemoveCount, -1);
    Remove(ARemoveCount);
  }
  return result;
}

void TIdBuffer::ExtractToStream(TStream& AStream, std::int32_t AByteCount, std::int32_t AIndex) {
  std::int32_t n = CheckExtract(AByteCount, AIndex);
  if (n == 0) return;
  AStream.WriteBuffer(Data(AIndex), n);
  if (AIndex < 0) Remove(n);
}

void TIdBuffer::ExtractToIdBuffer(TIdBuffer& ABuffer, std::int32_t AByteCount, std::int32_t AIndex) {
  std::int32_t n = CheckExtract(AByteCount, AIndex);
  if (n == 0) return;
  ABuffer.Write(Data(AIndex), n);
  if (AIndex < 0) Remove(n);
}

std::uint8_t TIdBuffer::ExtractToUInt8(std::int32_t AIndex) {
  std::uint8_t v = 0;
  TakeBytes(&v, 1, AIndex);
  return v;
}

std::uint16_t TIdBuffer::ExtractToUInt16(std::int32_t AIndex) {
  std::uint16_t v = 0;
  TakeBytes(&v, sizeof v, AIndex);
  return TIdStack::NetworkToHost(v);
}

std::uint32_t TIdBuffer::ExtractToUInt32(std::int32_t AIndex) {
  std::uint32_t v = 0;
  TakeBytes(&v, sizeof v, AIndex);
  return TIdStack::NetworkToHost(v);
}

std::uint64_t TIdBuffer::ExtractToUInt64(std::int32_t AIndex) {
  std::uint64_t v = 0;
  TakeBytes(&v, sizeof v, AIndex);
  return TIdStack::NetworkToHost(v);
}

TIdIPv6Address TIdBuffer::ExtractToIPv6(std::int32_t AIndex) {
  TIdIPv6Address v{};
  TakeBytes(v.data(), sizeof v, AIndex);
  return TIdStack::NetworkToHost(v);
}

std::int32_t TIdBuffer::IndexOf(const TIdBytes& ABytes, std::int32_t AStartPos) {
  if (ABytes.empty()) throw EIdException(RSBufferMissingTerminator);
  if (ABytes.size() == 1) return IndexOf(ABytes[0], AStartPos);
  if (FSize == 0) return -1;
  if (AStartPos < 0 || AStartPos >= FSize) throw EIdException(RSBufferInvalidStartPos);
  const std::uint8_t* begin = Data(-1);
  const std::uint8_t* end = begin + FSize;
  const std::uint8_t* found = std::search(begin + AStartPos, end, ABytes.begin(), ABytes.end());
  return found == end ? -1 : static_cast<std::int32_t>(found - begin);
}

std::int32_t TIdBuffer::IndexOf(std::string_view AString, std::int32_t AStartPos,
                                const TIdTextEncoding& AByteEncoding) {
  const TIdTextEncoding& encoding = AByteEncoding ? AByteEncoding : detail::EncodingOrASCII(FByteEncoding);
  return IndexOf(encoding->GetBytes(AString), AStartPos);
}

std::int32_t TIdBuffer::IndexOf(std::uint8_t AByte, std::int32_t AStartPos) {
  if (FSize == 0) return -1;
  if (AStartPos < 0 || AStartPos >= FSize) throw EIdException(RSBufferInvalidStartPos);
  const std::uint8_t* begin = Data(-1);
  const void* hit = std::memchr(begin + AStartPos, AByte, static_cast<std::size_t>(FSize - AStartPos));
  return hit ? static_cast<std::int32_t>(static_cast<const std::uint8_t*>(hit) - begin) : -1;
}

std::uint8_t TIdBuffer::PeekByte(std::int32_t AIndex) {
  if (FSize == 0) throw EIdException(RSNoBytesInBuffer);
  if (AIndex < 0 || AIndex >= FSize) throw EIdException(RSIndexOutOfBounds);
  return *Data(AIndex);
}

void TIdBuffer::SetCapacity(std::int32_t AValue) {
  if (AValue < FSize) throw EIdException(RSCapacityTooSmall);
  CompactHead(false);
  FBytes.resize(static_cast<std::size_t>(AValue));
}

void TIdBuffer::SaveToStream(TStream& AStream) {
  if (FSize > 0) AStream.WriteBuffer(Data(-1), FSize);
}

std::string TIdBuffer::AsString() {
  const TIdTextEncoding& encoding = detail::EncodingOrASCII(FByteEncoding);
  return encoding->GetString(Data(-1), static_cast<std::size_t>(FSize));
}
