#include "transport/vynIdSSLOpenSSLHeaders.h"

#include <dlfcn.h>

#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <map>
#include <memory>
#include <mutex>
#include <tuple>
#include <utility>
#include <vector>

#include "transport/vynIdResourceStringsCore.h"
#include "transport/vynIdStack.h"

namespace detail {
OpenSSLFunctionTable OSSL;
}

using detail::OSSL;

namespace {

// Every piece of process-wide state, under one recursive lock: binding,
// initialising and tearing down never overlap.
struct BindingState {
  std::recursive_mutex Lock;
  TwsOpenSSLAPI APIVersion = TwsOpenSSLAPI::oslAPI_1_0;
  bool EffectiveKnown = false;
  TwsOpenSSLAPI EffectiveVersion = TwsOpenSSLAPI::oslAPI_1_0;
  std::string LibraryPath;
  void* CryptoLib = nullptr;
  void* SSLLib = nullptr;
  std::vector<std::string> Failures;
  bool Loaded = false;
  std::uint32_t VersionNumber = 0;
  std::unique_ptr<std::recursive_mutex> StatusInfoLock, PasswordLock, VerifyLock;
  std::vector<std::unique_ptr<std::recursive_mutex>> LockTable;
  X509_STORE* DefaultVerifyStore = nullptr;
  // Stores with a root file and folders (and the defaults unless root files
  // replace them), by file, folders and that choice, each with the file's
  // stamp when it was read.
  std::map<std::tuple<std::string, std::string, bool>, std::pair<detail::RootFileStamp, X509_STORE*>> RootStores;
  // Finished client contexts by everything that shaped them.
  std::map<std::string, SSL_CTX*> SharedContexts;
};

// Stores kept at most; a process rarely uses more than a few root files.
constexpr std::size_t kMaxRootStores = 16;
// Likewise for finished client contexts (each option set is one).
constexpr std::size_t kMaxSharedContexts = 32;

void FreeRootStores(BindingState& AState) {
  for (auto& entry : AState.RootStores)
    if (OSSL.X509_STORE_free) OSSL.X509_STORE_free(entry.second.second);
  AState.RootStores.clear();
}

void FreeSharedContexts(BindingState& AState) {
  for (auto& entry : AState.SharedContexts)
    if (OSSL.SSL_CTX_free) OSSL.SSL_CTX_free(entry.second);
  AState.SharedContexts.clear();
}

BindingState& State() {
  static BindingState state;
  return state;
}

// Runs the teardown once the process ends; objects made after this one (all
// of main's) are gone by then.
struct ShutdownAtExit {
  ShutdownAtExit() { State(); }  // made first, so it outlives this object
  ~ShutdownAtExit() { ShutdownOpenSSL(); }
} gShutdownAtExit;

struct LibraryNames {
  const char* Crypto;
  const char* SSL;
};

// Crypto library first, then the TLS library of the same line. Never
// "libssl3.so": on this platform that file belongs to another TLS library.
constexpr LibraryNames kNames11[] = {{"libcrypto.so.3", "libssl.so.3"}, {"libcrypto.so.1.1", "libssl.so.1.1"}};
constexpr LibraryNames kNames10[] = {{"libcrypto.so.1.0.2", "libssl.so.1.0.2"},
                                     {"libcrypto.so.1.0.0", "libssl.so.1.0.0"},
                                     {"libcrypto.so.3", "libssl.so.3"},
                                     {"libcrypto.so.1.1", "libssl.so.1.1"}};

void* OpenLibrary(const std::string& AFile, BindingState& s) {
  void* h = ::dlopen(AFile.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!h) {
    const char* why = ::dlerror();
    s.Failures.push_back(Format(RSOSSLFailedToLoad, AFile) + (why ? std::string(" ") + why : std::string()));
  }
  return h;
}

bool OpenLibraries(BindingState& s) {
  if (s.CryptoLib && s.SSLLib) return true;
  auto tryPair = [&](const LibraryNames& n) {
    void* crypto = s.CryptoLib ? s.CryptoLib : OpenLibrary(s.LibraryPath + n.Crypto, s);
    if (!crypto) return false;
    void* ssl = OpenLibrary(s.LibraryPath + n.SSL, s);
    if (!ssl) {
      if (crypto != s.CryptoLib) ::dlclose(crypto);
      return false;
    }
    s.CryptoLib = crypto;
    s.SSLLib = ssl;
    s.Failures.clear();  // the names tried before this pair no longer matter
    return true;
  };
  if (s.CryptoLib) {
    // A crypto library left open by an earlier half success: its own line only.
    ::dlclose(s.CryptoLib);
    s.CryptoLib = nullptr;
  }
  if (s.APIVersion == TwsOpenSSLAPI::oslAPI_1_0) {
    for (const auto& n : kNames10)
      if (tryPair(n)) return true;
  } else {
    for (const auto& n : kNames11)
      if (tryPair(n)) return true;
  }
  return false;
}

enum class Need : std::uint8_t { Always, Only10, Only11, Optional };

class Resolver {
public:
  Resolver(BindingState& s, TwsOpenSSLAPI level) : FState(s), FLevel(level) {}

