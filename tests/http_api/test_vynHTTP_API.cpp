#include "http_api/vynHTTP_API.h"

#include <gtest/gtest.h>

#include "transport/vynBase_Classes.h"
#include "http_api/vynHTTP_Classes.h"
#include "tests/http_api/fake_http.h"

namespace {

// Exposes the log settings that service clients set.
class LoggingClient : public TvynHTTPAPI_client {
public:
  using TvynHTTPAPI_client::TvynHTTPAPI_client;
  void SetLogging(bool aLog, std::string aFileName) {
    FLog = aLog;
    FLogFileName = std::move(aFileName);
  }
};

TEST(vynComponentBase, VersionAndStateQueries) {
  TvynComponent_Base c;
  EXPECT_EQ(c.Version(), "4.5.1");
  EXPECT_FALSE(c.IsDesigning());
  EXPECT_FALSE(c.IsDestroying());
  EXPECT_FALSE(c.IsLoading());
}

TEST(vynAuthTokenBase, EventsRaisedOnlyWhenAssigned) {
  struct Client : TvynHTTPComponentClientAuthToken_Base {
    using TvynHTTPComponentClientAuthToken_Base::DoAuthTokenErrorEvent;
    using TvynHTTPComponentClientAuthToken_Base::DoAuthTokenEvent;
  } c;
  c.DoAuthTokenEvent("Bearer", "t", "d");  // unassigned: nothing happens
  c.DoAuthTokenErrorEvent("e", "ed", "d");
  std::string seen;
  c.OnAuthToken = [&](TComponent* s, const std::string& type, const std::string& token, const std::string& data) {
    EXPECT_EQ(s, &c);
    seen += type + "|" + token + "|" + data + ";";
  };
  c.OnAuthTokenError = [&](TComponent* s, const std::string& e, const std::string& ed, const std::string& data) {
    EXPECT_EQ(s, &c);
    seen += e + "|" + ed + "|" + data + ";";
  };
  c.DoAuthTokenEvent("Bearer", "t", "d");
  c.DoAuthTokenErrorEvent("e", "ed", "d");
  EXPECT_EQ(seen, "Bearer|t|d;e|ed|d;");
}

TEST(vynHTTPAPIClient, NoHTTPClientInstalledFailsClearly) {
  auto previous = detail::SetHTTPRequestClientFactory({});
  TvynHTTPAPI_client c;
  try {
    c.Get("https://127.0.0.1/x");
    ADD_FAILURE() << "no error";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "No HTTP client component is installed.");
  }
  detail::SetHTTPRequestClientFactory(std::move(previous));
}

struct VerbCase {
  const char* name;
  std::function<std::string(TvynHTTPAPI_client&, const TStrings*)> call;
  const char* method;
  bool hasBody;
  const char* body;
};

class VerbTest : public ::testing::TestWithParam<VerbCase> {};

TEST_P(VerbTest, OneFreshComponentPerCallWithSettingsHeadersAndBody) {
  const VerbCase& v = GetParam();
  RecordingHTTP http;
  http.Response = "answer";
  LoggingClient c;
  c.SetLogging(true, "/tmp/traffic.log");
  TStringList headers;
  headers.Add("content-type: application/json");
  headers.Add("x-second: 2");
  EXPECT_EQ(v.call(c, &headers), "answer");
  EXPECT_EQ(v.call(c, nullptr), "answer");
  ASSERT_EQ(http.Requests.size(), 2u);
  EXPECT_EQ(http.Live, 0);
  const RecordedRequest& r = http.Requests[0];
  EXPECT_EQ(r.Method, v.method);
  EXPECT_EQ(r.URL, "https://127.0.0.1/p?q=1");
  EXPECT_EQ(r.Headers, (std::vector<std::string>{"content-type: application/json", "x-second: 2"}));
  EXPECT_EQ(r.HasBody, v.hasBody);
  EXPECT_EQ(r.Body, v.body);
  EXPECT_EQ(r.TLSVersion, TwsTLSVersions::tls1_2);
  EXPECT_TRUE(r.Log);
  EXPECT_EQ(r.LogFileName, "/tmp/traffic.log");
  EXPECT_TRUE(http.Requests[1].Headers.empty());  // nothing carried over between calls
}

