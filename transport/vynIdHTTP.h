// The HTTP client protocol. For now this unit holds the error an HTTP error
// status raises; the client classes join it with the protocol itself.
#pragma once

#include <cstdint>
#include <string>

#include "transport/vynIdReplyRFC.h"

// An error status from the server: the status code, the status line as the
// message and the response body as ErrorMessage.
class EIdHTTPProtocolException : public EIdReplyRFCError {
public:
  EIdHTTPProtocolException(std::int32_t anErrCode, std::string asReplyMessage, std::string asErrorMessage)
      : EIdReplyRFCError(anErrCode, std::move(asReplyMessage)), FErrorMessage(std::move(asErrorMessage)) {}
  static EIdHTTPProtocolException CreateError(std::int32_t anErrCode, std::string asReplyMessage,
                                              std::string asErrorMessage) {
    return EIdHTTPProtocolException(anErrCode, std::move(asReplyMessage), std::move(asErrorMessage));
  }
  const std::string& ErrorMessage() const { return FErrorMessage; }

private:
  std::string FErrorMessage;
};
