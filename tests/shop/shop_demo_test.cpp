// The demo shop: what the service, the register stand-in and the benchmarks rely on.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "data/database.h"
#include "platform/clock.h"
#include "shop/shop_admin.h"
#include "support/shop_fixture.h"

namespace cassasync::shop {
namespace {

using testing::count_rows;

bool valid_ean13(const std::string& code) {
    if (code.size() != 13) return false;
    int sum = 0;
    for (std::size_t i = 0; i < 12; ++i) {
        if (code[i] < '0' || code[i] > '9') return false;
        sum += (code[i] - '0') * (i % 2 == 0 ? 1 : 3);
    }
    return code[12] - '0' == (10 - sum % 10) % 10;
}

class DemoShopTest : public testing::ShopTest {
protected:
    void SetUp() override {
        auto st = build_demo_shop(paths_, kArticles);
        ASSERT_TRUE(st) << st.message();
    }
    static constexpr int kArticles = 30;
};

TEST_F(DemoShopTest, CatalogueHasTheArticlesTheSalesImportTreatsSpecially) {
    auto& main = main_db();
    EXPECT_EQ(count_rows(main, "listi01"), kArticles);
    EXPECT_EQ(count_rows(main, "codean"), kArticles + 1) << "one barcode each, and a carton";

    std::set<std::string> seen;
    auto& st = main.prepare("SELECT eanare FROM codean");
    while (st.step()) {
        const std::string ean = data::to_text(st.column(0));
        EXPECT_TRUE(seen.insert(ean).second) << "duplicate " << ean;
        if (ean == "2123456000008") continue;
        EXPECT_EQ(ean.rfind("80", 0), 0u) << ean;
        EXPECT_TRUE(valid_ean13(ean)) << ean;
    }
    st.reset();

    // Price-or-weight article.
    EXPECT_DOUBLE_EQ(data::to_double(main.scalar(
                         "SELECT przpub FROM listi01 JOIN codean ON codare = codart WHERE eanare = '2123456000008'")),
                     10.00);
    // A carton of six beside the unit barcode of the same article, the unit one primary.
    EXPECT_EQ(count_rows(main, "codean", "pezzix = 6"), 1);
    EXPECT_EQ(data::to_text(main.scalar("SELECT group_concat(primasecon || pezzix, ',') FROM "
                                        "(SELECT primasecon, pezzix FROM codean WHERE codare = "
                                        "(SELECT codare FROM codean WHERE pezzix = 6) ORDER BY pezzix)")),
              "P1,S6");
    EXPECT_DOUBLE_EQ(data::to_double(main.scalar("SELECT prezzox / prezzo FROM codean WHERE pezzix = 6")), 6.0);
    // An offer valid today, cheaper than the usual cost.
    const auto today = platform::SystemClock().now();
    const double serial = static_cast<double>(platform::day_serial(today.year, today.month, today.day));
    EXPECT_EQ(count_rows(main, "listi01", "cosoff > 0 AND cosoff < cofart AND data1 <= ? AND data2 >= ? AND numpro > 0",
                         {data::real(serial), data::real(serial)}),
              1);
    EXPECT_EQ(count_rows(main, "listi01", "colore = 5 AND przpub > 0"), 1);

    // Every article has a known department and a VAT code the VAT table knows.
    EXPECT_EQ(count_rows(main, "listi01", "codrep NOT IN (SELECT reparto FROM reparti)"), 0);
    EXPECT_EQ(count_rows(main, "listi01", "printf('%02d', ivart) NOT IN (SELECT codali FROM aliquote)"), 0);
    EXPECT_EQ(count_rows(main, "reparti"), 4);
    EXPECT_EQ(count_rows(main, "reparti", "fmarg = 'S' AND marg = 30 AND iva = 10"), 1);
    EXPECT_EQ(count_rows(main, "reparti", "iva IN (4, 10, 22)"), 4);
    EXPECT_EQ(count_rows(main, "listi01", "przpub <= 0 OR cofart <= 0 OR cofart >= przpub"), 0);

    // The sales import's article join sees every barcode.
    EXPECT_EQ(data::to_int(main.scalar("SELECT count(*) FROM codean INNER JOIN listi01 ON codean.codare = "
                                       "listi01.codart")),
              kArticles + 1);
}

TEST_F(DemoShopTest, CustomersCarryCardsAndRegistersAreReady) {
    auto& main = main_db();
    EXPECT_GE(count_rows(main, "clienti"), 10);
    EXPECT_EQ(count_rows(main, "clienti", "length(tessera) <> 13 OR stato <> 'A' OR fprivacy IS NULL"), 0);
    EXPECT_EQ(count_rows(main, "clienti", "puntisal <> punticum - puntisca"), 0);
    EXPECT_EQ(data::to_int(main.scalar("SELECT count(DISTINCT tessera) FROM clienti")), count_rows(main, "clienti"));

    EXPECT_EQ(data::to_int(main.scalar("SELECT nrpos FROM utenti WHERE codutente = 1")), 3);
    for (int n = 1; n <= 3; ++n) {
        EXPECT_EQ(data::to_text(main.scalar("SELECT percorso FROM casse WHERE numero = ?", {data::integer(n)})),
                  testing::register_path(n));
        auto& reg = register_db(n);
        EXPECT_EQ(data::describe(reg.scalar("SELECT Flag1 FROM Semafori")), "0") << n;
        EXPECT_EQ(count_rows(reg, "codean", "flagagg = 'T'"), kArticles + 1) << n;
        EXPECT_EQ(count_rows(reg, "codean", "flagagg = 'A'"), 0) << n << ": nothing waits to be taken";
        EXPECT_EQ(count_rows(reg, "clienti", "flagagg = 'T'"), count_rows(main, "clienti")) << n;
    }

    // The service starts on it with its three registers.
    for (int n = 1; n <= 3; ++n) pinger_.set_up("127.0.0." + std::to_string(n), true);
    start();
    const auto lines = log_messages();
    EXPECT_EQ(std::vector<std::string>(lines.end() - 3, lines.end()),
              (std::vector<std::string>{"- Cassa 1 OK", "- Cassa 2 OK", "- Cassa 3 OK"}));
}

TEST_F(DemoShopTest, ASecondDemoIntoTheSameShopIsRefused) {
    const auto st = build_demo_shop(paths_, 10);
    EXPECT_FALSE(st);
    EXPECT_NE(st.message().find("already has a catalogue"), std::string::npos) << st.message();
    EXPECT_EQ(count_rows(main_db(), "listi01"), kArticles);
}

}  // namespace
}  // namespace cassasync::shop
