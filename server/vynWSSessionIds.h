// Session ids handed out by the session request ("GET
// /vyn/req/auth/session/<user>/<password>"): a client that passed the
// credential check gets an id it can present once, instead of credentials,
// when it opens a WebSocket ("GET /vyn/auth/session/<id>").
#pragma once

#include <cstddef>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <string_view>

namespace detail {

class TSessionIdRegistry {
public:
  // aLock guards every access (the component's indexed lock 1).
  explicit TSessionIdRegistry(std::recursive_mutex& aLock, std::size_t aMaxIds = kDefaultMaxIds)
      : FLock(aLock), FMaxIds(aMaxIds) {}

  // Registers a fresh id with the credentials. Past the limit the oldest
  // unused id is dropped, so clients that never come back cannot grow the
  // registry without bound.
  std::string Issue(const std::string& aUser, const std::string& aPassword);
  // True when aId is registered: the credentials are returned and the id is
  // removed (an id is good for one use).
  bool Take(const std::string& aId, std::string& aUser, std::string& aPassword);
  std::size_t Count() const;

  static constexpr std::size_t kDefaultMaxIds = 10000;

private:
  struct TEntry {
    std::string User;
    std::string Password;
  };
  std::recursive_mutex& FLock;
  std::size_t FMaxIds;
  std::map<std::string, TEntry> FIds;
  // Issue order, for dropping the oldest; may hold ids already taken.
  std::deque<std::string> FOrder;
};

// The user and password of a session request: the sixth and seventh
// elements of its path.
void SessionRequestCredentials(std::string_view aRequestLine, std::string& aUser, std::string& aPassword);

// The session id of an upgrade's "GET /vyn/auth/session/<id>": the fifth
// element of its path.
std::string SessionAuthId(std::string_view aRequestLine);

// The text/plain answer to an accepted session request: id, extensions and
// protocol, each trimmed and ended by CRLF.
std::string SessionAnswer(std::string_view aId, std::string_view aExtensions, std::string_view aProtocol);

}  // namespace detail
