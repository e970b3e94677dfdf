// The run-time binding of the crypto and TLS libraries: which files it opens,
// what it reports when it cannot, the level it settles on, and the error
// texts built from OpenSSL's queue.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "transport/vynIdSSLOpenSSLHeaders.h"
#include "transport/vynIdStack.h"

using detail::OSSL;
namespace fs = std::filesystem;

namespace {

// Leaves the binding loaded from the system's folder, whatever a test did.
class BindingTest : public ::testing::Test {
protected:
  void TearDown() override {
    ShutdownOpenSSL();
    SetOpenSSLLibraryPath("");
    SetOpenSSLAPIVersion(TwsOpenSSLAPI::oslAPI_1_0);
    ASSERT_TRUE(EnsureOpenSSLLoaded()) << detail::OpenSSLLoadFailureReason();
  }
};

std::string SystemLibrary(const char* AName) {
  for (const char* dir : {"/usr/lib/x86_64-linux-gnu/", "/usr/lib/aarch64-linux-gnu/", "/usr/lib64/", "/usr/lib/"}) {
    std::string p = std::string(dir) + AName;
    if (fs::exists(p)) return p;
  }
  return {};
}

// A temporary folder of symbolic links standing in for a library folder.
class LibFolder {
public:
  LibFolder() {
    char tmpl[] = "/tmp/ossl_libsXXXXXX";
    FPath = ::mkdtemp(tmpl);
  }
  ~LibFolder() { fs::remove_all(FPath); }
  void Link(const std::string& ATarget, const std::string& AName) { fs::create_symlink(ATarget, FPath / AName); }
  std::string Path() const { return FPath.string(); }

private:
  fs::path FPath;
};

}  // namespace

TEST_F(BindingTest, LoadsTheSystemLibraryAndSettlesOnItsLevel) {
  // The default level names the 1.0 line; the system has only 3.x, which the
  // binding falls through to and then treats as what it is.
  SetOpenSSLAPIVersion(TwsOpenSSLAPI::oslAPI_1_0);
  ASSERT_TRUE(EnsureOpenSSLLoaded()) << detail::OpenSSLLoadFailureReason();
  EXPECT_EQ(detail::OpenSSLEffectiveAPIVersion(), TwsOpenSSLAPI::oslAPI_1_1);
  EXPECT_GE(OpenSSLVersionNumber(), 0x30000000u);
  EXPECT_TRUE(detail::OpenSSLLoadFailureReason().empty());
  // The 3.x spellings are the ones bound.
  EXPECT_NE(OSSL.SSL_get_peer_certificate, nullptr);
  EXPECT_NE(OSSL.X509_NAME_hash_ex, nullptr);
  EXPECT_NE(OSSL.SSL_CTX_set_options, nullptr);
  EXPECT_NE(OSSL.ERR_new, nullptr);
  EXPECT_NE(OSSL.ERR_set_error, nullptr);
  EXPECT_NE(OSSL.SSLv23_method, nullptr);
  // Entries of the 1.0 line stay empty.
  EXPECT_EQ(OSSL.SSL_library_init, nullptr);
  EXPECT_EQ(OSSL.SSLeay, nullptr);
  // Idempotent.
  EXPECT_TRUE(EnsureOpenSSLLoaded());
}

TEST_F(BindingTest, LibraryPathGetsOneTrailingDelimiter) {
  SetOpenSSLLibraryPath("/opt/ssl");
  EXPECT_EQ(OpenSSLLibraryPath(), "/opt/ssl/");
  SetOpenSSLLibraryPath("/opt/ssl/");
  EXPECT_EQ(OpenSSLLibraryPath(), "/opt/ssl/");
  SetOpenSSLLibraryPath("");
  EXPECT_EQ(OpenSSLLibraryPath(), "");
}

TEST_F(BindingTest, BogusFolderFailsWithTheReasonReadable) {
  ShutdownOpenSSL();
  for (auto level : {TwsOpenSSLAPI::oslAPI_1_0, TwsOpenSSLAPI::oslAPI_1_1}) {
    SetOpenSSLAPIVersion(level);
    SetOpenSSLLibraryPath("/nonexistent/ssl");
    EXPECT_FALSE(EnsureOpenSSLLoaded());
    std::string why = detail::OpenSSLLoadFailureReason();
    EXPECT_NE(why.find("Failed to load /nonexistent/ssl/libcrypto.so.3."), std::string::npos) << why;
    EXPECT_NE(why.find("Failed to load /nonexistent/ssl/libcrypto.so.1.1."), std::string::npos) << why;
    // The loader's own text comes along.
    EXPECT_NE(why.find("No such file or directory"), std::string::npos) << why;
    EXPECT_EQ(why.find("libssl3.so"), std::string::npos) << why;
    EXPECT_EQ(why.find("libcrypto.so.1.0.2") != std::string::npos, level == TwsOpenSSLAPI::oslAPI_1_0) << why;
  }
}

