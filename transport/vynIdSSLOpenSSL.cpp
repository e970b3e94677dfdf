#include "transport/vynIdSSLOpenSSL.h"

#include <sys/socket.h>
#include <sys/time.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <mutex>
#include <vector>

#include "platform/DateUtils.h"
#include "transport/vynIdResourceStringsOpenSSL.h"
#include "transport/vynIdURI.h"

using detail::OSSL;

namespace {

// Control numbers of OpenSSL's macros, issued through the ctrl functions.
constexpr int kCtrlSetTmpDH = 3;
constexpr int kCtrlSetMode = 33;
constexpr int kCtrlSetTLSExtHostName = 55;
constexpr int kCtrlSetReadAhead = 41;
constexpr int kCtrlClearChainCerts = 88;
constexpr int kCtrlAdd0ChainCert = 89;
constexpr int kCtrlSetMinProtoVersion = 123;
constexpr int kCtrlSetMaxProtoVersion = 124;
constexpr int kBIOCtrlGetMemData = 3;
// BIO_CB_READ and BIO_CB_RETURN: the callback after a read.
constexpr int kBIOCallbackRead = 0x02;
constexpr int kBIOCallbackReturn = 0x80;
constexpr long kModeAutoRetry = 4;

// Certificate, key and parameter files are small; anything larger is refused
// rather than read into memory.
constexpr std::int64_t kMaxCertFileSize = 16 * 1024 * 1024;

bool IsWantIO(int AErr) { return AErr == SSL_ERROR_WANT_READ || AErr == SSL_ERROR_WANT_WRITE; }

// Saves the socket layer's last error around a callback, so the I/O path
// reads its own error afterwards.
class ErrnoKeeper {
public:
  ErrnoKeeper() : FErr(errno) {}
  ~ErrnoKeeper() { errno = FErr; }

private:
  int FErr;
};

template <void (*Lock)(), void (*Unlock)()>
class CallbackLock {
public:
  CallbackLock() { Lock(); }
  ~CallbackLock() { Unlock(); }
};

// The whole file in a memory BIO, or none with an error queued for AFunc.
struct MemBIO {
  TMemoryStream Data;
  BIO* Bio = nullptr;
  ~MemBIO() {
    if (Bio) OSSL.BIO_free(Bio);
  }
  bool Load(const std::string& AFile, int ALib) {
    try {
      TFileStream f(AFile, fmOpenRead);
      if (f.Size() > kMaxCertFileSize) throw EReadError(AFile);
      Data.LoadFromStream(f);
    } catch (const Exception&) {
      detail::OpenSSLPutError(ALib, 0, detail::ERR_R_SYS_LIB_);
      return false;
    }
    Bio = OSSL.BIO_new_mem_buf(Data.Memory(), static_cast<int>(Data.Size()));
    return Bio != nullptr;
  }
};

bool HasPKCS12Extension(const std::string& AFile) { return EndsText(".p12", AFile) || EndsText(".pfx", AFile); }

std::string HexPairs(const unsigned char* AData, std::size_t ALen, const char* ASep) {
  static const char* digits = "0123456789abcdef";
  std::string s;
  for (std::size_t i = 0; i < ALen; ++i) {
    if (i && ASep) s += ASep;
    s += digits[AData[i] >> 4];
    s += digits[AData[i] & 15];
  }
  return s;
}

// An address literal gets no server name and is checked as an address.
std::string BareHost(const std::string& AHost) {
  if (AHost.size() > 2 && AHost.front() == '[' && AHost.back() == ']') return AHost.substr(1, AHost.size() - 2);
  return AHost;
}
bool IsIPLiteral(const std::string& AHost) {
  std::string h = BareHost(AHost);
  return TIdStack::IsIP(h) || !TIdStack::MakeCanonicalIPv6Address(h).empty();
}

// ---------------------------------------------------------------------------
// Callbacks from OpenSSL

int PasswordCallback(char* ABuf, int ASize, int ARWFlag, void* AUserData) {
  if (!ABuf || ASize <= 0) return 0;
  CallbackLock<detail::LockPassword, detail::UnlockPassword> lock;
  ErrnoKeeper keep;
  std::string password;
  auto* ctx = static_cast<TIdSSLContext*>(AUserData);
  try {
    if (ctx && ctx->Parent) password = ctx->Parent->ProvidePassword(ARWFlag > 0);
  } catch (...) {
    password.clear();
  }
  std::memset(ABuf, 0, static_cast<std::size_t>(ASize));
  std::size_t n = std::min(password.size(), static_cast<std::size_t>(ASize - 1));
  std::memcpy(ABuf, password.data(), n);
  return static_cast<int>(n);
}

TIdSSLSocket* SessionOf(const SSL* ASSL) {
  if (!ASSL || !OSSL.SSL_get_ex_data) return nullptr;
  return static_cast<TIdSSLSocket*>(OSSL.SSL_get_ex_data(ASSL, 0));
}

void InfoCallback(const SSL* ASSL, int AWhere, int ARet) {
  CallbackLock<detail::LockStatusInfo, detail::UnlockStatusInfo> lock;
  ErrnoKeeper keep;
  TIdSSLSocket* session = SessionOf(ASSL);
  if (!session || !session->Parent) return;
  try {
    session->Parent->ReportStatus(const_cast<SSL*>(ASSL), AWhere, ARet,
                                  Format(RSOSSLStatusString, OSSL.SSL_state_string_long(ASSL)));
  } catch (...) {
    // An event handler's failure must not unwind through OpenSSL.
  }
}

int VerifyCallback(int AOk, X509_STORE_CTX* AStore) {
  CallbackLock<detail::LockVerify, detail::UnlockVerify> lock;
  SSL* ssl = nullptr;
  if (detail::OpenSSLEffectiveAPIVersion() == TwsOpenSSLAPI::oslAPI_1_1) {
    ssl = static_cast<SSL*>(OSSL.X509_STORE_CTX_get_ex_data(AStore, OSSL.SSL_get_ex_data_X509_STORE_CTX_idx()));
  } else if (OSSL.X509_STORE_CTX_get_ex_data) {
    ssl = static_cast<SSL*>(OSSL.X509_STORE_CTX_get_ex_data(AStore, 0));
  }
  TIdSSLSocket* session = SessionOf(ssl);
  if (!session) return AOk;
  try {
    TIdX509 view(OSSL.X509_STORE_CTX_get_current_cert(AStore), false);
    int error = OSSL.X509_STORE_CTX_get_error(AStore);
    int depth = OSSL.X509_STORE_CTX_get_error_depth(AStore);
    int ok = AOk;
    // A depth of 0 or less leaves OpenSSL's own limit in force.
    if (ok < 1 ||
        (session->SSLContext && session->SSLContext->VerifyDepth > 0 && depth > session->SSLContext->VerifyDepth))
      ok = 0;
    if (!session->Parent) return ok;
    return session->Parent->ConfirmPeer(&view, ok == 1, depth, error) ? 1 : 0;
  } catch (...) {
    return 0;
  }
}

int ALPNSelectCallback(SSL* ASSL, const unsigned char** AOut, unsigned char* AOutLen, const unsigned char* AIn,
                       unsigned int AInLen, void*) {
  TIdSSLSocket* session = SessionOf(ASSL);
  if (!session || !AIn || AInLen == 0) return SSL_TLSEXT_ERR_NOACK;
  TStringList protocols;
  for (unsigned i = 0; i < AInLen;) {
    unsigned len = AIn[i++];
    if (len == 0 || i + len > AInLen) break;
    protocols.Add(std::string(reinterpret_cast<const char*>(AIn + i), len));
    i += len;
  }
  if (protocols.Count() == 0 || !session->OnALPNSelect) return SSL_TLSEXT_ERR_NOACK;
  std::string chosen;
  try {
    session->OnALPNSelect(session, protocols, chosen);
  } catch (...) {
    return SSL_TLSEXT_ERR_NOACK;
  }
  if (chosen.empty() || chosen.size() > 255) return SSL_TLSEXT_ERR_NOACK;
  session->ALPNProtocol = chosen;
  *AOut = reinterpret_cast<const unsigned char*>(session->ALPNProtocol.data());
  *AOutLen = static_cast<unsigned char>(session->ALPNProtocol.size());
  return SSL_TLSEXT_ERR_OK;
}

bool SetSocketTimeout(TIdStackSocketHandle AHandle, int AOption, std::int32_t AMs) {
  timeval tv{};
  tv.tv_sec = AMs / 1000;
  tv.tv_usec = (AMs % 1000) * 1000;
  return ::setsockopt(AHandle, SOL_SOCKET, AOption, &tv, sizeof tv) == 0;
}

}  // namespace

