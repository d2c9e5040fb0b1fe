#include <gtest/gtest.h>

#include "data/transfer_ledger.h"
#include "support/shop_fixture.h"

namespace cassasync::data {
namespace {

class TransferLedgerTest : public testing::ShopTest {
protected:
    void SetUp() override {
        add_register(2);
        for (int i = 0; i < 4; ++i) {
            register_db(2).execute(
                "INSERT INTO movimenti (bflag3, aggiornogiacenza, bnumer) VALUES ('S','N',?)",
                {Value(std::int64_t{i + 1})});
        }
    }
    static constexpr const char* kMark =
        "UPDATE movimenti SET aggiornogiacenza='S' WHERE id IN (SELECT value FROM json_each(?))";
};

TEST_F(TransferLedgerTest, SettleMarksOnlyTheRowsTheLedgerHoldsAndForgetsThem) {
    TransferLedger ledger(main_db());
    {
        Transaction tx(main_db());
        ledger.record(2, "movimenti", 1);
        ledger.record(2, "movimenti", 3);
        ledger.record(3, "movimenti", 2);  // another register's row 2
        tx.commit();
    }
    EXPECT_TRUE(ledger.holds(2, "movimenti", 3));
    EXPECT_FALSE(ledger.holds(2, "movimenti", 2));
    EXPECT_EQ(ledger.settle(register_db(2), 2, "movimenti", kMark), 2);
    EXPECT_EQ(testing::count_rows(register_db(2), "movimenti", "aggiornogiacenza='S'"), 2);
    EXPECT_EQ(testing::count_rows(register_db(2), "movimenti", "aggiornogiacenza='S' AND id IN (1,3)"), 2);
    EXPECT_TRUE(ledger.keys(2, "movimenti").empty());
    EXPECT_EQ(ledger.keys(3, "movimenti"), std::vector<std::int64_t>{2}) << "other registers untouched";
    EXPECT_EQ(ledger.settle(register_db(2), 2, "movimenti", kMark), 0) << "settling twice does nothing";
}

TEST_F(TransferLedgerTest, OneMarkReachesExactlyTheKeysOfItsSet) {
    // Rows 5 to 3004, and one at the very top of the key range.
    {
        Transaction tx(register_db(2));
        for (int i = 0; i < 3000; ++i) {
            register_db(2).execute("INSERT INTO movimenti (bflag3, aggiornogiacenza) VALUES ('S','N')");
        }
        register_db(2).execute(
            "INSERT INTO movimenti (id, bflag3, aggiornogiacenza) VALUES (9223372036854775807,'S','N')");
        tx.commit();
    }
    std::vector<std::int64_t> even;
    for (std::int64_t id = 2; id <= 3004; id += 2) even.push_back(id);
    even.push_back(9223372036854775807);  // exact: a key must not pass through a double
    even.push_back(99999);                // no such row: nothing else is touched

    TransferLedger::mark_at_register(register_db(2), kMark, even);

    EXPECT_EQ(testing::count_rows(register_db(2), "movimenti", "aggiornogiacenza='S'"), 1503);
    EXPECT_EQ(testing::count_rows(register_db(2), "movimenti", "aggiornogiacenza='S' AND id % 2 = 1"), 1)
        << "only the top key is odd";
    EXPECT_EQ(testing::count_rows(register_db(2), "movimenti", "aggiornogiacenza='N' AND id % 2 = 0"), 0);
    EXPECT_EQ(to_text(key_set({-5, 0, 12})), "[-5,0,12]");
}

TEST_F(TransferLedgerTest, KeySetClausesTakeExactlyTheirKeysOrExactlyTheOthers) {
    // The fixture's rows are 1 to 4; the sets are bound as the statements bind them.
    struct Case {
        std::vector<std::int64_t> keys;
        std::int64_t in;  // rows whose id is in the set
    };
    const Case cases[] = {{{}, 0}, {{3}, 1}, {{1, 3}, 2}, {{2, 99999, -1}, 1}, {{4, 3, 2, 1}, 4}};
    for (const auto& c : cases) {
        const Value keys = key_set(c.keys);
        EXPECT_EQ(to_int(register_db(2).scalar("SELECT count(*) FROM movimenti WHERE " + in_key_set("id"), {keys})),
                  c.in)
            << to_text(keys);
        EXPECT_EQ(
            to_int(register_db(2).scalar("SELECT count(*) FROM movimenti WHERE " + not_in_key_set("id"), {keys})),
            4 - c.in)
            << to_text(keys);
        std::vector<std::int64_t> shifted;
        for (auto k : c.keys) shifted.push_back(k + 10);
        EXPECT_EQ(to_int(register_db(2).scalar(
                      "SELECT count(*) FROM (SELECT id + 10 AS shifted FROM movimenti) WHERE " + in_key_set("shifted"),
                      {key_set(shifted)})),
                  c.in)
            << "the clause tests the column it names: " << to_text(keys);
    }
}

TEST_F(TransferLedgerTest, EntriesRecordedInARolledBackTransactionAreGone) {
    TransferLedger ledger(main_db());
    {
        Transaction tx(main_db());
        ledger.record(2, "movimenti", 4);
    }
    EXPECT_FALSE(ledger.holds(2, "movimenti", 4));
}

TEST_F(TransferLedgerTest, ADigestTellsValuesTypesAndFieldBoundariesApart) {
    const std::vector<Value> row{integer(7), text("ab"), text("c"), real(1.5), kNull};
    EXPECT_EQ(row_digest(row), row_digest(std::vector<Value>(row))) << "the same values give the same digest";
    const std::vector<std::pair<const char*, std::vector<Value>>> others{
        {"another number", {integer(8), text("ab"), text("c"), real(1.5), kNull}},
        {"a field boundary moved", {integer(7), text("a"), text("bc"), real(1.5), kNull}},
        {"1.5 as text", {integer(7), text("ab"), text("c"), text("1.5"), kNull}},
        {"7 as a real", {real(7), text("ab"), text("c"), real(1.5), kNull}},
        {"empty text for null", {integer(7), text("ab"), text("c"), real(1.5), text("")}},
        {"a field fewer", {integer(7), text("ab"), text("c"), real(1.5)}},
    };
    for (const auto& [what, values] : others) EXPECT_NE(row_digest(values), row_digest(row)) << what;
}

TEST_F(TransferLedgerTest, ALedgerWithoutDigestsIsUpgradedAndKeepsItsEntries) {
    // The table as files written before digests hold it, with an entry left by a crash.
    main_db().exec("DROP TABLE registro_trasferimenti");
    main_db().exec(
        "CREATE TABLE registro_trasferimenti (cassa INTEGER NOT NULL, tabella TEXT NOT NULL, "
        "chiave INTEGER NOT NULL, PRIMARY KEY (cassa, tabella, chiave)) WITHOUT ROWID");
    main_db().execute("INSERT INTO registro_trasferimenti VALUES (2, 'movimenti', 3)");

    ready();  // the service opening its main database upgrades the table
    EXPECT_EQ(to_int(main_db().scalar("SELECT count(*) FROM pragma_table_info('registro_trasferimenti') "
                                      "WHERE name = 'impronta'")), 1);
    upgrade_ledger_table(main_db());  // a second time changes nothing
    TransferLedger ledger(main_db());
    const auto old = ledger.entries(2, "movimenti");
    ASSERT_EQ(old.size(), 1u);
    EXPECT_EQ(old[0].key, 3);
    EXPECT_FALSE(old[0].digest.has_value());
    {
        Transaction tx(main_db());
        ledger.record(2, "movimenti", 4, row_digest({integer(4), text("N")}));
        tx.commit();
    }
    const auto now = ledger.entries(2, "movimenti");
    ASSERT_EQ(now.size(), 2u);
    EXPECT_EQ(now[1].digest, row_digest({integer(4), text("N")}));
    EXPECT_EQ(ledger.settle(register_db(2), 2, "movimenti", kMark), 2);
    EXPECT_EQ(testing::count_rows(register_db(2), "movimenti", "aggiornogiacenza='S' AND id IN (3,4)"), 2);
}

TEST_F(TransferLedgerTest, ALedgerThatCannotBeUpgradedSaysWhatToDo) {
    main_db().exec("DROP TABLE registro_trasferimenti");
    main_db().exec(
        "CREATE TABLE registro_trasferimenti (cassa INTEGER NOT NULL, tabella TEXT NOT NULL, "
        "chiave INTEGER NOT NULL, PRIMARY KEY (cassa, tabella, chiave)) WITHOUT ROWID");
    // Another program holds the main database's write lock past the wait.
    Database other(local("C:\\tarvi\\dati.mdb"), OpenOptions{.create = false, .busy_timeout_ms = 0});
    other.exec("BEGIN IMMEDIATE");
    Database service(local("C:\\tarvi\\dati.mdb"), OpenOptions{.create = false, .busy_timeout_ms = 0});
    try {
        upgrade_ledger_table(service);
        ADD_FAILURE() << "the upgrade went through a held lock";
    } catch (const DbError& e) {
        EXPECT_NE(std::string(e.what()).find("cannot add the column impronta to registro_trasferimenti"),
                  std::string::npos) << e.what();
        EXPECT_NE(std::string(e.what()).find("start the service again when no other program is using"),
                  std::string::npos) << e.what();
    }
    other.exec("ROLLBACK");
    upgrade_ledger_table(service);
    EXPECT_EQ(to_int(service.scalar("SELECT count(*) FROM pragma_table_info('registro_trasferimenti') "
                                    "WHERE name = 'impronta'")), 1);
}

}  // namespace
}  // namespace cassasync::data
