// Super-journals after crashes: a child process commits across an attached file, over
// and over, and is killed (SIGKILL) at random instants. After each kill the files are
// opened as the service opens them (SQLite rolls back the hot journals) and start-up's
// sweep runs: no super-journal is left, and both files hold the same committed rows.
#include "data/super_journals.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "data/database.h"
#include "support/shop_fixture.h"

namespace cassasync::data {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr int kRounds = 120;

class SuperJournalTest : public ::testing::Test {
protected:
    SuperJournalTest() {
        for (const auto& file : {main_, sales_}) {
            OpenOptions options;
            options.create = true;
            Database db(file, options);
            db.exec("CREATE TABLE righe (id INTEGER PRIMARY KEY, testo TEXT)");
        }
    }

    // The central connection as the service makes it: the main file, the other attached.
    std::unique_ptr<Database> open_central() const {
        auto db = std::make_unique<Database>(main_);
        db->attach(sales_, "vendite");
        // Reading both files is what makes SQLite roll back their hot journals.
        db->scalar("SELECT count(*) FROM main.righe");
        db->scalar("SELECT count(*) FROM vendite.righe");
        return db;
    }

    // Commits one row to both files at a time until killed.
    [[noreturn]] void commit_until_killed() const {
        try {
            auto db = open_central();
            std::int64_t id = to_int_or(db->scalar("SELECT coalesce(max(id), 0) FROM main.righe"), 0);
            const Value filler(std::string(3000, 'r'));  // a page or so per file and commit
            for (;;) {
                ++id;
                Transaction tx(*db);
                db->execute("INSERT INTO main.righe (id, testo) VALUES (?, ?)", {Value(id), filler});
                db->execute("INSERT INTO vendite.righe (id, testo) VALUES (?, ?)", {Value(id), filler});
                tx.commit();
            }
        } catch (...) {
            ::_exit(3);
        }
    }

    std::vector<fs::path> super_journals() const {
        std::vector<fs::path> found;
        for (const auto& entry : fs::directory_iterator(dir_.path())) {
            if (entry.path().filename().string().find("-mj") != std::string::npos) found.push_back(entry.path());
        }
        return found;
    }

    testing::TempDir dir_;
    fs::path main_ = dir_.path() / "dati.mdb";
    fs::path sales_ = dir_.path() / "vendite.mdb";
};

TEST_F(SuperJournalTest, NoSuperJournalIsLeftAndTheFilesAgreeWhateverTheInstantOfTheKill) {
    std::mt19937 rng{std::random_device{}()};
    int killed = 0;
    int swept = 0;
    std::int64_t rows = 0;
    for (int round = 0; round < kRounds; ++round) {
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) commit_until_killed();
        std::this_thread::sleep_for(std::chrono::microseconds(2000 + rng() % 30000));
        ::kill(pid, SIGKILL);
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFSIGNALED(status)) << "the child ended by itself, status " << status;
        ++killed;

        auto db = open_central();
        swept += static_cast<int>(remove_orphan_super_journals(main_).size());
        const auto left = super_journals();
        ASSERT_TRUE(left.empty()) << "round " << round << ": " << left.front();
        const auto in_main = to_int_or(db->scalar("SELECT count(*) FROM main.righe"), -1);
        const auto in_sales = to_int_or(db->scalar("SELECT count(*) FROM vendite.righe"), -1);
        ASSERT_EQ(in_main, in_sales) << "round " << round << ": a commit reached one file only";
        ASSERT_EQ(to_int_or(db->scalar("SELECT count(*) FROM main.righe JOIN vendite.righe USING (id)"), -1), in_main)
            << "round " << round;
        ASSERT_GE(in_main, rows) << "round " << round << ": committed rows were lost";
        rows = in_main;
        ASSERT_EQ(to_text(db->scalar("PRAGMA main.integrity_check")), "ok");
        ASSERT_EQ(to_text(db->scalar("PRAGMA vendite.integrity_check")), "ok");
    }
    std::printf("%d kills, %lld rows committed, %d super-journals swept\n", killed, static_cast<long long>(rows), swept);
    EXPECT_GT(rows, 0) << "the kills should land while the child commits";
}

// A super-journal that a hot journal still names is kept (removing it would make SQLite
// take that journal for a stale one and skip its roll-back); one that none names goes.
TEST_F(SuperJournalTest, ASuperJournalAHotJournalNamesIsKept) {
    const fs::path super_journal = dir_.path() / "dati.mdb-mj0A1B2C3D4";
    const fs::path journal = dir_.path() / "dati.mdb-journal";
    {
        std::ofstream out(super_journal, std::ios::binary);
        const std::string listed = journal.string();
        out.write(listed.c_str(), static_cast<std::streamsize>(listed.size() + 1));
    }
    // A journal as SQLite leaves it hot: a header whose first byte is not 0, then the
    // super-journal's name (after a page number), its length, its sum and the magic.
    auto write_journal = [&](unsigned char first) {
        std::string bytes(512, '\0');
        bytes[0] = static_cast<char>(first);
        bytes += std::string(4, '\0');
        const std::string name = super_journal.string();
        bytes += name;
        auto put32 = [&bytes](std::uint32_t v) {
            for (int shift = 24; shift >= 0; shift -= 8) bytes += static_cast<char>((v >> shift) & 0xFF);
        };
        std::uint32_t sum = 0;
        for (char c : name) sum += static_cast<unsigned char>(c);
        put32(static_cast<std::uint32_t>(name.size()));
        put32(sum);
        for (unsigned char m : {0xd9, 0xd5, 0x05, 0xf9, 0x20, 0xa1, 0x63, 0xd7}) bytes += static_cast<char>(m);
        std::ofstream(journal, std::ios::binary | std::ios::trunc) << bytes;
    };

    write_journal(0xd9);
    EXPECT_TRUE(remove_orphan_super_journals(main_).empty());
    EXPECT_TRUE(fs::exists(super_journal)) << "a hot journal still names it";

    // The same journal before its header was written (first byte 0) is never rolled back.
    write_journal(0);
    EXPECT_EQ(remove_orphan_super_journals(main_), std::vector<fs::path>{super_journal});
    EXPECT_FALSE(fs::exists(super_journal));
    EXPECT_TRUE(fs::exists(journal)) << "journals are SQLite's to remove";
}

}  // namespace
}  // namespace cassasync::data
