// Run-time binding of the crypto and TLS libraries: both are opened with
// dlopen and every function is resolved by name, so the program never links
// them. OpenSSL's headers are used for types and constants only (the build
// hides their deprecated declarations, so no macro of an old API stands in
// for a table entry).
#pragma once

#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdint>
#include <string>

// Still macros for TLS_method and its forms; here they name table entries.
#undef SSLv23_method
#undef SSLv23_server_method
#undef SSLv23_client_method

#include "transport/vynIdGlobal.h"
#include "transport/vynIdResourceStringsOpenSSL.h"

enum class TwsOpenSSLAPI : std::uint8_t { oslAPI_1_0 = 0, oslAPI_1_1 = 1 };
// Where the libraries are looked for, and the protocol version a TLS option
// object asks for; shared by the client and server option objects.
enum class TwsOpenSSLLibPath : std::uint8_t { oslpNone = 0, oslpDefaultFolder = 1 };
enum class TwsTLSVersions : std::uint8_t { tlsUndefined = 0, tls1_0 = 1, tls1_1 = 2, tls1_2 = 3, tls1_3 = 4 };

// ---------------------------------------------------------------------------
// Exceptions

class EIdOpenSSLError : public EIdException {
public:
  using EIdException::EIdException;
};

// An error from OpenSSL's error queue.
class EIdOpenSSLAPICryptoError : public EIdOpenSSLError {
public:
  using EIdOpenSSLError::EIdOpenSSLError;
  unsigned long ErrorCode() const { return FErrorCode; }
  void SetErrorCode(unsigned long AValue) { FErrorCode = AValue; }

  // The queued error (ERR_get_error) with AMessage in front.
  [[noreturn]] static void RaiseException(const std::string& AMessage = {});
  [[noreturn]] static void RaiseExceptionCode(unsigned long AErrCode, const std::string& AMessage = {});

private:
  unsigned long FErrorCode = 0;
};

// An error of one TLS session call.
class EIdOpenSSLAPISSLError : public EIdOpenSSLError {
public:
  using EIdOpenSSLError::EIdOpenSSLError;
  int ErrorCode() const { return FErrorCode; }
  int RetCode() const { return FRetCode; }
  void SetCodes(int AErrorCode, int ARetCode) {
    FErrorCode = AErrorCode;
    FRetCode = ARetCode;
  }

  [[noreturn]] static void RaiseException(SSL* ASSL, int ARetCode, const std::string& AMessage = {});
  [[noreturn]] static void RaiseExceptionCode(int AErrCode, int ARetCode, const std::string& AMessage = {});

private:
  int FErrorCode = 0;
  int FRetCode = 0;
};

namespace detail {
// The message of a queued crypto error: AMessage + CR LF + error text.
std::string OpenSSLCryptoMessage(unsigned long AErrCode, const std::string& AMessage);
// The TLS rules for SSL_get_error codes; E is the class raised for codes
// that are neither SSL_ERROR_SSL nor a queued crypto error.
template <class E>
[[noreturn]] void RaiseSSLErrorCode(int AErrCode, int ARetCode, const std::string& AMessage);

// Gives each subclass its own class-level RaiseException, raising itself.
template <class Self, class Base>
class CryptoErrorOf : public Base {
public:
  using Base::Base;
  [[noreturn]] static void RaiseException(const std::string& AMessage = {});
  [[noreturn]] static void RaiseExceptionCode(unsigned long AErrCode, const std::string& AMessage = {}) {
    Self e(OpenSSLCryptoMessage(AErrCode, AMessage));
    e.SetErrorCode(AErrCode);
    throw e;
  }
};
template <class Self, class Base>
class SSLErrorOf : public Base {
public:
  using Base::Base;
  [[noreturn]] static void RaiseException(SSL* ASSL, int ARetCode, const std::string& AMessage = {});
  [[noreturn]] static void RaiseExceptionCode(int AErrCode, int ARetCode, const std::string& AMessage = {}) {
    RaiseSSLErrorCode<Self>(AErrCode, ARetCode, AMessage);
  }
};
}  // namespace detail

