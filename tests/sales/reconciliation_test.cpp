// The daily reconciliation on real files: a day imported and closed by the service's own
// steps agrees; each kind of damage done by hand to the central files afterwards is
// named; a register that cannot be reached is not checked rather than different; and
// the real `cassasync-shop reconcile` gives the verdict lines and exit codes.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "sales/receipt_import.h"
#include "sales/reconciliation.h"
#include "shop/shop_reconcile.h"
#include "support/child_process.h"
#include "support/programs.h"
#include "support/receipt_fixture.h"

namespace cassasync::sales {
namespace {

using data::Value;
using testing::kToday;
using testing::Line;
using namespace std::chrono_literals;

const std::string kCard = "2900000000017";
const std::string kFlag = "\\\\127.0.0.1\\cash\\cisonodati.txt";

std::string joined(const std::vector<std::string>& lines) {
    std::string all;
    for (const auto& l : lines) all += l + "\n";
    return all;
}

class ReconciliationTest : public testing::ReceiptTest {
protected:
    void SetUp() override {
        ReceiptTest::SetUp();
        article(1, "8000000000011", 2.50, 22);
        article(2, "8000000000028", 1.20, 10);
        main_db().execute("INSERT INTO clienti (codcliente, dsccliente, tessera, punticum, puntisca) VALUES (1,'CLIENTE',?,0,0)",
                          {data::text(kCard)});
        // Two lines of one receipt rung in the same second, so matching goes by count.
        ring({.bora = 0.40, .bnumer = 1, .eanrig = "8000000000011", .prezzo = 2.50, .totrig = 2.50});
        ring({.bora = 0.40, .bnumer = 1, .eanrig = "8000000000028", .prezzo = 1.20, .totrig = 1.20});
        ring({.bora = 0.45, .bnumer = 2, .eanrig = "8000000000011", .quantita = 2, .prezzo = 2.50, .totrig = 5.00,
              .tessera = data::text(kCard)});
        ring({.bora = 0.45, .bnumer = 2, .descrizione = "PUNTI", .quantita = 5, .prezzo = 0, .totrig = 0,
              .tiporecord = 23, .tessera = data::text(kCard)});
        ring({.bora = 0.50, .bnumer = 3, .descrizione = "PUNTI", .quantita = 2, .prezzo = 0, .totrig = 0,
              .tiporecord = 24, .tessera = data::text(kCard)});
        // A line of the day before: another day, never counted in this one.
        ring({.bdator = testing::kYesterday, .bnumer = 9, .eanrig = "8000000000011", .prezzo = 2.5, .totrig = 2.5});
        close_request();
        import_and_close(1);
        ASSERT_EQ(waiting(), 0);
        ASSERT_FALSE(std::filesystem::exists(local(kFlag))) << "the close was carried out";
        // Rung after the import: waiting, which is no difference.
        ring({.bora = 0.60, .bnumer = 4, .eanrig = "8000000000028", .prezzo = 1.20, .totrig = 1.20});
    }

    void close_request() {
        std::filesystem::create_directories(local(kFlag).parent_path());
        std::ofstream(local(kFlag)) << "1";
    }

