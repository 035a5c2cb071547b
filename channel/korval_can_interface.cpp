#include "channel/korval_can_interface.h"

#include "ui/connect_dialog.h"

#include <mutex>
#include <vector>

namespace Korval {

std::atomic<bool> KorvalCanInterface::needBaudrate{false};

namespace {

// The channel objects of one process. A forked child makes its own at its first call, and
// never touches its parent's: their worker, signals and socket are the parent's.
struct ChannelTable {
    uint32_t process = 0;
    std::vector<KorvalCanInterface *> cnxnList;
};

ChannelTable *newChannelTable() {
    auto *table = new ChannelTable;
    table->process = os::processId();
    table->cnxnList.push_back(new KorvalCanInterface(0));
    return table;
}

// The channel tables and the dialog live until the process ends: nothing destroys them, so no
// worker can outlive its object at process exit.
struct ClassState {
    std::atomic<ChannelTable *> channels{nullptr};
    ConnectDialog *connectDialog = nullptr;
};

ClassState &classState() {
    static ClassState *state = nullptr;
    static std::once_flag setUp;
    std::call_once(setUp, [] {
        auto *created = new ClassState;
        KorvalCanInterface::needBaudrate = false;
        created->channels = newChannelTable();
        created->connectDialog = new ConnectDialog;
        state = created;
    });
    return *state;
}

// Without a lock: one the parent held at the fork would never be let go in the child.
std::vector<KorvalCanInterface *> &channelsOfThisProcess() {
    std::atomic<ChannelTable *> &channels = classState().channels;
    ChannelTable *table = channels.load();
    while (table->process != os::processId()) {
        ChannelTable *own = newChannelTable();
        if (channels.compare_exchange_strong(table, own))
            return own->cnxnList;
        // Another thread of this process was first; its table is the one.
        for (KorvalCanInterface *unused : own->cnxnList)
            delete unused;
        delete own;
    }
    return table->cnxnList;
}

} // namespace

void KorvalCanInterface::Initialize() {
    classState();
}

KorvalCanInterface *KorvalCanInterface::Connection(int32_t index) {
    std::vector<KorvalCanInterface *> &channels = channelsOfThisProcess();
    if (index < 0 || static_cast<std::size_t>(index) >= channels.size())
        return nullptr;
    return channels[static_cast<std::size_t>(index)];
}

int32_t KorvalCanInterface::NoOfChannels() {
    return static_cast<int32_t>(channelsOfThisProcess().size());
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
    // Each open subscribes once more: the first handler tells the user.
    if (stopTold.exchange(true))
        return;
    os::showErrorBox(message, MSG_BOX_TITLE);
    os::endHostAfterStop();
    // The trace line comes before any call fails, so that a host that reads the trace after a
    // failed call finds the reason there.
    os::writeTrace("Link closed", message);
    {
        std::lock_guard<std::mutex> guard(stopLock);
        stopReason = message;
    }
    // On the worker this only asks it to end, which it does once the handlers have returned.
    closeConnection();
}

std::string KorvalCanInterface::StopReason() const {
    std::lock_guard<std::mutex> guard(stopLock);
    return stopReason;
}

void KorvalCanInterface::clearStopReason() {
    std::lock_guard<std::mutex> guard(stopLock);
    stopReason.clear();
    stopTold = false;
}

} // namespace Korval
