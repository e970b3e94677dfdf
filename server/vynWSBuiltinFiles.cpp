#include "server/vynWSBuiltinFiles.h"

#include <array>
#include <string>

#include "server/vynWSMatch.h"
#include "server/vynWSOptions.h"

namespace detail {

namespace {

// The client script: a thin wrapper over the browser's WebSocket that
// connects back to the server that delivered it.
constexpr std::string_view kClientScript =
    R"JS(/* Client of the server component: connects back to where it came from. */
var Corvane = (function () {
  "use strict";
  var base = "ws{%ssl%}://{%host%}:{%port%}";
  function Connection(path, protocols) {
    var self = this, socket = new WebSocket(base + (path || "/"), protocols);
    self.onopen = self.onmessage = self.onclose = self.onerror = null;
    socket.onopen = function (e) { if (self.onopen) self.onopen(e); };
    socket.onmessage = function (e) { if (self.onmessage) self.onmessage(e.data, e); };
    socket.onclose = function (e) { if (self.onclose) self.onclose(e.code, e.reason); };
    socket.onerror = function (e) { if (self.onerror) self.onerror(e); };
    self.send = function (data) { socket.send(data); };
    self.close = function (code, reason) { socket.close(code || 1000, reason || ""); };
    self.subscribe = function (channel) { socket.send("vyn:subscribe:" + channel); };
  }
  return { url: base, connect: function (path, protocols) { return new Connection(path, protocols); } };
})();
)JS";

// Fall-back for browsers that can only talk through a Flash socket: the
// movie is no longer served, so this only reports why nothing connects.
constexpr std::string_view kFlashScript =
    R"JS(/* Flash socket fall-back: not available from http{%ssl%}://{%host%}:{%port%}. */
var CorvaneFlash = { available: false, reason: "the Flash socket fall-back is not served by this server" };
)JS";

// Fall-back through server-sent events for clients without WebSocket.
constexpr std::string_view kEventSourceScript = R"JS(/* Server-sent events fall-back: messages arrive as events. */
var CorvaneEventSource = {
  url: "http{%ssl%}://{%host%}:{%port%}/",
  connect: function (onmessage) {
    var source = new EventSource(this.url);
    source.onmessage = function (e) { onmessage(e.data, e); };
    return source;
  }
};
)JS";

// A page that loads the client script and echoes what the server sends.
constexpr std::string_view kTestPage = R"HTML(<!DOCTYPE html>
<html>
<head>
<meta charset="utf-8">
<title>Server test page</title>
<script src="http{%ssl%}://{%host%}:{%port%}/Corvane.js"></script>
</head>
<body>
<h1>ws{%ssl%}://{%host%}:{%port%}</h1>
<input id="text" value="hello"> <button id="send">Send</button>
<pre id="log"></pre>
<script>
var log = document.getElementById("log");
function show(t) { log.textContent += t + "\n"; }
var c = Corvane.connect("/");
c.onopen = function () { show("open"); };
c.onmessage = function (t) { show("< " + t); };
c.onclose = function (code) { show("closed " + code); };
document.getElementById("send").onclick = function () {
  var t = document.getElementById("text").value; show("> " + t); c.send(t);
};
</script>
</body>
</html>
)HTML";

struct TBuiltinFile {
  std::string_view Name;
  std::string_view Resource;
  std::string_view Text;
};

constexpr std::array<TBuiltinFile, 4> kBuiltinFiles{{
    {kBuiltinClientScript, "VYN_JS_CORVANE", kClientScript},
    {kBuiltinFlashScript, "VYN_JS_CORVANEFLASH", kFlashScript},
    {kBuiltinEventSourceScript, "VYN_JS_CORVANEEVENTSOURCE", kEventSourceScript},
    {kBuiltinTestPage, "VYN_HTML_CORVANE", kTestPage},
}};

// The most names one list may hold (each file once, some room for the
// client script's own additions).
constexpr std::size_t kMaxBuiltinListNames = 2 * kBuiltinFiles.size();

const TBuiltinFile* FindBuiltinFile(std::string_view aName) {
  for (const TBuiltinFile& f : kBuiltinFiles)
    if (WildcardMatch(aName, f.Name)) return &f;  // no star: a whole-text comparison ignoring case
  return nullptr;
}

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

}  // namespace

bool BuiltinFileText(std::string_view aNames, std::string& aText) {
  if (aNames.find(',') == std::string_view::npos) {
    const TBuiltinFile* f = FindBuiltinFile(TrimBlanks(aNames));
    if (!f) return false;
    aText = f->Text;
    return true;
  }
  // Each file goes out once however often the list names it, and a list
  // longer than any useful one is no request for built-in files: a short
  // request must not buy a large answer.
  std::string joined;
  std::array<bool, kBuiltinFiles.size()> taken{};
  std::size_t pos = 0;
  for (std::size_t count = 1;; ++count) {
    if (count > kMaxBuiltinListNames) return false;
    const std::size_t comma = aNames.find(',', pos);
    const std::string_view name =
        TrimBlanks(aNames.substr(pos, comma == std::string_view::npos ? aNames.npos : comma - pos));
    const TBuiltinFile* f = FindBuiltinFile(name);
    if (!f) return false;
    bool& seen = taken[static_cast<std::size_t>(f - kBuiltinFiles.data())];
    if (!seen) {
      seen = true;
      joined.append(f->Text);
      joined.append("\r\n");
    }
    if (comma == std::string_view::npos) break;
    pos = comma + 1;
  }
  aText = std::move(joined);
  return true;
}

