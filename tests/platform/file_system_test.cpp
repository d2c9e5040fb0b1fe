#include "platform/file_system.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "support/shop_fixture.h"

namespace cassasync::platform {
namespace {

namespace fs = std::filesystem;

std::string read_all(const fs::path& p) { return testing::read_text_file(p); }

std::set<std::string> names_of(const std::vector<fs::path>& paths) {
    std::set<std::string> names;
    for (const fs::path& p : paths) names.insert(p.filename().string());
    return names;
}

class FileSystemTest : public ::testing::Test {
protected:
    void make_file(const std::string& name) { std::ofstream(dir() / name) << name; }
    fs::path dir() const { return temp_.path(); }

    cassasync::testing::TempDir temp_;
};

TEST_F(FileSystemTest, FileExistsOnlyForOrdinaryFiles) {
    make_file("dati.mdb");
    fs::create_directory(dir() / "folder");
    fs::create_symlink(dir() / "dati.mdb", dir() / "link.mdb");
    fs::create_symlink(dir() / "gone.mdb", dir() / "dangling.mdb");

    EXPECT_TRUE(file_exists(dir() / "dati.mdb"));
    EXPECT_TRUE(file_exists(dir() / "link.mdb"));
    EXPECT_FALSE(file_exists(dir() / "DATI.MDB"));  // paths are mapped before they get here
    EXPECT_FALSE(file_exists(dir() / "folder"));
    EXPECT_FALSE(file_exists(dir() / "missing.mdb"));
    EXPECT_FALSE(file_exists(dir() / "dangling.mdb"));
    EXPECT_FALSE(file_exists(dir() / "dati.mdb" / "below"));
    EXPECT_FALSE(file_exists(""));
}

TEST_F(FileSystemTest, MatchesWildcardsWithoutCase) {
    for (const char* name : {"logqvo_07112026.txt", "LOGQVO_08112026.TXT", "logqvo_07122026.txt",
                             "logqvo_7112026.txt", "other.txt", "README", "a.b.c", "abcbc"}) {
        make_file(name);
    }
    // A folder whose name matches is never a match.
    fs::create_directory(dir() / "logqvo_01112026.txt");

    struct Case {
        const char* pattern;
        std::set<std::string> expected;
    };
    const std::vector<Case> cases = {
        {"logqvo_??11????.txt", {"logqvo_07112026.txt", "LOGQVO_08112026.TXT"}},
        {"LOGQVO_*.TXT",
         {"logqvo_07112026.txt", "LOGQVO_08112026.TXT", "logqvo_07122026.txt", "logqvo_7112026.txt"}},
        {"*.txt",
         {"logqvo_07112026.txt", "LOGQVO_08112026.TXT", "logqvo_07122026.txt", "logqvo_7112026.txt",
          "other.txt"}},
        {"readme", {"README"}},
        {"README?", {}},
        {"?EADM?", {"README"}},
        {"*", {"logqvo_07112026.txt", "LOGQVO_08112026.TXT", "logqvo_07122026.txt",
               "logqvo_7112026.txt", "other.txt", "README", "a.b.c", "abcbc"}},
        {"*.*", {"logqvo_07112026.txt", "LOGQVO_08112026.TXT", "logqvo_07122026.txt",
                 "logqvo_7112026.txt", "other.txt", "README", "a.b.c", "abcbc"}},
        {"*.c", {"a.b.c"}},
        {"a*c", {"a.b.c", "abcbc"}},
        {"a*bc", {"abcbc"}},
        {"*b*b*", {"abcbc"}},
        {"*b*c", {"a.b.c", "abcbc"}},
        {"a**c", {"a.b.c", "abcbc"}},
        {"", {}},
        {"nothing*", {}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(names_of(match_files(dir(), c.pattern)), c.expected) << "pattern \"" << c.pattern << "\"";
    }
}

TEST_F(FileSystemTest, MatchReturnsSortedPathsInTheFolderOnly) {
    make_file("b.txt");
    make_file("a.txt");
    fs::create_directory(dir() / "sub");
    std::ofstream(dir() / "sub" / "c.txt") << "c";

    const std::vector<fs::path> found = match_files(dir(), "*.txt");
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0], dir() / "a.txt");
    EXPECT_EQ(found[1], dir() / "b.txt");

