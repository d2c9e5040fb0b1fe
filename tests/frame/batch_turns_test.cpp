// Every intake of a register's rows (receipt lines, register articles, customers, card
// readings) takes a long backlog in turns: between two batches the register's software may
// have its semaphore and change rows still waiting, which are then taken as they now are,
// and once the register's share of the cycle is used up the rest waits for the next cycle.
// One table over the intakes; the receipt import's own sequel (a close that waits for the
// backlog) is in tests/sales/receipt_import_test.cpp. The receipt import also lets the
// register in while it works on a batch it has read, and checks the batch before it
// commits.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "loyalty/card_reads.h"
#include "masterdata/article_sync.h"
#include "masterdata/customer_import.h"
#include "sales/receipt_import.h"
#include "support/receipt_fixture.h"
#include "support/shop_fixture.h"

namespace cassasync::frame {
namespace {

using data::Value;
using testing::count_rows;

// One intake as the table drives it; `k` numbers the rows from 1 in the order they are taken.
struct Intake {
    const char* name;
    int batch;                                    // rows per batch
    // Rows the first batch walks when its first row is held: receipt lines are read a
    // batch at a time, the other intakes' batches count the rows taken.
    int first_walk;
    std::function<void(int k)> add;               // row k waits at register 1
    std::function<void(int k)> spoil;             // row k gets a value it cannot be taken with
    std::function<void(int k)> change;            // the register's software changes row k
    std::function<bool(int k)> changed;           // the central side holds row k's change
    std::function<std::int64_t()> waiting;        // rows still waiting at register 1
    std::function<std::int64_t()> taken;          // rows the central side holds
    std::function<void()> run;                    // the step, once
};

class BatchTurnsTest : public testing::ReceiptTest {
protected:
    void SetUp() override {
        ReceiptTest::SetUp();
        article(1, ean(0), 2.5);
    }
    static std::string ean(int k) { return std::to_string(8000000000000 + k); }
    void execute(data::Database& db, const std::string& sql, int k, const std::string& ean_or_empty = {}) {
        db.execute(sql, {ean_or_empty.empty() ? Value(std::int64_t{k}) : data::text(ean_or_empty)});
    }

