// The whole shop at work: a demo shop built by `cassasync-shop`, three register
// stand-ins ringing up receipts, reading cards and changing master data at the same
// time while the real service cycles with a fast tick and real ICMP echoes to
// 127.0.0.1-3. After the stand-ins stop, two close requests are left and two more cycles
// run; then every effect is checked against what the registers recorded.
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "data/database.h"
#include "support/child_process.h"
#include "support/service_command.h"
#include "platform/clock.h"
#include "platform/path_map.h"
#include "platform/pinger.h"
#include "support/shop_fixture.h"

namespace cassasync::testing {
namespace {

using namespace std::chrono_literals;
using data::Database;
using data::Value;
using data::to_double_or;
using data::to_int_or;
using data::to_text;

const std::string kShop = CASSASYNC_BINARY_DIR "/tools/cassasync-shop";
const std::string kStandIn = CASSASYNC_BINARY_DIR "/tools/cassasync-register";
const std::string kService = testing::kServiceProgram;

constexpr int kRegisters = 3;
constexpr auto kRinging = 6s;           // how long the stand-ins ring while the service cycles
constexpr int kCyclesWhileRinging = 20;  // more than kRinging holds at a 200 ms tick
constexpr const char* kRate = "6";       // actions per second and register
const std::set<int> kClosing = {1, 3};   // registers that ask for their day to be closed

// Half to even at `decimals`, as the receipt import rounds a derived quantity.
double round_half_even(double v, int decimals) {
    const double scale = std::pow(10.0, decimals);
    return std::nearbyint(v * scale) / scale;
}
double round_half_away(double v, int decimals) {
    const double scale = std::pow(10.0, decimals);
    return std::round(v * scale) / scale;
}

std::string rtrim(std::string s) {
    while (!s.empty() && s.back() == ' ') s.pop_back();
    return s;
}

struct Summary {
    std::map<std::string, long> counts;
    std::vector<std::string> cards, barcodes;
    std::vector<long> customers, invoices;
};

Summary read_summary(const std::filesystem::path& file) {
    Summary s;
    std::ifstream in(file);
    std::string key, value;
    while (in >> key >> value) {
        if (key == "card") s.cards.push_back(value);
        else if (key == "barcode") s.barcodes.push_back(value);
        else if (key == "customer") s.customers.push_back(std::stol(value));
        else if (key == "invoice") s.invoices.push_back(std::stol(value));
        else if (key != "path") s.counts[key] = std::stol(value);
    }
    return s;
}

// An article row of the central catalogue as the receipt import sees it.
struct Priced {
    std::int64_t codart = 0;
    double pezzix = 1;
    double przpub = 0;
    std::int64_t colore = 0;
};

class WholeShopTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!platform::IcmpPinger::available()) {
            GTEST_SKIP() << "this process may not open an ICMP socket (neither a datagram ICMP socket, see "
                            "net.ipv4.ping_group_range, nor a raw socket): the service could not see its registers";
        }
        paths_ = std::make_unique<platform::RootPathMap>(root_.path());
    }

    void TearDown() override {
        if (!HasFailure()) return;
        for (const auto& f : std::filesystem::directory_iterator(root_.path())) {
            if (f.path().extension() == ".out") {
                std::printf("---- %s\n%s", f.path().filename().c_str(), tail_of(f.path(), 15).c_str());
            }
        }
        const auto logs = root_.path() / "C" / "tarvi" / "bkp";
        if (std::filesystem::exists(logs)) {
            for (const auto& f : std::filesystem::directory_iterator(logs)) {
                std::printf("---- %s (end)\n%s", f.path().filename().c_str(), tail_of(f.path(), 60).c_str());
            }
        }
    }

    std::filesystem::path out(const std::string& name) const { return root_.path() / (name + ".out"); }
    std::vector<std::string> stand_in(int n, std::vector<std::string> more) const {
        std::vector<std::string> a{kStandIn, "--root", root_.path().string(), "--register", std::to_string(n)};
        a.insert(a.end(), more.begin(), more.end());
        return a;
    }
    std::vector<std::string> service(int cycles) const {
        return testing::service_command({"--root", root_.path().string(), "--headless", "--tick-ms", "200", "--cycles",
                std::to_string(cycles)});
    }

    Database& db(const std::string& windows_path) {
        auto& slot = open_[windows_path];
        if (!slot) slot = std::make_unique<Database>(paths_->to_local(windows_path));
        return *slot;
    }
    Database& main() { return db("C:\\tarvi\\dati.mdb"); }
    Database& sales() { return db("C:\\tarvi\\vendite.mdb"); }
    Database& loyalty() { return db("C:\\tarvi\\fidel.mdb"); }
    Database& reg(int n) { return db(register_path(n)); }

    std::map<std::int64_t, double> sold_by_article() {
        std::map<std::int64_t, double> out;
        auto& st = main().prepare("SELECT codart, qven FROM listi01");
        while (st.step()) out[to_int_or(st.column(0), 0)] = to_double_or(st.column(1), 0);
        st.reset();
        return out;
    }
    // Earned and redeemed points by card.
    std::map<std::string, std::pair<std::int64_t, std::int64_t>> points_by_card() {
        std::map<std::string, std::pair<std::int64_t, std::int64_t>> out;
        auto& st = main().prepare("SELECT tessera, sum(punticum), sum(puntisca) FROM clienti GROUP BY tessera");
        while (st.step()) out[to_text(st.column(0))] = {to_int_or(st.column(1), 0), to_int_or(st.column(2), 0)};
        st.reset();
        return out;
    }

    TempDir root_;
    std::unique_ptr<platform::RootPathMap> paths_;
    std::map<std::string, std::unique_ptr<Database>> open_;
};

