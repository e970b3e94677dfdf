#include "transport/vynIdCookie.h"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <mutex>

#include "platform/SysUtils.h"
#include "transport/vynIdInternetDate.h"

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// RFC 6265 trims only blanks and tabs around names and values.
std::string TrimWSP(std::string_view s) {
  std::size_t b = 0, e = s.size();
  while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
  while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t')) --e;
  return std::string(s.substr(b, e - b));
}

bool IsHTTPProtocol(std::string_view aProtocol) { return SameText(aProtocol, "http") || SameText(aProtocol, "https"); }

bool IsIPAddress(std::string_view aHost) {
  if (aHost.find(':') != std::string_view::npos) return true;  // IPv6
  int parts = 0;
  std::size_t i = 0;
  while (i <= aHost.size()) {
    std::size_t j = i;
    while (j < aHost.size() && IsDigit(aHost[j])) ++j;
    if (j == i || j - i > 3) return false;
    ++parts;
    if (j == aHost.size()) break;
    if (aHost[j] != '.') return false;
    i = j + 1;
  }
  return parts == 4;
}

// An optional "-" and decimal digits only.
bool CookieInteger(std::string_view s, std::int64_t& aValue) {
  bool negative = false;
  if (!s.empty() && s[0] == '-') {
    negative = true;
    s.remove_prefix(1);
  }
  if (s.empty()) return false;
  std::int64_t v = 0;
  for (char c : s) {
    if (!IsDigit(c)) return false;
    if (v < 1000000000000000LL) v = v * 10 + (c - '0');  // saturates far beyond any date
  }
  aValue = negative ? -v : v;
  return true;
}

// Earliest representable expiry, for a negative delta: already expired.
TDateTime EarliestExpiry() { return EncodeDate(1, 1, 1); }

// Now plus a number of seconds, capped at the last representable moment.
TDateTime ExpiryFromSeconds(std::int64_t aSeconds) {
  if (aSeconds <= 0) return EarliestExpiry();
  const TDateTime now = Now();
  const double limit = IdCookieSessionExpiry();
  if (static_cast<double>(aSeconds) / kSecsPerDay >= limit - now) return limit;
  return IncSecond(now, aSeconds);
}

std::string DequoteAttribute(std::string v) {
  if (v.size() >= 1 && v[0] == '"') {
    const auto close = v.find('"', 1);
    return close == std::string::npos ? v.substr(1) : v.substr(1, close - 1);
  }
  return v;
}

bool IsCookieDelimiter(unsigned char c) {
  return c == 0x09 || (c >= 0x20 && c <= 0x2F) || (c >= 0x3B && c <= 0x40) || (c >= 0x5B && c <= 0x60) ||
         (c >= 0x7B && c <= 0x7E);
}

// 1*2DIGIT followed by a non-digit or the end; the digits count in aLen.
bool LeadingNumber(std::string_view t, std::size_t aMin, std::size_t aMax, int& aValue) {
  std::size_t n = 0;
  while (n < t.size() && IsDigit(t[n])) ++n;
  if (n < aMin || n > aMax) return false;
  aValue = 0;
  for (std::size_t i = 0; i < n; ++i) aValue = aValue * 10 + (t[i] - '0');
  return true;
}

bool MatchTime(std::string_view t, int& h, int& m, int& s) {
  int* fields[3] = {&h, &m, &s};
  std::size_t i = 0;
  for (int f = 0; f < 3; ++f) {
    std::size_t n = 0;
    while (i + n < t.size() && IsDigit(t[i + n])) ++n;
    if (n < 1 || n > 2) return false;
    *fields[f] = 0;
    for (std::size_t k = 0; k < n; ++k) *fields[f] = *fields[f] * 10 + (t[i + k] - '0');
    i += n;
    if (f < 2) {
      if (i >= t.size() || t[i] != ':') return false;
      ++i;
    }
  }
  return true;  // whatever follows is not a digit (the group ended there)
}

}  // namespace

TDateTime IdCookieSessionExpiry() { return EncodeDateTime(9999, 12, 31, 23, 59, 59, 999); }

