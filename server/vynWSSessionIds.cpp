#include "server/vynWSSessionIds.h"

#include "platform/SysUtils.h"
#include "server/vynWSDispatch.h"

namespace detail {

std::string TSessionIdRegistry::Issue(const std::string& aUser, const std::string& aPassword) {
  std::lock_guard<std::recursive_mutex> lock(FLock);
  std::string id;
  do {
    id = NewSessionId();
  } while (FIds.count(id) > 0);
  while (FIds.size() >= FMaxIds && !FOrder.empty()) {
    FIds.erase(FOrder.front());
    FOrder.pop_front();
  }
  FIds[id] = TEntry{aUser, aPassword};
  FOrder.push_back(id);
  // Taken ids stay in the order list until they reach its front; keep the
  // list from growing past twice the live ids.
  if (FOrder.size() > 2 * FMaxIds) {
    std::deque<std::string> live;
    for (const std::string& i : FOrder)
      if (FIds.count(i) > 0) live.push_back(i);
    FOrder.swap(live);
  }
  return id;
}

bool TSessionIdRegistry::Take(const std::string& aId, std::string& aUser, std::string& aPassword) {
  std::lock_guard<std::recursive_mutex> lock(FLock);
  auto it = FIds.find(aId);
  if (it == FIds.end()) return false;
  aUser = it->second.User;
  aPassword = it->second.Password;
  FIds.erase(it);
  return true;
}

std::size_t TSessionIdRegistry::Count() const {
  std::lock_guard<std::recursive_mutex> lock(FLock);
  return FIds.size();
}

void SessionRequestCredentials(std::string_view aRequestLine, std::string& aUser, std::string& aPassword) {
  aUser = PathElement(aRequestLine, 6);
  aPassword = PathElement(aRequestLine, 7);
}

std::string SessionAuthId(std::string_view aRequestLine) { return PathElement(aRequestLine, 5); }

std::string SessionAnswer(std::string_view aId, std::string_view aExtensions, std::string_view aProtocol) {
  return Trim(aId) + "\r\n" + Trim(aExtensions) + "\r\n" + Trim(aProtocol) + "\r\n";
}

}  // namespace detail
