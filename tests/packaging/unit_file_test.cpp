// The systemd unit: the confinement the README promises is the unit's, setting by
// setting; systemd's own rating of it; and the copy `cmake --install` makes.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "support/child_process.h"
#include "support/shop_fixture.h"

namespace cassasync {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Settings = std::map<std::string, std::multiset<std::string>>;

const fs::path kUnit = CASSASYNC_SOURCE_DIR "/packaging/cassasync.service";
const fs::path kReadme = CASSASYNC_SOURCE_DIR "/README.md";
const std::string kCMake = CASSASYNC_CMAKE;
const std::string kPromises = "### What the service may do";

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) out.push_back(line);
    return out;
}

// Every `Key=Value` of the unit; a key given twice keeps both values, as systemd does
// for the lists these keys hold.
Settings unit_settings(const fs::path& unit) {
    Settings out;
    for (const auto& line : lines_of(testing::read_text_file(unit))) {
        if (line.empty() || line[0] == '#' || line[0] == '[') continue;
        const auto eq = line.find('=');
        if (eq == std::string::npos) continue;
        out[line.substr(0, eq)].insert(line.substr(eq + 1));
    }
    return out;
}

// The settings named in the first column of the README's table of promises.
Settings promised_settings() {
    Settings out;
    bool inside = false;
    const std::regex setting("`([A-Za-z]+)=([^`]*)`");
    for (const auto& line : lines_of(testing::read_text_file(kReadme))) {
        if (line.rfind("#", 0) == 0) inside = line == kPromises;
        if (!inside || line.rfind("| `", 0) != 0) continue;
        const std::string first_cell = line.substr(0, line.find('|', 1));
        for (std::sregex_iterator it(first_cell.begin(), first_cell.end(), setting), end; it != end; ++it) {
            out[(*it)[1]].insert((*it)[2]);
        }
    }
    return out;
}

std::string program_on_path(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::istringstream dirs(path ? path : "");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        const fs::path candidate = fs::path(dir) / name;
        if (!dir.empty() && fs::exists(candidate)) return candidate.string();
    }
    return {};
}

TEST(UnitFile, HoldsWhatTheReadmePromises) {
    const Settings promised = promised_settings();
    // A renamed section or a reshaped table would otherwise promise nothing.
    ASSERT_GE(promised.size(), 25u) << "the README's table under \"" << kPromises << "\"";
    const Settings unit = unit_settings(kUnit);
    for (const auto& [key, values] : promised) {
        const auto found = unit.find(key);
        if (found == unit.end()) {
            ADD_FAILURE() << key << " is promised but not in the unit";
            continue;
        }
        // The same values, no more: a second RestrictAddressFamilies= line would widen it.
        EXPECT_EQ(found->second, values) << key;
    }
    // Whatever else limits or grants the service is listed too: an administrator reads
    // the README to learn why the article loader may not write outside the root.
    const std::set<std::string> ordinary = {"Description", "After", "Wants", "RequiresMountsFor", "Type",
                                            "Environment", "WorkingDirectory", "ExecStart", "KillSignal",
                                            "TimeoutStopSec", "Restart", "RestartSec", "SyslogIdentifier",
                                            "WantedBy", "NotifyAccess", "WatchdogSec"};
    for (const auto& [key, values] : unit) {
        EXPECT_TRUE(ordinary.count(key) || promised.count(key)) << key << " is in the unit but not in the README";
    }
}

TEST(UnitFile, TheServiceManagerWaitsForReadyAndWatchesTheCycles) {
    const Settings unit = unit_settings(kUnit);
    EXPECT_EQ(unit.at("Type"), std::multiset<std::string>{"notify"});
    EXPECT_EQ(unit.at("NotifyAccess"), std::multiset<std::string>{"main"});
    ASSERT_EQ(unit.at("WatchdogSec").size(), 1u);
    // Pinged after each cycle: at the default tick a cycle ends about every ten seconds,
    // so the watchdog must allow several, and restart one stuck for minutes.
    const int watchdog = std::stoi(*unit.at("WatchdogSec").begin());
    EXPECT_GE(watchdog, 60);
    EXPECT_LE(watchdog, 600);
    EXPECT_EQ(unit.at("Restart"), std::multiset<std::string>{"on-failure"}) << "a watchdog stop is a failure";
}

TEST(UnitFile, SystemdRatesItsExposureAtMostTwo) {
    const std::string analyze = program_on_path("systemd-analyze");
    if (analyze.empty()) GTEST_SKIP() << "systemd-analyze is not installed here (package systemd)";
    testing::TempDir work;
    testing::ChildOptions streams;
    streams.error = work.path() / "stderr.txt";
    testing::ChildProcess child({analyze, "security", "--offline=true", "--no-pager", kUnit.string()},
                               work.path() / "stdout.txt", streams);
    ASSERT_TRUE(child.wait_for(120s).has_value());
    std::smatch level;
    const std::string report = child.out();
    ASSERT_TRUE(std::regex_search(report, level, std::regex("Overall exposure level for cassasync\\.service: ([0-9.]+)")))
        << report << child.err();
    EXPECT_LE(std::stod(level[1]), 2.0) << report;
}

TEST(UnitFile, CMakeInstallPointsItAtTheInstalledProgram) {
    testing::TempDir prefix;
    const fs::path output = prefix.path() / "install.txt";
    ASSERT_EQ(testing::run_program({kCMake, "--install", CASSASYNC_BINARY_DIR, "--prefix", prefix.path().string()},
                                   output, 120s),
              0)
        << testing::tail_of(output, 20);
    const fs::path installed = prefix.path() / "lib" / "systemd" / "system" / "cassasync.service";
    const fs::path program = prefix.path() / "bin" / "cassasync";
    ASSERT_TRUE(fs::exists(installed));
    EXPECT_TRUE(fs::exists(program));

    // Only ExecStart differs: the confinement goes with every installed copy.
    Settings expected = unit_settings(kUnit);
    expected["ExecStart"] = {program.string() + " --headless"};
    EXPECT_EQ(unit_settings(installed), expected);
}

}  // namespace
}  // namespace cassasync