TDateTime CookieDateToUTC(std::string_view AText) {
  bool foundTime = false, foundDay = false, foundMonth = false, foundYear = false;
  int h = 0, mi = 0, s = 0, day = 0, month = 0, year = 0;
  std::size_t i = 0;
  while (i < AText.size()) {
    while (i < AText.size() && IsCookieDelimiter(static_cast<unsigned char>(AText[i]))) ++i;
    std::size_t j = i;
    while (j < AText.size() && !IsCookieDelimiter(static_cast<unsigned char>(AText[j]))) ++j;
    if (j == i) break;
    const std::string_view t = AText.substr(i, j - i);
    i = j;
    // A token that does not have the shape of a part is simply not that part:
    // it is offered to the next one (a year before the month is fine).
    if (!foundTime && MatchTime(t, h, mi, s)) {
      foundTime = true;
    } else if (!foundDay && LeadingNumber(t, 1, 2, day)) {
      foundDay = true;
    } else if (!foundMonth && MonthFromName(t) > 0) {
      month = MonthFromName(t);
      foundMonth = true;
    } else if (!foundMonth && LeadingNumber(t, 1, 2, month)) {
      foundMonth = true;
    } else if (!foundYear && LeadingNumber(t, 2, 4, year)) {
      foundYear = true;
    }
  }
  if (!foundTime || !foundDay || !foundMonth || !foundYear) return 0;
  if (year >= 70 && year <= 99) year += 1900;
  if (year >= 0 && year <= 69) year += 2000;
  if (day < 1 || day > 31 || month < 1 || month > 12 || year < 1601 || h > 23 || mi > 59 || s > 59) return 0;
  TDateTime r = 0;
  return TryEncodeDateTime(year, month, day, h, mi, s, 0, r) ? r : 0;
}

std::string CookieDefaultPath(std::string_view AURIPath) {
  if (AURIPath.empty() || AURIPath[0] != '/') return "/";
  const auto last = AURIPath.rfind('/');
  if (last == 0) return "/";
  return std::string(AURIPath.substr(0, last));
}

bool CookieDomainMatches(std::string_view AHost, std::string_view ADomain) {
  if (AHost.empty() || ADomain.empty()) return false;
  if (SameText(AHost, ADomain)) return true;
  if (AHost.size() <= ADomain.size() || !EndsText(ADomain, AHost)) return false;
  return AHost[AHost.size() - ADomain.size() - 1] == '.' && !IsIPAddress(AHost);
}

bool CookiePathMatches(std::string_view ARequestPath, std::string_view ACookiePath) {
  if (ARequestPath == ACookiePath) return true;
  if (ACookiePath.empty() || ARequestPath.substr(0, ACookiePath.size()) != ACookiePath) return false;
  return ACookiePath.back() == '/' || ARequestPath[ACookiePath.size()] == '/';
}

// ---------------------------------------------------------------------------
// TIdCookie

TIdCookie::TIdCookie(TIdCookies* ACollection) : FCollection(ACollection) {
  CreatedAt = Now();
  LastAccessed = CreatedAt;
}

void TIdCookie::Assign(const TPersistent& ASource) {
  const auto& s = AssignSource<TIdCookie>(ASource);
  CookieName = s.CookieName;
  Value = s.Value;
  Domain = s.Domain;
  Path = s.Path;
  Expires = s.Expires;
  Secure = s.Secure;
  HttpOnly = s.HttpOnly;
  CreatedAt = s.CreatedAt;
  HostOnly = s.HostOnly;
  LastAccessed = s.LastAccessed;
  Persistent = s.Persistent;
}

std::int64_t TIdCookie::MaxAge() const {
  if (Expires == 0) return -1;
  // Rounded: a date-time of days cannot hold whole seconds exactly.
  return std::llround((Expires - Now()) * kSecsPerDay);
}

bool TIdCookie::IsExpired() const { return Expires != 0 && Now() > Expires; }

std::string TIdCookie::ClientCookie() const { return CookieName + "=" + Value; }

