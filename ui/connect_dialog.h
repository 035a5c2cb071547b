// The small modal window in which the user names the KORVAL gateway and may limit the session
// to one CANopen node. It keeps its address text and node choice from one showing to the next.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace Korval {

class ConnectDialog {
  public:
    static constexpr int DIALOG_RESULT_OK = 1;
    // No gateway could be named, so nothing may be opened; unavailableReason tells why. Only the
    // POSIX stand-in, which reads settings instead of asking, returns it (-1 is a Windows dialog
    // that could not be shown, and the open goes on after that).
    static constexpr int DIALOG_RESULT_NO_GATEWAY = -2;
    static constexpr const char *DEFAULT_GATEWAY_ADDRESS = "169.254.100.1";

    ConnectDialog();

    // The text of the address box, exactly as typed or loaded.
    const std::string &hostNameText() const { return hostName; }
    void setHostNameText(const std::string &text) { hostName = text; }
    // Index of the chosen entry of the node list: 0 for "Any", else the node id 1 to 127.
    int32_t nodeIdSelectedIndex() const { return nodeIndex; }

    // Shows the dialog modally on the calling thread, centred on that thread's active window,
    // and returns DIALOG_RESULT_OK when OK (or Enter) closed it, another value otherwise.
    int showModal();
    const std::string &unavailableReason() const { return noGatewayReason; }

#ifndef _WIN32
    // POSIX has no dialog: the native build's tests play the user here. Without them the
    // gateway and the node come from the environment and the remembered address's file.
    static std::function<int(ConnectDialog &dialog)> posixUser;
    void setNodeIdSelectedIndex(int32_t index) {
        nodeIndex = index;
    }
#endif

  private:
    std::string hostName;
    int32_t nodeIndex = 0;
    std::string noGatewayReason;
#ifdef _WIN32
    friend struct ConnectDialogWindow;
#endif
};

} // namespace Korval
