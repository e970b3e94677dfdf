#include "transport/vynIdAuthentication.h"

#include <unistd.h>

#include <climits>
#include <mutex>

#include "platform/DateUtils.h"
#include "transport/vynIdCoderMIME.h"
#include "transport/vynIdHash.h"
#include "transport/vynIdResourceStringsCore.h"
#include "transport/vynIdResourceStringsProtocols.h"
#include "transport/vynIdSSLOpenSSLHeaders.h"

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view SkipBlanks(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  return s;
}

// The text encoding for a charset name of a challenge; one byte per
// character for an empty or unknown name.
const TIdTextEncoding& EncodingForCharset(std::string_view ACharset) {
  std::string c = Trim(ACharset);
  if (SameText(c, "utf-8") || SameText(c, "utf8")) return detail::EncodingUTF8();
  if (SameText(c, "us-ascii") || SameText(c, "ascii")) return detail::EncodingASCII();
  return detail::Encoding8Bit();
}

std::string LowerHex(const TIdBytes& ABytes) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(ABytes.size() * 2);
  for (std::uint8_t b : ABytes) {
    out += kHex[b >> 4];
    out += kHex[b & 15];
  }
  return out;
}

// A value between double quotes: quote and backslash escaped, so a user
// name cannot end the value and add parameters of its own.
std::string Quoted(std::string_view AValue) {
  std::string out = "\"";
  for (char c : AValue) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  out += '"';
  return out;
}

// The pieces of a text between separators, empty ones included.
std::vector<std::string> Split(std::string_view AText, char ASep) {
  std::vector<std::string> out;
  std::size_t start = 0;
  for (;;) {
    std::size_t i = AText.find(ASep, start);
    out.emplace_back(AText.substr(start, i == std::string_view::npos ? std::string_view::npos : i - start));
    if (i == std::string_view::npos) return out;
    start = i + 1;
  }
}

struct SchemeEntry {
  std::string name;
  TIdAuthenticationClass cls;
};

struct Registry {
  Registry() {
    entries.push_back({"Basic", detail::AuthClassOf<TIdBasicAuthentication>});
    entries.push_back({"NTLM", detail::AuthClassOf<TIdNTLMAuthentication>});
    entries.push_back({"Digest", detail::AuthClassOf<TIdDigestAuthentication>});
  }
  std::mutex lock;
  std::vector<SchemeEntry> entries;
};

void RegisterLocked(Registry& r, std::string_view AName, TIdAuthenticationClass AClass) {
  for (auto& e : r.entries) {
    if (SameText(e.name, AName)) {
      e.cls = AClass;
      return;
    }
  }
  r.entries.push_back({std::string(AName), AClass});
}

// Made on first use with the schemes this platform offers (no platform
// security package here), so no start-up order or linker choice can leave
// it empty.
Registry& Schemes() {
  static Registry r;
  return r;
}

}  // namespace

// ---------------------------------------------------------------------------
// Challenge parameters

TStringList detail::ParseChallengeParams(std::string_view AChallenge) {
  TStringList out;
  out.CaseSensitive = false;
  std::size_t sp = AChallenge.find(' ');
  std::string_view rest = sp == std::string_view::npos ? std::string_view() : AChallenge.substr(sp + 1);
  rest = SkipBlanks(rest);
  // Every pass removes at least one character, so the loop ends.
  while (!rest.empty()) {
    std::size_t eq = rest.find('=');
    std::string name = Trim(rest.substr(0, eq));
    rest = eq == std::string_view::npos ? std::string_view() : SkipBlanks(rest.substr(eq + 1));
    std::string value;
    if (!rest.empty() && rest.front() == '"') {
      std::size_t i = 1;
      for (; i < rest.size() && rest[i] != '"'; ++i) {
        if (rest[i] == '\\' && i + 1 < rest.size()) ++i;
        value += rest[i];
      }
      rest.remove_prefix(std::min(rest.size(), i + 1));
      std::size_t comma = rest.find(',');
      rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
    } else {
      std::size_t comma = rest.find(',');
      value = Trim(rest.substr(0, comma));
      rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
    }
    if (!name.empty()) out.Add(name + "=" + value);
    rest = SkipBlanks(rest);
  }
  return out;
}