std::string TIdCookie::ServerCookie() const {
  std::string out = CookieName + "=" + Value;
  if (!Path.empty()) out += "; Path=" + Path;
  if (!Domain.empty()) out += "; Domain=" + Domain;
  if (Secure) out += "; Secure";
  if (HttpOnly) out += "; HttpOnly";
  // A session cookie stays a session cookie: its far expiry is not sent.
  if (Expires != 0 && Expires < IdCookieSessionExpiry()) {
    const std::int64_t age = MaxAge();
    if (age >= 0) out += "; Max-Age=" + std::to_string(age);
    out += "; Expires=" + LocalToInternetDate(Expires);
  }
  return out;
}

bool TIdCookie::IsAllowed(const TIdURI& AURI, bool SecureOnly) const {
  const bool hostOk = HostOnly ? SameText(AURI.Host, Domain) : CookieDomainMatches(AURI.Host, Domain);
  if (!hostOk) return false;
  if (!CookiePathMatches(AURI.Path + AURI.Document, Path)) return false;
  if (Secure && !SecureOnly) return false;
  if (HttpOnly && !IsHTTPProtocol(AURI.Protocol)) return false;
  return true;
}

bool TIdCookie::ParseClientCookie(std::string_view ACookieText) {
  const std::string text = Trim(ACookieText);
  const auto eq = text.find('=');
  if (eq == std::string::npos) return false;
  std::string name = TrimWSP(std::string_view(text).substr(0, eq));
  std::string_view rest = std::string_view(text).substr(eq + 1);
  std::string value;
  const std::string restTrimmed = TrimWSP(rest);
  if (!restTrimmed.empty() && restTrimmed[0] == '"') {
    const auto close = restTrimmed.find('"', 1);
    value = close == std::string::npos ? restTrimmed : restTrimmed.substr(0, close + 1);
  } else {
    value = TrimWSP(std::string_view(restTrimmed).substr(0, restTrimmed.find(';')));
  }
  if (name.empty()) return false;
  CookieName = std::move(name);
  Value = std::move(value);
  return true;
}

