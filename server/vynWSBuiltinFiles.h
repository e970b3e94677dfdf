// The server component's own files (client script, fall-back scripts, test
// page): looked up by name, answered from the request line alone, with the
// connection's address, port and TLS state filled into their texts.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace detail {

// The names under which the built-in texts are registered.
inline constexpr std::string_view kBuiltinClientScript = "Corvane.js";
inline constexpr std::string_view kBuiltinFlashScript = "CorvaneFlash.js";
inline constexpr std::string_view kBuiltinEventSourceScript = "CorvaneEventSource.js";
inline constexpr std::string_view kBuiltinTestPage = "Corvane.html";

inline constexpr std::string_view kBuiltinJavascriptType = "text/javascript; charset=utf-8";
inline constexpr std::string_view kBuiltinHTMLType = "text/html";
inline constexpr std::string_view kBuiltinCSSType = "text/css";
inline constexpr std::string_view kBuiltinMovieType = "application/x-shockwave-flash";
inline constexpr std::string_view kBuiltinMovieResource = "VYN_WEBSOCKETMAIN_SWF";

// The texts of one name or of a comma-separated list of names (each looked
// up ignoring case, each text followed by CRLF when several are asked for).
// False, and aText untouched, when a name is not registered.
bool BuiltinFileText(std::string_view aNames, std::string& aText);

// Replaces "{%host%}", "{%port%}" and "{%ssl%}" in any letter case: the
// local address (IPv6 in square brackets), the local port, and "s" on a TLS
// connection or nothing.
std::string ReplaceBuiltinPlaceholders(std::string_view aText, std::string_view aHost, std::uint16_t aPort, bool aSSL);

// What decides which built-in files a server answers.
struct TBuiltinFileOptions {
  bool JavascriptFiles = true;
  bool HTMLFiles = false;
  bool FlashFallBack = false;
  bool EventSourceFallBack = false;
};

// The answer the request line gets from the built-in files.
struct TBuiltinFileAnswer {
  bool Answered = false;
  // 200 with Body; 404 for the movie, which this build does not embed.
  std::int32_t ResponseNo = 200;
  std::string ContentType;
  // Placeholders not yet replaced.
  std::string Body;
};

// The name between "GET " and " HTTP" after its last "/".
std::string BuiltinFileName(std::string_view aRequestLine);

// Applies the request line tests in order; the first that matches decides.
TBuiltinFileAnswer BuiltinFileAnswer(std::string_view aRequestLine, const TBuiltinFileOptions& aOptions);

// A complete HTTP/1.1 response that closes the connection, its texts'
// placeholders replaced.
std::string BuiltinFileResponse(const TBuiltinFileAnswer& aAnswer, std::string_view aHost, std::uint16_t aPort,
                                bool aSSL);

}  // namespace detail