class EIdOSSLUnderlyingCryptoError
    : public detail::CryptoErrorOf<EIdOSSLUnderlyingCryptoError, EIdOpenSSLAPICryptoError> {
public:
  using CryptoErrorOf::CryptoErrorOf;
};
class EIdDigestError : public detail::CryptoErrorOf<EIdDigestError, EIdOpenSSLAPICryptoError> {
public:
  using CryptoErrorOf::CryptoErrorOf;
};
class EIdDigestInitEx : public detail::CryptoErrorOf<EIdDigestInitEx, EIdDigestError> {
public:
  using CryptoErrorOf::CryptoErrorOf;
};
class EIdDigestFinalEx : public detail::CryptoErrorOf<EIdDigestFinalEx, EIdDigestError> {
public:
  using CryptoErrorOf::CryptoErrorOf;
};
class EIdOSSLCouldNotLoadSSLLibrary : public EIdOpenSSLError {
public:
  EIdOSSLCouldNotLoadSSLLibrary();
};
class EIdOSSLModeNotSet : public EIdOpenSSLError {
public:
  EIdOSSLModeNotSet();
};
class EIdOSSLGetMethodError : public EIdOpenSSLError {
public:
  EIdOSSLGetMethodError();
};
class EIdOSSLCreatingSessionError : public EIdOpenSSLError {
public:
  EIdOSSLCreatingSessionError();
};
class EIdOSSLSettingCipherError : public EIdOpenSSLError {
public:
  EIdOSSLSettingCipherError();
};
class EIdOSSLCreatingContextError
    : public detail::CryptoErrorOf<EIdOSSLCreatingContextError, EIdOpenSSLAPICryptoError> {
public:
  using CryptoErrorOf::CryptoErrorOf;
};
class EIdOSSLLoadingRootCertError
    : public detail::CryptoErrorOf<EIdOSSLLoadingRootCertError, EIdOpenSSLAPICryptoError> {
public:
  using CryptoErrorOf::CryptoErrorOf;
};
class EIdOSSLLoadingCertError : public detail::CryptoErrorOf<EIdOSSLLoadingCertError, EIdOpenSSLAPICryptoError> {
public:
  using CryptoErrorOf::CryptoErrorOf;
};
class EIdOSSLLoadingKeyError : public detail::CryptoErrorOf<EIdOSSLLoadingKeyError, EIdOpenSSLAPICryptoError> {
public:
  using CryptoErrorOf::CryptoErrorOf;
};
class EIdOSSLLoadingDHParamsError
    : public detail::CryptoErrorOf<EIdOSSLLoadingDHParamsError, EIdOpenSSLAPICryptoError> {
public:
  using CryptoErrorOf::CryptoErrorOf;
};
class EIdOSSLFDSetError : public detail::SSLErrorOf<EIdOSSLFDSetError, EIdOpenSSLAPISSLError> {
public:
  using SSLErrorOf::SSLErrorOf;
};
class EIdOSSLDataBindingError : public detail::SSLErrorOf<EIdOSSLDataBindingError, EIdOpenSSLAPISSLError> {
public:
  using SSLErrorOf::SSLErrorOf;
};
class EIdOSSLAcceptError : public detail::SSLErrorOf<EIdOSSLAcceptError, EIdOpenSSLAPISSLError> {
public:
  using SSLErrorOf::SSLErrorOf;
};
class EIdOSSLConnectError : public detail::SSLErrorOf<EIdOSSLConnectError, EIdOpenSSLAPISSLError> {
public:
  using SSLErrorOf::SSLErrorOf;
};

// ---------------------------------------------------------------------------
// Process-wide settings and life cycle

// Read when the libraries are opened. Components set the level from their
// TLS options before they make a TLS handler.
TwsOpenSSLAPI OpenSSLAPIVersion();
void SetOpenSSLAPIVersion(TwsOpenSSLAPI AValue);
// Folder put in front of the library file names; a non-empty folder gets a
// trailing "/", an empty one means the system's library search.
std::string OpenSSLLibraryPath();
void SetOpenSSLLibraryPath(const std::string& AFolder);
// OpenSSL_version_num() read at initialisation (API level 1.1 only).
std::uint32_t OpenSSLVersionNumber();

bool BindOpenSSLLibraries();
void UnbindOpenSSLLibraries();
// Binds and initialises once; thread-safe.
bool EnsureOpenSSLLoaded();
// Clean-up calls, libraries closed, table cleared; at process end.
void ShutdownOpenSSL();

// Locks that serialise the TLS callbacks across all sessions; they exist
// after a successful EnsureOpenSSLLoaded.
namespace detail {
void LockStatusInfo();
void UnlockStatusInfo();
void LockPassword();
void UnlockPassword();
void LockVerify();
void UnlockVerify();
}  // namespace detail

// ---------------------------------------------------------------------------
// The function table