    RegisterDayCheck check(int n = 1) {
        return reconcile_register(ctx_->paths, ctx_->databases.central(), n, testing::register_path(n), static_cast<long>(kToday));
    }
};

TEST_F(ReconciliationTest, ACleanDayAgreesAndTheCloseLogsTheVerdict) {
    const RegisterDayCheck day = check();
    EXPECT_EQ(day.verdict, Verdict::agrees) << joined(day.differences);
    EXPECT_EQ(day.imported_lines, 5);
    EXPECT_EQ(day.waiting_lines, 1);
    EXPECT_EQ(day.sales_rows, 5);
    EXPECT_DOUBLE_EQ(day.imported_amount, 8.70);
    EXPECT_DOUBLE_EQ(day.sales_amount, 8.70);
    EXPECT_EQ(day.line_points, 7);
    EXPECT_EQ(day.journal_points, 7);
    EXPECT_EQ(day.registered_documents, 1);
    EXPECT_EQ(verdict_line(day),
              "register 1, 07/12/2026: AGREES (5 lines 8.70 at the register, 5 rows 8.70 centrally, 7 points, "
              "1 registered document(s), 1 line(s) still waiting)");

    // The service checked the day right after the close, before the late line was rung.
    const auto log = log_messages();
    const std::string expected =
        "- Riconciliazione: register 1, 07/12/2026: AGREES (5 lines 8.70 at the register, 5 rows 8.70 centrally, "
        "7 points, 1 registered document(s))";
    EXPECT_NE(std::find(log.begin(), log.end(), expected), log.end()) << joined(log);
}

TEST_F(ReconciliationTest, AnUnreachableRegisterIsNotCheckedRatherThanDifferent) {
    std::filesystem::remove(local(testing::register_path(2)));
    const RegisterDayCheck gone = check(2);
    EXPECT_EQ(gone.verdict, Verdict::not_checked);
    EXPECT_EQ(verdict_line(gone),
              "register 2, 07/12/2026: NOT CHECKED: register database \\\\127.0.0.2\\cassa\\dati.mdb cannot be "
              "reached or is missing");
}

TEST_F(ReconciliationTest, RequeueBringsBackExactlyTheMissingLines) {
    // As after a restore of an older sales file: one line of receipt 1 is gone centrally.
    sales_db().execute("DELETE FROM venmo WHERE numsco = 1 AND totiva = 1.2");
    const RegisterDayCheck before = check();
    ASSERT_EQ(before.missing_line_keys.size(), 1u) << joined(before.differences);

    EXPECT_EQ(requeue_missing(ctx_->databases, testing::register_path(1), before), 1);
    EXPECT_EQ(waiting(), 2) << "the missing line and the one rung late";
    Travaso_Scontrini(*ctx_, 1);
    EXPECT_EQ(testing::count_rows(sales_db(), "venmo", "numsco = 1"), 2);

    const RegisterDayCheck after = check();
    EXPECT_TRUE(after.missing_line_keys.empty()) << joined(after.differences);
    EXPECT_EQ(after.imported_lines, after.sales_rows);
    EXPECT_EQ(requeue_missing(ctx_->databases, testing::register_path(1), after), 0) << "nothing is brought back twice";
}

// Damage done by hand to the central files after the day was closed, and the difference
// each must be reported by.
struct Damage {
    const char* name;
    std::function<void(data::Database& sales, data::Database& loyalty)> apply;
    std::string reported;
};

void PrintTo(const Damage& damage, std::ostream* os) { *os << damage.name; }

class DamageTest : public ReconciliationTest, public ::testing::WithParamInterface<Damage> {};

TEST_P(DamageTest, IsReportedByName) {
    GetParam().apply(sales_db(), loyalty_db());
    const RegisterDayCheck day = check();
    EXPECT_EQ(day.verdict, Verdict::differs);
    const std::string all = joined(day.differences);
    EXPECT_NE(all.find(GetParam().reported), std::string::npos) << all;
    EXPECT_NE(verdict_line(day).find("DIFFERS"), std::string::npos) << verdict_line(day);
}

INSTANTIATE_TEST_SUITE_P(
    ByHand, DamageTest,
    ::testing::Values(
        Damage{"SalesRowDeleted",
               [](data::Database& sales, data::Database&) { sales.execute("DELETE FROM venmo WHERE numsco = 1 AND totiva = 1.2"); },
               "receipt 1 line of 07/12/2026 09:36:00: imported at the register, missing centrally (1 of 2)"},
        Damage{"SalesRowDoubled",
               [](data::Database& sales, data::Database&) {
                   sales.execute(
                       "INSERT INTO venmo (bannoc, bnumer, bns, numsco, ora, bdator, totiva, totrig, cassa, tipmov,"
                       " bflag2, iva) SELECT bannoc, bnumer, bns + 100, numsco, ora, bdator, totiva, totrig, cassa,"
                       " tipmov, bflag2, iva FROM venmo WHERE numsco = 2 AND totiva = 5");
               },
               "receipt 2 line of 07/12/2026 10:48:00: booked 3 times centrally for 2 register line(s)"},
        Damage{"AmountChanged",
               [](data::Database& sales, data::Database&) { sales.execute("UPDATE venmo SET totiva = 4.99 WHERE numsco = 2 AND totiva = 5"); },
               "receipt 2 line of 07/12/2026 10:48:00: amount 5.00 at the register, 4.99 centrally"},
        Damage{"PointsRowRemoved",
               [](data::Database&, data::Database& loyalty) { loyalty.execute("DELETE FROM movtessere WHERE tipo = 24"); },
               "card 2900000000017, receipt 3, kind 24: 2 points on the register's lines, 0 in the journal"},
        Damage{"RegisteredDocumentChanged",
               // The net amount only: every line still matches, the document's VAT summary does not.
               [](data::Database& sales, data::Database&) { sales.execute("UPDATE venmo SET totrig = totrig + 1 WHERE numsco = 1"); },
               "document 2 registered with total 8.70 (taxable 7.24, VAT 1.46); its rows now give 8.70 (taxable "
               "9.24, VAT 1.78)"}),
    [](const ::testing::TestParamInfo<Damage>& param_info) { return param_info.param.name; });

// The real program: its lines and its exit codes, on the same shop.
class ReconcileProgramTest : public ReconciliationTest {
protected:
    int run(const std::vector<std::string>& extra, const std::string& day = "07/12/2026") {
        std::vector<std::string> args{"reconcile", "--day", day};
        args.insert(args.end(), extra.begin(), extra.end());
        return testing::run_program(testing::shop_args(root_.path(), args), output(), 60s);
    }
    std::filesystem::path output() const { return root_.path() / "reconcile.txt"; }
    std::string printed() const { return testing::read_text_file(output()); }
};

TEST_F(ReconcileProgramTest, ExitCodesFollowTheVerdicts) {
    EXPECT_EQ(run({"--register", "1"}), 0) << printed();
    EXPECT_NE(printed().find("register 1, 07/12/2026: AGREES (5 lines 8.70"), std::string::npos) << printed();

    // Register 2 rang nothing: it agrees with nothing booked.
    EXPECT_EQ(run({}), 0) << printed();
    EXPECT_NE(printed().find("register 2, 07/12/2026: AGREES (0 lines 0.00"), std::string::npos) << printed();

    sales_db().execute("DELETE FROM venmo WHERE numsco = 2 AND totiva = 5");
    EXPECT_EQ(run({"--register", "1"}), 1) << printed();
    EXPECT_NE(printed().find("register 1, 07/12/2026: DIFFERS"), std::string::npos) << printed();
    EXPECT_NE(printed().find("  receipt 2 line of 07/12/2026 10:48:00: imported at the register, missing centrally"),
              std::string::npos)
        << printed();

    EXPECT_EQ(run({"--register", "1", "--json"}), 1) << printed();
    EXPECT_NE(printed().find("\"verdict\": \"differs\""), std::string::npos) << printed();

    std::filesystem::remove(local(testing::register_path(2)));
    EXPECT_EQ(run({"--register", "2"}), 2) << printed();
    EXPECT_NE(printed().find("register 2, 07/12/2026: NOT CHECKED"), std::string::npos) << printed();

    EXPECT_EQ(run({"--register", "2"}, "31/02/2026"), 2) << printed();
}

}  // namespace
}  // namespace cassasync::sales