// ---------------------------------------------------------------------------
// TIdAuthentication

TIdAuthentication::TIdAuthentication() {
  FParams.CaseSensitive = false;
  FAuthParams.CaseSensitive = false;
}

void TIdAuthentication::SetRequest(std::string_view, std::string_view) {}

void TIdAuthentication::SetAuthParams(const TStrings& AValue) {
  FAuthParams.Clear();
  for (const auto& line : AValue) FAuthParams.Add(line);
}

std::string TIdAuthentication::FindChallengeLine(std::string_view AScheme) const {
  for (const auto& line : FAuthParams) {
    // The scheme name must be the whole first word: "Basic" is not "Basically".
    if (StartsText(AScheme, line) && (line.size() == AScheme.size() || IsBlank(line[AScheme.size()]))) return line;
  }
  return {};
}

// ---------------------------------------------------------------------------
// Basic (RFC 7617)

TIdAuthWhatsNext TIdBasicAuthentication::DecideNext() {
  TStringList params = detail::ParseChallengeParams(FindChallengeLine("Basic"));
  FRealm = params.Values("realm");
  FCharset.clear();
  for (const char* name : {"charset", "accept-charset", "encoding", "enc"}) {
    FCharset = params.Values(name);
    if (!FCharset.empty()) break;
  }
  if (FCharset.empty()) FCharset = "ISO-8859-1";
  if (FCurrentStep != 0) return TIdAuthWhatsNext::wnFail;
  return Username().empty() ? TIdAuthWhatsNext::wnAskTheProgram : TIdAuthWhatsNext::wnDoRequest;
}

std::string TIdBasicAuthentication::Authentication() {
  return "Basic " + TIdEncoderMIME::EncodeString(Username() + ":" + Password(), EncodingForCharset(FCharset));
}

// ---------------------------------------------------------------------------
// Digest (RFC 2617 with MD5)

TIdDigestAuthentication::TIdDigestAuthentication() {
  detail::CheckMD5Permitted();
  FDomain.CaseSensitive = false;
  FQopOptions.CaseSensitive = false;
}

void TIdDigestAuthentication::SetRequest(std::string_view AMethod, std::string_view AUri) {
  FMethod = AMethod;
  FUri = AUri;
}

TIdAuthWhatsNext TIdDigestAuthentication::DecideNext() {
  if (FCurrentStep != 0) return TIdAuthWhatsNext::wnDoRequest;
  FDomain.Clear();
  FQopOptions.Clear();
  TStringList params = detail::ParseChallengeParams(FindChallengeLine("Digest"));
  FRealm = params.Values("realm");
  std::string nonce = params.Values("nonce");
  if (nonce != FNonce) {
    FNonceCount = 1;
    FNonce = nonce;
  }
  for (const auto& part : Split(params.Values("domain"), ' '))
    if (!part.empty()) FDomain.Add(part);
  FOpaque = params.Values("opaque");
  FStale = SameText(params.Values("stale"), "True");
  FAlgorithm = params.Values("algorithm");
  for (const auto& part : Split(params.Values("qop"), ','))
    if (!Trim(part).empty()) FQopOptions.Add(Trim(part));
  if (FAlgorithm.empty()) FAlgorithm = "MD5";
  if (!SameText(FAlgorithm, "MD5") && !SameText(FAlgorithm, "MD5-sess"))
    throw EIdInvalidAlgorithm(RSHTTPAuthInvalidHash);
  if (Username().empty()) return TIdAuthWhatsNext::wnAskTheProgram;
  FCurrentStep = 1;
  return TIdAuthWhatsNext::wnDoRequest;
}

std::string TIdDigestAuthentication::NewCNonce() {
  std::string seed = FloatToStr(Now()) + ":" + LowerHex(TIdHMACKeyBuilder::Key(16));
  return LowerHex(TIdHashMessageDigest5().HashString(seed));
}

