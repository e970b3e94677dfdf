// Exceptions and small text helpers shared by every layer.
#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <string_view>
#include <type_traits>

// The general error class: every error of the library carries a message text.
class Exception : public std::exception {
public:
  explicit Exception(std::string aMessage) : FMessage(std::move(aMessage)) {}
  const std::string& Message() const noexcept { return FMessage; }
  void SetMessage(std::string aMessage) { FMessage = std::move(aMessage); }
  const char* what() const noexcept override { return FMessage.c_str(); }

private:
  std::string FMessage;
};

// Raised for a bad conversion of text to a number, or of one class to another.
class EConvertError : public Exception {
public:
  using Exception::Exception;
};

// Raised by list and string-list accessors for an index out of range.
class EListError : public Exception {
public:
  using Exception::Exception;
};

// Raised by streams that cannot read or write the requested amount.
class EStreamError : public Exception {
public:
  using Exception::Exception;
};
class EReadError : public EStreamError {
public:
  using EStreamError::EStreamError;
};
class EWriteError : public EStreamError {
public:
  using EStreamError::EStreamError;
};
class EFCreateError : public EStreamError {
public:
  using EStreamError::EStreamError;
};
class EFOpenError : public EStreamError {
public:
  using EStreamError::EStreamError;
};

namespace detail {
std::string FormatArg(const std::string& s);
std::string FormatArg(std::string_view s);
std::string FormatArg(const char* s);
std::string FormatArg(char c);
std::string FormatArg(double v);
template <class T>
requires std::is_integral_v<T> std::string FormatArg(T v) { return std::to_string(v); }
std::string FormatImpl(std::string_view aFormat, const std::string* aArgs, std::size_t aCount);
}  // namespace detail

// Fills the "%s" and "%d" slots of a message template in order ("%%" is a
// percent sign). Enough for the fixed message texts of the system; not printf.
template <class... Args>
std::string Format(std::string_view aFormat, const Args&... aArgs) {
  if constexpr (sizeof...(Args) == 0) {
    return detail::FormatImpl(aFormat, nullptr, 0);
  } else {
    const std::string args[] = {detail::FormatArg(aArgs)...};
    return detail::FormatImpl(aFormat, args, sizeof...(Args));
  }
}

// Text of the error number from the C library (strerror_r), thread safe.
std::string SysErrorMessage(int aErrorCode);

// Integer parsing in the strict form of the platform: optional sign, decimal
// digits, or "$"/"0x" hexadecimal; anything else fails.
bool TryStrToInt(std::string_view aText, std::int32_t& aValue);
bool TryStrToInt64(std::string_view aText, std::int64_t& aValue);
// As above, raising EConvertError "'%s' is not a valid integer value".
std::int32_t StrToInt(std::string_view aText);
std::int64_t StrToInt64(std::string_view aText);
std::int32_t StrToIntDef(std::string_view aText, std::int32_t aDefault);
std::int64_t StrToInt64Def(std::string_view aText, std::int64_t aDefault);
// Floating point text with "." as the decimal separator, whatever the locale.
bool TryStrToFloat(std::string_view aText, double& aValue);
double StrToFloat(std::string_view aText);

// The general 15-significant-digit text form of a double: fixed notation for
// magnitudes from 0.00001 with at most 15 digits before the point, otherwise
// scientific ("1.5E20", "1E-6"); no trailing zeros; "." always.
std::string FloatToStr(double aValue);

// ASCII-only case helpers (protocol text; never locale dependent).
std::string UpperCase(std::string_view aText);
std::string LowerCase(std::string_view aText);
bool SameText(std::string_view a, std::string_view b);
std::string Trim(std::string_view aText);
std::string TrimLeft(std::string_view aText);
std::string TrimRight(std::string_view aText);
// The same without a copy: views into aText.
std::string_view TrimView(std::string_view aText);
std::string_view TrimLeftView(std::string_view aText);
std::string_view TrimRightView(std::string_view aText);
bool StartsText(std::string_view aSubText, std::string_view aText);
bool EndsText(std::string_view aSubText, std::string_view aText);
