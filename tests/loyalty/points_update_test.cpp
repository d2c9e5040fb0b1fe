// Loyalty points booked from receipt movements, on the real customer table and the
// loyalty journal attached to the central connection.
#include <gtest/gtest.h>

#include <filesystem>

#include "core/back_office_paths.h"
#include "loyalty/points_update.h"
#include "support/receipt_fixture.h"
#include "support/shop_fixture.h"

namespace cassasync::loyalty {
namespace {

using data::Value;
using testing::count_rows;
using testing::kToday;

const std::string kCard = "CARD0001     ";

class PointsUpdateTest : public testing::ShopTest {
protected:
    void SetUp() override {
        main_db().execute("INSERT INTO clienti (codcliente, dsccliente, tessera, punticum, puntisca, puntisal, flagagg)"
                          " VALUES (1, 'BIANCHI GIUSEPPE', ?, 100, 40, 60, 'T')",
                          {data::text(kCard)});
        main_db().execute("INSERT INTO clienti (codcliente, dsccliente, tessera) VALUES (2, 'ALTRO', 'CARD0002')");
    }
    std::int64_t customer(const char* field, const std::string& card = kCard) {
        return data::to_int_or(main_db().scalar(std::string("SELECT ") + field + " FROM clienti WHERE tessera = ?",
                                                {data::text(card)}),
                               -999);
    }
    void book(const std::string& card, std::int16_t kind, std::int16_t points, std::int32_t receipt = 77) {
        Aggiorna_Punti(ctx_->databases.central(), ctx_->paths, card, kind, points, Value(kToday), Value(0.5), 1, receipt);
    }
    // The error a booking on kCard is refused with; empty when it is booked.
    std::string refusal(std::int16_t kind, std::int16_t points) {
        try {
            book(kCard, kind, points);
        } catch (const data::DbError& e) {
            return e.what();
        }
        return {};
    }
};

TEST_F(PointsUpdateTest, EarnedThenRedeemedPointsAndOneJournalRowPerMovement) {
    ready();
    book(kCard, kPointsEarned, 10);
    EXPECT_EQ(customer("punticum"), 110);
    EXPECT_EQ(customer("puntisca"), 40);
    EXPECT_EQ(customer("puntisal"), 70);
    EXPECT_EQ(data::to_text(main_db().scalar("SELECT flagagg FROM clienti WHERE codcliente=1")), "A");
    EXPECT_EQ(count_rows(loyalty_db(), "movtessere"), 1);
    EXPECT_EQ(count_rows(loyalty_db(), "movtessere",
                         "tipo=23 AND data=? AND ora=0.5 AND tessera=? AND numcassa=1 AND numsco=77 AND punti=10 AND descli=?",
                         {Value(kToday), data::text(kCard), data::text("BIANCHI GIUSEPPE" + std::string(29, ' '))}),
              1) << "descli is the customer's name in 45 characters";

    book(kCard, kPointsRedeemed, 15);
    EXPECT_EQ(customer("puntisca"), 55);
    EXPECT_EQ(customer("puntisal"), 55);
    EXPECT_EQ(count_rows(loyalty_db(), "movtessere"), 2);

    // A second movement with the same key (two lines of one receipt): the journal keeps
    // its one row and adds the points to it, so it sums to the counters.
    book(kCard, kPointsRedeemed, 15);
    EXPECT_EQ(customer("puntisca"), 70);
    EXPECT_EQ(customer("puntisal"), 40);
    EXPECT_EQ(count_rows(loyalty_db(), "movtessere"), 2);
    EXPECT_EQ(count_rows(loyalty_db(), "movtessere", "tipo=24 AND punti=30"), 1);
    // A row already near the 16-bit limit refuses more points; nothing is written.
    loyalty_db().execute("UPDATE movtessere SET punti = 32760 WHERE tipo = 24");
    EXPECT_EQ(refusal(kPointsRedeemed, 15), "card CARD0001: the journal's points of receipt 77 would be 32775, past the 16-bit limit");
    EXPECT_EQ(customer("puntisca"), 70);
    EXPECT_EQ(count_rows(loyalty_db(), "movtessere", "tipo=24 AND punti=32760"), 1);
    // A different receipt is a different movement.
    book(kCard, kPointsRedeemed, 1, 78);
    EXPECT_EQ(count_rows(loyalty_db(), "movtessere"), 3);
}

TEST_F(PointsUpdateTest, CardsAreFoundWithOrWithoutTrailingBlanksAndInAnyCase) {
    ready();
    book("NOSUCHCARD   ", kPointsEarned, 10);
    EXPECT_EQ(count_rows(loyalty_db(), "movtessere"), 0);
    EXPECT_EQ(count_rows(main_db(), "clienti", "flagagg='A'"), 0);

    // "CARD0002" is stored without blanks: the 13-character card finds it.
    main_db().execute("UPDATE clienti SET punticum=NULL, puntisca=NULL WHERE tessera='CARD0002'");
    book("CARD0002     ", kPointsEarned, 10);
    EXPECT_EQ(customer("punticum", "CARD0002"), 10) << "an empty counter counts as 0";
    EXPECT_EQ(customer("puntisal", "CARD0002"), 10);
    EXPECT_EQ(count_rows(loyalty_db(), "movtessere", "tessera='CARD0002     ' AND descli=?",
                         {data::text("ALTRO" + std::string(40, ' '))}),
              1);

    // In lower case and without blanks: the same customer, and the same movement key.
    book("card0002", kPointsEarned, 5);
    EXPECT_EQ(customer("punticum", "CARD0002"), 15);
    EXPECT_EQ(count_rows(loyalty_db(), "movtessere"), 1) << "the journal keeps one row per movement key";
    // The padded card in lower case finds the other holder.
    book("card0001     ", kPointsEarned, 1);
    EXPECT_EQ(customer("punticum"), 101);
}

TEST_F(PointsUpdateTest, CountersPastThe32BitLimitAreRefusedAndNothingIsWritten) {
    ready();
    auto& m = main_db();
    m.execute("UPDATE clienti SET punticum = 2147483647, puntisca = 0, puntisal = 2147483647 WHERE codcliente = 1");
    EXPECT_EQ(refusal(kPointsEarned, 100), "card CARD0001: punticum 2147483747 does not fit a 32-bit number");
    EXPECT_EQ(customer("punticum"), 2147483647);
    EXPECT_EQ(customer("puntisal"), 2147483647);
    EXPECT_EQ(data::to_text(m.scalar("SELECT flagagg FROM clienti WHERE codcliente = 1")), "T");
    EXPECT_EQ(count_rows(loyalty_db(), "movtessere"), 0);

    // Redeeming past the limit, and a balance below it.
    m.execute("UPDATE clienti SET punticum = 0, puntisca = 2147483600 WHERE codcliente = 1");
    EXPECT_THROW(book(kCard, kPointsRedeemed, 100), data::DbError);
    EXPECT_EQ(customer("puntisca"), 2147483600);
    m.execute("UPDATE clienti SET punticum = -100, puntisca = 2147483600 WHERE codcliente = 1");
    const std::string balance = refusal(kPointsRedeemed, 0);
    EXPECT_NE(balance.find("puntisal -2147483700"), std::string::npos) << "puntisal past the limit: " << balance;
    EXPECT_EQ(count_rows(loyalty_db(), "movtessere"), 0);

    // A stored counter already past every limit is named as it stands, not as a sum that wrapped.
    m.execute("UPDATE clienti SET punticum = 9223372036854775807, puntisca = 0 WHERE codcliente = 1");
    EXPECT_EQ(refusal(kPointsEarned, 100), "card CARD0001: punticum 9223372036854775807 does not fit a 32-bit number");
    EXPECT_EQ(count_rows(loyalty_db(), "movtessere"), 0);

    // Up to the limit itself the points are booked.
    m.execute("UPDATE clienti SET punticum = 2147483547, puntisca = 0 WHERE codcliente = 1");
    book(kCard, kPointsEarned, 100);
    EXPECT_EQ(customer("punticum"), 2147483647);
    EXPECT_EQ(customer("puntisal"), 2147483647);
    EXPECT_EQ(count_rows(loyalty_db(), "movtessere"), 1);
}

TEST_F(PointsUpdateTest, WithoutTheLoyaltyFileOnlyTheCustomerChanges) {
    std::filesystem::remove(local(core::kLoyaltyPath));
    ready();
    book(kCard, kPointsEarned, 10);
    EXPECT_EQ(customer("punticum"), 110);
    EXPECT_EQ(customer("puntisal"), 70);
    EXPECT_FALSE(std::filesystem::exists(local(core::kLoyaltyPath))) << "the journal is not created";
}

}  // namespace
}  // namespace cassasync::loyalty
