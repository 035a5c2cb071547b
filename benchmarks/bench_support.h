// The Win32 side of the benchmark programs: the library loaded the way a host loads it (or
// from a path given with --dll), the connect dialog answered as a user would, and a
// high-resolution clock.
#pragma once

#include "bench_common.h"
#include "canlib.h"
#include "support/dialog_driver.h"

#include <windows.h>

#include <cstdint>
#include <cstring>
#include <string>

namespace bench {

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

inline std::wstring widen(const std::string &text) {
    return std::wstring(text.begin(), text.end());
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

    // The DLL beside the program, as a host loads it, or the one at path (--dll): a relative
    // path is made absolute first, so that the DLL's own folder is searched for what it needs.
    bool load(const std::string &path = "") {
        if (path.empty()) {
            module = LoadLibraryW(L"canlib32.dll");
        } else {
            wchar_t full[MAX_PATH] = {};
            const DWORD length = GetFullPathNameW(widen(path).c_str(), MAX_PATH, full, nullptr);
            if (length == 0 || length >= MAX_PATH)
                return false;
            module = LoadLibraryExW(full, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
        }
        if (module == nullptr)
            return false;
        return resolve("canInitializeLibrary", initializeLibrary) &&
               resolve("canOpenChannel", openChannel) && resolve("canClose", close) &&
               resolve("canSetNotify", setNotify) && resolve("canWrite", write) &&
               resolve("canRead", read) && resolve("canReadWait", readWait);
    }

    // load() with the program's --dll option; says what went wrong or which file it loaded.
    bool loadFromOptions(const char *program, int argc, char **argv) {
        const std::string path = option(argc, argv, "--dll", "");
        if (!load(path)) {
            say("%s: %s does not load\n", program, path.empty() ? "canlib32.dll" : path.c_str());
            return false;
        }
        say("%s: library %ls\n", program, this->path().c_str());
        return true;
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

// canOpenChannel(0, 0) with its dialog answered: the address typed, the node chosen (0 for
// "Any"), closed with the close box (which keeps the typed address and the node but does not
// store the address). The answerer closes a dialog that does not get ready, so this returns in
// bounded time.
inline canHandle openChannel(const Canlib &api, const std::string &address, int node = 0) {
    testsupport::DialogAnswerer answerer([&](HWND dialog) {
        testsupport::setHostText(dialog, widen(address));
        testsupport::selectNode(dialog, node);
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
// first exchanges are retried until one succeeds; then whatever else arrives is drained until
// nothing has come for quietMs (which must exceed the gateway's reply time).
inline bool waitUntilExchanging(const Canlib &api, canHandle handle, unsigned timeoutMs,
                                unsigned quietMs = 300) {
    const int64_t start = now();
    bool answered = false;
    while (!answered && ticksToSeconds(now() - start) * 1000 < timeoutMs) {
        if (api.write(handle, SDO_REQUEST_ID, READ_DEVICE_TYPE, 8, canMSG_STD) != canOK)
            return false;
        int32_t id = 0;
        uint8_t data[8];
        uint32_t dlc = 0, flags = 0, time = 0;
        while (api.readWait(handle, &id, data, &dlc, &flags, &time, quietMs) == canOK)
            if (id == SDO_RESPONSE_ID)
                answered = true;
    }
    return answered;
}

} // namespace bench
