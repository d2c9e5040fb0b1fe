#include "platform/file_system.h"

#include <gtest/gtest.h>

#include <cerrno>
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
        FileHandle file = open_for_append(log, status);
        ASSERT_TRUE(file) << status.message();
        EXPECT_TRUE(status.is_ok());
        std::fputs("first\r\n", file.get());
    }
    {
        FileHandle file = open_for_append(log, status);
        ASSERT_TRUE(file) << status.message();
        std::fputs("second\r\n", file.get());
    }
    EXPECT_EQ(read_all(log), "first\r\nsecond\r\n");
}

TEST_F(FileSystemTest, OpenForAppendNeverCreatesFolders) {
    const fs::path log = dir() / "bkp" / "logqvo_07122026.txt";
    Status status;
    FileHandle file = open_for_append(log, status);
    EXPECT_FALSE(file);
    ASSERT_FALSE(status.is_ok());
    EXPECT_NE(status.message().find(log.string()), std::string::npos) << status.message();
    EXPECT_NE(status.message().find("No such file or directory"), std::string::npos) << status.message();
    EXPECT_FALSE(fs::exists(dir() / "bkp"));

    // A folder in the file's place is an error too.
    fs::create_directory(dir() / "taken");
    FileHandle on_folder = open_for_append(dir() / "taken", status);
    EXPECT_FALSE(on_folder);
    EXPECT_NE(status.message().find("Is a directory"), std::string::npos) << status.message();
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
