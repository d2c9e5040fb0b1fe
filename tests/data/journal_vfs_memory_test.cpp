// A program of its own: it replaces the global allocation functions so that a test can
// refuse large blocks, as a process short of memory would.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <new>

#include "data/database.h"
#include "support/shop_fixture.h"

namespace {
std::atomic<std::size_t> refuse_from{0};  // 0: every request is served
}  // namespace

void* operator new(std::size_t n) {
    const std::size_t limit = refuse_from.load(std::memory_order_relaxed);
    if (limit != 0 && n >= limit) throw std::bad_alloc();
    if (void* p = std::malloc(n != 0 ? n : 1)) return p;
    throw std::bad_alloc();
}
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
    try {
        return ::operator new(n);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}
// The replacement new takes its blocks from malloc: free is their match, whatever the
// compiler infers from the operator's name.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
void operator delete(void* p) noexcept { std::free(p); }
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
void operator delete(void* p, std::size_t) noexcept { ::operator delete(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { ::operator delete(p); }

namespace cassasync::data {
namespace {

// While it lives, every request for `bytes` or more fails.
class LargeBlocksRefused {
public:
    explicit LargeBlocksRefused(std::size_t bytes) { refuse_from = bytes; }
    ~LargeBlocksRefused() { refuse_from = 0; }
    LargeBlocksRefused(const LargeBlocksRefused&) = delete;
    LargeBlocksRefused& operator=(const LargeBlocksRefused&) = delete;
};

TEST(JournalLayerMemory, AShortageWhileJournallingFailsTheStatementAndLeavesTheFileAsItWas) {
    constexpr int kRows = 3000;
    constexpr std::int64_t kSum = std::int64_t{kRows} * (kRows + 1) / 2;
    testing::TempDir dir;
    const auto file = dir.path() / "data.mdb";
    {
        OpenOptions o;
        o.create = true;
        Database made(file, o);
        made.exec("PRAGMA page_size=1024; CREATE TABLE t (k INTEGER PRIMARY KEY, v INTEGER, pad TEXT)");
        made.exec("WITH RECURSIVE n(k) AS (SELECT 1 UNION ALL SELECT k + 1 FROM n WHERE k < 3000)"
                  " INSERT INTO t SELECT k, k, printf('%300s', '') FROM n");
    }
    Database db(file);
    ASSERT_EQ(to_int(db.scalar("SELECT sum(v) FROM t")), kSum);

    {
        // The change journals some 450 KiB; the layer cannot hold even 64 KiB of it.
        const LargeBlocksRefused refused(std::size_t{64} << 10);
        Transaction tx(db);
        EXPECT_THROW(db.execute("UPDATE t SET v = v + 1"), DbError);
    }
    EXPECT_FALSE(db.in_transaction());
    EXPECT_EQ(to_int(db.scalar("SELECT sum(v) FROM t")), kSum) << "nothing of the failed change stays";
    EXPECT_EQ(to_text(db.scalar("PRAGMA integrity_check")), "ok");
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "data.mdb-journal"));

    // With memory back, the same connection writes as before.
    {
        Transaction tx(db);
        db.execute("UPDATE t SET v = v + 1");
        tx.commit();
    }
    EXPECT_EQ(to_int(db.scalar("SELECT sum(v) FROM t")), kSum + kRows);
}

}  // namespace
}  // namespace cassasync::data