namespace detail {

// DES as the NTLM responses need it (these entry points are no longer
// declared by the headers).
struct DESKeySchedule {
  std::uint32_t deslong[32];
};
using DESBlock = unsigned char[8];

// One entry per OpenSSL function; null while unbound or absent.
struct OpenSSLFunctionTable {
  // --- TLS library
  SSL_CTX* (*SSL_CTX_new)(const SSL_METHOD*) = nullptr;
  void (*SSL_CTX_free)(SSL_CTX*) = nullptr;
  int (*SSL_CTX_up_ref)(SSL_CTX*) = nullptr;
  long (*SSL_CTX_ctrl)(SSL_CTX*, int, long, void*) = nullptr;
  std::uint64_t (*SSL_CTX_set_options)(SSL_CTX*, std::uint64_t) = nullptr;    // 3.x: a function
  std::uint64_t (*SSL_CTX_clear_options)(SSL_CTX*, std::uint64_t) = nullptr;  // 3.x: a function
  int (*SSL_CTX_set_cipher_list)(SSL_CTX*, const char*) = nullptr;
  int (*SSL_CTX_set_ciphersuites)(SSL_CTX*, const char*) = nullptr;
  int (*SSL_CTX_use_certificate)(SSL_CTX*, X509*) = nullptr;
  int (*SSL_CTX_use_PrivateKey)(SSL_CTX*, EVP_PKEY*) = nullptr;
  int (*SSL_CTX_check_private_key)(const SSL_CTX*) = nullptr;
  void (*SSL_CTX_set_verify)(SSL_CTX*, int, SSL_verify_cb) = nullptr;
  void (*SSL_CTX_set_verify_depth)(SSL_CTX*, int) = nullptr;
  void (*SSL_CTX_set_default_passwd_cb)(SSL_CTX*, pem_password_cb*) = nullptr;
  void (*SSL_CTX_set_default_passwd_cb_userdata)(SSL_CTX*, void*) = nullptr;
  int (*SSL_CTX_set_default_verify_paths)(SSL_CTX*) = nullptr;
  int (*SSL_CTX_set_session_id_context)(SSL_CTX*, const unsigned char*, unsigned int) = nullptr;
  void (*SSL_CTX_set_client_CA_list)(SSL_CTX*, STACK_OF(X509_NAME) *) = nullptr;
  X509_STORE* (*SSL_CTX_get_cert_store)(const SSL_CTX*) = nullptr;
  void (*SSL_CTX_set_info_callback)(SSL_CTX*, void (*)(const SSL*, int, int)) = nullptr;
  int (*SSL_CTX_set_alpn_protos)(SSL_CTX*, const unsigned char*, unsigned int) = nullptr;
  void (*SSL_CTX_set_alpn_select_cb)(SSL_CTX*, SSL_CTX_alpn_select_cb_func, void*) = nullptr;
  int (*SSL_CTX_use_certificate_chain_file)(SSL_CTX*, const char*) = nullptr;
  void (*SSL_CTX_set_security_level)(SSL_CTX*, int) = nullptr;
  int (*SSL_CTX_get_security_level)(const SSL_CTX*) = nullptr;

  SSL* (*SSL_new)(SSL_CTX*) = nullptr;
  void (*SSL_free)(SSL*) = nullptr;
  int (*SSL_set_fd)(SSL*, int) = nullptr;
  int (*SSL_accept)(SSL*) = nullptr;
  int (*SSL_connect)(SSL*) = nullptr;
  int (*SSL_read)(SSL*, void*, int) = nullptr;
  int (*SSL_write)(SSL*, const void*, int) = nullptr;
  int (*SSL_shutdown)(SSL*) = nullptr;
  long (*SSL_ctrl)(SSL*, int, long, void*) = nullptr;
  int (*SSL_get_error)(const SSL*, int) = nullptr;
  // SSL_get1_peer_certificate on 3.x, SSL_get_peer_certificate before: both
  // return a reference the caller frees.
  X509* (*SSL_get_peer_certificate)(const SSL*) = nullptr;
  SSL_SESSION* (*SSL_get_session)(const SSL*) = nullptr;
  const unsigned char* (*SSL_SESSION_get_id)(const SSL_SESSION*, unsigned int*) = nullptr;
  int (*SSL_copy_session_id)(SSL*, const SSL*) = nullptr;
  const SSL_CIPHER* (*SSL_get_current_cipher)(const SSL*) = nullptr;
  const char* (*SSL_CIPHER_get_name)(const SSL_CIPHER*) = nullptr;
  const char* (*SSL_CIPHER_get_version)(const SSL_CIPHER*) = nullptr;
  int (*SSL_CIPHER_get_bits)(const SSL_CIPHER*, int*) = nullptr;
  char* (*SSL_CIPHER_description)(const SSL_CIPHER*, char*, int) = nullptr;
  const char* (*SSL_state_string_long)(const SSL*) = nullptr;
  const char* (*SSL_alert_type_string_long)(int) = nullptr;
  const char* (*SSL_alert_desc_string_long)(int) = nullptr;
  int (*SSL_pending)(const SSL*) = nullptr;
  int (*SSL_has_pending)(const SSL*) = nullptr;
  int (*SSL_set_ex_data)(SSL*, int, void*) = nullptr;
  void* (*SSL_get_ex_data)(const SSL*, int) = nullptr;
  void (*SSL_get0_alpn_selected)(const SSL*, const unsigned char**, unsigned int*) = nullptr;
  void (*SSL_set_bio)(SSL*, BIO*, BIO*) = nullptr;
  BIO* (*SSL_get_rbio)(const SSL*) = nullptr;
  const char* (*SSL_get_version)(const SSL*) = nullptr;
  int (*SSL_get_ex_data_X509_STORE_CTX_idx)() = nullptr;
  int (*SSL_set1_host)(SSL*, const char*) = nullptr;
  X509_VERIFY_PARAM* (*SSL_get0_param)(SSL*) = nullptr;
  long (*SSL_get_verify_result)(const SSL*) = nullptr;
  void (*SSL_set_verify)(SSL*, int, SSL_verify_cb) = nullptr;
  void (*SSL_set_verify_depth)(SSL*, int) = nullptr;
  int (*SSL_set_cipher_list)(SSL*, const char*) = nullptr;
  void (*SSL_set_security_level)(SSL*, int) = nullptr;
  void (*SSL_COMP_free_compression_methods)() = nullptr;
  void* (*SSL_COMP_get_compression_methods)() = nullptr;

