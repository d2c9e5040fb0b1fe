// Sales document numbers on the real counter table: the year's first number, a year of
// its own, and the 16-bit end of the numbering.
#include <gtest/gtest.h>

#include "sales/numbering.h"
#include "support/shop_fixture.h"

namespace cassasync::sales {
namespace {

using data::Value;
using testing::count_rows;

class NumberingTest : public testing::ShopTest {
protected:
    void SetUp() override { ready(); }
    Value counter(int year, const char* field = "ultnum") {
        return main_db().scalar(std::string("SELECT ") + field + " FROM numeri WHERE codutente=1 AND anno=? AND tipo='VE'",
                                {Value(std::int64_t{year})});
    }
    std::int16_t next_number(int year) { return Prossimo_Numero(ctx_->databases.central(), ctx_->settings, year); }
};

TEST_F(NumberingTest, CreatesTheYearsCounterAndCountsOn) {
    ASSERT_EQ(count_rows(main_db(), "numeri"), 0);
    EXPECT_EQ(next_number(2026), 1);
    EXPECT_EQ(data::to_int(counter(2026)), 1);
    EXPECT_EQ(data::to_text(counter(2026, "descrizione")), "Vendite");
    EXPECT_EQ(next_number(2026), 2);
    EXPECT_EQ(data::to_int(counter(2026)), 2);
    EXPECT_EQ(count_rows(main_db(), "numeri"), 1);
}

TEST_F(NumberingTest, AnotherYearsCounterIsLeftAlone) {
    main_db().execute("INSERT INTO numeri (codutente, anno, tipo, descrizione, ultnum) VALUES (1, 2025, 'VE', 'Vendite', 812)");
    main_db().execute("INSERT INTO numeri (codutente, anno, tipo, descrizione, ultnum) VALUES (1, 2026, 'FA', 'Fatture', 40)");
    EXPECT_EQ(next_number(2026), 1);
    EXPECT_EQ(data::to_int(counter(2025)), 812);
    EXPECT_EQ(count_rows(main_db(), "numeri", "tipo='FA' AND ultnum=40"), 1);
}

TEST_F(NumberingTest, ThirtyTwoThousandSevenHundredSixtySevenIsTheLastNumber) {
    main_db().execute("INSERT INTO numeri (codutente, anno, tipo, descrizione, ultnum) VALUES (1, 2026, 'VE', 'Vendite', 32766)");
    EXPECT_EQ(next_number(2026), 32767);
    try {
        next_number(2026);
        ADD_FAILURE() << "no number after 32767";
    } catch (const data::DbError& e) {
        EXPECT_NE(std::string(e.what()).find("2026"), std::string::npos) << e.what();
    }
    EXPECT_EQ(data::to_int(counter(2026)), 32767) << "the counter is unchanged";

    main_db().execute("UPDATE numeri SET ultnum = 40000 WHERE anno = 2026");
    EXPECT_THROW(next_number(2026), data::DbError) << "a stored number beyond 16 bits";
    EXPECT_EQ(data::to_int(counter(2026)), 40000);
}

}  // namespace
}  // namespace cassasync::sales
