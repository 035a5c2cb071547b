// canopen-scan: lists the CANopen nodes behind a KORVAL gateway through canlib32.dll, taking the
// steps a CANopen host tool takes: channel information, open (the DLL asks for the gateway),
// bus parameters, bus on, then heartbeats to find the nodes and SDO reads of their identity.
#include "canlib_loader.h"
#include "scan.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

using namespace canopenscan;

namespace {

constexpr int EXIT_FAILED = 1;
constexpr int EXIT_USAGE = 2;
// Waits are cut into slices of this length, so that Ctrl-C ends the scan soon.
constexpr uint32_t READ_SLICE_MS = 100;
constexpr wchar_t NOTIFY_CLASS[] = L"canopen-scan notify";

std::atomic<bool> interrupted{false};
unsigned notifications = 0; // touched on the main thread only

BOOL WINAPI onConsoleControl(DWORD) {
    interrupted = true;
    return TRUE;
}

void fail(const std::string &text) {
    std::fflush(stdout);
    std::fprintf(stderr, "canopen-scan: %s\n", text.c_str());
}

void say(const std::string &text) {
    std::fputs((text + "\n").c_str(), stdout);
    std::fflush(stdout);
}

LRESULT CALLBACK notifyProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM__CANLIB && lParam == canEVENT_RX) {
        ++notifications;
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

// A message-only window that the DLL tells of received frames.
HWND createNotifyWindow() {
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = notifyProcedure;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = NOTIFY_CLASS;
    RegisterClassW(&windowClass);
    return CreateWindowExW(0, NOTIFY_CLASS, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                           windowClass.hInstance, nullptr);
}

void pumpMessages() {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

std::string statusText(const char *function, canStatus status) {
    return std::string(function) + " returned status " + std::to_string(status);
}

// Channel 0 from open to close; the destructor takes the bus off and closes the channel
// whatever way the scan ends.
class Channel {
  public:
    Channel(const CanlibFunctions &functions, bool notify) : lib(functions), useNotify(notify) {}
    ~Channel() {
        if (busOn)
            lib.canBusOff(handle);
        if (opened)
            lib.canClose(handle);
        if (notifyWindow)
            DestroyWindow(notifyWindow);
    }
    Channel(const Channel &) = delete;
    Channel &operator=(const Channel &) = delete;

    bool open(std::string &error) {
        handle = lib.canOpenChannel(0, 0);
        if (handle < 0) {
            error = statusText("canOpenChannel", handle);
            return false;
        }
        opened = true;
        // Asking for the channel flags made the DLL expect bus parameters before bus on.
        canStatus status = lib.canSetBusParams(handle, 250000, 4, 3, 2, 1, 0);
        if (status != canOK) {
            error = statusText("canSetBusParams", status);
            return false;
        }
        status = lib.canBusOn(handle);
        if (status != canOK) {
            error = statusText("canBusOn", status);
            return false;
        }
        busOn = true;
        if (!useNotify)
            return true;
        notifyWindow = createNotifyWindow();
        if (notifyWindow == nullptr) {
            error =
                "cannot create the notification window, error " + std::to_string(GetLastError());
            return false;
        }
        status = lib.canSetNotify(handle, notifyWindow, canNOTIFY_RX);
        if (status != canOK) {
            error = statusText("canSetNotify", status);
            return false;
        }
        return true;
    }

    CanPort port() {
        CanPort port;
        port.write = [this](uint32_t id, const FrameData &data, std::string &error) {
            const canStatus status =
                lib.canWrite(handle, static_cast<int32_t>(id), data.data(), 8, canMSG_STD);
            if (status != canOK)
                error = statusText("canWrite", status);
            return status == canOK;
        };
        port.read = [this](CanFrame &frame, uint32_t timeoutMs, std::string &error) {
            return read(frame, timeoutMs, error);
        };
        port.nowMs = steadyMilliseconds;
        return port;
    }

  private:
    ReadStatus read(CanFrame &frame, uint32_t timeoutMs, std::string &error) {
        const uint64_t deadline = steadyMilliseconds() + timeoutMs;
        for (;;) {
            if (interrupted) {
                error = "interrupted";
                return ReadStatus::Failed;
            }
            const uint64_t now = steadyMilliseconds();
            const uint32_t slice =
                now >= deadline
                    ? 0
                    : static_cast<uint32_t>(std::min<uint64_t>(deadline - now, READ_SLICE_MS));
            int32_t id = 0;
            uint8_t data[8] = {};
            uint32_t length = 0, flags = 0, time = 0;
            canStatus status;
            if (useNotify) {
                // The DLL's worker waits until its notification is handled: pump while waiting.
                pumpMessages();
                status = lib.canRead(handle, &id, data, &length, &flags, &time);
                if (status == canERR_NOMSG && slice > 0)
                    MsgWaitForMultipleObjects(0, nullptr, FALSE, slice, QS_ALLINPUT);
            } else {
                status = lib.canReadWait(handle, &id, data, &length, &flags, &time, slice);
            }
            if (status == canOK) {
                frame.id = static_cast<uint32_t>(id);
                frame.length = static_cast<uint8_t>(std::min<uint32_t>(length, 8));
                std::memcpy(frame.data.data(), data, frame.length);
                return ReadStatus::Frame;
            }
            if (status != canERR_NOMSG) {
                error = statusText(useNotify ? "canRead" : "canReadWait", status);
                return ReadStatus::Failed;
            }
            if (slice == 0)
                return ReadStatus::TimedOut;
        }
    }

    const CanlibFunctions &lib;
    const bool useNotify;
    canHandle handle = -1;
    bool opened = false;
    bool busOn = false;
    HWND notifyWindow = nullptr;
};

int scan(const Options &options) {
    CanlibFunctions lib;
    std::string error;
    if (!loadCanlib(lib, error)) {
        fail(error);
        return EXIT_FAILED;
    }
    lib.canInitializeLibrary();
    int32_t channels = 0;
    canStatus status = lib.canGetNumberOfChannels(&channels);
    if (status != canOK || channels < 1) {
        fail("the DLL offers no CAN channel (" + statusText("canGetNumberOfChannels", status) +
             ", " + std::to_string(channels) + " channels)");
        return EXIT_FAILED;
    }
    int32_t cardType = 0, flags = 0;
    char name[64] = "";
    if ((status = lib.canGetChannelData(0, canCHANNELDATA_CARD_TYPE, &cardType, sizeof cardType)) !=
            canOK ||
        (status = lib.canGetChannelData(0, canCHANNELDATA_CHANNEL_NAME, name, sizeof name)) !=
            canOK ||
        (status = lib.canGetChannelData(0, canCHANNELDATA_CHANNEL_FLAGS, &flags, sizeof flags)) !=
            canOK) {
        fail(statusText("canGetChannelData", status));
        return EXIT_FAILED;
    }
    name[sizeof name - 1] = '\0';
    char line[160];
    std::snprintf(line, sizeof line, "canlib32.dll: %d channel(s); channel 0 \"%s\", card type %d",
                  static_cast<int>(channels), name, static_cast<int>(cardType));
    say(line);

    say("opening channel 0: the DLL asks for the gateway address");
    Channel channel(lib, options.notify);
    if (!channel.open(error)) {
        fail(error);
        return EXIT_FAILED;
    }
    say("listening for heartbeats for " + std::to_string(options.listenSeconds) + " s");
    const CanPort port = channel.port();
    std::vector<uint8_t> nodes;
    if (!listenForHeartbeats(port, options.listenSeconds * 1000u, nodes, error)) {
        fail(error);
        return EXIT_FAILED;
    }
    if (nodes.empty()) {
        fail("no heartbeat from any node within " + std::to_string(options.listenSeconds) +
             " s: is the gateway address right?");
        return EXIT_FAILED;
    }
    std::string list;
    for (uint8_t node : nodes)
        list += (list.empty() ? "" : ", ") + std::to_string(node);
    say("active nodes: " + list);

    SdoClient client(port, options.sdoTimeoutMs);
    std::vector<NodeReport> reports;
    bool anyAnswered = false;
    for (uint8_t node : nodes) {
        if (interrupted)
            break;
        reports.push_back(readNode(client, node));
        anyAnswered = anyAnswered || reports.back().answered;
    }
    std::fputs(formatTable(reports).c_str(), stdout);
    if (options.notify)
        say("receive notifications: " + std::to_string(notifications));
    if (interrupted) {
        fail("interrupted");
        return EXIT_FAILED;
    }
    if (!anyAnswered) {
        fail("no node answered an SDO request");
        return EXIT_FAILED;
    }
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    Options options;
    std::string error;
    if (!parseOptions(std::vector<std::string>(argv + 1, argv + argc), options, error)) {
        fail(error);
        std::fputs(usageText().c_str(), stderr);
        return EXIT_USAGE;
    }
    if (options.help) {
        std::fputs(usageText().c_str(), stdout);
        return 0;
    }
    SetConsoleCtrlHandler(onConsoleControl, TRUE);
    const int result = scan(options);
    std::fflush(stdout);
    return result;
}