  // Protocol methods. TLS_method and its two forms exist from 1.1 on; the
  // SSLv23 names are the 1.0 spelling of the same.
  const SSL_METHOD* (*TLS_method)() = nullptr;
  const SSL_METHOD* (*TLS_server_method)() = nullptr;
  const SSL_METHOD* (*TLS_client_method)() = nullptr;
  const SSL_METHOD* (*SSLv2_method)() = nullptr;
  const SSL_METHOD* (*SSLv2_server_method)() = nullptr;
  const SSL_METHOD* (*SSLv2_client_method)() = nullptr;
  const SSL_METHOD* (*SSLv3_method)() = nullptr;
  const SSL_METHOD* (*SSLv3_server_method)() = nullptr;
  const SSL_METHOD* (*SSLv3_client_method)() = nullptr;
  const SSL_METHOD* (*SSLv23_method)() = nullptr;
  const SSL_METHOD* (*SSLv23_server_method)() = nullptr;
  const SSL_METHOD* (*SSLv23_client_method)() = nullptr;
  const SSL_METHOD* (*TLSv1_method)() = nullptr;
  const SSL_METHOD* (*TLSv1_server_method)() = nullptr;
  const SSL_METHOD* (*TLSv1_client_method)() = nullptr;
  const SSL_METHOD* (*TLSv1_1_method)() = nullptr;
  const SSL_METHOD* (*TLSv1_1_server_method)() = nullptr;
  const SSL_METHOD* (*TLSv1_1_client_method)() = nullptr;
  const SSL_METHOD* (*TLSv1_2_method)() = nullptr;
  const SSL_METHOD* (*TLSv1_2_server_method)() = nullptr;
  const SSL_METHOD* (*TLSv1_2_client_method)() = nullptr;

  // Start-up and clean-up of the 1.0 line.
  int (*SSL_library_init)() = nullptr;
  void (*SSL_load_error_strings)() = nullptr;
  void (*OpenSSL_add_all_ciphers)() = nullptr;
  void (*OpenSSL_add_all_digests)() = nullptr;
  void (*OpenSSL_add_all_algorithms)() = nullptr;
  int (*CRYPTO_num_locks)() = nullptr;
  void (*CRYPTO_set_locking_callback)(void (*)(int, int, const char*, int)) = nullptr;
  void (*ERR_free_strings)() = nullptr;
  void (*EVP_cleanup)() = nullptr;
  unsigned long (*SSLeay)() = nullptr;
  void (*RAND_screen)() = nullptr;
  void (*RAND_cleanup)() = nullptr;
  void (*ERR_remove_thread_state)(const void*) = nullptr;
  void (*ERR_remove_state)(unsigned long) = nullptr;
  void (*CRYPTO_cleanup_all_ex_data)() = nullptr;
  int (*FIPS_mode)() = nullptr;
  int (*FIPS_mode_set)(int) = nullptr;

