#include "masterdata/loader_launch.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

#include "core/back_office_paths.h"
#include "support/shop_fixture.h"

namespace cassasync::masterdata {
namespace {

namespace fs = std::filesystem;

class FailingStarter : public platform::ProcessStarter {
public:
    Status start_detached(const fs::path& program) override {
        return Status::error("cannot start " + program.string() + ": Exec format error");
    }
};

class LoaderLaunchTest : public testing::ShopTest {
protected:
    fs::path loader() const { return local(core::kLoaderPath); }
    void write_loader(fs::perms perms) {
        std::ofstream(loader()) << "#!/bin/sh\nexit 0\n";
        fs::permissions(loader(), perms, fs::perm_options::replace);
    }
    FailingStarter failing_;
};

TEST_F(LoaderLaunchTest, StartsOnlyAnExecutableFileAtTheMappedPath) {
    EXPECT_EQ(loader(), root_.path() / "C" / "tarvi" / "qvo_art.exe");

    start_qvo(ctx_->paths, ctx_->starter);
    EXPECT_TRUE(starter_.started.empty()) << "absent: nothing happens";

    fs::create_directory(loader());
    start_qvo(ctx_->paths, ctx_->starter);
    EXPECT_TRUE(starter_.started.empty()) << "a folder is not the loader";
    fs::remove(loader());

    // A loader that is there but cannot run is an error for the caller to report,
    // naming the file and the remedy; nothing is started.
    const auto not_executable = fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                                fs::perms::others_read;
    write_loader(not_executable);
    try {
        start_qvo(ctx_->paths, ctx_->starter);
        ADD_FAILURE() << "mode 0644: no error";
    } catch (const std::runtime_error& e) {
        const std::string text = e.what();
        EXPECT_NE(text.find("article loader"), std::string::npos) << text;
        EXPECT_NE(text.find(loader().string() + " is not executable"), std::string::npos) << text;
        EXPECT_NE(text.find("chmod +x " + loader().string()), std::string::npos) << text;
    }
    EXPECT_TRUE(starter_.started.empty()) << "a file that cannot be executed is not started";

    write_loader(fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec | fs::perms::others_read |
                 fs::perms::others_exec);
    start_qvo(ctx_->paths, ctx_->starter);
    start_qvo(ctx_->paths, ctx_->starter);
    ASSERT_EQ(starter_.started.size(), 2u) << "every call starts it again";
    EXPECT_EQ(starter_.started[0], loader());
}

TEST_F(LoaderLaunchTest, AStartFailureIsRaisedToTheCaller) {
    ctx_ = std::make_unique<frame::Context>(paths_, clock_, pinger_, failing_);
    write_loader(fs::perms::owner_all);
    try {
        start_qvo(ctx_->paths, ctx_->starter);
        FAIL() << "no error";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("Exec format error"), std::string::npos) << e.what();
        EXPECT_NE(std::string(e.what()).find("article loader"), std::string::npos) << e.what();
    }
}

}  // namespace
}  // namespace cassasync::masterdata