bool TIdCookie::ParseServerCookie(std::string_view ACookieText, const TIdURI* AURI) {
  // A NUL, CR or LF ends the text: what follows could only end up as a
  // broken or an injected header line when the cookie is sent back.
  ACookieText = ACookieText.substr(0, ACookieText.find_first_of(std::string_view("\0\r\n", 3)));
  const auto semi = ACookieText.find(';');
  const std::string_view pair = ACookieText.substr(0, semi);
  const auto eq = pair.find('=');
  if (eq == std::string_view::npos) return false;
  std::string name = TrimWSP(pair.substr(0, eq));
  // The value is kept as sent, double quotes included.
  std::string value = TrimWSP(pair.substr(eq + 1));
  if (name.empty()) return false;

  bool haveMaxAge = false, haveExpires = false, haveDomain = false, havePath = false;
  bool secure = false, httpOnly = false;
  TDateTime maxAgeExpiry = 0, expiresExpiry = 0;
  std::string domain, path;
  const std::string requestHost = AURI ? LowerCase(AURI->Host) : std::string();
  const std::string defaultPath = CookieDefaultPath(AURI ? AURI->Path + AURI->Document : std::string());

  std::string_view attrs = semi == std::string_view::npos ? std::string_view() : ACookieText.substr(semi + 1);
  while (!attrs.empty()) {
    const auto next = attrs.find(';');
    const std::string_view av = attrs.substr(0, next);
    attrs = next == std::string_view::npos ? std::string_view() : attrs.substr(next + 1);
    const auto aeq = av.find('=');
    const std::string aname = TrimWSP(av.substr(0, aeq));
    const std::string avalue =
        aeq == std::string_view::npos ? std::string() : DequoteAttribute(TrimWSP(av.substr(aeq + 1)));
    if (SameText(aname, "Expires")) {
      std::int64_t seconds = 0;
      if (CookieInteger(avalue, seconds)) {
        expiresExpiry = ExpiryFromSeconds(seconds);
        haveExpires = true;
      } else if (const TDateTime utc = CookieDateToUTC(avalue); utc != 0) {
        expiresExpiry = UTCToLocalTime(utc);
        haveExpires = true;
      }
    } else if (SameText(aname, "Max-Age")) {
      std::int64_t seconds = 0;
      if (CookieInteger(avalue, seconds)) {
        // Zero or less: expired at once (RFC 6265 section 5.2.2).
        maxAgeExpiry = ExpiryFromSeconds(seconds);
        haveMaxAge = true;
      }
    } else if (SameText(aname, "Domain")) {
      if (avalue.empty()) continue;
      std::string d = avalue;
      if (d[0] == '.') d.erase(0, 1);
      d = LowerCase(d.substr(0, d.find(':')));
      domain = std::move(d);
      haveDomain = true;
    } else if (SameText(aname, "Path")) {
      path = (avalue.empty() || avalue[0] != '/') ? defaultPath : avalue;
      havePath = true;
    } else if (SameText(aname, "Secure")) {
      secure = true;
    } else if (SameText(aname, "HttpOnly")) {
      httpOnly = true;
    }
  }

  if (haveDomain) {
    if (!CookieDomainMatches(requestHost, domain)) return false;
    // A top-level domain ("org") would send the cookie to every site under
    // it; it is only accepted from that very host, as a host-only cookie.
    if (domain.find('.') == std::string::npos) {
      if (!SameText(requestHost, domain)) return false;
      haveDomain = false;
    }
  }
  if (httpOnly && !(AURI && IsHTTPProtocol(AURI->Protocol))) return false;

  CookieName = std::move(name);
  Value = std::move(value);
  CreatedAt = Now();
  LastAccessed = CreatedAt;
  if (haveMaxAge) {
    Persistent = true;
    Expires = maxAgeExpiry;
  } else if (haveExpires) {
    Persistent = true;
    Expires = expiresExpiry;
  } else {
    Persistent = false;
    Expires = IdCookieSessionExpiry();
  }
  if (haveDomain) {
    HostOnly = false;
    Domain = std::move(domain);
  } else {
    HostOnly = true;
    Domain = requestHost;
  }
  Path = havePath ? path : defaultPath;
  Secure = secure;
  HttpOnly = httpOnly;
  return true;
}

// ---------------------------------------------------------------------------
// TIdCookies

TIdCookies::~TIdCookies() = default;

TIdCookie& TIdCookies::AddLocked() {
  FItems.push_back(std::make_unique<TIdCookie>(this));
  return *FItems.back();
}

TIdCookie& TIdCookies::Add() {
  std::unique_lock lock(FRWLock);
  return AddLocked();
}

void TIdCookies::FreeCookieLocked(TIdCookie* ACookie, bool AInList) {
  // Searched from the back: the cookie freed is mostly the one just added.
  if (AInList) {
    const auto live = std::find(FCookieList.rbegin(), FCookieList.rend(), ACookie);
    if (live != FCookieList.rend()) FCookieList.erase(std::next(live).base());
  }
  const auto item =
      std::find_if(FItems.rbegin(), FItems.rend(), [ACookie](const auto& p) { return p.get() == ACookie; });
  if (item != FItems.rend()) FItems.erase(std::next(item).base());
}

void TIdCookies::FreeCookie(TIdCookie* ACookie) {
  std::unique_lock lock(FRWLock);
  FreeCookieLocked(ACookie);
}

void TIdCookies::FreeUnstoredCookie(TIdCookie* ACookie) {
  std::unique_lock lock(FRWLock);
  FreeCookieLocked(ACookie, false);
}