  // --- crypto library
  unsigned long (*OpenSSL_version_num)() = nullptr;
  const char* (*OpenSSL_version)(int) = nullptr;
  int (*X509_STORE_load_locations)(X509_STORE*, const char*, const char*) = nullptr;
  int (*X509_STORE_add_cert)(X509_STORE*, X509*) = nullptr;
  int (*X509_STORE_add_crl)(X509_STORE*, X509_CRL*) = nullptr;
  // The store the default verify paths are read into once (1.1 line on).
  X509_STORE* (*X509_STORE_new)() = nullptr;
  void (*X509_STORE_free)(X509_STORE*) = nullptr;
  int (*X509_STORE_up_ref)(X509_STORE*) = nullptr;
  int (*X509_STORE_set_default_paths)(X509_STORE*) = nullptr;
  void (*SSL_CTX_set_cert_store)(SSL_CTX*, X509_STORE*) = nullptr;
  int (*X509_STORE_CTX_get_error)(const X509_STORE_CTX*) = nullptr;
  int (*X509_STORE_CTX_get_error_depth)(const X509_STORE_CTX*) = nullptr;
  X509* (*X509_STORE_CTX_get_current_cert)(const X509_STORE_CTX*) = nullptr;
  void* (*X509_STORE_CTX_get_ex_data)(const X509_STORE_CTX*, int) = nullptr;
  X509_NAME* (*X509_get_subject_name)(const X509*) = nullptr;
  X509_NAME* (*X509_get_issuer_name)(const X509*) = nullptr;
  ASN1_INTEGER* (*X509_get_serialNumber)(X509*) = nullptr;
  long (*X509_get_version)(const X509*) = nullptr;
  const ASN1_TIME* (*X509_get0_notBefore)(const X509*) = nullptr;
  const ASN1_TIME* (*X509_get0_notAfter)(const X509*) = nullptr;
  void (*X509_get0_signature)(const ASN1_BIT_STRING**, const X509_ALGOR**, const X509*) = nullptr;
  int (*X509_get_signature_nid)(const X509*) = nullptr;
  char* (*X509_NAME_oneline)(const X509_NAME*, char*, int) = nullptr;
  unsigned long (*X509_NAME_hash)(const X509_NAME*) = nullptr;                                       // before 3.x
  unsigned long (*X509_NAME_hash_ex)(const X509_NAME*, OSSL_LIB_CTX*, const char*, int*) = nullptr;  // 3.x
  int (*X509_NAME_cmp)(const X509_NAME*, const X509_NAME*) = nullptr;
  void (*X509_NAME_free)(X509_NAME*) = nullptr;
  X509_NAME* (*X509_NAME_dup)(const X509_NAME*) = nullptr;
  int (*X509_digest)(const X509*, const EVP_MD*, unsigned char*, unsigned int*) = nullptr;
  void (*X509_free)(X509*) = nullptr;
  int (*X509_up_ref)(X509*) = nullptr;
  void (*X509_INFO_free)(X509_INFO*) = nullptr;
  int (*X509_print)(BIO*, X509*) = nullptr;
  const char* (*X509_get_default_cert_file)() = nullptr;
  const char* (*X509_get_default_cert_file_env)() = nullptr;
  int (*X509_VERIFY_PARAM_set1_ip_asc)(X509_VERIFY_PARAM*, const char*) = nullptr;
  int (*X509_VERIFY_PARAM_set1_host)(X509_VERIFY_PARAM*, const char*, size_t) = nullptr;
  const char* (*X509_verify_cert_error_string)(long) = nullptr;
  X509_NAME* (*d2i_X509_NAME)(X509_NAME**, const unsigned char**, long) = nullptr;
  int (*i2d_X509_NAME)(const X509_NAME*, unsigned char**) = nullptr;
  void* (*ASN1_dup)(i2d_of_void*, d2i_of_void*, const void*) = nullptr;
  long (*ASN1_INTEGER_get)(const ASN1_INTEGER*) = nullptr;
  int (*ASN1_STRING_length)(const ASN1_STRING*) = nullptr;
  const unsigned char* (*ASN1_STRING_get0_data)(const ASN1_STRING*) = nullptr;
  int (*OBJ_obj2nid)(const ASN1_OBJECT*) = nullptr;
  const char* (*OBJ_nid2ln)(int) = nullptr;
  int (*EVP_PKEY_type)(int) = nullptr;
  void (*EVP_PKEY_free)(EVP_PKEY*) = nullptr;

  // Digests.
  const EVP_MD* (*EVP_md4)() = nullptr;
  const EVP_MD* (*EVP_md5)() = nullptr;
  const EVP_MD* (*EVP_sha1)() = nullptr;
  const EVP_MD* (*EVP_sha224)() = nullptr;
  const EVP_MD* (*EVP_sha256)() = nullptr;
  const EVP_MD* (*EVP_sha384)() = nullptr;
  const EVP_MD* (*EVP_sha512)() = nullptr;
  const EVP_MD* (*EVP_get_digestbyname)(const char*) = nullptr;
  // 3.x: whether a provider really offers a digest (EVP_md4 answers even
  // when the default provider lacks MD4).
  EVP_MD* (*EVP_MD_fetch)(OSSL_LIB_CTX*, const char*, const char*) = nullptr;
  void (*EVP_MD_free)(EVP_MD*) = nullptr;
  int (*EVP_MD_get_size)(const EVP_MD*) = nullptr;   // EVP_MD_size before 3.x
  EVP_MD_CTX* (*EVP_MD_CTX_new)() = nullptr;         // EVP_MD_CTX_create on 1.0
  void (*EVP_MD_CTX_free)(EVP_MD_CTX*) = nullptr;    // EVP_MD_CTX_destroy on 1.0
  void (*EVP_MD_CTX_init)(EVP_MD_CTX*) = nullptr;    // 1.0 only
  int (*EVP_MD_CTX_cleanup)(EVP_MD_CTX*) = nullptr;  // 1.0 only
  int (*EVP_DigestInit_ex)(EVP_MD_CTX*, const EVP_MD*, ENGINE*) = nullptr;
  int (*EVP_DigestUpdate)(EVP_MD_CTX*, const void*, size_t) = nullptr;
  int (*EVP_DigestFinal_ex)(EVP_MD_CTX*, unsigned char*, unsigned int*) = nullptr;
  int (*EVP_Digest)(const void*, size_t, unsigned char*, unsigned int*, const EVP_MD*, ENGINE*) = nullptr;

