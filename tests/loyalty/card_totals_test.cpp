#include <sqlite3.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "loyalty/card_fixture.h"
#include "loyalty/card_totals.h"

namespace cassasync::loyalty {
namespace {

using testing::count_rows;

class CardTotalsTest : public CardTest {
protected:
    void SetUp() override {
        add_register(1);
        add_register(2);
        ready();
        mark_log();
    }

    std::int64_t register_customer(data::Database& reg, const std::string& tessera, double totcard) {
        return insert_row(reg, "clienti", {{"tessera", text(tessera)}, {"totcard", data::real(totcard)}});
    }
    double central_total(std::int64_t row) {
        return data::to_double(field(main_db(), "clienti", "totcard", "rowid = ?", {integer(row)}));
    }
    double register_total(data::Database& reg, const std::string& tessera) {
        return data::to_double(field(reg, "clienti", "totcard", "tessera = ?", {text(tessera)}));
    }
    Value central_sel(std::int64_t row) { return field(main_db(), "clienti", "sel", "rowid = ?", {integer(row)}); }
    // Holders 1..count received this cycle ("R"); holder 2 is to be removed ("C").
    void add_received_holders(int count) {
        for (int k = 1; k <= count; ++k) {
            add_holder(std::to_string(k), {{"codcliente", integer(k)},
                                           {"stat_t", text("R")},
                                           {"stato", text(k == 2 ? "C" : "A")}});
        }
    }
    // The pass's one line since the last mark: how many rows it put off and the first cause.
    void expect_put_off_line(const std::string& rows, const std::string& cause) {
        const auto log = new_log();
        ASSERT_EQ(log.size(), 1u) << "said once";
        EXPECT_EQ(log[0].rfind("-  Stato clienti rinviato al prossimo ciclo: " + rows + ": ", 0), 0u) << log[0];
        EXPECT_NE(log[0].find(cause), std::string::npos) << log[0];
    }
    // The pass was put off by a lock: one line saying so, every received row still "R".
    void expect_pass_put_off(int received) {
        expect_put_off_line(std::to_string(received) + " righe", "locked");
        EXPECT_EQ(count_rows(main_db(), "clienti", "stat_t = 'R'"), received) << "every row keeps its mark";
        EXPECT_FALSE(ctx_->databases.central().in_transaction());
    }
    // The next cycle's pass, the lock gone, does every row put off without a line.
    void expect_next_pass_does_them(int received) {
        mark_log();
        Consolida_Stato_Clienti(*ctx_);
        EXPECT_TRUE(new_log().empty());
        EXPECT_EQ(count_rows(main_db(), "clienti", "stat_t = 'T'"), received - 1);
        EXPECT_EQ(count_rows(main_db(), "clienti", "codcliente = 2"), 0);
    }
};

TEST_F(CardTotalsTest, TotalsComeInFromTheRegistersExchangePath) {
    // The totals come through the register's exchange path, which here is a file of
    // its own beside the one the card reads use.
    const std::string exchange = "\\\\127.0.0.2\\cassa\\scambio.mdb";
    std::filesystem::copy_file(local(testing::register_path(2)), local(exchange));
    main_db().execute("UPDATE casse SET percorsoint = ? WHERE numero = 2", {text(exchange)});
    auto& reg = db(exchange);
    register_customer(reg, "A", 12.5);
    register_customer(reg, "B", 0);
    register_customer(reg, "ONLYHERE", 7);
    register_customer(reg, "D", 3);
    register_customer(register_db(2), "D", 99);  // the card tables' file is not read
    register_customer(reg, "CARD5", 6);

    const auto a1 = add_holder("A", {{"totcard", data::real(1)}});
    const auto a2 = add_holder("A", {{"totcard", data::real(2)}});
    const auto b = add_holder("B", {{"totcard", data::real(9)}});
    const auto d = add_holder("D", {{"totcard", data::real(1)}});
    // Stored padded and in lower case: the register's "CARD5" all the same.
    const auto card5 = add_holder("card5        ", {{"totcard", data::real(1)}});

    receive_totals(2);

    EXPECT_EQ(central_total(a1), 12.5);
    EXPECT_EQ(central_total(a2), 2) << "only the first holder of a card";
    EXPECT_EQ(central_total(b), 9) << "a register total of 0 is not copied";
    EXPECT_EQ(central_total(d), 3);
    EXPECT_EQ(central_total(card5), 6);
    EXPECT_EQ(count_rows(main_db(), "clienti"), 5) << "unknown cards are not added";
    EXPECT_TRUE(new_log().empty());

    // An unreachable register gives nothing.
    register_customer(reg, "B", 4);
    pinger_.set_up("127.0.0.2", false);
    receive_totals(2);
    EXPECT_EQ(central_total(b), 9);
    pinger_.set_up("127.0.0.2", true);
    receive_totals(2);
    EXPECT_EQ(central_total(b), 4);
}

TEST_F(CardTotalsTest, MarkedTotalsGoOutAndLoseTheirMarkWhetherTheCardIsThereOrNot) {
    register_customer(register_db(1), "A", 5);
    register_customer(register_db(1), "Q", 1);
    register_customer(register_db(2), "A", 5);
    const auto a = add_holder("A", {{"totcard", data::real(20)}, {"sel", text("X")}});
    const auto missing = add_holder("M", {{"totcard", data::real(30)}, {"sel", text("X")}});
    const auto zero = add_holder("Z", {{"totcard", data::real(0)}, {"sel", text("X")}});
    const auto unmarked = add_holder("Q", {{"totcard", data::real(8)}});
    // Marked by hand in lower case; the register stores the card padded.
    register_customer(register_db(1), "K            ", 1);
    const auto by_hand = add_holder("K", {{"totcard", data::real(40)}, {"sel", text("x")}});

    // Unreachable: the marks stay.
    pinger_.set_up("127.0.0.1", false);
    send_totals();
    EXPECT_EQ(data::to_text(central_sel(a)), "X");
    EXPECT_EQ(register_total(register_db(1), "A"), 5);

    pinger_.set_up("127.0.0.1", true);
    send_totals();
    EXPECT_EQ(register_total(register_db(1), "A"), 20);
    EXPECT_EQ(register_total(register_db(1), "Q"), 1) << "an unmarked total stays home";
    EXPECT_EQ(register_total(register_db(2), "A"), 5) << "register 1 only";
    EXPECT_EQ(register_total(register_db(1), "K            "), 40) << "marked 'x', card without blanks";
    EXPECT_EQ(count_rows(register_db(1), "clienti"), 3) << "a missing card is not added";
    for (auto row : {a, missing, by_hand}) {
        ASSERT_FALSE(data::is_null(central_sel(row)));
        EXPECT_EQ(data::to_text(central_sel(row)), "");
    }
    EXPECT_EQ(data::to_text(central_sel(zero)), "X") << "a total of 0 is not sent";
    EXPECT_TRUE(data::is_null(central_sel(unmarked)));
    EXPECT_TRUE(new_log().empty());
}

TEST_F(CardTotalsTest, AFailingTotalsPassIsLoggedOnceAndTriedAgainInTheNextCycle) {
    register_customer(register_db(2), "A", 12);
    register_customer(register_db(2), "B", 13);
    const auto a = add_holder("A", {{"totcard", data::real(1)}});
    const auto b = add_holder("B", {{"totcard", data::real(1)}});
    main_db().exec(
        "CREATE TRIGGER refuse BEFORE UPDATE OF totcard ON clienti WHEN NEW.tessera = 'B' "
        "BEGIN SELECT RAISE(ABORT, 'refused'); END");
    for (int call = 1; call <= 2; ++call) {
        SCOPED_TRACE("call " + std::to_string(call));
        mark_log();
        EXPECT_NO_THROW(receive_totals(2));
        const auto log = new_log();
        ASSERT_EQ(log.size(), 1u);
        EXPECT_EQ(log[0].rfind("-  Ricezione totali tessere cassa Nr. 2: ", 0), 0u) << log[0];
        EXPECT_NE(log[0].find("refused"), std::string::npos) << log[0];
        EXPECT_EQ(central_total(a), 12) << "copied before the failure";
        EXPECT_EQ(central_total(b), 1);
    }
    main_db().exec("DROP TRIGGER refuse");
    mark_log();
    receive_totals(2);
    EXPECT_TRUE(new_log().empty());
    EXPECT_EQ(central_total(b), 13);

    register_customer(register_db(1), "X", 5);
    const auto x = add_holder("X", {{"totcard", data::real(20)}, {"sel", text("X")}});
    register_db(1).exec("CREATE TRIGGER refuse BEFORE UPDATE ON clienti BEGIN SELECT RAISE(ABORT, 'refused'); END");
    mark_log();
    EXPECT_NO_THROW(send_totals());
    const auto log = new_log();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].rfind("-  Invio totali tessere cassa Nr. 1: ", 0), 0u) << log[0];
    EXPECT_EQ(data::to_text(central_sel(x)), "X") << "the mark stays for the next cycle";
    EXPECT_EQ(register_total(register_db(1), "X"), 5);
    register_db(1).exec("DROP TRIGGER refuse");
    mark_log();
    send_totals();
    EXPECT_TRUE(new_log().empty());
    EXPECT_EQ(register_total(register_db(1), "X"), 20);
    EXPECT_EQ(data::to_text(central_sel(x)), "");
}

