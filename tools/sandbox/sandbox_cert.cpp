#include "tools/sandbox/sandbox_cert.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <random>
#include <vector>

#include "platform/SysUtils.h"
#include "transport/vynIdSSLOpenSSLHeaders.h"

namespace sandbox {
using detail::OSSL;

namespace {

[[noreturn]] void Fail(const std::string& aStep) {
  std::string reason;
  if (OSSL.ERR_get_error && OSSL.ERR_error_string_n) {
    if (unsigned long e = OSSL.ERR_get_error()) {
      char buf[256];
      OSSL.ERR_error_string_n(e, buf, sizeof buf);
      reason = std::string(": ") + buf;
    }
  }
  throw Exception("Cannot make the sandbox certificate (" + aStep + ")" + reason);
}

void RequireBinding() {
  if (!EnsureOpenSSLLoaded()) throw Exception("Cannot load OpenSSL: " + detail::OpenSSLLoadFailureReason());
  const auto& t = OSSL;
  const bool complete = t.EVP_PKEY_CTX_new_id && t.EVP_PKEY_CTX_free && t.EVP_PKEY_keygen_init && t.EVP_PKEY_keygen &&
                        t.X509_new && t.X509_set_version && t.ASN1_INTEGER_set && t.X509_gmtime_adj &&
                        t.X509_getm_notBefore && t.X509_getm_notAfter && t.X509_set_pubkey &&
                        t.X509_NAME_add_entry_by_txt && t.X509_set_issuer_name && t.X509V3_set_ctx &&
                        t.X509V3_EXT_nconf_nid && t.X509_add_ext && t.X509_EXTENSION_free && t.X509_sign &&
                        t.PEM_write_bio_X509 && t.PEM_write_bio_PrivateKey && t.EVP_sha256;
  if (!complete) throw Exception("Cannot make the sandbox certificate: the loaded OpenSSL lacks the functions");
}

// The bytes written into a memory BIO.
std::string Drain(BIO* aBio) {
  std::string out;
  char buf[4096];
  for (int n; (n = OSSL.BIO_read(aBio, buf, sizeof buf)) > 0;) out.append(buf, static_cast<std::size_t>(n));
  return out;
}

// Writes aText as the whole file, owner-only; a link in its place is refused.
void WritePrivateFile(const std::string& aFile, const std::string& aText) {
  const int fd = ::open(aFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) throw Exception("Cannot write " + aFile + ": " + std::strerror(errno));
  bool ok = ::fchmod(fd, 0600) == 0;
  for (std::size_t done = 0; ok && done < aText.size();) {
    const ssize_t n = ::write(fd, aText.data() + done, aText.size() - done);
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) done += static_cast<std::size_t>(n);
  }
  const int err = errno;
  ::close(fd);
  if (!ok) throw Exception("Cannot write " + aFile + ": " + std::strerror(err));
}

template <class T, void (*Free)(T*)>
struct Owned {
  T* p = nullptr;
  ~Owned() {
    if (p) Free(p);
  }
};
void FreeKeyCtx(EVP_PKEY_CTX* p) { OSSL.EVP_PKEY_CTX_free(p); }
void FreeKey(EVP_PKEY* p) { OSSL.EVP_PKEY_free(p); }
void FreeCert(X509* p) { OSSL.X509_free(p); }
void FreeExt(X509_EXTENSION* p) { OSSL.X509_EXTENSION_free(p); }
void FreeBio(BIO* p) { OSSL.BIO_free(p); }

}  // namespace

std::string RandomHex(int aCount) {
  std::vector<unsigned char> bytes(static_cast<std::size_t>(aCount));
  if (!EnsureOpenSSLLoaded() || !OSSL.RAND_bytes || OSSL.RAND_bytes(bytes.data(), aCount) != 1) {
    std::random_device rd;
    for (auto& b : bytes) b = static_cast<unsigned char>(rd());
  }
  static const char* kDigits = "0123456789abcdef";
  std::string out;
  for (unsigned char b : bytes) {
    out += kDigits[b >> 4];
    out += kDigits[b & 15];
  }
  return out;
}

