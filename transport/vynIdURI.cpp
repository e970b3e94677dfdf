#include "transport/vynIdURI.h"

#include <algorithm>

#include "platform/SysUtils.h"
#include "transport/vynIdResourceStringsProtocols.h"

namespace {

bool IsAlpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}
bool IsHexAt(std::string_view s, std::size_t i, std::size_t aCount) {
  if (i + aCount > s.size()) return false;
  for (std::size_t k = 0; k < aCount; ++k)
    if (HexValue(s[i + k]) < 0) return false;
  return true;
}

// Length of the scheme that starts the text and is followed by ":", or 0. A
// scheme (letter, then letters, digits, "+", "-", ".") must come before any
// "/", "?" or "#": "/login?next=http://x/" has none.
std::size_t SchemeLength(std::string_view s) {
  if (s.empty() || !IsAlpha(s[0])) return 0;
  std::size_t i = 1;
  while (i < s.size() && (IsAlpha(s[i]) || IsDigit(s[i]) || s[i] == '+' || s[i] == '-' || s[i] == '.')) ++i;
  return i < s.size() && s[i] == ':' ? i : 0;
}

// Position of the "://" that ends the scheme of an absolute URL, or npos.
std::size_t AbsoluteSeparator(std::string_view s) {
  const std::size_t n = SchemeLength(s);
  if (n == 0 || s.compare(n, 3, "://") != 0) return std::string_view::npos;
  return n;
}

// Splits off "?query" and "#fragment": whichever comes first ends the path,
// and a "?" inside the fragment belongs to the fragment.
void SplitQueryAndFragment(std::string& s, std::string& aParams, std::string& aBookmark) {
  std::size_t p = 0;
  while (p < s.size() && s[p] != '?' && s[p] != '#') ++p;
  if (p == s.size()) return;
  std::string tail = s.substr(p + 1);
  const bool query = s[p] == '?';
  s.erase(p);
  if (!query) {
    aBookmark = std::move(tail);
    return;
  }
  const auto hash = tail.find('#');
  if (hash != std::string::npos) {
    aBookmark = tail.substr(hash + 1);
    tail.erase(hash);
  }
  aParams = std::move(tail);
}

// Length of the UTF-8 sequence that starts with aLead (1 for a stray byte).
std::size_t UTF8Length(unsigned char aLead) {
  if ((aLead & 0xE0) == 0xC0) return 2;
  if ((aLead & 0xF0) == 0xE0) return 3;
  if ((aLead & 0xF8) == 0xF0) return 4;
  return 1;
}

void AppendPercent(std::string& aOut, unsigned char c) {
  static const char kHex[] = "0123456789ABCDEF";
  aOut += '%';
  aOut += kHex[c >> 4];
  aOut += kHex[c & 15];
}

std::string Encode(std::string_view aSrc, std::string_view aUnsafe, const TIdTextEncoding& aEncoding) {
  std::string out;
  out.reserve(aSrc.size());
  for (std::size_t i = 0; i < aSrc.size(); ++i) {
    const auto c = static_cast<unsigned char>(aSrc[i]);
    if (c == '%' && IsHexAt(aSrc, i + 1, 2)) {  // already encoded
      out.append(aSrc.substr(i, 3));
      i += 2;
    } else if (c > 32 && c < 127 && aUnsafe.find(static_cast<char>(c)) == std::string_view::npos) {
      out += static_cast<char>(c);
    } else if (c < 128 || !aEncoding) {
      // Blanks, controls (DEL included), and without an encoding the UTF-8
      // bytes of the text as they stand.
      AppendPercent(out, c);
    } else {
      const std::size_t len = std::min(UTF8Length(c), aSrc.size() - i);
      for (std::uint8_t b : aEncoding->GetBytes(aSrc.substr(i, len))) AppendPercent(out, b);
      i += len - 1;
    }
  }
  return out;
}

