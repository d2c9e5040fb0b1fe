#include "platform/process_starter.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "support/shop_fixture.h"

namespace cassasync::platform {
namespace {

namespace fs = std::filesystem;

std::string read_all(const fs::path& p) { return testing::read_text_file(p); }

// Polls for a file for at most `limit`; a detached program gives no other signal.
bool wait_for_file(const fs::path& p, std::chrono::seconds limit = std::chrono::seconds(20)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        if (fs::exists(p)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return fs::exists(p);
}

class ProcessStarterTest : public ::testing::Test {
protected:
    fs::path write_file(const std::string& name, const std::string& text, fs::perms perms) {
        const fs::path p = dir() / name;
        std::ofstream(p) << text;
        fs::permissions(p, perms);
        return p;
    }
    fs::path dir() const { return temp_.path(); }

    cassasync::testing::TempDir temp_;
    PosixProcessStarter starter_;
};

constexpr fs::perms kExecutable = fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec;
constexpr fs::perms kReadOnly = fs::perms::owner_read | fs::perms::owner_write;

TEST_F(ProcessStarterTest, StartsDetachedWithoutWaiting) {
    // A descriptor without close-on-exec, which the program must not inherit.
    const int leaky = ::open(dir().c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(leaky, 3);

    const std::string d = dir().string();
    const std::string script =
        "#!/bin/sh\n"
        "readlink /proc/$$/fd/0 > '" + d + "/stdin.tmp' && mv '" + d + "/stdin.tmp' '" + d + "/stdin'\n"
        "if [ -e /proc/$$/fd/" + std::to_string(leaky) + " ]; then echo leaked; else echo closed; fi"
        " > '" + d + "/leak.tmp' && mv '" + d + "/leak.tmp' '" + d + "/leak'\n"
        "cut -d' ' -f6 /proc/$$/stat > '" + d + "/session.tmp' && mv '" + d + "/session.tmp' '" + d + "/session'\n"
        "echo started > '" + d + "/first'\n"
        "sleep 1\n"
        "echo done > '" + d + "/second'\n";
    const fs::path program = write_file("loader.sh", script, kExecutable);

    const Status status = starter_.start_detached(program);
    const bool second_before_return = fs::exists(dir() / "second");
    // The middle process was reaped and the program is not our child: nothing to wait for.
    errno = 0;
    const pid_t waited = ::waitpid(-1, nullptr, WNOHANG);
    const int wait_errno = errno;
    ::close(leaky);

    ASSERT_TRUE(status.is_ok()) << status.message();
    EXPECT_FALSE(second_before_return) << "start_detached waited for the program";
    EXPECT_EQ(waited, -1);
    EXPECT_EQ(wait_errno, ECHILD);

    ASSERT_TRUE(wait_for_file(dir() / "first")) << "the program never ran";
    EXPECT_EQ(read_all(dir() / "stdin"), "/dev/null\n");
    EXPECT_EQ(read_all(dir() / "leak"), "closed\n");
    EXPECT_NE(read_all(dir() / "session"), std::to_string(::getsid(0)) + "\n") << "still in our session";
    ASSERT_TRUE(wait_for_file(dir() / "second")) << "the program did not run to its end";
    EXPECT_EQ(read_all(dir() / "second"), "done\n");
}

TEST_F(ProcessStarterTest, ReportsWhatCannotBeStarted) {
    fs::create_directory(dir() / "folder");
    struct Case {
        const char* name;
        fs::path program;
        const char* reason;
    };
    const Case cases[] = {
        {"missing file", dir() / "missing.exe", "No such file or directory"},
        {"file without execute permission", write_file("plain.sh", "#!/bin/sh\n", kReadOnly),
         "Permission denied"},
        {"folder", dir() / "folder", "Permission denied"},
        {"not a program", write_file("garbage", "\x01\x02garbage", kExecutable), "Exec format error"},
        {"interpreter missing", write_file("bad.sh", "#!/nonexistent/shell\n", kExecutable),
         "No such file or directory"},
    };
    for (const Case& c : cases) {
        const Status status = starter_.start_detached(c.program);
        ASSERT_FALSE(status.is_ok()) << "case: " << c.name;
        EXPECT_NE(status.message().find(c.program.string()), std::string::npos)
            << "case: " << c.name << ": " << status.message();
        EXPECT_NE(status.message().find(c.reason), std::string::npos)
            << "case: " << c.name << ": " << status.message();
    }
    EXPECT_FALSE(starter_.start_detached("").is_ok());

    errno = 0;
    EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1) << "a failed start left a child behind";
    EXPECT_EQ(errno, ECHILD);
}

TEST_F(ProcessStarterTest, ExecutableFileNeedsAnOrdinaryFileWithPermission) {
    fs::create_directory(dir() / "folder");
    EXPECT_TRUE(is_executable_file(write_file("run.sh", "#!/bin/sh\n", kExecutable)));
    EXPECT_FALSE(is_executable_file(write_file("plain.sh", "#!/bin/sh\n", kReadOnly)));
    EXPECT_FALSE(is_executable_file(dir() / "folder"));
    EXPECT_FALSE(is_executable_file(dir() / "missing"));
    EXPECT_FALSE(is_executable_file(""));
}

}  // namespace
}  // namespace cassasync::platform
