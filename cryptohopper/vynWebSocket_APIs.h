// The service client made placeable on a window.
#pragma once

#include "cryptohopper/vynHTTP_API_Cryptohopper.h"

// Adds nothing: publishes OnWebhook, CryptohopperOptions and Version.
class TvynHTTP_Cryptohopper : public TvynHTTP_API_Cryptohopper {
public:
  explicit TvynHTTP_Cryptohopper(TComponent* aOwner = nullptr);
};