    EXPECT_TRUE(match_files(dir() / "missing", "*").empty());
    EXPECT_TRUE(match_files(dir() / "a.txt", "*").empty());
}

TEST_F(FileSystemTest, DeleteMatchingRemovesOnlyMatchingFiles) {
    for (const char* name : {"logqvo_01112026.txt", "LOGQVO_15112026.TXT", "logqvo_07122026.txt", "keep.txt"}) {
        make_file(name);
    }
    fs::create_directory(dir() / "logqvo_02112026.txt");

    EXPECT_EQ(delete_matching(dir(), "logqvo_??11????.txt"), 2);
    EXPECT_FALSE(fs::exists(dir() / "logqvo_01112026.txt"));
    EXPECT_FALSE(fs::exists(dir() / "LOGQVO_15112026.TXT"));
    EXPECT_TRUE(fs::exists(dir() / "logqvo_07122026.txt"));
    EXPECT_TRUE(fs::exists(dir() / "keep.txt"));
    EXPECT_TRUE(fs::is_directory(dir() / "logqvo_02112026.txt"));

    EXPECT_EQ(delete_matching(dir(), "logqvo_??11????.txt"), 0);
    EXPECT_EQ(delete_matching(dir() / "missing", "*"), 0);
}

TEST_F(FileSystemTest, OpenForAppendCreatesThenAppends) {
    const fs::path log = dir() / "logqvo_07122026.txt";
    Status status = Status::error("left over from before");
    {
        AppendFile file = AppendFile::open(log, status);
        ASSERT_TRUE(file) << status.message();
        EXPECT_TRUE(status.is_ok());
        EXPECT_TRUE(file.append("first\r\n").is_ok());
        // Nothing is held back: the line is in the file while the file is still open.
        EXPECT_EQ(read_all(log), "first\r\n");
    }
    {
        AppendFile file = AppendFile::open(log, status);
        ASSERT_TRUE(file) << status.message();
        AppendFile moved = std::move(file);
        EXPECT_FALSE(file);
        EXPECT_FALSE(file.append("lost\r\n").is_ok());
        EXPECT_TRUE(moved.append("second\r\n").is_ok());
    }
    EXPECT_EQ(read_all(log), "first\r\nsecond\r\n");
}

TEST_F(FileSystemTest, OpenForAppendNeverCreatesFolders) {
    const fs::path log = dir() / "bkp" / "logqvo_07122026.txt";
    Status status;
    AppendFile file = AppendFile::open(log, status);
    EXPECT_FALSE(file);
    ASSERT_FALSE(status.is_ok());
    EXPECT_NE(status.message().find(log.string()), std::string::npos) << status.message();
    EXPECT_NE(status.message().find("No such file or directory"), std::string::npos) << status.message();
    EXPECT_FALSE(fs::exists(dir() / "bkp"));

    // A folder in the file's place is an error too.
    fs::create_directory(dir() / "taken");
    AppendFile on_folder = AppendFile::open(dir() / "taken", status);
    EXPECT_FALSE(on_folder);
    EXPECT_NE(status.message().find("Is a directory"), std::string::npos) << status.message();
}

// A file that can take only part of an append (here a file-size limit, which the kernel
// meets with a short write as it does a full disk) keeps none of it: the next append that
// fits follows the last whole one. Run in a child process, whose limit binds no other test.
TEST_F(FileSystemTest, AnAppendThatDoesNotFitIsCutOffWhole) {
    const fs::path log = dir() / "logqvo_07122026.txt";
    const std::string first(60, 'a');
    const std::string too_long(60, 'b');
    const std::string fits(30, 'c');
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{100, 100};
        if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) ::_exit(10);
        Status status;
        AppendFile file = AppendFile::open(log, status);
        if (!file) ::_exit(11);
        if (!file.append(first).is_ok()) ::_exit(12);
        const Status refused = file.append(too_long);
        if (refused.is_ok()) ::_exit(13);
        if (refused.message() != "No space left on device") ::_exit(14);
        if (!file.append(fits).is_ok()) ::_exit(15);
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the child's check that failed (see its exit codes)";
    EXPECT_EQ(read_all(log), first + fits);
}

TEST(ErrnoStatusTest, NamesTheOperationAndTheSystemError) {
    errno = ENOENT;
    const Status missing = errno_status("open /x/y");
    EXPECT_FALSE(missing.is_ok());
    EXPECT_EQ(missing.message(), "open /x/y: No such file or directory");

    errno = EACCES;
    EXPECT_EQ(errno_status("").message(), "Permission denied");
}

}  // namespace
}  // namespace cassasync::platform