  // The first of the names that resolves fills the entry; a missing entry
  // that the level needs is recorded.
  template <class F>
  void Get(F& AEntry, void* ALib, Need ANeed, std::initializer_list<const char*> ANames) {
    AEntry = nullptr;
    for (const char* name : ANames) {
      if (void* p = ::dlsym(ALib, name)) {
        AEntry = reinterpret_cast<F>(p);
        return;
      }
    }
    bool required = ANeed == Need::Always || (ANeed == Need::Only10 && FLevel == TwsOpenSSLAPI::oslAPI_1_0) ||
                    (ANeed == Need::Only11 && FLevel == TwsOpenSSLAPI::oslAPI_1_1);
    if (required) FState.Failures.push_back(Format(RSOSSLMissingFunction, *ANames.begin()));
  }
  void Missing(const char* AName) { FState.Failures.push_back(Format(RSOSSLMissingFunction, AName)); }

private:
  BindingState& FState;
  TwsOpenSSLAPI FLevel;
};

void ResolveAll(BindingState& s) {
  const TwsOpenSSLAPI level = s.EffectiveVersion;
  const bool v11 = level == TwsOpenSSLAPI::oslAPI_1_1;
  Resolver r(s, level);
  void* ssl = s.SSLLib;
  void* cr = s.CryptoLib;
  auto& t = OSSL;
  using N = Need;

  // TLS library.
  r.Get(t.SSL_CTX_new, ssl, N::Always, {"SSL_CTX_new"});
  r.Get(t.SSL_CTX_free, ssl, N::Always, {"SSL_CTX_free"});
  r.Get(t.SSL_CTX_up_ref, ssl, N::Optional, {"SSL_CTX_up_ref"});
  r.Get(t.SSL_CTX_ctrl, ssl, N::Always, {"SSL_CTX_ctrl"});
  r.Get(t.SSL_CTX_set_options, ssl, N::Optional, {"SSL_CTX_set_options"});
  r.Get(t.SSL_CTX_clear_options, ssl, N::Optional, {"SSL_CTX_clear_options"});
  r.Get(t.SSL_CTX_set_cipher_list, ssl, N::Always, {"SSL_CTX_set_cipher_list"});
  r.Get(t.SSL_CTX_set_ciphersuites, ssl, N::Optional, {"SSL_CTX_set_ciphersuites"});
  r.Get(t.SSL_CTX_use_certificate, ssl, N::Always, {"SSL_CTX_use_certificate"});
  r.Get(t.SSL_CTX_use_PrivateKey, ssl, N::Always, {"SSL_CTX_use_PrivateKey"});
  r.Get(t.SSL_CTX_check_private_key, ssl, N::Always, {"SSL_CTX_check_private_key"});
  r.Get(t.SSL_CTX_set_verify, ssl, N::Always, {"SSL_CTX_set_verify"});
  r.Get(t.SSL_CTX_set_verify_depth, ssl, N::Always, {"SSL_CTX_set_verify_depth"});
  r.Get(t.SSL_CTX_set_default_passwd_cb, ssl, N::Always, {"SSL_CTX_set_default_passwd_cb"});
  r.Get(t.SSL_CTX_set_default_passwd_cb_userdata, ssl, N::Always, {"SSL_CTX_set_default_passwd_cb_userdata"});
  r.Get(t.SSL_CTX_set_default_verify_paths, ssl, N::Always, {"SSL_CTX_set_default_verify_paths"});
  r.Get(t.SSL_CTX_set_cert_store, ssl, N::Optional, {"SSL_CTX_set_cert_store"});
  r.Get(t.SSL_CTX_set_session_id_context, ssl, N::Always, {"SSL_CTX_set_session_id_context"});
  r.Get(t.SSL_CTX_set_client_CA_list, ssl, N::Always, {"SSL_CTX_set_client_CA_list"});
  r.Get(t.SSL_CTX_get_cert_store, ssl, N::Always, {"SSL_CTX_get_cert_store"});
  r.Get(t.SSL_CTX_set_info_callback, ssl, N::Optional, {"SSL_CTX_set_info_callback"});
  r.Get(t.SSL_CTX_set_alpn_protos, ssl, N::Optional, {"SSL_CTX_set_alpn_protos"});
  r.Get(t.SSL_CTX_set_alpn_select_cb, ssl, N::Optional, {"SSL_CTX_set_alpn_select_cb"});
  r.Get(t.SSL_CTX_use_certificate_chain_file, ssl, N::Optional, {"SSL_CTX_use_certificate_chain_file"});
  r.Get(t.SSL_CTX_set_security_level, ssl, N::Optional, {"SSL_CTX_set_security_level"});
  r.Get(t.SSL_CTX_get_security_level, ssl, N::Optional, {"SSL_CTX_get_security_level"});

  r.Get(t.SSL_new, ssl, N::Always, {"SSL_new"});
  r.Get(t.SSL_free, ssl, N::Always, {"SSL_free"});
  r.Get(t.SSL_set_fd, ssl, N::Always, {"SSL_set_fd"});
  r.Get(t.SSL_accept, ssl, N::Always, {"SSL_accept"});
  r.Get(t.SSL_connect, ssl, N::Always, {"SSL_connect"});
  r.Get(t.SSL_read, ssl, N::Always, {"SSL_read"});
  r.Get(t.SSL_write, ssl, N::Always, {"SSL_write"});
  r.Get(t.SSL_shutdown, ssl, N::Always, {"SSL_shutdown"});
  r.Get(t.SSL_ctrl, ssl, N::Always, {"SSL_ctrl"});
  r.Get(t.SSL_get_error, ssl, N::Always, {"SSL_get_error"});
  r.Get(t.SSL_get_peer_certificate, ssl, N::Always, {"SSL_get1_peer_certificate", "SSL_get_peer_certificate"});
  r.Get(t.SSL_get_session, ssl, N::Always, {"SSL_get_session"});
  r.Get(t.SSL_SESSION_get_id, ssl, N::Always, {"SSL_SESSION_get_id"});
  r.Get(t.SSL_copy_session_id, ssl, N::Always, {"SSL_copy_session_id"});
  r.Get(t.SSL_get_current_cipher, ssl, N::Always, {"SSL_get_current_cipher"});
  r.Get(t.SSL_CIPHER_get_name, ssl, N::Always, {"SSL_CIPHER_get_name"});
  r.Get(t.SSL_CIPHER_get_version, ssl, N::Always, {"SSL_CIPHER_get_version"});
  r.Get(t.SSL_CIPHER_get_bits, ssl, N::Always, {"SSL_CIPHER_get_bits"});
  r.Get(t.SSL_CIPHER_description, ssl, N::Always, {"SSL_CIPHER_description"});
  r.Get(t.SSL_state_string_long, ssl, N::Always, {"SSL_state_string_long"});
  r.Get(t.SSL_alert_type_string_long, ssl, N::Always, {"SSL_alert_type_string_long"});
  r.Get(t.SSL_alert_desc_string_long, ssl, N::Always, {"SSL_alert_desc_string_long"});
  r.Get(t.SSL_pending, ssl, N::Optional, {"SSL_pending"});
  r.Get(t.SSL_has_pending, ssl, N::Optional, {"SSL_has_pending"});
  r.Get(t.SSL_set_ex_data, ssl, N::Optional, {"SSL_set_ex_data"});
  r.Get(t.SSL_get_ex_data, ssl, N::Optional, {"SSL_get_ex_data"});
  r.Get(t.SSL_get0_alpn_selected, ssl, N::Optional, {"SSL_get0_alpn_selected"});
  r.Get(t.SSL_set_bio, ssl, N::Optional, {"SSL_set_bio"});
  r.Get(t.SSL_get_rbio, ssl, N::Optional, {"SSL_get_rbio"});
  r.Get(t.SSL_get_version, ssl, N::Only11, {"SSL_get_version"});
  r.Get(t.SSL_get_ex_data_X509_STORE_CTX_idx, ssl, N::Only11, {"SSL_get_ex_data_X509_STORE_CTX_idx"});
  r.Get(t.SSL_set1_host, ssl, N::Optional, {"SSL_set1_host"});
  r.Get(t.SSL_get0_param, ssl, N::Optional, {"SSL_get0_param"});
  r.Get(t.SSL_get_verify_result, ssl, N::Optional, {"SSL_get_verify_result"});
  r.Get(t.SSL_set_verify, ssl, N::Optional, {"SSL_set_verify"});
  r.Get(t.SSL_set_verify_depth, ssl, N::Optional, {"SSL_set_verify_depth"});
  r.Get(t.SSL_set_cipher_list, ssl, N::Optional, {"SSL_set_cipher_list"});
  r.Get(t.SSL_set_security_level, ssl, N::Optional, {"SSL_set_security_level"});
  r.Get(t.SSL_COMP_free_compression_methods, ssl, N::Optional, {"SSL_COMP_free_compression_methods"});
  r.Get(t.SSL_COMP_get_compression_methods, ssl, N::Optional, {"SSL_COMP_get_compression_methods"});

  r.Get(t.TLS_method, ssl, N::Only11, {"TLS_method"});
  r.Get(t.TLS_server_method, ssl, N::Optional, {"TLS_server_method"});
  r.Get(t.TLS_client_method, ssl, N::Optional, {"TLS_client_method"});
  r.Get(t.SSLv2_method, ssl, N::Optional, {"SSLv2_method"});
  r.Get(t.SSLv2_server_method, ssl, N::Optional, {"SSLv2_server_method"});
  r.Get(t.SSLv2_client_method, ssl, N::Optional, {"SSLv2_client_method"});
  r.Get(t.SSLv3_method, ssl, N::Optional, {"SSLv3_method"});
  r.Get(t.SSLv3_server_method, ssl, N::Optional, {"SSLv3_server_method"});
  r.Get(t.SSLv3_client_method, ssl, N::Optional, {"SSLv3_client_method"});
  r.Get(t.SSLv23_method, ssl, N::Optional, {"SSLv23_method"});
  r.Get(t.SSLv23_server_method, ssl, N::Optional, {"SSLv23_server_method"});
  r.Get(t.SSLv23_client_method, ssl, N::Optional, {"SSLv23_client_method"});
  r.Get(t.TLSv1_method, ssl, N::Optional, {"TLSv1_method"});
  r.Get(t.TLSv1_server_method, ssl, N::Optional, {"TLSv1_server_method"});
  r.Get(t.TLSv1_client_method, ssl, N::Optional, {"TLSv1_client_method"});
  r.Get(t.TLSv1_1_method, ssl, N::Optional, {"TLSv1_1_method"});
  r.Get(t.TLSv1_1_server_method, ssl, N::Optional, {"TLSv1_1_server_method"});
  r.Get(t.TLSv1_1_client_method, ssl, N::Optional, {"TLSv1_1_client_method"});
  r.Get(t.TLSv1_2_method, ssl, N::Optional, {"TLSv1_2_method"});
  r.Get(t.TLSv1_2_server_method, ssl, N::Optional, {"TLSv1_2_server_method"});
  r.Get(t.TLSv1_2_client_method, ssl, N::Optional, {"TLSv1_2_client_method"});
  if (v11) {
    // The 1.0 spelling of the flexible method is the 1.1 TLS_method.
    if (!t.SSLv23_method) t.SSLv23_method = t.TLS_method;
    if (!t.SSLv23_server_method) t.SSLv23_server_method = t.TLS_server_method;
    if (!t.SSLv23_client_method) t.SSLv23_client_method = t.TLS_client_method;
  }

  r.Get(t.SSL_library_init, ssl, N::Only10, {"SSL_library_init"});
  r.Get(t.SSL_load_error_strings, ssl, N::Only10, {"SSL_load_error_strings"});
  r.Get(t.OpenSSL_add_all_ciphers, cr, N::Only10, {"OpenSSL_add_all_ciphers"});
  r.Get(t.OpenSSL_add_all_digests, cr, N::Only10, {"OpenSSL_add_all_digests"});
  r.Get(t.OpenSSL_add_all_algorithms, cr, N::Optional,
        {"OpenSSL_add_all_algorithms", "OPENSSL_add_all_algorithms_noconf"});
  r.Get(t.CRYPTO_num_locks, cr, N::Only10, {"CRYPTO_num_locks"});
  r.Get(t.CRYPTO_set_locking_callback, cr, N::Only10, {"CRYPTO_set_locking_callback"});
  r.Get(t.ERR_free_strings, cr, N::Only10, {"ERR_free_strings"});
  r.Get(t.EVP_cleanup, cr, N::Only10, {"EVP_cleanup"});
  r.Get(t.SSLeay, cr, N::Only10, {"SSLeay"});
  r.Get(t.RAND_screen, cr, N::Optional, {"RAND_screen"});
  r.Get(t.RAND_cleanup, cr, N::Optional, {"RAND_cleanup"});
  r.Get(t.ERR_remove_thread_state, cr, N::Optional, {"ERR_remove_thread_state"});
  r.Get(t.ERR_remove_state, cr, t.ERR_remove_thread_state ? N::Optional : N::Only10, {"ERR_remove_state"});
  r.Get(t.CRYPTO_cleanup_all_ex_data, cr, N::Optional, {"CRYPTO_cleanup_all_ex_data"});
  r.Get(t.FIPS_mode, cr, N::Optional, {"FIPS_mode"});
  r.Get(t.FIPS_mode_set, cr, N::Optional, {"FIPS_mode_set"});

  // Crypto library.
  r.Get(t.OpenSSL_version_num, cr, N::Only11, {"OpenSSL_version_num"});
  r.Get(t.OpenSSL_version, cr, N::Optional, {"OpenSSL_version"});
  r.Get(t.X509_STORE_load_locations, cr, N::Always, {"X509_STORE_load_locations"});
  r.Get(t.X509_STORE_add_cert, cr, N::Always, {"X509_STORE_add_cert"});
  r.Get(t.X509_STORE_add_crl, cr, N::Always, {"X509_STORE_add_crl"});
  r.Get(t.X509_STORE_new, cr, N::Optional, {"X509_STORE_new"});
  r.Get(t.X509_STORE_free, cr, N::Optional, {"X509_STORE_free"});
  r.Get(t.X509_STORE_up_ref, cr, N::Optional, {"X509_STORE_up_ref"});
  r.Get(t.X509_STORE_set_default_paths, cr, N::Optional, {"X509_STORE_set_default_paths"});
  r.Get(t.X509_STORE_CTX_get_error, cr, N::Always, {"X509_STORE_CTX_get_error"});
  r.Get(t.X509_STORE_CTX_get_error_depth, cr, N::Always, {"X509_STORE_CTX_get_error_depth"});
  r.Get(t.X509_STORE_CTX_get_current_cert, cr, N::Always, {"X509_STORE_CTX_get_current_cert"});
  r.Get(t.X509_STORE_CTX_get_ex_data, cr, N::Optional, {"X509_STORE_CTX_get_ex_data"});
  r.Get(t.X509_get_subject_name, cr, N::Always, {"X509_get_subject_name"});
  r.Get(t.X509_get_issuer_name, cr, N::Always, {"X509_get_issuer_name"});
  r.Get(t.X509_get_serialNumber, cr, N::Always, {"X509_get_serialNumber"});
  r.Get(t.X509_get_version, cr, N::Optional, {"X509_get_version"});
  r.Get(t.X509_get0_notBefore, cr, N::Optional, {"X509_get0_notBefore"});
  r.Get(t.X509_get0_notAfter, cr, N::Optional, {"X509_get0_notAfter"});
  r.Get(t.X509_get0_signature, cr, N::Optional, {"X509_get0_signature"});
  r.Get(t.X509_get_signature_nid, cr, N::Optional, {"X509_get_signature_nid"});
  r.Get(t.X509_NAME_oneline, cr, N::Always, {"X509_NAME_oneline"});
  r.Get(t.X509_NAME_hash_ex, cr, N::Optional, {"X509_NAME_hash_ex"});
  r.Get(t.X509_NAME_hash, cr, t.X509_NAME_hash_ex ? N::Optional : N::Always, {"X509_NAME_hash"});
  r.Get(t.X509_NAME_cmp, cr, N::Always, {"X509_NAME_cmp"});
  r.Get(t.X509_NAME_free, cr, N::Always, {"X509_NAME_free"});
  r.Get(t.X509_NAME_dup, cr, N::Optional, {"X509_NAME_dup"});
  r.Get(t.X509_digest, cr, N::Always, {"X509_digest"});
  r.Get(t.X509_free, cr, N::Always, {"X509_free"});
  r.Get(t.X509_up_ref, cr, N::Optional, {"X509_up_ref"});
  r.Get(t.X509_INFO_free, cr, N::Always, {"X509_INFO_free"});
  r.Get(t.X509_print, cr, N::Optional, {"X509_print"});
  r.Get(t.X509_get_default_cert_file, cr, N::Always, {"X509_get_default_cert_file"});
  r.Get(t.X509_get_default_cert_file_env, cr, N::Always, {"X509_get_default_cert_file_env"});
  r.Get(t.X509_VERIFY_PARAM_set1_ip_asc, cr, N::Optional, {"X509_VERIFY_PARAM_set1_ip_asc"});
  r.Get(t.X509_VERIFY_PARAM_set1_host, cr, N::Optional, {"X509_VERIFY_PARAM_set1_host"});
  r.Get(t.X509_verify_cert_error_string, cr, N::Optional, {"X509_verify_cert_error_string"});
  r.Get(t.d2i_X509_NAME, cr, N::Always, {"d2i_X509_NAME"});
  r.Get(t.i2d_X509_NAME, cr, N::Always, {"i2d_X509_NAME"});
  r.Get(t.ASN1_dup, cr, N::Always, {"ASN1_dup"});
  r.Get(t.ASN1_INTEGER_get, cr, N::Always, {"ASN1_INTEGER_get"});
  r.Get(t.ASN1_STRING_length, cr, N::Optional, {"ASN1_STRING_length"});
  r.Get(t.ASN1_STRING_get0_data, cr, N::Optional, {"ASN1_STRING_get0_data", "ASN1_STRING_data"});
  r.Get(t.OBJ_obj2nid, cr, N::Always, {"OBJ_obj2nid"});
  r.Get(t.OBJ_nid2ln, cr, N::Always, {"OBJ_nid2ln"});
  r.Get(t.EVP_PKEY_type, cr, N::Always, {"EVP_PKEY_type"});
  r.Get(t.EVP_PKEY_free, cr, N::Always, {"EVP_PKEY_free"});

  r.Get(t.EVP_md4, cr, N::Optional, {"EVP_md4"});
  r.Get(t.EVP_md5, cr, N::Always, {"EVP_md5"});
  r.Get(t.EVP_sha1, cr, N::Always, {"EVP_sha1"});
  r.Get(t.EVP_sha224, cr, N::Optional, {"EVP_sha224"});
  r.Get(t.EVP_sha256, cr, N::Optional, {"EVP_sha256"});
  r.Get(t.EVP_sha384, cr, N::Optional, {"EVP_sha384"});
  r.Get(t.EVP_sha512, cr, N::Optional, {"EVP_sha512"});
  r.Get(t.EVP_get_digestbyname, cr, N::Optional, {"EVP_get_digestbyname"});
  r.Get(t.EVP_MD_fetch, cr, N::Optional, {"EVP_MD_fetch"});
  r.Get(t.EVP_MD_free, cr, N::Optional, {"EVP_MD_free"});
  r.Get(t.EVP_MD_get_size, cr, N::Optional, {"EVP_MD_get_size", "EVP_MD_size"});
  r.Get(t.EVP_MD_CTX_new, cr, N::Only11, {"EVP_MD_CTX_new", "EVP_MD_CTX_create"});
  r.Get(t.EVP_MD_CTX_free, cr, N::Only11, {"EVP_MD_CTX_free", "EVP_MD_CTX_destroy"});
  r.Get(t.EVP_MD_CTX_init, cr, N::Only10, {"EVP_MD_CTX_init"});
  r.Get(t.EVP_MD_CTX_cleanup, cr, N::Only10, {"EVP_MD_CTX_cleanup"});
  r.Get(t.EVP_DigestInit_ex, cr, N::Always, {"EVP_DigestInit_ex"});
  r.Get(t.EVP_DigestUpdate, cr, N::Always, {"EVP_DigestUpdate"});
  r.Get(t.EVP_DigestFinal_ex, cr, N::Always, {"EVP_DigestFinal_ex"});
  r.Get(t.EVP_Digest, cr, N::Optional, {"EVP_Digest"});

  r.Get(t.HMAC_CTX_new, cr, N::Only11, {"HMAC_CTX_new"});
  r.Get(t.HMAC_CTX_free, cr, N::Only11, {"HMAC_CTX_free"});
  r.Get(t.HMAC_CTX_init, cr, N::Only10, {"HMAC_CTX_init"});
  r.Get(t.HMAC_CTX_cleanup, cr, N::Only10, {"HMAC_CTX_cleanup"});
  r.Get(t.HMAC_Init_ex, cr, N::Always, {"HMAC_Init_ex"});
  r.Get(t.HMAC_Update, cr, N::Always, {"HMAC_Update"});
  r.Get(t.HMAC_Final, cr, N::Always, {"HMAC_Final"});
  r.Get(t.HMAC, cr, N::Optional, {"HMAC"});

  r.Get(t.DES_set_odd_parity, cr, N::Optional, {"DES_set_odd_parity"});
  r.Get(t.DES_set_key_checked, cr, N::Optional, {"DES_set_key_checked"});
  r.Get(t.DES_set_key_unchecked, cr, N::Optional, {"DES_set_key_unchecked"});
  r.Get(t.DES_ecb_encrypt, cr, N::Optional, {"DES_ecb_encrypt"});

  r.Get(t.BIO_new, cr, N::Always, {"BIO_new"});
  r.Get(t.BIO_free, cr, N::Always, {"BIO_free"});
  r.Get(t.BIO_new_mem_buf, cr, N::Always, {"BIO_new_mem_buf"});
  r.Get(t.BIO_s_mem, cr, N::Always, {"BIO_s_mem"});
  r.Get(t.BIO_ctrl, cr, N::Always, {"BIO_ctrl"});
  r.Get(t.BIO_read, cr, N::Optional, {"BIO_read"});
  r.Get(t.BIO_write, cr, N::Optional, {"BIO_write"});
  r.Get(t.BIO_set_callback_ex, cr, N::Optional, {"BIO_set_callback_ex"});
  r.Get(t.BIO_set_callback_arg, cr, N::Optional, {"BIO_set_callback_arg"});
  r.Get(t.BIO_get_callback_arg, cr, N::Optional, {"BIO_get_callback_arg"});

  r.Get(t.d2i_X509_bio, cr, N::Always, {"d2i_X509_bio"});
  r.Get(t.d2i_PrivateKey_bio, cr, N::Always, {"d2i_PrivateKey_bio"});
  r.Get(t.d2i_PKCS12_bio, cr, N::Always, {"d2i_PKCS12_bio"});
  r.Get(t.PKCS12_parse, cr, N::Always, {"PKCS12_parse"});
  r.Get(t.PKCS12_free, cr, N::Always, {"PKCS12_free"});
  r.Get(t.PEM_X509_INFO_read_bio, cr, N::Always, {"PEM_X509_INFO_read_bio"});
  r.Get(t.PEM_read_bio_X509_AUX, cr, N::Always, {"PEM_read_bio_X509_AUX"});
  r.Get(t.PEM_read_bio_X509, cr, N::Optional, {"PEM_read_bio_X509"});
  r.Get(t.PEM_read_bio_PrivateKey, cr, N::Optional, {"PEM_read_bio_PrivateKey"});
  r.Get(t.PEM_read_bio_DHparams, cr, N::Optional, {"PEM_read_bio_DHparams"});
  r.Get(t.DH_free, cr, N::Always, {"DH_free"});

  r.Get(t.ERR_get_error, cr, N::Optional, {"ERR_get_error"});
  r.Get(t.ERR_peek_error, cr, N::Optional, {"ERR_peek_error"});
  r.Get(t.ERR_peek_last_error, cr, N::Always, {"ERR_peek_last_error"});
  r.Get(t.ERR_clear_error, cr, N::Always, {"ERR_clear_error"});
  r.Get(t.ERR_error_string_n, cr, N::Optional, {"ERR_error_string_n"});
  r.Get(t.ERR_put_error, cr, N::Optional, {"ERR_put_error"});
  r.Get(t.ERR_new, cr, N::Optional, {"ERR_new"});
  r.Get(t.ERR_set_debug, cr, N::Optional, {"ERR_set_debug"});
  r.Get(t.ERR_set_error, cr, N::Optional, {"ERR_set_error"});
  if (!t.ERR_put_error && !(t.ERR_new && t.ERR_set_error)) r.Missing("ERR_put_error");

  r.Get(t.CRYPTO_malloc, cr, N::Always, {"CRYPTO_malloc"});
  r.Get(t.CRYPTO_free, cr, N::Always, {"CRYPTO_free"});
  // The generic stack functions carry the "OPENSSL_" prefix from 1.1 on.
  if (v11) {
    r.Get(t.OPENSSL_sk_num, cr, N::Always, {"OPENSSL_sk_num"});
    r.Get(t.OPENSSL_sk_new, cr, N::Always, {"OPENSSL_sk_new"});
    r.Get(t.OPENSSL_sk_new_null, cr, N::Always, {"OPENSSL_sk_new_null"});
    r.Get(t.OPENSSL_sk_free, cr, N::Always, {"OPENSSL_sk_free"});
    r.Get(t.OPENSSL_sk_push, cr, N::Always, {"OPENSSL_sk_push"});
    r.Get(t.OPENSSL_sk_dup, cr, N::Always, {"OPENSSL_sk_dup"});
    r.Get(t.OPENSSL_sk_find, cr, N::Always, {"OPENSSL_sk_find"});
    r.Get(t.OPENSSL_sk_value, cr, N::Always, {"OPENSSL_sk_value"});
    r.Get(t.OPENSSL_sk_pop_free, cr, N::Optional, {"OPENSSL_sk_pop_free"});
  } else {
    r.Get(t.OPENSSL_sk_num, cr, N::Always, {"sk_num"});
    r.Get(t.OPENSSL_sk_new, cr, N::Always, {"sk_new"});
    r.Get(t.OPENSSL_sk_new_null, cr, N::Always, {"sk_new_null"});
    r.Get(t.OPENSSL_sk_free, cr, N::Always, {"sk_free"});
    r.Get(t.OPENSSL_sk_push, cr, N::Always, {"sk_push"});
    r.Get(t.OPENSSL_sk_dup, cr, N::Always, {"sk_dup"});
    r.Get(t.OPENSSL_sk_find, cr, N::Always, {"sk_find"});
    r.Get(t.OPENSSL_sk_value, cr, N::Always, {"sk_value"});
    r.Get(t.OPENSSL_sk_pop_free, cr, N::Optional, {"sk_pop_free"});
  }
  r.Get(t.RAND_bytes, cr, N::Optional, {"RAND_bytes"});
  r.Get(t.EVP_PKEY_CTX_new_id, cr, N::Optional, {"EVP_PKEY_CTX_new_id"});
  r.Get(t.EVP_PKEY_CTX_free, cr, N::Optional, {"EVP_PKEY_CTX_free"});
  r.Get(t.EVP_PKEY_keygen_init, cr, N::Optional, {"EVP_PKEY_keygen_init"});
  r.Get(t.EVP_PKEY_keygen, cr, N::Optional, {"EVP_PKEY_keygen"});
  r.Get(t.X509_new, cr, N::Optional, {"X509_new"});
  r.Get(t.X509_set_version, cr, N::Optional, {"X509_set_version"});
  r.Get(t.ASN1_INTEGER_set, cr, N::Optional, {"ASN1_INTEGER_set"});
  r.Get(t.X509_gmtime_adj, cr, N::Optional, {"X509_gmtime_adj"});
  r.Get(t.X509_getm_notBefore, cr, N::Optional, {"X509_getm_notBefore"});
  r.Get(t.X509_getm_notAfter, cr, N::Optional, {"X509_getm_notAfter"});
  r.Get(t.X509_set_pubkey, cr, N::Optional, {"X509_set_pubkey"});
  r.Get(t.X509_NAME_add_entry_by_txt, cr, N::Optional, {"X509_NAME_add_entry_by_txt"});
  r.Get(t.X509_set_issuer_name, cr, N::Optional, {"X509_set_issuer_name"});
  r.Get(t.X509V3_set_ctx, cr, N::Optional, {"X509V3_set_ctx"});
  r.Get(t.X509V3_EXT_nconf_nid, cr, N::Optional, {"X509V3_EXT_nconf_nid"});
  r.Get(t.X509_add_ext, cr, N::Optional, {"X509_add_ext"});
  r.Get(t.X509_EXTENSION_free, cr, N::Optional, {"X509_EXTENSION_free"});
  r.Get(t.X509_sign, cr, N::Optional, {"X509_sign"});
  r.Get(t.PEM_write_bio_X509, cr, N::Optional, {"PEM_write_bio_X509"});
  r.Get(t.PEM_write_bio_PrivateKey, cr, N::Optional, {"PEM_write_bio_PrivateKey"});
}

void LockingCallback(int AMode, int AN, const char*, int) {
  auto& table = State().LockTable;
  if (AN < 0 || static_cast<std::size_t>(AN) >= table.size()) return;
  if (AMode & 1) {
    table[static_cast<std::size_t>(AN)]->lock();
  } else {
    table[static_cast<std::size_t>(AN)]->unlock();
  }
}

void CreateCallbackLocks(BindingState& s) {
  if (!s.StatusInfoLock) s.StatusInfoLock = std::make_unique<std::recursive_mutex>();
  if (!s.PasswordLock) s.PasswordLock = std::make_unique<std::recursive_mutex>();
  if (!s.VerifyLock) s.VerifyLock = std::make_unique<std::recursive_mutex>();
}

}  // namespace

