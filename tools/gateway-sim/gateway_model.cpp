#include "gateway_model.h"

#include "modbus_frame.h"

#include <algorithm>

namespace korvalsim {

namespace {

bool validId(uint8_t id) {
    return id >= 1 && id <= 127;
}

// Unit, function and sub-function of a reply, with room for what follows them. (Built with
// reserve and push_back: GCC 12 misreads an insert behind a three-element initializer list.)
std::vector<uint8_t> header(uint8_t unit, uint8_t subFunction) {
    std::vector<uint8_t> payload;
    payload.reserve(3 + 127);
    payload.push_back(unit);
    payload.push_back(modbus::GatewayFunction);
    payload.push_back(subFunction);
    return payload;
}

} // namespace

SdoServer &GatewayModel::server(uint8_t id) {
    auto it = nodes_.find(id);
    if (it == nodes_.end())
        it = nodes_.emplace(id, SdoServer(defaultNodeInfo(id))).first;
    return it->second;
}

void GatewayModel::setNodes(const std::vector<uint8_t> &nodeIds) {
    active_.clear();
    for (uint8_t id : nodeIds) {
        if (!validId(id) || std::find(active_.begin(), active_.end(), id) != active_.end())
            continue;
        server(id);
        active_.push_back(id);
    }
}

void GatewayModel::setNode(const NodeInfo &info) {
    if (!validId(info.id))
        return;
    server(info.id).setInfo(info);
    if (std::find(active_.begin(), active_.end(), info.id) == active_.end())
        active_.push_back(info.id);
}

std::vector<uint8_t> GatewayModel::reply(const std::vector<uint8_t> &request, bool emptyNodeList) {
    if (request.size() < modbus::HeaderSize + 2)
        return {};
    if (request[7] != modbus::GatewayFunction || request.size() < modbus::NodeListRequestSize)
        return exceptionReply(request, modbus::IllegalFunction);
    switch (request[8]) {
    case modbus::NodeListSub: {
        if (request.size() != modbus::NodeListRequestSize)
            return exceptionReply(request, modbus::IllegalDataValue);
        std::vector<uint8_t> payload = header(modbus::GatewayUnit, modbus::NodeListSub);
        if (!emptyNodeList)
            payload.insert(payload.end(), active_.begin(), active_.end());
        return makeReply(request, payload);
    }
    case modbus::SdoSub:
        return sdoReply(request);
    default:
        return exceptionReply(request, modbus::IllegalFunction);
    }
}

std::vector<uint8_t> GatewayModel::sdoReply(const std::vector<uint8_t> &request) {
    if (request.size() != modbus::SdoRequestSize)
        return exceptionReply(request, modbus::IllegalDataValue);
    const uint8_t node = request[6];
    if (std::find(active_.begin(), active_.end(), node) == active_.end())
        return exceptionReply(request, modbus::TargetFailed);
    SdoFrame sdo;
    std::copy(request.begin() + 9, request.end(), sdo.begin());
    const SdoFrame response = server(node).handle(sdo);
    std::vector<uint8_t> payload = header(node, modbus::SdoSub);
    payload.insert(payload.end(), response.begin(), response.end());
    return makeReply(request, payload);
}

} // namespace korvalsim
