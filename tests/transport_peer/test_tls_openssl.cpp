// The TLS I/O handlers against openssl s_server and s_client on loopback,
// with certificates made for the run.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "openssl_peer.h"
#include "transport/vynIdSSLOpenSSL.h"

using opensslpeer::Certificates;
using opensslpeer::Process;
using opensslpeer::SServer;
using V = TIdSSLVersion;

namespace {

Certificates* gCerts = nullptr;

class TLSTest : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    TIdStack::IncUsage();
    if (!gCerts) gCerts = new Certificates();
  }
  static void TearDownTestSuite() {
    delete gCerts;
    gCerts = nullptr;
    TIdStack::DecUsage();
  }
  static std::string P(const std::string& AName) { return gCerts->Path(AName); }

  // A client handler for 127.0.0.1:APort with TLS from the first byte.
  static std::unique_ptr<TIdSSLIOHandlerSocketOpenSSL> MakeClient(std::uint16_t APort, V AMethod) {
    auto h = std::make_unique<TIdSSLIOHandlerSocketOpenSSL>();
    h->SetHost("127.0.0.1");
    h->SetPort(APort);
    h->SetReadTimeout(10000);
    h->SSLOptions().SetMethod(AMethod);
    h->SSLOptions().Mode = TIdSSLMode::sslmClient;
    h->SetPassThrough(false);
    return h;
  }
  static void VerifyWith(TIdSSLIOHandlerSocketOpenSSL& AHandler, const std::string& ARoot = "ca.pem") {
    AHandler.SSLOptions().RootCertFile = P(ARoot);
    AHandler.SSLOptions().VerifyMode = {TIdSSLVerifyMode::sslvrfPeer};
  }
  // One line through s_server's line reversal.
  static void Echo(TIdSSLIOHandlerSocketOpenSSL& AHandler) {
    AHandler.WriteLn("hello tls");
    EXPECT_EQ(AHandler.ReadLn(), "slt olleh");
  }
};

// A listening socket for our server side, on a free loopback port.
class Listener {
public:
  Listener() {
    FHandle.SetIPVersion(TIdIPVersion::Id_IPv4);
    FHandle.AllocateSocket();
    FHandle.SetIP("127.0.0.1");
    FHandle.SetPort(0);
    FHandle.Bind();
    FHandle.Listen();
  }
  std::uint16_t Port() const { return FHandle.Port(); }
  // The accepted handler, waiting at most 10 s for the connection.
  std::unique_ptr<TIdSSLIOHandlerSocketOpenSSL> Accept(TIdServerIOHandlerSSLOpenSSL& AServer) {
    if (!FHandle.Readable(10000)) throw std::runtime_error("nothing connected");
    std::unique_ptr<TIdSSLIOHandlerSocketOpenSSL> h(AServer.Accept(FHandle));
    if (!h) throw std::runtime_error("accept failed");
    h->SetReadTimeout(10000);
    h->AfterAccept();
    return h;
  }
  TIdSocketHandle FHandle;
};

std::vector<std::string> SClient(std::uint16_t APort, std::vector<std::string> AExtra) {
  std::vector<std::string> args{"openssl", "s_client", "-connect", "127.0.0.1:" + std::to_string(APort), "-ign_eof"};
  args.insert(args.end(), AExtra.begin(), AExtra.end());
  return args;
}

}  // namespace

// ---------------------------------------------------------------------------
// Our client against s_server

