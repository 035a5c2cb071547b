// A CAN port for tests: records what is written, answers each written frame through a script,
// and keeps its own clock, so that time-outs take no real time.
#pragma once

#include "sdo_client.h"

#include <deque>
#include <functional>
#include <string>
#include <vector>

namespace canopenscan::test {

inline CanFrame frame(uint32_t id, FrameData data, uint8_t length = 8) {
    CanFrame f;
    f.id = id;
    f.length = length;
    f.data = data;
    return f;
}

struct Written {
    uint32_t id;
    FrameData data;
};

struct FakeBus {
    uint64_t now = 1000;
    std::vector<Written> written;
    std::deque<CanFrame> received;
    // Frames that arrive after a written one; empty: none.
    std::function<std::vector<CanFrame>(const Written &)> answer;
    // When set, an empty queue yields this frame after 100 ms instead of timing out: a bus
    // that never falls silent.
    bool chatter = false;
    bool failWrites = false;
    bool failReads = false;
    unsigned reads = 0;

    CanPort port() {
        CanPort p;
        p.write = [this](uint32_t id, const FrameData &data, std::string &error) {
            if (failWrites) {
                error = "cable cut";
                return false;
            }
            written.push_back({id, data});
            if (answer)
                for (const CanFrame &f : answer(written.back()))
                    received.push_back(f);
            return true;
        };
        p.read = [this](CanFrame &f, uint32_t timeoutMs, std::string &error) {
            ++reads;
            if (failReads) {
                error = "driver gone";
                return ReadStatus::Failed;
            }
            if (received.empty() && chatter) {
                now += 100;
                f = frame(0x705, {5}, 1);
                return ReadStatus::Frame;
            }
            if (received.empty()) {
                now += timeoutMs;
                return ReadStatus::TimedOut;
            }
            f = received.front();
            received.pop_front();
            now += 1;
            return ReadStatus::Frame;
        };
        p.nowMs = [this] { return now; };
        return p;
    }
};

} // namespace canopenscan::test