void detail::StatusInfoTypeAndMessage(SSL* ASSL, std::int32_t AWhere, std::int32_t ARet, std::string& VType,
                                      std::string& VMsg) {
  auto state = [&] { return std::string(OSSL.SSL_state_string_long(ASSL)); };
  auto exitType = [&](const char* AError, const char* AExit, const char* AFailed) {
    return std::string(ARet < 0 ? AError : ARet > 0 ? AExit : AFailed);
  };
  VType.clear();
  VMsg.clear();
  switch (AWhere) {
    case 0x0010:
      VType = "Handshake Start";
      VMsg = state();
      break;
    case 0x0020:
      VType = "Handshake Done";
      VMsg = state();
      break;
    case 0x1001:
      VType = "Connect Loop";
      VMsg = state();
      break;
    case 0x1002:
      VType = exitType("Connect Error", "Connect Exit", "Connect Failed");
      VMsg = state();
      break;
    case 0x2001:
      VType = "Accept Loop";
      VMsg = state();
      break;
    case 0x2002:
      VType = exitType("Accept Error", "Accept Exit", "Accept Failed");
      VMsg = state();
      break;
    case 0x4004:
      VType = Format("%s Read Alert", OSSL.SSL_alert_type_string_long(ARet));
      VMsg = OSSL.SSL_alert_desc_string_long(ARet);
      break;
    case 0x4008:
      VType = Format("%s Write Alert", OSSL.SSL_alert_type_string_long(ARet));
      VMsg = OSSL.SSL_alert_desc_string_long(ARet);
      break;
    default:
      break;
  }
}

// ---------------------------------------------------------------------------
// TIdSSLOptions

namespace {
constexpr TIdSSLVersions kAllVersions{TIdSSLVersion::sslvSSLv2,   TIdSSLVersion::sslvSSLv3,
                                      TIdSSLVersion::sslvTLSv1,   TIdSSLVersion::sslvTLSv1_1,
                                      TIdSSLVersion::sslvTLSv1_2, TIdSSLVersion::sslvTLSv1_3};
}

void TIdSSLOptions::SetMethod(TIdSSLVersion AValue) {
  FMethod = AValue;
  FSSLVersions = AValue == TIdSSLVersion::sslvSSLv23 ? kAllVersions : TIdSSLVersions{AValue};
}

void TIdSSLOptions::SetSSLVersions(TIdSSLVersions AValue) {
  for (TIdSSLVersion v : {TIdSSLVersion::sslvSSLv2, TIdSSLVersion::sslvSSLv3, TIdSSLVersion::sslvTLSv1,
                          TIdSSLVersion::sslvTLSv1_1, TIdSSLVersion::sslvTLSv1_2, TIdSSLVersion::sslvTLSv1_3}) {
    if (AValue == TIdSSLVersions{v}) {
      FSSLVersions = AValue;
      FMethod = v;
      return;
    }
  }
  FMethod = TIdSSLVersion::sslvSSLv23;
  if (AValue.Contains(TIdSSLVersion::sslvSSLv23)) {
    AValue.Exclude(TIdSSLVersion::sslvSSLv23);
    if (AValue.Empty()) AValue = kAllVersions;
  }
  FSSLVersions = AValue;
}

void TIdSSLOptions::Assign(const TPersistent& Source) {
  const auto& s = AssignSource<TIdSSLOptions>(Source);
  RootCertFile = s.RootCertFile;
  CertFile = s.CertFile;
  KeyFile = s.KeyFile;
  DHParamsFile = s.DHParamsFile;
  SetMethod(s.FMethod);
  SetSSLVersions(s.FSSLVersions);
  Mode = s.Mode;
  VerifyMode = s.VerifyMode;
  VerifyDepth = s.VerifyDepth;
  VerifyDirs = s.VerifyDirs;
  CipherList = s.CipherList;
}

// ---------------------------------------------------------------------------
// TIdSSLContext

TIdSSLContext::TIdSSLContext() {
  if (!EnsureOpenSSLLoaded()) throw EIdOSSLCouldNotLoadSSLLibrary();
}

TIdSSLContext::~TIdSSLContext() {
  if (Context) OSSL.SSL_CTX_free(Context);
}

TStringList& TIdSSLContext::ALPNProtocols() {
  if (!FALPNProtocols) FALPNProtocols = std::make_unique<TStringList>();
  return *FALPNProtocols;
}

std::unique_ptr<TIdSSLContext> TIdSSLContext::Clone() const {
  auto c = std::make_unique<TIdSSLContext>();
  c->StatusInfoOn = StatusInfoOn;
  c->VerifyOn = VerifyOn;
  c->Method = Method;
  c->SSLVersions = SSLVersions;
  c->Mode = Mode;
  c->RootCertFile = RootCertFile;
  c->CertFile = CertFile;
  c->KeyFile = KeyFile;
  c->VerifyMode = VerifyMode;
  c->VerifyDepth = VerifyDepth;
  return c;
}

const SSL_METHOD* TIdSSLContext::SelectMethod() {
  using V = TIdSSLVersion;
  if (Mode == TIdSSLMode::sslmUnassigned) throw EIdOSSLModeNotSet();
  const bool v11 = detail::OpenSSLEffectiveAPIVersion() == TwsOpenSSLAPI::oslAPI_1_1;
  // "Any version" is the library's version-flexible method, limited by the
  // context's version set and bounds, so both sides agree on the highest
  // version they share; pinning it to TLS 1.2 would refuse TLS 1.3.
  if (v11 && Method == V::sslvSSLv23 && OSSL.TLS_method) return OSSL.TLS_method();
  if (v11 && (Method == V::sslvSSLv2 || Method == V::sslvSSLv23 || Method == V::sslvSSLv3)) Method = V::sslvTLSv1_2;
  using Fn = const SSL_METHOD* (*)();
  struct Forms {
    Fn Client, Server, Both;
  };
  auto& t = OSSL;
  auto forms = [&](V v) -> Forms {
    switch (v) {
      case V::sslvSSLv2:
        return {t.SSLv2_client_method, t.SSLv2_server_method, t.SSLv2_method};
      case V::sslvSSLv23:
        return {t.SSLv23_client_method, t.SSLv23_server_method, t.SSLv23_method};
      case V::sslvSSLv3:
        return {t.SSLv3_client_method, t.SSLv3_server_method, t.SSLv3_method};
      case V::sslvTLSv1:
        return {t.TLSv1_client_method, t.TLSv1_server_method, t.TLSv1_method};
      case V::sslvTLSv1_1:
        return {t.TLSv1_1_client_method, t.TLSv1_1_server_method, t.TLSv1_1_method};
      case V::sslvTLSv1_2:
        return {t.TLSv1_2_client_method, t.TLSv1_2_server_method, t.TLSv1_2_method};
      case V::sslvTLSv1_3:
        return {t.TLS_method, t.TLS_method, t.TLS_method};
    }
    return {};
  };
  auto pick = [&](const Forms& f) {
    switch (Mode) {
      case TIdSSLMode::sslmClient:
        return f.Client;
      case TIdSSLMode::sslmServer:
        return f.Server;
      default:
        return f.Both;
    }
  };
  std::vector<V> order{Method};
  if (Method == V::sslvTLSv1_1 || Method == V::sslvTLSv1_2 || Method == V::sslvTLSv1_3) order.push_back(V::sslvTLSv1);
  for (V v : order)
    if (Fn f = pick(forms(v))) return f();
  throw EIdOSSLGetMethodError();
}

