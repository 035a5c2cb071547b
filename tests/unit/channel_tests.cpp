// The channel as a host uses it, end to end in the native build: the connect dialog (played
// by the test), the remembered address, notification, and SDO traffic to a simulated gateway.
#include "channel_fixture.h"

#include "support/eventually.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <future>

using Korval::ConnectDialog;
using Korval::KorvalCanInterface;
using Clock = std::chrono::steady_clock;
using testsupport::eventually;

TEST_F(ChannelTest, FirstOpenShowsTheDefaultAndRemembersAConfirmedAddress) {
    EXPECT_EQ(KorvalCanInterface::NoOfChannels(), 1);
    EXPECT_EQ(KorvalCanInterface::Connection(0)->IsOpen(), 0);
    EXPECT_EQ(KorvalCanInterface::Connection(1), nullptr);
    EXPECT_EQ(remembered(), "<none>");

    EXPECT_EQ(canOpenChannel(0, 0), 0);
    EXPECT_EQ(user.showings, 1);
    EXPECT_EQ(user.sawAddress, ConnectDialog::DEFAULT_GATEWAY_ADDRESS);
    EXPECT_EQ(user.sawNode, 0);
    EXPECT_EQ(remembered(), address);
    EXPECT_GE(trace.waitForLine("Connecting to " + address, CONNECT_BOUND_MS), 0);
    EXPECT_EQ(KorvalCanInterface::Connection(0)->IsOpen(), 1);

    // Open again while open: same handle, no dialog.
    EXPECT_EQ(canOpenChannel(0, 8), 0);
    EXPECT_EQ(user.showings, 1);
    EXPECT_EQ(trace.lines().front().text, "canOpenChannel: channel=0");
}

TEST_F(ChannelTest, ClosedDialogUsesTheTypedAddressButKeepsTheRememberedOne) {
    {
        Korval::os::RegistryKey key("Software\\Brenvox\\CanlibForVantrel");
        key.writeString("IpAddress", "127.1.2.3");
    }
    user.result = 2;
    EXPECT_EQ(canOpenChannel(0, 0), 0);
    EXPECT_EQ(user.sawAddress, "127.1.2.3");
    EXPECT_GE(trace.waitForLine("Connecting to " + address, CONNECT_BOUND_MS), 0);
    EXPECT_EQ(remembered(), "127.1.2.3");
}

TEST_F(ChannelTest, ReopeningShowsTheDialogAgainWithWhatItLastHeld) {
    user.chooseNode = 127;
    user.result = 2; // nothing stored: the dialog keeps the typed text by itself
    canOpenChannel(0, 0);
    EXPECT_EQ(canClose(0), canOK);
    EXPECT_EQ(KorvalCanInterface::Connection(0)->IsOpen(), 0);

    user.typeAddress.clear();
    user.chooseNode = -1;
    canOpenChannel(0, 0);
    EXPECT_EQ(user.showings, 2);
    // An address remembered before (by an earlier test of this process) comes first.
    const std::string stored = remembered();
    EXPECT_EQ(user.sawAddress, stored == "<none>" ? address : stored);
    EXPECT_EQ(user.sawNode, 127);
}

TEST_F(ChannelTest, EmptyAddressIsPassedOnAndFailsInTheConnection) {
    user.typeAddress.clear();
    user.result = 2;
    ConnectDialog::posixUser = [](ConnectDialog &dialog) {
        dialog.setHostNameText("");
        return 1;
    };
    EXPECT_EQ(canOpenChannel(0, 0), 0);
    EXPECT_GE(trace.waitForLine("Connecting to ", CONNECT_BOUND_MS), 0);
    EXPECT_GE(trace.waitForPrefix("Connect: ", 3000), 0);
    EXPECT_EQ(remembered(), "");
}

TEST_F(ChannelTest, SdoExchangeThroughTheExportedFunctions) {
    startGateway({5});
    openConnected();
    ASSERT_EQ(canWrite(0, 0x605, READ_DEVICE_TYPE, 8, canMSG_STD), canOK);

    int32_t id = 0;
    uint8_t msg[8] = {};
    uint32_t dlc = 0, flag = 0, time = 0;
    ASSERT_EQ(canReadWait(0, &id, msg, &dlc, &flag, &time, 3000), canOK);
    EXPECT_EQ(id, 0x585);
    EXPECT_EQ(dlc, 8u);
    EXPECT_EQ(flag, static_cast<uint32_t>(canMSG_STD));
    EXPECT_EQ(msg[0], 0x43);
    EXPECT_LE(canReadTimer(0) - time, 1000u);
}

