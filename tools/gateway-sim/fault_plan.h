// Turns one request into the actions a (possibly misbehaving) gateway takes in reply.
#pragma once

#include "gateway_model.h"

#include <cstdint>
#include <functional>
#include <vector>

namespace korvalsim {

enum class Fault {
    None,
    NoReply,            // requests are read but never answered
    DelayReply,         // answer after parameter ms (default 3500)
    ExceptionReply,     // Modbus exception, code = parameter (default 0x0B)
    Garbage,            // parameter pseudo-random bytes (default 17, at most 4096)
    EmptyNodeList,      // node list reply names no node; SDO works
    SplitReply,         // each reply in two writes, parameter ms apart (default 50)
    CloseAfterRequests, // answer parameter requests per connection, close on the next one
    CloseOnConnect      // close every new connection at once, and any connection on a request
};

struct Action {
    // AwaitRead holds the actions after it until the client has read everything written to it
    // so far, so that the next Write reaches it in a receive of its own; a client that has not
    // read it within about 2000 ms loses the connection.
    enum class Kind { Write, Pause, Close, AwaitRead } kind;
    std::vector<uint8_t> bytes;
    unsigned pauseMs = 0;
};

using Responder = std::function<std::vector<Action>(const std::vector<uint8_t> &request)>;

struct FaultSetting {
    Fault fault = Fault::None;
    unsigned parameter = 0; // 0 = the fault's default
};

// Deterministic generator for garbage replies; any seed but 0.
class Noise {
  public:
    uint8_t next();

  private:
    uint32_t state_ = 0x2545F491;
};

// requestNumber counts the requests on this connection, this one included (1 for the first).
std::vector<Action> planActions(const FaultSetting &setting, const std::vector<uint8_t> &request,
                                unsigned requestNumber, GatewayModel &model, Noise &noise);

} // namespace korvalsim
