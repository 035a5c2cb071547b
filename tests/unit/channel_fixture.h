// The native channel tests' fixture: a simulated gateway of the test's own, the connect dialog
// played by the test, and the host windows that count the library's messages.
#pragma once

#include "canlib.h"
#include "channel/korval_can_interface.h"
#include "ui/connect_dialog.h"

#include "gateway_simulator.h"
#include "support/eventually.h"
#include "support/read_until.h"
#include "support/test_address.h"
#include "support/trace_recorder.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

inline const uint8_t READ_DEVICE_TYPE[8] = {0x40, 0x00, 0x10, 0x00, 0, 0, 0, 0};

// Stands in for the host window: counts WM__CANLIB messages, and may act on each.
class RecordingWindow {
  public:
    Korval::os::WindowHandle handle() { return window.handle(); }
    std::atomic<int> messages{0};
    std::function<void()> onMessage;

  private:
    void handleMessage(uint32_t message, uintptr_t wParam, intptr_t lParam) {
        EXPECT_EQ(message, static_cast<uint32_t>(WM__CANLIB));
        EXPECT_EQ(wParam, 0u);
        EXPECT_EQ(lParam, canEVENT_RX);
        ++messages;
        if (onMessage)
            onMessage();
    }
    Korval::os::PosixWindow window{[this](uint32_t message, uintptr_t wParam, intptr_t lParam) {
        handleMessage(message, wParam, lParam);
    }};
};

// The user at the dialog: what they saw, and what they do.
struct User {
    std::mutex lock;
    int showings = 0;
    std::string sawAddress;
    int32_t sawNode = -1;
    std::string typeAddress; // empty: leave the text as it is
    int32_t chooseNode = 0;  // every node; -1: leave the choice as it is
    int result = Korval::ConnectDialog::DIALOG_RESULT_OK;
};

class ChannelTest : public testing::Test {
  protected:
    void SetUp() override {
        address = testsupport::uniqueLoopbackAddress();
        gateway = std::make_unique<korvalsim::GatewaySimulator>(address);
        user.typeAddress = address;
        Korval::ConnectDialog::posixUser = [this](Korval::ConnectDialog &dialog) {
            std::lock_guard<std::mutex> guard(user.lock);
            ++user.showings;
            user.sawAddress = dialog.hostNameText();
            user.sawNode = dialog.nodeIdSelectedIndex();
            if (!user.typeAddress.empty())
                dialog.setHostNameText(user.typeAddress);
            if (user.chooseNode >= 0)
                dialog.setNodeIdSelectedIndex(user.chooseNode);
            return user.result;
        };
    }
    // What one test leaves in the process's one channel is not the next one's: run whole, a
    // binary's tests share it.
    void TearDown() override {
        canClose(0);
        canFlushReceiveQueue(0);
        Korval::ConnectDialog::posixUser = nullptr;
    }

    void startGateway(const std::vector<uint8_t> &nodes) {
        gateway->setNodes(nodes);
        std::string error;
        ASSERT_TRUE(gateway->start(&error)) << error;
    }
    // Nodes 1 to last.
    void startNodes(uint8_t last) {
        std::vector<uint8_t> nodes;
        for (unsigned node = 1; node <= last; ++node)
            nodes.push_back(static_cast<uint8_t>(node));
        startGateway(nodes);
    }
    korvalsim::GatewaySimulator &simulator() { return *gateway; }

    // A channel opened before in this process pauses before its first attempt.
    static constexpr unsigned CONNECT_BOUND_MS = Korval::KorvalConnection::MODBUS_RECONNECT_PAUSE +
                                                 Korval::KorvalConnection::MODBUS_TIME_OUT + 3000;

    void openConnected() {
        ASSERT_EQ(canOpenChannel(0, 0), 0);
        ASSERT_TRUE(testsupport::eventually(
            [] { return Korval::KorvalCanInterface::Connection(0)->IsConnected() == 1; },
            CONNECT_BOUND_MS));
    }

    // canSetNotify for received frames. Subscriptions add up over the process: every frame
    // owes the window one message for each.
    void subscribe(Korval::os::WindowHandle window) {
        ASSERT_EQ(canSetNotify(0, window, canNOTIFY_RX), canOK);
        ++subscriptions;
    }
    static inline int subscriptions = 0;

    std::string remembered() {
        Korval::os::RegistryKey key("Software\\Brenvox\\CanlibForVantrel");
        return key.readString("IpAddress", "<none>");
    }

    testsupport::TraceRecorder trace;
    RecordingWindow first, second; // outlive the worker, which TearDown stops
    std::string address;
    std::unique_ptr<korvalsim::GatewaySimulator> gateway;
    User user;
};
