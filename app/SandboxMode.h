// Sandbox mode: the window talks to a sandbox service running in the same
// process instead of the live service.
#pragma once

#include <cstdint>

#include "app/FCryptohopper.h"
#include "tools/sandbox/sandbox.h"

// A port nobody listens on right now on 127.0.0.1 (from the system's
// ephemeral range, so a high one).
std::uint16_t FreeLoopbackPort();

// Points aWindow's client at the running aService (API host, token URL,
// trusted certificate) and fills the window in: the sandbox's credentials,
// the OAuth2 listener and the webhook receiver on free high ports, the
// sandbox's certificate for the receiver, the receiver's URL in the
// Webhooks tab, and a hopper id and coin the sandbox knows.
void ConnectToSandbox(TFRMCryptohopper& aWindow, const sandbox::Service& aService);
