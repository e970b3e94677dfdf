#include "platform/SysUtils.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

namespace detail {

std::string FormatArg(const std::string& s) { return s; }
std::string FormatArg(std::string_view s) { return std::string(s); }
std::string FormatArg(const char* s) { return s ? std::string(s) : std::string(); }
std::string FormatArg(char c) { return std::string(1, c); }
std::string FormatArg(double v) { return FloatToStr(v); }

std::string FormatImpl(std::string_view aFormat, const std::string* aArgs, std::size_t aCount) {
  std::string out;
  out.reserve(aFormat.size() + 32);
  std::size_t next = 0;
  for (std::size_t i = 0; i < aFormat.size(); ++i) {
    const char c = aFormat[i];
    if (c == '%' && i + 1 < aFormat.size()) {
      const char k = aFormat[i + 1];
      if (k == '%') {
        out += '%';
        ++i;
        continue;
      }
      if (k == 's' || k == 'd') {
        if (next < aCount) out += aArgs[next++];
        ++i;
        continue;
      }
    }
    out += c;
  }
  return out;
}

}  // namespace detail

std::string SysErrorMessage(int aErrorCode) {
  char buf[256];
  buf[0] = '\0';
  // GNU strerror_r may return a static string instead of filling buf.
  const char* text = strerror_r(aErrorCode, buf, sizeof buf);
  return text ? std::string(text) : std::string(buf);
}

namespace {

template <class T>
bool ParseInteger(std::string_view s, T& aValue) {
  if (s.empty()) return false;
  bool negative = false;
  std::size_t i = 0;
  if (s[0] == '-' || s[0] == '+') {
    negative = s[0] == '-';
    i = 1;
  }
  int base = 10;
  if (i < s.size() && s[i] == '$') {
    base = 16;
    ++i;
  } else if (i + 1 < s.size() && s[i] == '0' && (s[i + 1] == 'x' || s[i + 1] == 'X')) {
    base = 16;
    i += 2;
  }
  if (i >= s.size()) return false;
  using U = std::make_unsigned_t<T>;
  U magnitude = 0;
  auto [end, ec] = std::from_chars(s.data() + i, s.data() + s.size(), magnitude, base);
  if (ec != std::errc() || end != s.data() + s.size()) return false;
  const U limit = negative ? U(std::numeric_limits<T>::max()) + 1 : U(std::numeric_limits<T>::max());
  if (magnitude > limit) {
    // Hexadecimal text may spell the two's complement form ($FFFFFFFF = -1).
    if (base != 16 || negative) return false;
    aValue = static_cast<T>(magnitude);
    return true;
  }
  aValue = negative ? static_cast<T>(U(0) - magnitude) : static_cast<T>(magnitude);
  return true;
}

constexpr const char* kInvalidInteger = "'%s' is not a valid integer value";
constexpr const char* kInvalidFloat = "'%s' is not a valid floating point value";

}  // namespace

bool TryStrToInt(std::string_view aText, std::int32_t& aValue) { return ParseInteger(Trim(aText), aValue); }
bool TryStrToInt64(std::string_view aText, std::int64_t& aValue) { return ParseInteger(Trim(aText), aValue); }

std::int32_t StrToInt(std::string_view aText) {
  std::int32_t v = 0;
  if (!TryStrToInt(aText, v)) throw EConvertError(Format(kInvalidInteger, aText));
  return v;
}
std::int64_t StrToInt64(std::string_view aText) {
  std::int64_t v = 0;
  if (!TryStrToInt64(aText, v)) throw EConvertError(Format(kInvalidInteger, aText));
  return v;
}
std::int32_t StrToIntDef(std::string_view aText, std::int32_t aDefault) {
  std::int32_t v = 0;
  return TryStrToInt(aText, v) ? v : aDefault;
}
std::int64_t StrToInt64Def(std::string_view aText, std::int64_t aDefault) {
  std::int64_t v = 0;
  return TryStrToInt64(aText, v) ? v : aDefault;
}

