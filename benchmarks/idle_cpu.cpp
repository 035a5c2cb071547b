// Processor time an open but idle channel costs: the worker waits for frames and polls the
// gateway's node list once a second. The main thread is blocked in a wait meanwhile, so the
// process's processor time is the worker's plus whatever Wine itself spends.
//
//   idle_cpu --address 127.x.y.z [--dll PATH] [--node N] [--reader [--read-timeout MS]]
//            [--seconds 10] [--wineserver-pid N]
//   idle_cpu --baseline [--window] [--seconds 10] [--wineserver-pid N]
//
// --node is the dialog's node choice (0, "Any", by default); heartbeats are delivered for that
// node only. --reader adds a host thread blocked in canReadWait with a long time-out (60000 ms
// by default) on an empty receive queue: with a --node that the gateway does not list, no
// heartbeat arrives and the reader stays blocked; the program counts its wake-ups all the same,
// and ends it afterwards with one SDO exchange.
//
// --baseline loads nothing and only waits: the same program's cost under Wine without the
// library; with --window it first shows and closes a message box, as the library's run shows
// its dialog, to tell Wine's cost for a process that has had a window from the library's. The
// gateway for the library run is external (run.sh starts the native simulator), because an
// in-process simulator's own threads would be counted too.
#include "bench_support.h"
#include "support/host_window.h"

#include <tlhelp32.h>

#include <atomic>
#include <cstdlib>
#include <map>
#include <string>
#include <thread>

using namespace bench;

namespace {

struct Times {
    double userMs = 0, kernelMs = 0;
};

double fileTimeMs(const FILETIME &time) {
    ULARGE_INTEGER value;
    value.LowPart = time.dwLowDateTime;
    value.HighPart = time.dwHighDateTime;
    return static_cast<double>(value.QuadPart) / 10000.0;
}

Times processTimes() {
    FILETIME created, exited, kernel, user;
    Times times;
    if (GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) {
        times.userMs = fileTimeMs(user);
        times.kernelMs = fileTimeMs(kernel);
    }
    return times;
}

// A small Linux file (under /proc) read through Wine's Z: drive; empty when not readable.
// Wine's server opens the file, so /proc/self would be the server: we name pids.
std::string readLinuxFile(const std::wstring &path) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return {};
    char text[256] = {};
    DWORD got = 0;
    const BOOL read = ReadFile(file, text, sizeof text - 1, &got, nullptr);
    CloseHandle(file);
    return read ? std::string(text, got) : std::string();
}

// Time on a processor in nanoseconds from a schedstat file (its first field); -1 if unknown.
// Under Wine, GetProcessTimes counts in 10 ms steps, too coarse for 0.1 % of 10 s; the
// scheduler's own account is exact.
long long scheduledNs(const std::wstring &path) {
    const std::string text = readLinuxFile(path);
    if (text.empty() || text[0] < '0' || text[0] > '9')
        return -1;
    return std::strtoll(text.c_str(), nullptr, 10);
}

// The Linux process that runs this program: the one whose name (comm) is our file name. Empty
// unless exactly one matches, which holds when run.sh runs the benchmarks one at a time.
std::wstring ownLinuxPid() {
    wchar_t module[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, module, MAX_PATH);
    std::wstring name = module;
    name = name.substr(name.find_last_of(L"\\/") + 1).substr(0, 15); // comm keeps 15 chars
    std::wstring found;
    unsigned matches = 0;
    WIN32_FIND_DATAW entry;
    HANDLE search = FindFirstFileW(L"Z:\\proc\\*", &entry);
    if (search == INVALID_HANDLE_VALUE)
        return {};
    do {
        const std::wstring pid = entry.cFileName;
        if (pid.find_first_not_of(L"0123456789") != std::wstring::npos)
            continue;
        std::string comm = readLinuxFile(L"Z:\\proc\\" + pid + L"\\comm");
        while (!comm.empty() && (comm.back() == '\n' || comm.back() == '\r'))
            comm.pop_back();
        if (widen(comm) == name) {
            found = pid;
            ++matches;
        }
    } while (FindNextFileW(search, &entry));
    FindClose(search);
    return matches == 1 ? found : std::wstring();
}

