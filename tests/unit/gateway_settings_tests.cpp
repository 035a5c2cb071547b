// Where the Linux library finds the gateway and the node without a dialog: the environment,
// then the remembered address's file; and the words it finds for what is missing or malformed.
#include "ui/gateway_settings_posix.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

using Korval::GatewaySettings;
using Korval::isGatewayAddress;
using Korval::readGatewaySettings;

namespace {

class GatewaySettingsTest : public testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/korval-settings-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        home = pattern;
        variables["HOME"] = home;
    }
    void TearDown() override { std::filesystem::remove_all(home); }

    GatewaySettings read() {
        return readGatewaySettings([this](const char *name) -> const char * {
            auto found = variables.find(name);
            return found != variables.end() ? found->second.c_str() : nullptr;
        });
    }
    // Writes the remembered address's file under a configuration folder.
    std::string remember(const std::string &content, const std::string &configHome = "") {
        const std::string folder =
            (configHome.empty() ? home + "/.config" : configHome) + "/korval";
        std::filesystem::create_directories(folder);
        std::ofstream(folder + "/gateway") << content;
        return folder + "/gateway";
    }

    std::string home;
    std::map<std::string, std::string> variables;
};

} // namespace

TEST(GatewayAddress, DottedQuadsAndHostNames) {
    for (const char *good : {"192.0.2.10", "127.0.0.1", "gateway", "gw-1.example.com",
                             "gw.example.com.", "my_gw", "10.0.0.5.nip.io"})
        EXPECT_TRUE(isGatewayAddress(good)) << good;
    const std::string longLabel(64, 'a');
    std::string longName;
    for (int i = 0; i < 64; ++i)
        longName += "abc.";
    for (const std::string &bad :
         {std::string(), std::string("192.0.2.300"), std::string("10.1"), std::string("1.2.3.4.5"),
          std::string("192.0.2.10:502"), std::string("http://gw"), std::string("gw .lan"),
          std::string("-gw"), std::string("gw-"), std::string("a..b"), std::string("::1"),
          std::string("."), longLabel, longName})
        EXPECT_FALSE(isGatewayAddress(bad)) << bad;
}

TEST_F(GatewaySettingsTest, TheEnvironmentComesBeforeTheRememberedAddress) {
    remember("192.0.2.1\n");
    variables["KORVAL_GATEWAY"] = "gw.example.com";
    variables["KORVAL_NODE"] = "127";
    const GatewaySettings settings = read();
    ASSERT_TRUE(settings.found) << settings.problem;
    EXPECT_EQ(settings.hostName, "gw.example.com");
    EXPECT_EQ(settings.nodeId, 127);
}

TEST_F(GatewaySettingsTest, TheRememberedAddressIsTheFilesFirstLine) {
    remember("  192.0.2.7 \t\r\nsomething else\n");
    variables["KORVAL_GATEWAY"] = ""; // empty is the same as unset
    variables["KORVAL_NODE"] = "";
    GatewaySettings settings = read();
    ASSERT_TRUE(settings.found) << settings.problem;
    EXPECT_EQ(settings.hostName, "192.0.2.7");
    EXPECT_EQ(settings.nodeId, 0);

    // XDG_CONFIG_HOME moves the file; a relative one does not count.
    remember("192.0.2.8", home + "/xdg");
    variables["XDG_CONFIG_HOME"] = home + "/xdg";
    EXPECT_EQ(read().hostName, "192.0.2.8");
    variables["XDG_CONFIG_HOME"] = "relative/xdg";
    EXPECT_EQ(read().hostName, "192.0.2.7");
    EXPECT_EQ(Korval::gatewayFilePath([](const char *) { return nullptr; }), "");
}

TEST_F(GatewaySettingsTest, NeitherSetNamesBothPlaces) {
    variables["XDG_CONFIG_HOME"] = home + "/xdg";
    const GatewaySettings settings = read();
    EXPECT_FALSE(settings.found);
    EXPECT_EQ(settings.problem,
              "No KORVAL gateway is named: set KORVAL_GATEWAY to its host name or "
              "IPv4 address, or write the address to " +
                  home + "/xdg/korval/gateway");
}

TEST_F(GatewaySettingsTest, AMalformedValueIsNamed) {
    variables["KORVAL_GATEWAY"] = "192.0.2.300";
    EXPECT_EQ(read().problem, "KORVAL_GATEWAY=\"192.0.2.300\" is not a host name or IPv4 address");
    // Shown on one line and cut short, whatever it holds.
    variables["KORVAL_GATEWAY"] = "gw\n\"x\"" + std::string(100, 'y');
    EXPECT_EQ(read().problem, "KORVAL_GATEWAY=\"gw\\x0A\\x22x\\x22" + std::string(58, 'y') +
                                  "...\" is not a host name or IPv4 address");

    variables.erase("KORVAL_GATEWAY");
    const std::string path = remember("gw.lan:502\n");
    EXPECT_EQ(read().problem,
              path + " holds \"gw.lan:502\", which is not a host name or IPv4 address");
    remember("\n");
    EXPECT_EQ(read().problem, path + " holds \"\", which is not a host name or IPv4 address");

    remember("gw.lan");
    for (const char *node : {"128", "-1", "x", "1000", " 5", "0x05"}) {
        variables["KORVAL_NODE"] = node;
        const GatewaySettings settings = read();
        EXPECT_FALSE(settings.found) << node;
        EXPECT_EQ(settings.problem, "KORVAL_NODE=\"" + std::string(node) +
                                        "\" is not a node id from 1 to 127, or 0 for every node");
    }
    variables["KORVAL_NODE"] = "005";
    EXPECT_EQ(read().nodeId, 5);
}

TEST_F(GatewaySettingsTest, AFileThatCannotBeReadIsNamed) {
    std::filesystem::create_directories(home + "/.config/korval/gateway");
    EXPECT_EQ(read().problem, "Cannot read " + home + "/.config/korval/gateway: Is a directory");
}