void TIdSSLContext::BuildContext(TIdSSLCtxMode AKind) {
  using V = TIdSSLVersion;
  if (Context) {
    OSSL.SSL_CTX_free(Context);
    Context = nullptr;
  }
  if (Mode == TIdSSLMode::sslmUnassigned)
    Mode = AKind == TIdSSLCtxMode::sslCtxServer ? TIdSSLMode::sslmServer : TIdSSLMode::sslmClient;
  OSSL.ERR_clear_error();
  const SSL_METHOD* method = SelectMethod();
  FShared = false;
  FDefaultRootsPending = false;
  const std::string key = ShareAlike ? SharingKey(AKind) : std::string();
  if (!key.empty()) {
    if (SSL_CTX* known = detail::FindSharedContext(key)) {
      Context = known;
      FShared = true;
      FDefaultRootsPending = RootCertFile.empty() && VerifyDirs.empty() && VerifyMode.Empty();
      return;
    }
  }
  Context = OSSL.SSL_CTX_new(method);
  if (!Context) EIdOSSLCreatingContextError::RaiseException(RSOSSLCreatingContextError);

  const bool v11 = detail::OpenSSLEffectiveAPIVersion() == TwsOpenSSLAPI::oslAPI_1_1;
  auto all3 = [](auto a, auto b, auto c) { return a && b && c; };
  auto& t = OSSL;
  struct Switch {
    V Version;
    bool Available;
    std::uint64_t Option;
  };
  const Switch switches[] = {
      {V::sslvSSLv2, all3(t.SSLv2_method, t.SSLv2_server_method, t.SSLv2_client_method), 0x01000000},
      {V::sslvSSLv3, all3(t.SSLv3_method, t.SSLv3_server_method, t.SSLv3_client_method), 0x02000000},
      {V::sslvTLSv1, all3(t.TLSv1_method, t.TLSv1_server_method, t.TLSv1_client_method), 0x04000000},
      {V::sslvTLSv1_1, all3(t.TLSv1_1_method, t.TLSv1_1_server_method, t.TLSv1_1_client_method), 0x10000000},
      {V::sslvTLSv1_2, all3(t.TLSv1_2_method, t.TLSv1_2_server_method, t.TLSv1_2_client_method), 0x08000000},
      {V::sslvTLSv1_3, v11, 0x20000000},
  };
  for (const auto& s : switches) {
    if (!s.Available) continue;
    if (!SSLVersions.Contains(s.Version)) {
      detail::CtxSetOptions(Context, s.Option);
    } else if (Method == V::sslvSSLv23) {
      detail::CtxClearOptions(Context, s.Option);
    }
  }
  if (v11) {
    long minVersion = SSLVersions.Contains(V::sslvTLSv1_3)   ? 0x0303
                      : SSLVersions.Contains(V::sslvTLSv1_2) ? 0x0303
                      : SSLVersions.Contains(V::sslvTLSv1_1) ? 0x0302
                                                             : 0x0301;
    long maxVersion = OpenSSLVersionNumber() >= 0x1010100FUL ? 0x0304 : 0x0303;
    t.SSL_CTX_ctrl(Context, kCtrlSetMinProtoVersion, minVersion, nullptr);
    t.SSL_CTX_ctrl(Context, kCtrlSetMaxProtoVersion, maxVersion, nullptr);
  }
  t.SSL_CTX_ctrl(Context, kCtrlSetMode, kModeAutoRetry, nullptr);
  // A peer that closes without close_notify ends the stream like a close.
  detail::CtxSetOptions(Context, SSL_OP_IGNORE_UNEXPECTED_EOF);
  t.SSL_CTX_set_default_passwd_cb(Context, PasswordCallback);
  t.SSL_CTX_set_default_passwd_cb_userdata(Context, this);
  // Reading the system's CA bundle costs many times a handshake, so it is read
  // once: contexts without roots of their own share one store for the
  // process, and those with a root file one per file while the file stays as
  // it was read. A context that checks no peer needs no trust at all until
  // verification is switched on.
  if (RootCertFile.empty() && VerifyDirs.empty()) {
    if (VerifyMode.Empty()) {
      FDefaultRootsPending = true;
    } else {
      UseDefaultRoots();
    }
  } else {
    const detail::RootFileStamp stamp = detail::RootFileStampOf(RootCertFile);
    if (X509_STORE* known = detail::FindRootStore(RootCertFile, VerifyDirs, stamp)) {
      t.SSL_CTX_set_cert_store(Context, known);
    } else {
      if (!detail::RootFilesReplaceDefaultRoots()) t.SSL_CTX_set_default_verify_paths(Context);
      if (!LoadRootCert()) EIdOSSLLoadingRootCertError::RaiseException(RSOSSLLoadingRootCertError);
      detail::KeepRootStore(RootCertFile, VerifyDirs, stamp, t.SSL_CTX_get_cert_store(Context));
    }
  }
  if (!CertFile.empty() && !LoadCert()) EIdOSSLLoadingCertError::RaiseException(RSOSSLLoadingCertError);
  if (!KeyFile.empty() && !LoadKey()) EIdOSSLLoadingKeyError::RaiseException(RSOSSLLoadingKeyError);
  if (!DHParamsFile.empty() && !LoadDHParams()) EIdOSSLLoadingDHParamsError::RaiseException(RSOSSLLoadingDHParamsError);
  if (StatusInfoOn && t.SSL_CTX_set_info_callback) t.SSL_CTX_set_info_callback(Context, InfoCallback);
  if (!CipherList.empty() && t.SSL_CTX_set_cipher_list(Context, CipherList.c_str()) < 1)
    throw EIdOSSLSettingCipherError();
  // TLS 1.0 and 1.1 need SHA-1 in the handshake, which the library's default
  // security level refuses. A context limited to them asked for them
  // explicitly, so the level is lowered for it alone.
  if (v11 && t.SSL_CTX_set_security_level && !SSLVersions.Contains(V::sslvTLSv1_2) &&
      !SSLVersions.Contains(V::sslvTLSv1_3) &&
      (SSLVersions.Contains(V::sslvTLSv1) || SSLVersions.Contains(V::sslvTLSv1_1)))
    t.SSL_CTX_set_security_level(Context, 0);
  if (!VerifyMode.Empty()) ApplyVerifyMode(VerifyMode, VerifyOn);
  if (Mode == TIdSSLMode::sslmServer || AKind == TIdSSLCtxMode::sslCtxServer) {
    std::int32_t id = SessionId;
    t.SSL_CTX_set_session_id_context(Context, reinterpret_cast<const unsigned char*>(&id), sizeof id);
  }
  if (!RootCertFile.empty()) LoadClientCAList();
  if (AKind == TIdSSLCtxMode::sslCtxClient) {
    ApplyALPNList();
  } else if (t.SSL_CTX_set_alpn_select_cb) {
    t.SSL_CTX_set_alpn_select_cb(Context, ALPNSelectCallback, this);
  }
  if (!key.empty()) {
    // No key file was read, so no password is asked for later; the context
    // must not point back at this object, which may end before it.
    t.SSL_CTX_set_default_passwd_cb_userdata(Context, nullptr);
    detail::KeepSharedContext(key, Context);
    FShared = true;
  }
}

std::string TIdSSLContext::SharingKey(TIdSSLCtxMode AKind) const {
  // Only client contexts made from options alone: files with keys are read
  // (and their passwords asked for) by every context, as a server's are.
  if (AKind != TIdSSLCtxMode::sslCtxClient || Mode != TIdSSLMode::sslmClient || !CertFile.empty() || !KeyFile.empty() ||
      !DHParamsFile.empty())
    return {};
  const detail::RootFileStamp stamp = detail::RootFileStampOf(RootCertFile);
  if (!stamp.Valid) return {};
  std::string key;
  auto text = [&key](const std::string& AText) { key += std::to_string(AText.size()) + ':' + AText; };
  auto number = [&key](std::int64_t AValue) { key += std::to_string(AValue) + ';'; };
  number(static_cast<int>(Method));
  number(SSLVersions.Mask());
  number(VerifyMode.Mask());
  number(VerifyDepth);
  number(VerifyOn);
  number(StatusInfoOn);
  number(SessionId);
  number(detail::RootFilesReplaceDefaultRoots());
  text(CipherList);
  text(VerifyDirs);
  text(RootCertFile);
  for (std::int64_t v : {static_cast<std::int64_t>(stamp.Device), static_cast<std::int64_t>(stamp.Inode), stamp.Size,
                         stamp.ModifiedNs, stamp.ChangedNs})
    number(v);
  if (FALPNProtocols)
    for (int i = 0; i < FALPNProtocols->Count(); ++i) text(FALPNProtocols->Strings(i));
  return key;
}

void TIdSSLContext::OwnContext() {
  if (!FShared) return;
  // A change to a context that others use too: this one gets its own first.
  ShareAlike = false;
  BuildContext(TIdSSLCtxMode::sslCtxClient);
}

void TIdSSLContext::UseDefaultRoots() {
  FDefaultRootsPending = false;
  auto& t = OSSL;
  X509_STORE* shared = detail::SharedDefaultVerifyStore();
  if (shared && t.X509_STORE_up_ref(shared) == 1) {
    t.SSL_CTX_set_cert_store(Context, shared);
  } else {
    t.SSL_CTX_set_default_verify_paths(Context);
  }
}

void TIdSSLContext::ApplyVerifyMode(TIdSSLVerifyModeSet AMode, bool AWithCallback) {
  OwnContext();
  if (FDefaultRootsPending && !AMode.Empty()) UseDefaultRoots();
  OSSL.SSL_CTX_set_verify(Context, static_cast<int>(AMode.Mask() & 7), AWithCallback ? VerifyCallback : nullptr);
  // 0 or less keeps the library's default depth, so a chain with an
  // intermediate still verifies.
  if (VerifyDepth > 0) OSSL.SSL_CTX_set_verify_depth(Context, VerifyDepth);
}

void TIdSSLContext::ApplyALPNList() {
  if (!HasALPNProtocols()) return;
  std::string wire;
  for (int i = 0; i < FALPNProtocols->Count(); ++i) {
    const std::string& p = FALPNProtocols->Strings(i);
    if (p.empty() || p.size() > 255) continue;
    wire += static_cast<char>(p.size());
    wire += p;
  }
  if (wire.empty() || !OSSL.SSL_CTX_set_alpn_protos) return;
  if (OSSL.SSL_CTX_set_alpn_protos(Context, reinterpret_cast<const unsigned char*>(wire.data()),
                                   static_cast<unsigned>(wire.size())) != 0)
    throw Exception(RSOSSLALPNUpdateError);
}

bool TIdSSLContext::LoadRootCert() {
  OwnContext();
  X509_STORE* store = OSSL.SSL_CTX_get_cert_store(Context);
  bool requested = false, ok = true;
  if (!RootCertFile.empty()) {
    requested = true;
    MemBIO file;
    int added = 0;
    if (file.Load(RootCertFile, detail::ERR_LIB_X509_)) {
      auto* infos = reinterpret_cast<OPENSSL_STACK*>(OSSL.PEM_X509_INFO_read_bio(file.Bio, nullptr, nullptr, nullptr));
      if (infos) {
        for (int i = 0, n = OSSL.OPENSSL_sk_num(infos); i < n; ++i) {
          auto* info = static_cast<X509_INFO*>(OSSL.OPENSSL_sk_value(infos, i));
          if (info->x509 && OSSL.X509_STORE_add_cert(store, info->x509)) ++added;
          if (info->crl && OSSL.X509_STORE_add_crl(store, info->crl)) ++added;
        }
        for (int i = 0, n = OSSL.OPENSSL_sk_num(infos); i < n; ++i)
          OSSL.X509_INFO_free(static_cast<X509_INFO*>(OSSL.OPENSSL_sk_value(infos, i)));
        OSSL.OPENSSL_sk_free(infos);
      }
      if (added == 0) detail::OpenSSLPutError(detail::ERR_LIB_X509_, 0, detail::ERR_R_PEM_LIB_);
    }
    ok = added > 0;
  }
  if (!VerifyDirs.empty()) {
    requested = true;
    ok = OSSL.X509_STORE_load_locations(store, nullptr, VerifyDirs.c_str()) > 0 && ok;
  }
  return requested && ok;
}

