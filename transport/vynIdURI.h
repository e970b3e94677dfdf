// URL texts: splitting into parts, rebuilding from them, and the percent
// encoders and decoder for URL components.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "transport/vynIdGlobal.h"
#include "transport/vynIdStack.h"
#include "transport/vynIdTextEncoding.h"

class EIdURIException : public EIdException {
public:
  using EIdException::EIdException;
};

enum class TIdURIOptionalField : std::uint8_t { ofAuthInfo = 1, ofBookmark = 2 };
// A set of TIdURIOptionalField values.
using TIdURIOptionalFields = std::uint8_t;
inline constexpr TIdURIOptionalFields kIdURIAllOptionalFields =
    static_cast<std::uint8_t>(TIdURIOptionalField::ofAuthInfo) |
    static_cast<std::uint8_t>(TIdURIOptionalField::ofBookmark);

class TIdURI {
public:
  explicit TIdURI(std::string_view AURI = {});

  // Reading rebuilds the URL without user information and fragment (and
  // raises EIdURIException without protocol or host); writing parses.
  std::string URI() const;
  void SetURI(std::string_view AValue);
  std::string GetFullURI(TIdURIOptionalFields AOptionalFields = kIdURIAllOptionalFields) const;
  // Path + Document, then "?" and Params when there are any.
  std::string GetPathAndParams() const;

  // Backslashes before the query become slashes.
  static std::string NormalizePath(std::string_view APath);
  // Percent-decoding; the bytes are read with AByteEncoding (UTF-8 when
  // none is given).
  static std::string URLDecode(std::string_view ASrc, const TIdTextEncoding& AByteEncoding = {});
  // The whole URL with its path, document and query encoded.
  static std::string URLEncode(std::string_view ASrc, const TIdTextEncoding& AByteEncoding = {});
  // Characters outside the safe set become %XX of their bytes in
  // AByteEncoding (UTF-8 when none is given); an existing %XX stays.
  static std::string ParamsEncode(std::string_view ASrc, const TIdTextEncoding& AByteEncoding = {});
  static std::string PathEncode(std::string_view ASrc, const TIdTextEncoding& AByteEncoding = {});

  std::string Protocol;
  std::string Username;
  std::string Password;
  std::string Host;
  // Text, empty when the URL has none.
  std::string Port;
  std::string Path;
  std::string Document;
  // The query without "?".
  std::string Params;
  // The fragment without "#".
  std::string Bookmark;
  TIdIPVersion IPVersion = TIdIPVersion::Id_IPv4;

private:
  // The last full text set or built.
  mutable std::string FURI;
};
