// What the benchmark programs share on every platform: the exchange they measure, command-line
// options, simple statistics, and the target lines that run.sh gathers into its summary.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace bench {

// Every benchmark talks to node 5, which both the in-process and the native simulator serve.
constexpr uint8_t NODE = 5;
constexpr int32_t SDO_REQUEST_ID = 0x600 + NODE;
constexpr int32_t SDO_RESPONSE_ID = 0x580 + NODE;
constexpr int32_t HEARTBEAT_ID = 0x700 + NODE;
// An expedited upload of object 0x1000: the smallest complete SDO exchange.
constexpr uint8_t READ_DEVICE_TYPE[8] = {0x40, 0x00, 0x10, 0x00, 0, 0, 0, 0};
// The bound of every single wait for a reply; the library's own limit is 3000 ms.
constexpr uint32_t REPLY_TIMEOUT_MS = 3000;

// Value of "--name value" on the command line, or fallback.
inline std::string option(int argc, char **argv, const char *name, const std::string &fallback) {
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], name) == 0)
            return argv[i + 1];
    return fallback;
}

inline bool flag(int argc, char **argv, const char *name) {
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], name) == 0)
            return true;
    return false;
}

inline unsigned numberOption(int argc, char **argv, const char *name, unsigned fallback) {
    const std::string text = option(argc, argv, name, "");
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos ||
        text.size() > 9)
        return fallback;
    return static_cast<unsigned>(std::stoul(text));
}

// Printed lines go straight out, so that a run cut short still shows what it measured.
template <class... Args> void say(const char *format, Args... args) {
    if constexpr (sizeof...(Args) == 0)
        std::fputs(format, stdout);
    else
        std::printf(format, args...);
    std::fflush(stdout);
}

// A figure as the summary shows it: three significant digits below 100, none after the point
// above.
inline std::string figure(double value) {
    char text[32];
    std::snprintf(text, sizeof text, value >= 100 || value <= -100 ? "%.0f" : "%.3g", value);
    return text;
}

// One figure with its target, in a fixed form that run.sh collects:
// "TARGET|what|value|unit|goal|met" (or "NOT met"). A program that measures two libraries side
// by side names the one that run.sh did not give it: "label|TARGET|...".
inline void target(const char *what, double value, const char *unit, const char *goal, bool met,
                   const char *label = nullptr) {
    say("%s%sTARGET|%s|%s|%s|%s|%s\n", label ? label : "", label ? "|" : "", what,
        figure(value).c_str(), unit, goal, met ? "met" : "NOT met");
}

// A figure without a target that the summary shows beside the targets: "INFO|what|value|unit".
inline void info(const char *what, double value, const char *unit, const char *label = nullptr) {
    say("%s%sINFO|%s|%s|%s\n", label ? label : "", label ? "|" : "", what, figure(value).c_str(),
        unit);
}

struct Percentiles {
    double min = 0, median = 0, p99 = 0, max = 0;
};

// Nearest-rank percentiles of the samples (which are sorted in place).
inline Percentiles percentiles(std::vector<double> &samples) {
    Percentiles result;
    if (samples.empty())
        return result;
    std::sort(samples.begin(), samples.end());
    auto rank = [&samples](double p) {
        size_t index = static_cast<size_t>(p * static_cast<double>(samples.size()));
        return samples[std::min(index, samples.size() - 1)];
    };
    result.min = samples.front();
    result.median = rank(0.5);
    result.p99 = rank(0.99);
    result.max = samples.back();
    return result;
}

// Median of a copy of the values; 0 for none.
inline double median(std::vector<double> values) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const size_t half = values.size() / 2;
    return values.size() % 2 == 1 ? values[half] : (values[half - 1] + values[half]) / 2;
}

// Modbus/TCP request of the gateway's function 100, sub-function 2 (one SDO request).
inline void buildSdoRequest(uint16_t transaction, uint8_t out[17]) {
    const uint8_t header[9] = {static_cast<uint8_t>(transaction >> 8),
                               static_cast<uint8_t>(transaction & 0xFF),
                               0,
                               0,
                               0,
                               11,
                               NODE,
                               100,
                               2};
    std::memcpy(out, header, sizeof header);
    std::memcpy(out + 9, READ_DEVICE_TYPE, 8);
}

inline bool isSdoReplyTo(const uint8_t request[17], const uint8_t reply[17]) {
    return reply[0] == request[0] && reply[1] == request[1] && reply[5] == 11 && reply[6] == NODE &&
           reply[7] == 100 && reply[8] == 2 && reply[9] == 0x43;
}

} // namespace bench