bool TIdSSLContext::LoadClientCAList() {
  MemBIO file;
  if (!file.Load(RootCertFile, detail::ERR_LIB_SSL_) || !OSSL.X509_NAME_dup) return false;
  OPENSSL_STACK* names = OSSL.OPENSSL_sk_new_null();
  if (!names) return false;
  std::vector<X509_NAME*> seen;
  while (X509* cert = OSSL.PEM_read_bio_X509(file.Bio, nullptr, nullptr, nullptr)) {
    X509_NAME* name = OSSL.X509_get_subject_name(cert);
    bool known = false;
    for (X509_NAME* s : seen) known = known || OSSL.X509_NAME_cmp(s, name) == 0;
    if (!known) {
      X509_NAME* dup = OSSL.X509_NAME_dup(name);
      if (dup) {
        seen.push_back(dup);
        OSSL.OPENSSL_sk_push(names, dup);
      }
    }
    OSSL.X509_free(cert);
  }
  OSSL.ERR_clear_error();  // the end of the file shows as an error
  OSSL.SSL_CTX_set_client_CA_list(Context, reinterpret_cast<STACK_OF(X509_NAME)*>(names));
  return true;
}

namespace {
// The parts of a PKCS#12 file; the password comes from the callback.
struct PKCS12Parts {
  EVP_PKEY* Key = nullptr;
  X509* Cert = nullptr;
  OPENSSL_STACK* CA = nullptr;
  ~PKCS12Parts() {
    if (Key) OSSL.EVP_PKEY_free(Key);
    if (Cert) OSSL.X509_free(Cert);
    if (CA) OSSL.OPENSSL_sk_pop_free(CA, [](void* p) { OSSL.X509_free(static_cast<X509*>(p)); });
  }
  bool Load(const std::string& AFile, TIdSSLContext* AContext) {
    MemBIO file;
    if (!file.Load(AFile, detail::ERR_LIB_SSL_)) return false;
    char password[128];
    PasswordCallback(password, sizeof password, 0, AContext);
    PKCS12* p12 = OSSL.d2i_PKCS12_bio(file.Bio, nullptr);
    if (!p12) return false;
    STACK_OF(X509)* ca = nullptr;
    int ok = OSSL.PKCS12_parse(p12, password, &Key, &Cert, &ca);
    CA = reinterpret_cast<OPENSSL_STACK*>(ca);
    std::memset(password, 0, sizeof password);
    OSSL.PKCS12_free(p12);
    return ok > 0;
  }
};
}  // namespace

bool TIdSSLContext::LoadCert() {
  OwnContext();
  if (HasPKCS12Extension(CertFile)) {
    PKCS12Parts parts;
    return parts.Load(CertFile, this) && parts.Cert && OSSL.SSL_CTX_use_certificate(Context, parts.Cert) > 0;
  }
  MemBIO file;
  if (!file.Load(CertFile, detail::ERR_LIB_SSL_)) return false;
  if (!OSSL.SSL_CTX_use_certificate_chain_file) {
    X509* cert = OSSL.PEM_read_bio_X509(file.Bio, nullptr, PasswordCallback, this);
    if (!cert) return false;
    int r = OSSL.SSL_CTX_use_certificate(Context, cert);
    OSSL.X509_free(cert);
    return r > 0;
  }
  X509* cert = OSSL.PEM_read_bio_X509_AUX(file.Bio, nullptr, PasswordCallback, this);
  if (!cert) return false;
  int r = OSSL.SSL_CTX_use_certificate(Context, cert);
  OSSL.X509_free(cert);
  if (r <= 0) return false;
  OSSL.SSL_CTX_ctrl(Context, kCtrlClearChainCerts, 0, nullptr);
  while (X509* extra = OSSL.PEM_read_bio_X509(file.Bio, nullptr, PasswordCallback, this)) {
    // add0: the context takes the reference.
    if (OSSL.SSL_CTX_ctrl(Context, kCtrlAdd0ChainCert, 0, extra) == 0) {
      OSSL.X509_free(extra);
      return false;
    }
  }
  unsigned long err = OSSL.ERR_peek_last_error();
  if (detail::ERRGetLib(err) == detail::ERR_LIB_PEM_ && detail::ERRGetReason(err) == detail::PEM_R_NO_START_LINE_) {
    OSSL.ERR_clear_error();
    return true;
  }
  return false;
}

bool TIdSSLContext::LoadKey() {
  OwnContext();
  bool ok;
  if (HasPKCS12Extension(KeyFile)) {
    PKCS12Parts parts;
    ok = parts.Load(KeyFile, this) && parts.Key && OSSL.SSL_CTX_use_PrivateKey(Context, parts.Key) > 0;
  } else {
    MemBIO file;
    if (!file.Load(KeyFile, detail::ERR_LIB_SSL_) || !OSSL.PEM_read_bio_PrivateKey) return false;
    EVP_PKEY* key = OSSL.PEM_read_bio_PrivateKey(file.Bio, nullptr, PasswordCallback, this);
    if (!key) return false;
    ok = OSSL.SSL_CTX_use_PrivateKey(Context, key) > 0;
    OSSL.EVP_PKEY_free(key);
  }
  return ok && OSSL.SSL_CTX_check_private_key(Context) > 0;
}

bool TIdSSLContext::LoadDHParams() {
  OwnContext();
  MemBIO file;
  if (!file.Load(DHParamsFile, detail::ERR_LIB_SSL_) || !OSSL.PEM_read_bio_DHparams) return false;
  DH* dh = OSSL.PEM_read_bio_DHparams(file.Bio, nullptr, nullptr, nullptr);
  if (!dh) return false;
  long r = OSSL.SSL_CTX_ctrl(Context, kCtrlSetTmpDH, 0, dh);
  OSSL.DH_free(dh);
  return r > 0;
}

// ---------------------------------------------------------------------------
// Views

std::string TIdSSLCipher::Description() const {
  const SSL_CIPHER* c = FSSLSocket->SSL_ ? OSSL.SSL_get_current_cipher(FSSLSocket->SSL_) : nullptr;
  if (!c) return {};
  char buf[1024] = {};
  OSSL.SSL_CIPHER_description(c, buf, sizeof buf - 1);
  return buf;
}

std::string TIdSSLCipher::Name() const {
  const SSL_CIPHER* c = FSSLSocket->SSL_ ? OSSL.SSL_get_current_cipher(FSSLSocket->SSL_) : nullptr;
  const char* n = c ? OSSL.SSL_CIPHER_get_name(c) : nullptr;
  return n ? n : "";
}

std::int32_t TIdSSLCipher::Bits() const {
  const SSL_CIPHER* c = FSSLSocket->SSL_ ? OSSL.SSL_get_current_cipher(FSSLSocket->SSL_) : nullptr;
  return c ? OSSL.SSL_CIPHER_get_bits(c, nullptr) : 0;
}

std::string TIdSSLCipher::Version() const {
  const SSL_CIPHER* c = FSSLSocket->SSL_ ? OSSL.SSL_get_current_cipher(FSSLSocket->SSL_) : nullptr;
  const char* v = c ? OSSL.SSL_CIPHER_get_version(c) : nullptr;
  return v ? v : "";
}

std::string TIdX509Name::OneLine() const {
  if (!FName) return {};
  char buf[2049] = {};
  OSSL.X509_NAME_oneline(FName, buf, sizeof buf - 1);
  return buf;
}

std::uint32_t TIdX509Name::Hash() const { return FName ? static_cast<std::uint32_t>(detail::NameHash(FName)) : 0; }

std::string TIdX509Name::HashAsString() const {
  std::uint32_t h = Hash();
  unsigned char b[4] = {static_cast<unsigned char>(h >> 24), static_cast<unsigned char>(h >> 16),
                        static_cast<unsigned char>(h >> 8), static_cast<unsigned char>(h)};
  return HexPairs(b, 4, nullptr);
}

namespace {
TIdBytes Digest(X509* AX509, const EVP_MD* (*AMD)(), std::size_t ASize) {
  TIdBytes out(ASize, 0);
  if (!AX509 || !AMD) return out;
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned len = 0;
  if (OSSL.X509_digest(AX509, AMD(), md, &len) > 0) out.assign(md, md + len);
  return out;
}
std::string DigestString(X509* AX509, const EVP_MD* (*AMD)(), std::size_t ASize) {
  if (!AMD) return {};
  TIdBytes d = Digest(AX509, AMD, ASize);
  return HexPairs(d.data(), d.size(), ":");
}
}  // namespace

