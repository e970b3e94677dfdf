#include "transport/vynIdTextEncoding.h"

#include <iconv.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "transport/vynIdResourceStringsCore.h"

namespace detail {

std::size_t DecodeUTF8(const std::uint8_t* aBytes, std::size_t aCount, std::size_t aPos, std::uint32_t& aCode) {
  std::uint8_t b = aBytes[aPos];
  if (b < 0x80) {
    aCode = b;
    return 1;
  }
  std::size_t len;
  std::uint32_t code, min;
  if ((b & 0xE0) == 0xC0) {
    len = 2, code = b & 0x1Fu, min = 0x80;
  } else if ((b & 0xF0) == 0xE0) {
    len = 3, code = b & 0x0Fu, min = 0x800;
  } else if ((b & 0xF8) == 0xF0) {
    len = 4, code = b & 0x07u, min = 0x10000;
  } else {
    aCode = 0xFFFD;
    return 1;
  }
  if (aPos + len > aCount) {
    aCode = 0xFFFD;
    return 1;
  }
  for (std::size_t i = 1; i < len; ++i) {
    std::uint8_t c = aBytes[aPos + i];
    if ((c & 0xC0) != 0x80) {
      aCode = 0xFFFD;
      return 1;
    }
    code = (code << 6) | (c & 0x3Fu);
  }
  if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
    aCode = 0xFFFD;
    return 1;
  }
  aCode = code;
  return len;
}

void AppendUTF8(std::string& aOut, std::uint32_t aCode) {
  if (aCode < 0x80) {
    aOut += static_cast<char>(aCode);
  } else if (aCode < 0x800) {
    aOut += static_cast<char>(0xC0 | (aCode >> 6));
    aOut += static_cast<char>(0x80 | (aCode & 0x3F));
  } else if (aCode < 0x10000) {
    aOut += static_cast<char>(0xE0 | (aCode >> 12));
    aOut += static_cast<char>(0x80 | ((aCode >> 6) & 0x3F));
    aOut += static_cast<char>(0x80 | (aCode & 0x3F));
  } else {
    aOut += static_cast<char>(0xF0 | (aCode >> 18));
    aOut += static_cast<char>(0x80 | ((aCode >> 12) & 0x3F));
    aOut += static_cast<char>(0x80 | ((aCode >> 6) & 0x3F));
    aOut += static_cast<char>(0x80 | (aCode & 0x3F));
  }
}

// Whether every byte is below 128. Eight bytes at a time and without an
// early exit, so the compiler vectorises it: this check was the largest
// single cost of reading a protocol line.
bool AllBelow128(const std::uint8_t* aBytes, std::size_t aCount) {
  std::uint64_t seen = 0;
  std::size_t i = 0;
  for (; i + 8 <= aCount; i += 8) {
    std::uint64_t w;
    std::memcpy(&w, aBytes + i, 8);
    seen |= w;
  }
  for (; i < aCount; ++i) seen |= aBytes[i];
  return (seen & 0x8080808080808080ULL) == 0;
}

std::string ValidUTF8(std::string_view aBytes) {
  if (AllBelow128(reinterpret_cast<const std::uint8_t*>(aBytes.data()), aBytes.size())) return std::string(aBytes);
  std::string out;
  out.reserve(aBytes.size());
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(aBytes.data());
  std::size_t i = 0;
  while (i < aBytes.size()) {
    std::uint32_t code = 0;
    const std::size_t len = DecodeUTF8(bytes, aBytes.size(), i, code);
    if (code == 0xFFFD && len == 1 && bytes[i] >= 0x80)
      out += ReplacementChar;
    else
      out.append(aBytes.substr(i, len));
    i += len;
  }
  return out;
}

}  // namespace detail

