// Shared pieces of the benchmark programs: the library loaded the way a host loads it, the
// connect dialog answered as a user would, a high-resolution clock and simple statistics.
#pragma once

#include "canlib.h"
#include "support/dialog_driver.h"

#include <windows.h>

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
// An expedited upload of object 0x1000: the smallest complete SDO exchange.
constexpr uint8_t READ_DEVICE_TYPE[8] = {0x40, 0x00, 0x10, 0x00, 0, 0, 0, 0};
// The bound of every single wait for a reply; the library's own limit is 3000 ms.
constexpr uint32_t REPLY_TIMEOUT_MS = 3000;

inline int64_t now() {
    LARGE_INTEGER value;
    QueryPerformanceCounter(&value);
    return value.QuadPart;
}

inline double ticksToSeconds(int64_t ticks) {
    static const double frequency = [] {
        LARGE_INTEGER value;
        QueryPerformanceFrequency(&value);
        return static_cast<double>(value.QuadPart);
    }();
    return static_cast<double>(ticks) / frequency;
}

inline double ticksToMicroseconds(int64_t ticks) {
    return ticksToSeconds(ticks) * 1e6;
}

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
    std::printf(format, args...);
    std::fflush(stdout);
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

// The library's entry points, resolved at run time so that a program can measure itself
// before the DLL is in the process.
struct Canlib {
    HMODULE module = nullptr;
    decltype(&canInitializeLibrary) initializeLibrary = nullptr;
    decltype(&canOpenChannel) openChannel = nullptr;
    decltype(&canClose) close = nullptr;
    decltype(&canSetNotify) setNotify = nullptr;
    decltype(&canWrite) write = nullptr;
    decltype(&canRead) read = nullptr;
    decltype(&canReadWait) readWait = nullptr;

    bool load() {
        module = LoadLibraryW(L"canlib32.dll");
        if (module == nullptr)
            return false;
        return resolve("canInitializeLibrary", initializeLibrary) &&
               resolve("canOpenChannel", openChannel) && resolve("canClose", close) &&
               resolve("canSetNotify", setNotify) && resolve("canWrite", write) &&
               resolve("canRead", read) && resolve("canReadWait", readWait);
    }

    std::wstring path() const {
        wchar_t buffer[MAX_PATH] = {};
        GetModuleFileNameW(module, buffer, MAX_PATH);
        return buffer;
    }

  private:
    // Copied rather than cast: the compiler rightly refuses a cast between function types.
    template <class Function> bool resolve(const char *name, Function &target) {
        FARPROC found = GetProcAddress(module, name);
        static_assert(sizeof target == sizeof found, "function pointers differ in size");
        std::memcpy(&target, &found, sizeof target);
        return found != nullptr;
    }
};

inline std::wstring widen(const std::string &text) {
    return std::wstring(text.begin(), text.end());
}

// canOpenChannel(0, 0) with its dialog answered: the address typed, all nodes, closed with the
// close box (which keeps the typed address but does not store it). The answerer closes a
// dialog that does not get ready, so this returns in bounded time.
inline canHandle openChannel(const Canlib &api, const std::string &address) {
    testsupport::DialogAnswerer answerer([&](HWND dialog) {
        testsupport::setHostText(dialog, widen(address));
        testsupport::selectNode(dialog, 0);
        testsupport::closeWithCloseBox(dialog);
    });
    return api.openChannel(0, 0);
}

// One exchange through the library: false if no SDO response came within the time limit.
// Heartbeats of the idle poll may be queued before the response; they are counted and skipped.
inline bool libraryExchange(const Canlib &api, canHandle handle, unsigned &heartbeats) {
    if (api.write(handle, SDO_REQUEST_ID, READ_DEVICE_TYPE, 8, canMSG_STD) != canOK)
        return false;
    for (;;) {
        int32_t id = 0;
        uint8_t data[8];
        uint32_t dlc = 0, flags = 0, time = 0;
        if (api.readWait(handle, &id, data, &dlc, &flags, &time, REPLY_TIMEOUT_MS) != canOK)
            return false;
        if (id == SDO_RESPONSE_ID)
            return dlc == 8 && data[0] == 0x43;
        ++heartbeats;
    }
}

// Frames written before the worker has connected are dropped with its send queue, so the
// first exchanges are retried until one succeeds; then whatever else arrives is drained.
inline bool waitUntilExchanging(const Canlib &api, canHandle handle, unsigned timeoutMs) {
    const int64_t start = now();
    bool answered = false;
    while (!answered && ticksToSeconds(now() - start) * 1000 < timeoutMs) {
        if (api.write(handle, SDO_REQUEST_ID, READ_DEVICE_TYPE, 8, canMSG_STD) != canOK)
            return false;
        int32_t id = 0;
        uint8_t data[8];
        uint32_t dlc = 0, flags = 0, time = 0;
        while (api.readWait(handle, &id, data, &dlc, &flags, &time, 300) == canOK)
            if (id == SDO_RESPONSE_ID)
                answered = true;
    }
    return answered;
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
