// How much of what the simulator wrote on a connection the client has not read yet, so that a
// reply can be written in pieces that the client is sure to receive one by one.
#pragma once

#include "socket_io.h"

#include <cstddef>

namespace korvalsim {

// Bytes written on the connection from `local` to `peer` that the peer's program has not taken
// out of its socket: those not yet acknowledged on our side plus those waiting in the peer's
// receive queue. Read from Linux's table of TCP sockets, which a simulator running under Wine
// reaches through drive Z:. False when the table or either end cannot be found in it.
bool unreadByPeer(const Endpoint &local, const Endpoint &peer, std::size_t &unread);

} // namespace korvalsim