namespace {

using detail::AllBelow128;
using detail::AppendUTF8;
using detail::DecodeUTF8;

// Text as code points, each mapped to one byte by aMap.
template <class Map>
TIdBytes OneBytePerChar(std::string_view aChars, Map aMap) {
  TIdBytes result;
  result.reserve(aChars.size());
  const auto* p = reinterpret_cast<const std::uint8_t*>(aChars.data());
  for (std::size_t i = 0; i < aChars.size();) {
    std::uint32_t code;
    i += DecodeUTF8(p, aChars.size(), i, code);
    result.push_back(aMap(code));
  }
  return result;
}

std::int32_t CodePointCount(std::string_view aChars) {
  const auto* p = reinterpret_cast<const std::uint8_t*>(aChars.data());
  std::int32_t n = 0;
  for (std::size_t i = 0; i < aChars.size(); ++n) {
    std::uint32_t code;
    i += DecodeUTF8(p, aChars.size(), i, code);
  }
  return n;
}

}  // namespace

std::string IIdTextEncoding::GetString(const TIdBytes& ABytes, std::size_t AIndex, std::size_t ACount) {
  if (AIndex >= ABytes.size()) return std::string();
  return GetString(ABytes.data() + AIndex, std::min(ACount, ABytes.size() - AIndex));
}

// --- ASCII

TIdBytes TIdASCIIEncoding::GetBytes(std::string_view AChars) {
  if (AllBelow128(reinterpret_cast<const std::uint8_t*>(AChars.data()), AChars.size()))
    return TIdBytes(AChars.begin(), AChars.end());
  return OneBytePerChar(AChars, [](std::uint32_t c) { return static_cast<std::uint8_t>(c > 127 ? '?' : c); });
}

std::string TIdASCIIEncoding::GetString(const std::uint8_t* ABytes, std::size_t ACount) {
  // Protocol lines are plain ASCII: taken over as they are.
  if (AllBelow128(ABytes, ACount)) return std::string(reinterpret_cast<const char*>(ABytes), ACount);
  std::string result;
  result.reserve(ACount);
  for (std::size_t i = 0; i < ACount; ++i) {
    if (ABytes[i] > 127)
      result += detail::ReplacementChar;
    else
      result += static_cast<char>(ABytes[i]);
  }
  return result;
}

std::int32_t TIdASCIIEncoding::GetByteCount(std::string_view AChars) { return CodePointCount(AChars); }
std::int32_t TIdASCIIEncoding::GetCharCount(const std::uint8_t*, std::size_t ACount) {
  return static_cast<std::int32_t>(ACount);
}

// --- 8 bit

TIdBytes TId8BitEncoding::GetBytes(std::string_view AChars) {
  return OneBytePerChar(AChars, [](std::uint32_t c) { return static_cast<std::uint8_t>(c > 255 ? '?' : c); });
}

std::string TId8BitEncoding::GetString(const std::uint8_t* ABytes, std::size_t ACount) {
  std::string result;
  result.reserve(ACount);
  for (std::size_t i = 0; i < ACount; ++i) AppendUTF8(result, ABytes[i]);
  return result;
}

std::int32_t TId8BitEncoding::GetByteCount(std::string_view AChars) { return CodePointCount(AChars); }
std::int32_t TId8BitEncoding::GetCharCount(const std::uint8_t*, std::size_t ACount) {
  return static_cast<std::int32_t>(ACount);
}

// --- UTF-8

TIdBytes TIdUTF8Encoding::GetBytes(std::string_view AChars) {
  // Text is UTF-8 already; malformed sequences are replaced.
  const auto* p = reinterpret_cast<const std::uint8_t*>(AChars.data());
  std::string clean = GetString(p, AChars.size());
  return TIdBytes(clean.begin(), clean.end());
}

std::string TIdUTF8Encoding::GetString(const std::uint8_t* ABytes, std::size_t ACount) {
  std::string result;
  result.reserve(ACount);
  for (std::size_t i = 0; i < ACount;) {
    std::uint32_t code;
    std::size_t n = DecodeUTF8(ABytes, ACount, i, code);
    if (code == 0xFFFD && n == 1)
      result += detail::ReplacementChar;
    else
      result.append(reinterpret_cast<const char*>(ABytes + i), n);
    i += n;
  }
  return result;
}

