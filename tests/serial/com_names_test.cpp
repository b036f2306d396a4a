#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
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

// A device this user may not open is told apart from one that is missing, so that the
// operator hears about the dialout group rather than about a missing adapter.
TEST(DeviceAccess, RefusedOnlyWhenTheDeviceExistsAndItsPermissionsSayNo) {
    namespace fs = std::filesystem;
    std::string folder = (fs::temp_directory_path() / "tarvik-access-XXXXXX").string();
    ASSERT_NE(mkdtemp(folder.data()), nullptr);
    fs::permissions(folder, fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
    const std::string device = folder + "/ttyUSB9";
    std::ofstream(device).put('x');
    ASSERT_EQ(chmod(device.c_str(), S_IRUSR | S_IWUSR), 0);  // crw------- as a device of its owner
    const std::string link = folder + "/com5";
    fs::create_symlink(device, link);

    EXPECT_FALSE(DeviceRefusesUser(device)) << "its owner may open it";
    EXPECT_FALSE(DeviceRefusesUser(link));
    EXPECT_FALSE(DeviceRefusesUser(folder + "/missing")) << "missing is not refused";

    // Anyone else is refused, also through a link. Root passes every permission, so it asks
    // as an unprivileged user in a child process.
    const auto refusedForOthers = [&](const std::string& path) {
        if (geteuid() != 0) {
            chmod(device.c_str(), 0);
            const bool refused = DeviceRefusesUser(path);
            chmod(device.c_str(), S_IRUSR | S_IWUSR);
            return refused;
        }
        constexpr uid_t kNobody = 65534;
        const pid_t child = fork();
        if (child == 0) {
            const bool dropped = setgid(kNobody) == 0 && setuid(kNobody) == 0;
            _exit(dropped && DeviceRefusesUser(path) ? 0 : 1);
        }
        int status = 0;
        waitpid(child, &status, 0);
        return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    };
    EXPECT_TRUE(refusedForOthers(device));
    EXPECT_TRUE(refusedForOthers(link));
    fs::remove_all(folder);
}

}  // namespace
}  // namespace tarvik
