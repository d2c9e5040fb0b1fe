#include <sqlite3.h>

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>

#include "data/database.h"
#include "data/journal_vfs.h"
#include "support/shop_fixture.h"

namespace cassasync::data {
namespace {

// A file whose rows spread over a few thousand pages, so that changing every row
// journals far more than the layer holds at once.
class JournalLayerTest : public ::testing::Test {
protected:
    static constexpr int kRows = 3000;

    void SetUp() override {
        OpenOptions o;
        o.create = true;
        Database db(file(), o);
        db.exec("PRAGMA page_size=1024; CREATE TABLE t (k INTEGER PRIMARY KEY, v INTEGER, pad TEXT)");
        Transaction tx(db);
        for (int k = 1; k <= kRows; ++k) {
            db.execute("INSERT INTO t (k, v, pad) VALUES (?, ?, ?)",
                       {Value(std::int64_t{k}), Value(std::int64_t{k}), Value(std::string(300, 'x'))});
        }
        tx.commit();
    }

    std::filesystem::path file() const { return dir_.path() / "data.mdb"; }
    std::filesystem::path journal() const { return dir_.path() / "data.mdb-journal"; }
    static std::int64_t sum(Database& db) { return to_int(db.scalar("SELECT sum(v) FROM t")); }
    static std::int64_t original_sum() { return std::int64_t{kRows} * (kRows + 1) / 2; }

    testing::TempDir dir_;
};

TEST_F(JournalLayerTest, ConnectionsWriteTheirJournalsThroughTheLayer) {
    Database db(file());
    sqlite3_vfs* vfs = nullptr;
    ASSERT_EQ(sqlite3_file_control(db.handle(), "main", SQLITE_FCNTL_VFS_POINTER, &vfs), SQLITE_OK);
    ASSERT_NE(vfs, nullptr);
    EXPECT_STREQ(vfs->zName, buffered_journal_vfs());
    EXPECT_EQ(to_int(db.scalar("PRAGMA synchronous")), 2) << "commits are synced in full";

    // A committed change of every row, then a rollback of another one: the rollback reads
    // the journal back, so what the layer held must be there.
    {
        Transaction tx(db);
        db.execute("UPDATE t SET v = v + 1");
        tx.commit();
    }
    EXPECT_EQ(sum(db), original_sum() + kRows);
    {
        Transaction tx(db);
        db.execute("UPDATE t SET v = 0, pad = ?", {Value(std::string(200, 'y'))});
        EXPECT_EQ(sum(db), 0);
    }
    EXPECT_EQ(sum(db), original_sum() + kRows);
    EXPECT_EQ(to_text(db.scalar("PRAGMA integrity_check")), "ok");
    EXPECT_FALSE(std::filesystem::exists(journal())) << "no journal left behind";
}

TEST_F(JournalLayerTest, SavepointsRollBackWithinALargeTransaction) {
    Database db(file());
    db.exec("PRAGMA cache_size=20");  // pages leave the cache and come back from the file
    Transaction tx(db);
    db.execute("UPDATE t SET v = v * 2");
    db.exec("SAVEPOINT half");
    db.execute("UPDATE t SET v = -1, pad = ?", {Value(std::string(250, 'z'))});
    EXPECT_EQ(sum(db), -kRows);
    db.exec("ROLLBACK TO half");
    db.exec("RELEASE half");
    EXPECT_EQ(sum(db), 2 * original_sum());
    tx.commit();
    EXPECT_EQ(sum(db), 2 * original_sum());
    EXPECT_EQ(to_text(db.scalar("PRAGMA integrity_check")), "ok");
}

TEST_F(JournalLayerTest, AProcessThatDiesMidTransactionLeavesAJournalThatRestoresTheFile) {
    // The child changes every row with a tiny cache: changed pages are written to the
    // database file before the commit, which SQLite allows only once the journal holding
    // their old content is on disk. Then it dies without committing.
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        try {
            Database db(file());
            db.exec("PRAGMA cache_size=10; BEGIN IMMEDIATE");
            db.execute("UPDATE t SET v = 0, pad = ?", {Value(std::string(280, 'q'))});
            ::_exit(0);  // no commit, no rollback, no close
        } catch (...) {
            ::_exit(3);
        }
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 0);
    ASSERT_TRUE(std::filesystem::exists(journal())) << "the dead process left its journal";

    {
        // The database file alone holds changed pages: the journal is what mends it.
        std::filesystem::copy_file(file(), dir_.path() / "alone.mdb");
        Database alone(dir_.path() / "alone.mdb");
        EXPECT_NE(to_int(alone.scalar("SELECT count(*) FROM t WHERE v = 0")), 0)
            << "the child never wrote a changed page early: the test proves nothing";
    }
    Database db(file());
    EXPECT_EQ(sum(db), original_sum());
    EXPECT_EQ(to_int(db.scalar("SELECT count(*) FROM t WHERE pad <> ?", {Value(std::string(300, 'x'))})), 0);
    EXPECT_EQ(to_text(db.scalar("PRAGMA integrity_check")), "ok");
}

}  // namespace
}  // namespace cassasync::data