std::int32_t TIdUTF8Encoding::GetByteCount(std::string_view AChars) {
  return static_cast<std::int32_t>(GetBytes(AChars).size());
}

std::int32_t TIdUTF8Encoding::GetCharCount(const std::uint8_t* ABytes, std::size_t ACount) {
  std::int32_t n = 0;
  for (std::size_t i = 0; i < ACount;) {
    std::uint32_t code;
    i += DecodeUTF8(ABytes, ACount, i, code);
    n += code > 0xFFFF ? 2 : 1;
  }
  return n;
}

// --- UTF-16 units

namespace detail {

TIdWideChars UTF8ToUTF16(std::string_view aText) {
  TIdWideChars units;
  units.reserve(aText.size());
  const auto* p = reinterpret_cast<const std::uint8_t*>(aText.data());
  for (std::size_t i = 0; i < aText.size();) {
    std::uint32_t code;
    i += DecodeUTF8(p, aText.size(), i, code);
    if (code > 0xFFFF) {
      code -= 0x10000;
      units.push_back(static_cast<std::uint16_t>(0xD800 | (code >> 10)));
      units.push_back(static_cast<std::uint16_t>(0xDC00 | (code & 0x3FF)));
    } else {
      units.push_back(static_cast<std::uint16_t>(code));
    }
  }
  return units;
}

std::string UTF16ToUTF8(const std::uint16_t* aUnits, std::size_t aCount) {
  std::string text;
  text.reserve(aCount);
  for (std::size_t i = 0; i < aCount; ++i) {
    std::uint32_t code = aUnits[i];
    if (code >= 0xD800 && code <= 0xDBFF && i + 1 < aCount && aUnits[i + 1] >= 0xDC00 && aUnits[i + 1] <= 0xDFFF) {
      code = 0x10000 + ((code - 0xD800) << 10) + (aUnits[i + 1] - 0xDC00);
      ++i;
    } else if (code >= 0xD800 && code <= 0xDFFF) {
      code = 0xFFFD;
    }
    AppendUTF8(text, code);
  }
  return text;
}

}  // namespace detail

TIdBytes IIdTextEncoding::GetBytes(const TIdWideChars& AChars) {
  return GetBytes(detail::UTF16ToUTF8(AChars.data(), AChars.size()));
}

TIdWideChars IIdTextEncoding::GetChars(const std::uint8_t* ABytes, std::size_t ACount) {
  return detail::UTF8ToUTF16(GetString(ABytes, ACount));
}

// --- UTF-16 LE / BE

TIdBytes TIdUTF16LittleEndianEncoding::GetBytes(std::string_view AChars) {
  const TIdWideChars units = detail::UTF8ToUTF16(AChars);
  const bool big = BigEndian();
  TIdBytes bytes;
  bytes.reserve(units.size() * 2);
  for (std::uint16_t u : units) {
    const auto hi = static_cast<std::uint8_t>(u >> 8);
    const auto lo = static_cast<std::uint8_t>(u & 0xFF);
    bytes.push_back(big ? hi : lo);
    bytes.push_back(big ? lo : hi);
  }
  return bytes;
}

std::string TIdUTF16LittleEndianEncoding::GetString(const std::uint8_t* ABytes, std::size_t ACount) {
  const bool big = BigEndian();
  TIdWideChars units(ACount / 2);
  for (std::size_t i = 0; i < units.size(); ++i) {
    const std::uint8_t a = ABytes[2 * i], b = ABytes[2 * i + 1];
    units[i] = static_cast<std::uint16_t>(big ? (a << 8) | b : (b << 8) | a);
  }
  std::string text = detail::UTF16ToUTF8(units.data(), units.size());
  if (ACount % 2) text += detail::ReplacementChar;
  return text;
}

