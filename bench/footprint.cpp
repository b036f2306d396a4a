// Footprint: the peak resident memory of tarvik-cli transferring the largest image the tool
// accepts (10 MiB) to an unpaced tarvik-sim, looked at twice to show it has stopped growing,
// and of the window at its start (on an X server of its own when Xvfb is there). No peer: the
// figures are set against the image and buffers the tool must hold.
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "sections.h"

namespace tarvik::bench {
namespace {

constexpr uint32_t kHugeImage = 10 * 1024 * 1024;  // the largest image the tool accepts
constexpr Ms kFootprintFirstLook{5000};
constexpr Ms kFootprintSecondLook{20000};
constexpr Ms kGuiSettle{3000};  // the window is up and idle well before this
constexpr Ms kXServerSettle{1000};

// The peak resident memory of a running process so far (VmHWM), in KiB.
long PeakKiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmHWM:", 0) == 0) {
            return std::strtol(line.c_str() + sizeof "VmHWM:" - 1, nullptr, 10);
        }
    }
    return 0;
}

// Peak memory of the window at start: on an X server of its own when Xvfb is there.
std::pair<std::string, std::string> GuiStart(const std::string& program, const TempFolder& folder) {
    const std::string config = folder.File("config");
    std::filesystem::create_directories(config);
    std::vector<std::pair<std::string, std::string>> env = {{"XDG_CONFIG_HOME", config}};
    std::unique_ptr<Child> xserver;
    std::string how = "offscreen platform";
    if (std::filesystem::exists("/usr/bin/Xvfb")) {
        const std::string display = ":" + std::to_string(90 + getpid() % 9);
        xserver = std::make_unique<Child>("/usr/bin/Xvfb",
                                          std::vector<std::string>{display, "-nolisten", "tcp"});
        std::this_thread::sleep_for(kXServerSettle);
        env.push_back({"DISPLAY", display});
        env.push_back({"QT_QPA_PLATFORM", "xcb"});
        how = "X server (Xvfb)";
    } else {
        env.push_back({"QT_QPA_PLATFORM", "offscreen"});
    }
    Child gui(program, {}, env);
    std::this_thread::sleep_for(kGuiSettle);
    gui.Signal(SIGTERM);
    const std::optional<Usage> usage = gui.Wait(kStopBound);
    if (xserver) {
        xserver->Signal(SIGTERM);
        xserver->Wait(kStopBound);
    }
    return {how, usage ? Format("%.1f MiB", usage->peakKiB / 1024.0) : "-"};
}

}  // namespace

void Footprint(Report& report) {
    report.text << "## Footprint\n\n" << Header({"program", "case", "peak resident", "notes"});
    {
        // The whole image is read in at Start; the transfer itself allocates nothing. A
        // whole 10 MiB transfer takes minutes (2 ms end every reply), so the peak is read
        // a few seconds into it and again later, to show it has stopped growing.
        const std::string imagePath = report.folder.File("huge.bin");
        WriteFile(imagePath, MakeImage(kHugeImage));
        Sim sim(report.options.sim, {});
        Child cli(report.options.cli,
                  {"upgrade", "--port", sim.Path(), "--image", imagePath, "--quiet"});
        std::this_thread::sleep_for(kFootprintFirstLook);
        const long early = PeakKiB(cli.Pid());
        std::this_thread::sleep_for(kFootprintSecondLook - kFootprintFirstLook);
        const long later = PeakKiB(cli.Pid());
        cli.Signal(SIGINT);
        const std::optional<Usage> usage = cli.Wait(kStopBound);
        sim.Stop();
        report.text << Row({"tarvik-cli", "10 MiB image, transferring to an unpaced board",
                            Format("%.1f MiB", (usage ? usage->peakKiB : 0) / 1024.0),
                            "peak " + Format("%.1f MiB", early / 1024.0) + " after " +
                                Format("%.0f s", Seconds(kFootprintFirstLook).count()) + ", " +
                                Format("%.1f MiB", later / 1024.0) + " after " +
                                Format("%.0f s", Seconds(kFootprintSecondLook).count()) +
                                "; then interrupted (exit " +
                                std::to_string(usage ? usage->exitCode : -1) + ")"});
        report.Flush();
    }
    if (!report.options.gui.empty() && std::filesystem::exists(report.options.gui)) {
        const auto [how, peak] = GuiStart(report.options.gui, report.folder);
        report.text << Row({"tarvik", "at start, idle for 3 s", peak, how});
    } else {
        report.text << Row({"tarvik", "not built (TARVIK_BUILD_GUI off)", "", ""});
    }
    report.text << "\n";
    report.Flush();
}

}  // namespace tarvik::bench