TIdBytes TIdX509Fingerprints::MD5() const {
  if (OSSL.FIPS_mode && OSSL.FIPS_mode()) throw EIdOpenSSLError(Format(RSOSSLFIPSAlgorithmNotPermitted, "MD5"));
  return Digest(FX509, OSSL.EVP_md5, 16);
}
TIdBytes TIdX509Fingerprints::SHA1() const { return Digest(FX509, OSSL.EVP_sha1, 20); }
TIdBytes TIdX509Fingerprints::SHA224() const { return Digest(FX509, OSSL.EVP_sha224, 28); }
TIdBytes TIdX509Fingerprints::SHA256() const { return Digest(FX509, OSSL.EVP_sha256, 32); }
TIdBytes TIdX509Fingerprints::SHA384() const { return Digest(FX509, OSSL.EVP_sha384, 48); }
TIdBytes TIdX509Fingerprints::SHA512() const { return Digest(FX509, OSSL.EVP_sha512, 64); }
std::string TIdX509Fingerprints::MD5AsString() const {
  TIdBytes d = MD5();
  return HexPairs(d.data(), d.size(), ":");
}
std::string TIdX509Fingerprints::SHA1AsString() const { return DigestString(FX509, OSSL.EVP_sha1, 20); }
std::string TIdX509Fingerprints::SHA224AsString() const { return DigestString(FX509, OSSL.EVP_sha224, 28); }
std::string TIdX509Fingerprints::SHA256AsString() const { return DigestString(FX509, OSSL.EVP_sha256, 32); }
std::string TIdX509Fingerprints::SHA384AsString() const { return DigestString(FX509, OSSL.EVP_sha384, 48); }
std::string TIdX509Fingerprints::SHA512AsString() const { return DigestString(FX509, OSSL.EVP_sha512, 64); }

TIdX509::TIdX509(X509* AX509, bool ACanFreeX509) : FX509(AX509), FCanFreeX509(ACanFreeX509), FFingerprints(AX509) {}

TIdX509::~TIdX509() {
  if (FCanFreeX509 && FX509) OSSL.X509_free(FX509);
}

std::int32_t TIdX509::Version() const {
  return (FX509 && OSSL.X509_get_version) ? static_cast<std::int32_t>(OSSL.X509_get_version(FX509)) : 0;
}

TIdX509Name& TIdX509::Subject() {
  if (!FSubject) FSubject = std::make_unique<TIdX509Name>(FX509 ? OSSL.X509_get_subject_name(FX509) : nullptr);
  return *FSubject;
}

TIdX509Name& TIdX509::Issuer() {
  if (!FIssuer) FIssuer = std::make_unique<TIdX509Name>(FX509 ? OSSL.X509_get_issuer_name(FX509) : nullptr);
  return *FIssuer;
}

std::string TIdX509::SerialNumber() const {
  if (!FX509 || !OSSL.ASN1_STRING_get0_data) return {};
  const ASN1_STRING* s = reinterpret_cast<const ASN1_STRING*>(OSSL.X509_get_serialNumber(FX509));
  if (!s) return {};
  return HexPairs(OSSL.ASN1_STRING_get0_data(s), static_cast<std::size_t>(OSSL.ASN1_STRING_length(s)), ":");
}

namespace {
// YYMMDDhhmmss of a UTC time (YY below 50 is 20YY), in local time.
double ASN1TimeToLocal(const ASN1_TIME* ATime) {
  if (!ATime || !OSSL.ASN1_STRING_get0_data) return 0;
  const auto* s = reinterpret_cast<const ASN1_STRING*>(ATime);
  const char* p = reinterpret_cast<const char*>(OSSL.ASN1_STRING_get0_data(s));
  int len = OSSL.ASN1_STRING_length(s);
  if (!p || len < 12) return 0;
  int v[6];
  for (int i = 0; i < 6; ++i) {
    if (p[2 * i] < '0' || p[2 * i] > '9' || p[2 * i + 1] < '0' || p[2 * i + 1] > '9') return 0;
    v[i] = (p[2 * i] - '0') * 10 + (p[2 * i + 1] - '0');
  }
  int year = v[0] < 50 ? 2000 + v[0] : 1900 + v[0];
  TDateTime utc;
  if (!TryEncodeDateTime(year, v[1], v[2], v[3], v[4], v[5], 0, utc)) return 0;
  return UTCToLocalTime(utc);
}
}  // namespace

double TIdX509::notBefore() const {
  return (FX509 && OSSL.X509_get0_notBefore) ? ASN1TimeToLocal(OSSL.X509_get0_notBefore(FX509)) : 0;
}

double TIdX509::notAfter() const {
  return (FX509 && OSSL.X509_get0_notAfter) ? ASN1TimeToLocal(OSSL.X509_get0_notAfter(FX509)) : 0;
}

TStrings& TIdX509::DisplayInfo() {
  if (!FDisplayInfo) {
    FDisplayInfo = std::make_unique<TStringList>();
    if (FX509 && OSSL.X509_print) {
      BIO* bio = OSSL.BIO_new(OSSL.BIO_s_mem());
      if (bio) {
        if (OSSL.X509_print(bio, FX509) > 0) {
          char* data = nullptr;
          long len = OSSL.BIO_ctrl(bio, kBIOCtrlGetMemData, 0, &data);
          if (data && len > 0) FDisplayInfo->SetText(std::string(data, static_cast<std::size_t>(len)));
        }
        OSSL.BIO_free(bio);
      }
    }
  }
  return *FDisplayInfo;
}

// ---------------------------------------------------------------------------
// TIdSSLSocket

TIdSSLSocket::~TIdSSLSocket() { Free(); }

void TIdSSLSocket::Free() {
  FPeerCert.reset();
  FCipher.reset();
  if (SSL_) {
    // After a fatal error the session must not send close_notify.
    if (FLastError != SSL_ERROR_SSL && FLastError != SSL_ERROR_SYSCALL) {
      OSSL.ERR_clear_error();
      OSSL.SSL_shutdown(SSL_);
    }
    OSSL.SSL_free(SSL_);
    SSL_ = nullptr;
    OSSL.ERR_clear_error();
  }
}

void TIdSSLSocket::Connect(TIdStackSocketHandle ASocket) {
  if (SSL_ || !SSLContext) throw EIdOSSLCreatingSessionError();
  TIdSSLIOHandlerSocketOpenSSL* owner = Parent ? Parent->OwningHandler() : nullptr;
  OSSL.ERR_clear_error();
  SSL_ = OSSL.SSL_new(SSLContext->Context);
  if (!SSL_) throw EIdOSSLCreatingSessionError();
  int r = OSSL.SSL_set_ex_data(SSL_, 0, this);
  if (r <= 0) EIdOSSLDataBindingError::RaiseException(SSL_, r, RSOSSLDataBindingError);
  r = OSSL.SSL_set_fd(SSL_, ASocket);
  if (r <= 0) EIdOSSLFDSetError::RaiseException(SSL_, r, RSOSSLFDSetError);
  if (owner && owner->SSLSocket() && owner->SSLSocket() != this && owner->SSLSocket()->SSL_)
    OSSL.SSL_copy_session_id(SSL_, owner->SSLSocket()->SSL_);
  const std::string host = BareHost(HostName);
  const bool ipLiteral = IsIPLiteral(host);
  // Server name indication carries DNS names only, never an address.
  if (!host.empty() && !ipLiteral)
    OSSL.SSL_ctrl(SSL_, kCtrlSetTLSExtHostName, TLSEXT_NAMETYPE_host_name, const_cast<char*>(host.c_str()));
  if (VerifyHostName && !host.empty()) {
    if (ipLiteral) {
      if (OSSL.SSL_get0_param && OSSL.X509_VERIFY_PARAM_set1_ip_asc)
        OSSL.X509_VERIFY_PARAM_set1_ip_asc(OSSL.SSL_get0_param(SSL_), host.c_str());
    } else if (OSSL.SSL_set1_host) {
      OSSL.SSL_set1_host(SSL_, host.c_str());
    }
  }
  OSSL.ERR_clear_error();
  r = OSSL.SSL_connect(SSL_);
  if (r <= 0) {
    FLastError = OSSL.SSL_get_error(SSL_, r);
    EIdOSSLConnectError::RaiseExceptionCode(FLastError, r, RSOSSLConnectionDropped);
  }
  if (owner) {
    TIdSSLCipher* c = Cipher();
    owner->ReportStatus(nullptr, 0, 0,
                        "Cipher: name = " + c->Name() + "; description = " + c->Description() +
                            "; bits = " + std::to_string(c->Bits()) + "; version = " + c->Version() + "; ");
  }
}