std::string TIdDigestAuthentication::Authentication() {
  if (FCurrentStep != 1) return "Digest";
  // Text is hashed as its UTF-8 bytes, as servers and other clients do: as
  // 7-bit ASCII every other character would become "?", so different
  // passwords would give the same response.
  auto H = [](std::string_view x) { return LowerHex(TIdHashMessageDigest5().HashString(x, detail::EncodingUTF8())); };

  std::string cnonce = NewCNonce();
  std::string a1 = Username() + ":" + FRealm + ":" + Password();
  if (SameText(FAlgorithm, "MD5-sess")) a1 = H(a1) + ":" + FNonce + ":" + cnonce;
  std::string a2 = FMethod + ":" + FUri;
  std::string qop;
  if (FQopOptions.IndexOf("auth-int") >= 0) {
    qop = "auth-int";
    a2 += ":" + H(FEntityBody);
  } else if (FQopOptions.IndexOf("auth") >= 0) {
    qop = "auth";
  }
  std::string nc(8, '0');
  for (int i = 7, v = FNonceCount; i >= 0; --i, v = static_cast<int>(static_cast<std::uint32_t>(v) >> 4))
    nc[static_cast<std::size_t>(i)] = "0123456789ABCDEF"[v & 15];
  std::string middle = qop.empty() ? std::string() : nc + ":" + cnonce + ":" + qop + ":";
  std::string response = H(H(a1) + ":" + FNonce + ":" + middle + H(a2));

  std::string out = "Digest username=" + Quoted(Username()) + ", realm=" + Quoted(FRealm) +
                    ", nonce=" + Quoted(FNonce) + ", algorithm=" + Quoted(FAlgorithm) + ", uri=" + Quoted(FUri);
  if (!qop.empty()) out += ", qop=" + Quoted(qop) + ", nc=" + nc + ", cnonce=" + Quoted(cnonce);
  out += ", response=" + Quoted(response);
  if (!FOpaque.empty()) out += ", opaque=" + Quoted(FOpaque);
  ++FNonceCount;
  FCurrentStep = 0;
  return out;
}

// ---------------------------------------------------------------------------
// NTLM version 1 (MS-NLMP)

namespace {

constexpr std::uint8_t kNTLMSignature[8] = {'N', 'T', 'L', 'M', 'S', 'S', 'P', 0};
constexpr std::uint32_t kNTLMNegotiateFlags = 0x0000B207;
constexpr std::uint32_t kNTLMAuthenticateFlags = 0x00018205;
// A message field is at most 64 KB; longer names or passwords are cut.
constexpr std::size_t kNTLMFieldMax = 0xFFFF;

void Put16(TIdBytes& AOut, std::size_t AAt, std::size_t AValue) {
  AOut[AAt] = static_cast<std::uint8_t>(AValue);
  AOut[AAt + 1] = static_cast<std::uint8_t>(AValue >> 8);
}
void Put32(TIdBytes& AOut, std::size_t AAt, std::uint32_t AValue) {
  for (int i = 0; i < 4; ++i) AOut[AAt + i] = static_cast<std::uint8_t>(AValue >> (8 * i));
}
// A buffer field: length, the same length, offset.
void PutSecBuf(TIdBytes& AOut, std::size_t AAt, std::size_t ALen, std::size_t AOffset) {
  Put16(AOut, AAt, ALen);
  Put16(AOut, AAt + 2, ALen);
  Put32(AOut, AAt + 4, static_cast<std::uint32_t>(AOffset));
}

TIdBytes Cut(TIdBytes ABytes) {
  if (ABytes.size() > kNTLMFieldMax) ABytes.resize(kNTLMFieldMax & ~std::size_t(1));
  return ABytes;
}

TIdBytes UTF16LE(std::string_view AText) { return detail::EncodingUTF16LE()->GetBytes(AText); }

// 7 key bytes spread over 8 DES key bytes, parity set, then one block
// encrypted.
void DESEncrypt(const std::uint8_t* AKey7, const std::uint8_t* AIn, std::uint8_t* AOut) {
  detail::DESBlock key, in, out;
  key[0] = AKey7[0];
  for (int i = 1; i < 7; ++i) key[i] = static_cast<std::uint8_t>((AKey7[i - 1] << (8 - i)) | (AKey7[i] >> i));
  key[7] = static_cast<std::uint8_t>(AKey7[6] << 1);
  detail::OSSL.DES_set_odd_parity(&key);
  detail::DESKeySchedule schedule{};
  detail::OSSL.DES_set_key_unchecked(&key, &schedule);
  std::copy_n(AIn, 8, in);
  detail::OSSL.DES_ecb_encrypt(&in, &out, &schedule, 1);
  std::copy_n(out, 8, AOut);
}

// A 16-byte hash padded to 21 bytes, as three DES keys over the challenge.
TIdBytes ChallengeResponse(const TIdBytes& AHash16, const std::uint8_t (&AChallenge)[8]) {
  std::uint8_t key[21] = {};
  std::copy_n(AHash16.begin(), std::min<std::size_t>(16, AHash16.size()), key);
  TIdBytes out(24);
  for (int i = 0; i < 3; ++i) DESEncrypt(key + 7 * i, AChallenge, out.data() + 8 * i);
  return out;
}

bool DESBound() {
  return detail::OSSL.DES_set_odd_parity && detail::OSSL.DES_set_key_unchecked && detail::OSSL.DES_ecb_encrypt;
}

}  // namespace

