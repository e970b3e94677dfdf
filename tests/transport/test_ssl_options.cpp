// TLS option sets: the method and the version set stay consistent through
// their setters, and Assign copies every member through them.
#include <gtest/gtest.h>

#include "transport/vynIdSSLOpenSSL.h"

using V = TIdSSLVersion;

namespace {
const TIdSSLVersions kSix{V::sslvSSLv2, V::sslvSSLv3, V::sslvTLSv1, V::sslvTLSv1_1, V::sslvTLSv1_2, V::sslvTLSv1_3};
}

TEST(TIdSSLOptions, DefaultsToTLS1Alone) {
  TIdSSLOptions o;
  EXPECT_EQ(o.Method(), V::sslvTLSv1);
  EXPECT_EQ(o.SSLVersions(), TIdSSLVersions{V::sslvTLSv1});
  EXPECT_EQ(o.Mode, TIdSSLMode::sslmUnassigned);
  EXPECT_TRUE(o.VerifyMode.Empty());
  EXPECT_EQ(kSix.Mask(), 0x7Du);
}

TEST(TIdSSLOptions, MethodSetsTheVersionSet) {
  struct Case {
    V Method;
    TIdSSLVersions Expected;
  };
  const Case cases[] = {
      {V::sslvSSLv23, kSix},
      {V::sslvTLSv1_2, {V::sslvTLSv1_2}},
      {V::sslvTLSv1_3, {V::sslvTLSv1_3}},
      {V::sslvSSLv3, {V::sslvSSLv3}},
  };
  for (const auto& c : cases) {
    TIdSSLOptions o;
    o.SetMethod(c.Method);
    EXPECT_EQ(o.SSLVersions(), c.Expected) << static_cast<int>(c.Method);
    EXPECT_EQ(o.Method(), c.Method);
  }
}

TEST(TIdSSLOptions, VersionSetSetsTheMethod) {
  struct Case {
    const char* Name;
    TIdSSLVersions Set;
    V Method;
    TIdSSLVersions Stored;
  };
  const Case cases[] = {
      {"one version", {V::sslvTLSv1_1}, V::sslvTLSv1_1, {V::sslvTLSv1_1}},
      {"two versions", {V::sslvTLSv1_2, V::sslvTLSv1_3}, V::sslvSSLv23, {V::sslvTLSv1_2, V::sslvTLSv1_3}},
      {"flexible marker dropped", {V::sslvSSLv23, V::sslvTLSv1_2}, V::sslvSSLv23, {V::sslvTLSv1_2}},
      {"flexible marker alone", {V::sslvSSLv23}, V::sslvSSLv23, kSix},
      {"empty stays empty", {}, V::sslvSSLv23, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    TIdSSLOptions o;
    o.SetSSLVersions(c.Set);
    EXPECT_EQ(o.Method(), c.Method);
    EXPECT_EQ(o.SSLVersions(), c.Stored);
  }
}

TEST(TIdSSLOptions, AssignCopiesEveryMemberAndRefusesOtherClasses) {
  TIdSSLOptions a;
  a.RootCertFile = "root.pem";
  a.CertFile = "cert.pem";
  a.KeyFile = "key.pem";
  a.DHParamsFile = "dh.pem";
  a.SetSSLVersions({V::sslvTLSv1_2, V::sslvTLSv1_3});
  a.Mode = TIdSSLMode::sslmServer;
  a.VerifyDepth = 4;
  a.VerifyMode = {TIdSSLVerifyMode::sslvrfPeer, TIdSSLVerifyMode::sslvrfClientOnce};
  a.VerifyDirs = "/etc/ssl/certs";
  a.CipherList = "HIGH";

  TIdSSLOptions_Internal b(nullptr);
  b.Assign(a);
  EXPECT_EQ(b.RootCertFile, "root.pem");
  EXPECT_EQ(b.CertFile, "cert.pem");
  EXPECT_EQ(b.KeyFile, "key.pem");
  EXPECT_EQ(b.DHParamsFile, "dh.pem");
  EXPECT_EQ(b.Method(), V::sslvSSLv23);
  EXPECT_EQ(b.SSLVersions(), (TIdSSLVersions{V::sslvTLSv1_2, V::sslvTLSv1_3}));
  EXPECT_EQ(b.Mode, TIdSSLMode::sslmServer);
  EXPECT_EQ(b.VerifyDepth, 4);
  // The set read as a mask is OpenSSL's verify flags.
  EXPECT_EQ(b.VerifyMode.Mask(), 5u);
  EXPECT_EQ(b.VerifyDirs, "/etc/ssl/certs");
  EXPECT_EQ(b.CipherList, "HIGH");

  TStringList other;
  EXPECT_THROW(b.Assign(other), Exception);
}
