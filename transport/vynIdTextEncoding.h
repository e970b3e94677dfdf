// Converters between text (UTF-8 std::string) and bytes on the wire. Counts of
// characters are UTF-16 units, as the protocol code expects.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Classes.h"
#include "transport/vynIdGlobal.h"

// UTF-16 code units.
using TIdWideChars = std::vector<std::uint16_t>;

class IIdTextEncoding : public IInterface {
public:
  virtual TIdBytes GetBytes(std::string_view AChars) = 0;
  // From UTF-16 units; an unpaired surrogate is U+FFFD.
  TIdBytes GetBytes(const TIdWideChars& AChars);
  // The bytes decoded to UTF-16 units.
  virtual TIdWideChars GetChars(const std::uint8_t* ABytes, std::size_t ACount);
  TIdWideChars GetChars(const TIdBytes& ABytes) { return GetChars(ABytes.data(), ABytes.size()); }
  // Text of ACount bytes from AIndex.
  virtual std::string GetString(const std::uint8_t* ABytes, std::size_t ACount) = 0;
  std::string GetString(const TIdBytes& ABytes) { return GetString(ABytes.data(), ABytes.size()); }
  std::string GetString(const TIdBytes& ABytes, std::size_t AIndex, std::size_t ACount);
  virtual std::int32_t GetByteCount(std::string_view AChars) = 0;
  virtual std::int32_t GetCharCount(const std::uint8_t* ABytes, std::size_t ACount) = 0;
  virtual std::int32_t GetMaxByteCount(std::int32_t ACharCount) = 0;
  virtual std::int32_t GetMaxCharCount(std::int32_t AByteCount) = 0;

protected:
  ~IIdTextEncoding() = default;
};

using TIdTextEncoding = TIntf<IIdTextEncoding>;

// Reference counting shared by the encodings.
class TIdTextEncodingBase : public IIdTextEncoding {
public:
  std::int32_t _AddRef() override { return ++FRefCount; }
  std::int32_t _Release() override {
    std::int32_t n = --FRefCount;
    if (n == 0) delete this;
    return n;
  }

protected:
  virtual ~TIdTextEncodingBase() = default;

private:
  std::atomic<std::int32_t> FRefCount{0};
};

// 7 bits: a character above 127 becomes "?", a byte above 127 U+FFFD.
class TIdASCIIEncoding final : public TIdTextEncodingBase {
public:
  TIdBytes GetBytes(std::string_view AChars) override;
  std::string GetString(const std::uint8_t* ABytes, std::size_t ACount) override;
  using IIdTextEncoding::GetString;
  std::int32_t GetByteCount(std::string_view AChars) override;
  std::int32_t GetCharCount(const std::uint8_t* ABytes, std::size_t ACount) override;
  std::int32_t GetMaxByteCount(std::int32_t ACharCount) override { return ACharCount; }
  std::int32_t GetMaxCharCount(std::int32_t AByteCount) override { return AByteCount; }
};

// Characters 0..255 as one byte each, others as "?".
class TId8BitEncoding final : public TIdTextEncodingBase {
public:
  TIdBytes GetBytes(std::string_view AChars) override;
  std::string GetString(const std::uint8_t* ABytes, std::size_t ACount) override;
  using IIdTextEncoding::GetString;
  std::int32_t GetByteCount(std::string_view AChars) override;
  std::int32_t GetCharCount(const std::uint8_t* ABytes, std::size_t ACount) override;
  std::int32_t GetMaxByteCount(std::int32_t ACharCount) override { return ACharCount; }
  std::int32_t GetMaxCharCount(std::int32_t AByteCount) override { return AByteCount; }
};

// UTF-8; malformed bytes decode to U+FFFD.
class TIdUTF8Encoding final : public TIdTextEncodingBase {
public:
  TIdBytes GetBytes(std::string_view AChars) override;
  std::string GetString(const std::uint8_t* ABytes, std::size_t ACount) override;
  using IIdTextEncoding::GetString;
  std::int32_t GetByteCount(std::string_view AChars) override;
  std::int32_t GetCharCount(const std::uint8_t* ABytes, std::size_t ACount) override;
  std::int32_t GetMaxByteCount(std::int32_t ACharCount) override { return (ACharCount + 1) * 3; }
  std::int32_t GetMaxCharCount(std::int32_t AByteCount) override { return AByteCount + 1; }
};

