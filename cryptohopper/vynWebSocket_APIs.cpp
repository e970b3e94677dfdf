#include "cryptohopper/vynWebSocket_APIs.h"

TvynHTTP_Cryptohopper::TvynHTTP_Cryptohopper(TComponent* aOwner) : TvynHTTP_API_Cryptohopper(aOwner) {}