  // HMAC: the status form (every library from 1.0.0 on).
  HMAC_CTX* (*HMAC_CTX_new)() = nullptr;
  void (*HMAC_CTX_free)(HMAC_CTX*) = nullptr;
  void (*HMAC_CTX_init)(HMAC_CTX*) = nullptr;     // 1.0 only
  void (*HMAC_CTX_cleanup)(HMAC_CTX*) = nullptr;  // 1.0 only
  int (*HMAC_Init_ex)(HMAC_CTX*, const void*, int, const EVP_MD*, ENGINE*) = nullptr;
  int (*HMAC_Update)(HMAC_CTX*, const unsigned char*, size_t) = nullptr;
  int (*HMAC_Final)(HMAC_CTX*, unsigned char*, unsigned int*) = nullptr;
  unsigned char* (*HMAC)(const EVP_MD*, const void*, int, const unsigned char*, size_t, unsigned char*,
                         unsigned int*) = nullptr;

  // DES (NTLM).
  void (*DES_set_odd_parity)(DESBlock*) = nullptr;
  int (*DES_set_key_checked)(const DESBlock*, DESKeySchedule*) = nullptr;
  void (*DES_set_key_unchecked)(const DESBlock*, DESKeySchedule*) = nullptr;
  void (*DES_ecb_encrypt)(const DESBlock*, DESBlock*, DESKeySchedule*, int) = nullptr;

  // BIOs.
  BIO* (*BIO_new)(const BIO_METHOD*) = nullptr;
  int (*BIO_free)(BIO*) = nullptr;
  BIO* (*BIO_new_mem_buf)(const void*, int) = nullptr;
  const BIO_METHOD* (*BIO_s_mem)() = nullptr;
  long (*BIO_ctrl)(BIO*, int, long, void*) = nullptr;
  int (*BIO_read)(BIO*, void*, int) = nullptr;
  int (*BIO_write)(BIO*, const void*, int) = nullptr;
  // Called around each BIO operation: (bio, operation, buffer, length, int
  // argument, long argument, result, bytes done).
  using BIOCallbackEx = long (*)(BIO*, int, const char*, std::size_t, int, long, int, std::size_t*);
  void (*BIO_set_callback_ex)(BIO*, BIOCallbackEx) = nullptr;
  void (*BIO_set_callback_arg)(BIO*, char*) = nullptr;
  char* (*BIO_get_callback_arg)(const BIO*) = nullptr;

  // Certificates and keys.
  X509* (*d2i_X509_bio)(BIO*, X509**) = nullptr;
  EVP_PKEY* (*d2i_PrivateKey_bio)(BIO*, EVP_PKEY**) = nullptr;
  PKCS12* (*d2i_PKCS12_bio)(BIO*, PKCS12**) = nullptr;
  int (*PKCS12_parse)(PKCS12*, const char*, EVP_PKEY**, X509**, STACK_OF(X509) **) = nullptr;
  void (*PKCS12_free)(PKCS12*) = nullptr;
  STACK_OF(X509_INFO) * (*PEM_X509_INFO_read_bio)(BIO*, STACK_OF(X509_INFO) *, pem_password_cb*, void*) = nullptr;
  X509* (*PEM_read_bio_X509_AUX)(BIO*, X509**, pem_password_cb*, void*) = nullptr;
  X509* (*PEM_read_bio_X509)(BIO*, X509**, pem_password_cb*, void*) = nullptr;
  EVP_PKEY* (*PEM_read_bio_PrivateKey)(BIO*, EVP_PKEY**, pem_password_cb*, void*) = nullptr;
  DH* (*PEM_read_bio_DHparams)(BIO*, DH**, pem_password_cb*, void*) = nullptr;
  void (*DH_free)(DH*) = nullptr;