CertificateFiles MakeSelfSignedCertificate(const std::string& aFolder, int aValidDays) {
  RequireBinding();
  const auto& t = OSSL;
  t.ERR_clear_error();

  // An RSA key of the library's default size (2048 bits): every TLS peer
  // the tests use accepts it.
  Owned<EVP_PKEY_CTX, FreeKeyCtx> kctx{t.EVP_PKEY_CTX_new_id(EVP_PKEY_RSA, nullptr)};
  if (!kctx.p || t.EVP_PKEY_keygen_init(kctx.p) <= 0) Fail("key context");
  Owned<EVP_PKEY, FreeKey> key;
  if (t.EVP_PKEY_keygen(kctx.p, &key.p) <= 0) Fail("key");

  Owned<X509, FreeCert> cert{t.X509_new()};
  if (!cert.p) Fail("certificate");
  unsigned char serial[4];
  if (!t.RAND_bytes || t.RAND_bytes(serial, sizeof serial) != 1) Fail("serial");
  const long serialNo =
      static_cast<long>(((serial[0] & 0x7F) << 24) | (serial[1] << 16) | (serial[2] << 8) | serial[3]) | 1;
  if (t.X509_set_version(cert.p, 2) != 1 || t.ASN1_INTEGER_set(t.X509_get_serialNumber(cert.p), serialNo) != 1)
    Fail("version");
  // A little back-dated so a peer whose clock is slightly behind accepts it.
  if (!t.X509_gmtime_adj(t.X509_getm_notBefore(cert.p), -3600) ||
      !t.X509_gmtime_adj(t.X509_getm_notAfter(cert.p), 86400L * aValidDays))
    Fail("validity");
  if (t.X509_set_pubkey(cert.p, key.p) != 1) Fail("public key");
  X509_NAME* name = t.X509_get_subject_name(cert.p);
  const auto cn = reinterpret_cast<const unsigned char*>("localhost");
  const auto org = reinterpret_cast<const unsigned char*>("Sandbox service");
  if (t.X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC, org, -1, -1, 0) != 1 ||
      t.X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, cn, -1, -1, 0) != 1 ||
      t.X509_set_issuer_name(cert.p, name) != 1)
    Fail("name");

  X509V3_CTX ctx;
  std::memset(&ctx, 0, sizeof ctx);
  t.X509V3_set_ctx(&ctx, cert.p, cert.p, nullptr, nullptr, 0);
  // Its own root: clients trust this very file.
  const std::pair<int, const char*> extensions[] = {
      {NID_basic_constraints, "critical,CA:TRUE"},
      {NID_key_usage, "critical,digitalSignature,keyEncipherment,keyCertSign"},
      {NID_ext_key_usage, "serverAuth"},
      {NID_subject_key_identifier, "hash"},
      {NID_subject_alt_name, "IP:127.0.0.1,IP:::1,DNS:localhost"},
  };
  for (const auto& [nid, value] : extensions) {
    Owned<X509_EXTENSION, FreeExt> ext{t.X509V3_EXT_nconf_nid(nullptr, &ctx, nid, value)};
    if (!ext.p || t.X509_add_ext(cert.p, ext.p, -1) != 1) Fail(std::string("extension ") + value);
  }
  if (t.X509_sign(cert.p, key.p, t.EVP_sha256()) <= 0) Fail("signature");

  Owned<BIO, FreeBio> certBio{t.BIO_new(t.BIO_s_mem())};
  Owned<BIO, FreeBio> keyBio{t.BIO_new(t.BIO_s_mem())};
  if (!certBio.p || !keyBio.p || t.PEM_write_bio_X509(certBio.p, cert.p) != 1 ||
      t.PEM_write_bio_PrivateKey(keyBio.p, key.p, nullptr, nullptr, 0, nullptr, nullptr) != 1)
    Fail("PEM");

  CertificateFiles files{aFolder + "/cert.pem", aFolder + "/key.pem", aFolder + "/combined.pem"};
  const std::string keyPEM = Drain(keyBio.p), certPEM = Drain(certBio.p);
  WritePrivateFile(files.KeyFile, keyPEM);
  WritePrivateFile(files.CombinedFile, certPEM + keyPEM);
  WritePrivateFile(files.CertFile, certPEM);
  ::chmod(files.CertFile.c_str(), 0644);
  return files;
}

}  // namespace sandbox
