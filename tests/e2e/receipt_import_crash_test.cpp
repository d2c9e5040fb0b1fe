// The receipt import killed at random instants: a child process imports a register's
// waiting lines and is killed (SIGKILL) many times, at random moments and right after
// a batch's central commit; the register keeps ringing up lines between the kills.
// After a last uninterrupted run every line has been imported exactly once: as many
// sales rows as lines marked at the register as lines rung up, stock and points moved
// once per line, documents numbered without gaps or repeats, and the shop's reconciliation
// agrees.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "shop/shop_reconcile.h"
#include "support/receipt_fixture.h"
#include "support/shop_fixture.h"

namespace cassasync::sales {
namespace {

using data::Value;
using testing::count_rows;
using testing::kToday;
using testing::kYesterday;

constexpr int kArticles = 60;
constexpr int kFirstLines = 1000;
constexpr int kLinesPerRound = 100;
constexpr int kRounds = 60;
constexpr const char* kBatchLines = "50";
const std::string kCard = "FEDELTA0001  ";

std::string ean_of(int article) {
    std::string digits = std::to_string(article);
    return "80" + std::string(11 - digits.size(), '0') + digits;
}

class ReceiptImportCrashTest : public testing::ShopTest {
protected:
    void SetUp() override {
        add_register(1);
        auto& main = main_db();
        data::Transaction tx(main);
        for (int a = 1; a <= kArticles; ++a) {
            main.execute("INSERT INTO listi01 (codart, desart, przpub, ivart, codrep, cofart) VALUES (?,?,1.0,22,1,0.5)",
                         {Value(std::int64_t{a}), data::text("ARTICOLO " + std::to_string(a))});
            main.execute("INSERT INTO codean (eanare, codare, pezzix) VALUES (?,?,1)",
                         {data::text(ean_of(a)), Value(std::int64_t{a})});
        }
        main.execute("INSERT INTO clienti (codcliente, dsccliente, tessera, punticum, puntisca) VALUES (1,'CLIENTE',?,100,0)",
                     {data::text(kCard)});
        tx.commit();
    }

    // Rings up `count` more lines at register 1, as its software does meanwhile; with
    // `bad_every`, one line in that many has a quantity that is no number, to be held.
    void ring(int count, double day, int bad_every = 0) {
        auto& reg = register_db(1);
        data::Transaction tx(reg);
        for (int i = 0; i < count; ++i) {
            ++rung_;
            const int article = 1 + static_cast<int>(rng_() % kArticles);
            const std::int64_t quantity = 1 + static_cast<std::int64_t>(rng_() % 3);
            if (bad_every > 0 && rung_ % bad_every == 0) {
                reg.execute("INSERT INTO movimenti (bflag3, aggiornogiacenza, bdator, bora, bnumer, eanrig, descrizione,"
                            " quantita, prezzo, totrig, codrep, tiporecord, numcassa) VALUES"
                            " ('S','N',?,?,?,?,'ART','tre',1,3,1,1,1)",
                            {Value(day), Value(0.0001 * rung_), Value(std::int64_t{rung_}), data::text(ean_of(article))});
                bad_[rung_] = article;
                continue;
            }
            if (rung_ % 10 == 0) {
                // A points line for the card on the receipt.
                reg.execute("INSERT INTO movimenti (bflag3, aggiornogiacenza, bdator, bora, bnumer, eanrig, descrizione,"
                            " quantita, totrig, codrep, tiporecord, numcassa, tessera) VALUES"
                            " ('S','N',?,?,?,?,'PUNTI',?,0,1,23,1,?)",
                            {Value(day), Value(0.0001 * rung_), Value(std::int64_t{rung_}), data::text(""),
                             Value(quantity), data::text(kCard)});
                points_ += quantity;
                ++point_lines_;
                continue;
            }
            reg.execute("INSERT INTO movimenti (bflag3, aggiornogiacenza, bdator, bora, bnumer, eanrig, descrizione,"
                        " quantita, prezzo, totrig, codrep, tiporecord, numcassa) VALUES ('S','N',?,?,?,?,'ART',?,1,?,1,1,1)",
                        {Value(day), Value(0.0001 * rung_), Value(std::int64_t{rung_}), data::text(ean_of(article)),
                         Value(quantity), Value(static_cast<double>(quantity))});
            sold_[article] += quantity;
        }
        tx.commit();
    }

