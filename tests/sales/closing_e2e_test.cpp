// A register's day from its receipt lines to the registered document: the receipt
// import takes the lines, finds the close request and the day's document is totalled.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "platform/clock.h"
#include "sales/receipt_import.h"
#include "support/shop_fixture.h"

namespace cassasync::sales {
namespace {

using data::Value;

class ClosingEndToEndTest : public testing::ShopTest {
protected:
    void SetUp() override {
        add_register(kRegister);
        ready();
        today_ = platform::day_serial(2026, 12, 7);
        // Unlisted articles are priced from their department: 10%, 22% and 4%.
        main_db().exec("INSERT INTO reparti (reparto, descrizione, iva) VALUES (1, 'Alimentari', 10), "
                       "(2, 'Casalinghi', 22), (3, 'Libri', 4)");
    }

    // A waiting receipt line for a barcode the catalogue does not know.
    void add_line(int receipt, double time, int reparto, double quantita, double totrig,
                  const char* bflag1 = "N", int tiporecord = 1) {
        register_db(kRegister).execute(
            "INSERT INTO movimenti (bflag3, aggiornogiacenza, bdator, bora, bnumer, eanrig, descrizione, quantita, "
            "prezzo, totrig, codrep, tiporecord, numcassa, bflag1) "
            "VALUES ('S', 'N', ?, ?, ?, '8009999000017', 'ARTICOLO VARIO', ?, ?, ?, ?, ?, ?, ?)",
            {Value(static_cast<double>(today_)), Value(time), Value(std::int64_t{receipt}), Value(quantita),
             Value(quantita != 0 ? totrig / quantita : totrig), Value(totrig), Value(std::int64_t{reparto}),
             Value(std::int64_t{tiporecord}), Value(std::int64_t{kRegister}), Value(std::string(bflag1))});
    }

    static constexpr int kRegister = 2;
    long today_ = 0;
};

TEST_F(ClosingEndToEndTest, ClosedDayCarriesItsVatSummaryAndTotals) {
    add_line(1, 0.40, 1, 1, 11.00);        // 10%: net 10.00
    add_line(1, 0.40, 2, 2, 24.40);        // 22%: net 20.00
    add_line(2, 0.45, 3, 1, 10.40);        //  4%: net 10.00
    add_line(2, 0.45, 2, 1, 9.99);         // 22%: net 8.19
    add_line(3, 0.50, 1, 1, 5.50);         // 10%: net 5.00
    add_line(3, 0.50, 2, 1, 100.00, "A");  // excluded from the totals
    add_line(4, 0.55, 2, -1, -12.20);      // a return, 22%: net -10.00
    add_line(4, 0.55, 1, 0, 3.00, "N", 23);  // a points line: not an article row
    const auto flag = local("\\\\127.0.0.2\\cash\\cisonodati.txt");
    std::filesystem::create_directories(flag.parent_path());
    std::ofstream(flag) << "chiudi";

    import_and_close(kRegister);

    if (testing::count_rows(sales_db(), "venmo") == 0) {
        GTEST_SKIP() << "receipt import not built yet";
    }
    ASSERT_EQ(testing::count_rows(sales_db(), "vente", "agente = ? AND anno = 2026", {Value(std::int64_t{kRegister})}), 1);
    auto field = [&](const std::string& name) {
        return sales_db().scalar("SELECT " + name + " FROM vente WHERE agente = ? AND anno = 2026",
                                 {Value(std::int64_t{kRegister})});
    };
    auto number = [&](const std::string& name) { return data::to_double(field(name)); };

    EXPECT_FALSE(std::filesystem::exists(flag));
    EXPECT_EQ(data::to_text(field("regis")), "R");
    // By hand: slot 1 "10" 10.00 + 5.00, VAT 1.50; slot 2 "22" 20.00 + 8.19 - 10.00,
    // VAT 4.40 + 1.8018 - 2.20; slot 3 "04" 10.00, VAT 0.40.
    EXPECT_EQ(data::to_text(field("iva01")), "10");
    EXPECT_FLOAT_EQ(static_cast<float>(number("imp01")), 15.00f);
    EXPECT_FLOAT_EQ(static_cast<float>(number("ims01")), 1.50f);
    EXPECT_EQ(data::to_text(field("iva02")), "22");
    EXPECT_FLOAT_EQ(static_cast<float>(number("imp02")), 18.19f);
    EXPECT_FLOAT_EQ(static_cast<float>(number("ims02")), 4.0018f);
    EXPECT_EQ(data::to_text(field("iva03")), "04");
    EXPECT_FLOAT_EQ(static_cast<float>(number("imp03")), 10.00f);
    EXPECT_FLOAT_EQ(static_cast<float>(number("ims03")), 0.40f);
    for (int k = 4; k <= 7; ++k) {
        EXPECT_EQ(data::to_text(field("iva0" + std::to_string(k))), "  ") << "slot " << k;
        EXPECT_EQ(number("imp0" + std::to_string(k)), 0.0) << "slot " << k;
    }
    // Gross 11.00 + 24.40 + 10.40 + 9.99 + 5.50 - 12.20; taxable 43.19; VAT 5.9018.
    EXPECT_NEAR(number("totale"), 49.09, 1e-9);
    EXPECT_DOUBLE_EQ(number("totimp"), 43.19);
    EXPECT_DOUBLE_EQ(number("totiva"), 5.90);

    auto log = log_messages();
    auto registered = std::find(log.begin(), log.end(), "-  Vendita 1 REGISTRATA CON SUCCESSO.");
    EXPECT_NE(registered, log.end());
}

}  // namespace
}  // namespace cassasync::sales
