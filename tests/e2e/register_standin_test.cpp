// The register stand-in, run as the real program against a demo shop in a temporary
// root: what it writes into a register's database, and how it honours the register's
// semaphore (it writes only after turning Flag1 from 0 to 1, never over the service's 2,
// and gives Flag1 back).
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <cmath>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <thread>

#include "data/database.h"
#include "platform/clock.h"
#include "shop/shop_admin.h"
#include "support/child_process.h"
#include "support/programs.h"
#include "support/shop_fixture.h"

namespace cassasync::testing {
namespace {

using namespace std::chrono_literals;
using data::to_double;
using data::to_int;
using data::to_text;


bool valid_ean13(const std::string& ean) {
    if (ean.size() != 13 || ean.find_first_not_of("0123456789") != std::string::npos) return false;
    int sum = 0;
    for (int i = 0; i < 12; ++i) sum += (ean[i] - '0') * (i % 2 == 0 ? 1 : 3);
    return ean[12] - '0' == (10 - sum % 10) % 10;
}

double today_serial() {
    const auto t = platform::SystemClock().now();
    return static_cast<double>(platform::day_serial(t.year, t.month, t.day));
}

class RegisterStandInTest : public ShopTest {
protected:
    void SetUp() override {
        auto st = shop::build_demo_shop(paths_, 40);
        ASSERT_TRUE(st) << st.message();
    }

    std::vector<std::string> args(int n, std::vector<std::string> more) {
        return stand_in_args(root_.path(), n, more);
    }
    int run(int n, std::vector<std::string> more, std::chrono::milliseconds limit = 20s) {
        return run_program(args(n, std::move(more)), output(), limit);
    }
    std::filesystem::path output() const { return root_.path() / "standin-output.txt"; }
    std::string said() const { return read_text_file(output()); }

    std::int64_t flag1(int n) { return to_int(register_db(n).scalar("SELECT Flag1 FROM Semafori")); }
    void set_flag1(int n, std::int64_t v) { register_db(n).execute("UPDATE Semafori SET Flag1 = ?", {data::Value(v)}); }

