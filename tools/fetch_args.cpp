// The command line of bin/fetch.
#include <algorithm>
#include <cctype>
#include <charconv>
#include <system_error>

#include "platform/SysUtils.h"
#include "tools/fetch.h"

namespace fetch {

const char* const kUsage =
    "usage: fetch [-X METHOD] [-H 'Name: value']... [-d BODY] [--cacert FILE | --insecure]\n"
    "             [--proxy URL] [-L] [-i] [--max-time SECONDS] [--connect-timeout SECONDS] URL\n"
    "  -X METHOD       the request method (default GET, or POST with -d)\n"
    "  -H 'Name: value'  an extra request header; may be repeated\n"
    "  -d BODY         send BODY as it stands (several -d are joined with &);\n"
    "                  Content-Type defaults to application/x-www-form-urlencoded\n"
    "  --cacert FILE   trust the certificates in FILE instead of the system's\n"
    "  --insecure      do not check the server's certificate\n"
    "  --proxy URL     go through the HTTP proxy at URL (http://[user:password@]host:port)\n"
    "  -L              follow redirects (to http and https only)\n"
    "  -i              print the status line and headers before the body\n"
    "  --max-time SECONDS, -m SECONDS  give up when the whole transfer takes longer\n"
    "  --connect-timeout SECONDS  give up on a connection not made within this time\n"
    "The body goes to standard output as it arrives. Any failure, an HTTP status of\n"
    "400 or more included, prints a message to standard error (with the start of an\n"
    "error body) and exits with 1.\n";

namespace {

bool IsTokenChar(unsigned char c) {
  return std::isalnum(c) || std::string_view("!#$%&'*+-.^_`|~").find(static_cast<char>(c)) != std::string_view::npos;
}

bool IsToken(std::string_view s) {
  return !s.empty() &&
         std::all_of(s.begin(), s.end(), [](char c) { return IsTokenChar(static_cast<unsigned char>(c)); });
}

bool HasLineBreakOrNul(std::string_view s) {
  return s.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

bool StartsWithNoCase(std::string_view s, std::string_view prefix) {
  if (s.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(s[i])) != prefix[i]) return false;
  return true;
}

[[noreturn]] void Fail(const std::string& aMessage) { throw Exception(aMessage); }

// A time in seconds, fractions allowed ("0.5"); 0 leaves the limit off. The
// upper bound keeps the milliseconds within the stack's 32-bit time-outs.
double Seconds(const std::string& aName, const std::string& aText) {
  constexpr double kMaxSeconds = 2000000;
  double v = -1;
  const char* end = aText.data() + aText.size();
  const auto [at, ec] = std::from_chars(aText.data(), end, v, std::chars_format::fixed);
  if (aText.empty() || ec != std::errc() || at != end || !(v >= 0) || v > kMaxSeconds)
    Fail(aName + ": '" + aText + "' is not a number of seconds (0 to 2000000)");
  return v;
}

void CheckHeader(const std::string& aLine) {
  const std::size_t colon = aLine.find(':');
  if (colon == std::string::npos) Fail("-H needs 'Name: value', got '" + aLine + "'");
  if (!IsToken(std::string_view(aLine).substr(0, colon)))
    Fail("-H: '" + aLine.substr(0, colon) + "' is not a header name");
  if (HasLineBreakOrNul(aLine)) Fail("-H: a header value may not hold a line break or NUL");
}

}  // namespace

std::string Options::EffectiveMethod() const {
  if (!Method.empty()) return Method;
  return HasBody ? "POST" : "GET";
}

Options ParseArgs(const std::vector<std::string>& aArgs) {
  Options o;
  bool optionsEnded = false;
  for (std::size_t i = 0; i < aArgs.size(); ++i) {
    const std::string& a = aArgs[i];
    // The value of an option: attached (-XPOST, --proxy=URL) or the next argument.
    // A long option's "=" attaches a value even when it is empty.
    auto value = [&](const std::string& aName, std::size_t aAttachedAt) -> std::string {
      if (aAttachedAt < a.size() || (aAttachedAt > 0 && a[aAttachedAt - 1] == '=')) return a.substr(aAttachedAt);
      if (i + 1 >= aArgs.size()) Fail(aName + " needs a value");
      return aArgs[++i];
    };
    auto isLong = [&](const char* aName, std::size_t& aValueAt) {
      const std::string_view name(aName);
      if (a.compare(0, name.size(), name) != 0) return false;
      if (a.size() == name.size()) return aValueAt = a.size(), true;
      if (a[name.size()] == '=') return aValueAt = name.size() + 1, true;
      return false;
    };
    std::size_t at = 0;
    if (optionsEnded || a.empty() || a[0] != '-' || a == "-") {
      if (!o.URL.empty()) Fail("only one URL may be given; '" + a + "' is a second one");
      o.URL = a;
    } else if (a == "--") {
      optionsEnded = true;
    } else if (a.compare(0, 2, "-X") == 0) {
      o.Method = value("-X", 2);
      if (!IsToken(o.Method)) Fail("-X: '" + o.Method + "' is not a method name");
    } else if (a.compare(0, 2, "-H") == 0) {
      std::string line = value("-H", 2);
      CheckHeader(line);
      o.Headers.push_back(std::move(line));
    } else if (a.compare(0, 2, "-d") == 0) {
      std::string body = value("-d", 2);
      o.Body = o.HasBody ? o.Body + "&" + body : body;
      o.HasBody = true;
    } else if (isLong("--cacert", at)) {
      o.CACert = value("--cacert", at);
      if (o.CACert.empty()) Fail("--cacert needs a file name");
    } else if (a == "--insecure" || a == "-k") {
      o.Insecure = true;
    } else if (isLong("--proxy", at)) {
      o.Proxy = value("--proxy", at);
    } else if (isLong("--max-time", at) || a == "-m") {
      o.MaxTime = Seconds("--max-time", value("--max-time", a == "-m" ? a.size() : at));
    } else if (isLong("--connect-timeout", at)) {
      o.ConnectTimeout = Seconds("--connect-timeout", value("--connect-timeout", at));
    } else if (a == "-L" || a == "--location") {
      o.FollowRedirects = true;
    } else if (a == "-i" || a == "--include") {
      o.IncludeHead = true;
    } else if (a == "-h" || a == "--help") {
      o.Help = true;
    } else {
      Fail("unknown option '" + a + "'");
    }
  }
  if (o.Help) return o;
  if (!o.CACert.empty() && o.Insecure) Fail("--cacert and --insecure exclude each other");
  if (o.URL.empty()) Fail("no URL given");
  if (!StartsWithNoCase(o.URL, "http://") && !StartsWithNoCase(o.URL, "https://"))
    Fail("the URL must start with http:// or https://, got '" + o.URL + "'");
  if (HasLineBreakOrNul(o.URL)) Fail("the URL may not hold a line break or NUL");
  if (!o.Proxy.empty()) {
    if (o.Proxy.find("://") == std::string::npos) o.Proxy = "http://" + o.Proxy;
    if (!StartsWithNoCase(o.Proxy, "http://"))
      Fail("--proxy: only http:// proxies are supported, got '" + o.Proxy + "'");
  }
  return o;
}

}  // namespace fetch
