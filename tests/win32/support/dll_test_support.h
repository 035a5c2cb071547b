// Shared pieces of the DLL's Win32 tests: a simulated gateway of the test's own, and opening
// the channel with its connect dialog answered the way a user would answer it.
#pragma once

#include "canlib.h"
#include "gateway_simulator.h"
#include "support/dialog_driver.h"
#include "support/test_address.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <memory>
#include <string>
#include <vector>

namespace testsupport {

inline std::wstring widen(const std::string &text) {
    return std::wstring(text.begin(), text.end());
}
inline std::string narrow(const std::wstring &text) {
    std::string result;
    for (wchar_t c : text)
        result += static_cast<char>(c);
    return result;
}

class TestGateway {
  public:
    explicit TestGateway(const std::vector<uint8_t> &nodes = {5})
        : address(uniqueLoopbackAddress()), simulator(address) {
        simulator.setNodes(nodes);
        std::string error;
        started = simulator.start(&error);
        startError = error;
    }
    std::string address;
    korvalsim::GatewaySimulator simulator;
    bool started = false;
    std::string startError;
};

enum class DialogClose { WithOk, WithCloseBox };

struct OpenResult {
    int32_t handle = -100;
    bool sawDialog = false;
    DialogState shown; // the dialog as it first appeared
};

// canOpenChannel(0, 0) with the dialog answered: address typed, node chosen, then closed.
// Tests that do not examine the remembered address close with the close box, so that no
// test but those writes the registry.
inline OpenResult openChannel(const std::string &address, int node = 0,
                              DialogClose close = DialogClose::WithCloseBox) {
    OpenResult result;
    {
        DialogAnswerer answerer([&](HWND dialog) {
            result.shown = readDialog(dialog);
            setHostText(dialog, widen(address));
            selectNode(dialog, node);
            if (close == DialogClose::WithOk)
                pressEnter(dialog);
            else
                closeWithCloseBox(dialog);
        });
        result.handle = canOpenChannel(0, 0);
        result.sawDialog = answerer.sawDialog();
    }
    return result;
}

// A test on the channel to a gateway of its own with the given nodes: openConnected opens the
// channel and waits until the worker is connected, after which written frames are no longer
// dropped by a connection attempt; the channel is closed after each test.
class ConnectedChannelTest : public testing::Test {
  protected:
    explicit ConnectedChannelTest(const std::vector<uint8_t> &nodes) : gateway(nodes) {}
    void SetUp() override { ASSERT_TRUE(gateway.started) << gateway.startError; }
    void TearDown() override {
        canClose(0);
        canFlushReceiveQueue(0);
    }
    void openConnected() {
        ASSERT_EQ(openChannel(gateway.address).handle, 0);
        ASSERT_TRUE(gateway.simulator.waitForConnections(1, 8000));
    }
    TestGateway gateway;
};

} // namespace testsupport