TEST_F(CardTotalsTest, TheEndOfCycleClosesReceivedCustomersAndRemovesCancelledOnes) {
    const auto active = add_holder("1", {{"stat_t", text("R")}, {"stato", text("A")}});
    const auto no_state = add_holder("2", {{"stat_t", text("R")}});
    add_holder("3", {{"stat_t", text("R")}, {"stato", text("C")}});
    const auto cancelled_not_received = add_holder("4", {{"stat_t", text("T")}, {"stato", text("C")}});
    const auto untouched = add_holder("5");
    const auto lower_case = add_holder("6", {{"stat_t", text("r")}});

    Consolida_Stato_Clienti(*ctx_);

    auto stat_t = [&](std::int64_t row) {
        return field(main_db(), "clienti", "stat_t", "rowid = ?", {integer(row)});
    };
    EXPECT_EQ(data::to_text(stat_t(active)), "T");
    EXPECT_EQ(data::to_text(stat_t(no_state)), "T");
    EXPECT_EQ(count_rows(main_db(), "clienti", "tessera = '3'"), 0);
    EXPECT_EQ(data::to_text(stat_t(cancelled_not_received)), "T");
    EXPECT_EQ(count_rows(main_db(), "clienti", "tessera = '4'"), 1);
    EXPECT_TRUE(data::is_null(stat_t(untouched)));
    EXPECT_EQ(data::to_text(stat_t(lower_case)), "T") << "received, marked in lower case";
    EXPECT_FALSE(ctx_->databases.central().in_transaction());
}