bool TIdCookies::AddCookieLocked(TIdCookie* ACookie, const TIdURI* AURI, bool AReplaceOld) {
  if (AReplaceOld) {
    for (TIdCookie* old : FCookieList) {
      if (old == ACookie) continue;
      // Names and paths are case-sensitive; domains are stored in lower case.
      if (old->CookieName != ACookie->CookieName || old->Path != ACookie->Path ||
          !SameText(old->Domain, ACookie->Domain))
        continue;
      if (AURI && !IsHTTPProtocol(AURI->Protocol) && old->HttpOnly) return false;
      ACookie->CreatedAt = old->CreatedAt;
      FreeCookieLocked(old);
      break;
    }
  }
  if (ACookie->IsExpired()) return false;
  if (std::find(FCookieList.begin(), FCookieList.end(), ACookie) == FCookieList.end()) {
    FCookieList.push_back(ACookie);
    EvictBeyondLimitsLocked(ACookie);
  }
  return true;
}

void TIdCookies::EvictBeyondLimitsLocked(TIdCookie* AKeep) {
  // The jar keeps what servers send only up to RFC 6265's minimums, so a
  // server (or many) cannot grow it without end: expired cookies go first,
  // then the least recently used of the crowded domain, then of the whole jar.
  auto sameDomain = [AKeep](const TIdCookie* c) { return SameText(c->Domain, AKeep->Domain); };
  const auto inDomain = std::count_if(FCookieList.begin(), FCookieList.end(), sameDomain);
  if (inDomain <= kMaxCookiesPerDomain && FCookieList.size() <= kMaxCookies) return;
  auto evictOne = [&](auto APick) {
    TIdCookie* victim = nullptr;
    for (TIdCookie* c : FCookieList) {
      if (c == AKeep || !APick(c)) continue;
      if (!victim || (c->IsExpired() != victim->IsExpired()     ? c->IsExpired()
                      : c->LastAccessed != victim->LastAccessed ? c->LastAccessed < victim->LastAccessed
                                                                : c->CreatedAt < victim->CreatedAt))
        victim = c;
    }
    if (victim) FreeCookieLocked(victim);
    return victim != nullptr;
  };
  for (auto n = inDomain; n > kMaxCookiesPerDomain && evictOne(sameDomain); --n) {
  }
  while (FCookieList.size() > kMaxCookies && evictOne([](const TIdCookie*) { return true; })) {
  }
}

bool TIdCookies::AddCookie(TIdCookie* ACookie, const TIdURI* AURI, bool AReplaceOld) {
  std::unique_lock lock(FRWLock);
  return AddCookieLocked(ACookie, AURI, AReplaceOld);
}

TIdCookie* TIdCookies::AddClientCookie(std::string_view ACookie) {
  std::unique_lock lock(FRWLock);
  TIdCookie& c = AddLocked();
  if (c.ParseClientCookie(ACookie)) {
    FCookieList.push_back(&c);
    return &c;
  }
  FreeCookieLocked(&c, false);
  return nullptr;
}

void TIdCookies::AddClientCookies(std::string_view ACookie) {
  // Split at ";" outside double quotes, so a quoted value stays whole.
  std::size_t start = 0;
  bool quoted = false;
  for (std::size_t i = 0; i <= ACookie.size(); ++i) {
    if (i < ACookie.size() && ACookie[i] == '"') quoted = !quoted;
    if (i < ACookie.size() && (quoted || ACookie[i] != ';')) continue;
    const std::string piece = Trim(ACookie.substr(start, i - start));
    if (!piece.empty()) AddClientCookie(piece);
    start = i + 1;
  }
}

void TIdCookies::AddClientCookies(const TStrings& ACookies) {
  for (const std::string& s : ACookies) AddClientCookies(s);
}

TIdCookie* TIdCookies::AddServerCookie(std::string_view ACookie, const TIdURI* AURI) {
  std::unique_lock lock(FRWLock);
  TIdCookie& c = AddLocked();
  if (c.ParseServerCookie(ACookie, AURI) && AddCookieLocked(&c, AURI, true)) return &c;
  FreeCookieLocked(&c, false);  // a refused new cookie never entered the list
  return nullptr;
}

void TIdCookies::AddServerCookies(const TStrings& ACookies, const TIdURI* AURI) {
  for (const std::string& s : ACookies) AddServerCookie(s, AURI);
}