TEST_F(BindingTest, FolderWithoutTheRightPairFails) {
  std::string crypto = SystemLibrary("libcrypto.so.3");
  std::string ssl = SystemLibrary("libssl.so.3");
  std::string other = SystemLibrary("libz.so.1");
  ASSERT_FALSE(crypto.empty());
  ASSERT_FALSE(ssl.empty());
  ASSERT_FALSE(other.empty());
  ShutdownOpenSSL();

  {
    // Only the file name of another TLS library: never tried.
    LibFolder dir;
    dir.Link(crypto, "libcrypto.so.3");
    dir.Link(ssl, "libssl3.so");
    SetOpenSSLLibraryPath(dir.Path());
    EXPECT_FALSE(EnsureOpenSSLLoaded());
    std::string why = detail::OpenSSLLoadFailureReason();
    EXPECT_NE(why.find("libssl.so.3."), std::string::npos) << why;
    EXPECT_EQ(why.find("libssl3.so"), std::string::npos) << why;
  }
  {
    // A TLS library that lacks the functions: each missing required one is named.
    LibFolder dir;
    dir.Link(crypto, "libcrypto.so.3");
    dir.Link(other, "libssl.so.3");
    SetOpenSSLLibraryPath(dir.Path());
    EXPECT_FALSE(BindOpenSSLLibraries());
    std::string why = detail::OpenSSLLoadFailureReason();
    EXPECT_NE(why.find("Missing function SSL_CTX_new."), std::string::npos) << why;
    EXPECT_NE(why.find("Missing function SSL_get1_peer_certificate."), std::string::npos) << why;
    EXPECT_EQ(why.find("Missing function EVP_DigestInit_ex."), std::string::npos) << why;
    // Retried while the same libraries stay open.
    EXPECT_FALSE(BindOpenSSLLibraries());
    EXPECT_FALSE(EnsureOpenSSLLoaded());
    UnbindOpenSSLLibraries();
  }
  {
    // The folder setting prefixes both names.
    LibFolder dir;
    dir.Link(crypto, "libcrypto.so.3");
    dir.Link(ssl, "libssl.so.3");
    SetOpenSSLLibraryPath(dir.Path());
    EXPECT_TRUE(EnsureOpenSSLLoaded()) << detail::OpenSSLLoadFailureReason();
  }
}

TEST_F(BindingTest, ConcurrentFirstUsesInitialiseOnce) {
  ShutdownOpenSSL();
  std::vector<std::thread> threads;
  std::vector<int> results(8, 0);
  for (std::size_t i = 0; i < results.size(); ++i)
    threads.emplace_back([&results, i] { results[i] = EnsureOpenSSLLoaded() ? 1 : 0; });
  for (auto& t : threads) t.join();
  for (int r : results) EXPECT_EQ(r, 1);
}

// ---------------------------------------------------------------------------
// Error texts

TEST_F(BindingTest, QueuedErrorUsesTheLibrarysCodeLayout) {
  ASSERT_TRUE(EnsureOpenSSLLoaded());
  OSSL.ERR_clear_error();
  detail::OpenSSLPutError(detail::ERR_LIB_PEM_, 0, detail::PEM_R_NO_START_LINE_);
  unsigned long code = OSSL.ERR_peek_last_error();
  EXPECT_EQ(detail::ERRGetLib(code), 9);
  EXPECT_EQ(detail::ERRGetReason(code), 108);
  try {
    EIdOSSLLoadingCertError::RaiseException("Could not load certificate.");
    FAIL();
  } catch (const EIdOSSLLoadingCertError& e) {
    EXPECT_EQ(e.ErrorCode(), code);
    std::string m = e.Message();
    EXPECT_EQ(m.rfind("Could not load certificate.\r\nerror:", 0), 0u) << m;
    EXPECT_NE(m.find("no start line"), std::string::npos) << m;
  }
  EXPECT_EQ(OSSL.ERR_peek_error(), 0u);  // taken off the queue
}

