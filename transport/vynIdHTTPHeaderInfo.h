// HTTP header records: the typed fields of an entity, request or response,
// kept in step with the raw header lines (SetHeaders writes the lines from
// the fields, ParseRawHeaders reads the fields from the lines). Also the
// byte-range model, the proxy settings and the reader of META elements.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Classes.h"
#include "platform/DateUtils.h"
#include "transport/vynIdHeaderList.h"

// The authentication schemes (vynIdAuthentication) write the Authorization
// and Proxy-Authorization values.
class TIdAuthentication;

// The user agent every request record starts with; process-wide.
inline constexpr const char* kIdDefaultUserAgent = "Mozilla/3.0 (compatible; Talvex Library)";
inline constexpr const char* kIdDefaultAccept = "text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8";
std::string GetDefaultUserAgent();
void SetDefaultUserAgent(std::string AValue);

// Hexadecimal digits only (either case, no sign, no blanks, not empty) into
// VValue; false for anything else or a value beyond int64. Chunk sizes are
// read with it on both sides of a connection.
bool IdParseHexDigits(std::string_view AText, std::int64_t& VValue);

// One byte range: "start-end", "start-" or "-suffix".
class TIdEntityRange {
public:
  std::int64_t StartPos = -1;
  std::int64_t EndPos = -1;
  std::int64_t SuffixLength = -1;
  std::string Text() const;
  void SetText(std::string_view AValue);
};

class TIdEntityRanges {
public:
  TIdEntityRanges() = default;
  TIdEntityRanges(const TIdEntityRanges& ASource) { Assign(ASource); }
  TIdEntityRanges& operator=(const TIdEntityRanges& ASource) {
    Assign(ASource);
    return *this;
  }
  void Assign(const TIdEntityRanges& ASource);

  TIdEntityRange& Add();
  int Count() const { return static_cast<int>(FRanges.size()); }
  TIdEntityRange& Ranges(int AIndex);
  const TIdEntityRange& Ranges(int AIndex) const;
  void Clear() { FRanges.clear(); }

  const std::string& Units() const { return FUnits; }
  // An empty text sets "bytes".
  void SetUnits(std::string_view AValue);
  // "units=range,range"; empty when there is no range.
  std::string Text() const;
  void SetText(std::string_view AValue);

private:
  std::vector<std::unique_ptr<TIdEntityRange>> FRanges;
  std::string FUnits = "bytes";
};

class TIdEntityHeaderInfo : public TPersistent {
public:
  explicit TIdEntityHeaderInfo(TComponent* AOwner = nullptr);
  void Assign(const TPersistent& ASource) override;

  virtual void ParseRawHeaders();
  virtual void SetHeaders();
  virtual void Clear();

  TComponent* Owner() const { return FOwner; }
  TIdHeaderList& RawHeaders() { return FRawHeaders; }
  const TIdHeaderList& RawHeaders() const { return FRawHeaders; }
  TIdHeaderList& CustomHeaders() { return FCustomHeaders; }
  const TIdHeaderList& CustomHeaders() const { return FCustomHeaders; }
  void SetCustomHeaders(const TStrings& AValue) {
    FCustomHeaders.Clear();
    FCustomHeaders.AddStrings(AValue);
  }

  std::int64_t ContentLength() const { return FContentLength; }
  // Also sets HasContentLength to (AValue >= 0).
  void SetContentLength(std::int64_t AValue);
  const std::string& ContentType() const { return FContentType; }
  // Splits off a charset parameter into CharSet; without one, text media
  // types get their default charset.
  void SetContentType(std::string_view AValue);
  bool HasContentRange() const { return ContentRangeEnd >= 0; }
  bool HasContentRangeInstance() const { return ContentRangeInstanceLength >= 0; }

  std::string CacheControl;
  std::string CharSet;
  std::string Connection;
  std::string ContentDisposition;
  std::string ContentEncoding;
  std::string ContentLanguage;
  std::int64_t ContentRangeEnd = -1;
  std::int64_t ContentRangeStart = -1;
  std::int64_t ContentRangeInstanceLength = -1;
  std::string ContentRangeUnits;
  std::string ContentVersion;
  // Local time; 0 = none.
  TDateTime Date = 0;
  TDateTime Expires = 0;
  std::string ETag;
  TDateTime LastModified = 0;
  std::string Pragma;
  bool HasContentLength = false;
  std::string TransferEncoding;

protected:
  TComponent* FOwner;
  TIdHeaderList FRawHeaders{TIdHeaderQuotingType::QuoteHTTP};
  TIdHeaderList FCustomHeaders{TIdHeaderQuotingType::QuoteHTTP};
  std::int64_t FContentLength = -1;
  std::string FContentType;
};