// ---------------------------------------------------------------------------
// Settings

TwsOpenSSLAPI OpenSSLAPIVersion() {
  auto& s = State();
  std::lock_guard lock(s.Lock);
  return s.APIVersion;
}

void SetOpenSSLAPIVersion(TwsOpenSSLAPI AValue) {
  auto& s = State();
  std::lock_guard lock(s.Lock);
  s.APIVersion = AValue;
}

std::string OpenSSLLibraryPath() {
  auto& s = State();
  std::lock_guard lock(s.Lock);
  return s.LibraryPath;
}

void SetOpenSSLLibraryPath(const std::string& AFolder) {
  auto& s = State();
  std::lock_guard lock(s.Lock);
  s.LibraryPath = AFolder;
  if (!s.LibraryPath.empty() && s.LibraryPath.back() != '/') s.LibraryPath += '/';
}

std::uint32_t OpenSSLVersionNumber() {
  auto& s = State();
  std::lock_guard lock(s.Lock);
  return s.VersionNumber;
}

TwsOpenSSLAPI detail::OpenSSLEffectiveAPIVersion() {
  auto& s = State();
  std::lock_guard lock(s.Lock);
  return s.EffectiveKnown ? s.EffectiveVersion : s.APIVersion;
}

std::string detail::OpenSSLLoadFailureReason() {
  auto& s = State();
  std::lock_guard lock(s.Lock);
  std::string result;
  for (const auto& f : s.Failures) {
    if (!result.empty()) result += "\r\n";
    result += f;
  }
  return result;
}