TEST_F(ChannelTest, HeartbeatsAreReadAsOneByteFrames) {
    startGateway({1, 2, 3});
    openConnected();
    uint32_t status = 0;
    int32_t id = 0;
    uint8_t msg[8];
    std::memset(msg, 0xEE, sizeof msg);
    uint32_t dlc = 0;
    ASSERT_EQ(canReadWait(0, &id, msg, &dlc, nullptr, nullptr, 3000), canOK);
    EXPECT_EQ(id, 0x701);
    EXPECT_EQ(dlc, 1u);
    EXPECT_EQ(msg[0], 5);
    EXPECT_EQ(msg[1], 0xEE);

    // The other two of the same poll follow a moment later.
    int32_t level = 0;
    EXPECT_TRUE(eventually([&] {
        return canIoCtl(0, canIOCTL_GET_RX_BUFFER_LEVEL, &level, 4) == canOK && level == 2;
    }));
    EXPECT_EQ(canReadStatus(0, &status), canOK);
    EXPECT_EQ(status, static_cast<uint32_t>(canSTAT_RX_PENDING));
    EXPECT_EQ(canRead(0, nullptr, nullptr, nullptr, nullptr, nullptr), canOK);
    EXPECT_EQ(canIoCtl(0, canIOCTL_FLUSH_RX_BUFFER, nullptr, 0), canOK);
    EXPECT_EQ(canReadStatus(0, &status), canOK);
    EXPECT_EQ(status, 0u);
    EXPECT_EQ(canRead(0, &id, msg, &dlc, nullptr, nullptr), canERR_NOMSG);
}

TEST_F(ChannelTest, EveryFrameIsAnnouncedOncePerSubscription) {
    startGateway({4});
    subscribe(first.handle());
    openConnected();
    ASSERT_EQ(canReadWait(0, nullptr, nullptr, nullptr, nullptr, nullptr, 3000), canOK);
    EXPECT_TRUE(eventually([&] { return first.messages >= subscriptions; }));

    // Notification moves to the second window, with one more subscription; flags without
    // canNOTIFY_RX change nothing.
    subscribe(second.handle());
    EXPECT_EQ(canSetNotify(0, first.handle(), 0), canOK);
    const int firstBefore = first.messages;
    canFlushReceiveQueue(0);
    ASSERT_EQ(canReadWait(0, nullptr, nullptr, nullptr, nullptr, nullptr, 3000), canOK);
    EXPECT_TRUE(eventually([&] { return second.messages >= subscriptions; }));
    EXPECT_EQ(first.messages.load(), firstBefore);
    EXPECT_EQ(second.messages.load(), subscriptions);
}

// What a Linux host may pass is no window, and neither is the handle of a window that is gone:
// nothing is sent to it, the window's procedure is never called again, and frames still come.
TEST_F(ChannelTest, AHandleThatIsNoWindowIsNeverCalled) {
    startGateway({4, 5, 6});
    std::atomic<bool> inside{false}, gone{false};
    std::atomic<int> calledWhenGone{0};
    // No thread takes it: its procedure runs on the worker.
    auto doomed = std::make_unique<Korval::os::PosixWindow>([&](uint32_t, uintptr_t, intptr_t) {
        if (gone)
            ++calledWhenGone;
        inside = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        inside = false;
    });
    subscribe(doomed->handle());
    openConnected();
    ASSERT_TRUE(eventually([&] { return inside.load(); }, 8000));
    doomed.reset();
    gone = true;
    EXPECT_FALSE(inside) << "destroyed while its procedure ran";
    // Past the next node list, which is announced to the handle only.
    for (int frame = 0; frame < 7; ++frame)
        ASSERT_EQ(canReadWait(0, nullptr, nullptr, nullptr, nullptr, nullptr, 3000), canOK);
    EXPECT_EQ(calledWhenGone, 0);
}

TEST_F(ChannelTest, HostMayWriteFromItsNotificationHandler) {
    startGateway({6});
    std::atomic<bool> wrote{false};
    first.onMessage = [&] {
        if (!wrote.exchange(true))
            EXPECT_EQ(canWrite(0, 0x606, READ_DEVICE_TYPE, 8, canMSG_STD), canOK);
    };
    subscribe(first.handle());
    openConnected();
    EXPECT_TRUE(testsupport::readUntil(0x586, 8000));
    canClose(0); // before `wrote` goes away
}

