// The transfer engine on real files: a register's rows taken in batches with their
// ledger entries and marks, a failing row held or ending the run as the plan says, a
// failure of the files ending it with nothing of its batch kept, and the turn between
// batches obeyed.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "data/transfer_engine.h"
#include "support/shop_fixture.h"

namespace cassasync::data {
namespace {

constexpr const char* kMark = "UPDATE movimenti SET aggiornogiacenza='S' WHERE id IN (SELECT value FROM json_each(?))";

// Register 2's waiting lines, each taken as one row of a central table; keys in `refused`
// fail as a refused value, the key `disk_full` as a full disk would.
class Lines : public TransferRows {
public:
    Lines(Database& central, Database& reg) : central_(central), reg_(reg) {}
    std::set<std::int64_t> refused;
    std::int64_t disk_full = 0;
    int reads = 0;

    std::size_t read(const std::vector<std::int64_t>& skip, std::size_t limit) override {
        ++reads;
        auto& rs = channel_.query(reg_,
                                  "SELECT id FROM movimenti WHERE aggiornogiacenza='N' AND id NOT IN "
                                  "(SELECT value FROM json_each(?)) ORDER BY id LIMIT ?",
                                  {key_set(skip), Value(static_cast<std::int64_t>(limit))});
        keys_.clear();
        for (rs.move_first(); !rs.eof(); rs.move_next()) keys_.push_back(rs.integer("id"));
        at_ = 0;
        return keys_.size();
    }
    bool at_end() const override { return at_ >= keys_.size(); }
    void next() override { ++at_; }
    std::int64_t key() const override { return keys_[at_]; }
    std::int64_t digest() const override { return key() * 7; }
    std::string name() const override { return "linea " + std::to_string(key()); }
    void apply() override {
        central_.execute("INSERT INTO presi (chiave) VALUES (?)", {Value(key())});
        if (refused.count(key())) throw RowRefused("valore rifiutato " + std::to_string(key()));
        if (key() == disk_full) throw DbError::file_failure("database or disk is full");
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
    std::vector<std::int64_t> keys_;
    std::size_t at_ = 0;
};

class TransferEngineTest : public testing::ShopTest {
protected:
    void SetUp() override {
        add_register(2);
        main_db().exec("CREATE TABLE presi (chiave INTEGER)");
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
}

}  // namespace
}  // namespace cassasync::data
