// Session ids: issued with credentials, good for one use, bounded in number.
#include <gtest/gtest.h>

#include <set>
#include <thread>
#include <vector>

#include "server/vynWSSessionIds.h"

namespace {

TEST(SessionIdRegistry, AnIdIsGoodForOneUse) {
  std::recursive_mutex lock;
  detail::TSessionIdRegistry registry(lock);
  const std::string id = registry.Issue("alice", "s3cret");
  EXPECT_EQ(id.size(), 32u);
  std::string user, password;
  EXPECT_FALSE(registry.Take("0123456789abcdef0123456789abcdef", user, password));
  ASSERT_TRUE(registry.Take(id, user, password));
  EXPECT_EQ(user, "alice");
  EXPECT_EQ(password, "s3cret");
  EXPECT_FALSE(registry.Take(id, user, password));
  EXPECT_EQ(registry.Count(), 0u);
}

TEST(SessionIdRegistry, TheOldestUnusedIdsGoPastTheLimit) {
  std::recursive_mutex lock;
  detail::TSessionIdRegistry registry(lock, 3);
  std::vector<std::string> ids;
  for (int i = 0; i < 5; ++i) ids.push_back(registry.Issue("u" + std::to_string(i), "p"));
  EXPECT_EQ(registry.Count(), 3u);
  std::string user, password;
  EXPECT_FALSE(registry.Take(ids[0], user, password));
  EXPECT_FALSE(registry.Take(ids[1], user, password));
  EXPECT_TRUE(registry.Take(ids[2], user, password));
  EXPECT_EQ(user, "u2");
  // Taken ids and many issues keep the bookkeeping bounded too.
  for (int i = 0; i < 100; ++i) {
    const std::string id = registry.Issue("x", "y");
    if (i % 2) registry.Take(id, user, password);
  }
  EXPECT_LE(registry.Count(), 3u);
}

TEST(SessionIdRegistry, ConcurrentIssuesAndTakesUnderTheLock) {
  std::recursive_mutex lock;
  detail::TSessionIdRegistry registry(lock);
  std::vector<std::thread> threads;
  std::vector<std::set<std::string>> taken(4);
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) {
        std::string id = registry.Issue("u", "p"), user, password;
        if (registry.Take(id, user, password)) taken[static_cast<std::size_t>(t)].insert(id);
      }
    });
  for (auto& th : threads) th.join();
  std::set<std::string> all;
  for (const auto& s : taken) all.insert(s.begin(), s.end());
  EXPECT_EQ(all.size(), 800u);
  EXPECT_EQ(registry.Count(), 0u);
}

TEST(SessionRequest, CredentialsAndAnswer) {
  std::string user, password;
  detail::SessionRequestCredentials("GET /vyn/req/auth/session/alice/p%40ss HTTP/1.1", user, password);
  EXPECT_EQ(user, "alice");
  EXPECT_EQ(password, "p@ss");
  detail::SessionRequestCredentials("GET /vyn/req/auth/session/ HTTP/1.1", user, password);
  EXPECT_EQ(user, "");
  EXPECT_EQ(password, "");
  EXPECT_EQ(detail::SessionAuthId("GET /vyn/auth/session/0123abcd HTTP/1.1"), "0123abcd");
  EXPECT_EQ(detail::SessionAnswer(" id ", "permessage-deflate ", ""), "id\r\npermessage-deflate\r\n\r\n");
}

}  // namespace