void TIdSSLSocket::Accept(TIdStackSocketHandle ASocket) {
  if (SSL_ || !SSLContext) throw EIdOSSLCreatingSessionError();
  OSSL.ERR_clear_error();
  SSL_ = OSSL.SSL_new(SSLContext->Context);
  if (!SSL_) throw EIdOSSLCreatingSessionError();
  if (OSSL.SSL_set_ex_data(SSL_, 0, this) != 1) throw Exception(RSOSSLSetExDataFailed);
  int r = OSSL.SSL_set_fd(SSL_, ASocket);
  if (r <= 0) EIdOSSLFDSetError::RaiseException(SSL_, r, RSOSSLFDSetError);
  // A server reads what its client sent in one receive instead of a record
  // header and then its body: one system call less per request. Only where
  // bytes read ahead can be seen (HasBufferedInput), or a wait on the
  // socket would miss them.
  if (OSSL.SSL_has_pending) OSSL.SSL_ctrl(SSL_, kCtrlSetReadAhead, 1, nullptr);
  // A read ahead that came back short emptied the socket: a connection
  // parked after it needs no look at the socket first.
  if (OSSL.SSL_get_rbio && OSSL.BIO_set_callback_ex && OSSL.BIO_set_callback_arg && OSSL.BIO_get_callback_arg) {
    if (BIO* bio = OSSL.SSL_get_rbio(SSL_)) {
      OSSL.BIO_set_callback_arg(bio, reinterpret_cast<char*>(this));
      OSSL.BIO_set_callback_ex(bio, &TIdSSLSocket::WatchReceives);
      FReceivesWatched = true;
    }
  }
  OSSL.ERR_clear_error();
  r = OSSL.SSL_accept(SSL_);
  if (r <= 0) {
    FLastError = OSSL.SSL_get_error(SSL_, r);
    EIdOSSLAcceptError::RaiseExceptionCode(FLastError, r, RSOSSLAcceptError);
  }
}

long TIdSSLSocket::WatchReceives(BIO* ABio, int AOperation, const char*, std::size_t ALength, int, long, int AResult,
                                 std::size_t* ADone) {
  if (AOperation == (kBIOCallbackRead | kBIOCallbackReturn)) {
    if (auto* socket = reinterpret_cast<TIdSSLSocket*>(OSSL.BIO_get_callback_arg(ABio)))
      socket->FLastReceiveFilled = AResult > 0 && ADone && *ADone >= ALength;
  }
  return AResult;
}

bool TIdSSLSocket::HasBufferedInput() const {
  if (!SSL_) return false;
  if (OSSL.SSL_pending && OSSL.SSL_pending(SSL_) > 0) return true;
  // Read ahead but not yet decrypted.
  return OSSL.SSL_has_pending && OSSL.SSL_has_pending(SSL_) == 1;
}

bool TIdSSLSocket::TimedOut(int AErr) const {
  // On a blocking socket OpenSSL only wants to retry when the receive or
  // send time-out ran out.
  return IsWantIO(AErr) && (errno == EAGAIN || errno == EWOULDBLOCK || errno == ETIMEDOUT);
}

std::int32_t TIdSSLSocket::Recv(std::uint8_t* ABuffer, std::int32_t ALength) {
  FLastTimedOut = false;
  FLastError = 0;
  if (!SSL_) return 0;
  // Bounded: a wish to retry that is not a time-out ends after this many.
  for (int attempt = 0; attempt < 64; ++attempt) {
    OSSL.ERR_clear_error();
    errno = 0;
    int n = OSSL.SSL_read(SSL_, ABuffer, ALength);
    if (n > 0) return n;
    int err = OSSL.SSL_get_error(SSL_, n);
    if (err == SSL_ERROR_ZERO_RETURN) return 0;
    if (IsWantIO(err) && !TimedOut(err)) continue;
    FLastError = err;
    FLastTimedOut = IsWantIO(err);
    return -1;
  }
  FLastError = SSL_ERROR_WANT_READ;
  FLastTimedOut = true;
  return -1;
}

std::int32_t TIdSSLSocket::Send(const TIdBytes& ABuffer, std::int32_t AOffset, std::int32_t ALength) {
  FLastTimedOut = false;
  FLastError = 0;
  if (!SSL_) return 0;
  std::int32_t written = 0;
  int retries = 0;
  while (written < ALength) {
    OSSL.ERR_clear_error();
    errno = 0;
    int n = OSSL.SSL_write(SSL_, ABuffer.data() + AOffset + written, ALength - written);
    if (n > 0) {
      written += n;
      retries = 0;
      continue;
    }
    int err = OSSL.SSL_get_error(SSL_, n);
    if (err == SSL_ERROR_ZERO_RETURN) return 0;
    if (IsWantIO(err) && !TimedOut(err) && ++retries < 64) continue;
    FLastError = err;
    FLastTimedOut = IsWantIO(err);
    return -1;
  }
  return written;
}

TIdBytes TIdSSLSocket::GetSessionID() const {
  if (!SSL_ || !OSSL.SSL_get_session || !OSSL.SSL_SESSION_get_id) return {};
  SSL_SESSION* s = OSSL.SSL_get_session(SSL_);
  if (!s) return {};
  unsigned len = 0;
  const unsigned char* id = OSSL.SSL_SESSION_get_id(s, &len);
  return id ? TIdBytes(id, id + len) : TIdBytes{};
}

std::string TIdSSLSocket::GetSessionIDAsString() const {
  TIdBytes id = GetSessionID();
  return HexPairs(id.data(), id.size(), nullptr);
}

TIdX509* TIdSSLSocket::PeerCert() {
  if (!FPeerCert && SSL_) {
    X509* x = OSSL.SSL_get_peer_certificate(SSL_);
    if (x) FPeerCert = std::make_unique<TIdX509>(x, true);
  }
  return FPeerCert.get();
}

TIdSSLCipher* TIdSSLSocket::Cipher() {
  if (!FCipher && SSL_) FCipher = std::make_unique<TIdSSLCipher>(this);
  return FCipher.get();
}

// ---------------------------------------------------------------------------
// TIdSSLIOHandlerSocketBase

void TIdSSLIOHandlerSocketBase::SetPassThrough(bool AValue) { FPassThrough = AValue; }

std::int32_t TIdSSLIOHandlerSocketBase::ReadDataFromSource(TIdBytes& VBuffer) {
  if (FPassThrough) return TIdIOHandlerStack::ReadDataFromSource(VBuffer);
  return RecvEnc(VBuffer.data(), static_cast<std::int32_t>(VBuffer.size()));
}

std::int32_t TIdSSLIOHandlerSocketBase::ReadDataFromSourceInto(std::uint8_t* ABuffer, std::int32_t ALength) {
  if (FPassThrough) return TIdIOHandlerStack::ReadDataFromSourceInto(ABuffer, ALength);
  return RecvEnc(ABuffer, ALength);
}

std::int32_t TIdSSLIOHandlerSocketBase::WriteDataToTarget(const TIdBytes& ABuffer, std::int32_t AOffset,
                                                          std::int32_t ALength) {
  if (FPassThrough) return TIdIOHandlerStack::WriteDataToTarget(ABuffer, AOffset, ALength);
  return SendEnc(ABuffer, AOffset, ALength);
}

// ---------------------------------------------------------------------------
// TIdSSLIOHandlerSocketOpenSSL

TIdSSLIOHandlerSocketOpenSSL::TIdSSLIOHandlerSocketOpenSSL(TComponent* AOwner)
    : TIdSSLIOHandlerSocketBase(AOwner),
      FOwnOptions(std::make_unique<TIdSSLOptions_Internal>(this)),
      FSSLOptions(FOwnOptions.get()) {}

TIdSSLIOHandlerSocketOpenSSL::~TIdSSLIOHandlerSocketOpenSSL() {
  try {
    FSSLSocket.reset();
    FreeContext();
  } catch (...) {
  }
}

void TIdSSLIOHandlerSocketOpenSSL::SetSSLOptionsRef(TIdSSLOptions* AOptions) {
  FSSLOptions = AOptions ? AOptions : FOwnOptions.get();
  if (AOptions && AOptions != FOwnOptions.get()) FOwnOptions.reset();
}

void TIdSSLIOHandlerSocketOpenSSL::SetSSLContext(TIdSSLContext* AContext) {
  if (AContext == FSSLContext) return;
  FreeContext();
  FSSLContext = AContext;
  if (AContext && AContext->Parent == static_cast<IIdSSLOpenSSLCallbackHelper*>(this)) FOwnedContext.reset(AContext);
}

void TIdSSLIOHandlerSocketOpenSSL::FreeContext() {
  FSSLContext = nullptr;
  FOwnedContext.reset();
}

TStringList& TIdSSLIOHandlerSocketOpenSSL::ALPNProtocols() {
  if (!FALPNProtocols) FALPNProtocols = std::make_unique<TStringList>();
  return *FALPNProtocols;
}

void TIdSSLIOHandlerSocketOpenSSL::EnsureContext() {
  if (FSSLContext) return;
  auto ctx = std::make_unique<TIdSSLContext>();
  ctx->Parent = this;
  ctx->RootCertFile = FSSLOptions->RootCertFile;
  ctx->CertFile = FSSLOptions->CertFile;
  ctx->KeyFile = FSSLOptions->KeyFile;
  ctx->DHParamsFile = FSSLOptions->DHParamsFile;
  ctx->VerifyDepth = FSSLOptions->VerifyDepth;
  ctx->VerifyMode = FSSLOptions->VerifyMode;
  ctx->VerifyDirs = FSSLOptions->VerifyDirs;
  ctx->CipherList = FSSLOptions->CipherList;
  ctx->Method = FSSLOptions->Method();
  ctx->SSLVersions = FSSLOptions->SSLVersions();
  ctx->Mode = FSSLOptions->Mode;
  ctx->VerifyOn = static_cast<bool>(OnVerifyPeer);
  ctx->StatusInfoOn = OnStatusInfo || OnStatusInfoEx;
  if (FALPNProtocols) ctx->ALPNProtocols().Assign(*FALPNProtocols);
  ctx->ShareAlike = true;
  ctx->BuildContext(TIdSSLCtxMode::sslCtxClient);
  FOwnedContext = std::move(ctx);
  FSSLContext = FOwnedContext.get();
}