constexpr std::string_view kParamsUnsafe = "*<>#%{}|\\^[]\"`";
constexpr std::string_view kPathUnsafe = "*<>#%{}|\\^[]\"`+";

}  // namespace

TIdURI::TIdURI(std::string_view AURI) {
  if (!AURI.empty()) SetURI(AURI);
}

std::string TIdURI::NormalizePath(std::string_view APath) {
  std::string s(APath);
  std::size_t i = 0;
  if (const std::size_t n = SchemeLength(s); n > 0) {
    i = n + 1;
    if (i + 1 < s.size() && (s[i] == '/' || s[i] == '\\') && (s[i + 1] == '/' || s[i + 1] == '\\')) i += 2;
  }
  for (; i < s.size() && s[i] != '?' && s[i] != '#'; ++i)
    if (s[i] == '\\') s[i] = '/';
  return s;
}

void TIdURI::SetURI(std::string_view AValue) {
  FURI.assign(AValue);
  std::string s = NormalizePath(AValue);
  Protocol.clear();
  Username.clear();
  Password.clear();
  Host.clear();
  Port.clear();
  Path.clear();
  Document.clear();
  Params.clear();
  Bookmark.clear();
  IPVersion = TIdIPVersion::Id_IPv4;

  const std::size_t sep = AbsoluteSeparator(s);
  if (sep == std::string::npos) {
    SplitQueryAndFragment(s, Params, Bookmark);
    const auto slash = s.rfind('/');
    if (slash == std::string::npos) {
      Document = s;
    } else {
      Path = s.substr(0, slash + 1);
      Document = s.substr(slash + 1);
    }
    return;
  }

  Protocol = s.substr(0, sep);
  s.erase(0, sep + 3);
  SplitQueryAndFragment(s, Params, Bookmark);
  const auto slash = s.find('/');
  std::string authority = s.substr(0, slash);
  const std::string rest = slash == std::string::npos ? std::string() : s.substr(slash + 1);

  const auto at = authority.rfind('@');
  if (at != std::string::npos) {
    const std::string userInfo = authority.substr(0, at);
    const auto colon = userInfo.find(':');
    Username = userInfo.substr(0, colon);
    if (colon != std::string::npos) Password = userInfo.substr(colon + 1);
    if (Username.empty()) Password.clear();
    authority.erase(0, at + 1);
  }

  const auto open = authority.find('[');
  const auto close = authority.find(']');
  if (open != std::string::npos && close != std::string::npos && open < close) {
    Host = authority.substr(open + 1, close - open - 1);
    IPVersion = TIdIPVersion::Id_IPv6;
    const auto colon = authority.find(':', close);
    if (colon != std::string::npos) Port = authority.substr(colon + 1);
  } else {
    const auto colon = authority.find(':');
    Host = authority.substr(0, colon);
    if (colon != std::string::npos) Port = authority.substr(colon + 1);
  }

  const auto last = rest.rfind('/');
  if (last == std::string::npos) {
    Path = "/";
    Document = rest;
  } else {
    Path = "/" + rest.substr(0, last + 1);
    Document = rest.substr(last + 1);
  }
}

std::string TIdURI::GetPathAndParams() const {
  std::string out = Path + Document;
  if (!Params.empty()) out += "?" + Params;
  return out;
}

std::string TIdURI::GetFullURI(TIdURIOptionalFields AOptionalFields) const {
  if (Protocol.empty()) throw EIdURIException(RSURIProtocolFieldEmpty);
  if (Host.empty()) throw EIdURIException(RSURIHostFieldEmpty);
  std::string out = Protocol + "://";
  if ((AOptionalFields & static_cast<std::uint8_t>(TIdURIOptionalField::ofAuthInfo)) && !Username.empty()) {
    out += Username;
    if (!Password.empty()) out += ":" + Password;
    out += "@";
  }
  out += IPVersion == TIdIPVersion::Id_IPv6 ? "[" + Host + "]" : Host;
  if (!Port.empty()) {
    const bool isDefault = (SameText(Protocol, "http") && Port == "80") ||
                           (SameText(Protocol, "https") && Port == "443") ||
                           (SameText(Protocol, "ftp") && Port == "21");
    if (!isDefault) out += ":" + Port;
  }
  out += GetPathAndParams();
  if ((AOptionalFields & static_cast<std::uint8_t>(TIdURIOptionalField::ofBookmark)) && !Bookmark.empty())
    out += "#" + Bookmark;
  return out;
}

