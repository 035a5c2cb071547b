// What the connect dialog asks on Windows, taken on POSIX from where a Linux program's settings
// live: the gateway from KORVAL_GATEWAY, else the remembered address in
// $XDG_CONFIG_HOME/korval/gateway (~/.config/korval/gateway by default); the node choice from
// KORVAL_NODE. Nothing here waits for input or writes anything.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace Korval {

struct GatewaySettings {
    bool found = false;
    std::string hostName;
    int32_t nodeId = 0;  // 0: every node
    std::string problem; // without found: what the user must set or correct
};

// Looks up one environment variable; null when it is not set.
using EnvironmentLookup = std::function<const char *(const char *name)>;

GatewaySettings readGatewaySettings(const EnvironmentLookup &environment);

// A dotted IPv4 address or a host name.
bool isGatewayAddress(const std::string &text);
// The remembered address's file, or empty when neither XDG_CONFIG_HOME nor HOME tells where.
std::string gatewayFilePath(const EnvironmentLookup &environment);

} // namespace Korval