void TIdSSLIOHandlerSocketOpenSSL::Open() { TIdSSLIOHandlerSocketBase::Open(); }

void TIdSSLIOHandlerSocketOpenSSL::ConnectSocket() {
  try {
    EnsureContext();
  } catch (const EIdOSSLCouldNotLoadSSLLibrary&) {
    if (!FPassThrough) throw;
  }
  bool saved = FPassThrough;
  FPassThrough = true;
  try {
    TIdSSLIOHandlerSocketBase::ConnectSocket();
  } catch (...) {
    FPassThrough = saved;
    throw;
  }
  FPassThrough = saved;
  DoBeforeConnect();
  StartSSL();
}

void TIdSSLIOHandlerSocketOpenSSL::Close() {
  FSSLSocket.reset();
  FreeContext();
  TIdSSLIOHandlerSocketBase::Close();
}

void TIdSSLIOHandlerSocketOpenSSL::AfterAccept() {
  try {
    TIdSSLIOHandlerSocketBase::AfterAccept();
    try {
      EnsureContext();
    } catch (const EIdOSSLCouldNotLoadSSLLibrary&) {
      if (!FPassThrough) throw;
    }
    StartSSL();
  } catch (...) {
    Close();
    throw;
  }
}

bool TIdSSLIOHandlerSocketOpenSSL::Readable(std::int32_t AMSec) {
  if (!FPassThrough) {
    if (!FSSLSocket || !FSSLSocket->SSL_) return false;
    if (FSSLSocket->HasBufferedInput()) return true;
  }
  return TIdSSLIOHandlerSocketBase::Readable(AMSec);
}

bool TIdSSLIOHandlerSocketOpenSSL::InputPending() {
  return !FPassThrough && FSSLSocket && FSSLSocket->HasBufferedInput();
}

bool TIdSSLIOHandlerSocketOpenSSL::SourceMayHoldMore() const {
  if (!FPassThrough && FSSLSocket) return FSSLSocket->LastReceiveMayHaveLeftMore();
  return TIdSSLIOHandlerSocketBase::SourceMayHoldMore();
}

void TIdSSLIOHandlerSocketOpenSSL::SetSocketTimeouts(std::int32_t AMs) {
  FSocketTimeout = 0;
  if (!BindingAllocated()) return;
  SetSocketTimeout(FBinding->Handle(), SO_RCVTIMEO, AMs);
  SetSocketTimeout(FBinding->Handle(), SO_SNDTIMEO, AMs);
  FSocketTimeout = AMs;
  FSocketReceiveTimeout = AMs;
}

bool TIdSSLIOHandlerSocketOpenSSL::PrepareReceive(std::int32_t ATimeout) {
  if (FPassThrough) return TIdSSLIOHandlerSocketBase::PrepareReceive(ATimeout);
  if (ATimeout > 0 && FSSLSocket && FSSLSocket->SSL_ && BindingAllocated()) {
    if (ATimeout == FSocketReceiveTimeout) return true;
    if (SetSocketTimeout(FBinding->Handle(), SO_RCVTIMEO, ATimeout)) {
      FSocketReceiveTimeout = ATimeout;
      return true;
    }
  }
  return TIdIOHandler::PrepareReceive(ATimeout);
}

bool TIdSSLIOHandlerSocketOpenSSL::ReceiveTimesOutAfter(std::int32_t ATimeout) const {
  // Inside TLS the socket's receive time-out, set for the handshake, ends a
  // read that waits too long (a time-out, see TIdSSLSocket::Recv); when it is
  // the limit asked for, the poll before every record is spared.
  return !FPassThrough && FSSLSocket && FSSLSocket->SSL_ && ATimeout > 0 && ATimeout == FSocketReceiveTimeout;
}

void TIdSSLIOHandlerSocketOpenSSL::SetPassThrough(bool AValue) {
  if (AValue == FPassThrough) return;
  if (AValue) {
    if (FSSLSocket && FSSLSocket->SSL_) {
      OSSL.ERR_clear_error();
      if (OSSL.SSL_shutdown(FSSLSocket->SSL_) == 0) OSSL.SSL_shutdown(FSSLSocket->SSL_);
      OSSL.ERR_clear_error();
    }
    SetSocketTimeouts(0);
  } else if (BindingAllocated()) {
    if (!FSSLContext) throw EIdOSSLCouldNotLoadSSLLibrary();
    BeginHandshake();
  }
  FPassThrough = AValue;
}

void TIdSSLIOHandlerSocketOpenSSL::StartSSL() {
  if (!FPassThrough) BeginHandshake();
}

void TIdSSLIOHandlerSocketOpenSSL::BeginHandshake() {
  if (!BindingAllocated()) throw EIdNotConnected();
  if (!FSSLSocket) FSSLSocket = std::make_unique<TIdSSLSocket>(this);
  if (FSSLSocket->SSLContext && FSSLSocket->SSL_) throw EIdOSSLCreatingSessionError();
  FSSLSocket->SSLContext = FSSLContext;
  SetSocketTimeouts(ReadTimeout() < 1 ? 30000 : ReadTimeout());
  TIdSSLMode mode = FSSLContext->Mode;
  if (mode != TIdSSLMode::sslmClient && mode != TIdSSLMode::sslmServer)
    mode = FIsPeer ? TIdSSLMode::sslmServer : TIdSSLMode::sslmClient;
  if (mode == TIdSSLMode::sslmClient) {
    std::string host = FHost;
    if (!FURIToCheck.empty()) host = TIdURI(FURIToCheck).Host;
    FSSLSocket->HostName = host;
    // With verification on, the certificate must also name the host (or IP).
    FSSLSocket->VerifyHostName = FSSLContext->VerifyMode.Contains(TIdSSLVerifyMode::sslvrfPeer);
    FSSLSocket->Connect(FBinding->Handle());
  } else {
    FSSLSocket->HostName.clear();
    FSSLSocket->Accept(FBinding->Handle());
  }
  FPassThrough = false;
}

std::int32_t TIdSSLIOHandlerSocketOpenSSL::RecvEnc(std::uint8_t* ABuffer, std::int32_t ALength) {
  if (!FSSLSocket) return 0;
  return FSSLSocket->Recv(ABuffer, ALength);
}

std::int32_t TIdSSLIOHandlerSocketOpenSSL::SendEnc(const TIdBytes& ABuffer, std::int32_t AOffset,
                                                   std::int32_t ALength) {
  if (!FSSLSocket) return 0;
  return FSSLSocket->Send(ABuffer, AOffset, ALength);
}

int TIdSSLIOHandlerSocketOpenSSL::CheckTransportError(int AResult) {
  if (FPassThrough || !FSSLSocket) return TIdSSLIOHandlerSocketBase::CheckTransportError(AResult);
  if (AResult >= 0) return 0;
  // A receive or send time-out inside TLS is a time-out, not a retry.
  if (FSSLSocket->LastTimedOut()) return ETIMEDOUT;
  int err = FSSLSocket->LastError();
  if (err == SSL_ERROR_NONE) return 0;
  if (err == SSL_ERROR_SYSCALL) {
    if (errno == 0) errno = ECONNRESET;
    return TIdSSLIOHandlerSocketBase::CheckTransportError(-1);
  }
  EIdOpenSSLAPISSLError::RaiseExceptionCode(err, AResult);
}

void TIdSSLIOHandlerSocketOpenSSL::RaiseTransportError(int AErr) {
  if (FPassThrough || AErr == ECONNABORTED || AErr == ECONNRESET || AErr == ESHUTDOWN || AErr == EPIPE ||
      AErr == ETIMEDOUT)
    TIdSSLIOHandlerSocketBase::RaiseTransportError(AErr);
  EIdOpenSSLAPISSLError::RaiseException(FSSLSocket ? FSSLSocket->SSL_ : nullptr, AErr);
}

std::string TIdSSLIOHandlerSocketOpenSSL::GetALPNProtocol() const {
  if (!FSSLSocket || !FSSLSocket->SSL_ || !OSSL.SSL_get0_alpn_selected) return {};
  const unsigned char* data = nullptr;
  unsigned len = 0;
  OSSL.SSL_get0_alpn_selected(FSSLSocket->SSL_, &data, &len);
  return data ? std::string(reinterpret_cast<const char*>(data), len) : std::string();
}

std::string TIdSSLIOHandlerSocketOpenSSL::GetSSLVersion() const {
  if (!FSSLSocket || !FSSLSocket->SSL_ || !OSSL.SSL_get_version) return {};
  return OSSL.SSL_get_version(FSSLSocket->SSL_);
}

