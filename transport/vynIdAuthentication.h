// HTTP authentication schemes: each scheme object is a small state machine
// the client feeds with challenge lines and asks what to do next, and gives
// the Authorization value. Also the process-wide registry of schemes by name
// and the manager that keeps finished authentications per URL.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Classes.h"
#include "transport/vynIdGlobal.h"
#include "transport/vynIdHeaderList.h"
#include "transport/vynIdURI.h"

enum class TIdAuthWhatsNext : std::uint8_t { wnAskTheProgram, wnDoRequest, wnFail };

class EIdInvalidAlgorithm : public EIdException {
public:
  using EIdException::EIdException;
};

// Abandons a request without a message the default error display shows.
class EIdAuthenticationAbort : public EIdSilentException {
public:
  using EIdSilentException::EIdSilentException;
};

class TIdAuthentication : public TPersistent {
public:
  TIdAuthentication();
  ~TIdAuthentication() override = default;
  TIdAuthentication(const TIdAuthentication&) = delete;
  TIdAuthentication& operator=(const TIdAuthentication&) = delete;

  // What the client does next after a challenge.
  TIdAuthWhatsNext Next() { return DecideNext(); }
  // The Authorization header value.
  virtual std::string Authentication() = 0;
  virtual void Reset() { FCurrentStep = 0; }
  // Called before writing every request that carries this object.
  virtual void SetRequest(std::string_view AMethod, std::string_view AUri);
  virtual bool KeepAlive() const { return false; }
  // How many request steps a full exchange takes.
  virtual std::int32_t Steps() const { return 0; }
  std::int32_t CurrentStep() const { return FCurrentStep; }

  // "Username", "Password", "Authorization" and the scheme's own values.
  TIdHeaderList& Params() { return FParams; }
  const TIdHeaderList& Params() const { return FParams; }
  // The challenge lines, scheme name first, one per line.
  TIdHeaderList& AuthParams() { return FAuthParams; }
  const TIdHeaderList& AuthParams() const { return FAuthParams; }
  void SetAuthParams(const TStrings& AValue);

  std::string Username() const { return FParams.Values("Username"); }
  virtual void SetUsername(std::string_view AValue) { FParams.SetValue("Username", AValue); }
  std::string Password() const { return FParams.Values("Password"); }
  virtual void SetPassword(std::string_view AValue) { FParams.SetValue("Password", AValue); }

protected:
  virtual TIdAuthWhatsNext DecideNext() = 0;
  // The first challenge line of the scheme (letter case ignored); empty
  // when there is none.
  std::string FindChallengeLine(std::string_view AScheme) const;

  std::int32_t FCurrentStep = 0;
  TIdHeaderList FParams{TIdHeaderQuotingType::QuoteHTTP};
  TIdHeaderList FAuthParams{TIdHeaderQuotingType::QuoteHTTP};
  std::string FCharset;
};

class TIdBasicAuthentication : public TIdAuthentication {
public:
  std::string Authentication() override;
  std::int32_t Steps() const override { return 1; }
  const std::string& Realm() const { return FRealm; }
  void SetRealm(std::string_view AValue) { FRealm = AValue; }

protected:
  TIdAuthWhatsNext DecideNext() override;

  std::string FRealm;
};

class TIdDigestAuthentication : public TIdAuthentication {
public:
  // Raises EIdFIPSAlgorithmNotAllowed while MD5 is not permitted.
  TIdDigestAuthentication();
  std::string Authentication() override;
  void SetRequest(std::string_view AMethod, std::string_view AUri) override;
  std::int32_t Steps() const override { return 1; }

  const std::string& Method() const { return FMethod; }
  void SetMethod(std::string_view AValue) { FMethod = AValue; }
  const std::string& Uri() const { return FUri; }
  void SetUri(std::string_view AValue) { FUri = AValue; }
  // Hashed into the response for qop auth-int.
  const std::string& EntityBody() const { return FEntityBody; }
  void SetEntityBody(std::string_view AValue) { FEntityBody = AValue; }

  const std::string& Realm() const { return FRealm; }
  bool Stale() const { return FStale; }
  const std::string& Opaque() const { return FOpaque; }
  const TStringList& Domain() const { return FDomain; }
  const std::string& Nonce() const { return FNonce; }
  std::int32_t NonceCount() const { return FNonceCount; }
  const std::string& Algorithm() const { return FAlgorithm; }
  const TStringList& QopOptions() const { return FQopOptions; }

protected:
  TIdAuthWhatsNext DecideNext() override;
  // The client nonce of one request: changes every time, not guessable.
  virtual std::string NewCNonce();

