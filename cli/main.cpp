// tarvik-cli: the upgrade engine of the window, driven from a terminal, for scripts and
// production lines. No Qt: it runs where there is no desktop.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>

#include "cli/console.h"
#include "cli/port_table.h"
#include "cli/upgrade_run.h"
#include "station/station_options.h"
#include "tarvik_version.h"

namespace {

using namespace tarvik;
using namespace tarvik::cli;

constexpr const char kDescription[] =
    "Upgrades the firmware of serial relay control boards, as the tarvik window does.\n";

constexpr const char kTimeoutRangeText[] = "0.1 to 86400";

constexpr const char kExitCodes[] =
    "Exit codes: 0 every board succeeded; 1 an upgrade failed; 2 usage error or image\n"
    "rejected; 3 a port could not be opened, or its device went while the board was\n"
    "searched for; 4 no board found within the search time-out;\n"
    "130 interrupted (Ctrl-C or SIGTERM: every port stopped and closed). With --log, a record\n"
    "that could not be written makes the exit code 1.\n"
    "With --repeat: 0 every board recorded succeeded; 1 a board failed, or the log could not\n"
    "be written; Ctrl-C while every port waits for a board is a normal end, during a\n"
    "transfer an interruption (130; that board is recorded as interrupted).";

// --help-all lists the subcommands as --help does, then the options of each under a heading
// of its own ("Options of upgrade:"), laid out as the top level's are, so that the manual
// page made from it has a section per subcommand.
class HelpAllFormatter : public CLI::Formatter {
public:
    std::string make_subcommands(const CLI::App* app, CLI::AppFormatMode mode) const override {
        std::string out = CLI::Formatter::make_subcommands(app, CLI::AppFormatMode::Normal);
        if (mode != CLI::AppFormatMode::All) {
            return out;
        }
        for (const CLI::App* sub : app->get_subcommands({})) {
            const std::vector<const CLI::Option*> options =
                sub->get_options([sub](const CLI::Option* o) {
                    return o->nonpositional() && o != sub->get_help_ptr() &&
                           o != sub->get_help_all_ptr();
                });
            if (!options.empty()) {
                out += make_group("Options of " + sub->get_name(), false, options);
            }
        }
        return out;
    }
};

// A time-out in seconds: a finite number within the accepted range. (A plain range check
// lets "nan" through, and a huge value overflows the milliseconds it becomes.)
CLI::Validator TimeoutSeconds() {
    return CLI::Validator(
        [](std::string& value) -> std::string {
            char* end = nullptr;
            const double seconds = std::strtod(value.c_str(), &end);
            if (end == value.c_str() || *end != '\0' || !std::isfinite(seconds) ||
                seconds < kMinTimeoutSeconds || seconds > kMaxTimeoutSeconds) {
                return value + " is not a number of seconds from " + kTimeoutRangeText;
            }
            return std::string();
        },
        std::string("from ") + kTimeoutRangeText);
}

void AddUpgradeOptions(CLI::App& upgrade, UpgradeOptions& options, double& searchSeconds,
                       double& stallSeconds) {
    upgrade
        .add_option("--port", options.ports,
                    "COM name or device path; repeat it to upgrade several boards at once")
        ->required()
        ->expected(1)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
        ->type_name("PORT");
    upgrade.add_option("--image", options.image, "firmware image (*.bin)")
        ->required()
        ->type_name("FILE");
    upgrade.add_option("--data-bits", options.dataBits, "data bits while searching")
        ->check(CLI::IsMember({7, 8}))
        ->capture_default_str();
    upgrade.add_option("--parity", options.parity, "parity while searching")
        ->check(CLI::IsMember({"none", "odd", "even"}, CLI::ignore_case))
        ->capture_default_str();
    upgrade.add_option("--stop-bits", options.stopBits, "stop bits while searching")
        ->check(CLI::IsMember({"1", "1.5", "2"}))
        ->capture_default_str();
    upgrade.add_option("--baud", options.baud, "baud rate the port is opened with")
        ->check(CLI::Range(kMinBaud, kMaxBaud))
        ->capture_default_str();
    upgrade
        .add_option("--search-timeout", searchSeconds,
                    "give up the device search after SEC seconds (exit 4); default: no bound")
        ->check(TimeoutSeconds())
        ->type_name("SEC");
    upgrade
        .add_option("--stall-timeout", stallSeconds,
                    "end an upgrade that stays stalled (a failure shown, no timer running) for "
                    "SEC seconds (exit 1)")
        ->check(TimeoutSeconds())
        ->type_name("SEC")
        ->capture_default_str();
    upgrade.add_flag("--trace", options.trace,
                     "print every frame sent (->) and received (<-) in hex on standard error");
    upgrade.add_flag("--quiet", options.quiet, "print only the outcome of each port");
    CLI::Option* repeat = upgrade.add_flag(
        "--repeat", options.repeat,
        "production station: on every port, one board after another; after each board wait "
        "for it to go, then search for the next (ends with --count or Ctrl-C)");
    // A station searches until a board comes: a search time-out has no meaning there.
    repeat->excludes(upgrade.get_option("--search-timeout"));
    upgrade.add_option("--count", options.count, "with --repeat: end after N boards on each port")
        ->check(CLI::Range(uint64_t{1}, kMaxStationBoards))
        ->needs(repeat)
        ->type_name("N");
    upgrade
        .add_flag("--stop-on-fail", options.stopOnFail,
                  "with --repeat: after a failure, end once the other ports' boards are done")
        ->needs(repeat);
    upgrade
        .add_flag("--bell", options.bell,
                  "with --repeat: ring the terminal bell once for a success, three times for a "
                  "failure")
        ->needs(repeat);
    upgrade
        .add_option("--log", options.log,
                    "append a record of every board taken to FILE (JSON lines; CSV when FILE "
                    "ends in .csv); exit 2 when it cannot be opened")
        ->type_name("FILE");
}

}  // namespace

int main(int argc, char** argv) {
    PrepareConsole();

    CLI::App app(std::string(kDescription) + PortNamesHelp(), "tarvik-cli");
    app.formatter(std::make_shared<HelpAllFormatter>());
    app.footer(kExitCodes);
    app.set_help_all_flag("--help-all", "print the help of every subcommand and exit");
    app.set_version_flag("--version", std::string("tarvik-cli ") + tarvik::kVersion,
                         "print the version and exit");
    app.require_subcommand(1);

    UpgradeOptions options;
    double searchSeconds = 0;
    double stallSeconds = std::chrono::duration<double>(kDefaultStallTimeout).count();
    CLI::App* upgrade = app.add_subcommand("upgrade", "upgrade the board on every --port");
    AddUpgradeOptions(*upgrade, options, searchSeconds, stallSeconds);
    CLI::App* ports =
        app.add_subcommand("ports", "list every COM name that leads to a present device");

    try {
        // Reversed: CLI11 takes the arguments from the back, without the program's name.
        std::vector<std::string> arguments = Utf8Arguments(argc, argv);
        arguments.erase(arguments.begin());
        std::reverse(arguments.begin(), arguments.end());
        app.parse(arguments);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return kExitUsage;
    }

    if (ports->parsed()) {
        std::fputs(FormatPorts(ListPorts()).c_str(), stdout);
        return kExitOk;
    }
    if (upgrade->count("--search-timeout") > 0) {
        options.searchTimeout = SecondsToMs(searchSeconds);
    }
    options.stallTimeout = SecondsToMs(stallSeconds);
    return RunUpgrade(options);
}