  // Errors.
  unsigned long (*ERR_get_error)() = nullptr;
  unsigned long (*ERR_peek_error)() = nullptr;
  unsigned long (*ERR_peek_last_error)() = nullptr;
  void (*ERR_clear_error)() = nullptr;
  void (*ERR_error_string_n)(unsigned long, char*, size_t) = nullptr;
  void (*ERR_put_error)(int, int, int, const char*, int) = nullptr;  // before 3.x
  void (*ERR_new)() = nullptr;                                       // 3.x
  void (*ERR_set_debug)(const char*, int, const char*) = nullptr;    // 3.x
  void (*ERR_set_error)(int, int, const char*, ...) = nullptr;       // 3.x

  // Memory and stacks (OPENSSL_sk_... from 1.1 on, sk_... before).
  void* (*CRYPTO_malloc)(size_t, const char*, int) = nullptr;
  void (*CRYPTO_free)(void*, const char*, int) = nullptr;
  int (*OPENSSL_sk_num)(const OPENSSL_STACK*) = nullptr;
  OPENSSL_STACK* (*OPENSSL_sk_new)(OPENSSL_sk_compfunc) = nullptr;
  OPENSSL_STACK* (*OPENSSL_sk_new_null)() = nullptr;
  void (*OPENSSL_sk_free)(OPENSSL_STACK*) = nullptr;
  int (*OPENSSL_sk_push)(OPENSSL_STACK*, const void*) = nullptr;
  OPENSSL_STACK* (*OPENSSL_sk_dup)(const OPENSSL_STACK*) = nullptr;
  int (*OPENSSL_sk_find)(OPENSSL_STACK*, const void*) = nullptr;
  void* (*OPENSSL_sk_value)(const OPENSSL_STACK*, int) = nullptr;
  void (*OPENSSL_sk_pop_free)(OPENSSL_STACK*, void (*)(void*)) = nullptr;

  int (*RAND_bytes)(unsigned char*, int) = nullptr;

  // Making a key and a self-signed certificate in process (1.1 and later).
  EVP_PKEY_CTX* (*EVP_PKEY_CTX_new_id)(int, ENGINE*) = nullptr;
  void (*EVP_PKEY_CTX_free)(EVP_PKEY_CTX*) = nullptr;
  int (*EVP_PKEY_keygen_init)(EVP_PKEY_CTX*) = nullptr;
  int (*EVP_PKEY_keygen)(EVP_PKEY_CTX*, EVP_PKEY**) = nullptr;
  X509* (*X509_new)() = nullptr;
  int (*X509_set_version)(X509*, long) = nullptr;
  int (*ASN1_INTEGER_set)(ASN1_INTEGER*, long) = nullptr;
  ASN1_TIME* (*X509_gmtime_adj)(ASN1_TIME*, long) = nullptr;
  ASN1_TIME* (*X509_getm_notBefore)(const X509*) = nullptr;
  ASN1_TIME* (*X509_getm_notAfter)(const X509*) = nullptr;
  int (*X509_set_pubkey)(X509*, EVP_PKEY*) = nullptr;
  int (*X509_NAME_add_entry_by_txt)(X509_NAME*, const char*, int, const unsigned char*, int, int, int) = nullptr;
  int (*X509_set_issuer_name)(X509*, const X509_NAME*) = nullptr;
  void (*X509V3_set_ctx)(X509V3_CTX*, X509*, X509*, X509_REQ*, X509_CRL*, int) = nullptr;
  X509_EXTENSION* (*X509V3_EXT_nconf_nid)(CONF*, X509V3_CTX*, int, const char*) = nullptr;
  int (*X509_add_ext)(X509*, X509_EXTENSION*, int) = nullptr;
  void (*X509_EXTENSION_free)(X509_EXTENSION*) = nullptr;
  int (*X509_sign)(X509*, EVP_PKEY*, const EVP_MD*) = nullptr;
  int (*PEM_write_bio_X509)(BIO*, const X509*) = nullptr;
  int (*PEM_write_bio_PrivateKey)(BIO*, const EVP_PKEY*, const EVP_CIPHER*, const unsigned char*, int, pem_password_cb*,
                                  void*) = nullptr;
};

// The table; filled by BindOpenSSLLibraries, read without a lock afterwards.
extern OpenSSLFunctionTable OSSL;

// The level every level-dependent step reads: that of the library actually
// loaded (a library exporting OpenSSL_version_num is of the 1.1 line or
// later), fixed at the first successful load; the configured level before.
TwsOpenSSLAPI OpenSSLEffectiveAPIVersion();
// Why the last binding failed: the files that would not open with the
// loader's text, and the missing functions; empty after a success.
std::string OpenSSLLoadFailureReason();
// One certificate store holding the default verify paths (the system's CA
// file and folder), read on first use and kept until the library is
// unbound; null when the library lacks the calls to share a store. A caller
// that keeps it takes a reference (X509_STORE_up_ref).
X509_STORE* SharedDefaultVerifyStore();
// Whether a context given a root file or folders trusts only those, leaving
// out the system's CA file and folder. Off by default; a tool whose user
// names the certificates to trust (fetch --cacert) switches it on for its
// process before any context is made.
void SetRootFilesReplaceDefaultRoots(bool AValue);
bool RootFilesReplaceDefaultRoots();

// What identifies the content of a root file without reading it: a file
// replaced or rewritten shows a different stamp. Valid (and otherwise
// empty) for no file; not valid when the file cannot be examined.
struct RootFileStamp {
  bool Valid = false;
  std::uint64_t Device = 0, Inode = 0;
  std::int64_t Size = 0, ModifiedNs = 0, ChangedNs = 0;
  bool operator==(const RootFileStamp&) const = default;
};
RootFileStamp RootFileStampOf(const std::string& AFile);
// A store already read with the default verify paths, ARootFile and
// AVerifyDirs, as long as the file still has AStamp; the caller gets a
// reference. Null when there is none (a changed file's store is dropped).
X509_STORE* FindRootStore(const std::string& ARootFile, const std::string& AVerifyDirs, const RootFileStamp& AStamp);
// Keeps AStore (a reference of its own) for later contexts with the same
// file, folders and stamp; kept until the library is unbound.
void KeepRootStore(const std::string& ARootFile, const std::string& AVerifyDirs, const RootFileStamp& AStamp,
                   X509_STORE* AStore);
// A finished client context made before under AKey (every option that
// shaped it), with a reference for the caller; null when there is none.
SSL_CTX* FindSharedContext(const std::string& AKey);
// Keeps AContext (a reference of its own) for later contexts with the same
// key, until the library is unbound.
void KeepSharedContext(const std::string& AKey, SSL_CTX* AContext);

// Error code layout: the 3.x packing differs from the 1.x one.
int ERRGetLib(unsigned long AErrCode);
int ERRGetReason(unsigned long AErrCode);
// Queues an error (ERR_put_error before 3.x, ERR_new + ERR_set_error on it).
void OpenSSLPutError(int ALib, int AFunc, int AReason);
inline constexpr int ERR_LIB_X509_ = 11;
inline constexpr int ERR_LIB_SSL_ = 20;
inline constexpr int ERR_LIB_PEM_ = 9;
inline constexpr int ERR_R_SYS_LIB_ = 2;
inline constexpr int ERR_R_PEM_LIB_ = 9;
inline constexpr int PEM_R_NO_START_LINE_ = 108;

// Context option switches: the functions on 3.x (where the old control
// numbers do nothing), SSL_CTX_ctrl with 32 and 77 before.
void CtxSetOptions(SSL_CTX* ACtx, std::uint64_t AOptions);
void CtxClearOptions(SSL_CTX* ACtx, std::uint64_t AOptions);
// X509_NAME_hash_ex on 3.x, X509_NAME_hash before.
unsigned long NameHash(const X509_NAME* AName);

}  // namespace detail

