// Stock and last-sale bookkeeping on the real price list and barcode tables.
#include <gtest/gtest.h>

#include "sales/stock_update.h"
#include "support/receipt_fixture.h"
#include "support/shop_fixture.h"

namespace cassasync::sales {
namespace {

using data::Value;
using testing::kToday;

class StockUpdateTest : public testing::ReceiptTest {
protected:
    void SetUp() override {
        ReceiptTest::SetUp();
        article(1, "8001234567890", 2.50);
        main_db().execute("UPDATE listi01 SET qinv=10, qacq=5, qres=1, qven=3, cofart=1.50, cosmp=1.20 WHERE codart=1");
        main_db().execute("UPDATE codean SET einv=10, eacq=5, eres=1, even=3, egia=11, flagean='X' WHERE codare=1");
    }
    StockMovement sale(std::int32_t article, const std::string& ean, double quantity) {
        StockMovement m;
        m.Articolo_Corrente = article;
        m.Ean_Corrente = ean;
        m.Segni_Movimento[kSalesEntry] = '+';
        m.Quantita_Movimento[kSalesEntry] = quantity;
        return m;
    }
    double list(const char* field) { return data::to_double(article_field(1, field)); }
    double code(const char* field) { return data::to_double(barcode_field("8001234567890", field)); }
};

TEST_F(StockUpdateTest, ASaleMovesThePriceListAndTheBarcodeAndClearsTheEntries) {
    StockTables tables(main_db());
    auto m = sale(1, "8001234567890", 2);
    m.Segni_Movimento[0] = '+';
    m.Quantita_Movimento[0] = 9;
    m.Segni_Movimento[5] = '+';
    m.Quantita_Movimento[5] = 9;
    Aggiorna_Giacenza(tables, m);
    EXPECT_DOUBLE_EQ(list("qven"), 5);
    EXPECT_DOUBLE_EQ(list("qgia"), 9);
    EXPECT_DOUBLE_EQ(list("valgia"), 13.50);
    EXPECT_DOUBLE_EQ(list("cosmp"), 1.50);
    EXPECT_DOUBLE_EQ(list("qinv"), 10);
    EXPECT_DOUBLE_EQ(code("even"), 5);
    EXPECT_DOUBLE_EQ(code("egia"), 9);
    EXPECT_EQ(data::to_text(barcode_field("8001234567890", "flagean")), " ");
    for (int e = 1; e <= 5; ++e) {
        EXPECT_EQ(m.Segni_Movimento[static_cast<std::size_t>(e)], ' ') << "entry " << e;
        EXPECT_EQ(m.Quantita_Movimento[static_cast<std::size_t>(e)], 0.0) << "entry " << e;
    }
    EXPECT_EQ(m.Segni_Movimento[0], '+') << "entry 0 is not one of the movement's";

    // Any sign but '+' subtracts: a return of 1 through the sales entry.
    auto back = sale(1, "8001234567890", 1);
    back.Segni_Movimento[kSalesEntry] = '-';
    Aggiorna_Giacenza(tables, back);
    EXPECT_DOUBLE_EQ(list("qven"), 4);
    EXPECT_DOUBLE_EQ(list("qgia"), 10);
}

TEST_F(StockUpdateTest, StockAtZeroKeepsTheAverageCostAndNullsCountAsZero) {
    StockTables tables(main_db());
    auto m = sale(1, "8001234567890", 11);
    Aggiorna_Giacenza(tables, m);
    EXPECT_DOUBLE_EQ(list("qgia"), 0);
    EXPECT_DOUBLE_EQ(list("valgia"), 0);
    EXPECT_DOUBLE_EQ(list("cosmp"), 1.20) << "no average of nothing";

    main_db().execute("UPDATE listi01 SET qinv=NULL, qacq=NULL, qres=NULL, qven=NULL WHERE codart=1");
    main_db().execute("UPDATE codean SET einv=NULL, eacq=NULL, eres=NULL, even=NULL WHERE codare=1");
    auto again = sale(1, "8001234567890", 2);
    Aggiorna_Giacenza(tables, again);
    EXPECT_DOUBLE_EQ(list("qven"), 2) << "a null counter is taken as 0, the sale is not lost";
    EXPECT_DOUBLE_EQ(list("qgia"), -2);
    EXPECT_DOUBLE_EQ(code("even"), 2);
    EXPECT_DOUBLE_EQ(code("egia"), -2);

    main_db().execute("UPDATE listi01 SET cofart=NULL WHERE codart=1");
    auto third = sale(1, "8001234567890", 1);
    Aggiorna_Giacenza(tables, third);
    EXPECT_TRUE(data::is_null(article_field(1, "valgia"))) << "no purchase cost, no stock value";
    EXPECT_TRUE(data::is_null(article_field(1, "cosmp")));
}

TEST_F(StockUpdateTest, NoArticleOrAnUnknownBarcodeMovesOnlyWhatExists) {
    StockTables tables(main_db());
    auto none = sale(0, "8001234567890", 2);
    Aggiorna_Giacenza(tables, none);
    EXPECT_DOUBLE_EQ(list("qven"), 3);
    EXPECT_DOUBLE_EQ(code("even"), 3);
    EXPECT_EQ(none.Quantita_Movimento[kSalesEntry], 0.0) << "cleared all the same";

    auto weighed = sale(1, "2123456012345", 0.5);
    Aggiorna_Giacenza(tables, weighed);
    EXPECT_DOUBLE_EQ(list("qven"), 3.5);
    EXPECT_DOUBLE_EQ(code("even"), 3) << "the barcode rung up is not in codean";
}

TEST_F(StockUpdateTest, TheLastSaleCounterRestartsOnANewDay) {
    StockTables tables(main_db());
    main_db().execute("UPDATE listi01 SET dultven=?, qultven=7 WHERE codart=1", {Value(kToday - 1)});
    Aggiorna_Ultima_Vendita(tables, 1, Value(kToday + 0.4), 2);
    EXPECT_DOUBLE_EQ(data::to_double(article_field(1, "dultven")), kToday) << "the date part of the sale";
    EXPECT_DOUBLE_EQ(data::to_double(article_field(1, "qultven")), 2);
    Aggiorna_Ultima_Vendita(tables, 1, Value(kToday + 0.6), 1.2345);
    EXPECT_DOUBLE_EQ(data::to_double(article_field(1, "qultven")), 3.235) << "accumulated, 3 decimals half up";

    main_db().execute("UPDATE listi01 SET dultven=NULL, qultven=NULL WHERE codart=1");
    Aggiorna_Ultima_Vendita(tables, 1, Value(kToday), 2);
    EXPECT_DOUBLE_EQ(data::to_double(article_field(1, "qultven")), 2) << "null counts as 0";
    main_db().execute("UPDATE listi01 SET dultven=NULL, qultven=5 WHERE codart=1");
    Aggiorna_Ultima_Vendita(tables, 1, Value(kToday), 2);
    EXPECT_DOUBLE_EQ(data::to_double(article_field(1, "qultven")), 7) << "no previous date is no new day";

    Aggiorna_Ultima_Vendita(tables, 99, Value(kToday), 2);  // no such article: nothing to do
    EXPECT_EQ(testing::count_rows(main_db(), "listi01"), 1);
}

}  // namespace
}  // namespace cassasync::sales
