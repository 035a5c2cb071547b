// The CAN channel as the host sees it: a gateway connection plus the channel number, the
// host window told of received frames, the class-wide channel table, the connect dialog with
// the remembered gateway address, and the bus-on guard.
#pragma once

#include "channel/window_notifier.h"
#include "gateway/korval_connection.h"
#include "os/os.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

namespace Korval {

class ConnectDialog;

class KorvalCanInterface : public KorvalConnection {
  public:
    static constexpr const char *MSG_BOX_TITLE = "Brenvox CAN Library for Vantrel";

    // True while the host has asked for the channel flags and has not set bus parameters
    // since: the library takes that as a request for automatic bit-rate detection.
    static std::atomic<bool> needBaudrate;

    // Runs the one-time set-up of the channel table and the dialog; later calls do nothing.
    static void Initialize();
    // The channel object for a channel number, or null for a number outside the table.
    static KorvalCanInterface *Connection(int32_t index);
    static int32_t NoOfChannels();
    // Fills the address from the registry, shows the dialog, remembers a confirmed address.
    // False, after telling the user why, when no gateway could be named (POSIX only).
    static bool showConnectDialog();

    explicit KorvalCanInterface(int32_t cnxnId);
    // The worker uses the notifier until it ends.
    ~KorvalCanInterface() { closeConnection(); }

    void WindowHandle(os::WindowHandle window) { notifyWindowHandle = window; }
    std::string HostName() const;
    int32_t NodeId() const;

    void rxNotify(KorvalConnection &sender);
    // Tells the user that the gateway cannot serve the library. On Windows the host then ends;
    // a POSIX host goes on: the link closes, and the frame calls fail until the channel is
    // closed or opened anew.
    void errorNotify(KorvalConnection &sender, const std::string &message);
    // Why the link was closed for good, or empty.
    std::string StopReason() const;
    void clearStopReason();

  protected:
    static constexpr const char *CANLIB_REG_KEY = "Software\\Brenvox\\CanlibForVantrel";
    static constexpr const char *CANLIB_REG_VALUE = "IpAddress";
    static constexpr int32_t WM_CANLIB = 17378;
    static constexpr int32_t CANLIB_EVENT_RX = 32000;
    static constexpr int32_t NO_OF_KORVAL_CONNECTIONS = 1;

    std::atomic<os::WindowHandle> notifyWindowHandle{nullptr};
    int32_t channelId;

  private:
    WindowNotifier notifier;
    std::atomic<bool> stopTold{false};
    mutable std::mutex stopLock;
    std::string stopReason;
};

} // namespace Korval