TEST_F(ChannelTest, TransmitFlushDropsQueuedFrames) {
    // The SDO reply is held until the test has queued and flushed a second frame.
    std::promise<void> held, flushed;
    std::shared_future<void> released = flushed.get_future().share();
    std::atomic<bool> sdoSeen{false};
    gateway->setResponder([&, released](const std::vector<uint8_t> &request) {
        if (request[8] == 2 && !sdoSeen.exchange(true)) {
            held.set_value();
            released.wait_for(std::chrono::milliseconds(2000)); // a guard below the reply's limit
        }
        const std::vector<uint8_t> reply =
            request[8] == 1 ? korvalsim::makeReply(request, {0xFF, 100, 1, 5}) : request;
        return std::vector<korvalsim::Action>{{korvalsim::Action::Kind::Write, reply, 0}};
    });
    startGateway({5});
    openConnected();
    canWrite(0, 0x605, READ_DEVICE_TYPE, 8, canMSG_STD);
    ASSERT_EQ(held.get_future().wait_for(std::chrono::seconds(3)), std::future_status::ready);
    canWrite(0, 0x605, READ_DEVICE_TYPE, 8, canMSG_STD); // waits behind the held exchange
    EXPECT_EQ(canIoCtl(0, canIOCTL_FLUSH_TX_BUFFER, nullptr, 0), canOK);
    flushed.set_value();
    int32_t id = 0;
    do
        ASSERT_EQ(canReadWait(0, &id, nullptr, nullptr, nullptr, nullptr, 3000), canOK);
    while (id != 0x585);
    // A frame left in the queue would be sent at once; without one the request after the SDO
    // request is the poll after the idle time.
    std::vector<std::vector<uint8_t>> requests;
    auto sdo = requests.end();
    ASSERT_TRUE(eventually(
        [&] {
            requests = gateway->requests();
            sdo = std::find_if(requests.begin(), requests.end(),
                               [](const std::vector<uint8_t> &request) { return request[8] == 2; });
            return sdo != requests.end() && sdo + 1 != requests.end();
        },
        3000));
    EXPECT_EQ((*(sdo + 1))[8], 1) << "the flushed frame was sent";
    canClose(0); // the responder uses this test's locals
}

TEST_F(ChannelTest, ReadWaitEndsAtItsTimeOutOrAtTheFrame) {
    auto start = Clock::now();
    EXPECT_EQ(canReadWait(0, nullptr, nullptr, nullptr, nullptr, nullptr, 100), canERR_NOMSG);
    EXPECT_GE(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count(),
              90);
    startGateway({2});
    canOpenChannel(0, 0);
    // Should no frame come, a close ends the read instead of the test's time-out.
    std::atomic<bool> returned{false};
    std::thread watchdog([&] {
        if (!eventually([&] { return returned.load(); }, CONNECT_BOUND_MS + 2000))
            canClose(0);
    });
    int32_t id = 0;
    // A time-out with the top bit set waits without limit, like 0xFFFFFFFF.
    EXPECT_EQ(canReadWait(0, &id, nullptr, nullptr, nullptr, nullptr, 0x80000000u), canOK);
    returned = true;
    watchdog.join();
    EXPECT_EQ(id, 0x702);
}

// A POSIX host is not ended by the firmware stop: the link closes, and the frame calls fail
// with the reason until the channel is opened anew.
TEST_F(ChannelTest, FirmwareStopClosesTheLinkUntilTheChannelIsOpenedAnew) {
    const std::string why = "This KORVAL's firmware does not support the CANopen SDO interface!";
    startGateway({5});
    openConnected();
    KorvalCanInterface *channel = KorvalCanInterface::Connection(0);
    // Raised on the worker, where a node poll the gateway did not take whole raises it; twice,
    // as when each open of the process subscribed the handler once more.
    static std::atomic<bool> armed;
    armed = true;
    channel->onReceiveEvent.subscribe([why](Korval::KorvalConnection &sender) {
        if (!armed.exchange(false))
            return;
        sender.onFatalError.raise(sender, why);
        sender.onFatalError.raise(sender, why);
    });
    testing::internal::CaptureStderr();
    ASSERT_GE(trace.waitForLine("Link closed: " + why, 5000), 0);
    EXPECT_TRUE(eventually([&] { return channel->IsOpen() == 0 && channel->IsConnected() == 0; }));
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Brenvox CAN Library for Vantrel\n" + why + "\n");

    EXPECT_EQ(canWrite(0, 0x605, READ_DEVICE_TYPE, 8, canMSG_STD), canERR_HARDWARE);
    EXPECT_GE(trace.waitForLine("canWrite: " + why, 0), 0);
    EXPECT_EQ(canReadWait(0, nullptr, nullptr, nullptr, nullptr, nullptr, 0), canERR_HARDWARE);
    EXPECT_GE(trace.waitForLine("canReadWait: " + why, 0), 0);

    EXPECT_EQ(canClose(0), canOK);
    canFlushReceiveQueue(0); // a heartbeat of the closed link may wait there
    EXPECT_EQ(canOpenChannel(0, 0), 0);
    int32_t id = 0;
    ASSERT_EQ(canReadWait(0, &id, nullptr, nullptr, nullptr, nullptr, 8000), canOK);
    EXPECT_EQ(id, 0x705);
}