std::int32_t TIdUTF16LittleEndianEncoding::GetByteCount(std::string_view AChars) {
  return static_cast<std::int32_t>(detail::UTF8ToUTF16(AChars).size() * 2);
}

std::int32_t TIdUTF16LittleEndianEncoding::GetCharCount(const std::uint8_t*, std::size_t ACount) {
  return static_cast<std::int32_t>(ACount / 2 + ACount % 2);
}

// --- UTF-7

namespace {

constexpr char kBase64Chars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int Base64Value(std::uint8_t aByte) {
  if (aByte >= 'A' && aByte <= 'Z') return aByte - 'A';
  if (aByte >= 'a' && aByte <= 'z') return aByte - 'a' + 26;
  if (aByte >= '0' && aByte <= '9') return aByte - '0' + 52;
  if (aByte == '+') return 62;
  if (aByte == '/') return 63;
  return -1;
}

// Set D of RFC 2152 and the white space that goes directly.
bool DirectUTF7(std::uint16_t aUnit) {
  if (aUnit >= 128) return false;
  const char c = static_cast<char>(aUnit);
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
         std::string_view("'(),-./:? \t\r\n").find(c) != std::string_view::npos;
}

}  // namespace

TIdBytes TIdUTF7Encoding::GetBytes(std::string_view AChars) {
  const TIdWideChars units = detail::UTF8ToUTF16(AChars);
  TIdBytes out;
  out.reserve(units.size() + 8);
  for (std::size_t i = 0; i < units.size();) {
    const std::uint16_t u = units[i];
    if (u == '+') {
      out.insert(out.end(), {'+', '-'});
      ++i;
    } else if (DirectUTF7(u)) {
      out.push_back(static_cast<std::uint8_t>(u));
      ++i;
    } else {
      // A run of units that cannot go directly, as Base64 of their bytes.
      out.push_back('+');
      std::uint32_t bits = 0;
      int count = 0;
      for (; i < units.size() && !DirectUTF7(units[i]) && units[i] != '+'; ++i) {
        bits = (bits << 16) | units[i];
        count += 16;
        while (count >= 6) {
          count -= 6;
          out.push_back(static_cast<std::uint8_t>(kBase64Chars[(bits >> count) & 0x3F]));
        }
      }
      if (count > 0) out.push_back(static_cast<std::uint8_t>(kBase64Chars[(bits << (6 - count)) & 0x3F]));
      // Always closed, so that a following "-" or Base64 letter stays itself.
      out.push_back('-');
    }
  }
  return out;
}

std::string TIdUTF7Encoding::GetString(const std::uint8_t* ABytes, std::size_t ACount) {
  TIdWideChars units;
  units.reserve(ACount);
  for (std::size_t i = 0; i < ACount;) {
    const std::uint8_t b = ABytes[i++];
    if (b != '+') {
      units.push_back(b < 128 ? b : 0xFFFD);
      continue;
    }
    if (i < ACount && ABytes[i] == '-') {
      units.push_back('+');
      ++i;
      continue;
    }
    std::uint32_t bits = 0;
    int count = 0;
    for (; i < ACount && Base64Value(ABytes[i]) >= 0; ++i) {
      bits = (bits << 6) | static_cast<std::uint32_t>(Base64Value(ABytes[i]));
      count += 6;
      if (count >= 16) {
        count -= 16;
        units.push_back(static_cast<std::uint16_t>(bits >> count));
        bits &= (1u << count) - 1;
      }
    }
    // Left-over bits must be fewer than six and all zero.
    if (count >= 6 || bits != 0) units.push_back(0xFFFD);
    if (i < ACount && ABytes[i] == '-') ++i;
  }
  return detail::UTF16ToUTF8(units.data(), units.size());
}

