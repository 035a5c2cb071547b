// Opening and closing the channel through the loaded DLL: the real connect dialog, the
// remembered address in the registry, the channel information and the bus-on guard.
#include "canlib.h"
#include "support/child_process.h"
#include "support/dll_test_support.h"
#include "support/eventually.h"
#include "support/host_window.h"

#include <gtest/gtest.h>

#include <thread>

using namespace testsupport;

namespace {

const wchar_t TITLE[] = L"Brenvox CAN Library for Vantrel";
const wchar_t REGISTRY_KEY[] = L"Software\\Brenvox\\CanlibForVantrel";

std::wstring rememberedAddress() {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, REGISTRY_KEY, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return L"<no key>";
    wchar_t value[256] = {};
    DWORD size = sizeof value - sizeof(wchar_t);
    DWORD type = 0;
    LONG status =
        RegQueryValueExW(key, L"IpAddress", nullptr, &type, reinterpret_cast<BYTE *>(value), &size);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS)
        return L"<no value>";
    return type == REG_SZ ? std::wstring(value) : L"<not a string>";
}

void forgetAddress() {
    RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Brenvox");
}

void rememberAddress(const std::wstring &address) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, REGISTRY_KEY, 0, nullptr, 0, KEY_WRITE, nullptr,
                              &key, nullptr),
              ERROR_SUCCESS);
    RegSetValueExW(key, L"IpAddress", 0, REG_SZ, reinterpret_cast<const BYTE *>(address.c_str()),
                   static_cast<DWORD>((address.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
}

// The dialog as the child saw it, reported through its exit code and trace-free stdout is not
// available, so the child checks and reports by exit code: 0 for all as expected.
CHILD_SCENARIO(openWithDefaultsAndConfirm) {
    DialogState shown;
    DialogAnswerer answerer([&](HWND dialog) {
        shown = readDialog(dialog);
        pressEnter(dialog);
    });
    int32_t handle = canOpenChannel(0, 0);
    bool sawDefault = shown.hostText == widen("169.254.100.1") && shown.nodeText == L"Any" &&
                      shown.nodeIndex == 0 && shown.caption == L"KORVAL Connection Settings";
    canClose(0);
    ExitProcess(handle == 0 && answerer.sawDialog() && sawDefault ? 0 : 10);
}

// Arguments: the address to type, "ok" or "close", and "await" to stay open until a
// heartbeat from the gateway at that address has arrived.
CHILD_SCENARIO(openTypingAddress) {
    const std::string address = narrow(childArguments().at(0));
    const bool confirm = childArguments().at(1) == L"ok";
    const bool await = childArguments().size() > 2 && childArguments()[2] == L"await";
    DialogState shown;
    DialogAnswerer answerer([&](HWND dialog) {
        shown = readDialog(dialog);
        setHostText(dialog, widen(address));
        if (confirm)
            pressEnter(dialog);
        else
            closeWithCloseBox(dialog);
    });
    canOpenChannel(0, 0);
    if (await && canReadWait(0, nullptr, nullptr, nullptr, nullptr, nullptr, 8000) != canOK)
        ExitProcess(11);
    canClose(0);
    // Tell the parent what the dialog showed first, as a trace line of our own.
    OutputDebugStringW((L"shown: " + shown.hostText + L"\r\n").c_str());
}

} // namespace

TEST(RememberedAddress, FirstOpenShowsTheDefaultAndOkStoresIt) {
    forgetAddress();
    ChildOutcome outcome = runChild("openWithDefaultsAndConfirm");
    EXPECT_EQ(outcome.exitCode, 0u) << outcome.describe();
    EXPECT_EQ(rememberedAddress(), L"169.254.100.1");
    EXPECT_TRUE(outcome.hasTrace("canlib: canOpenChannel: channel=0")) << outcome.describe();
    EXPECT_TRUE(outcome.hasTrace("canlib: canClose: canHdl=0"));
}

TEST(RememberedAddress, ConfirmedAddressIsShownByTheNextProcess) {
    TestGateway gateway, other;
    ASSERT_TRUE(gateway.started && other.started) << gateway.startError << other.startError;
    forgetAddress();
    ChildOptions options;
    options.extraArguments = {widen(gateway.address), L"ok", L"await"};
    ChildOutcome first = runChild("openTypingAddress", options);
    EXPECT_EQ(first.exitCode, 0u) << first.describe();
    EXPECT_EQ(rememberedAddress(), widen(gateway.address));
    EXPECT_TRUE(first.hasTrace("canlib: Connecting to " + gateway.address)) << first.describe();

    // Typed and closed with the close box: used for this session, not remembered.
    options.extraArguments = {widen(other.address), L"close", L"await"};
    ChildOutcome second = runChild("openTypingAddress", options);
    EXPECT_EQ(second.exitCode, 0u) << second.describe();
    EXPECT_TRUE(second.hasTrace("shown: " + gateway.address)) << second.describe();
    EXPECT_TRUE(second.hasTrace("canlib: Connecting to " + other.address)) << second.describe();
    EXPECT_EQ(rememberedAddress(), widen(gateway.address));

    ChildOutcome third = runChild("openTypingAddress", options);
    EXPECT_TRUE(third.hasTrace("shown: " + gateway.address)) << third.describe();
}

TEST(RememberedAddress, StoredValueIsReadAsText) {
    rememberAddress(L"127.4.5.6");
    ChildOptions options;
    options.extraArguments = {L"127.4.5.7", L"close"};
    ChildOutcome outcome = runChild("openTypingAddress", options);
    EXPECT_TRUE(outcome.hasTrace("shown: 127.4.5.6")) << outcome.describe();
}

TEST(RememberedAddress, ExpandableValueIsShownAsWritten) {
    // The library reads no environment variables: a value of type REG_EXPAND_SZ is text.
    const std::wstring stored = L"%SystemRoot%\\gateway";
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, REGISTRY_KEY, 0, nullptr, 0, KEY_WRITE, nullptr,
                              &key, nullptr),
              ERROR_SUCCESS);
    RegSetValueExW(key, L"IpAddress", 0, REG_EXPAND_SZ,
                   reinterpret_cast<const BYTE *>(stored.c_str()),
                   static_cast<DWORD>((stored.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
    ChildOptions options;
    options.extraArguments = {L"127.4.5.7", L"close"};
    ChildOutcome outcome = runChild("openTypingAddress", options);
    EXPECT_TRUE(outcome.hasTrace("shown: " + narrow(stored))) << outcome.describe();
    forgetAddress();
}

TEST(ChannelLifecycle, SecondOpenShowsNoDialogAndReopenShowsItAgain) {
    forgetAddress(); // else the dialog would show the remembered address, not the typed one
    TestGateway gateway;
    ASSERT_TRUE(gateway.started) << gateway.startError;
    OpenResult first = openChannel(gateway.address, 127);
    EXPECT_EQ(first.handle, 0);
    EXPECT_TRUE(first.sawDialog);
    ASSERT_TRUE(gateway.simulator.waitForConnections(1, 5000));

    OpenResult second = openChannel(gateway.address);
    EXPECT_EQ(second.handle, 0);
    EXPECT_FALSE(second.sawDialog);

    EXPECT_EQ(canClose(0), canOK);
    OpenResult third = openChannel(gateway.address);
    EXPECT_TRUE(third.sawDialog);
    EXPECT_EQ(third.shown.hostText, widen(gateway.address));
    EXPECT_EQ(third.shown.nodeText, L"127"); // the choice of the first showing
    // The new worker pauses before its first attempt, then connects again.
    EXPECT_TRUE(gateway.simulator.waitForConnections(2, 8000));
    EXPECT_EQ(canClose(0), canOK);
    EXPECT_EQ(canClose(0), canOK);
}

TEST(ChannelLifecycle, OpenWhileACloseWaitsLeavesTheChannelOpen) {
    TestGateway gateway;
    ASSERT_TRUE(gateway.started) << gateway.startError;
    HostWindow window;
    canSetNotify(0, window.handle(), canNOTIFY_RX);
    ASSERT_EQ(openChannel(gateway.address).handle, 0);
    ASSERT_TRUE(gateway.simulator.waitForConnections(1, 5000));
    // The window's thread is busy, so that the next poll's notification waits for it, and
    // the close is asked for meanwhile.
    HANDLE held = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE busyEnd = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::thread busy([&] {
        window.runOnWindowThread([&] {
            waitForSentMessage(5000);
            SetEvent(held);
            WaitForSingleObject(busyEnd, 10000);
        });
    });
    ASSERT_EQ(WaitForSingleObject(held, 8000), WAIT_OBJECT_0);
    std::thread closer([] { EXPECT_EQ(canClose(0), canOK); });
    // The host opens again as soon as the channel reports closed, which an open tells by its
    // dialog (an open of an open channel changes nothing); once both calls have returned, the
    // channel must be open.
    OpenResult reopened;
    eventually(
        [&] {
            reopened = openChannel(gateway.address);
            return reopened.sawDialog;
        },
        5000);
    SetEvent(busyEnd);
    closer.join();
    busy.join();
    CloseHandle(busyEnd);
    CloseHandle(held);
    EXPECT_EQ(reopened.handle, 0);
    EXPECT_TRUE(reopened.sawDialog) << "the open took a closing channel for an open one";
    EXPECT_TRUE(gateway.simulator.waitForConnections(2, 8000));
    EXPECT_FALSE(openChannel(gateway.address).sawDialog);
    EXPECT_EQ(canClose(0), canOK);
}

TEST(ChannelLifecycle, InvalidChannelNumbersAreRefused) {
    EXPECT_EQ(canOpenChannel(1, 0), canERR_PARAM);
    EXPECT_EQ(canOpenChannel(-1, 0), canERR_PARAM);
    EXPECT_EQ(canClose(7), canERR_PARAM);
    EXPECT_EQ(canSetNotify(2, nullptr, canNOTIFY_RX), canERR_PARAM);
    EXPECT_EQ(canBusOn(3), canERR_PARAM);
}

TEST(ChannelLifecycle, ChannelInformation) {
    int32_t count = 0;
    EXPECT_EQ(canGetNumberOfChannels(&count), canOK);
    EXPECT_EQ(count, 1);
    char name[64];
    EXPECT_EQ(canGetChannelData(0, canCHANNELDATA_CHANNEL_NAME, name, sizeof name), canOK);
    EXPECT_STREQ(name, "- Brenvox KORVAL");
    int64_t number = 0;
    EXPECT_EQ(canGetChannelData(5, canCHANNELDATA_CHAN_NO_ON_CARD, &number, 8), canOK);
    EXPECT_EQ(number, 6);
    int32_t type = 0;
    EXPECT_EQ(canGetChannelData(0, canCHANNELDATA_CARD_TYPE, &type, 4), canOK);
    EXPECT_EQ(type, canHWTYPE_VIRTUAL);
}

TEST(ChannelLifecycle, BusOnIsRefusedWithAMessageWhileNoBitRateWasSet) {
    int32_t flags = -1;
    ASSERT_EQ(canGetChannelData(0, canCHANNELDATA_CHANNEL_FLAGS, &flags, 4), canOK);
    EXPECT_EQ(flags, 0);
    std::wstring shown;
    std::thread user([&] {
        HWND box = waitForMessageBox(TITLE, 10000);
        if (box != nullptr) {
            shown = messageBoxText(box);
            pressOk(box);
        }
    });
    EXPECT_EQ(canBusOn(0), canERR_HARDWARE);
    user.join();
    EXPECT_EQ(shown, L"Baud Rate AutoDetection is not supported!\nPlease select a CAN Baud Rate "
                     L"before connecting.");
    EXPECT_EQ(canSetBusParams(0, 250000, 4, 3, 2, 1, 0), canOK);
    EXPECT_EQ(canBusOn(0), canOK);
    EXPECT_EQ(canBusOff(0), canOK);
}

CHILD_SCENARIO(refusedChannelDataItem) {
    int32_t value = 0;
    canGetChannelData(0, 5, &value, 4);
}

CHILD_SCENARIO(refusedChannelDataSize) {
    int32_t value = 0;
    canGetChannelData(0, canCHANNELDATA_CHANNEL_FLAGS, &value, 2);
}

TEST(ChannelLifecycle, RefusedChannelDataStopsTheHost) {
    ChildOutcome item = runChild("refusedChannelDataItem");
    EXPECT_EQ(item.exitCode, 1u);
    EXPECT_EQ(item.traceLines, std::vector<std::string>{"canlib: canGetChannelData: item=5"});
    ASSERT_EQ(item.messageBoxes.size(), 1u) << item.describe();
    EXPECT_EQ(item.messageBoxes[0].text, L"Unsupported canGetChannelData item 5 requested\n\n"
                                         L"Vantrel will be terminated.");
    ChildOutcome size = runChild("refusedChannelDataSize");
    EXPECT_EQ(size.exitCode, 1u);
    ASSERT_EQ(size.messageBoxes.size(), 1u) << size.describe();
    EXPECT_EQ(size.messageBoxes[0].title, TITLE);
    EXPECT_EQ(size.messageBoxes[0].text, L"Unsupported canGetChannelData size 2 requested\n\n"
                                         L"Vantrel will be terminated.");
}
