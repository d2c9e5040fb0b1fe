// Primary and secondary barcodes of an article on the real barcode table.
#include <sqlite3.h>

#include <gtest/gtest.h>

#include <map>

#include "sales/barcode_ranking.h"
#include "support/receipt_fixture.h"
#include "support/shop_fixture.h"

namespace cassasync::sales {
namespace {

using data::Value;
using testing::kToday;

class BarcodeRankingTest : public testing::ReceiptTest {
protected:
    void add(const std::string& ean, std::int64_t codare, const Value& dataagg, double even, const Value& primasecon) {
        main_db().execute("INSERT INTO codean (eanare, codare, dataagg, even, primasecon) VALUES (?,?,?,?,?)",
                          {data::text(ean), Value(codare), dataagg, Value(even), primasecon});
    }
    std::map<std::string, std::string> marks(std::int64_t codare) {
        std::map<std::string, std::string> out;
        auto& st = main_db().prepare("SELECT eanare, primasecon FROM codean WHERE codare = ?", {Value(codare)});
        while (st.step()) out[data::to_text(st.column(0))] = data::is_null(st.column(1)) ? "NULL" : data::to_text(st.column(1));
        st.reset();
        return out;
    }
    std::int64_t changes() { return sqlite3_total_changes(main_db().handle()); }
};

TEST_F(BarcodeRankingTest, TheLatestStampAndThenTheLargestSaleIsPrimary) {
    add("A", 1, Value(kToday), 3, data::text("P"));
    add("B", 1, Value(kToday), 10, data::kNull);
    add("C", 1, Value(kToday - 1), 50, data::text("S"));
    add("D", 1, data::kNull, 99, data::kNull);
    add("E", 2, Value(kToday + 5), 100, data::text("S"));  // another article
    SistemaPrimarioSecondario(main_db(), 1);
    EXPECT_EQ(marks(1), (std::map<std::string, std::string>{{"A", "S"}, {"B", "P"}, {"C", "S"}, {"D", "S"}}))
        << "an unstamped barcode sorts after every stamped one";
    EXPECT_EQ(marks(2), (std::map<std::string, std::string>{{"E", "S"}}));
    const auto before = changes();
    SistemaPrimarioSecondario(main_db(), 1);
    EXPECT_EQ(changes(), before) << "marks already right are left unwritten";
}

TEST_F(BarcodeRankingTest, ASingleBarcodeIsPrimaryAndWrittenOnlyWhenItWasNot) {
    add("A", 3, data::kNull, 0, data::kNull);
    SistemaPrimarioSecondario(main_db(), 3);
    EXPECT_EQ(marks(3), (std::map<std::string, std::string>{{"A", "P"}}));
    const auto before = changes();
    SistemaPrimarioSecondario(main_db(), 3);
    EXPECT_EQ(changes(), before) << "an existing P is left unwritten";
    SistemaPrimarioSecondario(main_db(), 404);  // no barcode at all
    EXPECT_EQ(changes(), before);
}

TEST_F(BarcodeRankingTest, TwoPrimariesFromOldDataLeaveOne) {
    add("A", 4, Value(kToday), 5, data::text("P"));
    add("B", 4, Value(kToday - 2), 5, data::text("P"));
    add("C", 4, Value(kToday - 3), 5, data::kNull);
    SistemaPrimarioSecondario(main_db(), 4);
    EXPECT_EQ(marks(4), (std::map<std::string, std::string>{{"A", "P"}, {"B", "S"}, {"C", "S"}}));
}

}  // namespace
}  // namespace cassasync::sales
