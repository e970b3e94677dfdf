#include "transport/vynIdTextEncoding.h"

#include <algorithm>

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

std::string ValidUTF8(std::string_view aBytes) {
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
  return OneBytePerChar(AChars, [](std::uint32_t c) { return static_cast<std::uint8_t>(c > 127 ? '?' : c); });
}

std::string TIdASCIIEncoding::GetString(const std::uint8_t* ABytes, std::size_t ACount) {
  // Protocol lines are plain ASCII: taken over as they are.
  if (std::all_of(ABytes, ABytes + ACount, [](std::uint8_t b) { return b < 128; }))
    return std::string(reinterpret_cast<const char*>(ABytes), ACount);
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

namespace detail {

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