TEST_F(CardTotalsTest, AFailingStatementInTheEndOfCyclePassIsSkippedFromTheFirstRowOn) {
    for (int k = 1; k <= 6; ++k) {
        add_holder(std::to_string(k), {{"codcliente", integer(k)},
                                       {"stat_t", text("R")},
                                       {"stato", text(k == 3 || k == 4 ? "C" : "A")}});
    }
    main_db().exec(
        "CREATE TRIGGER refuse_update BEFORE UPDATE ON clienti WHEN OLD.codcliente = 1 "
        "BEGIN SELECT RAISE(ABORT, 'refused'); END;"
        "CREATE TRIGGER refuse_delete BEFORE DELETE ON clienti WHEN OLD.codcliente = 4 "
        "BEGIN SELECT RAISE(ABORT, 'refused'); END;");

    EXPECT_NO_THROW(Consolida_Stato_Clienti(*ctx_));

    auto stat_t = [&](int code) {
        return data::to_text(field(main_db(), "clienti", "stat_t", "codcliente = ?", {integer(code)}));
    };
    EXPECT_EQ(stat_t(1), "R") << "the failing first row is skipped";
    EXPECT_EQ(stat_t(2), "T");
    EXPECT_EQ(count_rows(main_db(), "clienti", "codcliente = 3"), 0);
    EXPECT_EQ(stat_t(4), "R") << "the failing delete is skipped";
    EXPECT_EQ(stat_t(5), "T");
    EXPECT_EQ(stat_t(6), "T");
    EXPECT_FALSE(ctx_->databases.central().in_transaction());
    expect_put_off_line("2 righe", "refused");

    // A failure that ends the whole transaction: the rows after it are still done.
    main_db().exec(
        "DROP TRIGGER refuse_update; DROP TRIGGER refuse_delete;"
        "CREATE TRIGGER undo_all BEFORE UPDATE ON clienti WHEN OLD.codcliente = 12 "
        "BEGIN SELECT RAISE(ROLLBACK, 'undone'); END;");
    for (int k = 11; k <= 13; ++k) {
        add_holder(std::to_string(k), {{"codcliente", integer(k)}, {"stat_t", text("R")}});
    }
    mark_log();
    EXPECT_NO_THROW(Consolida_Stato_Clienti(*ctx_));
    EXPECT_EQ(stat_t(12), "R");
    EXPECT_EQ(stat_t(13), "T");
    EXPECT_FALSE(ctx_->databases.central().in_transaction());
    // The rows done before it in the undone transaction wait with it, and are counted.
    for (int code : {1, 11}) EXPECT_EQ(stat_t(code), "R") << code;
    EXPECT_EQ(count_rows(main_db(), "clienti", "codcliente = 4"), 1) << "its delete undone too";
    expect_put_off_line("4 righe", "undone");

    // One row alone: the line says so in the singular, and the next pass does it.
    main_db().exec("DROP TRIGGER undo_all");
    main_db().exec(
        "CREATE TRIGGER refuse_one BEFORE UPDATE ON clienti WHEN OLD.codcliente = 12 "
        "BEGIN SELECT RAISE(ABORT, 'refused'); END;");
    mark_log();
    Consolida_Stato_Clienti(*ctx_);
    for (int code : {1, 11}) EXPECT_EQ(stat_t(code), "T") << code;
    EXPECT_EQ(count_rows(main_db(), "clienti", "codcliente = 4"), 0);
    EXPECT_EQ(stat_t(12), "R");
    expect_put_off_line("1 riga", "refused");
}

