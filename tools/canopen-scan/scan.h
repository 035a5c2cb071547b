// What canopen-scan does between opening and closing the channel, without the driver: listen for
// heartbeats, read each node's identity, and lay the results out as a table.
#pragma once

#include "sdo_client.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace canopenscan {

struct Options {
    unsigned listenSeconds = 3;
    unsigned sdoTimeoutMs = 1000;
    bool notify = false;
    bool help = false;
};

// The arguments after the program name. False with a reason for anything not understood.
bool parseOptions(const std::vector<std::string> &arguments, Options &options, std::string &error);
std::string usageText();

constexpr uint32_t HEARTBEAT_BASE = 0x700;
constexpr size_t MAX_NAME_LENGTH = 256;

// Ids of the nodes whose heartbeat arrives within listenMs, ascending and each once. False with
// error when the port fails.
bool listenForHeartbeats(const CanPort &port, uint32_t listenMs, std::vector<uint8_t> &nodes,
                         std::string &error);

struct NodeReport {
    uint8_t node = 0;
    bool answered = false; // the node answered at least one request, even if with an abort
    // Set when no value could be read for one reason: shown in place of the values.
    std::string error;
    // Device type, device name, vendor id, product code, revision, serial: each the value or
    // what went wrong, in words.
    std::vector<std::string> cells;
};

NodeReport readNode(SdoClient &client, uint8_t node);
std::string formatTable(const std::vector<NodeReport> &reports);

} // namespace canopenscan