std::int32_t TIdUTF7Encoding::GetByteCount(std::string_view AChars) {
  return static_cast<std::int32_t>(GetBytes(AChars).size());
}

std::int32_t TIdUTF7Encoding::GetCharCount(const std::uint8_t* ABytes, std::size_t ACount) {
  return static_cast<std::int32_t>(detail::UTF8ToUTF16(GetString(ABytes, ACount)).size());
}

// --- Code pages through iconv

namespace {

// Code page numbers under the names the converter knows them by; other
// numbers are tried as "CP<number>".
std::string CodePageName(std::uint16_t aCodePage) {
  switch (aCodePage) {
    case 1200:
      return "UTF-16LE";
    case 1201:
      return "UTF-16BE";
    case 20127:
      return "US-ASCII";
    case 20866:
      return "KOI8-R";
    case 21866:
      return "KOI8-U";
    case 20932:
      return "EUC-JP";
    case 50220:
      return "ISO-2022-JP";
    case 51932:
      return "EUC-JP";
    case 51949:
      return "EUC-KR";
    case 54936:
      return "GB18030";
    case 65000:
      return "UTF-7";
    case 65001:
      return "UTF-8";
    default:
      break;
  }
  if (aCodePage >= 28591 && aCodePage <= 28605) return "ISO-8859-" + std::to_string(aCodePage - 28590);
  return "CP" + std::to_string(aCodePage);
}

const iconv_t kNoConverter = reinterpret_cast<iconv_t>(-1);

// Runs one conversion; on a sequence the converter cannot take, aBad
// appends its stand-in and tells how many input bytes to skip.
template <class OnBad>
std::string Convert(iconv_t aCd, const std::uint8_t* aIn, std::size_t aCount, OnBad aBad) {
  ::iconv(aCd, nullptr, nullptr, nullptr, nullptr);
  std::string out;
  out.resize(aCount * 4 + 16);
  auto* in = const_cast<char*>(reinterpret_cast<const char*>(aIn));
  std::size_t inLeft = aCount;
  std::size_t used = 0;
  for (;;) {
    char* dest = out.data() + used;
    std::size_t destLeft = out.size() - used;
    std::size_t rc = ::iconv(aCd, inLeft > 0 ? &in : nullptr, inLeft > 0 ? &inLeft : nullptr, &dest, &destLeft);
    used = out.size() - destLeft;
    if (rc != static_cast<std::size_t>(-1)) {
      if (inLeft == 0) {
        // Flush any shift state (stateful sets such as ISO-2022-JP).
        if (destLeft < 16) out.resize(out.size() + 16);
        dest = out.data() + used;
        destLeft = out.size() - used;
        ::iconv(aCd, nullptr, nullptr, &dest, &destLeft);
        used = out.size() - destLeft;
        break;
      }
      continue;
    }
    if (errno == E2BIG) {
      out.resize(out.size() * 2);
      continue;
    }
    // EILSEQ, or EINVAL for a sequence cut off at the end.
    out.resize(used);
    std::size_t skip = aBad(out, reinterpret_cast<const std::uint8_t*>(in), inLeft, errno == EINVAL);
    used = out.size();
    out.resize(used + inLeft * 4 + 16);
    skip = std::min(skip, inLeft);
    in += skip;
    inLeft -= skip;
    if (inLeft == 0) break;
  }
  out.resize(used);
  return out;
}

}  // namespace

struct TIdCodePageEncoding::Converters {
  std::mutex Lock;  // a converter keeps state between calls
  iconv_t ToCharSet = kNoConverter;
  iconv_t FromCharSet = kNoConverter;
  TIdBytes Question;  // "?" in the set
};

TIdCodePageEncoding::TIdCodePageEncoding(std::uint16_t ACodePage) : TIdCodePageEncoding(CodePageName(ACodePage)) {}

