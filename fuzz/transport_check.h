// What must hold for any bytes given to the header list, the HTTP and cookie
// date readers, the URI parser and the Set-Cookie parser; checked the same
// way by the fuzz targets (fuzz/fuzz_header_list.cpp, fuzz_http_date.cpp,
// fuzz_uri.cpp, fuzz_set_cookie.cpp) and by the seed replay in the normal
// test build (tests/transport/test_fuzz_replay_transport.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/check_common.h"
#include "platform/Classes.h"
#include "platform/SysUtils.h"
#include "transport/vynIdCookie.h"
#include "transport/vynIdHeaderList.h"
#include "transport/vynIdInternetDate.h"
#include "transport/vynIdURI.h"

namespace transport_check {

using fuzz_check::Faults;

namespace internal {

using fuzz_check::Excerpt;

inline bool HasLineBreak(std::string_view s) {
  return s.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

inline bool ValidUTF8(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size()) {
    const auto c = static_cast<unsigned char>(s[i]);
    std::size_t len = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
    if (len == 0 || i + len > s.size()) return false;
    std::uint32_t cp = len == 1 ? c : len == 2 ? (c & 0x1F) : len == 3 ? (c & 0x0F) : (c & 0x07);
    for (std::size_t k = 1; k < len; ++k) {
      const auto cc = static_cast<unsigned char>(s[i + k]);
      if ((cc & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (cc & 0x3F);
    }
    static const std::uint32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += len;
  }
  return true;
}

}  // namespace internal

// The header block: any lines. Setting a value (whatever it holds) must not
// create a header of another name, an empty line, or a line with a break in
// it; a parameter set with a plain value reads back as set. A NUL is no line
// break: bytes of a value are kept as they are.
inline Faults CheckHeaderList(std::string_view aInput) {
  Faults faults;
  TIdHeaderList h(TIdHeaderQuotingType::QuoteHTTP);
  h.SetText(aInput);
  for (int i = 0; i < h.Count(); ++i) {
    int line = i;
    (void)h.GetValueFromLine(line);
    (void)h.GetParam(h.Names(i), "charset");
  }
  // The input also serves as a value to store.
  const std::string value(aInput.substr(0, 512));
  h.SetValue("X-Fuzz", value);
  if (h.Values("X-Fuzz").find_first_of("\r\n") != std::string::npos)
    faults.push_back("a stored value reads back with a line break: " + internal::Excerpt(value));
  TIdHeaderList fresh(TIdHeaderQuotingType::QuoteHTTP);
  fresh.AddValue("X-Fuzz", value);
  fresh.SetValue("X-Other", value);
  for (int i = 0; i < fresh.Count(); ++i) {
    const std::string& l = fresh[i];
    if (l.empty()) faults.push_back("a value produced an empty line: " + internal::Excerpt(value));
    if (l.find_first_of("\r\n") != std::string::npos)
      faults.push_back("a header line holds a line break: " + internal::Excerpt(l));
    const bool continuation = !l.empty() && (l[0] == ' ' || l[0] == '\t');
    if (!continuation && l.rfind("X-Fuzz:", 0) != 0 && l.rfind("X-Other:", 0) != 0)
      faults.push_back("a value produced a header of its own: " + internal::Excerpt(l));
  }

  const std::string plain = Trim(value.substr(0, value.find_first_of(std::string_view("\r\n\0", 3))));
  TIdHeaderList p(TIdHeaderQuotingType::QuoteHTTP);
  p.SetValue("Content-Type", "text/plain; a=1");
  p.SetParam("Content-Type", "fuzz", plain);
  if (p.GetParam("Content-Type", "fuzz") != plain)
    faults.push_back("parameter " + internal::Excerpt(plain) + " read back as " +
                     internal::Excerpt(p.GetParam("Content-Type", "fuzz")));
  if (p.GetParam("Content-Type", "a") != "1") faults.push_back("setting a parameter changed another one");
  return faults;
}

// Dates: what reads as a date is written in a form that reads back to the
// same moment, by both readers.
inline Faults CheckDates(std::string_view aInput) {
  Faults faults;
  TDateTime utc = 0;
  if (TryInternetDateToUTC(aInput, utc)) {
    const std::string text = UTCToInternetDate(utc);
    TDateTime again = 0;
    if (!TryInternetDateToUTC(text, again) || UTCToInternetDate(again) != text)
      faults.push_back("HTTP date " + internal::Excerpt(aInput) + " wrote " + text + " which does not read back");
  }
  const TDateTime cookie = CookieDateToUTC(aInput);
  if (cookie != 0) {
    const std::string text = UTCToInternetDate(cookie);
    if (UTCToInternetDate(CookieDateToUTC(text)) != text)
      faults.push_back("cookie date " + internal::Excerpt(aInput) + " wrote " + text + " which does not read back");
  }
  return faults;
}

// URIs: an absolute URL rebuilds to a text that parses to the same rebuild;
// encoded text is plain ASCII and decodes back; decoding gives UTF-8.
inline Faults CheckURI(std::string_view aInput) {
  Faults faults;
  const TIdURI u(aInput);
  if (!u.Protocol.empty()) {
    if (u.Path.empty() || u.Path.front() != '/' || u.Path.back() != '/')
      faults.push_back("absolute URL with path " + internal::Excerpt(u.Path) + ": " + internal::Excerpt(aInput));
    if (!u.Host.empty()) {
      const std::string once = u.GetFullURI();
      const std::string twice = TIdURI(once).GetFullURI();
      if (once != twice)
        faults.push_back("rebuild " + internal::Excerpt(once) + " rebuilds as " + internal::Excerpt(twice));
    }
  }
  const std::string decoded = TIdURI::URLDecode(aInput);
  if (!internal::ValidUTF8(decoded)) faults.push_back("decoded text is not UTF-8: " + internal::Excerpt(decoded));
  for (const std::string& enc : {TIdURI::PathEncode(aInput), TIdURI::ParamsEncode(aInput)}) {
    for (char c : enc)
      if (static_cast<unsigned char>(c) <= 32 || static_cast<unsigned char>(c) >= 127)
        faults.push_back("encoded text holds " + internal::Excerpt(std::string(1, c)));
  }
  if (aInput.find('%') == std::string_view::npos && internal::ValidUTF8(aInput)) {
    if (TIdURI::URLDecode(TIdURI::PathEncode(aInput)) != aInput)
      faults.push_back("path encoding does not decode back: " + internal::Excerpt(aInput));
  }
  return faults;
}

// Set-Cookie: a stored cookie has a name, a path from "/", a domain that the
// host matches; its Set-Cookie form reads back to the same name and value;
// the Cookie header never carries a line break or a NUL.
inline Faults CheckSetCookie(std::string_view aInput) {
  Faults faults;
  const TIdURI uri("http://www.example.com/dir/page");
  TIdCookieManager jar;
  std::size_t start = 0;
  // Several Set-Cookie values, one per line.
  for (std::size_t i = 0; i <= aInput.size(); ++i) {
    if (i < aInput.size() && aInput[i] != '\n') continue;
    jar.AddServerCookie(aInput.substr(start, i - start), uri);
    start = i + 1;
  }
  auto& list = jar.CookieCollection().LockCookieList(TIdCookieAccess::caRead);
  std::vector<TIdCookie> copies;
  for (const TIdCookie* c : list) {
    copies.emplace_back();
    copies.back().Assign(*c);
  }
  jar.CookieCollection().UnlockCookieList(TIdCookieAccess::caRead);
  for (const TIdCookie& c : copies) {
    if (c.CookieName.empty()) faults.push_back("stored a cookie without a name");
    if (c.Path.empty() || c.Path[0] != '/') faults.push_back("stored a cookie path " + internal::Excerpt(c.Path));
    if (!CookieDomainMatches(uri.Host, c.Domain))
      faults.push_back("stored a foreign domain " + internal::Excerpt(c.Domain));
    TIdCookie back;
    if (!back.ParseServerCookie(c.ServerCookie(), &uri) || back.CookieName != c.CookieName || back.Value != c.Value)
      faults.push_back("Set-Cookie form " + internal::Excerpt(c.ServerCookie()) + " does not read back");
  }
  TIdHeaderList headers(TIdHeaderQuotingType::QuoteHTTP);
  jar.GenerateClientCookies(uri, true, headers);
  for (const std::string& l : headers)
    if (internal::HasLineBreak(l)) faults.push_back("Cookie header line with a break: " + internal::Excerpt(l));
  if (headers.Count() > 1) faults.push_back("more than one Cookie line");
  return faults;
}

}  // namespace transport_check
