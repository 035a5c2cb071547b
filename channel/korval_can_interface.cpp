#include "channel/korval_can_interface.h"

#include "ui/connect_dialog.h"

#include <mutex>
#include <vector>

namespace Korval {

std::atomic<bool> KorvalCanInterface::needBaudrate{false};

namespace {

// The channel table and the dialog live until the process ends: nothing destroys them, so no
// worker can outlive its object at process exit.
struct ClassState {
    std::vector<KorvalCanInterface *> cnxnList;
    ConnectDialog *connectDialog = nullptr;
};

ClassState &classState() {
    static ClassState *state = nullptr;
    static std::once_flag setUp;
    std::call_once(setUp, [] {
        auto *created = new ClassState;
        KorvalCanInterface::needBaudrate = false;
        created->cnxnList.push_back(new KorvalCanInterface(0));
        created->connectDialog = new ConnectDialog;
        state = created;
    });
    return *state;
}

} // namespace

void KorvalCanInterface::Initialize() {
    classState();
}

KorvalCanInterface *KorvalCanInterface::Connection(int32_t index) {
    std::vector<KorvalCanInterface *> &channels = classState().cnxnList;
    if (index < 0 || static_cast<std::size_t>(index) >= channels.size())
        return nullptr;
    return channels[static_cast<std::size_t>(index)];
}

int32_t KorvalCanInterface::NoOfChannels() {
    return static_cast<int32_t>(classState().cnxnList.size());
}

bool KorvalCanInterface::showConnectDialog() {
    ConnectDialog &dialog = *classState().connectDialog;
    os::RegistryKey key(CANLIB_REG_KEY);
    if (key.isOpen())
        dialog.setHostNameText(key.readString(CANLIB_REG_VALUE, dialog.hostNameText()));
    else
        os::writeTrace("Registry", std::string("cannot open ") + CANLIB_REG_KEY);

    const int result = dialog.showModal();
    if (result == ConnectDialog::DIALOG_RESULT_NO_GATEWAY) {
        os::writeTrace("canOpenChannel", dialog.unavailableReason());
        os::showErrorBox(dialog.unavailableReason(), MSG_BOX_TITLE);
        return false;
    }
    const bool confirmed = result == ConnectDialog::DIALOG_RESULT_OK;
    if (confirmed && key.isOpen() && !key.writeString(CANLIB_REG_VALUE, dialog.hostNameText()))
        os::writeTrace("Registry", std::string("cannot store ") + CANLIB_REG_VALUE);
    return true;
}

KorvalCanInterface::KorvalCanInterface(int32_t cnxnId)
    : channelId(cnxnId), notifier(notifyWindowHandle, WM_CANLIB, static_cast<uintptr_t>(cnxnId),
                                  CANLIB_EVENT_RX, stopRequest) {
    hostNotification = &notifier;
}

std::string KorvalCanInterface::HostName() const {
    return classState().connectDialog->hostNameText();
}

int32_t KorvalCanInterface::NodeId() const {
    return classState().connectDialog->nodeIdSelectedIndex();
}

void KorvalCanInterface::rxNotify(KorvalConnection &) {
    notifier.announce();
}

void KorvalCanInterface::errorNotify(KorvalConnection &, const std::string &message) {
    os::showErrorBox(message, MSG_BOX_TITLE);
    os::endProcess(1);
}

} // namespace Korval
