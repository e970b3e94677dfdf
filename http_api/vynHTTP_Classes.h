// The HTTP component bases and the base of token clients.
#pragma once

#include <functional>
#include <string>

#include "transport/vynBase_Classes.h"

class TvynHTTPComponent_Base : public TvynComponent_Base {
public:
  using TvynComponent_Base::TvynComponent_Base;
};

class TvynHTTPComponentClient_Base : public TvynHTTPComponent_Base {
public:
  using TvynHTTPComponent_Base::TvynHTTPComponent_Base;
};

using TvynOnAuthToken = std::function<void(TComponent* Sender, const std::string& TokenType, const std::string& Token,
                                           const std::string& Data)>;
using TvynOnAuthTokenError = std::function<void(TComponent* Sender, const std::string& Error,
                                                const std::string& ErrorDescription, const std::string& Data)>;

class TvynHTTPComponentClientAuthToken_Base : public TvynHTTPComponentClient_Base {
public:
  using TvynHTTPComponentClient_Base::TvynHTTPComponentClient_Base;

  TvynOnAuthTokenError OnAuthTokenError;
  TvynOnAuthToken OnAuthToken;

  // Begins getting a token: it arrives through OnAuthToken (an error through
  // OnAuthTokenError) before Start returns or later, possibly on another
  // thread. Nothing here; the OAuth2 client gives it its behaviour. Declared
  // on this base so the HTTP client component can ask a token client of a
  // higher layer for a token.
  virtual void Start() {}

protected:
  virtual void DoAuthTokenEvent(const std::string& TokenType, const std::string& Token, const std::string& Data);
  virtual void DoAuthTokenErrorEvent(const std::string& Error, const std::string& ErrorDescription,
                                     const std::string& Data);
};
