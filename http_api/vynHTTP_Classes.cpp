#include "http_api/vynHTTP_Classes.h"

void TvynHTTPComponentClientAuthToken_Base::DoAuthTokenEvent(const std::string& TokenType, const std::string& Token,
                                                             const std::string& Data) {
  if (OnAuthToken) OnAuthToken(this, TokenType, Token, Data);
}

void TvynHTTPComponentClientAuthToken_Base::DoAuthTokenErrorEvent(const std::string& Error,
                                                                  const std::string& ErrorDescription,
                                                                  const std::string& Data) {
  if (OnAuthTokenError) OnAuthTokenError(this, Error, ErrorDescription, Data);
}