TEST_F(TLSTest, ClientSpeaksTheVersionAskedFor) {
  struct Case {
    V Method;
    std::vector<std::string> ServerArgs;
    const char* Expected;
  };
  const Case cases[] = {
      {V::sslvTLSv1_3, {}, "TLSv1.3"},
      {V::sslvTLSv1_2, {}, "TLSv1.2"},
      // Any version: the highest both sides support.
      {V::sslvSSLv23, {}, "TLSv1.3"},
      {V::sslvSSLv23, {"-tls1_2"}, "TLSv1.2"},
      // Old versions, asked for explicitly, against a peer that allows them.
      {V::sslvTLSv1, {"-tls1", "-cipher", "DEFAULT:@SECLEVEL=0"}, "TLSv1"},
      {V::sslvTLSv1_1, {"-tls1_1", "-cipher", "DEFAULT:@SECLEVEL=0"}, "TLSv1.1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Expected);
    SServer server(*gCerts, c.ServerArgs);
    auto h = MakeClient(server.Port(), c.Method);
    h->Open();
    EXPECT_EQ(h->GetSSLVersion(), c.Expected);
    Echo(*h);
    h->Close();
  }
}

TEST_F(TLSTest, ClientOffersALPNAndReportsTheChoice) {
  SServer server(*gCerts, {"-alpn", "http/1.1"});
  auto h = MakeClient(server.Port(), V::sslvTLSv1_3);
  h->ALPNProtocols().Add("h2");
  h->ALPNProtocols().Add("");
  h->ALPNProtocols().Add("http/1.1");
  h->Open();
  EXPECT_EQ(h->GetALPNProtocol(), "http/1.1");
  Echo(*h);
}

TEST_F(TLSTest, ServerNameFromTheURIAndNoneForAnAddress) {
  // The server answers "other.test" with its second certificate and refuses
  // any other name it is sent; an address literal must not be sent at all.
  std::vector<std::string> sni{"-servername", "other.test",   "-cert2",           P("other.pem"),
                               "-key2",       P("other.key"), "-servername_fatal"};
  {
    SServer server(*gCerts, sni);
    auto h = MakeClient(server.Port(), V::sslvTLSv1_3);
    h->SetURIToCheck("https://other.test/path");
    h->Open();
    ASSERT_NE(h->SSLSocket()->PeerCert(), nullptr);
    EXPECT_EQ(h->SSLSocket()->PeerCert()->Subject().OneLine(), "/CN=other.test");
    Echo(*h);
  }
  {
    SServer server(*gCerts, sni);
    auto h = MakeClient(server.Port(), V::sslvTLSv1_2);  // Host is 127.0.0.1
    h->Open();
    EXPECT_EQ(h->SSLSocket()->PeerCert()->Subject().OneLine(), "/CN=localhost");
    Echo(*h);
  }
}

TEST_F(TLSTest, ClientVerifiesChainHostAndDates) {
  struct Case {
    const char* Name;
    std::string ServerCert;
    std::vector<std::string> ServerArgs;
    std::string URI;    // host checked, when not the connect address
    const char* Error;  // null: verifies
  };
  const Case cases[] = {
      {"address in the certificate", "server", {}, "", nullptr},
      {"host name in the certificate", "server", {}, "https://localhost/", nullptr},
      {"chain with an intermediate", "leaf", {"-cert_chain", P("int.pem")}, "https://localhost/", nullptr},
      {"wrong host", "server", {}, "https://wrong.test/", "certificate verify failed"},
      // Signed by the trusted root, but for another name, not the address.
      {"wrong address", "other", {}, "", "certificate verify failed"},
      {"expired", "expired", {}, "", "certificate verify failed"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    SServer server(*gCerts, c.ServerArgs, c.ServerCert);
    auto h = MakeClient(server.Port(), V::sslvTLSv1_3);
    VerifyWith(*h);
    if (!c.URI.empty()) h->SetURIToCheck(c.URI);
    if (c.Error) {
      try {
        h->Open();
        ADD_FAILURE() << "connected";
      } catch (const EIdOpenSSLError& e) {
        EXPECT_NE(e.Message().find("Error connecting with SSL."), std::string::npos) << e.Message();
        EXPECT_NE(e.Message().find(c.Error), std::string::npos) << e.Message();
      }
    } else {
      h->Open();
      Echo(*h);
    }
  }
}

TEST_F(TLSTest, VerifyDepthNotAboveZeroKeepsTheLibraryDefault) {
  // The library's depth 0 would allow the leaf and a trust anchor only, so
  // a chain with an intermediate would fail; 0 or less must leave the
  // library's default, and a positive depth of 1 already carries the chain.
  for (const std::int32_t depth : {0, -1, 1}) {
    SCOPED_TRACE(depth);
    SServer server(*gCerts, {"-cert_chain", P("int.pem")}, "leaf");
    auto h = MakeClient(server.Port(), V::sslvTLSv1_2);
    VerifyWith(*h);
    h->SSLOptions().VerifyDepth = depth;
    h->Open();
    Echo(*h);
  }
}

TEST_F(TLSTest, FileSentWithKernelTransferStillGoesThroughTLS) {
  const std::string name = ::testing::TempDir() + "tls-file-" + std::to_string(::getpid());
  {
    std::ofstream out(name, std::ios::binary);
    out << "hello file\n";
  }
  SServer server(*gCerts, {});
  auto h = MakeClient(server.Port(), V::sslvTLSv1_3);
  h->Open();
  // The kernel would send the file unencrypted; the handler must not let it.
  EXPECT_EQ(h->WriteFile(name, true), 11);
  EXPECT_EQ(h->ReadLn(), "elif olleh");
  ::unlink(name.c_str());
}

TEST_F(TLSTest, StaleErrorsOfTheThreadDoNotFailHandshakeReadOrWrite) {
  // An error left queued by some earlier call on this thread must not be
  // taken for the outcome of a handshake, a read or a write.
  auto stale = [] { detail::OpenSSLPutError(detail::ERR_LIB_SSL_, 0, ERR_R_INTERNAL_ERROR); };
  SServer server(*gCerts, {});
  auto h = MakeClient(server.Port(), V::sslvTLSv1_3);
  h->SetReadTimeout(300);
  stale();
  h->Open();
  stale();
  h->WriteLn("hello tls");
  stale();
  EXPECT_EQ(h->ReadLn(), "slt olleh");
  // A read that times out is still a time-out, not a TLS failure.
  stale();
  EXPECT_THROW(h->ReadFromSource(true, IdTimeoutInfinite, true), EIdReadTimeout);
  // And a peer that goes away is still a close.
  server.Proc().Kill();
  server.Proc().Wait(5000);
  stale();
  EXPECT_THROW(h->ReadLn(), EIdConnClosedGracefully);
}

TEST_F(TLSTest, ServerGoingAwayWithoutCloseNotifyIsAGracefulClose) {
  for (V method : {V::sslvTLSv1_2, V::sslvTLSv1_3}) {
    SServer server(*gCerts, {});
    auto h = MakeClient(server.Port(), method);
    h->Open();
    Echo(*h);
    server.Proc().Kill();  // its socket closes with no TLS alert
    server.Proc().Wait(5000);
    EXPECT_THROW(h->ReadLn(), EIdConnClosedGracefully);
  }
}

TEST_F(TLSTest, UnknownIssuerIsRefusedWithoutItsRoot) {
  SServer server(*gCerts, {}, "server");
  auto h = MakeClient(server.Port(), V::sslvTLSv1_2);
  VerifyWith(*h, "other.pem");  // a root that did not sign the server
  EXPECT_THROW(h->Open(), EIdOpenSSLError);
}

namespace {
// Points the library's default CA file at AFile (and its CA folder at an
// empty one) and reloads the binding so that the default store is read anew;
// the destructor restores the environment and reloads again.
class SystemRoots {
public:
  SystemRoots(const std::string& AFile, const std::string& AEmptyDir) {
    ::setenv("SSL_CERT_FILE", AFile.c_str(), 1);
    ::setenv("SSL_CERT_DIR", AEmptyDir.c_str(), 1);
    ShutdownOpenSSL();
  }
  ~SystemRoots() {
    ::unsetenv("SSL_CERT_FILE");
    ::unsetenv("SSL_CERT_DIR");
    ShutdownOpenSSL();
    EnsureOpenSSLLoaded();
  }
};
}  // namespace

namespace {
std::unique_ptr<TIdSSLContext> BuildClientContext(const std::string& ARoot, bool AVerify = true) {
  auto c = std::make_unique<TIdSSLContext>();
  c->Mode = TIdSSLMode::sslmClient;
  c->RootCertFile = ARoot;
  if (AVerify) c->VerifyMode = {TIdSSLVerifyMode::sslvrfPeer};
  c->BuildContext(TIdSSLCtxMode::sslCtxClient);
  return c;
}
X509_STORE* StoreOf(const TIdSSLContext& AContext) { return detail::OSSL.SSL_CTX_get_cert_store(AContext.Context); }
}  // namespace

TEST_F(TLSTest, ContextsWithoutRootsOfTheirOwnShareOneDefaultStore) {
  auto a = BuildClientContext("");
  auto b = BuildClientContext("");
  auto own = BuildClientContext(P("ca.pem"));
  X509_STORE* shared = StoreOf(*a);
  ASSERT_NE(shared, nullptr);
  EXPECT_EQ(StoreOf(*b), shared);
  // Roots added to a context's store must not reach the others.
  EXPECT_NE(StoreOf(*own), shared);
  // The store outlives a context that used it.
  a.reset();
  EXPECT_EQ(StoreOf(*b), shared);
  // A context that checks no peer reads no roots, until it starts checking.
  auto unchecked = BuildClientContext("", false);
  EXPECT_NE(StoreOf(*unchecked), shared);
  unchecked->ApplyVerifyMode({TIdSSLVerifyMode::sslvrfPeer}, false);
  EXPECT_EQ(StoreOf(*unchecked), shared);
}

// Contexts with the same root file share the store read from it, for as long
// as the file is unchanged; another file, or the file rewritten or replaced,
// is read anew, so the trust always follows the file's content.
TEST_F(TLSTest, RootFileStoreIsSharedUntilTheFileChanges) {
  const std::string root = P("changing-root.pem");
  auto write = [&](const std::string& AFrom, const std::string& AExtra) {
    std::ifstream in(P(AFrom), std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::ofstream(root, std::ios::binary | std::ios::trunc) << text << AExtra;
  };
  write("ca.pem", "");
  auto first = BuildClientContext(root);
  auto second = BuildClientContext(root);
  EXPECT_EQ(StoreOf(*first), StoreOf(*second));
  EXPECT_NE(StoreOf(*BuildClientContext(P("ca.pem"))), StoreOf(*first));

  SServer server(*gCerts, {}, "server");
  auto open = [&] {
    auto h = MakeClient(server.Port(), V::sslvTLSv1_3);
    VerifyWith(*h, "changing-root.pem");
    h->Open();
    Echo(*h);
  };
  open();
  // Rewritten in place with a root that did not sign the server: refused.
  write("other.pem", "");
  EXPECT_NE(StoreOf(*BuildClientContext(root)), StoreOf(*first));
  EXPECT_THROW(open(), EIdOpenSSLError);
  // Written back (with a line more): trusted again.
  write("ca.pem", "\n");
  open();
  // Replaced by another file under the same name.
  const std::string replacement = P("replacement-root.pem");
  std::filesystem::copy_file(P("other.pem"), replacement, std::filesystem::copy_options::overwrite_existing);
  std::filesystem::rename(replacement, root);
  EXPECT_THROW(open(), EIdOpenSSLError);
  // A file that cannot be read is an error every time, never a stale store.
  std::filesystem::remove(root);
  EXPECT_THROW(BuildClientContext(root), EIdOSSLLoadingRootCertError);
  EXPECT_THROW(BuildClientContext(root), EIdOSSLLoadingRootCertError);
}

// The context is made per Open from the options as they are then: each
// change between two connections takes effect on the next.
TEST_F(TLSTest, EachOpenFollowsTheOptionsAsTheyAreThen) {
  SServer server(*gCerts, {}, "server");
  auto h = MakeClient(server.Port(), V::sslvTLSv1_3);
  auto attempt = [&] {
    try {
      h->Open();
      Echo(*h);
      const std::string version = h->GetSSLVersion();
      h->Close();
      return version;
    } catch (const EIdOpenSSLError&) {
      h->Close();
      return std::string("refused");
    }
  };
  VerifyWith(*h);
  EXPECT_EQ(attempt(), "TLSv1.3");
  h->SSLOptions().RootCertFile = P("other.pem");
  EXPECT_EQ(attempt(), "refused");
  h->SSLOptions().VerifyMode = {};
  EXPECT_EQ(attempt(), "TLSv1.3");
  h->SSLOptions().SetMethod(V::sslvTLSv1_2);
  EXPECT_EQ(attempt(), "TLSv1.2");
  h->SSLOptions().VerifyMode = {TIdSSLVerifyMode::sslvrfPeer};
  h->SSLOptions().RootCertFile = P("ca.pem");
  h->SetURIToCheck("https://wrong.test/");
  EXPECT_EQ(attempt(), "refused");
  h->SetURIToCheck("https://localhost/");
  EXPECT_EQ(attempt(), "TLSv1.2");
}

// Handlers with the same options share the context built for the first
// (building one costs more than a handshake); any option that shapes it
// gives another, and a context changed after it was built becomes its own.
TEST_F(TLSTest, HandlersWithTheSameOptionsShareOneContext) {
  SServer server(*gCerts, {}, "server");
  // The context a connection used (the shared ones stay kept after Close;
  // s_server serves one connection at a time, so each is closed).
  auto connect = [&](const std::function<void(TIdSSLIOHandlerSocketOpenSSL&)>& AChange) {
    auto h = MakeClient(server.Port(), V::sslvTLSv1_3);
    VerifyWith(*h);
    if (AChange) AChange(*h);
    h->Open();
    Echo(*h);
    EXPECT_TRUE(h->SSLContext()->Shared());
    SSL_CTX* used = h->SSLContext()->Context;
    h->Close();
    return used;
  };
  SSL_CTX* shared = connect(nullptr);
  EXPECT_EQ(connect(nullptr), shared);
  int statusLines = 0;
  const std::pair<const char*, std::function<void(TIdSSLIOHandlerSocketOpenSSL&)>> changes[] = {
      {"version", [](auto& h) { h.SSLOptions().SetMethod(V::sslvTLSv1_2); }},
      {"cipher list", [](auto& h) { h.SSLOptions().CipherList = "ECDHE-ECDSA-AES128-GCM-SHA256"; }},
      {"verify depth", [](auto& h) { h.SSLOptions().VerifyDepth = 5; }},
      {"no verification", [](auto& h) { h.SSLOptions().VerifyMode = {}; }},
      {"ALPN", [](auto& h) { h.ALPNProtocols().Add("http/1.1"); }},
      {"status event", [&](auto& h) { h.OnStatusInfo = [&](const std::string&) { ++statusLines; }; }},
      {"verify event",
       [](auto& h) { h.OnVerifyPeer = [](TIdX509*, bool AOk, std::int32_t, std::int32_t) { return AOk; }; }},
  };
  for (const auto& [name, change] : changes) {
    SCOPED_TRACE(name);
    EXPECT_NE(connect(change), shared);
  }
  // Status lines reach the handler whose event it is, not others sharing
  // its context.
  statusLines = 0;
  SSL_CTX* withStatus = connect([&](auto& h) { h.OnStatusInfo = [&](const std::string&) { ++statusLines; }; });
  const int perConnection = statusLines;
  EXPECT_GT(perConnection, 0);
  EXPECT_EQ(connect([](auto& h) { h.OnStatusInfo = [](const std::string&) {}; }), withStatus);
  EXPECT_EQ(statusLines, perConnection);

  // A context with the first handler's options, switched to no verification
  // after it was built, leaves the shared one checking: a server for
  // another name is still refused.
  TIdSSLContext same;
  same.Mode = TIdSSLMode::sslmClient;
  same.Method = V::sslvTLSv1_3;
  same.SSLVersions = {V::sslvTLSv1_3};
  same.RootCertFile = P("ca.pem");
  same.VerifyMode = {TIdSSLVerifyMode::sslvrfPeer};
  same.ShareAlike = true;
  same.BuildContext(TIdSSLCtxMode::sslCtxClient);
  EXPECT_EQ(same.Context, shared);
  same.ApplyVerifyMode({}, false);
  EXPECT_NE(same.Context, shared);
  EXPECT_FALSE(same.Shared());
  SServer wrongName(*gCerts, {}, "other");
  auto h = MakeClient(wrongName.Port(), V::sslvTLSv1_3);
  VerifyWith(*h);
  EXPECT_THROW(h->Open(), EIdOpenSSLError);
}

// Handlers open on many threads at once: contexts taken from and kept for
// sharing concurrently, with a root file rewritten meanwhile, are always
// whole (AddressSanitizer watches the references), and the ones with equal
// options and file content end up as one.
TEST_F(TLSTest, ContextsAreSharedSafelyAcrossThreads) {
  const std::string root = P("threads-root.pem");
  std::filesystem::copy_file(P("ca.pem"), root, std::filesystem::copy_options::overwrite_existing);
  auto build = [&](bool AWithRoot, bool AVerify) {
    auto c = std::make_unique<TIdSSLContext>();
    c->Mode = TIdSSLMode::sslmClient;
    c->Method = V::sslvTLSv1_3;
    c->SSLVersions = {V::sslvTLSv1_3};
    if (AWithRoot) c->RootCertFile = root;
    if (AVerify) c->VerifyMode = {TIdSSLVerifyMode::sslvrfPeer};
    c->ShareAlike = true;
    c->BuildContext(TIdSSLCtxMode::sslCtxClient);
    return c;
  };
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 6; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 150; ++i) {
        try {
          auto c = build((t + i) % 2 == 0, i % 3 != 0);
          if (!c->Context || !c->Shared()) ++failures;
        } catch (const std::exception&) {
          ++failures;  // the file is always there, old or new
        }
      }
    });
  }
  threads.emplace_back([&] {
    // Replaced whole each time (written aside, then renamed), as files that
    // are read while they change should be.
    for (int i = 0; i < 30; ++i) {
      std::filesystem::copy_file(P(i % 2 ? "other.pem" : "ca.pem"), root + ".new",
                                 std::filesystem::copy_options::overwrite_existing);
      std::filesystem::rename(root + ".new", root);
    }
  });
  for (auto& t : threads) t.join();
  EXPECT_EQ(failures.load(), 0);
  std::filesystem::copy_file(P("ca.pem"), root, std::filesystem::copy_options::overwrite_existing);
  EXPECT_EQ(build(true, true)->Context, build(true, true)->Context);
  EXPECT_EQ(build(false, false)->Context, build(false, false)->Context);
  EXPECT_NE(build(true, true)->Context, build(false, true)->Context);
}