TEST_F(ChannelTest, ClosingTheChannelKeepsUnreadFrames) {
    startGateway({8});
    openConnected();
    ASSERT_EQ(canReadWait(0, nullptr, nullptr, nullptr, nullptr, nullptr, 3000), canOK);
    ASSERT_EQ(canReadWait(0, nullptr, nullptr, nullptr, nullptr, nullptr, 3000), canOK);
    // Wait for a third heartbeat but leave it queued.
    eventually([] { return KorvalCanInterface::Connection(0)->GetMsgCnt() > 0; }, 3000);
    EXPECT_EQ(canClose(0), canOK);
    int32_t id = 0;
    EXPECT_EQ(canRead(0, &id, nullptr, nullptr, nullptr, nullptr), canOK);
    EXPECT_EQ(id, 0x708);
}

TEST_F(ChannelTest, HostMayCloseTheChannelFromItsNotificationHandler) {
    startGateway({3});
    first.onMessage = [] { EXPECT_EQ(canClose(0), canOK); };
    subscribe(first.handle());
    openConnected();
    EXPECT_TRUE(eventually([] { return KorvalCanInterface::Connection(0)->IsOpen() == 0; }, 4000));
    first.onMessage = nullptr;
}

TEST_F(ChannelTest, OpenDuringACloseLeavesTheChannelOpen) {
    startGateway({3});
    // The worker is held in its notification, so that the close has to wait for it.
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<bool> held{false};
    first.onMessage = [&] {
        if (!held.exchange(true))
            released.wait();
    };
    subscribe(first.handle());
    openConnected();
    ASSERT_TRUE(eventually([&] { return held.load(); }, 4000));

    std::thread closer([] { EXPECT_EQ(canClose(0), canOK); });
    ASSERT_TRUE(eventually([] { return KorvalCanInterface::Connection(0)->IsOpen() == 0; }));
    std::thread opener([] { EXPECT_EQ(canOpenChannel(0, 0), 0); });
    // The open asks the user again, then waits for the old worker to end.
    EXPECT_TRUE(eventually([&] {
        std::lock_guard<std::mutex> guard(user.lock);
        return user.showings == 2;
    }));
    release.set_value();
    closer.join();
    opener.join();

    EXPECT_EQ(KorvalCanInterface::Connection(0)->IsOpen(), 1);
    EXPECT_TRUE(gateway->waitForConnections(2, 8000));
    canClose(0); // the handler uses this test's locals
    first.onMessage = nullptr;
}

// Nobody at the dialog, as in the Linux library: the environment names the gateway and the node.
TEST_F(ChannelTest, WithoutAUserTheEnvironmentNamesTheGatewayAndTheNode) {
    ConnectDialog::posixUser = nullptr;
    startGateway({3, 9});
    setenv("KORVAL_GATEWAY", address.c_str(), 1);
    setenv("KORVAL_NODE", "9", 1);
    openConnected();
    for (int heartbeat = 0; heartbeat < 2; ++heartbeat) {
        int32_t id = 0;
        ASSERT_EQ(canReadWait(0, &id, nullptr, nullptr, nullptr, nullptr, 3000), canOK);
        EXPECT_EQ(id, 0x709);
    }
    unsetenv("KORVAL_GATEWAY");
    unsetenv("KORVAL_NODE");
}

TEST_F(ChannelTest, WithoutAUserOrAGatewayNamedTheOpenFailsAndSaysWhy) {
    ConnectDialog::posixUser = nullptr;
    unsetenv("KORVAL_GATEWAY");
    setenv("XDG_CONFIG_HOME", "/nonexistent", 1);
    testing::internal::CaptureStderr();
    EXPECT_EQ(canOpenChannel(0, 0), canERR_NOTFOUND);
    const std::string why = "No KORVAL gateway is named: set KORVAL_GATEWAY to its host name or "
                            "IPv4 address, or write the address to /nonexistent/korval/gateway";
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Brenvox CAN Library for Vantrel\n" + why + "\n");
    EXPECT_GE(trace.waitForLine("canOpenChannel: " + why, 0), 0);
    EXPECT_EQ(KorvalCanInterface::Connection(0)->IsOpen(), 0);

    // A value that names none is refused the same way, and nothing is started either.
    setenv("KORVAL_GATEWAY", address.c_str(), 1);
    setenv("KORVAL_NODE", "200", 1);
    EXPECT_EQ(canOpenChannel(0, 0), canERR_NOTFOUND);
    EXPECT_GE(trace.waitForPrefix("canOpenChannel: KORVAL_NODE=\"200\"", 0), 0);
    EXPECT_EQ(KorvalCanInterface::Connection(0)->IsOpen(), 0);
    unsetenv("KORVAL_GATEWAY");
    unsetenv("KORVAL_NODE");
    unsetenv("XDG_CONFIG_HOME");
}