std::string ReplaceBuiltinPlaceholders(std::string_view aText, std::string_view aHost, std::uint16_t aPort, bool aSSL) {
  std::string host(aHost);
  if (host.find(':') != std::string::npos && (host.empty() || host.front() != '[')) host = "[" + host + "]";
  const std::string port = std::to_string(aPort);
  // One pass, so a replacement is never searched again.
  std::string out;
  out.reserve(aText.size());
  std::size_t pos = 0;
  while (pos < aText.size()) {
    const std::size_t at = aText.find("{%", pos);
    if (at == std::string_view::npos) break;
    out.append(aText.substr(pos, at - pos));
    const std::string_view rest = aText.substr(at);
    if (rest.size() >= 8 && WildcardMatch(rest.substr(0, 8), "{%host%}")) {
      out.append(host);
      pos = at + 8;
    } else if (rest.size() >= 8 && WildcardMatch(rest.substr(0, 8), "{%port%}")) {
      out.append(port);
      pos = at + 8;
    } else if (rest.size() >= 7 && WildcardMatch(rest.substr(0, 7), "{%ssl%}")) {
      if (aSSL) out.push_back('s');
      pos = at + 7;
    } else {
      out.append("{%");
      pos = at + 2;
    }
  }
  if (pos < aText.size()) out.append(aText.substr(pos));
  return out;
}

std::string BuiltinFileName(std::string_view aRequestLine) {
  std::string_view name = aRequestLine;
  if (name.size() >= 4 && WildcardMatch(name.substr(0, 4), "GET ")) name.remove_prefix(4);
  // The protocol begins at the last " HTTP"; a document may hold blanks.
  std::size_t end = std::string_view::npos;
  for (std::size_t i = name.size(); i >= 5; --i) {
    if (WildcardMatch(name.substr(i - 5, 5), " HTTP")) {
      end = i - 5;
      break;
    }
  }
  if (end != std::string_view::npos) name = name.substr(0, end);
  const std::size_t slash = name.rfind('/');
  if (slash != std::string_view::npos) name.remove_prefix(slash + 1);
  return std::string(name);
}

TBuiltinFileAnswer BuiltinFileAnswer(std::string_view aRequestLine, const TBuiltinFileOptions& aOptions) {
  TBuiltinFileAnswer answer;
  auto answerText = [&](std::string_view aNames, std::string_view aType) {
    std::string text;
    if (!BuiltinFileText(aNames, text)) return;
    answer.Answered = true;
    answer.ContentType = aType;
    answer.Body = std::move(text);
  };
  if (WildcardMatch(aRequestLine, "GET *.js *")) {
    if (!aOptions.JavascriptFiles) return answer;
    std::string names = BuiltinFileName(aRequestLine);
    if (WildcardMatch(names, kBuiltinClientScript)) {
      // The client script comes with the fall-backs the server offers,
      // which must be defined before it runs.
      names.clear();
      if (aOptions.EventSourceFallBack) names.append(kBuiltinEventSourceScript).append(",");
      if (aOptions.FlashFallBack) names.append(kBuiltinFlashScript).append(",");
      names.append(kBuiltinClientScript);
    }
    answerText(names, kBuiltinJavascriptType);
  } else if (WildcardMatch(aRequestLine, "GET *.html *")) {
    if (aOptions.HTMLFiles) answerText(BuiltinFileName(aRequestLine), kBuiltinHTMLType);
  } else if (WildcardMatch(aRequestLine, "GET *.css *")) {
    if (aOptions.HTMLFiles) answerText(BuiltinFileName(aRequestLine), kBuiltinCSSType);
  } else if (WildcardMatch(aRequestLine, "GET *WebSocketMain.swf *")) {
    // The movie is not embedded: the request is still the component's, but
    // it gets a plain refusal rather than a silent close.
    answer.Answered = true;
    answer.ResponseNo = 404;
    answer.ContentType = kBuiltinMovieType;
  }
  return answer;
}

std::string BuiltinFileResponse(const TBuiltinFileAnswer& aAnswer, std::string_view aHost, std::uint16_t aPort,
                                bool aSSL) {
  const std::string body =
      aAnswer.ResponseNo == 200 ? ReplaceBuiltinPlaceholders(aAnswer.Body, aHost, aPort, aSSL) : std::string();
  std::string out = aAnswer.ResponseNo == 200 ? "HTTP/1.1 200 OK\r\n" : "HTTP/1.1 404 Not Found\r\n";
  out.append("Content-Type: ").append(aAnswer.ContentType).append("\r\n");
  out.append("Content-Length: ").append(std::to_string(body.size())).append("\r\n");
  out.append("Connection: close\r\n");
  out.append("Server: ").append(kWSServerSoftware).append("\r\n\r\n");
  out.append(body);
  return out;
}

}  // namespace detail