void TIdCookies::AddCookies(TIdCookies& ASource) {
  if (&ASource == this) return;
  std::vector<std::pair<TIdCookie, bool>> copies;
  {
    std::shared_lock lock(ASource.FRWLock);
    for (const auto& c : ASource.FItems) {
      copies.emplace_back(TIdCookie(), false);
      copies.back().first.Assign(*c);
      copies.back().second =
          std::find(ASource.FCookieList.begin(), ASource.FCookieList.end(), c.get()) != ASource.FCookieList.end();
    }
  }
  std::unique_lock lock(FRWLock);
  for (auto& [copy, live] : copies) {
    TIdCookie& c = AddLocked();
    c.Assign(copy);
    if (live) FCookieList.push_back(&c);
  }
}

void TIdCookies::Assign(TIdCookies& ASource) {
  if (&ASource == this) return;
  Clear();
  AddCookies(ASource);
}

void TIdCookies::Clear() {
  std::unique_lock lock(FRWLock);
  FCookieList.clear();
  FItems.clear();
}

void TIdCookies::CleanupCookieList() {
  std::unique_lock lock(FRWLock);
  // One pass over each list, however many cookies expired.
  std::vector<TIdCookie*> expired;
  for (TIdCookie* c : FCookieList)
    if (c->IsExpired()) expired.push_back(c);
  if (expired.empty()) return;
  std::sort(expired.begin(), expired.end());
  auto isExpired = [&expired](const TIdCookie* c) { return std::binary_search(expired.begin(), expired.end(), c); };
  FCookieList.erase(std::remove_if(FCookieList.begin(), FCookieList.end(), isExpired), FCookieList.end());
  FItems.erase(std::remove_if(FItems.begin(), FItems.end(), [&](const auto& p) { return isExpired(p.get()); }),
               FItems.end());
}

int TIdCookies::Count() const {
  std::shared_lock lock(FRWLock);
  return static_cast<int>(FItems.size());
}

TIdCookie& TIdCookies::GetCookie(int AIndex) {
  std::shared_lock lock(FRWLock);
  if (AIndex < 0 || AIndex >= static_cast<int>(FItems.size()))
    throw EListError(Format("List index out of bounds (%d)", AIndex));
  return *FItems[static_cast<std::size_t>(AIndex)];
}

void TIdCookies::SetCookie(int AIndex, const TIdCookie& AValue) {
  TIdCookie& c = GetCookie(AIndex);
  std::unique_lock lock(FRWLock);
  c.Assign(AValue);
}

int TIdCookies::GetCookieIndex(std::string_view AName, int FirstIndex) const {
  std::shared_lock lock(FRWLock);
  for (int i = std::max(FirstIndex, 0); i < static_cast<int>(FItems.size()); ++i)
    if (SameText(FItems[static_cast<std::size_t>(i)]->CookieName, AName)) return i;
  return -1;
}

int TIdCookies::GetCookieIndex(std::string_view AName, std::string_view ADomain, int FirstIndex) const {
  std::shared_lock lock(FRWLock);
  for (int i = std::max(FirstIndex, 0); i < static_cast<int>(FItems.size()); ++i) {
    const TIdCookie& c = *FItems[static_cast<std::size_t>(i)];
    if (SameText(c.CookieName, AName) && SameText(c.Domain, ADomain)) return i;
  }
  return -1;
}

TIdCookie* TIdCookies::GetCookieByNameAndDomain(std::string_view AName, std::string_view ADomain) {
  const int i = GetCookieIndex(AName, ADomain);
  return i < 0 ? nullptr : &GetCookie(i);
}

std::vector<TIdCookie*>& TIdCookies::LockCookieList(TIdCookieAccess AAccessType) {
  if (AAccessType == TIdCookieAccess::caRead)
    FRWLock.lock_shared();
  else
    FRWLock.lock();
  return FCookieList;
}

void TIdCookies::UnlockCookieList(TIdCookieAccess AAccessType) {
  if (AAccessType == TIdCookieAccess::caRead)
    FRWLock.unlock_shared();
  else
    FRWLock.unlock();
}