TIdSSLIOHandlerSocketBase* TIdSSLIOHandlerSocketOpenSSL::Clone() {
  auto* h = new TIdSSLIOHandlerSocketOpenSSL(nullptr);
  h->SSLOptions().Assign(*FSSLOptions);
  h->OnStatusInfo = [this](const std::string& AMsg) { DoStatusInfo(AMsg); };
  h->OnGetPassword = [this](std::string& APassword) { DoGetPassword(APassword); };
  h->OnGetPasswordEx = [this](TPersistent*, std::string& VPassword, bool AIsWrite) {
    DoGetPasswordEx(VPassword, AIsWrite);
  };
  h->OnVerifyPeer = [this](TIdX509* ACert, bool AOk, std::int32_t ADepth, std::int32_t AError) {
    return DoVerifyPeer(ACert, AOk, ADepth, AError);
  };
  h->FSSLSocket = std::make_unique<TIdSSLSocket>(this);
  return h;
}

void TIdSSLIOHandlerSocketOpenSSL::DoBeforeConnect() {
  if (OnBeforeConnect) OnBeforeConnect(this);
}

void TIdSSLIOHandlerSocketOpenSSL::DoStatusInfo(const std::string& AMsg) {
  if (OnStatusInfo) OnStatusInfo(AMsg);
}

void TIdSSLIOHandlerSocketOpenSSL::DoGetPassword(std::string& APassword) {
  if (OnGetPassword) OnGetPassword(APassword);
}

void TIdSSLIOHandlerSocketOpenSSL::DoGetPasswordEx(std::string& VPassword, bool AIsWrite) {
  if (OnGetPasswordEx) OnGetPasswordEx(this, VPassword, AIsWrite);
}

bool TIdSSLIOHandlerSocketOpenSSL::DoVerifyPeer(TIdX509* ACertificate, bool AOk, std::int32_t ADepth,
                                                std::int32_t AError) {
  return OnVerifyPeer ? OnVerifyPeer(ACertificate, AOk, ADepth, AError) : true;
}

std::string TIdSSLIOHandlerSocketOpenSSL::ProvidePassword(bool AIsWrite) {
  std::string password;
  DoGetPasswordEx(password, AIsWrite);
  if (password.empty()) DoGetPassword(password);
  return password;
}

void TIdSSLIOHandlerSocketOpenSSL::ReportStatus(SSL* ASSL, std::int32_t AWhere, std::int32_t ARet,
                                                const std::string& AStatusText) {
  DoStatusInfo(AStatusText);
  if (OnStatusInfoEx && ASSL) {
    std::string type, msg;
    detail::StatusInfoTypeAndMessage(ASSL, AWhere, ARet, type, msg);
    OnStatusInfoEx(this, ASSL, AWhere, ARet, type, msg);
  }
}

bool TIdSSLIOHandlerSocketOpenSSL::ConfirmPeer(TIdX509* ACertificate, bool AOk, std::int32_t ADepth,
                                               std::int32_t AError) {
  return DoVerifyPeer(ACertificate, AOk, ADepth, AError);
}

// ---------------------------------------------------------------------------
// TIdServerIOHandlerSSLBase

std::unique_ptr<TIdIOHandler> TIdServerIOHandlerSSLBase::MakeClientIOHandler(TIdYarn*) {
  return std::unique_ptr<TIdIOHandler>(MakeClientIOHandler());
}

// ---------------------------------------------------------------------------
// TIdServerIOHandlerSSLOpenSSL

TIdServerIOHandlerSSLOpenSSL::TIdServerIOHandlerSSLOpenSSL(TComponent* AOwner)
    : TIdServerIOHandlerSSLBase(AOwner), FSSLOptions(std::make_unique<TIdSSLOptions_Internal>(this)) {}

TIdServerIOHandlerSSLOpenSSL::~TIdServerIOHandlerSSLOpenSSL() = default;

void TIdServerIOHandlerSSLOpenSSL::Init() {
  auto ctx = std::make_unique<TIdSSLContext>();
  ctx->Parent = this;
  ctx->RootCertFile = FSSLOptions->RootCertFile;
  ctx->CertFile = FSSLOptions->CertFile;
  ctx->KeyFile = FSSLOptions->KeyFile;
  ctx->DHParamsFile = FSSLOptions->DHParamsFile;
  ctx->VerifyDepth = FSSLOptions->VerifyDepth;
  ctx->VerifyMode = FSSLOptions->VerifyMode;
  ctx->VerifyDirs = FSSLOptions->VerifyDirs;
  ctx->CipherList = FSSLOptions->CipherList;
  ctx->Method = FSSLOptions->Method();
  ctx->SSLVersions = FSSLOptions->SSLVersions();
  ctx->Mode = FSSLOptions->Mode;
  ctx->VerifyOn = static_cast<bool>(OnVerifyPeer);
  ctx->StatusInfoOn = OnStatusInfo || OnStatusInfoEx;
  ctx->BuildContext(TIdSSLCtxMode::sslCtxServer);
  FSSLContext = std::move(ctx);
}

std::unique_ptr<TIdIOHandler> TIdServerIOHandlerSSLOpenSSL::Accept(TIdSocketHandle& AListener,
                                                                   TIdThread* AListenerThread, TIdYarn*) {
  for (;;) {
    if (!WaitForConnection(AListener, AListenerThread)) return nullptr;
    auto h = std::make_unique<TIdSSLIOHandlerSocketOpenSSL>(nullptr);
    h->SetPassThrough(true);
    h->Open();
    // Nobody waiting after all (taken, or gone before we came): wait again
    // rather than end the listener.
    if (!AcceptInto(AListener, *h)) continue;
    SetUpAccepted(*h);
    h->AfterAccept();
    return h;
  }
}

TIdSSLIOHandlerSocketOpenSSL* TIdServerIOHandlerSSLOpenSSL::Accept(TIdSocketHandle& AListener) {
  auto h = std::make_unique<TIdSSLIOHandlerSocketOpenSSL>(nullptr);
  h->SetPassThrough(true);
  h->Open();
  if (!h->Binding()->Accept(AListener.Handle())) return nullptr;
  SetUpAccepted(*h);
  return h.release();
}

void TIdServerIOHandlerSSLOpenSSL::SetUpAccepted(TIdSSLIOHandlerSocketOpenSSL& AHandler) {
  AHandler.SetSSLOptionsRef(FSSLOptions.get());
  AHandler.SetIsPeer(true);
  auto session = std::make_unique<TIdSSLSocket>(this);
  session->OnALPNSelect = [this](TPersistent*, TStrings& AProtocols, std::string& AProtocol) {
    if (OnALPNSelect) OnALPNSelect(this, AProtocols, AProtocol);
  };
  AHandler.SetSSLSocket(std::move(session));
  AHandler.SetSSLContext(FSSLContext.get());
}

TIdSSLIOHandlerSocketBase* TIdServerIOHandlerSSLOpenSSL::MakeClientIOHandler() {
  auto* h = new TIdSSLIOHandlerSocketOpenSSL(nullptr);
  h->SSLOptions().Assign(*FSSLOptions);
  h->SetPassThrough(true);
  h->OnGetPassword = [this](std::string& APassword) { DoGetPassword(APassword); };
  h->OnGetPasswordEx = [this](TPersistent*, std::string& VPassword, bool AIsWrite) {
    DoGetPasswordEx(VPassword, AIsWrite);
  };
  return h;
}

void TIdServerIOHandlerSSLOpenSSL::Shutdown() {
  FSSLContext.reset();
  TIdServerIOHandlerSSLBase::Shutdown();
}

void TIdServerIOHandlerSSLOpenSSL::DoStatusInfo(const std::string& AMsg) {
  if (OnStatusInfo) OnStatusInfo(AMsg);
}

void TIdServerIOHandlerSSLOpenSSL::DoGetPassword(std::string& APassword) {
  if (OnGetPassword) OnGetPassword(APassword);
}

void TIdServerIOHandlerSSLOpenSSL::DoGetPasswordEx(std::string& VPassword, bool AIsWrite) {
  if (OnGetPasswordEx) OnGetPasswordEx(this, VPassword, AIsWrite);
}

bool TIdServerIOHandlerSSLOpenSSL::DoVerifyPeer(TIdX509* ACertificate, bool AOk, std::int32_t ADepth,
                                                std::int32_t AError) {
  return OnVerifyPeer ? OnVerifyPeer(ACertificate, AOk, ADepth, AError) : true;
}

std::string TIdServerIOHandlerSSLOpenSSL::ProvidePassword(bool AIsWrite) {
  std::string password;
  DoGetPasswordEx(password, AIsWrite);
  if (password.empty()) DoGetPassword(password);
  return password;
}

void TIdServerIOHandlerSSLOpenSSL::ReportStatus(SSL* ASSL, std::int32_t AWhere, std::int32_t ARet,
                                                const std::string& AStatusText) {
  DoStatusInfo(AStatusText);
  if (OnStatusInfoEx && ASSL) {
    std::string type, msg;
    detail::StatusInfoTypeAndMessage(ASSL, AWhere, ARet, type, msg);
    OnStatusInfoEx(this, ASSL, AWhere, ARet, type, msg);
  }
}

bool TIdServerIOHandlerSSLOpenSSL::ConfirmPeer(TIdX509* ACertificate, bool AOk, std::int32_t ADepth,
                                               std::int32_t AError) {
  return DoVerifyPeer(ACertificate, AOk, ADepth, AError);
}
