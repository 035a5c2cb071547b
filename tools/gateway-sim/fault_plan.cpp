#include "fault_plan.h"

#include "modbus_frame.h"

#include <algorithm>
#include <cstddef>
#include <utility>

namespace korvalsim {

namespace {

constexpr unsigned DefaultDelayMs = 3500;
constexpr unsigned DefaultGarbageSize = 17;
constexpr unsigned MaxGarbageSize = 4096;
constexpr unsigned DefaultSplitPauseMs = 50;

Action write(std::vector<uint8_t> bytes) {
    return Action{Action::Kind::Write, std::move(bytes)};
}
Action pause(unsigned ms) {
    return Action{Action::Kind::Pause, {}, ms};
}
Action closeConnection() {
    return Action{Action::Kind::Close, {}};
}

unsigned orDefault(unsigned parameter, unsigned fallback) {
    return parameter == 0 ? fallback : parameter;
}

std::vector<uint8_t> garbage(const std::vector<uint8_t> &request, unsigned size, Noise &noise) {
    std::vector<uint8_t> bytes(size);
    for (uint8_t &b : bytes)
        b = noise.next();
    // Whatever the noise, the start must not pass as a reply header.
    if (size >= 2 && bytes[0] == request[0] && bytes[1] == request[1])
        bytes[0] ^= 0x5A;
    if (size >= 3)
        bytes[2] |= 0x80;
    return bytes;
}

} // namespace

uint8_t Noise::next() {
    state_ ^= state_ << 13;
    state_ ^= state_ >> 17;
    state_ ^= state_ << 5;
    return static_cast<uint8_t>(state_ >> 24);
}

std::vector<Action> planActions(const FaultSetting &setting, const std::vector<uint8_t> &request,
                                unsigned requestNumber, GatewayModel &model, Noise &noise) {
    const unsigned p = setting.parameter;
    switch (setting.fault) {
    case Fault::None:
        break;
    case Fault::NoReply:
        return {};
    case Fault::DelayReply:
        return {pause(orDefault(p, DefaultDelayMs)), write(model.reply(request, false))};
    case Fault::ExceptionReply:
        return {write(exceptionReply(
            request, static_cast<uint8_t>(p == 0 || p > 255 ? modbus::TargetFailed : p)))};
    case Fault::Garbage:
        return {write(
            garbage(request, std::min(orDefault(p, DefaultGarbageSize), MaxGarbageSize), noise))};
    case Fault::EmptyNodeList:
        return {write(model.reply(request, true))};
    case Fault::SplitReply: {
        std::vector<uint8_t> reply = model.reply(request, false);
        const auto half = static_cast<std::ptrdiff_t>(reply.size() / 2);
        return {write({reply.begin(), reply.begin() + half}),
                pause(orDefault(p, DefaultSplitPauseMs)),
                write({reply.begin() + half, reply.end()})};
    }
    case Fault::CloseAfterRequests:
        if (requestNumber > p)
            return {closeConnection()};
        break;
    case Fault::CloseOnConnect:
        return {closeConnection()};
    }
    return {write(model.reply(request, false))};
}

} // namespace korvalsim