const char* kURL = "https://127.0.0.1/p?q=1";
INSTANTIATE_TEST_SUITE_P(
    Verbs, VerbTest,
    ::testing::Values(
        VerbCase{"Get", [](TvynHTTPAPI_client& c, const TStrings* h) { return c.Get(kURL, h); }, "GET", false, ""},
        VerbCase{"Post",
                 [](TvynHTTPAPI_client& c, const TStrings* h) { return c.Post(kURL, "{\"a\":\"\xC3\xA9\"}", h); },
                 "POST", true, "{\"a\":\"\xC3\xA9\"}"},
        VerbCase{"PostEmpty", [](TvynHTTPAPI_client& c, const TStrings* h) { return c.Post(kURL, "", h); }, "POST",
                 true, ""},
        VerbCase{"Patch", [](TvynHTTPAPI_client& c, const TStrings* h) { return c.Patch(kURL, "{\"b\":1}", h); },
                 "PATCH", true, "{\"b\":1}"},
        VerbCase{"DeleteWithoutBody", [](TvynHTTPAPI_client& c, const TStrings* h) { return c.Delete(kURL, h); },
                 "DELETE", false, ""},
        VerbCase{"DeleteWithBody",
                 [](TvynHTTPAPI_client& c, const TStrings* h) { return c.Delete(kURL, h, "{\"order_id\": 5}"); },
                 "DELETE", true, "{\"order_id\": 5}"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(vynHTTPAPIClient, ErrorStatusWithoutHandlerCarriesTheBody) {
  RecordingHTTP http;
  http.Error = CannedError{404, "HTTP/1.1 404 Not Found", "{\"error\":\"no hopper\"}"};
  TvynHTTPAPI_client c;
  try {
    c.Get("https://127.0.0.1/x");
    ADD_FAILURE() << "no error";
  } catch (const EIdHTTPProtocolException& e) {
    EXPECT_EQ(e.Message(), "HTTP/1.1 404 Not Found. {\"error\":\"no hopper\"}");
    EXPECT_EQ(e.ErrorCode(), 404);
  }
  EXPECT_EQ(http.Live, 0);
}

TEST(vynHTTPAPIClient, HandlerTakesTheErrorAndTheResultIsEmpty) {
  RecordingHTTP http;
  http.Error = CannedError{500, "HTTP/1.1 500 Internal Server Error", "boom"};
  TvynHTTPAPI_client c;
  int calls = 0;
  std::string message;
  c.OnHTTPAPIException = [&](TComponent* s, Exception& e) {
    EXPECT_EQ(s, &c);
    ++calls;
    message = e.Message();
  };
  EXPECT_EQ(c.Post("https://127.0.0.1/x", "b"), "");
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(message, "HTTP/1.1 500 Internal Server Error. boom");
}

TEST(vynHTTPAPIClient, OtherErrorsPassUnchangedOrToTheHandler) {
  RecordingHTTP http;
  TvynHTTPAPI_client c;
  auto previous = detail::SetHTTPRequestClientFactory([]() -> std::unique_ptr<detail::HTTPRequestClient> {
    throw EIdException("Socket Error # 111\nConnection refused.");
  });
  try {
    c.Get("https://127.0.0.1/x");
    ADD_FAILURE() << "no error";
  } catch (const EIdException& e) {
    EXPECT_EQ(e.Message(), "Socket Error # 111\nConnection refused.");
  }
  std::string message;
  c.OnHTTPAPIException = [&](TComponent*, Exception& e) { message = e.Message(); };
  EXPECT_EQ(c.Get("https://127.0.0.1/x"), "");
  EXPECT_EQ(message, "Socket Error # 111\nConnection refused.");
  // What is not a library error is never handed to the event.
  detail::SetHTTPRequestClientFactory(
      []() -> std::unique_ptr<detail::HTTPRequestClient> { throw std::runtime_error("other"); });
  EXPECT_THROW(c.Get("https://127.0.0.1/x"), std::runtime_error);
  detail::SetHTTPRequestClientFactory(std::move(previous));
}

TEST(vynHTTPClientTLSOptions, AssignRules) {
  TvynIdHTTPTLS_Options src;
  src.CertFile = "c";
  src.KeyFile = "k";
  src.Password = "p";
  src.RootCertFile = "r";
  src.VerifyCertificate = true;
  src.VerifyDepth = 5;
  src.Version = TwsTLSVersions::tls1_3;
  src.ALPNProtocols.Add("h2");
  src.OpenSSL_Options.APIVersion = TwsOpenSSLAPI::oslAPI_1_1;
  TvynIdHTTPTLS_Options dst;
  dst.Assign(src);
  EXPECT_EQ(dst.CertFile, "c");
  EXPECT_EQ(dst.KeyFile, "k");
  EXPECT_EQ(dst.Password, "p");
  EXPECT_EQ(dst.RootCertFile, "r");
  EXPECT_TRUE(dst.VerifyCertificate);
  EXPECT_EQ(dst.VerifyDepth, 0);  // not copied between HTTP client options
  EXPECT_EQ(dst.Version, TwsTLSVersions::tls1_3);
  EXPECT_EQ(dst.ALPNProtocols.Text(), "h2\r\n");
  EXPECT_EQ(dst.OpenSSL_Options.APIVersion, TwsOpenSSLAPI::oslAPI_1_1);

  TvynSocketTLS_Options_Base base;
  base.VerifyDepth = 7;
  base.CertFile = "bc";
  dst.Assign(base);  // the base family copies its own members, VerifyDepth included
  EXPECT_EQ(dst.VerifyDepth, 7);
  EXPECT_EQ(dst.CertFile, "bc");

  TvynHttpLogFile log;
  try {
    dst.Assign(log);
    ADD_FAILURE() << "no error";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "Cannot assign a TvynHttpLogFile to a TvynIdHTTPTLS_Options");
  }
}

TEST(vynHTTPAPIClient, TLSOptionsAreCopiedNotShared) {
  RecordingHTTP http;
  TvynHTTPAPI_client c;
  TvynIdHTTPTLS_Options o;
  o.Version = TwsTLSVersions::tls1_3;
  c.SetTLSOptions(o);
  EXPECT_NE(&c.TLSOptions(), &o);
  c.Get("https://127.0.0.1/");
  EXPECT_EQ(http.Requests.at(0).TLSVersion, TwsTLSVersions::tls1_3);
}

}  // namespace

namespace {

// Every request reports its end: the answer's status, or 0 when none came,
// before the result or the error goes on.
TEST(vynHTTPAPIClient, EachRequestReportsItsEnd) {
  RecordingHTTP http;
  TvynHTTPAPI_client c;
  struct Done {
    std::string Method, URL;
    std::int32_t Status;
    std::int64_t Ms;
  };
  std::vector<Done> done;
  c.OnRequestDone = [&](TComponent* aSender, const std::string& aMethod, const std::string& aURL, std::int32_t aStatus,
                        std::int64_t aMs) {
    EXPECT_EQ(aSender, &c);
    done.push_back({aMethod, aURL, aStatus, aMs});
  };
  http.Status = 201;
  c.Post("https://127.0.0.1/p", "{}");
  http.Status = 200;
  c.Patch("https://127.0.0.1/q", "{}");
  c.Delete("https://127.0.0.1/r");
  http.Error = CannedError{409, "HTTP/1.1 409 Conflict", "{}"};
  EXPECT_THROW(c.Get("https://127.0.0.1/s"), EIdHTTPProtocolException);
  auto previous = detail::SetHTTPRequestClientFactory(
      []() -> std::unique_ptr<detail::HTTPRequestClient> { throw EIdException("Connection refused."); });
  EXPECT_THROW(c.Get("https://127.0.0.1/t"), EIdException);
  detail::SetHTTPRequestClientFactory(std::move(previous));

  ASSERT_EQ(done.size(), 5u);
  const std::vector<std::tuple<const char*, const char*, std::int32_t>> expected = {
      {"POST", "https://127.0.0.1/p", 201},
      {"PATCH", "https://127.0.0.1/q", 200},
      {"DELETE", "https://127.0.0.1/r", 200},
      {"GET", "https://127.0.0.1/s", 409},
      {"GET", "https://127.0.0.1/t", 0}};
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(done[i].Method, std::get<0>(expected[i]));
    EXPECT_EQ(done[i].URL, std::get<1>(expected[i]));
    EXPECT_EQ(done[i].Status, std::get<2>(expected[i]));
    EXPECT_GE(done[i].Ms, 0);
  }
}

}  // namespace
