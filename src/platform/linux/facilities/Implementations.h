#pragma once

// The pieces of the facilities module, each on the library it wraps.

#include "platform/Facilities.h"

namespace corvane::platform {

bool curlAcceptsURL(const std::string& url);
std::unique_ptr<HttpConnections> curlConnections(const HttpSettings& settings);
bool beastListen(const WebSocketTarget& target, const Clock& clock, const WebSocketTiming& timing,
                 const WebSocketCallbacks& callbacks);
SecretStore& libsecretStore();

}  // namespace corvane::platform

// The module's one entry point, found by name when the module is loaded.
extern "C" corvane::platform::Facilities* corvaneFacilities();