TIdCodePageEncoding::TIdCodePageEncoding(const std::string& ACharSet)
    : FCharSet(ACharSet), FConverters(std::make_unique<Converters>()) {
  FConverters->ToCharSet = ::iconv_open(ACharSet.c_str(), "UTF-8");
  FConverters->FromCharSet = ::iconv_open("UTF-8", ACharSet.c_str());
  if (ACharSet.empty() || FConverters->ToCharSet == kNoConverter || FConverters->FromCharSet == kNoConverter) {
    if (FConverters->ToCharSet != kNoConverter) ::iconv_close(FConverters->ToCharSet);
    if (FConverters->FromCharSet != kNoConverter) ::iconv_close(FConverters->FromCharSet);
    throw EIdException(Format(RSUnsupportedCharSet, ACharSet));
  }
  const std::uint8_t question = '?';
  std::string q = Convert(FConverters->ToCharSet, &question, 1,
                          [](std::string&, const std::uint8_t*, std::size_t, bool) { return std::size_t{1}; });
  FConverters->Question.assign(q.begin(), q.end());
}

TIdCodePageEncoding::~TIdCodePageEncoding() {
  ::iconv_close(FConverters->ToCharSet);
  ::iconv_close(FConverters->FromCharSet);
}

TIdBytes TIdCodePageEncoding::GetBytes(std::string_view AChars) {
  // Malformed UTF-8 first becomes U+FFFD, which the set may lack in turn.
  const std::string text = detail::ValidUTF8(AChars);
  std::lock_guard<std::mutex> guard(FConverters->Lock);
  const TIdBytes& question = FConverters->Question;
  std::string bytes = Convert(FConverters->ToCharSet, reinterpret_cast<const std::uint8_t*>(text.data()), text.size(),
                              [&](std::string& out, const std::uint8_t* at, std::size_t left, bool) {
                                out.append(question.begin(), question.end());
                                std::uint32_t code;
                                return DecodeUTF8(at, left, 0, code);
                              });
  return TIdBytes(bytes.begin(), bytes.end());
}

std::string TIdCodePageEncoding::GetString(const std::uint8_t* ABytes, std::size_t ACount) {
  std::lock_guard<std::mutex> guard(FConverters->Lock);
  return Convert(FConverters->FromCharSet, ABytes, ACount,
                 [](std::string& out, const std::uint8_t*, std::size_t left, bool cutOff) {
                   out += detail::ReplacementChar;
                   return cutOff ? left : std::size_t{1};
                 });
}

std::int32_t TIdCodePageEncoding::GetByteCount(std::string_view AChars) {
  return static_cast<std::int32_t>(GetBytes(AChars).size());
}

std::int32_t TIdCodePageEncoding::GetCharCount(const std::uint8_t* ABytes, std::size_t ACount) {
  return static_cast<std::int32_t>(detail::UTF8ToUTF16(GetString(ABytes, ACount)).size());
}

namespace detail {

const TIdTextEncoding& EncodingUTF16LE() {
  static TIdTextEncoding instance(new TIdUTF16LittleEndianEncoding);
  return instance;
}
const TIdTextEncoding& EncodingUTF16BE() {
  static TIdTextEncoding instance(new TIdUTF16BigEndianEncoding);
  return instance;
}
const TIdTextEncoding& EncodingUTF7() {
  static TIdTextEncoding instance(new TIdUTF7Encoding);
  return instance;
}

const TIdTextEncoding& EncodingASCII() {
  static TIdTextEncoding instance(new TIdASCIIEncoding);
  return instance;
}
const TIdTextEncoding& Encoding8Bit() {
  static TIdTextEncoding instance(new TId8BitEncoding);
  return instance;
}
const TIdTextEncoding& EncodingUTF8() {
  static TIdTextEncoding instance(new TIdUTF8Encoding);
  return instance;
}
const TIdTextEncoding& EncodingOrASCII(const TIdTextEncoding& AEncoding) {
  return AEncoding ? AEncoding : EncodingASCII();
}

}  // namespace detail
