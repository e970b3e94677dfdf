#include "transport/vynIdAuthentication.h"

#include <mutex>

#include "platform/DateUtils.h"
#include "transport/vynIdCoderMIME.h"
#include "transport/vynIdHash.h"
#include "transport/vynIdResourceStringsCore.h"
#include "transport/vynIdResourceStringsProtocols.h"

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view TrimLeftView(std::string_view s) {
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
  rest = TrimLeftView(rest);
  // Every pass removes at least one character, so the loop ends.
  while (!rest.empty()) {
    std::size_t eq = rest.find('=');
    std::string name = Trim(rest.substr(0, eq));
    rest = eq == std::string_view::npos ? std::string_view() : TrimLeftView(rest.substr(eq + 1));
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
    rest = TrimLeftView(rest);
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
  FCharset = params.Values("charset");
  if (FAlgorithm.empty()) FAlgorithm = "MD5";
  if (!SameText(FAlgorithm, "MD5") && !SameText(FAlgorithm, "MD5-sess")) throw EIdInvalidAlgorithm(RSHTTPAuthInvalidHash);
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
  // Text is hashed as ASCII, or as UTF-8 when the challenge announced it.
  TIdTextEncoding enc = SameText(FCharset, "UTF-8") ? detail::EncodingUTF8() : detail::EncodingASCII();
  auto H = [&enc](std::string_view x) { return LowerHex(TIdHashMessageDigest5().HashString(x, enc)); };

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

  std::string out = "Digest username=" + Quoted(Username()) + ", realm=" + Quoted(FRealm) + ", nonce=" + Quoted(FNonce) +
                    ", algorithm=" + Quoted(FAlgorithm) + ", uri=" + Quoted(FUri);
  if (!qop.empty()) out += ", qop=" + Quoted(qop) + ", nc=" + nc + ", cnonce=" + Quoted(cnonce);
  out += ", response=" + Quoted(response);
  if (!FOpaque.empty()) out += ", opaque=" + Quoted(FOpaque);
  ++FNonceCount;
  FCurrentStep = 0;
  return out;
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