TEST_F(CardTotalsTest, WhileAnotherProgramHoldsTheWriteLockTheEndOfCyclePassWaitsOnceAndEnds) {
    add_received_holders(5);
    // Each lock wait is counted and given up at once, instead of lasting the busy timeout.
    sqlite3* central = ctx_->databases.central().handle();
    int waits = 0;
    sqlite3_busy_handler(
        central,
        [](void* count, int tries) {
            if (tries == 0) ++*static_cast<int*>(count);
            return 0;
        },
        &waits);
    main_db().exec("BEGIN IMMEDIATE");

    EXPECT_NO_THROW(Consolida_Stato_Clienti(*ctx_));

    main_db().exec("ROLLBACK");
    EXPECT_EQ(waits, 1);
    expect_pass_put_off(5);

    expect_next_pass_does_them(5);
    sqlite3_busy_timeout(central, 5000);
    EXPECT_EQ(waits, 1) << "the next pass does not wait";
}

TEST_F(CardTotalsTest, ACommitTheEndOfCyclePassCannotMakeIsLoggedAndItsRowsAreDoneNextCycle) {
    add_received_holders(3);
    // Another program reading the main database: the pass writes its rows, but the commit
    // cannot take the file. Each wait is given up at once, instead of lasting the timeout.
    sqlite3* central = ctx_->databases.central().handle();
    sqlite3_busy_handler(central, [](void*, int) { return 0; }, nullptr);
    main_db().exec("BEGIN");
    main_db().exec("SELECT count(*) FROM clienti");

    EXPECT_NO_THROW(Consolida_Stato_Clienti(*ctx_));

    main_db().exec("COMMIT");
    sqlite3_busy_timeout(central, 5000);
    expect_pass_put_off(3);

    expect_next_pass_does_them(3);
}

}  // namespace
}  // namespace cassasync::loyalty
