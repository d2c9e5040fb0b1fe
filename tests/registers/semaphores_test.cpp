// The Semafori row shared with a register's own software: the test, take and release
// on real register files.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <optional>
#include <string>
#include <thread>

#include "data/database.h"
#include "registers/semaphores.h"
#include "support/shop_fixture.h"

namespace cassasync::registers {
namespace {

using namespace std::chrono_literals;

class SemaphoresTest : public testing::ShopTest {
protected:
    void SetUp() override {
        add_register(1);
        add_register(2);
        ready();
    }
    void set_flag(const data::Value& v) { register_db(1).execute("UPDATE Semafori SET Flag1 = ?", {v}); }
    data::Value flag_of_row(int row) {
        return register_db(1).scalar("SELECT Flag1 FROM Semafori ORDER BY rowid LIMIT 1 OFFSET ?",
                                     {data::integer(row)});
    }
    std::string flag() { return data::describe(flag_of_row(0)); }
    void damage(int n) {
        std::ofstream out(local(testing::register_path(n)), std::ios::binary | std::ios::trunc);
        out << "this is not a database, only some text that fills the first page of the file";
    }
};

TEST_F(SemaphoresTest, TestTakeAndReleaseFollowTheValueConvention) {
    struct Case {
        const char* name;
        data::Value start;
        int busy;
        const char* after_take;
        const char* after_release;
    };
    const Case cases[] = {
        {"free", data::integer(0), 0, "2", "0"},
        {"held by the register", data::integer(1), 1, "1", "1"},
        {"left over by the service", data::integer(2), 0, "2", "0"},
        {"a foreign value", data::integer(5), 1, "5", "5"},
        {"null", data::kNull, 1, "NULL", "NULL"},
    };
    for (const auto& c : cases) {
        set_flag(c.start);
        EXPECT_EQ(Leggi_Semaforo(*ctx_, 1), c.busy) << c.name;
        EXPECT_EQ(flag(), data::describe(c.start)) << c.name << ": the test writes nothing";
        Prendi_Semaforo(*ctx_, 1);
        EXPECT_EQ(flag(), c.after_take) << c.name;
        set_flag(c.start);
        Rilascia_Semaforo(*ctx_, 1);
        EXPECT_EQ(flag(), c.after_release) << c.name;
    }
    // The full round of a free register.
    set_flag(data::integer(0));
    Prendi_Semaforo(*ctx_, 1);
    EXPECT_EQ(flag(), "2");
    Rilascia_Semaforo(*ctx_, 1);
    EXPECT_EQ(flag(), "0");
    EXPECT_TRUE(log_messages().empty());
}

// The register's own software on its own connection: waits for a free semaphore, takes
// it, keeps it for `keep` (forever when negative) and gives it back.
class RegisterSoftware {
public:
    RegisterSoftware(const std::filesystem::path& file, std::chrono::milliseconds keep)
        : thread_([this, file, keep] {
              data::Database db(file, {.role = data::FileRole::register_share});
              const auto give_up = std::chrono::steady_clock::now() + 5s;
              while (std::chrono::steady_clock::now() < give_up && !stop_) {
                  if (db.execute("UPDATE Semafori SET Flag1 = 1 WHERE Flag1 = 0") == 1) {
                      got_in_ = true;
                      if (keep < 0ms) return;
                      std::this_thread::sleep_for(keep);
                      db.execute("UPDATE Semafori SET Flag1 = 0 WHERE Flag1 = 1");
                      return;
                  }
                  std::this_thread::sleep_for(2ms);
              }
          }) {}
    ~RegisterSoftware() { join(); }
    void join() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
    }
    bool got_in() const { return got_in_; }

private:
    std::atomic<bool> stop_{false};
    std::atomic<bool> got_in_{false};
    std::thread thread_;
};

TEST_F(SemaphoresTest, ABacklogTakesTurnsWithTheRegistersOwnSoftware) {
    const auto file = local(testing::register_path(1));
    set_flag(data::integer(0));
    Prendi_Semaforo(*ctx_, 1);
    {
        // The register gets in during the pause and keeps it longer than the pause: the
        // service waits for it before it goes on.
        SemaphoreTurns turns(*ctx_, 1, {.hold = 0ms, .pause = 50ms, .budget = 10s, .retake_wait = 3s});
        RegisterSoftware till(file, 80ms);
        EXPECT_EQ(flag(), "2");
        EXPECT_EQ(turns.between_batches(), core::BatchTurn::resumed_after_turn);
        till.join();
        EXPECT_TRUE(till.got_in()) << "the register had its turn";
        EXPECT_EQ(flag(), "2") << "taken again once the register gave it back";
        EXPECT_EQ(turns.turns(), 1);
    }
    {
        // The register keeps it: the rest of the backlog waits for the next cycle, and the
        // register's own value is left alone.
        SemaphoreTurns turns(*ctx_, 1, {.hold = 0ms, .pause = 50ms, .budget = 10s, .retake_wait = 100ms});
        RegisterSoftware till(file, -1ms);
        EXPECT_EQ(turns.between_batches(), core::BatchTurn::wait_next_cycle);
        till.join();
        EXPECT_TRUE(till.got_in());
        EXPECT_EQ(flag(), "1");
    }
    {
        // Let go while the service works on what it read: the register comes in during
        // that work, and the semaphore is taken back once it has written.
        set_flag(data::integer(2));
        SemaphoreTurns turns(*ctx_, 1, {.budget = 10s, .retake_wait = 3s});
        ASSERT_TRUE(turns.let_go());
        EXPECT_EQ(flag(), "0");
        RegisterSoftware till(file, 60ms);
        while (!till.got_in()) std::this_thread::sleep_for(1ms);
        EXPECT_EQ(turns.take_back(), core::BatchTurn::resumed_after_turn) << "waits while the register writes";
        till.join();
        EXPECT_EQ(flag(), "2");
        EXPECT_EQ(turns.turns(), 1);
        // Not let go when the cycle's share is used up, when the turns are to happen only
        // between batches, or when the semaphore was never the service's to give.
        EXPECT_FALSE(SemaphoreTurns(*ctx_, 1, {.budget = 0ms}).let_go());
        EXPECT_FALSE(SemaphoreTurns(*ctx_, 1, {.free_while_working = false}).let_go());
        EXPECT_EQ(flag(), "2");
        set_flag(data::integer(1));
        EXPECT_FALSE(SemaphoreTurns(*ctx_, 1).let_go());
        EXPECT_EQ(flag(), "1");
        // A register that keeps it past the wait: the batch cannot be finished this cycle.
        SemaphoreTurns kept(*ctx_, 1, {.retake_wait = 50ms});
        EXPECT_EQ(kept.take_back(), core::BatchTurn::wait_next_cycle);
        EXPECT_EQ(flag(), "1");
    }
    // Within the hold time nothing is let go; past the cycle's share, nothing more is done.
    set_flag(data::integer(2));
    SemaphoreTurns quick(*ctx_, 1, {.hold = 10s});
    EXPECT_EQ(quick.between_batches(), core::BatchTurn::go_on);
    EXPECT_EQ(quick.turns(), 0);
    EXPECT_EQ(flag(), "2");
    SemaphoreTurns spent(*ctx_, 1, {.budget = 0ms});
    EXPECT_EQ(spent.between_batches(), core::BatchTurn::wait_next_cycle);
    EXPECT_EQ(flag(), "2");
    // Held by the register when the steps began (registers 1 to 3 go ahead regardless):
    // there is nothing to let go, and the transfer goes on.
    set_flag(data::integer(1));
    SemaphoreTurns foreign(*ctx_, 1, {.hold = 0ms});
    EXPECT_EQ(foreign.between_batches(), core::BatchTurn::go_on);
    EXPECT_EQ(foreign.turns(), 0);
    EXPECT_EQ(flag(), "1");
}

TEST_F(SemaphoresTest, OnlyTheFirstRowCounts) {
    register_db(1).execute("INSERT INTO Semafori (Flag1) VALUES (1)");
    set_flag(data::integer(0));
    register_db(1).execute("UPDATE Semafori SET Flag1 = 1 WHERE rowid = (SELECT max(rowid) FROM Semafori)");

    EXPECT_EQ(Leggi_Semaforo(*ctx_, 1), 0);
    Prendi_Semaforo(*ctx_, 1);
    EXPECT_EQ(data::describe(flag_of_row(0)), "2");
    EXPECT_EQ(data::describe(flag_of_row(1)), "1");
    Rilascia_Semaforo(*ctx_, 1);
    EXPECT_EQ(data::describe(flag_of_row(0)), "0");
    EXPECT_EQ(data::describe(flag_of_row(1)), "1");

    // First row held by the register, second free: busy, and nothing changes.
    register_db(1).execute("UPDATE Semafori SET Flag1 = 1 WHERE rowid = (SELECT min(rowid) FROM Semafori)");
    register_db(1).execute("UPDATE Semafori SET Flag1 = 0 WHERE rowid = (SELECT max(rowid) FROM Semafori)");
    EXPECT_EQ(Leggi_Semaforo(*ctx_, 1), 1);
    Prendi_Semaforo(*ctx_, 1);
    EXPECT_EQ(data::describe(flag_of_row(0)), "1");
    EXPECT_EQ(data::describe(flag_of_row(1)), "0");
}

TEST_F(SemaphoresTest, AnEmptyTableIsLoggedOncePerOperationAndCountsAsFree) {
    register_db(1).execute("DELETE FROM Semafori");
    EXPECT_EQ(Leggi_Semaforo(*ctx_, 1), 0);
    Prendi_Semaforo(*ctx_, 1);
    Rilascia_Semaforo(*ctx_, 1);
    const std::string line = "-  Semaforo cassa 1 non inizializzato!";
    EXPECT_EQ(log_messages(), (std::vector<std::string>{line, line, line}));
    EXPECT_EQ(testing::count_rows(register_db(1), "Semafori"), 0) << "no row is made up";
}

TEST_F(SemaphoresTest, ReleaseGivesItsErrorsWhereTestAndTakeRaiseThem) {
    damage(2);
    EXPECT_THROW(Leggi_Semaforo(*ctx_, 2), data::DbError);
    EXPECT_THROW(Prendi_Semaforo(*ctx_, 2), data::DbError);
    std::string cause;
    EXPECT_NO_THROW(cause = Rilascia_Semaforo(*ctx_, 2));
    EXPECT_NE(cause.find("not a database"), std::string::npos) << cause;

    ctx_->Percorsi_Casse[3] = "\\\\127.0.0.3\\cassa\\dati.mdb";  // no such file
    EXPECT_THROW(Leggi_Semaforo(*ctx_, 3), data::DbError);
    EXPECT_THROW(Prendi_Semaforo(*ctx_, 3), data::DbError);
    EXPECT_NO_THROW(cause = Rilascia_Semaforo(*ctx_, 3));
    EXPECT_NE(cause.find("does not exist"), std::string::npos) << cause;
    EXPECT_EQ(Rilascia_Semaforo(*ctx_, 1), "") << "released";
    EXPECT_FALSE(std::filesystem::exists(local(ctx_->Percorsi_Casse[3]))) << "a missing register file is not created";
    EXPECT_TRUE(log_messages().empty());
}

}  // namespace
}  // namespace cassasync::registers