std::string TIdURI::URI() const {
  FURI = GetFullURI();
  return GetFullURI(0);
}

std::string TIdURI::PathEncode(std::string_view ASrc, const TIdTextEncoding& AByteEncoding) {
  return Encode(ASrc, kPathUnsafe, AByteEncoding);
}

std::string TIdURI::ParamsEncode(std::string_view ASrc, const TIdTextEncoding& AByteEncoding) {
  return Encode(ASrc, kParamsUnsafe, AByteEncoding);
}

std::string TIdURI::URLEncode(std::string_view ASrc, const TIdTextEncoding& AByteEncoding) {
  TIdURI uri(ASrc);
  uri.Path = PathEncode(uri.Path, AByteEncoding);
  uri.Document = PathEncode(uri.Document, AByteEncoding);
  uri.Params = ParamsEncode(uri.Params, AByteEncoding);
  return uri.URI();
}

std::string TIdURI::URLDecode(std::string_view ASrc, const TIdTextEncoding& AByteEncoding) {
  // Characters of the text and %u escapes go to bytes through the encoding,
  // whole: a character is never cut to its low byte.
  auto appendChars = [&AByteEncoding](std::string& aBytes, std::string_view aChars) {
    if (!AByteEncoding) {
      aBytes += aChars;
      return;
    }
    const TIdBytes b = AByteEncoding->GetBytes(aChars);
    aBytes.append(b.begin(), b.end());
  };
  std::string bytes;
  bytes.reserve(ASrc.size());
  const std::size_t n = ASrc.size();
  std::size_t i = 0;
  while (i < n) {
    const char c = ASrc[i];
    if (c != '%') {
      const std::size_t len = std::min(UTF8Length(static_cast<unsigned char>(c)), n - i);
      appendChars(bytes, ASrc.substr(i, len));
      i += len;
      continue;
    }
    if (IsHexAt(ASrc, i + 1, 2)) {
      bytes += static_cast<char>(HexValue(ASrc[i + 1]) * 16 + HexValue(ASrc[i + 2]));
      i += 3;
      continue;
    }
    if (i + 1 < n && (ASrc[i + 1] == 'u' || ASrc[i + 1] == 'U') && IsHexAt(ASrc, i + 2, 4)) {
      std::uint32_t unit = 0;
      for (std::size_t k = 0; k < 4; ++k) unit = unit * 16 + static_cast<std::uint32_t>(HexValue(ASrc[i + 2 + k]));
      i += 6;
      if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < n && ASrc[i] == '%' &&
          (ASrc[i + 1] == 'u' || ASrc[i + 1] == 'U') && IsHexAt(ASrc, i + 2, 4)) {
        std::uint32_t low = 0;
        for (std::size_t k = 0; k < 4; ++k) low = low * 16 + static_cast<std::uint32_t>(HexValue(ASrc[i + 2 + k]));
        if (low >= 0xDC00 && low <= 0xDFFF) {
          std::string ch;
          detail::AppendUTF8(ch, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
          appendChars(bytes, ch);
          i += 6;
          continue;
        }
      }
      std::string ch;
      if (unit >= 0xD800 && unit <= 0xDFFF)
        ch = detail::ReplacementChar;  // a lone surrogate half is no character
      else
        detail::AppendUTF8(ch, unit);
      appendChars(bytes, ch);
      continue;
    }
    // A "%" that starts no valid sequence is kept as written.
    bytes += '%';
    ++i;
  }
  if (AByteEncoding) return AByteEncoding->GetString(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
  return detail::ValidUTF8(bytes);
}