TEST_F(TLSTest, DefaultVerifyPathsServeEveryConnection) {
  const std::string emptyDir = P("no_certs");
  std::filesystem::create_directory(emptyDir);
  SServer server(*gCerts, {}, "server");
  {
    // The test CA as the system's: verification needs no root file, on the
    // first connection and the ones after (the store is shared), and a root
    // file of the handler's own adds to the defaults rather than replace them.
    SystemRoots roots(P("ca.pem"), emptyDir);
    for (const char* root : {"", "", "other.pem"}) {
      SCOPED_TRACE(root);
      auto h = MakeClient(server.Port(), V::sslvTLSv1_3);
      h->SSLOptions().VerifyMode = {TIdSSLVerifyMode::sslvrfPeer};
      if (*root) h->SSLOptions().RootCertFile = P(root);
      h->Open();
      Echo(*h);
    }
  }
  {
    // Without it, the shared store read for this load does not know the CA.
    SystemRoots roots(P("no_such_file.pem"), emptyDir);
    auto h = MakeClient(server.Port(), V::sslvTLSv1_3);
    h->SSLOptions().VerifyMode = {TIdSSLVerifyMode::sslvrfPeer};
    EXPECT_THROW(h->Open(), EIdOpenSSLError);
  }
}

TEST_F(TLSTest, VerifyPeerEventSeesEachDepthAndDecides) {
  SServer server(*gCerts, {"-cert_chain", P("int.pem")}, "leaf");
  auto h = MakeClient(server.Port(), V::sslvTLSv1_3);
  VerifyWith(*h);
  std::vector<int> depths;
  std::string leafSubject;
  h->OnVerifyPeer = [&](TIdX509* ACert, bool AOk, std::int32_t ADepth, std::int32_t) {
    depths.push_back(ADepth);
    if (ADepth == 0) leafSubject = ACert->Subject().OneLine();
    EXPECT_TRUE(AOk) << "depth " << ADepth;
    return AOk;
  };
  h->Open();
  EXPECT_EQ(depths, (std::vector<int>{2, 1, 0}));
  EXPECT_EQ(leafSubject, "/CN=localhost");
  Echo(*h);

  // The event can overrule: an expired certificate accepted by the application.
  SServer expired(*gCerts, {}, "expired");
  auto h2 = MakeClient(expired.Port(), V::sslvTLSv1_3);
  VerifyWith(*h2);
  int refusals = 0;
  h2->OnVerifyPeer = [&](TIdX509*, bool AOk, std::int32_t, std::int32_t AError) {
    if (!AOk) {
      ++refusals;
      EXPECT_EQ(AError, X509_V_ERR_CERT_HAS_EXPIRED);
    }
    return true;
  };
  h2->Open();
  EXPECT_GE(refusals, 1);
  Echo(*h2);
}

