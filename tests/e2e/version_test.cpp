// The version the programs report: the same for the three programs, the build's own,
// in a form a Debian package version can take; and how cmake/cassasync_version.cmake
// turns a checkout's history (or its absence) into it.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "cassasync_version.h"
#include "support/child_process.h"
#include "support/programs.h"
#include "support/shop_fixture.h"

namespace cassasync {
namespace {

using testing::kServiceProgram;
using testing::kShopProgram;
using testing::kStandInProgram;

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const std::string kScript = CASSASYNC_SOURCE_DIR "/cmake/cassasync_version.cmake";
const std::string kCMake = CASSASYNC_CMAKE;
const std::string kGit = CASSASYNC_GIT;

TEST(ProgramVersion, TheThreeProgramsReportTheBuildsVersion) {
    // The project's VERSION, or after it where the checkout stood: +COUNT.gHASH[.dirty].
    const std::regex form("^" + std::regex_replace(std::string(CASSASYNC_PROJECT_VERSION), std::regex("\\."), "\\.") +
                          "(\\+[0-9]+\\.g[0-9a-f]{7,}(\\.dirty)?)?$");
    EXPECT_TRUE(std::regex_match(std::string(CASSASYNC_VERSION), form)) << CASSASYNC_VERSION;

    testing::TempDir work;
    const std::vector<std::pair<std::string, std::string>> programs = {
        {"cassasync", kServiceProgram},
        {"cassasync-shop", kShopProgram},
        {"cassasync-register", kStandInProgram},
    };
    for (const auto& [name, path] : programs) {
        const fs::path out = work.path() / (name + ".txt");
        EXPECT_EQ(testing::run_program({path, "--version"}, out, 30s), 0) << name;
        EXPECT_EQ(testing::read_text_file(out), name + " " + CASSASYNC_VERSION + "\n") << name;
    }
}

// Runs the version script on a folder as a build would, and gives the version it wrote.
class VersionScriptTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (kGit.empty()) GTEST_SKIP() << "git was not found when the build was configured";
        fs::create_directories(tree_);
        write("a.txt", "one\n");
    }
    void write(const std::string& name, const std::string& text) {
        fs::create_directories((tree_ / name).parent_path());
        std::ofstream(tree_ / name, std::ios::binary) << text;
    }
    // Standard output of a program that must succeed.
    std::string output_of(const std::vector<std::string>& argv) {
        testing::ChildOptions streams;
        streams.error = work_.path() / "stderr.txt";
        streams.truncate = true;
        testing::ChildProcess child(argv, work_.path() / "stdout.txt", streams);
        const auto status = child.wait_for(60s);
        EXPECT_EQ(status.value_or(-1), 0) << argv[0] << " " << argv[1] << ": " << child.err();
        std::string out = child.out();
        while (!out.empty() && out.back() == '\n') out.pop_back();
        return out;
    }
    std::string git(const std::vector<std::string>& args) {
        std::vector<std::string> argv = {kGit, "-C", tree_.string(), "-c", "user.name=cassasync test",
                                         "-c", "user.email=test@localhost", "-c", "init.defaultBranch=main"};
        argv.insert(argv.end(), args.begin(), args.end());
        return output_of(argv);
    }
    std::string short_head() { return git({"rev-parse", "--short=7", "HEAD"}); }
    std::string version_of(const fs::path& source, const std::string& git_program) {
        const fs::path text = work_.path() / "version.txt";
        output_of({kCMake, "-DSOURCE_DIR=" + source.string(), "-DBASE=1.2.3", "-DGIT=" + git_program,
                   "-DTEXT=" + text.string(), "-P", kScript});
        std::string version = testing::read_text_file(text);
        if (!version.empty() && version.back() == '\n') version.pop_back();
        return version;
    }
    std::string version() { return version_of(tree_, kGit); }

    testing::TempDir work_;
    fs::path tree_ = work_.path() / "tree";
};

TEST_F(VersionScriptTest, FollowsTheCheckoutsHistory) {
    EXPECT_EQ(version(), "1.2.3") << "an unpacked tarball: no git";

    git({"init", "-q"});
    EXPECT_EQ(version(), "1.2.3") << "a checkout without a commit";

    git({"add", "a.txt"});
    git({"commit", "-q", "-m", "first"});
    EXPECT_EQ(version(), "1.2.3+1.g" + short_head());

    write("a.txt", "changed\n");
    EXPECT_EQ(version(), "1.2.3+1.g" + short_head() + ".dirty");
    write("untracked.txt", "a build's leftovers\n");
    git({"commit", "-q", "-a", "-m", "second"});
    EXPECT_EQ(version(), "1.2.3+2.g" + short_head()) << "an untracked file is no change";

    git({"tag", "v1.2.3"});
    EXPECT_EQ(version(), "1.2.3") << "the release's own commit";
    git({"tag", "v9.9.9"});
    EXPECT_EQ(version(), "1.2.3") << "only the tag of VERSION counts";

    write("a.txt", "third\n");
    git({"commit", "-q", "-a", "-m", "third"});
    EXPECT_EQ(version(), "1.2.3+1.g" + short_head()) << "counted from the release tag";
    write("a.txt", "fourth\n");
    EXPECT_EQ(version(), "1.2.3+1.g" + short_head() + ".dirty");

    // The same tree built where git is missing.
    EXPECT_EQ(version_of(tree_, ""), "1.2.3");
}

TEST_F(VersionScriptTest, ASourceTreeInsideAnotherCheckoutTakesNoHistory) {
    git({"init", "-q"});
    git({"add", "a.txt"});
    git({"commit", "-q", "-m", "first"});
    write("unpacked/cassasync-1.2.3/CMakeLists.txt", "\n");
    EXPECT_EQ(version_of(tree_ / "unpacked" / "cassasync-1.2.3", kGit), "1.2.3");
}

}  // namespace
}  // namespace cassasync