template <class Self, class Base>
[[noreturn]] void detail::CryptoErrorOf<Self, Base>::RaiseException(const std::string& AMessage) {
  RaiseExceptionCode(OSSL.ERR_get_error ? OSSL.ERR_get_error() : 0, AMessage);
}

template <class Self, class Base>
[[noreturn]] void detail::SSLErrorOf<Self, Base>::RaiseException(SSL* ASSL, int ARetCode, const std::string& AMessage) {
  int err = (ASSL && OSSL.SSL_get_error) ? OSSL.SSL_get_error(ASSL, ARetCode) : SSL_ERROR_SSL;
  RaiseSSLErrorCode<Self>(err, ARetCode, AMessage);
}

namespace detail {
std::string OpenSSLErrorText(unsigned long AErrCode);
[[noreturn]] void RaiseLastSocketErrorForSSL();

template <class E>
[[noreturn]] void RaiseSSLErrorCode(int AErrCode, int ARetCode, const std::string& AMessage) {
  if (AErrCode == SSL_ERROR_SSL) EIdOSSLUnderlyingCryptoError::RaiseException(AMessage);
  std::string prefix = AMessage.empty() ? std::string() : AMessage + "\r\n";
  if (AErrCode == SSL_ERROR_SYSCALL) {
    unsigned long e = OSSL.ERR_get_error ? OSSL.ERR_get_error() : 0;
    if (e != 0) EIdOSSLUnderlyingCryptoError::RaiseExceptionCode(e, AMessage);
    if (ARetCode == -1) RaiseLastSocketErrorForSSL();
    if (ARetCode == 0) {
      E ex(prefix + RSSSLEOFViolation);
      ex.SetCodes(AErrCode, ARetCode);
      throw ex;
    }
  }
  E ex(prefix + OpenSSLErrorText(static_cast<unsigned long>(AErrCode)));
  ex.SetCodes(AErrCode, ARetCode);
  throw ex;
}
}  // namespace detail