    std::vector<Intake> intakes() {
        auto& reg = register_db(1);
        return {
            {"receipt lines", 100, 100,
             [this](int k) { ring({.bnumer = k, .eanrig = ean(0)}); },
             [&](int k) { execute(reg, "UPDATE movimenti SET quantita = 'x' WHERE bnumer = ?", k); },
             [&](int k) { execute(reg, "UPDATE movimenti SET quantita = 3, totrig = 3 WHERE bnumer = ?", k); },
             [this](int k) { return row_number(k, "quantita") == 3; },
             [this] { return waiting(); },
             [this] { return count_rows(sales_db(), "venmo"); },
             [this] {
                 sales::ImportTuning tuning;
                 tuning.batch_lines = 100;
                 tuning.batch_time = std::chrono::minutes(1);
                 sales::Travaso_Scontrini(*ctx_, 1, tuning);
             }},
            {"register articles", 500, 501,
             [&](int k) {
                 execute(reg,
                         "INSERT INTO codean (eanare, desart, przpub, ivart, codrep, tipart, flagagg)"
                         " VALUES (?, 'NUOVO', 2, 22, 1, '0', 'A')",
                         k, ean(k));
             },
             [&](int k) { execute(reg, "UPDATE codean SET eanare = '' WHERE eanare = ?", k, ean(k)); },
             [&](int k) { execute(reg, "UPDATE codean SET przpub = 3.5 WHERE eanare = ?", k, ean(k)); },
             [this](int k) {
                 return data::to_double(main_db().scalar(
                            "SELECT l.przpub FROM listi01 l JOIN codean c ON c.codare = l.codart WHERE c.eanare = ?",
                            {data::text(ean(k))})) == 3.5;
             },
             [&] { return count_rows(reg, "codean", "flagagg = 'A'"); },
             [this] { return count_rows(main_db(), "codean"); },
             [this] { masterdata::Aggiorna_Articoli(*ctx_, 1); }},
            {"customers", 500, 501,
             [&](int k) {
                 execute(reg, "INSERT INTO clienti (codcliente, cognome, nome, flagagg) VALUES (?, 'ROSSI', 'A', 'A')", k);
             },
             [&](int k) { execute(reg, "UPDATE clienti SET codcliente = NULL WHERE codcliente = ?", k); },
             [&](int k) { execute(reg, "UPDATE clienti SET nome = 'NUOVO' WHERE codcliente = ?", k); },
             [this](int k) {
                 return data::to_text(main_db().scalar("SELECT nome FROM clienti WHERE codcliente = ?",
                                                       {Value(std::int64_t{k})})) == "NUOVO";
             },
             [&] { return count_rows(reg, "clienti", "flagagg = 'A'"); },
             [this] { return count_rows(main_db(), "clienti"); },
             [this] { masterdata::Aggiorna_Clienti(*ctx_, 1); }},
            {"card readings", 1000, 1001,
             [&](int k) {
                 testing::insert_row(reg, "cartetxrx",
                                     {{"progressivo", data::integer(k)}, {"tessera", data::text("CARD1")},
                                      {"dcum", data::integer(1)}, {"dutil", data::integer(k)},
                                      {"bdat_scr", data::text("07/12/202609:15:30")}, {"flag", data::integer(1)}});
             },
             [&](int k) { execute(reg, "UPDATE cartetxrx SET dcum = 'abc' WHERE progressivo = ?", k); },
             [&](int k) { execute(reg, "UPDATE cartetxrx SET dcum = 77 WHERE progressivo = ?", k); },
             [this](int k) {
                 return data::to_int_or(main_db().scalar("SELECT dcum FROM cartetxrx WHERE dutil = ?",
                                                         {Value(std::int64_t{k})}), 0) == 77;
             },
             [&] { return count_rows(reg, "cartetxrx", "flag = 1"); },
             [this] { return count_rows(main_db(), "cartetxrx"); },
             [this] { loyalty::Leggi_Tessere_Cassa(*ctx_, 1); }},
        };
    }
};

TEST_F(BatchTurnsTest, EveryIntakeTakesABacklogInTurnsWithinTheRegistersShareOfTheCycle) {
    for (const auto& intake : intakes()) {
        SCOPED_TRACE(intake.name);
        // Three batches' worth: the first row cannot be taken, the first row of the second
        // batch is changed by the register's software during its turn.
        const int rows = 2 * intake.batch + 5;
        const int changed_row = intake.first_walk + 1;
        const int first_run = intake.first_walk - 1 + intake.batch;
        {
            data::Transaction tx(register_db(1));
            for (int k = 1; k <= rows; ++k) intake.add(k);
            intake.spoil(1);
            tx.commit();
        }
        const auto taken_before = intake.taken();
        int asked = 0;
        ctx_->turns.between_batches = [&] {
            switch (++asked) {
                case 1:
                    return core::BatchTurn::go_on;
                case 2:
                    intake.change(changed_row);
                    return core::BatchTurn::resumed_after_turn;
                default:
                    return core::BatchTurn::wait_next_cycle;
            }
        };
        intake.run();

        EXPECT_EQ(asked, 3) << "asked before each of three batches";
        EXPECT_EQ(intake.taken() - taken_before, first_run) << "two batches, the spoilt row held";
        EXPECT_EQ(intake.waiting(), rows - first_run) << "the rest waits for the next cycle";
        EXPECT_TRUE(intake.changed(changed_row)) << "rows are read again after the register's turn";
        EXPECT_EQ(count_rows(main_db(), "righe_trattenute", "cassa = 1 AND tentativi = 1"), 1)
            << "a row held in this run is not tried again after the turn";

        // The next cycle takes the rest; every row is taken once.
        ctx_->turns.between_batches = [] { return core::BatchTurn::go_on; };
        intake.run();
        EXPECT_EQ(intake.taken() - taken_before, rows - 1);
        EXPECT_EQ(intake.waiting(), 1) << "only the held row";
        EXPECT_EQ(count_rows(main_db(), "righe_trattenute", "cassa = 1 AND tentativi = 2"), 1);
        EXPECT_EQ(count_rows(main_db(), "registro_trasferimenti"), 0);
        main_db().execute("DELETE FROM righe_trattenute");
    }
}

TEST_F(BatchTurnsTest, ReceiptLinesChangedWhileTheRegisterWasLetGoAreTakenAsTheyNowAre) {
    // Batches of 100: yesterday's lines, then today's from line 151, so the second batch
    // opens today's document and the third goes on in it. The register's software changes
    // line 120 while the service works on the second batch, and line 250 during the third:
    // each batch is undone whole and read again.
    {
        data::Transaction tx(register_db(1));
        for (int k = 1; k <= 350; ++k) {
            ring({.bdator = k <= 150 ? testing::kYesterday : testing::kToday, .bnumer = k, .eanrig = ean(0)});
        }
        tx.commit();
    }
    int let_go = 0;
    int taken_back = 0;
    ctx_->turns.let_go = [&] {
        const std::map<int, int> changes{{2, 120}, {4, 250}};
        if (const auto change = changes.find(++let_go); change != changes.end()) {
            register_db(1).execute("UPDATE movimenti SET quantita = 3, totrig = 3 WHERE bnumer = ?",
                                   {Value(std::int64_t{change->second})});
        }
        return true;
    };
    ctx_->turns.take_back = [&] {
        ++taken_back;
        return core::BatchTurn::resumed_after_turn;
    };
    sales::ImportTuning tuning;
    tuning.batch_lines = 100;
    tuning.batch_time = std::chrono::minutes(1);
    const auto figures = sales::Travaso_Scontrini(*ctx_, 1, tuning);

    EXPECT_EQ(figures.lines, 350);
    EXPECT_EQ(let_go, 5) << "let go for each full read (the last is not), the changed ones twice";
    EXPECT_EQ(taken_back, let_go);
    EXPECT_EQ(waiting(), 0);
    EXPECT_EQ(count_rows(sales_db(), "venmo"), 350) << "every line once";
    for (const int k : {120, 250}) EXPECT_DOUBLE_EQ(row_number(k, "quantita"), 3) << "line " << k << " as the register left it";
    EXPECT_EQ(count_rows(sales_db(), "vente"), 2) << "one document a day";
    EXPECT_EQ(counter(), 2) << "an undone batch's number is not used up";
    EXPECT_DOUBLE_EQ(data::to_double(article_field(1, "qven")), 354) << "stock counts each line once, as it now is";
    EXPECT_DOUBLE_EQ(data::to_double(article_field(1, "qultven")), 202) << "today's sales";
    for (const auto& [day, rows] : {std::pair{testing::kYesterday, 150}, std::pair{testing::kToday, 200}}) {
        EXPECT_EQ(data::to_int_or(sales_db().scalar("SELECT max(bns) FROM venmo WHERE bdator = ?", {Value(day)}), 0), rows)
            << "row numbers follow on without a gap";
    }
    EXPECT_EQ(count_rows(main_db(), "registro_trasferimenti"), 0);
}

}  // namespace
}  // namespace cassasync::frame
