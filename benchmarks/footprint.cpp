// Size of canlib32.dll and what it adds to a host's memory: the working set before the DLL
// is loaded, after loading, after opening the channel, and after traffic.
//
//   footprint --address 127.x.y.z [--dll PATH] [--exchanges 1000] [--window-first]
//
// The gateway is external (run.sh starts the native simulator), so that no simulator memory
// is counted. The first window of a Wine process brings in Wine's whole windowing side;
// --window-first shows and closes a message box before loading the DLL, so that the later
// steps show what the library itself adds.
#include "bench_support.h"
#include "support/host_window.h"

#include <psapi.h>

#include <string>
#include <thread>

using namespace bench;

namespace {

struct Memory {
    double workingSetKiB = 0, pagefileKiB = 0;
};

Memory memory() {
    PROCESS_MEMORY_COUNTERS_EX counters{};
    counters.cb = sizeof counters;
    Memory result;
    if (GetProcessMemoryInfo(GetCurrentProcess(),
                             reinterpret_cast<PROCESS_MEMORY_COUNTERS *>(&counters),
                             sizeof counters)) {
        result.workingSetKiB = static_cast<double>(counters.WorkingSetSize) / 1024;
        // Wine leaves PrivateUsage at 0 but fills PagefileUsage from the Linux counters.
        result.pagefileKiB = static_cast<double>(counters.PagefileUsage) / 1024;
    }
    return result;
}

void printRow(const char *stage, const Memory &current, const Memory &start) {
    say("  %-48s working set %7.0f KiB (%+6.0f)   PagefileUsage %7.0f KiB (%+6.0f)\n", stage,
        current.workingSetKiB, current.workingSetKiB - start.workingSetKiB, current.pagefileKiB,
        current.pagefileKiB - start.pagefileKiB);
}

} // namespace

int main(int argc, char **argv) {
    const std::string address = option(argc, argv, "--address", "");
    const unsigned exchanges = numberOption(argc, argv, "--exchanges", 1000);
    if (address.empty()) {
        say("usage: footprint --address 127.x.y.z [--dll PATH] [--exchanges N] [--window-first]\n");
        return 2;
    }
    const bool windowFirst = flag(argc, argv, "--window-first");
    const Memory start = memory();
    Memory windowShown = start;
    if (windowFirst) {
        const wchar_t title[] = L"footprint";
        std::thread closer([&title] {
            if (HWND box = testsupport::waitForMessageBox(title, 10000))
                testsupport::pressOk(box);
        });
        MessageBoxW(nullptr, L"Wine's windowing side, loaded before the library", title, MB_OK);
        closer.join();
        windowShown = memory();
    }

    Canlib api;
    if (!api.loadFromOptions("footprint", argc, argv))
        return 1;
    const Memory loaded = memory();
    WIN32_FILE_ATTRIBUTE_DATA attributes{};
    const std::wstring path = api.path();
    GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &attributes);
    const unsigned long long bytes =
        (static_cast<unsigned long long>(attributes.nFileSizeHigh) << 32) | attributes.nFileSizeLow;

    api.initializeLibrary();
    const Memory initialized = memory();
    const canHandle handle = openChannel(api, address);
    if (handle != 0 || !waitUntilExchanging(api, handle, 15000)) {
        say("footprint: no SDO exchange through the library with %s\n", address.c_str());
        return 1;
    }
    const Memory opened = memory();
    unsigned heartbeats = 0;
    for (unsigned i = 0; i < exchanges; ++i)
        if (!libraryExchange(api, handle, heartbeats)) {
            say("footprint: exchange %u failed\n", i);
            return 1;
        }
    const Memory afterTraffic = memory();

    say("Size and memory (GetProcessMemoryInfo; Wine's own DLLs are in every figure):\n");
    say("  canlib32.dll: %llu bytes (%.1f KiB), statically linked C++ runtime included\n", bytes,
        static_cast<double>(bytes) / 1024);
    printRow("program started, DLL not loaded", start, start);
    if (windowFirst)
        printRow("after a message box was shown and closed", windowShown, start);
    printRow("after LoadLibrary(canlib32.dll)", loaded, start);
    printRow("after canInitializeLibrary", initialized, start);
    printRow("after canOpenChannel (dialog shown, connected)", opened, start);
    const std::string trafficStage = "after " + std::to_string(exchanges) + " SDO exchanges";
    printRow(trafficStage.c_str(), afterTraffic, start);

    api.close(handle);
    return 0;
}
