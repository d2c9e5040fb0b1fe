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

TEST_F(TransferLedgerTest, EntriesRecordedInARolledBackTransactionAreGone) {
    TransferLedger ledger(main_db());
    {
        Transaction tx(main_db());
        ledger.record(2, "movimenti", 4);
    }
    EXPECT_FALSE(ledger.holds(2, "movimenti", 4));
}

}  // namespace
}  // namespace cassasync::data