bool TryStrToFloat(std::string_view aText, double& aValue) {
  const std::string t = Trim(aText);
  if (t.empty()) return false;
  const char* first = t.data();
  const char* last = t.data() + t.size();
  if (*first == '+') ++first;  // from_chars takes no plus sign
  // One sign at most: a "+" taken off above may not be followed by another.
  if (first == last || *first == '+' || (*first == '-' && first != t.data())) return false;
  auto [end, ec] = std::from_chars(first, last, aValue, std::chars_format::general);
  return ec == std::errc() && end == last;
}

double StrToFloat(std::string_view aText) {
  double v = 0;
  if (!TryStrToFloat(aText, v)) throw EConvertError(Format(kInvalidFloat, aText));
  return v;
}

std::string FloatToStr(double aValue) {
  if (std::isnan(aValue)) return "NAN";
  if (std::isinf(aValue)) return aValue < 0 ? "-INF" : "INF";
  if (aValue == 0) return "0";
  // 15 significant digits in scientific form: d.dddddddddddddde±x
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, aValue, std::chars_format::scientific, 14);
  std::string_view sci(buf, res.ptr - buf);
  const bool negative = sci[0] == '-';
  if (negative) sci.remove_prefix(1);
  const std::size_t e = sci.find('e');
  std::string digits;
  digits += sci[0];
  digits.append(sci.substr(2, e - 2));  // skip the point
  int exponent = 0;
  std::from_chars(sci.data() + e + 1 + (sci[e + 1] == '+'), sci.data() + sci.size(), exponent);
  while (digits.size() > 1 && digits.back() == '0') digits.pop_back();

  std::string out;
  if (negative) out += '-';
  // exponent is the power of ten of the first digit
  if (exponent >= -5 && exponent < 15) {
    if (exponent < 0) {
      out += "0.";
      out.append(static_cast<std::size_t>(-exponent - 1), '0');
      out += digits;
    } else {
      const std::size_t intDigits = static_cast<std::size_t>(exponent) + 1;
      if (digits.size() <= intDigits) {
        out += digits;
        out.append(intDigits - digits.size(), '0');
      } else {
        out.append(digits, 0, intDigits);
        out += '.';
        out.append(digits, intDigits, std::string::npos);
      }
    }
  } else {
    out += digits[0];
    if (digits.size() > 1) {
      out += '.';
      out.append(digits, 1, std::string::npos);
    }
    out += 'E';
    out += std::to_string(exponent);
  }
  return out;
}

namespace {
inline char AsciiUpper(char c) { return (c >= 'a' && c <= 'z') ? char(c - 32) : c; }
inline char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? char(c + 32) : c; }
inline bool IsTrimmed(char c) { return static_cast<unsigned char>(c) <= ' '; }
}  // namespace

std::string UpperCase(std::string_view aText) {
  std::string s(aText);
  for (char& c : s) c = AsciiUpper(c);
  return s;
}
std::string LowerCase(std::string_view aText) {
  std::string s(aText);
  for (char& c : s) c = AsciiLower(c);
  return s;
}
bool SameText(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  return true;
}
std::string_view TrimLeftView(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size() && IsTrimmed(s[i])) ++i;
  return s.substr(i);
}
std::string_view TrimRightView(std::string_view s) {
  std::size_t n = s.size();
  while (n > 0 && IsTrimmed(s[n - 1])) --n;
  return s.substr(0, n);
}
std::string_view TrimView(std::string_view s) { return TrimLeftView(TrimRightView(s)); }
std::string TrimLeft(std::string_view s) { return std::string(TrimLeftView(s)); }
std::string TrimRight(std::string_view s) { return std::string(TrimRightView(s)); }
std::string Trim(std::string_view s) { return std::string(TrimView(s)); }
bool StartsText(std::string_view aSubText, std::string_view aText) {
  return aText.size() >= aSubText.size() && SameText(aText.substr(0, aSubText.size()), aSubText);
}
bool EndsText(std::string_view aSubText, std::string_view aText) {
  return aText.size() >= aSubText.size() && SameText(aText.substr(aText.size() - aSubText.size()), aSubText);
}
