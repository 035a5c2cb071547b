#include "peer_reading.h"

#include <cstdint>
#include <exception>
#include <fstream>
#include <sstream>
#include <string>

namespace korvalsim {

namespace {

#ifdef _WIN32
const char *const TCP_TABLE = "Z:\\proc\\net\\tcp";
#else
const char *const TCP_TABLE = "/proc/net/tcp";
#endif
const char *const ESTABLISHED = "01";

// "0100007F:01F6": the address as the kernel's 32-bit word in network order, printed as a
// number of this (little-endian) machine, then the port.
bool parseEndpoint(const std::string &text, Endpoint &out) {
    const std::size_t colon = text.find(':');
    if (colon != 8 || text.size() != 13)
        return false;
    try {
        const auto word = static_cast<uint32_t>(std::stoul(text.substr(0, 8), nullptr, 16));
        out.address = (word & 0xFFu) << 24 | (word >> 8 & 0xFFu) << 16 | (word >> 16 & 0xFFu) << 8 |
                      word >> 24;
        out.port = static_cast<uint16_t>(std::stoul(text.substr(9), nullptr, 16));
    } catch (const std::exception &) {
        return false;
    }
    return true;
}

bool same(const Endpoint &a, const Endpoint &b) {
    return a.address == b.address && a.port == b.port;
}

// "00000000:00000007": bytes in the send queue, then in the receive queue.
bool parseQueues(const std::string &text, std::size_t &sendQueue, std::size_t &receiveQueue) {
    const std::size_t colon = text.find(':');
    if (colon == std::string::npos)
        return false;
    try {
        sendQueue = std::stoul(text.substr(0, colon), nullptr, 16);
        receiveQueue = std::stoul(text.substr(colon + 1), nullptr, 16);
    } catch (const std::exception &) {
        return false;
    }
    return true;
}

} // namespace

bool unreadByPeer(const Endpoint &local, const Endpoint &peer, std::size_t &unread) {
    std::ifstream table(TCP_TABLE);
    std::string line;
    bool foundOurs = false, foundTheirs = false;
    std::size_t notAcknowledged = 0, notRead = 0;
    std::getline(table, line); // the column titles
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, from, to, state, queues;
        fields >> slot >> from >> to >> state >> queues;
        Endpoint source, destination;
        std::size_t sendQueue = 0, receiveQueue = 0;
        if (state != ESTABLISHED || !parseEndpoint(from, source) ||
            !parseEndpoint(to, destination) || !parseQueues(queues, sendQueue, receiveQueue))
            continue;
        if (same(source, local) && same(destination, peer)) {
            foundOurs = true;
            notAcknowledged = sendQueue;
        } else if (same(source, peer) && same(destination, local)) {
            foundTheirs = true;
            notRead = receiveQueue;
        }
    }
    unread = notAcknowledged + notRead;
    return foundOurs && foundTheirs;
}

} // namespace korvalsim
