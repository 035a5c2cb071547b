// The native build's stand-in for the connect dialog: the user is whoever tests set.
#include "ui/connect_dialog.h"

namespace Korval {

std::function<int(ConnectDialog &dialog)> ConnectDialog::posixUser;

ConnectDialog::ConnectDialog() : hostName(DEFAULT_GATEWAY_ADDRESS) {}

int ConnectDialog::showModal() {
    const int closedWithoutOk = 2;
    return posixUser ? posixUser(*this) : closedWithoutOk;
}

} // namespace Korval
