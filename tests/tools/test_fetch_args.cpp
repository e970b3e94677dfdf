// bin/fetch's command line: what each accepted form asks for, and the usage
// errors, each of which must name what was wrong.
#include <gtest/gtest.h>

#include "platform/SysUtils.h"
#include "tools/fetch.h"

namespace {

using Args = std::vector<std::string>;

TEST(FetchArgs, FullCommandLine) {
  const fetch::Options o =
      fetch::ParseArgs({"-X", "PUT", "-H", "A: 1", "-HB:2", "-d", "x=1", "-d", "y=2", "--cacert", "ca.pem", "--proxy",
                        "127.0.0.1:3128", "-L", "-i", "https://127.0.0.1:8443/p?q"});
  EXPECT_EQ(o.Method, "PUT");
  EXPECT_EQ(o.Headers, (Args{"A: 1", "B:2"}));
  EXPECT_TRUE(o.HasBody);
  EXPECT_EQ(o.Body, "x=1&y=2");
  EXPECT_EQ(o.CACert, "ca.pem");
  EXPECT_FALSE(o.Insecure);
  EXPECT_EQ(o.Proxy, "http://127.0.0.1:3128");  // a bare host:port is an HTTP proxy
  EXPECT_TRUE(o.FollowRedirects);
  EXPECT_TRUE(o.IncludeHead);
  EXPECT_EQ(o.URL, "https://127.0.0.1:8443/p?q");
}

TEST(FetchArgs, MethodFollowsTheBody) {
  struct Case {
    Args A;
    const char* Method;
  } cases[] = {
      {{"http://h/"}, "GET"},
      {{"-d", "", "http://h/"}, "POST"},  // an empty -d is still a body
      {{"-d", "a", "http://h/"}, "POST"},
      {{"-XDELETE", "-d", "a", "http://h/"}, "DELETE"},
      {{"-X", "get", "http://h/"}, "get"},  // sent as typed, like other clients do
      {{"--", "-X"}, nullptr},              // after "--" an argument is the URL
  };
  for (const Case& c : cases) {
    if (!c.Method) {
      EXPECT_THROW(fetch::ParseArgs(c.A), Exception);
      continue;
    }
    EXPECT_EQ(fetch::ParseArgs(c.A).EffectiveMethod(), c.Method) << c.A[0];
  }
}

TEST(FetchArgs, LongOptionsTakeAttachedValues) {
  const fetch::Options o = fetch::ParseArgs({"--cacert=c.pem", "--proxy=http://u:p@127.0.0.1:1", "HTTP://h/"});
  EXPECT_EQ(o.CACert, "c.pem");
  EXPECT_EQ(o.Proxy, "http://u:p@127.0.0.1:1");
  EXPECT_EQ(o.URL, "HTTP://h/");  // the scheme is matched ignoring case
}

TEST(FetchArgs, TimeLimitsInSeconds) {
  struct Case {
    Args A;
    double MaxTime;
    double ConnectTimeout;
  } cases[] = {
      {{"http://h/"}, 0, 0},
      {{"--max-time", "2", "--connect-timeout", "0.5", "http://h/"}, 2, 0.5},
      {{"--max-time=1.25", "--connect-timeout=3", "http://h/"}, 1.25, 3},
      {{"-m", "7", "http://h/"}, 7, 0},
      {{"--max-time", "0", "http://h/"}, 0, 0},  // 0: no limit
  };
  for (const Case& c : cases) {
    const fetch::Options o = fetch::ParseArgs(c.A);
    EXPECT_EQ(o.MaxTime, c.MaxTime) << c.A[0];
    EXPECT_EQ(o.ConnectTimeout, c.ConnectTimeout) << c.A[0];
  }
}

TEST(FetchArgs, HelpNeedsNoURL) { EXPECT_TRUE(fetch::ParseArgs({"--help"}).Help); }

TEST(FetchArgs, UsageErrorsNameTheProblem) {
  struct Case {
    Args A;
    const char* Part;  // a piece the message must hold
  } cases[] = {
      {{}, "no URL"},
      {{"-X"}, "-X needs a value"},
      {{"-X", "GE T", "http://h/"}, "not a method name"},
      {{"-X", "GET\r\nX: 1", "http://h/"}, "not a method name"},
      {{"-H", "NoColon", "http://h/"}, "Name: value"},
      {{"-H", ": empty name", "http://h/"}, "not a header name"},
      {{"-H", "Bad Name: v", "http://h/"}, "not a header name"},
      {{"-H", "A: 1\r\nInjected: 2", "http://h/"}, "line break"},
      {{"-H", std::string("A: 1\0B", 6), "http://h/"}, "NUL"},
      {{"--cacert", "c.pem", "--insecure", "http://h/"}, "exclude each other"},
      {{"--cacert=", "http://h/"}, "--cacert needs a file name"},
      {{"ftp://h/"}, "http:// or https://"},
      {{"h/"}, "http:// or https://"},
      {{"http://h/a\r\nX: 1"}, "line break"},
      {{"http://h/", "http://g/"}, "second one"},
      {{"--proxy", "socks5://127.0.0.1:1", "http://h/"}, "only http:// proxies"},
      {{"-z", "http://h/"}, "unknown option '-z'"},
      {{"--location=yes", "http://h/"}, "unknown option"},
      {{"http://h/", "--max-time"}, "--max-time needs a value"},
      {{"--max-time", "-1", "http://h/"}, "not a number of seconds"},
      {{"--max-time", "1e3", "http://h/"}, "not a number of seconds"},
      {{"--max-time", "nan", "http://h/"}, "not a number of seconds"},
      {{"--max-time=", "http://h/"}, "not a number of seconds"},
      {{"--connect-timeout", "2s", "http://h/"}, "not a number of seconds"},
      {{"--connect-timeout", "99999999999", "http://h/"}, "not a number of seconds"},
  };
  for (const Case& c : cases) {
    try {
      fetch::ParseArgs(c.A);
      ADD_FAILURE() << "accepted: " << (c.A.empty() ? "(nothing)" : c.A[0]);
    } catch (const Exception& e) {
      EXPECT_NE(e.Message().find(c.Part), std::string::npos) << e.Message();
    }
  }
}

}  // namespace