TEST_F(BindingTest, TLSErrorCodesMapToTheirExceptions) {
  ASSERT_TRUE(EnsureOpenSSLLoaded());
  TIdStack::IncUsage();
  OSSL.ERR_clear_error();

  struct Case {
    const char* Name;
    int Err, Ret;
    const char* Message;
    const char* Expected;  // whole message, or null when another class is raised
  };
  const Case cases[] = {
      {"syscall EOF with caller text", SSL_ERROR_SYSCALL, 0, "Error connecting with SSL.",
       "Error connecting with SSL.\r\nEOF was observed that violates the protocol"},
      {"syscall EOF alone", SSL_ERROR_SYSCALL, 0, "", "EOF was observed that violates the protocol"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    try {
      EIdOSSLConnectError::RaiseExceptionCode(c.Err, c.Ret, c.Message);
      FAIL();
    } catch (const EIdOSSLConnectError& e) {
      EXPECT_EQ(e.Message(), c.Expected);
      EXPECT_EQ(e.ErrorCode(), c.Err);
      EXPECT_EQ(e.RetCode(), c.Ret);
    }
  }

  // A failed socket call under TLS is the socket's own error.
  errno = ECONNRESET;
  EXPECT_THROW(EIdOSSLConnectError::RaiseExceptionCode(SSL_ERROR_SYSCALL, -1, "x"), EIdSocketError);

  // A queued crypto error wins over the TLS code, for both codes.
  for (int err : {SSL_ERROR_SSL, SSL_ERROR_SYSCALL}) {
    detail::OpenSSLPutError(detail::ERR_LIB_SSL_, 0, detail::ERR_R_SYS_LIB_);
    EXPECT_THROW(EIdOSSLAcceptError::RaiseExceptionCode(err, 0, "Error accepting connection with SSL."),
                 EIdOSSLUnderlyingCryptoError);
  }
  TIdStack::DecUsage();
}

// ---------------------------------------------------------------------------
// What the hash code reaches through the table

TEST_F(BindingTest, DigestHMACAndDESThroughTheTable) {
  ASSERT_TRUE(EnsureOpenSSLLoaded());
  auto hex = [](const unsigned char* p, unsigned n) {
    static const char* d = "0123456789abcdef";
    std::string s;
    for (unsigned i = 0; i < n; ++i) {
      s += d[p[i] >> 4];
      s += d[p[i] & 15];
    }
    return s;
  };

  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned len = 0;
  EVP_MD_CTX* ctx = OSSL.EVP_MD_CTX_new();
  ASSERT_NE(ctx, nullptr);
  ASSERT_EQ(OSSL.EVP_DigestInit_ex(ctx, OSSL.EVP_sha256(), nullptr), 1);
  ASSERT_EQ(OSSL.EVP_DigestUpdate(ctx, "abc", 3), 1);
  ASSERT_EQ(OSSL.EVP_DigestFinal_ex(ctx, md, &len), 1);
  OSSL.EVP_MD_CTX_free(ctx);
  EXPECT_EQ(hex(md, len), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");

  // RFC 4231 test case 2.
  HMAC_CTX* h = OSSL.HMAC_CTX_new();
  ASSERT_NE(h, nullptr);
  const std::string key = "Jefe", data = "what do ya want for nothing?";
  ASSERT_EQ(OSSL.HMAC_Init_ex(h, key.data(), static_cast<int>(key.size()), OSSL.EVP_sha256(), nullptr), 1);
  ASSERT_EQ(OSSL.HMAC_Update(h, reinterpret_cast<const unsigned char*>(data.data()), data.size()), 1);
  ASSERT_EQ(OSSL.HMAC_Final(h, md, &len), 1);
  OSSL.HMAC_CTX_free(h);
  EXPECT_EQ(hex(md, len), "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");

  // The classic DES example: key 133457799BBCDFF1, block 0123456789ABCDEF.
  ASSERT_NE(OSSL.DES_ecb_encrypt, nullptr);
  detail::DESBlock k = {0x13, 0x34, 0x57, 0x79, 0x9B, 0xBC, 0xDF, 0xF1};
  detail::DESBlock in = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};
  detail::DESBlock out = {};
  detail::DESKeySchedule ks{};
  OSSL.DES_set_key_unchecked(&k, &ks);
  OSSL.DES_ecb_encrypt(&in, &out, &ks, 1);
  EXPECT_EQ(hex(out, 8), "85e813540f0ab405");
}
