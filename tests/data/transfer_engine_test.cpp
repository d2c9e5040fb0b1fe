// The transfer engine on real files: a register's rows taken in batches with their
// ledger entries and marks, a failing row held or ending the run as the plan says, a
// failure of the files ending it with nothing of its batch kept, and the turn between
// batches obeyed.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "data/transfer_engine.h"
#include "support/shop_fixture.h"

namespace cassasync::data {
namespace {

using namespace std::chrono_literals;

constexpr const char* kMark = "UPDATE movimenti SET aggiornogiacenza='S' WHERE id IN (SELECT value FROM json_each(?))";

// Register 2's waiting lines, each taken as one row of a central table; keys in `refused`
// fail as a refused value, the key `disk_full` as a full disk would.
class Lines : public TransferRows {
public:
    Lines(Database& central, Database& reg) : central_(central), reg_(reg) {}
    std::set<std::int64_t> refused;
    std::int64_t disk_full = 0;
    bool checks = false;  // the rows can say whether they are still as read
    std::chrono::milliseconds apply_time{0};  // each row's work lasts at least this
    int reads = 0;
    int abandoned = 0;

    std::size_t read(const std::vector<std::int64_t>& skip, std::size_t limit) override {
        ++reads;
        auto& rs = channel_.query(reg_,
                                  "SELECT id, quantita FROM movimenti WHERE aggiornogiacenza='N' AND id NOT IN "
                                  "(SELECT value FROM json_each(?)) ORDER BY id LIMIT ?",
                                  {key_set(skip), Value(static_cast<std::int64_t>(limit))});
        keys_.clear();
        digests_.clear();
        for (rs.move_first(); !rs.eof(); rs.move_next()) {
            keys_.push_back(rs.integer("id"));
            digests_.push_back(digest_of(rs));
        }
        at_ = 0;
        return keys_.size();
    }
    bool can_check() const override { return checks; }
    bool still_as_read(const std::vector<TransferLedger::Entry>& taken) override {
        std::vector<std::int64_t> keys;
        for (const auto& e : taken) keys.push_back(e.key);
        auto& rs = channel_.query(reg_,
                                  "SELECT id, quantita FROM movimenti WHERE aggiornogiacenza='N' AND id IN "
                                  "(SELECT value FROM json_each(?))",
                                  {key_set(keys)});
        std::size_t same = 0;
        for (rs.move_first(); !rs.eof(); rs.move_next()) {
            for (const auto& e : taken) same += e.key == rs.integer("id") && e.digest == digest_of(rs) ? 1 : 0;
        }
        return same == taken.size();
    }
    void abandon_batch() override { ++abandoned; }
    bool at_end() const override { return at_ >= keys_.size(); }
    void next() override { ++at_; }
    std::int64_t key() const override { return keys_[at_]; }
    std::int64_t digest() const override { return digests_[at_]; }
    std::string name() const override { return "linea " + std::to_string(key()); }
    void apply() override {
        central_.execute("INSERT INTO presi (chiave, impronta) VALUES (?, ?)", {Value(key()), Value(digest())});
        if (refused.count(key())) throw RowRefused("valore rifiutato " + std::to_string(key()));
        if (key() == disk_full) throw DbError::file_failure("database or disk is full");
        std::this_thread::sleep_for(apply_time);
    }
    void mark(const std::vector<TransferLedger::Entry>& taken) override {
        std::vector<std::int64_t> keys;
        for (const auto& e : taken) keys.push_back(e.key);
        TransferLedger::mark_at_register(reg_, kMark, keys);
    }

private:
    Database& central_;
    Database& reg_;
    Channel channel_{"righe"};
    static std::int64_t digest_of(const RecordSet& rs) { return rs.integer("id") * 7 + to_int_or(rs.field("quantita"), 0); }
    std::vector<std::int64_t> keys_;
    std::vector<std::int64_t> digests_;
    std::size_t at_ = 0;
};

class TransferEngineTest : public testing::ShopTest {
protected:
    void SetUp() override {
        add_register(2);
        main_db().exec("CREATE TABLE presi (chiave INTEGER, impronta INTEGER)");
        Transaction tx(register_db(2));
        for (int i = 0; i < 10; ++i) register_db(2).execute("INSERT INTO movimenti (bflag3, aggiornogiacenza) VALUES ('S','N')");
        tx.commit();
    }
    TransferPlan plan(RowFailure on_failure) {
        TransferPlan p;
        p.cassa = 2;
        p.table = "movimenti";
        p.step = "prova";
        p.batch_rows = 3;
        p.on_failure = on_failure;
        p.now = [] { return 46000.5; };
        p.log = [this](const std::string& line) { log_.push_back(line); };
        return p;
    }
    std::int64_t taken() { return testing::count_rows(main_db(), "presi"); }
    std::int64_t marked() { return testing::count_rows(register_db(2), "movimenti", "aggiornogiacenza='S'"); }
    std::int64_t held() { return testing::count_rows(main_db(), "righe_trattenute", "cassa = 2 AND passo = 'prova'"); }
    std::int64_t ledger() { return testing::count_rows(main_db(), "registro_trasferimenti"); }
    void reset_lines() {
        main_db().exec("DELETE FROM presi");
        register_db(2).exec("UPDATE movimenti SET aggiornogiacenza='N', quantita=NULL");
    }
    std::vector<std::string> log_;
};

TEST_F(TransferEngineTest, FailingRowsAreHeldOrEndTheRunAsThePlanSays) {
    struct Case {
        const char* what;
        RowFailure policy;
        std::set<std::int64_t> refused;
        std::int64_t disk_full;
        bool raises;
        std::int64_t taken, held;
    };
    const std::vector<Case> cases{
        {"held, the others flow", RowFailure::hold, {2, 7}, 0, false, 8, 2},
        {"a whole batch held", RowFailure::hold, {4, 5, 6}, 0, false, 7, 3},
        {"the run ends after the rows before it", RowFailure::fail_batch, {5}, 0, true, 4, 0},
        {"a full disk ends the run, its batch undone", RowFailure::hold, {}, 5, true, 3, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        main_db().exec("DELETE FROM presi; DELETE FROM righe_trattenute");
        register_db(2).exec("UPDATE movimenti SET aggiornogiacenza='N'");
        log_.clear();
        Lines lines(main_db(), register_db(2));
        lines.refused = c.refused;
        lines.disk_full = c.disk_full;
        TransferEngine engine(main_db(), plan(c.policy));
        if (c.raises) {
            EXPECT_THROW(engine.run(lines), DbError);
        } else {
            const auto figures = engine.run(lines);
            EXPECT_EQ(figures.rows, c.taken);
            EXPECT_EQ(figures.held, c.held);
        }
        EXPECT_EQ(taken(), c.taken) << "a failing row leaves nothing behind";
        EXPECT_EQ(marked(), c.taken) << "exactly the rows taken are marked";
        EXPECT_EQ(held(), c.held);
        EXPECT_EQ(ledger(), 0);
        EXPECT_EQ(log_.size(), static_cast<std::size_t>(c.held));
        for (const auto key : c.refused) {
            if (c.policy != RowFailure::hold) break;
            const std::string line = "Cassa 2, prova: riga " + std::to_string(key) + " (linea " + std::to_string(key) +
                                     ") trattenuta: valore rifiutato " + std::to_string(key);
            EXPECT_EQ(std::count(log_.begin(), log_.end(), line), 1) << line;
        }
    }

    // The held rows of the first kind, tried again once mended: taken once, released, named.
    main_db().exec("DELETE FROM presi; DELETE FROM righe_trattenute");
    register_db(2).exec("UPDATE movimenti SET aggiornogiacenza='N'");
    Lines first(main_db(), register_db(2));
    first.refused = {2, 7};
    TransferEngine(main_db(), plan(RowFailure::hold)).run(first);
    log_.clear();
    Lines mended(main_db(), register_db(2));
    const auto figures = TransferEngine(main_db(), plan(RowFailure::hold)).run(mended);
    EXPECT_EQ(figures.rows, 2);
    EXPECT_EQ(taken(), 10);
    EXPECT_EQ(held(), 0);
    EXPECT_EQ(log_, (std::vector<std::string>{"Cassa 2, prova: riga 2 (linea 2) presa dopo 2 tentativi",
                                              "Cassa 2, prova: riga 7 (linea 7) presa dopo 2 tentativi"}));
}

TEST_F(TransferEngineTest, TheTurnBetweenBatchesIsObeyed) {
    // Stop after the first batch: the rest waits, nothing is lost or half-taken.
    {
        Lines lines(main_db(), register_db(2));
        auto p = plan(RowFailure::hold);
        int asked = 0;
        p.between_batches = [&] { return ++asked == 2 ? Turn::stop : Turn::go_on; };
        const auto figures = TransferEngine(main_db(), p).run(lines);
        EXPECT_TRUE(figures.cut_short);
        EXPECT_EQ(figures.rows, 3);
        EXPECT_EQ(marked(), 3);
        EXPECT_EQ(ledger(), 0);
    }
    // After each turn the waiting rows are read again; every row is still taken once.
    {
        Lines lines(main_db(), register_db(2));
        auto p = plan(RowFailure::hold);
        p.between_batches = [] { return Turn::reread; };
        const auto figures = TransferEngine(main_db(), p).run(lines);
        EXPECT_FALSE(figures.cut_short);
        EXPECT_EQ(figures.rows, 7);
        EXPECT_EQ(figures.batches, 3);
        EXPECT_GE(lines.reads, 4) << "one read per batch and one that finds none";
        EXPECT_EQ(marked(), 10);
        EXPECT_EQ(taken(), 10);
    }
    // A batch worked on with the register held ends at the turns' own time bound; one
    // worked on with the register let go only at the plan's.
    for (const bool let_go : {false, true}) {
        SCOPED_TRACE(let_go ? "let go" : "held");
        reset_lines();
        Lines lines(main_db(), register_db(2));
        lines.checks = true;
        lines.apply_time = 2ms;
        auto p = plan(RowFailure::hold);
        p.batch_time = 1min;
        p.held_batch_time = 1ms;
        p.let_go = [let_go] { return let_go; };
        p.take_back = [] { return Turn::go_on; };
        const auto figures = TransferEngine(main_db(), p).run(lines);
        EXPECT_EQ(figures.rows, 10);
        EXPECT_EQ(figures.batches, let_go ? 4 : 10) << "one row per batch held, three let go";
    }
}

TEST_F(TransferEngineTest, TheRegisterIsLetGoWhileAFullBatchIsAppliedAndAChangedRowIsReadAgain) {
    struct Case {
        const char* what;
        bool let_go;      // the register was the service's to let go
        bool comes_back;  // and it could be taken back
        int change_at;    // at this let-go the register's software changes row 5 (0: never)
        std::int64_t rows;
        int takes_back, abandoned;
        bool cut_short;
    };
    const std::vector<Case> cases{
        // Three full reads of three (the last read, of one row, is applied held).
        {"nothing changed", true, true, 0, 10, 3, 0, false},
        {"row 5 changed during the second batch's work", true, true, 2, 10, 4, 1, false},
        {"not the service's to let go", false, true, 0, 10, 0, 0, false},
        {"the register kept it", true, false, 0, 0, 1, 1, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        reset_lines();
        log_.clear();
        Lines lines(main_db(), register_db(2));
        lines.checks = true;
        auto p = plan(RowFailure::hold);
        int let_go = 0;
        int taken_back = 0;
        p.let_go = [&] {
            if (++let_go == c.change_at) register_db(2).execute("UPDATE movimenti SET quantita = 3 WHERE id = 5");
            return c.let_go;
        };
        p.take_back = [&] {
            ++taken_back;
            return c.comes_back ? Turn::go_on : Turn::stop;
        };
        const auto figures = TransferEngine(main_db(), p).run(lines);
        EXPECT_EQ(figures.rows, c.rows);
        EXPECT_EQ(lines.abandoned, c.abandoned);
        EXPECT_EQ(figures.cut_short, c.cut_short);
        EXPECT_EQ(taken_back, c.takes_back) << "taken back after every batch it was let go for";
        EXPECT_EQ(taken(), c.rows) << "an undone batch leaves nothing behind";
        EXPECT_EQ(marked(), c.rows);
        EXPECT_EQ(ledger(), 0);
        if (c.change_at > 0) {
            EXPECT_EQ(testing::count_rows(main_db(), "presi", "chiave = 5 AND impronta = 38"), 1)
                << "taken once, as the register left it";
            EXPECT_EQ(log_, (std::vector<std::string>{
                                "Cassa 2, prova: partita di 3 righe riletta: una riga e' cambiata alla cassa nel frattempo"}));
        } else {
            EXPECT_TRUE(log_.empty());
        }
    }
    // A failure of the files while the register is let go ends the run, but only once the
    // register is taken back: the steps after this one still work there.
    reset_lines();
    Lines lines(main_db(), register_db(2));
    lines.checks = true;
    lines.disk_full = 5;
    auto p = plan(RowFailure::hold);
    int taken_back = 0;
    p.let_go = [] { return true; };
    p.take_back = [&] {
        ++taken_back;
        return Turn::go_on;
    };
    EXPECT_THROW(TransferEngine(main_db(), p).run(lines), DbError);
    EXPECT_EQ(taken_back, 2) << "after the first batch, and after the failure in the second";
    EXPECT_EQ(taken(), 3);
    EXPECT_EQ(marked(), 3);
}

}  // namespace
}  // namespace cassasync::data