  std::string FRealm;
  bool FStale = false;
  std::string FOpaque;
  TStringList FDomain;
  std::string FNonce;
  std::int32_t FNonceCount = 0;
  std::string FAlgorithm;
  std::string FMethod;
  std::string FUri;
  std::string FEntityBody;
  TStringList FQopOptions;
  TStringList FOther;
};

// NTLM version 1, computed in process (MD4 here, DES from the crypto library).
class TIdNTLMAuthentication : public TIdAuthentication {
public:
  // Loads the crypto library (EIdOSSLCouldNotLoadSSLLibrary when it cannot
  // be loaded or lacks DES) and needs MD4 to be permitted.
  TIdNTLMAuthentication();
  std::string Authentication() override;
  std::int32_t Steps() const override { return 3; }
  bool KeepAlive() const override { return true; }
  void Reset() override;
  // "DOMAIN\user" sets the domain and the user; without a backslash the
  // domain is empty.
  void SetUsername(std::string_view AValue) override;

  const std::string& Domain() const { return FDomain; }
  const std::string& User() const { return FUser; }
  const std::string& Host() const { return FHost; }

protected:
  TIdAuthWhatsNext DecideNext() override;

  // The server's challenge token (Base64).
  std::string FNTLMInfo;
  std::string FHost;
  std::string FDomain;
  std::string FUser;
};

namespace detail {
// The NTLM negotiate message for a domain and host.
TIdBytes NTLMNegotiateMessage(std::string_view ADomain, std::string_view AHost);
// The 24-byte LM and NT responses of NTLM version 1 to an 8-byte server
// challenge.
void NTLMv1Responses(std::string_view APassword, const std::uint8_t (&AChallenge)[8], TIdBytes& ALMResponse,
                     TIdBytes& ANTResponse);
// The authenticate message answering AChallenge.
TIdBytes NTLMAuthenticateMessage(std::string_view ADomain, std::string_view AUser, std::string_view AHost,
                                 std::string_view APassword, const std::uint8_t (&AChallenge)[8]);
// The machine's name.
std::string ComputerName();
}  // namespace detail

// ---------------------------------------------------------------------------
// Scheme registry

// A scheme class: makes a new scheme object.
using TIdAuthenticationClass = std::unique_ptr<TIdAuthentication> (*)();

namespace detail {
template <class T>
std::unique_ptr<TIdAuthentication> MakeAuthentication() {
  return std::make_unique<T>();
}
// The class value of scheme type T.
template <class T>
inline constexpr TIdAuthenticationClass AuthClassOf = &MakeAuthentication<T>;

// Name/value pairs of a Basic or Digest challenge line (the scheme name
// removed), in order; names compare without letter case.
TStringList ParseChallengeParams(std::string_view AChallenge);
}  // namespace detail

// Adds the pair, or replaces the class of a name already registered
// (letter case ignored).
void RegisterAuthScheme(std::string_view AName, TIdAuthenticationClass AClass);
void UnregisterAuthScheme(std::string_view AName);
// The class registered for the name, or none.
TIdAuthenticationClass FindAuthScheme(std::string_view AName);

// ---------------------------------------------------------------------------
// Manager

class TIdAuthenticationItem {
public:
  const TIdURI& URL() const { return FURI; }
  void SetURL(const TIdURI& AValue) { FURI.SetURI(AValue.URI()); }
  TStringList& Params() { return FParams; }
  const TStringList& Params() const { return FParams; }
  void SetParams(const TStrings& AValue) { FParams.Assign(AValue); }
  void Assign(const TIdAuthenticationItem& ASource);

private:
  TIdURI FURI;
  TStringList FParams;
};

class TIdAuthenticationCollection {
public:
  TIdAuthenticationItem& Add();
  int Count() const { return static_cast<int>(FItems.size()); }
  TIdAuthenticationItem& Items(int AIndex);

private:
  std::vector<std::unique_ptr<TIdAuthenticationItem>> FItems;
};

class TIdAuthenticationManager : public TComponent {
public:
  explicit TIdAuthenticationManager(TComponent* AOwner = nullptr) : TComponent(AOwner) {}
  // Appends an item with the URL rebuilt without user information and
  // fragment, and a copy of the scheme's Params.
  void AddAuthentication(const TIdAuthentication& AAuthentication, const TIdURI& AURL);
  TIdAuthenticationCollection& Authentications() { return FAuthentications; }

private:
  TIdAuthenticationCollection FAuthentications;
};
