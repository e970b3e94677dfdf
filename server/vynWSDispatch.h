// How the first bytes of a server connection are told apart: a WebSocket
// upgrade, a request to one of the component's own endpoints, a built-in
// file, a Flash policy request, an event stream, an HTTP/2 preface, a plain
// HTTP/1.x request or something else. Pure functions over the gathered
// text, so they can be tested and fuzzed without a connection.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "server/vynWSBuiltinFiles.h"

namespace detail {

inline constexpr std::string_view kHTTP2Preface = "PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n";
inline constexpr std::string_view kFlashPolicyRequest = "<policy-file-request/>";
inline constexpr std::string_view kSessionRequestPath = "GET /vyn/req/auth/session/";
inline constexpr std::string_view kURLAuthPath = "GET /vyn/auth/url/";
inline constexpr std::string_view kSessionAuthPath = "GET /vyn/auth/session/";
inline constexpr std::string_view kMessagePostPath = "/vyn/xhr/";
inline constexpr std::string_view kProtocolPostPath = "/vyn/protocol/";

// The branches of the classification, in the order they are tried.
enum class TwsRequestKind : std::uint8_t {
  rkWebSocketUpgrade,
  rkSessionRequest,
  rkMessagePost,
  rkProtocolPost,
  rkOAuth2,
  rkHTTP2Preface,
  rkBuiltinFile,
  rkFlashPolicy,
  rkEventStream,
  rkHTTP,
  rkOther,
};

// What of the server's state the classification depends on.
struct TClassifyOptions {
  bool AuthenticationEnabled = false;
  bool SessionEnabled = true;
  bool SSL = false;
  // An OAuth2 server component is set in the authentication options.
  bool OAuth2Server = false;
  bool HTTP2Enabled = false;
  TBuiltinFileOptions BuiltinFiles;
};

// The gathered text split into lines (at CR, LF or CRLF), with the tests
// the classification uses.
class TGatheredRequest {
public:
  explicit TGatheredRequest(std::string_view aText);

  std::string_view Text() const { return FText; }
  const std::vector<std::string_view>& Lines() const { return FLines; }
  std::string_view FirstLine() const { return FLines.empty() ? std::string_view() : FLines.front(); }
  // The first line when it matches "GET *", else empty.
  std::string_view RequestLine() const;
  // The first line when it matches "POST *", else empty.
  std::string_view PostLine() const;
  bool IsHTTP1() const;
  bool AnyLineContains(std::string_view aSub) const;
  bool AnyLineMatches(std::string_view aPattern) const;
  // The value of the first "name=value" line with that name (HTTP/2 form).
  std::string_view PairValue(std::string_view aName) const;
  // The values of this request's header fields named aName (letter case
  // ignored), joined with ", ": only the lines of its own head count, from
  // the second up to the first empty one, never a later request's.
  std::string HeaderValues(std::string_view aName) const;

  bool IsWebSocketUpgrade() const;
  bool IsSessionRequest() const;
  bool IsMessagePost() const;
  bool IsProtocolPost() const;
  bool IsFlashPolicyRequest() const;
  bool IsEventStream() const;
  bool IsHTTP2Preface() const;

private:
  bool IsPost(std::string_view aPath) const;
  std::string_view FText;
  std::vector<std::string_view> FLines;
};

// Whether the comma-separated list aList holds aToken (letter case ignored,
// parameters after ";" and blanks around each element left out).
bool ListHasToken(std::string_view aList, std::string_view aToken);

// The request line a built-in file is looked up with: a GET line as it is,
// a HEAD line as its GET; empty for other methods.
std::string BuiltinRequestLine(std::string_view aFirstLine);

// The first branch that applies. A built-in file counts only when it is
// answered; an OAuth2 branch that did not answer is retried with
// OAuth2Server off.
TwsRequestKind ClassifyRequest(std::string_view aGathered, const TClassifyOptions& aOptions);
const char* RequestKindName(TwsRequestKind aKind);

// The answer to a Flash policy request, ending with one NUL character.
std::string FlashPolicyAnswer(std::string_view aDomain, std::string_view aPorts);

// The element of a request path split at "/" (1-based, the empty text
// before the first "/" counting as the first), percent-decoded; empty when
// the path has fewer. The path is the request line between "GET " and the
// next blank.
std::string PathElement(std::string_view aRequestLine, std::size_t aIndex);

// The path after aPrefix (such as "/vyn/xhr/") in a POST line or in the
// ":path" of the HTTP/2 form; empty when there is none.
std::string PostTarget(const TGatheredRequest& aRequest, std::string_view aPrefix);

// A new session id: 32 lower-case hexadecimal digits from a random source.
std::string NewSessionId();

// The head and first event line of an event-stream answer.
std::string EventStreamAnswer(std::string_view aMessage);

}  // namespace detail
