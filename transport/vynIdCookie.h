// Cookies after the storage model of RFC 6265: one cookie with its
// attributes, a collection of cookies with the jar's live list under a
// read/write lock, and the client's cookie jar.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Classes.h"
#include "platform/DateUtils.h"
#include "transport/vynIdHeaderList.h"
#include "transport/vynIdURI.h"

class TIdCookies;

enum class TIdCookieAccess : std::uint8_t { caRead, caReadWrite };

class TIdCookie : public TPersistent {
public:
  explicit TIdCookie(TIdCookies* ACollection = nullptr);
  void Assign(const TPersistent& ASource) override;

  // The Set-Cookie form.
  virtual std::string ServerCookie() const;
  std::string CookieText() const { return ServerCookie(); }
  // The Cookie form: name=value.
  virtual std::string ClientCookie() const;
  // Whether the cookie goes with a request for AURI.
  virtual bool IsAllowed(const TIdURI& AURI, bool SecureOnly) const;
  // One name=value pair of a Cookie header (server side).
  virtual bool ParseClientCookie(std::string_view ACookieText);
  // A Set-Cookie value received for AURI; False when the cookie is not
  // acceptable.
  virtual bool ParseServerCookie(std::string_view ACookieText, const TIdURI* AURI);

  // Seconds until expiry; -1 when Expires is 0.
  std::int64_t MaxAge() const;
  bool IsExpired() const;
  TIdCookies* Collection() const { return FCollection; }

  std::string CookieName;
  std::string Value;
  // Lower case when it came from a Domain attribute; the request host for a
  // host-only cookie.
  std::string Domain;
  std::string Path;
  // Local time; 0 = no expiry.
  TDateTime Expires = 0;
  bool Secure = false;
  bool HttpOnly = false;
  TDateTime CreatedAt = 0;
  bool HostOnly = false;
  TDateTime LastAccessed = 0;
  bool Persistent = false;

private:
  TIdCookies* FCollection;
};

// The expiry of a cookie without Max-Age or Expires: 9999-12-31 23:59:59.999.
TDateTime IdCookieSessionExpiry();
// A cookie date (RFC 6265 section 5.1.1) as UTC; 0 when unreadable.
TDateTime CookieDateToUTC(std::string_view AText);
// Default path of a request path (RFC 6265 section 5.1.4).
std::string CookieDefaultPath(std::string_view AURIPath);
bool CookieDomainMatches(std::string_view AHost, std::string_view ADomain);
bool CookiePathMatches(std::string_view ARequestPath, std::string_view ACookiePath);

class TIdCookies {
public:
  // Live cookies kept per domain and in all (RFC 6265 section 6.1's minimums).
  static constexpr std::ptrdiff_t kMaxCookiesPerDomain = 50;
  static constexpr std::size_t kMaxCookies = 3000;

  TIdCookies() = default;
  TIdCookies(const TIdCookies&) = delete;
  TIdCookies& operator=(const TIdCookies&) = delete;
  ~TIdCookies();

  // A new empty cookie in the collection, not in the live list.
  TIdCookie& Add();
  // Stores ACookie (one of this collection) in the live list; False when
  // refused. With AReplaceOld a live cookie of the same name, domain and path
  // gives way (and is freed).
  bool AddCookie(TIdCookie* ACookie, const TIdURI* AURI, bool AReplaceOld);
  TIdCookie* AddClientCookie(std::string_view ACookie);
  void AddClientCookies(std::string_view ACookie);
  void AddClientCookies(const TStrings& ACookies);
  TIdCookie* AddServerCookie(std::string_view ACookie, const TIdURI* AURI);
  void AddServerCookies(const TStrings& ACookies, const TIdURI* AURI);
  // Copies of every cookie of ASource; a copy is live when its source is.
  void AddCookies(TIdCookies& ASource);
  void Assign(TIdCookies& ASource);
  void Clear();
  // Removes a cookie of this collection from the live list and frees it.
  void FreeCookie(TIdCookie* ACookie);
  // Frees every expired live cookie.
  void CleanupCookieList();

  int Count() const;
  TIdCookie& GetCookie(int AIndex);
  TIdCookie& Cookies(int AIndex) { return GetCookie(AIndex); }
  void SetCookie(int AIndex, const TIdCookie& AValue);
  int GetCookieIndex(std::string_view AName, int FirstIndex = 0) const;
  int GetCookieIndex(std::string_view AName, std::string_view ADomain, int FirstIndex = 0) const;
  TIdCookie* GetCookieByNameAndDomain(std::string_view AName, std::string_view ADomain);

  // The live list, under the lock; every LockCookieList needs its
  // UnlockCookieList with the same access.
  std::vector<TIdCookie*>& LockCookieList(TIdCookieAccess AAccessType);
  void UnlockCookieList(TIdCookieAccess AAccessType);

private:
  friend class TIdCookieManager;
  // Callers hold the write lock. AInList False: the cookie was never stored
  // in the live list, which then needs no search.
  void FreeCookieLocked(TIdCookie* ACookie, bool AInList = true);
  // Frees a cookie that was added but never stored.
  void FreeUnstoredCookie(TIdCookie* ACookie);
  bool AddCookieLocked(TIdCookie* ACookie, const TIdURI* AURI, bool AReplaceOld);
  // Frees live cookies other than AKeep until its domain and the jar are
  // within their limits.
  void EvictBeyondLimitsLocked(TIdCookie* AKeep);
  TIdCookie& AddLocked();

  std::vector<std::unique_ptr<TIdCookie>> FItems;
  std::vector<TIdCookie*> FCookieList;
  mutable std::shared_mutex FRWLock;
};

class TIdCookieManager;
using TOnCookieManagerEvent = std::function<void(TIdCookieManager* ASender, TIdCookies& ACookieCollection)>;
using TOnNewCookieEvent = std::function<void(TIdCookieManager* ASender, TIdCookie* ACookie, bool& VAccept)>;

class TIdCookieManager : public TComponent {
public:
  explicit TIdCookieManager(TComponent* AOwner = nullptr);
  ~TIdCookieManager() override;

  // Adds the Cookie header for a request to AURL (nothing when no cookie
  // applies). SecureOnly: the request goes over TLS.
  void GenerateClientCookies(const TIdURI& AURL, bool SecureOnly, TIdHeaderList& Headers);
  void AddServerCookie(std::string_view ACookie, const TIdURI& AURL);
  void AddServerCookies(const TStrings& ACookies, const TIdURI& AURL);
  // Copies of the live cookies of ASource are appended; nothing is replaced.
  void AddCookies(TIdCookieManager& ASource);
  void CopyCookie(const TIdCookie& ACookie);

  TIdCookies& CookieCollection() { return *FCookieCollection; }

  TOnCookieManagerEvent OnCreate;
  TOnCookieManagerEvent OnDestroy;
  TOnNewCookieEvent OnNewCookie;

protected:
  virtual void FireOnCreate();
  virtual void FireOnDestroy();
  virtual bool FireOnNewCookie(TIdCookie* ACookie);

private:
  std::unique_ptr<TIdCookies> FCookieCollection;
};