    std::map<std::string, std::string> read_summary(const std::filesystem::path& file) {
        std::map<std::string, std::string> out;
        std::ifstream in(file);
        std::string key, value;
        while (in >> key >> value) {
            if (!out.count(key)) out[key] = value;
        }
        return out;
    }
};

TEST_F(RegisterStandInTest, RingWritesWaitingLinesDrawnFromTheCatalogue) {
    const std::string main_before = read_text_file(local("C:\\tarvi\\dati.mdb"));
    const double day_before = today_serial();
    ASSERT_EQ(run(2, {"ring", "--lines", "40", "--card", "--seed", "7"}), 0) << said();
    ASSERT_EQ(run(2, {"ring", "--lines", "3", "--no-card", "--seed", "8"}), 0) << said();
    const double day_after = today_serial();

    auto& reg = register_db(2);
    EXPECT_EQ(flag1(2), 0) << "the stand-in must give the semaphore back";
    EXPECT_EQ(count_rows(reg, "movimenti", "bflag3 <> 'S' OR aggiornogiacenza <> 'N' OR numcassa <> 2"), 0);
    EXPECT_EQ(count_rows(reg, "movimenti", "bdator < ? OR bdator > ? OR bdator <> round(bdator)",
                         {data::Value(day_before), data::Value(day_after)}),
              0);
    EXPECT_EQ(count_rows(reg, "movimenti", "bora < 0 OR bora >= 1"), 0);
    // One receipt number per receipt, counting up: the first receipt's lines come first.
    EXPECT_EQ(to_int(reg.scalar("SELECT max(id) FROM movimenti WHERE bnumer = 1")), count_rows(reg, "movimenti", "bnumer = 1"));
    EXPECT_EQ(count_rows(reg, "movimenti", "bnumer = 2"), 3);

    auto& main = main_db();
    int article_lines = 0, points_lines = 0, redeemed_lines = 0, weight_lines = 0, carton_lines = 0;
    double receipt_total = 0;
    auto& st = reg.prepare(
        "SELECT eanrig, quantita, prezzo, totrig, tiporecord, tessera, codrep FROM movimenti WHERE bnumer = 1 ORDER BY id");
    while (st.step()) {
        const std::string ean = to_text(st.column(0));
        const double quantita = to_double(st.column(1)), prezzo = to_double(st.column(2)),
                     totrig = to_double(st.column(3));
        const auto tiporecord = to_int(st.column(4));
        const std::string tessera = to_text(st.column(5));
        SCOPED_TRACE("line " + ean + " type " + std::to_string(tiporecord));
        EXPECT_EQ(count_rows(main, "clienti", "tessera = ?", {data::Value(tessera)}), 1) << "a card of a central customer";
        if (tiporecord == 23) {
            ++points_lines;
            EXPECT_EQ(quantita, std::max(1.0, std::floor(receipt_total + 1e-9))) << "one point per whole euro";
            continue;
        }
        if (tiporecord == 24) {
            ++redeemed_lines;
            EXPECT_GT(quantita, 0);
            continue;
        }
        ASSERT_EQ(tiporecord, 1);
        ++article_lines;
        receipt_total += totrig;
        EXPECT_NEAR(totrig, std::round(prezzo * quantita * 100) / 100, 1e-9);
        EXPECT_GT(to_int(st.column(6)), 0) << "department";
        if (ean == "8099999999999") continue;  // unlisted
        ASSERT_TRUE(valid_ean13(ean));
        if (count_rows(main, "codean", "eanare = ?", {data::Value(ean)}) == 1) {
            const double pezzix = to_double(main.scalar("SELECT pezzix FROM codean WHERE eanare = ?", {data::Value(ean)}));
            const double expected = pezzix > 1
                                        ? to_double(main.scalar("SELECT prezzox FROM codean WHERE eanare = ?", {data::Value(ean)}))
                                        : to_double(main.scalar("SELECT l.przpub FROM codean c JOIN listi01 l ON l.codart = c.codare WHERE c.eanare = ?",
                                                                {data::Value(ean)}));
            if (pezzix > 1) ++carton_lines;
            EXPECT_DOUBLE_EQ(prezzo, expected);
        } else {
            // A price barcode: the base row's first seven digits, then the amount in cents.
            ++weight_lines;
            EXPECT_EQ(count_rows(main, "codean", "substr(eanare, 1, 12) = ?", {data::Value(ean.substr(0, 7) + "00000")}), 1);
            EXPECT_NEAR(std::stod(ean.substr(7, 5)) / 100.0, totrig, 1e-9);
            EXPECT_EQ(quantita, 1.0);
        }
    }
    st.reset();
    EXPECT_EQ(article_lines, 40);
    EXPECT_EQ(points_lines, 1);
    EXPECT_LE(redeemed_lines, 1);
    EXPECT_EQ(count_rows(reg, "movimenti", "bnumer = 1"), 41 + redeemed_lines);
    EXPECT_GT(weight_lines, 0) << "40 lines should include a price barcode";
    EXPECT_GT(carton_lines, 0) << "40 lines should include a carton";
    EXPECT_EQ(count_rows(reg, "movimenti", "bnumer = 2 AND (tessera IS NOT NULL OR tiporecord <> 1)"), 0);
    EXPECT_EQ(read_text_file(local("C:\\tarvi\\dati.mdb")), main_before) << "the central catalogue is only read";
}

TEST_F(RegisterStandInTest, NeverWritesWhileTheSemaphoreIsTakenAndGivesUpInTime) {
    set_flag1(1, 2);  // the service holds register 1
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(run(1, {"ring", "--lock-wait-ms", "300"}), 2) << said();
    EXPECT_GE(std::chrono::steady_clock::now() - start, 300ms);
    EXPECT_NE(said().find("given up"), std::string::npos) << said();
    EXPECT_EQ(flag1(1), 2) << "the service's mark is never overwritten";
    EXPECT_EQ(count_rows(register_db(1), "movimenti"), 0);

    set_flag1(1, 5);  // an unknown holder
    EXPECT_EQ(run(1, {"card", "--lock-wait-ms", "200"}), 2) << said();
    EXPECT_EQ(flag1(1), 5);
    EXPECT_EQ(count_rows(register_db(1), "cartetxrx"), 0);
}

TEST_F(RegisterStandInTest, WaitsForTheServiceThenWritesAndReleases) {
    set_flag1(3, 2);
    ChildProcess child(args(3, {"ring", "--lines", "2", "--lock-wait-ms", "20000"}), output());
    std::this_thread::sleep_for(400ms);
    EXPECT_TRUE(child.running()) << said();
    EXPECT_EQ(count_rows(register_db(3), "movimenti"), 0) << "nothing written while the service holds the register";
    set_flag1(3, 0);
    auto status = child.wait_for(20s);
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(*status, 0) << said();
    EXPECT_GE(count_rows(register_db(3), "movimenti"), 2);
    EXPECT_EQ(flag1(3), 0);
}

TEST_F(RegisterStandInTest, CardArticleCustomerInvoiceAndClose) {
    ASSERT_EQ(run(1, {"card", "--seed", "1"}), 0) << said();
    ASSERT_EQ(run(1, {"card", "--seed", "2"}), 0) << said();
    auto& reg = register_db(1);
    auto& main = main_db();
    EXPECT_EQ(count_rows(reg, "cartetxrx", "flag = 1"), 2);
    EXPECT_EQ(to_int(reg.scalar("SELECT progressivo FROM cartetxrx ORDER BY id LIMIT 1")), 1);
    EXPECT_EQ(to_int(reg.scalar("SELECT progressivo FROM cartetxrx ORDER BY id DESC LIMIT 1")), 2);
    const auto t = platform::SystemClock().now();
    auto& cards = reg.prepare("SELECT tessera, bdat_scr FROM cartetxrx");
    while (cards.step()) {
        const std::string bdat = to_text(cards.column(1));
        EXPECT_EQ(count_rows(main, "clienti", "tessera = ?", {cards.column(0)}), 1);
        ASSERT_EQ(bdat.size(), 18u) << bdat;
        EXPECT_EQ(bdat.substr(0, 10), platform::short_date(t)) << bdat;
        EXPECT_EQ(bdat[12], ':');
        EXPECT_EQ(bdat[15], ':');
    }
    cards.reset();

    ASSERT_EQ(run(1, {"article"}), 0) << said();
    ASSERT_EQ(count_rows(reg, "codean", "flagagg = 'A'"), 1);
    const std::string ean = to_text(reg.scalar("SELECT eanare FROM codean WHERE flagagg = 'A'"));
    EXPECT_TRUE(valid_ean13(ean)) << ean;
    EXPECT_EQ(count_rows(main, "codean", "eanare = ?", {data::Value(ean)}), 0) << "a barcode new to the shop";
    EXPECT_GT(to_double(reg.scalar("SELECT przpub FROM codean WHERE flagagg = 'A'")), 0);

    ASSERT_EQ(run(1, {"customer"}), 0) << said();
    EXPECT_EQ(count_rows(reg, "clienti", "flagagg = 'A' AND codcliente > 0 AND length(tessera) = 13"), 1);

    ASSERT_EQ(run(1, {"invoice"}), 0) << said();
    ASSERT_EQ(count_rows(reg, "fatte", "fl1ts = 'F'"), 1);
    const auto numero = reg.scalar("SELECT numero FROM fatte");
    const auto anno = reg.scalar("SELECT anno FROM fatte");
    const auto rows = count_rows(reg, "fatmo", "bnumer = ? AND bannoc = ? AND codtipdoc = 'FT'", {numero, anno});
    EXPECT_GE(rows, 1);
    EXPECT_EQ(rows, count_rows(reg, "fatmo"));
    EXPECT_NEAR(to_double(reg.scalar("SELECT totimp FROM fatte")), to_double(reg.scalar("SELECT sum(totrig) FROM fatmo")), 1e-6);
    EXPECT_EQ(to_int(anno), t.year);

    const auto flag_file = root_.path() / "net" / "127.0.0.1" / "cash" / "cisonodati.txt";
    EXPECT_FALSE(std::filesystem::exists(flag_file));
    ASSERT_EQ(run(1, {"close"}), 0) << said();
    EXPECT_TRUE(std::filesystem::exists(flag_file));
    EXPECT_EQ(flag1(1), 0);
}

TEST_F(RegisterStandInTest, RunStopsOnSigtermAndSummaryMatchesTheFile) {
    const auto summary = root_.path() / "summary.txt";
    ChildProcess child(args(2, {"run", "--rate", "40", "--summary", summary.string()}), output());
    std::this_thread::sleep_for(1500ms);
    ASSERT_TRUE(child.running()) << said();
    child.send(SIGTERM);
    auto status = child.wait_for(15s);
    ASSERT_TRUE(status.has_value()) << "the stand-in did not stop on SIGTERM";
    EXPECT_EQ(*status, 0) << said();

    auto s = read_summary(summary);
    ASSERT_TRUE(s.count("lines")) << read_text_file(summary);
    auto& reg = register_db(2);
    EXPECT_GT(std::stoi(s["receipts"]), 0);
    EXPECT_EQ(std::stoi(s["lines"]), count_rows(reg, "movimenti"));
    EXPECT_EQ(std::stoi(s["receipts"]), to_int(reg.scalar("SELECT count(DISTINCT bnumer) FROM movimenti")));
    EXPECT_EQ(std::stoi(s["points_lines"]), count_rows(reg, "movimenti", "tiporecord IN (23, 24)"));
    EXPECT_EQ(std::stoi(s["cards_read"]), count_rows(reg, "cartetxrx"));
    EXPECT_EQ(std::stoi(s["invoices"]), count_rows(reg, "fatte"));
    EXPECT_EQ(std::stoi(s["failed"]), 0) << said();
    EXPECT_EQ(flag1(2), 0);
}

TEST_F(RegisterStandInTest, TwoWritersOnOneRegisterTakeTurns) {
    const auto s1 = root_.path() / "s1.txt", s2 = root_.path() / "s2.txt";
    ChildProcess a(args(1, {"run", "--rate", "200", "--seconds", "2", "--summary", s1.string()}), output());
    ChildProcess b(args(1, {"run", "--rate", "200", "--seconds", "2", "--summary", s2.string()}), output());
    auto sa = a.wait_for(30s), sb = b.wait_for(30s);
    ASSERT_TRUE(sa && sb);
    EXPECT_EQ(*sa, 0) << said();
    EXPECT_EQ(*sb, 0) << said();
    auto x = read_summary(s1), y = read_summary(s2);
    auto& reg = register_db(1);
    EXPECT_EQ(std::stoi(x["lines"]) + std::stoi(y["lines"]), count_rows(reg, "movimenti"));
    // Receipts are numbered under the semaphore, so no two receipts share a number.
    EXPECT_EQ(std::stoi(x["receipts"]) + std::stoi(y["receipts"]),
              to_int(reg.scalar("SELECT count(DISTINCT bnumer) FROM movimenti")));
    EXPECT_EQ(std::stoi(x["failed"]) + std::stoi(y["failed"]), 0) << said();
    EXPECT_EQ(flag1(1), 0);
}

}  // namespace
}  // namespace cassasync::testing
