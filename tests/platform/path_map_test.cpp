#include "platform/path_map.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "support/shop_fixture.h"

namespace cassasync::platform {
namespace {

namespace fs = std::filesystem;

class PathMapTest : public ::testing::Test {
protected:
    void SetUp() override {
        make_dir("D/Negozio/Dati");
        make_file("D/Negozio/Dati/dati.mdb");
        make_dir("C/tarvi/bkp");
        make_dir("net/127.0.0.1/Cassa");
        make_file("net/127.0.0.1/Cassa/dati.mdb");
        make_dir("net/cassa1/Share");
        make_dir("C/Dup/Ab");
        make_dir("C/Dup/aB");
        make_dir("tarvi");
    }

    void make_dir(const std::string& relative) { fs::create_directories(root() / relative); }
    void make_file(const std::string& relative) { std::ofstream(root() / relative) << "x"; }
    fs::path root() const { return dir_.path(); }

    cassasync::testing::TempDir dir_;
};

TEST_F(PathMapTest, MapsWindowsFormsOntoTheRoot) {
    struct Case {
        const char* name;
        std::string windows_path;
        std::string expected;  // relative to the root
    };
    const std::vector<Case> cases = {
        {"drive path, every component in another case", R"(D:\NEGOZIO\DATI\DATI.MDB)",
         "D/Negozio/Dati/dati.mdb"},
        {"lower-case drive letter", R"(d:\negozio\dati\dati.mdb)", "D/Negozio/Dati/dati.mdb"},
        {"exact spelling", R"(D:\Negozio\Dati\dati.mdb)", "D/Negozio/Dati/dati.mdb"},
        {"missing file keeps its spelling", R"(C:\TARVI\DATI.MDB)", "C/tarvi/DATI.MDB"},
        {"components after a missing one keep theirs", R"(d:\NEGOZIO\NUOVO\DATI\dati.mdb)",
         "D/Negozio/NUOVO/DATI/dati.mdb"},
        {"missing drive folder", R"(E:\Negozio\dati.mdb)", "E/Negozio/dati.mdb"},
        {"drive alone", "C:", "C"},
        {"drive root", R"(C:\)", "C"},
        {"network path", R"(\\127.0.0.1\CASSA\DATI.MDB)", "net/127.0.0.1/Cassa/dati.mdb"},
        {"network path with forward slashes", "//127.0.0.1/cassa/dati.mdb",
         "net/127.0.0.1/Cassa/dati.mdb"},
        {"host name matched without case", R"(\\CASSA1\share\dati.mdb)", "net/cassa1/Share/dati.mdb"},
        {"unknown host keeps its spelling", R"(\\127.0.0.9\Cassa\dati.mdb)",
         "net/127.0.0.9/Cassa/dati.mdb"},
        {"doubled and mixed separators", R"(D:\\NEGOZIO\\\dati/DATI.mdb)", "D/Negozio/Dati/dati.mdb"},
        {"relative path", R"(TARVI\dati.mdb)", "tarvi/dati.mdb"},
        {"local absolute path stays below the root", "/var/lib/x", "var/lib/x"},
        {"dot-dot cannot leave the root", R"(C:\..\..\etc\passwd)", "C/etc/passwd"},
        {"dot-dot in a relative path", "../../etc/passwd", "etc/passwd"},
        {"dot-dot in a network path", R"(\\..\..\x)", "net/x"},
        {"dot components are dropped", R"(D:\.\Negozio\.\Dati)", "D/Negozio/Dati"},
        {"several case variants: first in sorted order", R"(C:\DUP\AB)", "C/Dup/Ab"},
        {"several case variants: exact spelling wins", R"(C:\Dup\aB)", "C/Dup/aB"},
        {"below an ordinary file", R"(D:\Negozio\Dati\DATI.MDB\x)", "D/Negozio/Dati/dati.mdb/x"},
        {"colon elsewhere is not a drive", R"(ab:\x)", "ab:/x"},
        {"trailing blank of the file name", R"(D:\Negozio\Dati\dati.mdb )", "D/Negozio/Dati/dati.mdb"},
        {"trailing blanks and dots of every component", R"(D:\NEGOZIO. \Dati..\DATI.MDB. .)",
         "D/Negozio/Dati/dati.mdb"},
        {"trailing blank of a network share", R"(\\127.0.0.1\cassa \dati.mdb)", "net/127.0.0.1/Cassa/dati.mdb"},
        {"a missing component loses them too", R"(C:\tarvi\NUOVO. \x.txt )", "C/tarvi/NUOVO/x.txt"},
        {"leading blanks and inner dots stay", R"(C:\ tarvi\a. b.c)", "C/ tarvi/a. b.c"},
        {"dot-dot with a trailing blank cannot leave the root", R"(C:\.. \..  \. \etc\passwd)",
         "C/etc/passwd"},
        {"dots and blanks alone are dropped", R"(C:\...\ . \x)", "C/x"},
    };

    RootPathMap map(root());
    for (const Case& c : cases) {
        EXPECT_EQ(map.to_local(c.windows_path), root() / c.expected)
            << "case: " << c.name << " (" << c.windows_path << ")";
    }
}

TEST_F(PathMapTest, EmptyTextGivesAnEmptyPath) {
    RootPathMap map(root());
    EXPECT_TRUE(map.to_local("").empty());
    // A path ends at its first NUL, as every file call reads it.
    EXPECT_TRUE(map.to_local(std::string("\0C:\\x", 5)).empty());
    EXPECT_EQ(map.to_local(std::string("C:\\a\0b", 6)), root() / "C/a");
}

TEST_F(PathMapTest, FollowsWhatAppearsOnDiskLater) {
    // The map keeps no cache: a folder created after a first lookup is found by the next.
    RootPathMap map(root());
    EXPECT_EQ(map.to_local(R"(C:\TARVI\BKP\LOG.TXT)"), root() / "C/tarvi/bkp/LOG.TXT");
    make_file("C/tarvi/bkp/log.txt");
    EXPECT_EQ(map.to_local(R"(C:\TARVI\BKP\LOG.TXT)"), root() / "C/tarvi/bkp/log.txt");
}

}  // namespace
}  // namespace cassasync::platform