// Every Linux thread of the process, Wine's own included, with its time so far.
std::map<std::wstring, long long> threadsScheduledNs(const std::wstring &pid) {
    std::map<std::wstring, long long> result;
    if (pid.empty())
        return result;
    const std::wstring tasks = L"Z:\\proc\\" + pid + L"\\task\\";
    WIN32_FIND_DATAW entry;
    HANDLE search = FindFirstFileW((tasks + L"*").c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE)
        return result;
    do {
        const std::wstring tid = entry.cFileName;
        if (tid.find_first_not_of(L"0123456789") != std::wstring::npos)
            continue;
        const long long ns = scheduledNs(tasks + tid + L"\\schedstat");
        if (ns >= 0)
            result[tid] = ns;
    } while (FindNextFileW(search, &entry));
    FindClose(search);
    return result;
}

unsigned threadCount() {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return 0;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    unsigned count = 0;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
        if (entry.th32OwnerProcessID == GetCurrentProcessId())
            ++count;
    CloseHandle(snapshot);
    return count;
}

} // namespace

int main(int argc, char **argv) {
    const bool baseline = flag(argc, argv, "--baseline");
    const unsigned seconds = std::max(1u, numberOption(argc, argv, "--seconds", 10));
    const std::string address = option(argc, argv, "--address", "");
    const std::string serverPid = option(argc, argv, "--wineserver-pid", "");
    const int node = static_cast<int>(numberOption(argc, argv, "--node", 0));
    const bool reader = !baseline && flag(argc, argv, "--reader");
    const uint32_t readTimeout = numberOption(argc, argv, "--read-timeout", 60000);
    if ((!baseline && address.empty()) || node > 127) {
        say("usage: idle_cpu --address 127.x.y.z [--dll PATH] [--node N] [--reader "
            "[--read-timeout MS]] | --baseline [--window]; [--seconds N] [--wineserver-pid N]\n");
        return 2;
    }

    const bool window = baseline && flag(argc, argv, "--window");
    if (window) {
        const wchar_t title[] = L"idle_cpu";
        std::thread closer([&title] {
            if (HWND box = testsupport::waitForMessageBox(title, 10000))
                testsupport::pressOk(box);
        });
        MessageBoxW(nullptr, L"A window, as the library's dialog", title, MB_OK);
        closer.join();
    }

    Canlib api;
    canHandle handle = -1;
    if (!baseline) {
        if (!api.loadFromOptions("idle_cpu", argc, argv))
            return 1;
        api.initializeLibrary();
        handle = openChannel(api, address, node);
        if (handle != 0 || !waitUntilExchanging(api, handle, 15000)) {
            say("idle_cpu: no SDO exchange through the library with %s\n", address.c_str());
            return 1;
        }
    }

    // The reader returns only with a frame or after its time-out: each return before the end of
    // the idle period is a wake-up that the period's figures include.
    std::atomic<unsigned> readerWakeUps{0};
    std::atomic<bool> idleOver{false}, readerGotReply{false};
    std::thread readerThread;
    if (reader) {
        readerThread = std::thread([&] {
            while (!readerGotReply) {
                int32_t id = 0;
                uint8_t data[8];
                uint32_t dlc = 0, flags = 0, time = 0;
                const canStatus status =
                    api.readWait(handle, &id, data, &dlc, &flags, &time, readTimeout);
                if (status == canOK && id == SDO_RESPONSE_ID && idleOver)
                    readerGotReply = true;
                else if (!idleOver)
                    ++readerWakeUps;
                else if (status != canOK)
                    return; // no reply after the idle period: end anyway
            }
        });
        Sleep(200); // time for the reader to be in its wait
    }

    // Never signalled: the wait is the idle period itself, bounded by its time-out.
    HANDLE never = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    const unsigned threads = threadCount();
    const std::wstring linuxPid = ownLinuxPid();
    const std::map<std::wstring, long long> tasksBefore = threadsScheduledNs(linuxPid);
    const long long serverBefore =
        serverPid.empty() ? -1 : scheduledNs(L"Z:\\proc\\" + widen(serverPid) + L"\\schedstat");
    const Times before = processTimes();
    const int64_t start = now();
    WaitForSingleObject(never, seconds * 1000);
    const double wallMs = ticksToSeconds(now() - start) * 1000;
    // The server first: reading the other files is work of the server's too.
    const long long serverAfter =
        serverPid.empty() ? -1 : scheduledNs(L"Z:\\proc\\" + widen(serverPid) + L"\\schedstat");
    const Times after = processTimes();
    const std::map<std::wstring, long long> tasksAfter = threadsScheduledNs(linuxPid);
    CloseHandle(never);

    const unsigned wakeUpsWhileIdle = readerWakeUps;
    if (reader) {
        // One exchange ends the reader's wait: its reply is the frame it has waited for.
        idleOver = true;
        api.write(handle, SDO_REQUEST_ID, READ_DEVICE_TYPE, 8, canMSG_STD);
        readerThread.join();
    }

    unsigned heartbeats = 0, otherFrames = 0;
    if (!baseline) {
        int32_t id = 0;
        uint8_t data[8];
        uint32_t dlc = 0;
        while (api.read(handle, &id, data, &dlc, nullptr, nullptr) == canOK)
            ++(id == HEARTBEAT_ID ? heartbeats : otherFrames);
    }

    const double userMs = after.userMs - before.userMs;
    const double kernelMs = after.kernelMs - before.kernelMs;
    const double cpuMs = userMs + kernelMs;
    std::string what = "baseline (nothing loaded, no channel)";
    if (window)
        what = "baseline (nothing loaded, no channel; a message box was shown)";
    else if (!baseline)
        what =
            "channel open and connected to " + address + " (node choice " +
            (node == 0 ? std::string("Any") : std::to_string(node)) + "), " +
            (reader ? "a host thread blocked in canReadWait(" + std::to_string(readTimeout) + " ms)"
                    : std::string("nothing called"));
    say("Idle CPU, %s:\n  main thread blocked in WaitForSingleObject for %.0f ms, %u threads in "
        "the process.\n",
        what.c_str(), wallMs, threads);
    say("  GetProcessTimes: user %.1f ms + kernel %.1f ms = %.1f ms -> %.3f %% of one core\n",
        userMs, kernelMs, cpuMs, 100.0 * cpuMs / wallMs);
    double processMs = -1;
    if (!tasksBefore.empty() && !tasksAfter.empty()) {
        // A thread that started during the wait counts in full; one that ended is missed.
        processMs = 0;
        std::string perThread;
        for (const auto &[tid, ns] : tasksAfter) {
            const auto earlier = tasksBefore.find(tid);
            const double ms = (ns - (earlier == tasksBefore.end() ? 0 : earlier->second)) / 1e6;
            processMs += ms;
            char text[48];
            std::snprintf(text, sizeof text, " %.2f", ms);
            perThread += text;
        }
        say("  Linux scheduler (/proc/%ls/task/*/schedstat, ns): %.2f ms -> %.4f %% of one core"
            "\n    per Linux thread of the process, ms:%s\n",
            linuxPid.c_str(), processMs, 100.0 * processMs / wallMs, perThread.c_str());
    } else {
        say("  Linux scheduler: the Wine process was not found under /proc\n");
    }
    double serverMs = -1;
    if (serverBefore >= 0 && serverAfter >= 0) {
        serverMs = (serverAfter - serverBefore) / 1e6;
        say("  wineserver (schedstat; it serves every program of the prefix): %.2f ms -> %.4f %%\n",
            serverMs, 100.0 * serverMs / wallMs);
    }
    if (!baseline && (node == 0 || node == NODE))
        say("  node polls seen (heartbeat frames of node %u): %u\n", static_cast<unsigned>(NODE),
            heartbeats);
    else if (!baseline)
        say("  heartbeats delivered: %u (node %d is not listed by the gateway, so none should "
            "be)\n",
            heartbeats, node);
    if (otherFrames > 0)
        say("  other frames left in the receive queue: %u\n", otherFrames);
    if (reader)
        say("  reader: %u wake-ups during the idle period; %s\n", wakeUpsWhileIdle,
            readerGotReply ? "the SDO reply after it ended its wait"
                           : "it did NOT get the SDO reply after it");

    if (!baseline) {
        const std::string name = reader ? "idle CPU, process, reader blocked in canReadWait"
                                        : "idle CPU, process, channel open, nothing called";
        const double percent = processMs < 0 ? -1 : 100.0 * processMs / wallMs;
        target(name.c_str(), percent, "% core", "<= 0.05", processMs >= 0 && percent <= 0.05);
        if (serverMs >= 0)
            info((reader ? "idle CPU, wineserver, reader blocked in canReadWait"
                         : "idle CPU, wineserver, channel open, nothing called"),
                 100.0 * serverMs / wallMs, "% core");
    }
    if (!baseline)
        api.close(handle);
    return 0;
}