std::string detail::ComputerName() {
  char name[HOST_NAME_MAX + 1] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return {};
  return name;
}

TIdBytes detail::NTLMNegotiateMessage(std::string_view ADomain, std::string_view AHost) {
  TIdBytes domain = Cut(detail::EncodingASCII()->GetBytes(UpperCase(ADomain)));
  TIdBytes host = Cut(detail::EncodingASCII()->GetBytes(UpperCase(AHost)));
  TIdBytes out(32);
  std::copy_n(kNTLMSignature, 8, out.begin());
  Put32(out, 8, 1);
  Put32(out, 12, kNTLMNegotiateFlags);
  PutSecBuf(out, 16, domain.size(), 32);
  PutSecBuf(out, 24, host.size(), 32 + domain.size());
  out.insert(out.end(), domain.begin(), domain.end());
  out.insert(out.end(), host.begin(), host.end());
  return out;
}

void detail::NTLMv1Responses(std::string_view APassword, const std::uint8_t (&AChallenge)[8], TIdBytes& ALMResponse,
                             TIdBytes& ANTResponse) {
  static constexpr std::uint8_t kMagic[8] = {'K', 'G', 'S', '!', '@', '#', '$', '%'};
  TIdBytes lmPassword = detail::EncodingUTF8()->GetBytes(UpperCase(APassword));
  lmPassword.resize(14, 0);
  TIdBytes lmHash(16);
  DESEncrypt(lmPassword.data(), kMagic, lmHash.data());
  DESEncrypt(lmPassword.data() + 7, kMagic, lmHash.data() + 8);
  ALMResponse = ChallengeResponse(lmHash, AChallenge);
  TIdBytes ntHash = TIdHashMessageDigest4().HashBytes(UTF16LE(APassword));
  ANTResponse = ChallengeResponse(ntHash, AChallenge);
}

TIdBytes detail::NTLMAuthenticateMessage(std::string_view ADomain, std::string_view AUser, std::string_view AHost,
                                         std::string_view APassword, const std::uint8_t (&AChallenge)[8]) {
  TIdBytes lm, nt;
  NTLMv1Responses(APassword, AChallenge, lm, nt);
  TIdBytes domain = Cut(UTF16LE(UpperCase(ADomain)));
  TIdBytes user = Cut(UTF16LE(AUser));
  TIdBytes host = Cut(UTF16LE(UpperCase(AHost)));
  TIdBytes out(64);
  std::copy_n(kNTLMSignature, 8, out.begin());
  Put32(out, 8, 3);
  std::size_t at = 64;
  PutSecBuf(out, 12, lm.size(), at);
  at += lm.size();
  PutSecBuf(out, 20, nt.size(), at);
  at += nt.size();
  PutSecBuf(out, 28, domain.size(), at);
  at += domain.size();
  PutSecBuf(out, 36, user.size(), at);
  at += user.size();
  PutSecBuf(out, 44, host.size(), at);
  at += host.size();
  PutSecBuf(out, 52, 0, at);
  Put32(out, 60, kNTLMAuthenticateFlags);
  for (const TIdBytes* part : {&lm, &nt, &domain, &user, &host}) out.insert(out.end(), part->begin(), part->end());
  return out;
}

TIdNTLMAuthentication::TIdNTLMAuthentication() {
  if (!EnsureOpenSSLLoaded() || !DESBound()) throw EIdOSSLCouldNotLoadSSLLibrary();
  detail::CheckMD4Permitted();
}

