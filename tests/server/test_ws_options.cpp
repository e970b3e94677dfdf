// The server component's option objects: defaults and what Assign copies.
#include <gtest/gtest.h>

#include "server/vynWSHTTPServer.h"
#include "server/vynWSOptions.h"

namespace {

TEST(WSOptions, DefaultsOfTheComponent) {
  TvynWSHTTPServer server;
  EXPECT_FALSE(server.Active());
  EXPECT_EQ(server.Port(), 80);
  EXPECT_EQ(server.MaxReadBufferSize, 1024000);
  EXPECT_FALSE(server.UseNagle);
  EXPECT_FALSE(server.SSL());
  EXPECT_EQ(server.Options().ReadTimeOut(), 10);
  EXPECT_EQ(server.Options().WriteTimeOut, 0);
  EXPECT_TRUE(server.Options().JavascriptFiles);
  EXPECT_FALSE(server.Options().HTMLFiles);
  EXPECT_TRUE(server.Options().RaiseDisconnectExceptions);
  EXPECT_EQ(server.SSLOptions().Port, 0);
  EXPECT_EQ(server.SSLOptions().Version, TwsTLSVersions::tlsUndefined);
  EXPECT_EQ(server.SSLOptions().OpenSSL_Options.APIVersion, TwsOpenSSLAPI::oslAPI_1_0);
  EXPECT_EQ(server.ThreadPoolOptions().PoolSize, 32);
  EXPECT_EQ(server.HeartBeat().Interval, 300);
  EXPECT_EQ(server.TCPKeepAlive().Time, 7200000);
  EXPECT_EQ(server.WatchDog().Interval, 60);
  EXPECT_EQ(server.WatchDog().Monitor.Timeout, 10);
  EXPECT_TRUE(server.Optimizations().ConnectionsFree.Enabled);
  EXPECT_EQ(server.Optimizations().Connections.CacheSize, 100);
  EXPECT_TRUE(server.HTTP2Options().AltSvc.Enabled);
  EXPECT_EQ(server.HTTP2Options().Settings.MaxFrameSize, 16384);
  EXPECT_TRUE(server.Authentication().URL.Enabled);
  EXPECT_FALSE(server.Authentication().Basic.Enabled);
  EXPECT_EQ(server.FallBack().Flash.Domain, "*");
  EXPECT_EQ(server.FallBack().ServerSentEvents.Retry, 3000);
  EXPECT_TRUE(server.HTTPUploadFiles().RemoveBoundaries);
  EXPECT_EQ(server.ReadStartSSL, 10);
  EXPECT_EQ(server.ReadEmptySource, 0);
  EXPECT_EQ(server.ServerType(), TwsServerType::wsHTTP);
  EXPECT_EQ(server.Version(), "4.5.1");
}

TEST(WSOptions, ReadTimeOutOfZeroOrLessReadsAsOne) {
  TvynWSOptionsServer o;
  for (std::int32_t v : {0, -1, -1000}) {
    o.SetReadTimeOut(v);
    EXPECT_EQ(o.ReadTimeOut(), 1) << v;
  }
  o.SetReadTimeOut(250);
  EXPECT_EQ(o.ReadTimeOut(), 250);
}

TEST(WSOptions, TLSAssignFromTheBaseLeavesPortAndLibrarySettings) {
  TvynWSSSL_Options full;
  full.CertFile = "c.pem";
  full.KeyFile = "k.pem";
  full.RootCertFile = "r.pem";
  full.Password = "pw";
  full.Version = TwsTLSVersions::tls1_3;
  full.VerifyCertificate = true;
  full.VerifyDepth = 3;
  full.Port = 8443;
  full.OpenSSL_Options.ECDHE = true;
  full.OpenSSL_Options.APIVersion = TwsOpenSSLAPI::oslAPI_1_1;

  TvynWSSSL_Options copy;
  copy.Assign(full);
  EXPECT_EQ(copy.Port, 8443);
  EXPECT_TRUE(copy.OpenSSL_Options.ECDHE);
  EXPECT_EQ(copy.OpenSSL_Options.APIVersion, TwsOpenSSLAPI::oslAPI_1_1);
  EXPECT_EQ(copy.Password, "pw");

  TvynTCPTLS_Options_Base base;
  base.Assign(full);
  TvynWSSSL_Options fromBase;
  fromBase.Port = 443;
  fromBase.Assign(base);
  EXPECT_EQ(fromBase.CertFile, "c.pem");
  EXPECT_EQ(fromBase.KeyFile, "k.pem");
  EXPECT_EQ(fromBase.RootCertFile, "r.pem");
  EXPECT_EQ(fromBase.Version, TwsTLSVersions::tls1_3);
  EXPECT_TRUE(fromBase.VerifyCertificate);
  EXPECT_EQ(fromBase.VerifyDepth, 3);
  EXPECT_EQ(fromBase.Port, 443);
  EXPECT_FALSE(fromBase.OpenSSL_Options.ECDHE);
}

TEST(WSOptions, AssignCopiesEveryMemberAndRefusesOtherClasses) {
  TvynWSOptionsServer a;
  a.CleanDisconnect = true;
  a.FragmentedMessages = TwsFragmentedMessages::frgAll;
  a.HTMLFiles = true;
  a.JavascriptFiles = false;
  a.SetReadTimeOut(77);
  a.WriteTimeOut = 5;
  a.RaiseDisconnectExceptions = false;
  a.ValidateUTF8 = true;
  TvynWSOptionsServer b;
  b.Assign(a);
  EXPECT_TRUE(b.CleanDisconnect);
  EXPECT_EQ(b.FragmentedMessages, TwsFragmentedMessages::frgAll);
  EXPECT_TRUE(b.HTMLFiles);
  EXPECT_FALSE(b.JavascriptFiles);
  EXPECT_EQ(b.ReadTimeOut(), 77);
  EXPECT_EQ(b.WriteTimeOut, 5);
  EXPECT_FALSE(b.RaiseDisconnectExceptions);
  EXPECT_TRUE(b.ValidateUTF8);

  TvynWSAuthenticationServer_Options auth;
  auth.AuthUsers.Add("u=p");
  TvynWSAuthenticationServer_Options auth2;
  auth2.Assign(auth);
  EXPECT_EQ(auth2.AuthUsers.Values("u"), "p");

  TvynWSHeartBeat_Options other;
  try {
    b.Assign(other);
    FAIL() << "no error";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "Cannot assign a TvynWSHeartBeat_Options to a TvynWSOptionsServer");
  }
}

TEST(WSOptions, PropertyWritesCopyIntoTheOwnedObject) {
  TvynWSHTTPServer server;
  TvynWSSSL_Options* owned = &server.SSLOptions();
  TvynWSSSL_Options o;
  o.Port = 9443;
  server.SetSSLOptions(o);
  EXPECT_EQ(&server.SSLOptions(), owned);
  EXPECT_EQ(server.SSLOptions().Port, 9443);
  server.SetDocumentRoot("/srv/www/");
  EXPECT_EQ(server.DocumentRoot(), "/srv/www");
  server.SetDocumentRoot("C:\\www\\");
  EXPECT_EQ(server.DocumentRoot(), "C:\\www");
}

}  // namespace