// ---------------------------------------------------------------------------
// Binding

bool BindOpenSSLLibraries() {
  auto& s = State();
  std::lock_guard lock(s.Lock);
  if (s.CryptoLib && s.SSLLib && s.Failures.empty()) return true;
  s.Failures.clear();
  if (!OpenLibraries(s)) return false;
  if (!s.EffectiveKnown) {
    s.EffectiveVersion =
        ::dlsym(s.CryptoLib, "OpenSSL_version_num") ? TwsOpenSSLAPI::oslAPI_1_1 : TwsOpenSSLAPI::oslAPI_1_0;
    s.EffectiveKnown = true;
  }
  ResolveAll(s);
  return s.Failures.empty();
}

void UnbindOpenSSLLibraries() {
  auto& s = State();
  std::lock_guard lock(s.Lock);
  auto& t = OSSL;
  if (s.DefaultVerifyStore) {
    // Contexts still alive hold their own references.
    if (t.X509_STORE_free) t.X509_STORE_free(s.DefaultVerifyStore);
    s.DefaultVerifyStore = nullptr;
  }
  FreeRootStores(s);
  FreeSharedContexts(s);
  if (s.SSLLib) {
    if (t.SSL_COMP_free_compression_methods) {
      t.SSL_COMP_free_compression_methods();
    } else if (t.SSLeay && t.SSLeay() == 0x0090801FUL && t.SSL_COMP_get_compression_methods && t.OPENSSL_sk_pop_free &&
               t.CRYPTO_free) {
      t.OPENSSL_sk_pop_free(static_cast<OPENSSL_STACK*>(t.SSL_COMP_get_compression_methods()),
                            [](void* p) { OSSL.CRYPTO_free(p, nullptr, 0); });
    }
    // The 1.1 line and later clean themselves up at exit; these are the 1.0
    // calls and are only bound there.
    if (s.EffectiveVersion == TwsOpenSSLAPI::oslAPI_1_0) {
      if (t.CRYPTO_cleanup_all_ex_data) t.CRYPTO_cleanup_all_ex_data();
      if (t.ERR_free_strings) t.ERR_free_strings();
      if (t.ERR_remove_thread_state) {
        t.ERR_remove_thread_state(nullptr);
      } else if (t.ERR_remove_state) {
        t.ERR_remove_state(0);
      }
      if (t.EVP_cleanup) t.EVP_cleanup();
    }
    ::dlclose(s.SSLLib);
    s.SSLLib = nullptr;
  }
  if (s.CryptoLib) {
    ::dlclose(s.CryptoLib);
    s.CryptoLib = nullptr;
  }
  t = detail::OpenSSLFunctionTable{};
}