TEST_F(WholeShopTest, EveryLineCardPointAndCloseRequestArrivesExactlyOnce) {
    ASSERT_EQ(run_program({kShop, "demo", "--root", root_.path().string()}, out("shop"), 60s), 0)
        << read_text_file(out("shop"));
    const auto sold_before = sold_by_article();
    const auto points_before = points_by_card();
    const auto t0 = platform::SystemClock().now();
    const double started_at = platform::date_time_serial(t0) - 1.0 / 86400;  // a second of slack

    // ---- the shop at work
    {
        ChildProcess svc(service(kCyclesWhileRinging), out("service-1"));
        std::vector<std::unique_ptr<ChildProcess>> registers;
        for (int n = 1; n <= kRegisters; ++n) {
            const auto summary = root_.path() / ("summary-" + std::to_string(n) + ".txt");
            registers.push_back(std::make_unique<ChildProcess>(
                stand_in(n, {"run", "--rate", kRate, "--seed", std::to_string(n), "--summary", summary.string()}),
                out("register-" + std::to_string(n))));
        }
        std::this_thread::sleep_for(kRinging);
        EXPECT_TRUE(svc.running()) << "the service ended before the stand-ins stopped; raise kCyclesWhileRinging";
        for (auto& r : registers) r->send(SIGTERM);
        for (int n = 1; n <= kRegisters; ++n) {
            auto st = registers[static_cast<std::size_t>(n - 1)]->wait_for(30s);
            ASSERT_TRUE(st.has_value()) << "register stand-in " << n << " did not stop on SIGTERM";
            EXPECT_EQ(*st, 0) << read_text_file(out("register-" + std::to_string(n)));
        }
        auto st = svc.wait_for(180s);
        ASSERT_TRUE(st.has_value()) << "the service did not finish its cycles";
        EXPECT_EQ(*st, 0) << read_text_file(out("service-1"));
    }
    for (int n : kClosing) ASSERT_EQ(run_program(stand_in(n, {"close"}), out("close"), 30s), 0) << read_text_file(out("close"));
    ASSERT_EQ(run_program(service(2), out("service-2"), 180s), 0) << read_text_file(out("service-2"));

    const auto t1 = platform::SystemClock().now();
    ASSERT_EQ(platform::day_serial(t0.year, t0.month, t0.day), platform::day_serial(t1.year, t1.month, t1.day))
        << "the run crossed midnight; run the test again";
    const double today = static_cast<double>(platform::day_serial(t1.year, t1.month, t1.day));

    std::vector<Summary> summaries;
    for (int n = 1; n <= kRegisters; ++n) {
        summaries.push_back(read_summary(root_.path() / ("summary-" + std::to_string(n) + ".txt")));
        ASSERT_GT(summaries.back().counts["lines"], 0) << "register " << n << " rang nothing";
        EXPECT_EQ(summaries.back().counts["failed"], 0) << read_text_file(out("register-" + std::to_string(n)));
    }

    // ---- every receipt line imported exactly once
    using LineKey = std::tuple<int, std::int64_t, std::int64_t, std::string, std::int64_t, std::int64_t, std::int64_t>;
    std::map<LineKey, int> rung, imported;
    std::int64_t rung_total = 0;
    for (int n = 1; n <= kRegisters; ++n) {
        SCOPED_TRACE("register " + std::to_string(n));
        const auto lines = count_rows(reg(n), "movimenti");
        EXPECT_EQ(lines, summaries[static_cast<std::size_t>(n - 1)].counts["lines"]) << "lines rung";
        EXPECT_EQ(count_rows(reg(n), "movimenti", "aggiornogiacenza = 'S'"), lines) << "every line marked imported";
        EXPECT_EQ(count_rows(reg(n), "movimenti", "aggiornogiacenza = 'N'"), 0) << "no line left waiting";
        EXPECT_EQ(count_rows(sales(), "venmo", "cassa = ?", {Value(std::int64_t{n})}), lines) << "one sale row per line";
        rung_total += lines;
        auto& st = reg(n).prepare("SELECT bnumer, bdator, eanrig, totrig, quantita, tiporecord FROM movimenti");
        while (st.step()) {
            ++rung[{n, to_int_or(st.column(0), 0), std::llround(to_double_or(st.column(1), 0)), rtrim(to_text(st.column(2))),
                    std::llround(to_double_or(st.column(3), 0) * 100), std::llround(to_double_or(st.column(4), 0) * 1000),
                    to_int_or(st.column(5), 0)}];
        }
        st.reset();
    }
    EXPECT_EQ(count_rows(sales(), "venmo"), rung_total);
    auto& vm = sales().prepare("SELECT cassa, numsco, bdator, eanrig, totiva, colli, taglia FROM venmo");
    while (vm.step()) {
        ++imported[{static_cast<int>(to_int_or(vm.column(0), 0)), to_int_or(vm.column(1), 0),
                    std::llround(to_double_or(vm.column(2), 0)), rtrim(to_text(vm.column(3))),
                    std::llround(to_double_or(vm.column(4), 0) * 100), std::llround(to_double_or(vm.column(5), 0) * 1000),
                    to_int_or(vm.column(6), 0)}];
    }
    vm.reset();
    int mismatched = 0;
    for (const auto& [key, times] : rung) {
        auto it = imported.find(key);
        const int got = it == imported.end() ? 0 : it->second;
        if (got != times && ++mismatched <= 5) {
            ADD_FAILURE() << "register " << std::get<0>(key) << " receipt " << std::get<1>(key) << " line \""
                          << std::get<3>(key) << "\" (record type " << std::get<6>(key) << ") rung " << times
                          << " times, imported " << got << " times";
        }
    }
    EXPECT_EQ(mismatched, 0);
    EXPECT_EQ(imported.size(), rung.size()) << "sale rows that no register line accounts for";

    // ---- each article's stock moved by exactly the quantities rung up
    std::map<std::string, Priced> by_barcode;
    {
        auto& st = main().prepare(
            "SELECT c.eanare, c.codare, c.pezzix, l.przpub, l.colore FROM codean c JOIN listi01 l ON l.codart = c.codare "
            "ORDER BY c.rowid");
        while (st.step()) {
            const std::string ean = to_text(st.column(0));
            if (by_barcode.count(ean)) continue;  // the first row found wins
            by_barcode[ean] = {to_int_or(st.column(1), 0), to_double_or(st.column(2), 1), to_double_or(st.column(3), 0),
                               to_int_or(st.column(4), 0)};
        }
        st.reset();
    }
    std::map<std::int64_t, double> expected_sold;
    for (int n = 1; n <= kRegisters; ++n) {
        auto& st = reg(n).prepare("SELECT eanrig, quantita, totrig FROM movimenti WHERE tiporecord <= 10");
        while (st.step()) {
            const std::string ean = to_text(st.column(0));
            const double quantita = to_double_or(st.column(1), 0), totrig = to_double_or(st.column(2), 0);
            const Priced* p = nullptr;
            double quantity = quantita;
            if (auto it = by_barcode.find(ean); it != by_barcode.end()) {
                p = &it->second;
                quantity = (p->pezzix == 0 ? 1 : p->pezzix) * quantita;
            } else if (ean.size() >= 7) {
                // A barcode carrying its price: the row whose first twelve characters are
                // the first seven and five zeros.
                const std::string twelve = ean.substr(0, 7) + "00000";
                for (const auto& [code, row] : by_barcode) {
                    if (code.compare(0, 12, twelve) == 0) {
                        p = &row;
                        break;
                    }
                }
                if (p) quantity = p->przpub != 0 ? round_half_even(totrig / p->przpub, 3) : 0;
            }
            if (!p) continue;  // unlisted: no article, no stock
            if (p->colore == 5 && p->przpub != 0) quantity = round_half_even(totrig / p->przpub, 2);
            expected_sold[p->codart] += round_half_away(quantity, 3);
        }
        st.reset();
    }
    ASSERT_FALSE(expected_sold.empty());
    const auto sold_after = sold_by_article();
    int stock_errors = 0;
    for (const auto& [codart, qven] : sold_after) {
        const auto before = sold_before.count(codart) ? sold_before.at(codart) : 0.0;
        const auto want = expected_sold.count(codart) ? expected_sold.at(codart) : 0.0;
        if (std::fabs((qven - before) - want) > 1e-6 && ++stock_errors <= 5) {
            ADD_FAILURE() << "article " << codart << ": qven moved by " << (qven - before) << ", rung up " << want;
        }
    }
    EXPECT_EQ(stock_errors, 0);

    // ---- points and journals agree
    std::int64_t points_lines = 0;
    std::map<std::string, std::pair<std::int64_t, std::int64_t>> points_rung;
    for (int n = 1; n <= kRegisters; ++n) {
        auto& st = reg(n).prepare(
            "SELECT tessera, tiporecord, quantita FROM movimenti WHERE tiporecord IN (23, 24) AND tessera <> ''");
        while (st.step()) {
            ++points_lines;
            auto& p = points_rung[to_text(st.column(0))];
            (to_int_or(st.column(1), 0) == 23 ? p.first : p.second) += std::llround(to_double_or(st.column(2), 0));
        }
        st.reset();
    }
    EXPECT_GT(points_lines, 0);
    EXPECT_EQ(count_rows(loyalty(), "movtessere"), points_lines) << "one journal row per points line";
    EXPECT_EQ(count_rows(loyalty(), "movtessere", "tipo = 23"), [&] {
        std::int64_t c = 0;
        for (int n = 1; n <= kRegisters; ++n) c += count_rows(reg(n), "movimenti", "tiporecord = 23 AND tessera <> ''");
        return c;
    }());
    const auto points_after = points_by_card();
    for (const auto& [card, rung_points] : points_rung) {
        const auto before = points_before.count(card) ? points_before.at(card) : std::pair<std::int64_t, std::int64_t>{0, 0};
        ASSERT_TRUE(points_after.count(card)) << "card " << card << " lost its customer";
        const auto after = points_after.at(card);
        EXPECT_EQ(after.first - before.first, rung_points.first) << "points earned on card " << card;
        EXPECT_EQ(after.second - before.second, rung_points.second) << "points redeemed on card " << card;
        const auto journal_earned = to_int_or(
            loyalty().scalar("SELECT sum(punti) FROM movtessere WHERE rtrim(tessera) = ? AND tipo = 23", {Value(card)}), 0);
        EXPECT_EQ(journal_earned, rung_points.first) << "journal of card " << card;
    }
    EXPECT_EQ(count_rows(main(), "clienti", "puntisal <> punticum - puntisca AND tessera IN (SELECT tessera FROM clienti "
                                           "WHERE flagagg = 'A')"),
              0);

    // ---- every card read reached registers 1 to 3
    std::set<std::string> cards_read;
    std::int64_t readings = 0;
    for (const auto& s : summaries) {
        cards_read.insert(s.cards.begin(), s.cards.end());
        readings += static_cast<std::int64_t>(s.cards.size());
    }
    EXPECT_FALSE(cards_read.empty());
    EXPECT_EQ(count_rows(main(), "cartetxrx"), readings) << "one journal row per reading";
    EXPECT_EQ(count_rows(main(), "cartetx"), 0) << "cards still queued";
    for (int n = 1; n <= kRegisters; ++n) {
        EXPECT_EQ(count_rows(reg(n), "cartetxrx"), 0) << "readings left at register " << n;
        for (const auto& card : cards_read) {
            EXPECT_GE(count_rows(reg(n), "tessere", "rtrim(tessera) = ? AND bdat_scr >= ?", {Value(card), Value(started_at)}), 1)
                << "card " << card << " never reached register " << n;
        }
    }

    // ---- barcodes, customers and invoices made at the registers are central
    for (std::size_t i = 0; i < summaries.size(); ++i) {
        for (const auto& ean : summaries[i].barcodes) {
            EXPECT_EQ(count_rows(main(), "codean", "eanare = ?", {Value(ean)}), 1) << "barcode " << ean;
        }
        for (auto code : summaries[i].customers) {
            EXPECT_EQ(count_rows(main(), "clienti", "codcliente = ?", {Value(std::int64_t{code})}), 1) << "customer " << code;
        }
        for (auto numero : summaries[i].invoices) {
            EXPECT_EQ(count_rows(main(), "fatte", "numero = ? AND fatturadascontrino = 'C'", {Value(std::int64_t{numero})}), 1)
                << "invoice " << numero;
        }
        EXPECT_EQ(count_rows(reg(static_cast<int>(i + 1)), "codean", "flagagg = 'A'"), 0);
        EXPECT_EQ(count_rows(reg(static_cast<int>(i + 1)), "clienti", "flagagg = 'A'"), 0);
    }

    // ---- every close request registered its day
    for (int n = 1; n <= kRegisters; ++n) {
        SCOPED_TRACE("register " + std::to_string(n));
        const Value agente{std::int64_t{n}};
        EXPECT_EQ(count_rows(sales(), "vente", "agente = ? AND dataor = ?", {agente, Value(today)}), 1)
            << "one document for the day";
        const std::string regis =
            to_text(sales().scalar("SELECT regis FROM vente WHERE agente = ? AND dataor = ?", {agente, Value(today)}));
        const auto flag_file = paths_->to_local("\\\\127.0.0." + std::to_string(n) + "\\cash\\cisonodati.txt");
        EXPECT_FALSE(std::filesystem::exists(flag_file)) << "close request not taken";
        if (kClosing.count(n)) {
            EXPECT_EQ(regis, "R");
            const double totale = to_double_or(
                sales().scalar("SELECT totale FROM vente WHERE agente = ? AND dataor = ?", {agente, Value(today)}), 0);
            const double rows = to_double_or(
                sales().scalar("SELECT sum(totiva) FROM venmo WHERE cassa = ? AND tipmov = 'AR' AND bdator = ?",
                               {agente, Value(today)}),
                0);
            EXPECT_GT(totale, 0);
            EXPECT_NEAR(totale, rows, 0.005) << "the registered total is the day's sales";
        } else {
            EXPECT_EQ(regis, " ") << "a day nobody asked to close stays open";
        }
    }

    // ---- nobody holds a register any more
    for (int n = 1; n <= kRegisters; ++n) {
        EXPECT_EQ(to_int_or(reg(n).scalar("SELECT Flag1 FROM Semafori"), -1), 0) << "Flag1 of register " << n;
    }

    // ---- the shop's own reconciliation finds every register's day whole
    const std::string day = platform::short_date(t1);
    EXPECT_EQ(run_program({kShop, "reconcile", "--root", root_.path().string(), "--day", day}, out("reconcile"), 60s), 0)
        << read_text_file(out("reconcile"));
    const std::string printed = read_text_file(out("reconcile"));
    for (int n = 1; n <= kRegisters; ++n) {
        EXPECT_NE(printed.find("register " + std::to_string(n) + ", " + day + ": AGREES ("), std::string::npos) << printed;
    }
}

}  // namespace
}  // namespace cassasync::testing
