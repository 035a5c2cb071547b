// What a healthy gateway answers: the active node list and SDO forwarding to each node.
#pragma once

#include "sdo_server.h"

#include <cstdint>
#include <map>
#include <vector>

namespace korvalsim {

class GatewayModel {
  public:
    // Ids outside 1..127 and repeated ids are ignored; nodes dropped from the list keep
    // their dictionary in case they come back.
    void setNodes(const std::vector<uint8_t> &nodeIds);
    void setNode(const NodeInfo &info);
    // The normal answer to one complete request (as cut by FrameReader).
    std::vector<uint8_t> reply(const std::vector<uint8_t> &request, bool emptyNodeList);

  private:
    std::vector<uint8_t> sdoReply(const std::vector<uint8_t> &request);
    SdoServer &server(uint8_t id);

    std::vector<uint8_t> active_;
    std::map<uint8_t, SdoServer> nodes_;
};

} // namespace korvalsim