void TIdNTLMAuthentication::Reset() {
  TIdAuthentication::Reset();
  // A new exchange answers the server's next challenge, not the last one.
  FNTLMInfo.clear();
}

void TIdNTLMAuthentication::SetUsername(std::string_view AValue) {
  if (AValue == Username()) return;
  TIdAuthentication::SetUsername(AValue);
  std::size_t slash = AValue.find('\\');
  if (slash == std::string_view::npos) {
    FDomain.clear();
    FUser = AValue;
  } else {
    FDomain = AValue.substr(0, slash);
    FUser = AValue.substr(slash + 1);
  }
}

TIdAuthWhatsNext TIdNTLMAuthentication::DecideNext() {
  switch (FCurrentStep) {
    case 0:
      if (Username().empty()) return TIdAuthWhatsNext::wnAskTheProgram;
      FCurrentStep = 1;
      return TIdAuthWhatsNext::wnDoRequest;
    case 1:
    case 2:
      ++FCurrentStep;
      return TIdAuthWhatsNext::wnDoRequest;
    default:
      Reset();
      return TIdAuthWhatsNext::wnFail;
  }
}

std::string TIdNTLMAuthentication::Authentication() {
  if (FCurrentStep == 1) {
    FHost = detail::ComputerName();
    return "NTLM " + TIdEncoderMIME::EncodeBytes(detail::NTLMNegotiateMessage(FDomain, FHost));
  }
  if (FCurrentStep != 2) return {};
  if (FNTLMInfo.empty()) {
    std::string line = FindChallengeLine("NTLM");
    FNTLMInfo = Trim(line.substr(std::min<std::size_t>(line.size(), 4)));
  }
  TIdBytes token = FNTLMInfo.empty() ? TIdBytes() : TIdDecoderMIME::DecodeBytes(FNTLMInfo);
  // A missing token, or one too short to hold the server challenge.
  if (token.size() < 32) {
    Reset();
    throw EIdAuthenticationAbort("");
  }
  std::uint8_t challenge[8];
  std::copy_n(token.begin() + 24, 8, challenge);
  std::string value = "NTLM " + TIdEncoderMIME::EncodeBytes(
                                    detail::NTLMAuthenticateMessage(FDomain, FUser, FHost, Password(), challenge));
  FCurrentStep = 2;
  return value;
}

// ---------------------------------------------------------------------------
// Registry

void RegisterAuthScheme(std::string_view AName, TIdAuthenticationClass AClass) {
  Registry& r = Schemes();
  std::lock_guard<std::mutex> guard(r.lock);
  RegisterLocked(r, AName, AClass);
}

void UnregisterAuthScheme(std::string_view AName) {
  Registry& r = Schemes();
  std::lock_guard<std::mutex> guard(r.lock);
  std::erase_if(r.entries, [&](const SchemeEntry& e) { return SameText(e.name, AName); });
}

TIdAuthenticationClass FindAuthScheme(std::string_view AName) {
  Registry& r = Schemes();
  std::lock_guard<std::mutex> guard(r.lock);
  for (const auto& e : r.entries)
    if (SameText(e.name, AName)) return e.cls;
  return nullptr;
}

// ---------------------------------------------------------------------------
// Manager

void TIdAuthenticationItem::Assign(const TIdAuthenticationItem& ASource) {
  FURI = ASource.FURI;
  FParams.Assign(ASource.FParams);
}

TIdAuthenticationItem& TIdAuthenticationCollection::Add() {
  FItems.push_back(std::make_unique<TIdAuthenticationItem>());
  return *FItems.back();
}

TIdAuthenticationItem& TIdAuthenticationCollection::Items(int AIndex) {
  if (AIndex < 0 || AIndex >= Count()) throw EListError(RSIndexOutOfBounds);
  return *FItems[static_cast<std::size_t>(AIndex)];
}

void TIdAuthenticationManager::AddAuthentication(const TIdAuthentication& AAuthentication, const TIdURI& AURL) {
  TIdAuthenticationItem& item = FAuthentications.Add();
  item.SetURL(AURL);
  item.Params().Clear();
  for (const auto& line : AAuthentication.Params()) item.Params().Add(line);
}
