// The native channel tests' fixture: a simulated gateway of the test's own, the connect dialog
// played by the test, and the host windows that count the library's messages.
#pragma once

#include "canlib.h"
#include "channel/korval_can_interface.h"
#include "ui/connect_dialog.h"

#include "gateway_simulator.h"
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

// Stands in for the host window: counts WM_CANLIB messages, and may act on each.
class RecordingWindow : public Korval::os::PosixWindow {
  public:
    void handleMessage(uint32_t message, uintptr_t wParam, intptr_t lParam) override {
        EXPECT_EQ(message, static_cast<uint32_t>(WM__CANLIB));
        EXPECT_EQ(wParam, 0u);
        EXPECT_EQ(lParam, canEVENT_RX);
        ++messages;
        if (onMessage)
            onMessage();
    }
    std::atomic<int> messages{0};
    std::function<void()> onMessage;
};

// The user at the dialog: what they saw, and what they do.
struct User {
    std::mutex lock;
    int showings = 0;
    std::string sawAddress;
    int32_t sawNode = -1;
    std::string typeAddress; // empty: leave the text as it is
    int32_t chooseNode = -1; // -1: leave the choice as it is
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
    void TearDown() override {
        canClose(0);
        Korval::ConnectDialog::posixUser = nullptr;
    }

    void startGateway(const std::vector<uint8_t> &nodes) {
        gateway->setNodes(nodes);
        std::string error;
        ASSERT_TRUE(gateway->start(&error)) << error;
    }

    void openAndWaitUntilConnected() {
        ASSERT_EQ(canOpenChannel(0, 0), 0);
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(3);
        while (Korval::KorvalCanInterface::Connection(0)->IsConnected() == 0 &&
               std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        ASSERT_EQ(Korval::KorvalCanInterface::Connection(0)->IsConnected(), 1);
    }

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