// ---------------------------------------------------------------------------
// TIdCookieManager

TIdCookieManager::TIdCookieManager(TComponent* AOwner)
    : TComponent(AOwner), FCookieCollection(std::make_unique<TIdCookies>()) {
  FireOnCreate();
}

TIdCookieManager::~TIdCookieManager() {
  FCookieCollection->CleanupCookieList();
  FireOnDestroy();
}

void TIdCookieManager::FireOnCreate() {
  if (OnCreate) OnCreate(this, *FCookieCollection);
}

void TIdCookieManager::FireOnDestroy() {
  if (OnDestroy) OnDestroy(this, *FCookieCollection);
}

bool TIdCookieManager::FireOnNewCookie(TIdCookie* ACookie) {
  bool accept = true;
  if (OnNewCookie) OnNewCookie(this, ACookie, accept);
  return accept;
}

void TIdCookieManager::AddServerCookie(std::string_view ACookie, const TIdURI& AURL) {
  TIdCookie& c = FCookieCollection->Add();
  if (c.ParseServerCookie(ACookie, &AURL) && FireOnNewCookie(&c) && FCookieCollection->AddCookie(&c, &AURL, true))
    return;
  FCookieCollection->FreeUnstoredCookie(&c);
}

void TIdCookieManager::AddServerCookies(const TStrings& ACookies, const TIdURI& AURL) {
  for (const std::string& s : ACookies) AddServerCookie(s, AURL);
}

void TIdCookieManager::AddCookies(TIdCookieManager& ASource) {
  if (&ASource == this) return;
  std::vector<TIdCookie> copies;
  {
    auto& list = ASource.FCookieCollection->LockCookieList(TIdCookieAccess::caRead);
    for (const TIdCookie* c : list) {
      copies.emplace_back();
      copies.back().Assign(*c);
    }
    ASource.FCookieCollection->UnlockCookieList(TIdCookieAccess::caRead);
  }
  for (const TIdCookie& copy : copies) {
    TIdCookie& c = FCookieCollection->Add();
    c.Assign(copy);
    if (!FCookieCollection->AddCookie(&c, nullptr, false)) FCookieCollection->FreeUnstoredCookie(&c);
  }
}

void TIdCookieManager::CopyCookie(const TIdCookie& ACookie) {
  if (ACookie.Domain.empty()) return;
  TIdCookie& c = FCookieCollection->Add();
  c.Assign(ACookie);
  if (FireOnNewCookie(&c) && FCookieCollection->AddCookie(&c, nullptr, true)) return;
  FCookieCollection->FreeUnstoredCookie(&c);
}

void TIdCookieManager::GenerateClientCookies(const TIdURI& AURL, bool SecureOnly, TIdHeaderList& Headers) {
  FCookieCollection->CleanupCookieList();
  std::string header;
  // The write lock, not the read lock: LastAccessed of the chosen cookies
  // changes, and two requests may share the jar.
  auto& list = FCookieCollection->LockCookieList(TIdCookieAccess::caReadWrite);
  try {
    std::vector<TIdCookie*> chosen;
    for (TIdCookie* c : list)
      if (c->IsAllowed(AURL, SecureOnly)) chosen.push_back(c);
    std::stable_sort(chosen.begin(), chosen.end(), [](const TIdCookie* a, const TIdCookie* b) {
      if (a->Path.size() != b->Path.size()) return a->Path.size() > b->Path.size();
      return a->CreatedAt < b->CreatedAt;
    });
    const TDateTime now = Now();
    for (TIdCookie* c : chosen) {
      c->LastAccessed = now;
      if (!header.empty()) header += "; ";
      header += c->ClientCookie();
    }
  } catch (...) {
    FCookieCollection->UnlockCookieList(TIdCookieAccess::caReadWrite);
    throw;
  }
  FCookieCollection->UnlockCookieList(TIdCookieAccess::caReadWrite);
  if (!header.empty()) Headers.AddValue("Cookie", header);
}