bool EnsureOpenSSLLoaded() {
  auto& s = State();
  std::lock_guard lock(s.Lock);
  if (s.Loaded) return true;
  if (!BindOpenSSLLibraries()) return false;
  auto& t = OSSL;
  if (s.EffectiveVersion == TwsOpenSSLAPI::oslAPI_1_0) {
    t.OpenSSL_add_all_ciphers();
    t.OpenSSL_add_all_digests();
    if (t.RAND_screen) t.RAND_screen();
    t.SSL_load_error_strings();
    if (t.SSL_library_init() <= 0) return false;
    CreateCallbackLocks(s);
    s.LockTable.clear();
    for (int i = 0, n = t.CRYPTO_num_locks(); i < n; ++i)
      s.LockTable.push_back(std::make_unique<std::recursive_mutex>());
    t.CRYPTO_set_locking_callback(LockingCallback);
  } else {
    CreateCallbackLocks(s);
    s.VersionNumber = static_cast<std::uint32_t>(t.OpenSSL_version_num());
  }
  s.Loaded = true;
  return true;
}

void ShutdownOpenSSL() {
  auto& s = State();
  std::lock_guard lock(s.Lock);
  if (OSSL.CRYPTO_set_locking_callback) OSSL.CRYPTO_set_locking_callback(nullptr);
  if (OSSL.RAND_cleanup) OSSL.RAND_cleanup();
  UnbindOpenSSLLibraries();
  s.StatusInfoLock.reset();
  s.PasswordLock.reset();
  s.VerifyLock.reset();
  s.LockTable.clear();
  s.Loaded = false;
}