class TIdRequestHeaderInfo : public TIdEntityHeaderInfo {
public:
  explicit TIdRequestHeaderInfo(TComponent* AOwner = nullptr);
  ~TIdRequestHeaderInfo() override;
  void Assign(const TPersistent& ASource) override;
  void ParseRawHeaders() override;
  void SetHeaders() override;
  void Clear() override;

  TIdEntityRanges& Ranges() { return FRanges; }
  const TIdEntityRanges& Ranges() const { return FRanges; }
  std::string Range() const { return FRanges.Text(); }
  void SetRange(std::string_view AValue) { FRanges.SetText(AValue); }

  std::string Accept;
  std::string AcceptCharSet;
  std::string AcceptEncoding;
  std::string AcceptLanguage;
  std::string Expect;
  std::string From;
  std::string Password;
  std::string Referer;
  std::string UserAgent;
  std::string Username;
  std::string Host;
  std::string ProxyConnection;
  bool BasicAuthentication = false;
  std::string MethodOverride;

  // The scheme object that gives the Authorization value; owned, none at
  // first. Clear and Assign leave it as it is.
  TIdAuthentication* Authentication() const { return FAuthentication.get(); }
  void SetAuthentication(std::unique_ptr<TIdAuthentication> AValue);

private:
  TIdEntityRanges FRanges;
  std::unique_ptr<TIdAuthentication> FAuthentication;
};

class TIdResponseHeaderInfo : public TIdEntityHeaderInfo {
public:
  explicit TIdResponseHeaderInfo(TComponent* AOwner = nullptr);
  void Assign(const TPersistent& ASource) override;
  void ParseRawHeaders() override;
  void SetHeaders() override;
  void Clear() override;

  // One challenge per line, in the order received.
  TIdHeaderList& ProxyAuthenticate() { return FProxyAuthenticate; }
  const TIdHeaderList& ProxyAuthenticate() const { return FProxyAuthenticate; }
  TIdHeaderList& WWWAuthenticate() { return FWWWAuthenticate; }
  const TIdHeaderList& WWWAuthenticate() const { return FWWWAuthenticate; }

  std::string AcceptPatch;
  std::string AcceptRanges;
  std::string Location;
  std::string Server;
  std::string ProxyConnection;

private:
  TIdHeaderList FProxyAuthenticate{TIdHeaderQuotingType::QuoteHTTP};
  TIdHeaderList FWWWAuthenticate{TIdHeaderQuotingType::QuoteHTTP};
};

// Proxy settings of a client.
class TIdProxyConnectionInfo : public TPersistent {
public:
  TIdProxyConnectionInfo();
  ~TIdProxyConnectionInfo() override;
  void Assign(const TPersistent& ASource) override;
  // Empties server, user name and password; port 0.
  void Clear();
  // Adds the Proxy-Authorization line to AHeaders when there is a value;
  // with BasicAuthentication and no scheme object, a Basic one is made from
  // ProxyUsername and ProxyPassword first.
  void SetHeaders(TIdHeaderList& AHeaders);

  // The scheme object for the proxy; owned. It belongs to the proxy it was
  // made for: once ProxyServer changes in more than letter case, or
  // ProxyPort changes, it is freed.
  TIdAuthentication* Authentication();
  void SetAuthentication(std::unique_ptr<TIdAuthentication> AValue);

  bool BasicAuthentication = false;
  std::string ProxyPassword;
  std::int32_t ProxyPort = 0;
  std::string ProxyServer;
  std::string ProxyUsername;

private:
  std::unique_ptr<TIdAuthentication> FAuthentication;
  // The proxy FAuthentication was made for.
  std::string FAuthServer;
  std::int32_t FAuthPort = 0;
};

// Header fields taken from the META http-equiv elements of an HTML document.
class TIdMetaHTTPEquiv : public TIdEntityHeaderInfo {
public:
  using TIdEntityHeaderInfo::TIdEntityHeaderInfo;
  void ProcessMetaHTTPEquiv(TStream& AStream);
};