    pid_t spawn(const std::vector<std::string>& extra) {
        std::vector<std::string> args{CASSASYNC_CRASH_CHILD, root_.path().string(), "--batch-lines", kBatchLines};
        args.insert(args.end(), extra.begin(), extra.end());
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        const pid_t pid = ::fork();
        if (pid == 0) {
            // Quiet child: its report would interleave with the test output.
            std::freopen("/dev/null", "w", stdout);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        return pid;
    }
    static int wait_for(pid_t pid) {
        int status = 0;
        ::waitpid(pid, &status, 0);
        return status;
    }

    // One round of kills: every third round a kill right after a batch's central commit,
    // else a kill at a random instant within `window_`, which follows how long an
    // uninterrupted run takes on this machine, so that kills land while the import works,
    // fast machine or slow.
    void kill_round(int round) {
        if (round % 3 == 2) {
            const std::string batch = std::to_string(1 + rng_() % 4);
            const int status = wait_for(spawn({"--die-after-commit", batch}));
            if (WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) ++killed_after_commit_;
            else ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
        } else {
            const auto started = std::chrono::steady_clock::now();
            const pid_t pid = spawn({});
            std::this_thread::sleep_for(std::chrono::microseconds(rng_() % static_cast<unsigned>(window_.count())));
            ::kill(pid, SIGKILL);
            const int status = wait_for(pid);
            if (WIFSIGNALED(status)) {
                ++killed_;
            } else {
                ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
                // It finished before the kill: aim within its running time next time.
                const auto took = std::chrono::duration_cast<std::chrono::microseconds>(
                    std::chrono::steady_clock::now() - started);
                window_ = std::max<std::chrono::microseconds>(std::chrono::milliseconds(5), took * 9 / 10);
            }
        }
    }

    std::mt19937 rng_{std::random_device{}()};
    std::int64_t rung_ = 0;
    std::int64_t points_ = 0;
    std::int64_t point_lines_ = 0;
    std::map<int, std::int64_t> sold_;
    std::map<std::int64_t, int> bad_;  // receipt number of a line to be held -> its article
    std::chrono::microseconds window_ = std::chrono::milliseconds(150);
    int killed_ = 0;
    int killed_after_commit_ = 0;
};

TEST_F(ReceiptImportCrashTest, EveryLineIsImportedExactlyOnceWhateverTheInstantOfTheKill) {
    const auto seed = std::random_device{}();
    rng_.seed(seed);
    SCOPED_TRACE("seed " + std::to_string(seed));
    ring(kFirstLines / 2, kYesterday);
    ring(kFirstLines / 2, kToday);

    int killed = 0;
    int killed_after_commit = 0;
    // Kills are drawn within a window that follows how long an uninterrupted run takes
    // on this machine, so that they land while the import works, fast machine or slow.
    std::chrono::microseconds window = std::chrono::milliseconds(150);
    for (int round = 0; round < kRounds; ++round) {
        if (round % 3 == 2) {
            const std::string batch = std::to_string(1 + rng_() % 4);
            const int status = wait_for(spawn({"--die-after-commit", batch}));
            if (WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) ++killed_after_commit;
            else ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
        } else {
            const auto started = std::chrono::steady_clock::now();
            const pid_t pid = spawn({});
            std::this_thread::sleep_for(std::chrono::microseconds(rng_() % static_cast<unsigned>(window.count())));
            ::kill(pid, SIGKILL);
            const int status = wait_for(pid);
            if (WIFSIGNALED(status)) {
                ++killed;
            } else {
                ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
                // It finished before the kill: aim within its running time next time.
                const auto took = std::chrono::duration_cast<std::chrono::microseconds>(
                    std::chrono::steady_clock::now() - started);
                window = std::max<std::chrono::microseconds>(std::chrono::milliseconds(5), took * 9 / 10);
            }
        }
        ring(kLinesPerRound, kToday);
    }
    const int status = wait_for(spawn({}));
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the last run failed, status " << status;
    std::printf("%lld lines, %d random kills, %d kills between the two commits\n", static_cast<long long>(rung_), killed,
                killed_after_commit);
    // How many kills land depends on the machine's load; a few of each kind are enough
    // for the counts below to mean something.
    EXPECT_GE(killed, 3) << "the kills should land while the import runs";
    EXPECT_GE(killed_after_commit, 2);

    EXPECT_EQ(count_rows(register_db(1), "movimenti"), rung_);
    EXPECT_EQ(count_rows(register_db(1), "movimenti", "aggiornogiacenza='S'"), rung_);
    EXPECT_EQ(count_rows(sales_db(), "venmo"), rung_);
    EXPECT_EQ(count_rows(main_db(), "registro_trasferimenti"), 0);
    // Each receipt line (bnumer) is one sales row.
    EXPECT_EQ(data::to_int(sales_db().scalar("SELECT count(DISTINCT numsco) FROM venmo")), rung_);

    // Two documents (yesterday, today), rows numbered 1..n without gaps.
    EXPECT_EQ(count_rows(sales_db(), "vente"), 2);
    auto& st = sales_db().prepare("SELECT bnumer, count(*), min(bns), max(bns) FROM venmo GROUP BY bnumer");
    int documents = 0;
    while (st.step()) {
        ++documents;
        EXPECT_EQ(data::to_int(st.column(2)), 1);
        EXPECT_EQ(data::to_int(st.column(3)), data::to_int(st.column(1))) << "document " << data::to_int(st.column(0));
    }
    st.reset();
    EXPECT_EQ(documents, 2);
    EXPECT_EQ(data::to_int(main_db().scalar("SELECT ultnum FROM numeri WHERE anno=2026 AND tipo='VE'")), 2)
        << "no number was taken twice";

    for (int a = 1; a <= kArticles; ++a) {
        const auto sold = static_cast<double>(sold_[a]);
        EXPECT_DOUBLE_EQ(data::to_double(main_db().scalar("SELECT qven FROM listi01 WHERE codart=?", {Value(std::int64_t{a})})), sold)
            << "article " << a;
        EXPECT_DOUBLE_EQ(data::to_double(main_db().scalar("SELECT even FROM codean WHERE codare=?", {Value(std::int64_t{a})})), sold)
            << "barcode of article " << a;
    }
    EXPECT_EQ(data::to_int(main_db().scalar("SELECT punticum FROM clienti")), 100 + points_);
    EXPECT_EQ(count_rows(loyalty_db(), "movtessere"), point_lines_);

    // The shop's own reconciliation, as `cassasync-shop reconcile` runs it, agrees on
    // both days: every line found once by its own keys, amounts and points matching.
    std::int64_t reconciled_points = 0;
    for (const double day : {kYesterday, kToday}) {
        SCOPED_TRACE("day " + std::to_string(static_cast<long>(day)));
        const auto result = shop::reconcile_shop(paths_, static_cast<long>(day));
        ASSERT_TRUE(result.status) << result.status.message();
        ASSERT_EQ(result.registers.size(), 1u);
        const auto& check = result.registers[0];
        std::string differences;
        for (const auto& d : check.differences) differences += d + "\n";
        EXPECT_EQ(check.verdict, Verdict::agrees) << differences;
        EXPECT_EQ(result.exit_code(), 0);
        EXPECT_EQ(check.waiting_lines, 0);
        EXPECT_EQ(check.imported_lines, count_rows(register_db(1), "movimenti", "bdator = ?", {Value(day)}));
        EXPECT_EQ(check.sales_rows, check.imported_lines);
        reconciled_points += check.journal_points;
    }
    EXPECT_EQ(reconciled_points, points_);
}

// The same kills with held lines among the waiting ones, some of them mended at the
// register between two kills: every line that can be taken is taken exactly once, a mended
// line too, and every line still bad is held, once, and untouched at the register.
TEST_F(ReceiptImportCrashTest, WithHeldLinesPresentEachLineIsTakenOnceOrStillHeld) {
    constexpr int kBadEvery = 23;
    constexpr int kHeldRounds = 24;
    const auto seed = std::random_device{}();
    rng_.seed(seed);
    SCOPED_TRACE("seed " + std::to_string(seed));
    ring(kFirstLines / 2, kYesterday, kBadEvery);
    ring(kFirstLines / 2, kToday, kBadEvery);

    std::map<std::int64_t, int> mended;
    for (int round = 0; round < kHeldRounds; ++round) {
        ASSERT_NO_FATAL_FAILURE(kill_round(round));
        // Now and then the register mends a held line: its quantity becomes 1.
        if (round % 4 == 1) {
            for (const auto& [receipt, article] : bad_) {
                if (mended.count(receipt) || rng_() % 3 != 0) continue;
                register_db(1).execute("UPDATE movimenti SET quantita = 1 WHERE bnumer = ?", {Value(receipt)});
                mended[receipt] = article;
                sold_[article] += 1;
            }
        }
        ring(kLinesPerRound, kToday, kBadEvery);
    }
    const int status = wait_for(spawn({}));
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the last run failed, status " << status;
    std::printf("%lld lines, %zu of them bad, %zu mended, %d random kills, %d kills between the two commits\n",
                static_cast<long long>(rung_), bad_.size(), mended.size(), killed_, killed_after_commit_);
    EXPECT_GE(killed_, 3) << "the kills should land while the import runs";
    EXPECT_GE(killed_after_commit_, 2);
    ASSERT_FALSE(mended.empty());
    const auto still_bad = static_cast<std::int64_t>(bad_.size() - mended.size());
    ASSERT_GT(still_bad, 0);

    EXPECT_EQ(count_rows(register_db(1), "movimenti"), rung_);
    EXPECT_EQ(count_rows(register_db(1), "movimenti", "aggiornogiacenza='S'"), rung_ - still_bad);
    EXPECT_EQ(count_rows(sales_db(), "venmo"), rung_ - still_bad);
    EXPECT_EQ(data::to_int(sales_db().scalar("SELECT count(DISTINCT numsco) FROM venmo")), rung_ - still_bad)
        << "each line taken is one sales row";
    EXPECT_EQ(count_rows(main_db(), "registro_trasferimenti"), 0);
    EXPECT_EQ(count_rows(main_db(), "righe_trattenute"), still_bad) << "the ledger and the held table never share a line";
    for (const auto& [receipt, article] : bad_) {
        const bool is_mended = mended.count(receipt) > 0;
        SCOPED_TRACE("receipt " + std::to_string(receipt) + (is_mended ? " (mended)" : " (still bad)"));
        const Value key = register_db(1).scalar("SELECT id FROM movimenti WHERE bnumer = ?", {Value(receipt)});
        EXPECT_EQ(count_rows(sales_db(), "venmo", "numsco = ?", {Value(receipt)}), is_mended ? 1 : 0);
        EXPECT_EQ(count_rows(main_db(), "righe_trattenute", "chiave = ?", {key}), is_mended ? 0 : 1);
        EXPECT_EQ(data::to_text(register_db(1).scalar("SELECT aggiornogiacenza FROM movimenti WHERE id = ?", {key})),
                  is_mended ? "S" : "N");
    }
    auto& st = sales_db().prepare("SELECT bnumer, count(*), min(bns), max(bns) FROM venmo GROUP BY bnumer");
    while (st.step()) {
        EXPECT_EQ(data::to_int(st.column(2)), 1);
        EXPECT_EQ(data::to_int(st.column(3)), data::to_int(st.column(1))) << "document " << data::to_int(st.column(0));
    }
    st.reset();
    for (int a = 1; a <= kArticles; ++a) {
        EXPECT_DOUBLE_EQ(data::to_double(main_db().scalar("SELECT qven FROM listi01 WHERE codart=?", {Value(std::int64_t{a})})),
                         static_cast<double>(sold_[a]))
            << "article " << a;
    }
    EXPECT_EQ(data::to_int(main_db().scalar("SELECT punticum FROM clienti")), 100 + points_);
}

}  // namespace
}  // namespace cassasync::sales