X509_STORE* detail::SharedDefaultVerifyStore() {
  auto& s = State();
  std::lock_guard lock(s.Lock);
  auto& t = OSSL;
  if (!s.DefaultVerifyStore && t.X509_STORE_new && t.X509_STORE_free && t.X509_STORE_up_ref &&
      t.X509_STORE_set_default_paths && t.SSL_CTX_set_cert_store) {
    s.DefaultVerifyStore = t.X509_STORE_new();
    // A missing CA file or folder leaves the store empty, as it leaves a
    // context's own store; the errors it queues are not the caller's.
    if (s.DefaultVerifyStore) t.X509_STORE_set_default_paths(s.DefaultVerifyStore);
    t.ERR_clear_error();
  }
  return s.DefaultVerifyStore;
}

namespace {
std::atomic<bool> GRootFilesReplaceDefaultRoots{false};
}  // namespace

void detail::SetRootFilesReplaceDefaultRoots(bool AValue) { GRootFilesReplaceDefaultRoots = AValue; }
bool detail::RootFilesReplaceDefaultRoots() { return GRootFilesReplaceDefaultRoots; }

detail::RootFileStamp detail::RootFileStampOf(const std::string& AFile) {
  RootFileStamp stamp;
  struct stat st {};
  if (AFile.empty()) {
    stamp.Valid = true;
  } else if (::stat(AFile.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
    stamp.Valid = true;
    stamp.Device = static_cast<std::uint64_t>(st.st_dev);
    stamp.Inode = static_cast<std::uint64_t>(st.st_ino);
    stamp.Size = static_cast<std::int64_t>(st.st_size);
    stamp.ModifiedNs = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    stamp.ChangedNs = static_cast<std::int64_t>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
  }
  return stamp;
}

X509_STORE* detail::FindRootStore(const std::string& ARootFile, const std::string& AVerifyDirs,
                                  const RootFileStamp& AStamp) {
  if (!AStamp.Valid) return nullptr;
  auto& s = State();
  std::lock_guard lock(s.Lock);
  auto found = s.RootStores.find({ARootFile, AVerifyDirs, detail::RootFilesReplaceDefaultRoots()});
  if (found == s.RootStores.end()) return nullptr;
  if (!(found->second.first == AStamp)) {
    // The file changed since it was read: its trust is read again.
    if (OSSL.X509_STORE_free) OSSL.X509_STORE_free(found->second.second);
    s.RootStores.erase(found);
    return nullptr;
  }
  X509_STORE* store = found->second.second;
  return OSSL.X509_STORE_up_ref && OSSL.X509_STORE_up_ref(store) == 1 ? store : nullptr;
}

void detail::KeepRootStore(const std::string& ARootFile, const std::string& AVerifyDirs, const RootFileStamp& AStamp,
                           X509_STORE* AStore) {
  auto& t = OSSL;
  if (!AStamp.Valid || !AStore || !t.X509_STORE_up_ref || !t.X509_STORE_free || !t.SSL_CTX_set_cert_store) return;
  auto& s = State();
  std::lock_guard lock(s.Lock);
  if (!s.Loaded) return;
  const auto key = std::make_tuple(ARootFile, AVerifyDirs, detail::RootFilesReplaceDefaultRoots());
  auto found = s.RootStores.find(key);
  if (found == s.RootStores.end() && s.RootStores.size() >= kMaxRootStores) FreeRootStores(s);
  if (t.X509_STORE_up_ref(AStore) != 1) return;
  found = s.RootStores.find(key);
  if (found != s.RootStores.end()) {
    t.X509_STORE_free(found->second.second);
    found->second = {AStamp, AStore};
  } else {
    s.RootStores.emplace(key, std::make_pair(AStamp, AStore));
  }
}

SSL_CTX* detail::FindSharedContext(const std::string& AKey) {
  auto& s = State();
  std::lock_guard lock(s.Lock);
  auto found = s.SharedContexts.find(AKey);
  if (found == s.SharedContexts.end() || !OSSL.SSL_CTX_up_ref) return nullptr;
  return OSSL.SSL_CTX_up_ref(found->second) == 1 ? found->second : nullptr;
}

void detail::KeepSharedContext(const std::string& AKey, SSL_CTX* AContext) {
  auto& t = OSSL;
  if (!AContext || !t.SSL_CTX_up_ref) return;
  auto& s = State();
  std::lock_guard lock(s.Lock);
  if (!s.Loaded) return;
  auto found = s.SharedContexts.find(AKey);
  if (found == s.SharedContexts.end() && s.SharedContexts.size() >= kMaxSharedContexts) FreeSharedContexts(s);
  if (t.SSL_CTX_up_ref(AContext) != 1) return;
  found = s.SharedContexts.find(AKey);
  if (found != s.SharedContexts.end()) {
    t.SSL_CTX_free(found->second);
    found->second = AContext;
  } else {
    s.SharedContexts.emplace(AKey, AContext);
  }
}

void detail::LockStatusInfo() { State().StatusInfoLock->lock(); }
void detail::UnlockStatusInfo() { State().StatusInfoLock->unlock(); }
void detail::LockPassword() { State().PasswordLock->lock(); }
void detail::UnlockPassword() { State().PasswordLock->unlock(); }
void detail::LockVerify() { State().VerifyLock->lock(); }
void detail::UnlockVerify() { State().VerifyLock->unlock(); }

// ---------------------------------------------------------------------------
// Errors

EIdOSSLCouldNotLoadSSLLibrary::EIdOSSLCouldNotLoadSSLLibrary() : EIdOpenSSLError(RSOSSLCouldNotLoadSSLLib) {}
EIdOSSLModeNotSet::EIdOSSLModeNotSet() : EIdOpenSSLError(RSOSSLModeNotSet) {}
EIdOSSLGetMethodError::EIdOSSLGetMethodError() : EIdOpenSSLError(RSOSSLGetMethodError) {}
EIdOSSLCreatingSessionError::EIdOSSLCreatingSessionError() : EIdOpenSSLError(RSOSSLCreatingSessionError) {}
EIdOSSLSettingCipherError::EIdOSSLSettingCipherError() : EIdOpenSSLError(RSOSSLSettingCipherError) {}

std::string detail::OpenSSLErrorText(unsigned long AErrCode) {
  if (!OSSL.ERR_error_string_n) return std::string();
  char buf[161] = {};
  OSSL.ERR_error_string_n(AErrCode, buf, 160);
  return std::string(buf);
}

std::string detail::OpenSSLCryptoMessage(unsigned long AErrCode, const std::string& AMessage) {
  std::string text = OpenSSLErrorText(AErrCode);
  return AMessage.empty() ? text : AMessage + "\r\n" + text;
}

void EIdOpenSSLAPICryptoError::RaiseException(const std::string& AMessage) {
  RaiseExceptionCode(OSSL.ERR_get_error ? OSSL.ERR_get_error() : 0, AMessage);
}

void EIdOpenSSLAPICryptoError::RaiseExceptionCode(unsigned long AErrCode, const std::string& AMessage) {
  EIdOpenSSLAPICryptoError e(detail::OpenSSLCryptoMessage(AErrCode, AMessage));
  e.SetErrorCode(AErrCode);
  throw e;
}

void EIdOpenSSLAPISSLError::RaiseException(SSL* ASSL, int ARetCode, const std::string& AMessage) {
  int err = (ASSL && OSSL.SSL_get_error) ? OSSL.SSL_get_error(ASSL, ARetCode) : SSL_ERROR_SSL;
  detail::RaiseSSLErrorCode<EIdOpenSSLAPISSLError>(err, ARetCode, AMessage);
}

void EIdOpenSSLAPISSLError::RaiseExceptionCode(int AErrCode, int ARetCode, const std::string& AMessage) {
  detail::RaiseSSLErrorCode<EIdOpenSSLAPISSLError>(AErrCode, ARetCode, AMessage);
}

void detail::RaiseLastSocketErrorForSSL() {
  int err = errno;
  // A failed call that left no error number still ended the connection.
  if (err == 0) err = ECONNRESET;
  if (GStack) GStack->RaiseSocketError(err);
  throw EIdSocketError(err, Format(RSStackError, err, SysErrorMessage(err)));
}

int detail::ERRGetLib(unsigned long AErrCode) {
  if (OpenSSLEffectiveAPIVersion() == TwsOpenSSLAPI::oslAPI_1_1 && OpenSSLVersionNumber() >= 0x30000000UL) {
    // 3.x: a system error sets the top bit; the library sits at bit 23.
    if (AErrCode & 0x80000000UL) return 2;
    return static_cast<int>((AErrCode >> 23) & 0xFF);
  }
  return static_cast<int>((AErrCode >> 24) & 0xFF);
}

int detail::ERRGetReason(unsigned long AErrCode) {
  if (OpenSSLEffectiveAPIVersion() == TwsOpenSSLAPI::oslAPI_1_1 && OpenSSLVersionNumber() >= 0x30000000UL) {
    if (AErrCode & 0x80000000UL) return static_cast<int>(AErrCode & 0x7FFFFFFFUL);
    return static_cast<int>(AErrCode & 0x7FFFFF);
  }
  return static_cast<int>(AErrCode & 0xFFF);
}

void detail::OpenSSLPutError(int ALib, int AFunc, int AReason) {
  if (OSSL.ERR_new && OSSL.ERR_set_error) {
    OSSL.ERR_new();
    if (OSSL.ERR_set_debug) OSSL.ERR_set_debug(__FILE__, __LINE__, nullptr);
    OSSL.ERR_set_error(ALib, AReason, nullptr);
  } else if (OSSL.ERR_put_error) {
    OSSL.ERR_put_error(ALib, AFunc, AReason, __FILE__, __LINE__);
  }
}

void detail::CtxSetOptions(SSL_CTX* ACtx, std::uint64_t AOptions) {
  if (OSSL.SSL_CTX_set_options) {
    OSSL.SSL_CTX_set_options(ACtx, AOptions);
  } else {
    OSSL.SSL_CTX_ctrl(ACtx, 32, static_cast<long>(AOptions), nullptr);
  }
}

void detail::CtxClearOptions(SSL_CTX* ACtx, std::uint64_t AOptions) {
  if (OSSL.SSL_CTX_clear_options) {
    OSSL.SSL_CTX_clear_options(ACtx, AOptions);
  } else {
    OSSL.SSL_CTX_ctrl(ACtx, 77, static_cast<long>(AOptions), nullptr);
  }
}

unsigned long detail::NameHash(const X509_NAME* AName) {
  if (OSSL.X509_NAME_hash_ex) return OSSL.X509_NAME_hash_ex(AName, nullptr, nullptr, nullptr);
  return OSSL.X509_NAME_hash ? OSSL.X509_NAME_hash(AName) : 0;
}
