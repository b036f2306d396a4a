#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "scoped_config_home.h"
#include "serial/com_names.h"

namespace tarvik {
namespace {

using testing::ScopedConfigHome;

struct NameCase {
    const char* name;
    std::optional<std::string> device;
};

class ComNames : public ::testing::Test {
protected:
    ScopedConfigHome config;
};

TEST_F(ComNames, FixedMapAndPlainPaths) {
    const NameCase cases[] = {
        {"\\\\.\\COM1", "/dev/ttyS0"},
        {"COM32", "/dev/ttyS31"},
        {"\\\\.\\COM33", "/dev/ttyUSB0"},
        {"COM64", "/dev/ttyUSB31"},
        {"\\\\.\\com65", "/dev/ttyACM0"},  // any letter case
        {"COM96", "/dev/ttyACM31"},
        {"\\\\.\\COM97", std::nullopt},  // COM97..COM256 only through the ports folder
        {"COM256", std::nullopt},
        // Not COM names: used as given.
        {"/dev/pts/7", "/dev/pts/7"},
        {"/dev/serial/by-id/usb-x-if00-port0", "/dev/serial/by-id/usb-x-if00-port0"},
        {"COM257", "COM257"},
        {"COM0", "COM0"},
        {"COM01", "COM01"},
        {"COM3x", "COM3x"},
        {"\\\\.\\COM", "\\\\.\\COM"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ResolveDeviceName(c.name), c.device) << c.name;
    }
}

TEST_F(ComNames, PortsFolderEntryWinsOverTheFixedMap) {
    const auto entry3 = config.linkPort(3, "/dev/pts/99");
    const auto entry200 = config.linkPort(200, "/dev/pts/98");
    EXPECT_EQ(ResolveDeviceName("\\\\.\\COM3"), entry3.string());
    EXPECT_EQ(ResolveDeviceName("\\\\.\\COM200"), entry200.string());
    // Neighbours without an entry keep the fixed map.
    EXPECT_EQ(ResolveDeviceName("\\\\.\\COM4"), "/dev/ttyS3");
    EXPECT_EQ(ResolveDeviceName("\\\\.\\COM201"), std::nullopt);
}

TEST_F(ComNames, DanglingEntryStillWinsSoNoOtherDeviceIsOpened) {
    const auto entry = config.linkPort(33, config.path() / "unplugged-adapter");
    EXPECT_EQ(ResolveDeviceName("COM33"), entry.string());
}

TEST_F(ComNames, ComNumberParsesOnlyComNames) {
    EXPECT_EQ(ComNumber("\\\\.\\COM1"), 1);
    EXPECT_EQ(ComNumber("com256"), 256);
    EXPECT_EQ(ComNumber("COM257"), std::nullopt);
    EXPECT_EQ(ComNumber("COM-1"), std::nullopt);
    EXPECT_EQ(ComNumber("COM 1"), std::nullopt);
    EXPECT_EQ(ComNumber("\\\\.\\LPT1"), std::nullopt);
    EXPECT_EQ(ComNumber(""), std::nullopt);
}

TEST_F(ComNames, ConfigFolderFollowsXdgElseHome) {
    EXPECT_EQ(ConfigFolder(), config.path().string());
    EXPECT_EQ(PortsFolder(), config.portsFolder().string());

    const std::string home = getenv("HOME") != nullptr ? getenv("HOME") : "";
    setenv("HOME", "/home/operator", 1);
    for (const char* ignored : {"", "relative/config"}) {
        setenv("XDG_CONFIG_HOME", ignored, 1);
        EXPECT_EQ(ConfigFolder(), "/home/operator/.config") << '"' << ignored << '"';
    }
    unsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(ConfigFolder(), "/home/operator/.config");
    setenv("HOME", home.c_str(), 1);
}

}  // namespace
}  // namespace tarvik