TEST_F(TLSTest, ClientCertificateForAServerThatAsks) {
  std::vector<std::string> ask{"-Verify", "1", "-CAfile", P("ca.pem"), "-tls1_2"};
  struct Case {
    const char* Name;
    std::string Cert, Key;
    const char* Password;
  };
  // The server's own certificate names no purpose, so it serves as a
  // client's too.
  const Case cases[] = {
      {"PEM", P("client.pem"), P("client.key"), nullptr},
      {"encrypted key", P("server.pem"), P("server_enc.key"), "secret"},
      {"PKCS#12", P("server.P12"), P("server.P12"), "secret"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    SServer server(*gCerts, ask);
    auto h = MakeClient(server.Port(), V::sslvTLSv1_2);
    h->SSLOptions().CertFile = c.Cert;
    h->SSLOptions().KeyFile = c.Key;
    if (c.Password) h->OnGetPassword = [&](std::string& APassword) { APassword = c.Password; };
    h->Open();
    Echo(*h);
  }
  for (const auto& c : {cases[1], cases[2]}) {
    SCOPED_TRACE(std::string(c.Name) + " with a wrong password");
    SServer server(*gCerts, ask);
    auto h = MakeClient(server.Port(), V::sslvTLSv1_2);
    h->SSLOptions().CertFile = c.Cert;
    h->SSLOptions().KeyFile = c.Key;
    h->OnGetPassword = [](std::string& APassword) { APassword = "wrong"; };
    EXPECT_THROW(h->Open(), EIdOpenSSLAPICryptoError);
  }
  {
    SServer server(*gCerts, ask);
    auto h = MakeClient(server.Port(), V::sslvTLSv1_2);
    EXPECT_THROW(
        {
          h->Open();
          Echo(*h);
        },
        EIdException);
  }
}

TEST_F(TLSTest, ReceiveTimeOutInsideTLSIsAReadTimeout) {
  SServer server(*gCerts, {});
  auto h = MakeClient(server.Port(), V::sslvTLSv1_3);
  h->SetReadTimeout(300);
  h->Open();
  // The socket's own receive time-out (set for the session) runs out inside
  // SSL_read; without a readiness wait in front.
  EXPECT_THROW(h->ReadFromSource(true, IdTimeoutInfinite, true), EIdReadTimeout);
  // The handler's own limit is the socket's: the receive keeps it, with no
  // readiness wait in front, and the line read ends as timed out in time.
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(h->ReadLn(), "");
  EXPECT_TRUE(h->ReadLnTimedOut());
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  // Another limit goes through the readiness wait, to the same end.
  EXPECT_EQ(h->ReadLn("\n", 200, -1), "");
  EXPECT_TRUE(h->ReadLnTimedOut());
  // And the session still works afterwards.
  Echo(*h);
}

TEST_F(TLSTest, BogusLibraryFolderCannotLoad) {
  ShutdownOpenSSL();
  SetOpenSSLLibraryPath("/nonexistent/lib");
  auto h = MakeClient(1, V::sslvTLSv1_2);
  try {
    h->Open();
    ADD_FAILURE() << "opened";
  } catch (const EIdOSSLCouldNotLoadSSLLibrary& e) {
    EXPECT_EQ(e.Message(), "Could not load SSL library.");
  }
  EXPECT_NE(detail::OpenSSLLoadFailureReason().find("/nonexistent/lib/libcrypto.so.3"), std::string::npos);
  SetOpenSSLLibraryPath("");
  ASSERT_TRUE(EnsureOpenSSLLoaded());
}

TEST_F(TLSTest, PeerCertificateViewMatchesTheCommandLine) {
  SServer server(*gCerts, {});
  auto h = MakeClient(server.Port(), V::sslvTLSv1_3);
  h->Open();
  TIdX509* cert = h->SSLSocket()->PeerCert();
  ASSERT_NE(cert, nullptr);

  Process x509(
      {"openssl", "x509", "-in", P("server.pem"), "-noout", "-serial", "-fingerprint", "-sha256", "-issuer_hash"});
  x509.CloseInput();
  std::string out = x509.ReadAll();
  auto field = [&](const std::string& AKey) {
    auto at = out.find(AKey);
    if (at == std::string::npos) return std::string();
    auto end = out.find('\n', at);
    return out.substr(at + AKey.size(), end - at - AKey.size());
  };
  auto lower = [](std::string s) {
    for (auto& ch : s) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    return s;
  };
  EXPECT_EQ(cert->Fingerprints().SHA256AsString(), lower(field("sha256 Fingerprint=")));
  std::string serial = lower(field("serial="));
  std::string joined;
  for (std::size_t i = 0; i < serial.size(); i += 2) joined += (i ? ":" : "") + serial.substr(i, 2);
  EXPECT_EQ(cert->SerialNumber(), joined);
  EXPECT_EQ(cert->Issuer().HashAsString(), lower(out.substr(out.rfind('\n', out.size() - 2) + 1, 8)));
  EXPECT_EQ(cert->Issuer().OneLine(), "/CN=Test Root CA");
  EXPECT_EQ(cert->Version(), 2);  // X.509 v3
  EXPECT_GT(cert->notAfter(), cert->notBefore());
  EXPECT_GT(cert->notBefore(), 0);
  EXPECT_EQ(h->SSLSocket()->Cipher()->Version(), "TLSv1.3");
  EXPECT_FALSE(cert->DisplayInfo().Text().empty());
}

// ---------------------------------------------------------------------------
// s_client against our server side

namespace {
struct ServerRun {
  std::string Version, ALPN, PeerSubject, Line;
};

// Accepts one s_client, runs the handshake, reads one line, answers it and
// closes; s_client's output is returned in VOutput.
ServerRun RunServer(TIdServerIOHandlerSSLOpenSSL& AServer, const std::vector<std::string>& AClientArgs,
                    std::string& VOutput) {
  Listener listener;
  Process client(SClient(listener.Port(), AClientArgs));
  client.Write("ping\n");
  auto h = listener.Accept(AServer);
  h->SetPassThrough(false);  // the handshake starts here
  ServerRun r;
  r.Version = h->GetSSLVersion();
  r.ALPN = h->GetALPNProtocol();
  if (TIdX509* peer = h->SSLSocket()->PeerCert()) r.PeerSubject = peer->Subject().OneLine();
  r.Line = h->ReadLn();
  h->WriteLn("pong");
  h->Close();
  VOutput = client.ReadAll(10000);
  client.Wait(5000);
  return r;
}
}  // namespace

TEST_F(TLSTest, ServerSpeaksTheVersionAndALPNItChooses) {
  struct Case {
    V Method;
    const char* ClientVersion;
    const char* Expected;
  };
  const Case cases[] = {{V::sslvTLSv1_3, "-tls1_3", "TLSv1.3"}, {V::sslvTLSv1_2, "-tls1_2", "TLSv1.2"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Expected);
    TIdServerIOHandlerSSLOpenSSL server;
    server.SSLOptions().SetMethod(c.Method);
    server.SSLOptions().Mode = TIdSSLMode::sslmServer;
    server.SSLOptions().CertFile = P("server.pem");
    server.SSLOptions().KeyFile = P("server.key");
    std::vector<std::string> offered;
    server.OnALPNSelect = [&](TPersistent*, TStrings& AProtocols, std::string& AProtocol) {
      for (int i = 0; i < AProtocols.Count(); ++i) offered.push_back(AProtocols[i]);
      AProtocol = "http/1.1";
    };
    server.Init();
    std::string out;
    ServerRun r = RunServer(server,
                            {c.ClientVersion, "-alpn", "h2,http/1.1", "-CAfile", P("ca.pem"), "-verify_return_error",
                             "-verify_hostname", "localhost"},
                            out);
    EXPECT_EQ(r.Version, c.Expected);
    EXPECT_EQ(r.ALPN, "http/1.1");
    EXPECT_EQ(offered, (std::vector<std::string>{"h2", "http/1.1"}));
    EXPECT_EQ(r.Line, "ping");
    EXPECT_NE(out.find("pong"), std::string::npos) << out;
    EXPECT_NE(out.find("Verify return code: 0 (ok)"), std::string::npos) << out;
    EXPECT_NE(out.find("ALPN protocol: http/1.1"), std::string::npos) << out;
  }
}

TEST_F(TLSTest, ServerSpeaksOldVersionsOnlyWhenAskedFor) {
  struct Case {
    V Method;
    const char* ClientVersion;
    const char* Expected;
  };
  for (const Case& c : {Case{V::sslvTLSv1, "-tls1", "TLSv1"}, Case{V::sslvTLSv1_1, "-tls1_1", "TLSv1.1"}}) {
    SCOPED_TRACE(c.Expected);
    TIdServerIOHandlerSSLOpenSSL server;
    server.SSLOptions().SetMethod(c.Method);
    server.SSLOptions().CertFile = P("server.pem");
    server.SSLOptions().KeyFile = P("server.key");
    server.Init();
    std::string out;
    // The client allows the old version the way a legacy peer would.
    ServerRun r = RunServer(server, {c.ClientVersion, "-cipher", "DEFAULT:@SECLEVEL=0"}, out);
    EXPECT_EQ(r.Version, c.Expected);
    EXPECT_EQ(r.Line, "ping");
    EXPECT_NE(out.find("pong"), std::string::npos) << out;
  }
}

TEST_F(TLSTest, ServerCertificateSources) {
  struct Case {
    const char* Name;
    std::string Cert, Key;
    const char* Password;
  };
  const Case cases[] = {
      // The intermediate travels with the leaf, so a client that trusts only
      // the root verifies.
      {"PEM chain", P("chain.pem"), P("leaf.key"), nullptr},
      {"encrypted key", P("server.pem"), P("server_enc.key"), "secret"},
      {"PKCS#12, upper-case extension", P("server.P12"), P("server.P12"), "secret"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    TIdServerIOHandlerSSLOpenSSL server;
    server.SSLOptions().SetMethod(V::sslvTLSv1_3);
    server.SSLOptions().CertFile = c.Cert;
    server.SSLOptions().KeyFile = c.Key;
    if (c.Password) server.OnGetPassword = [&](std::string& APassword) { APassword = c.Password; };
    server.Init();
    std::string out;
    ServerRun r =
        RunServer(server, {"-CAfile", P("ca.pem"), "-verify_return_error", "-verify_hostname", "localhost"}, out);
    EXPECT_EQ(r.Line, "ping");
    EXPECT_NE(out.find("Verify return code: 0 (ok)"), std::string::npos) << out;
  }
}

TEST_F(TLSTest, ServerRequiresAndReadsTheClientCertificate) {
  TIdServerIOHandlerSSLOpenSSL server;
  server.SSLOptions().SetMethod(V::sslvTLSv1_2);
  server.SSLOptions().CertFile = P("server.pem");
  server.SSLOptions().KeyFile = P("server.key");
  server.SSLOptions().RootCertFile = P("ca.pem");
  server.SSLOptions().VerifyMode = {TIdSSLVerifyMode::sslvrfPeer, TIdSSLVerifyMode::sslvrfFailIfNoPeerCert};
  server.Init();
  std::string out;
  ServerRun r = RunServer(server, {"-cert", P("client.pem"), "-key", P("client.key")}, out);
  EXPECT_EQ(r.PeerSubject, "/CN=Test Client");
  EXPECT_EQ(r.Line, "ping");

  // Without one, the handshake fails on our side.
  Listener listener;
  Process client(SClient(listener.Port(), {}));
  auto h = listener.Accept(server);
  EXPECT_THROW(h->SetPassThrough(false), EIdOpenSSLError);
}

TEST_F(TLSTest, PeerClosingWithoutCloseNotifyIsAGracefulClose) {
  TIdServerIOHandlerSSLOpenSSL server;
  server.SSLOptions().SetMethod(V::sslvTLSv1_2);
  server.SSLOptions().CertFile = P("server.pem");
  server.SSLOptions().KeyFile = P("server.key");
  server.Init();
  Listener listener;
  Process client(SClient(listener.Port(), {}));
  client.Write("first\n");
  auto h = listener.Accept(server);
  h->SetPassThrough(false);
  EXPECT_EQ(h->ReadLn(), "first");
  // Everything we sent has been read (TLS 1.2 sends nothing after the
  // handshake), so the kill ends the connection with a plain FIN.
  ASSERT_TRUE(client.WaitFor("Verify return code"));

  client.Kill();  // the process ends; its socket closes with no TLS alert
  client.Wait(5000);
  EXPECT_THROW(h->ReadLn(), EIdConnClosedGracefully);
}

// ---------------------------------------------------------------------------
// Loading refused

TEST_F(TLSTest, ContextLoadFailuresNameTheirPart) {
  struct Case {
    const char* Name;
    std::string Cert, Key, DH, Root;
    const char* Password;
    const char* Message;
  };
  const Case cases[] = {
      {"wrong key password", P("server.pem"), P("server_enc.key"), "", "", "wrong",
       "Could not load key, check password.\r\n"},
      {"no key password", P("server.pem"), P("server_enc.key"), "", "", nullptr,
       "Could not load key, check password.\r\n"},
      {"key of another certificate", P("server.pem"), P("other.key"), "", "", nullptr,
       "Could not load key, check password.\r\n"},
      {"wrong PKCS#12 password", P("server.P12"), "", "", "", "wrong", "Could not load certificate.\r\n"},
      {"missing certificate", P("absent.pem"), "", "", "", nullptr, "Could not load certificate.\r\n"},
      {"key file as certificate", P("server.key"), "", "", "", nullptr, "Could not load certificate.\r\n"},
      {"DH parameters from a certificate", "", "", P("server.pem"), "", nullptr, "Could not load DH Parameters.\r\n"},
      {"root file without certificates", "", "", "", P("server.key"), nullptr, "Could not load root certificate.\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    TIdServerIOHandlerSSLOpenSSL server;
    server.SSLOptions().SetMethod(V::sslvTLSv1_2);
    server.SSLOptions().CertFile = c.Cert;
    server.SSLOptions().KeyFile = c.Key;
    server.SSLOptions().DHParamsFile = c.DH;
    server.SSLOptions().RootCertFile = c.Root;
    if (c.Password) server.OnGetPassword = [&](std::string& APassword) { APassword = c.Password; };
    try {
      server.Init();
      ADD_FAILURE() << "built";
    } catch (const EIdOpenSSLAPICryptoError& e) {
      EXPECT_EQ(e.Message().rfind(c.Message, 0), 0u) << e.Message();
    }
  }

  // The good ones, for contrast.
  TIdServerIOHandlerSSLOpenSSL good;
  good.SSLOptions().SetMethod(V::sslvTLSv1_2);
  good.SSLOptions().CertFile = P("server.pem");
  good.SSLOptions().KeyFile = P("server.key");
  good.SSLOptions().DHParamsFile = P("dh.pem");
  good.SSLOptions().RootCertFile = P("ca.pem");
  EXPECT_NO_THROW(good.Init());
}