// UTF-16, two bytes per unit, low byte first (LE) or high byte first (BE).
// No byte-order mark is written or expected; an odd last byte and an unpaired
// surrogate decode to U+FFFD.
class TIdUTF16LittleEndianEncoding : public TIdTextEncodingBase {
public:
  TIdBytes GetBytes(std::string_view AChars) override;
  std::string GetString(const std::uint8_t* ABytes, std::size_t ACount) override;
  using IIdTextEncoding::GetBytes;
  using IIdTextEncoding::GetString;
  std::int32_t GetByteCount(std::string_view AChars) override;
  std::int32_t GetCharCount(const std::uint8_t* ABytes, std::size_t ACount) override;
  std::int32_t GetMaxByteCount(std::int32_t ACharCount) override { return (ACharCount + 1) * 2; }
  std::int32_t GetMaxCharCount(std::int32_t AByteCount) override { return AByteCount / 2 + AByteCount % 2 + 1; }

protected:
  virtual bool BigEndian() const { return false; }
};

class TIdUTF16BigEndianEncoding final : public TIdUTF16LittleEndianEncoding {
protected:
  bool BigEndian() const override { return true; }
};

// UTF-7 (RFC 2152): the directly encoded characters of set D and white space
// as themselves, "+" as "+-", everything else as modified Base64 of UTF-16
// between "+" and "-". Decoding takes any ASCII directly; malformed shifted
// sequences decode to U+FFFD.
class TIdUTF7Encoding final : public TIdTextEncodingBase {
public:
  TIdBytes GetBytes(std::string_view AChars) override;
  std::string GetString(const std::uint8_t* ABytes, std::size_t ACount) override;
  using IIdTextEncoding::GetBytes;
  using IIdTextEncoding::GetString;
  std::int32_t GetByteCount(std::string_view AChars) override;
  std::int32_t GetCharCount(const std::uint8_t* ABytes, std::size_t ACount) override;
  std::int32_t GetMaxByteCount(std::int32_t ACharCount) override { return ACharCount * 3 + 2; }
  std::int32_t GetMaxCharCount(std::int32_t AByteCount) override { return AByteCount + 1; }
};

// A character set of the platform's converter (iconv), by name ("CP1252",
// "ISO-8859-2", "Shift_JIS", ...) or by code page number. A character the
// set lacks becomes "?"; bytes that are not valid in it decode to U+FFFD.
// An unknown set raises EIdException "Character set %s is not supported.".
class TIdCodePageEncoding final : public TIdTextEncodingBase {
public:
  explicit TIdCodePageEncoding(const std::string& ACharSet);
  explicit TIdCodePageEncoding(std::uint16_t ACodePage);
  ~TIdCodePageEncoding() override;
  TIdBytes GetBytes(std::string_view AChars) override;
  std::string GetString(const std::uint8_t* ABytes, std::size_t ACount) override;
  using IIdTextEncoding::GetBytes;
  using IIdTextEncoding::GetString;
  std::int32_t GetByteCount(std::string_view AChars) override;
  std::int32_t GetCharCount(const std::uint8_t* ABytes, std::size_t ACount) override;
  // Four bytes per character cover every set the converter offers.
  std::int32_t GetMaxByteCount(std::int32_t ACharCount) override { return (ACharCount + 1) * 4; }
  std::int32_t GetMaxCharCount(std::int32_t AByteCount) override { return AByteCount + 1; }
  const std::string& CharSet() const { return FCharSet; }

private:
  struct Converters;
  std::string FCharSet;
  std::unique_ptr<Converters> FConverters;
};

namespace detail {
// Shared instances of the encodings.
const TIdTextEncoding& EncodingASCII();
const TIdTextEncoding& Encoding8Bit();
const TIdTextEncoding& EncodingUTF8();
const TIdTextEncoding& EncodingUTF16LE();
const TIdTextEncoding& EncodingUTF16BE();
const TIdTextEncoding& EncodingUTF7();
// UTF-16 units of UTF-8 text and back (unpaired surrogates become U+FFFD).
TIdWideChars UTF8ToUTF16(std::string_view aText);
std::string UTF16ToUTF8(const std::uint16_t* aUnits, std::size_t aCount);
// The given encoding, or ASCII when none is given.
const TIdTextEncoding& EncodingOrASCII(const TIdTextEncoding& AEncoding);
// The UTF-8 form of U+FFFD.
inline constexpr const char* ReplacementChar = "\xEF\xBF\xBD";
// Decodes one code point of UTF-8 at aPos; malformed input yields U+FFFD and
// consumes one byte. Returns the number of bytes consumed.
std::size_t DecodeUTF8(const std::uint8_t* aBytes, std::size_t aCount, std::size_t aPos, std::uint32_t& aCode);
void AppendUTF8(std::string& aOut, std::uint32_t aCode);
// The text with every byte that starts no valid UTF-8 sequence as U+FFFD.
std::string ValidUTF8(std::string_view aBytes);
}  // namespace detail
