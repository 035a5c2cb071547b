// The POSIX stand-in for the connect dialog: nobody is asked. The gateway and the node come from
// the environment or the remembered address's file; the native build's tests play the user.
#include "ui/connect_dialog.h"
#include "ui/gateway_settings_posix.h"

#include <cstdlib>

namespace Korval {

std::function<int(ConnectDialog &dialog)> ConnectDialog::posixUser;

ConnectDialog::ConnectDialog() : hostName(DEFAULT_GATEWAY_ADDRESS) {}

int ConnectDialog::showModal() {
    if (posixUser)
        return posixUser(*this);
    const GatewaySettings settings =
        readGatewaySettings([](const char *name) { return std::getenv(name); });
    if (!settings.found) {
        noGatewayReason = settings.problem;
        return DIALOG_RESULT_NO_GATEWAY;
    }
    hostName = settings.hostName;
    nodeIndex = settings.nodeId;
    return DIALOG_RESULT_OK;
}

} // namespace Korval
