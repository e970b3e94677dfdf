// What must hold for any bytes the server component gathers from a new
// connection before it decides what they are; checked the same way by the
// fuzz target (fuzz/fuzz_ws_dispatch.cpp) and by the seed replay in the
// normal test build.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/check_common.h"
#include "server/vynWSBuiltinFiles.h"
#include "server/vynWSDispatch.h"
#include "server/vynWSMatch.h"

namespace ws_dispatch_check {

using fuzz_check::Faults;

// The first byte's bits are the server's options; the rest is what was
// gathered. Properties: the classification is one of its branches and
// agrees with the test that chose it, and with the options that allow it;
// a built-in answer is a whole response whose length is right and whose
// placeholders are all filled in; the helpers the branches use on the same
// text neither fail nor invent text.
inline Faults CheckDispatch(std::string_view aInput) {
  Faults faults;
  if (aInput.empty()) return faults;
  const unsigned bits = static_cast<unsigned char>(aInput[0]);
  const std::string_view gathered = aInput.substr(1);
  detail::TClassifyOptions o;
  o.AuthenticationEnabled = bits & 1;
  o.SessionEnabled = bits & 2;
  o.SSL = bits & 4;
  o.OAuth2Server = bits & 8;
  o.HTTP2Enabled = bits & 16;
  o.BuiltinFiles.JavascriptFiles = bits & 32;
  o.BuiltinFiles.HTMLFiles = bits & 64;
  o.BuiltinFiles.FlashFallBack = o.BuiltinFiles.EventSourceFallBack = bits & 128;

  const detail::TwsRequestKind kind = detail::ClassifyRequest(gathered, o);
  const detail::TGatheredRequest r(gathered);
  auto fault = [&](const std::string& aWhat) {
    faults.push_back(aWhat + " (" + detail::RequestKindName(kind) + ", options " + std::to_string(bits) + ") for " +
                     fuzz_check::Excerpt(gathered));
  };
  using K = detail::TwsRequestKind;
  switch (kind) {
    case K::rkWebSocketUpgrade:
      if (!r.IsHTTP1() || r.RequestLine().empty()) fault("upgrade without an HTTP/1 GET line");
      break;
    case K::rkSessionRequest:
      if (!o.AuthenticationEnabled || !o.SessionEnabled || !r.IsSessionRequest()) fault("session request not allowed");
      break;
    case K::rkMessagePost:
    case K::rkProtocolPost:
      if (detail::PostTarget(r, kind == K::rkMessagePost ? detail::kMessagePostPath : detail::kProtocolPostPath)
              .size() > gathered.size())
        fault("post target longer than the request");
      break;
    case K::rkOAuth2:
      if (!o.SSL || !o.AuthenticationEnabled || !o.OAuth2Server || !r.IsHTTP1()) fault("OAuth2 branch not allowed");
      break;
    case K::rkHTTP2Preface:
      if (!o.HTTP2Enabled || gathered.substr(0, detail::kHTTP2Preface.size()) != detail::kHTTP2Preface)
        fault("HTTP/2 without its preface or while off");
      break;
    case K::rkBuiltinFile: {
      const detail::TBuiltinFileAnswer a = detail::BuiltinFileAnswer(r.RequestLine(), o.BuiltinFiles);
      if (!a.Answered) fault("built-in file branch without an answer");
      const std::string response = detail::BuiltinFileResponse(a, "::1", 8080, o.SSL);
      const std::size_t headEnd = response.find("\r\n\r\n");
      if (headEnd == std::string::npos) {
        fault("built-in response head not ended");
        break;
      }
      const std::string body = response.substr(headEnd + 4);
      if (response.find("Content-Length: " + std::to_string(body.size()) + "\r\n") > headEnd)
        fault("built-in response length wrong");
      if (detail::ContainsText(body, "{%host%}") || detail::ContainsText(body, "{%port%}") ||
          detail::ContainsText(body, "{%ssl%}"))
        fault("placeholder left in a built-in answer");
      break;
    }
    case K::rkFlashPolicy:
      if (!r.IsFlashPolicyRequest()) fault("Flash policy without its request");
      break;
    case K::rkEventStream:
      if (!r.IsEventStream()) fault("event stream without its Accept line");
      break;
    case K::rkHTTP:
      if (!r.IsHTTP1()) fault("plain HTTP without an HTTP/1 line");
      break;
    case K::rkOther:
      if (r.IsHTTP1()) fault("an HTTP/1 request left to the protocol handlers");
      break;
    default:
      fault("unknown branch");
  }
  // The path helpers of the session and URL authentication never produce
  // more than the request line holds.
  for (std::size_t i = 1; i <= 8; ++i)
    if (detail::PathElement(r.FirstLine(), i).size() > r.FirstLine().size()) fault("path element too long");
  if (detail::BuiltinFileName(r.FirstLine()).size() > r.FirstLine().size()) fault("file name too long");
  return faults;
}

}  // namespace ws_dispatch_check
