// The closing check and the sale registration on real files: the close request file,
// the day's document selection, the VAT slots and totals written into the header,
// the log lines, and the order that keeps a request from being lost.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "sales/closing_command.h"
#include "sales/sale_registration.h"
#include "support/shop_fixture.h"

namespace cassasync::sales {
namespace {

using data::Value;

constexpr int kYear = 2026;
constexpr int kRegister = 2;
const std::string kRegisterPath = "\\\\127.0.0.2\\cassa\\dati.mdb";
const std::string kFlag = "\\\\127.0.0.2\\cash\\cisonodati.txt";

const std::string kCheckLine = "- Controllo se è stata avviata una chiusura  " + kFlag;
const std::string kAbsentLine = "- Comando di  chiusura non avviato " + kFlag;
const std::string kPresentLine = "- Comando di chiusura avviato  " + kFlag;
const std::string kReceivedLine = "-  Ricevuto Comando di chiusura dalla cassa nr 2";
// The close ends with the reconciliation of the day; this shop has no register file.
const std::string kNotReconciledLine = "- Riconciliazione: register 2, 07/12/2026: NOT CHECKED: register database " +
                                       kRegisterPath + " cannot be reached or is missing";

std::vector<std::string> registration_lines(int numero) {
    return {"-  Sto registrando la vendita " + std::to_string(numero) + ". Attendere prego ...",
            "-  Calcolo i totali della vendita ...",
            "-  Vendita " + std::to_string(numero) + " REGISTRATA CON SUCCESSO."};
}

struct Row {
    const char* iva;
    double totrig;   // net
    double totiva;   // gross
    const char* tipmov = "AR";
    const char* bflag2 = "V";
};

class ClosingTest : public testing::ShopTest {
protected:
    void SetUp() override {
        ready();
        today_ = platform::day_serial(2026, 12, 7);
        log_start_ = log_messages().size();
    }

    void add_header(int numero, double dataor, int agente = kRegister, int anno = kYear) {
        sales_db().execute("INSERT INTO vente (codutente, anno, numero, dataor, agente, tipodoc) VALUES (1,?,?,?,?,'VENDITE')",
                           {Value(std::int64_t{anno}), Value(std::int64_t{numero}), Value(dataor),
                            Value(std::int64_t{agente})});
    }
    void add_rows(int numero, const std::vector<Row>& rows, int anno = kYear) {
        int bns = 0;
        for (const auto& r : rows) {
            ++bns;
            sales_db().execute(
                "INSERT INTO venmo (bannoc, bnumer, bns, tipmov, bflag2, iva, totrig, totiva) VALUES (?,?,?,?,?,?,?,?)",
                {Value(std::int64_t{anno}), Value(std::int64_t{numero}), Value(std::int64_t{bns}),
                 r.tipmov ? Value(std::string(r.tipmov)) : data::kNull,
                 r.bflag2 ? Value(std::string(r.bflag2)) : data::kNull, Value(std::string(r.iva)),
                 Value(r.totrig), Value(r.totiva)});
        }
    }
    Value header(int numero, const std::string& field, int anno = kYear) {
        return sales_db().scalar("SELECT " + field + " FROM vente WHERE anno = ? AND numero = ?",
                                 {Value(std::int64_t{anno}), Value(std::int64_t{numero})});
    }
    double number(int numero, const std::string& field) { return data::to_double(header(numero, field)); }
    std::string slot_field(const char* prefix, int k) { return prefix + std::string("0") + std::to_string(k); }

    void create_flag(const std::string& windows_name = kFlag) {
        auto file = local(windows_name);
        std::filesystem::create_directories(file.parent_path());
        std::ofstream(file) << "1";
    }
    bool flag_exists(const std::string& windows_name = kFlag) { return std::filesystem::exists(local(windows_name)); }

    void close_day(const std::string& path = kRegisterPath) { Controllo_Chiusura(*ctx_, kRegister, path, today_); }
    void register_day(int agente) { Registra_Vendita(ctx_->databases.central(), ctx_->log, kYear, agente, today_); }

    std::vector<std::string> new_log() const {
        auto all = log_messages();
        return {all.begin() + static_cast<std::ptrdiff_t>(log_start_), all.end()};
    }

    // Slots 1..7 as (code, taxable, vat) read back from the header.
    void expect_slot(int numero, int k, const std::string& code, float taxable, float vat) {
        EXPECT_EQ(data::to_text(header(numero, slot_field("iva", k))), code) << "slot " << k;
        EXPECT_FLOAT_EQ(static_cast<float>(number(numero, slot_field("imp", k))), taxable) << "slot " << k;
        EXPECT_FLOAT_EQ(static_cast<float>(number(numero, slot_field("ims", k))), vat) << "slot " << k;
    }
    void expect_free_from(int numero, int first) {
        for (int k = first; k <= 7; ++k) expect_slot(numero, k, "  ", 0.0f, 0.0f);
    }
    void expect_untouched(int numero) {
        EXPECT_TRUE(data::is_null(header(numero, "regis"))) << "document " << numero;
        EXPECT_EQ(number(numero, "totale"), 0.0) << "document " << numero;
        EXPECT_EQ(number(numero, "totimp"), 0.0) << "document " << numero;
        EXPECT_TRUE(data::is_null(header(numero, "iva01"))) << "document " << numero;
    }

    long today_ = 0;
    std::size_t log_start_ = 0;
};

// ---- the close request ----

TEST_F(ClosingTest, RequestRegistersTodaysDocumentAndIsConsumed) {
    add_header(5, today_);
    add_rows(5, {{"10", 10.00, 11.00}, {"22", 20.00, 24.40}, {"10", 5.00, 5.50}});
    create_flag();

    close_day();

    EXPECT_FALSE(flag_exists());
    std::vector<std::string> expected = {kCheckLine, kPresentLine, kReceivedLine};
    for (auto& l : registration_lines(5)) expected.push_back(l);
    expected.push_back(kNotReconciledLine);
    EXPECT_EQ(new_log(), expected);
    EXPECT_EQ(data::to_text(header(5, "regis")), "R");
    expect_slot(5, 1, "10", 15.00f, 1.50f);
    expect_slot(5, 2, "22", 20.00f, 4.40f);
    expect_free_from(5, 3);
    EXPECT_DOUBLE_EQ(number(5, "totale"), 40.90);
    EXPECT_DOUBLE_EQ(number(5, "totimp"), 35.00);
    EXPECT_DOUBLE_EQ(number(5, "totiva"), 5.90);
    // Slot amounts are single precision.
    EXPECT_EQ(number(5, "ims02"), static_cast<double>(4.40f));
}

TEST_F(ClosingTest, RequestWithoutTodaysDocumentIsConsumedAndChangesNothing) {
    add_header(1, today_ - 1);             // yesterday
    add_header(2, today_ + 1);             // tomorrow
    add_header(3, today_, kRegister + 1);  // another register
    add_header(4, today_, kRegister, kYear - 1);
    for (int numero : {1, 2, 3}) add_rows(numero, {{"22", 10.00, 12.20}});
    add_rows(4, {{"22", 10.00, 12.20}}, kYear - 1);
    create_flag();

    close_day();

    EXPECT_FALSE(flag_exists());
    EXPECT_EQ(new_log(), (std::vector<std::string>{kCheckLine, kPresentLine, kReceivedLine, kNotReconciledLine}));
    for (int numero : {1, 2, 3}) expect_untouched(numero);
    EXPECT_TRUE(data::is_null(header(4, "regis", kYear - 1)));
}

TEST_F(ClosingTest, DocumentDatedWithATimeOfDayIsTodays) {
    add_header(6, today_ + 0.75);
    add_rows(6, {{"22", 10.00, 12.20}});
    create_flag();
    close_day();
    EXPECT_EQ(data::to_text(header(6, "regis")), "R");
    EXPECT_DOUBLE_EQ(number(6, "totimp"), 10.00);
}

TEST_F(ClosingTest, AbsentRequestWritesTwoLinesAndChangesNothing) {
    add_header(5, today_);
    add_rows(5, {{"22", 10.00, 12.20}});

    close_day();

    EXPECT_EQ(new_log(), (std::vector<std::string>{kCheckLine, kAbsentLine}));
    expect_untouched(5);
}

TEST_F(ClosingTest, UnreachableRegisterFolderCountsAsNoRequest) {
    const std::string path = "\\\\127.0.0.9\\cassa\\dati.mdb";
    const std::string flag = "\\\\127.0.0.9\\cash\\cisonodati.txt";
    ASSERT_FALSE(std::filesystem::exists(local("\\\\127.0.0.9")));
    EXPECT_NO_THROW(Controllo_Chiusura(*ctx_, 9, path, today_));
    EXPECT_EQ(new_log(), (std::vector<std::string>{"- Controllo se è stata avviata una chiusura  " + flag,
                                                   "- Comando di  chiusura non avviato " + flag}));
}

TEST_F(ClosingTest, FlagFileIsNamedAfterTheHostOfTheRegisterPath) {
    const std::string flag = "\\\\CASSA2\\cash\\cisonodati.txt";
    create_flag(flag);
    // A file in the register's own share is not the request.
    create_flag("\\\\CASSA2\\dati\\cisonodati.txt");

    close_day("\\\\CASSA2\\dati\\cassa.mdb");

    EXPECT_FALSE(flag_exists(flag));
    EXPECT_TRUE(flag_exists("\\\\CASSA2\\dati\\cisonodati.txt"));
    auto log = new_log();
    ASSERT_EQ(log.size(), 4u);
    EXPECT_EQ(log[0], "- Controllo se è stata avviata una chiusura  " + flag);
    EXPECT_EQ(log[1], "- Comando di chiusura avviato  " + flag);
    EXPECT_EQ(log[3], "- Riconciliazione: register 2, 07/12/2026: NOT CHECKED: register database "
                      "\\\\CASSA2\\dati\\cassa.mdb cannot be reached or is missing");
}

TEST_F(ClosingTest, PathThatIsNotANetworkPathIsNotChecked) {
    add_header(5, today_);
    add_rows(5, {{"22", 10.00, 12.20}});
    for (const char* path : {"C:\\tarvi\\cassa.mdb", "C:\\a\\b\\cassa.mdb", "\\\\CASSA2", "", "cassa.mdb"}) {
        EXPECT_NO_THROW(close_day(path)) << path;
    }
    EXPECT_TRUE(new_log().empty());
    expect_untouched(5);
}

TEST_F(ClosingTest, FailedRegistrationKeepsTheRequestAndTheHeader) {
    add_header(5, today_);
    add_rows(5, {{"22", 10.00, 12.20}});
    create_flag();
    // Lets the mark through and fails the registration's own update of the header.
    sales_db().exec("CREATE TRIGGER fail_registration BEFORE UPDATE OF totimp ON vente "
                    "BEGIN SELECT RAISE(ABORT, 'registration failed in test'); END;");

    EXPECT_THROW(close_day(), data::DbError);

    EXPECT_TRUE(flag_exists());
    expect_untouched(5);
    auto log = new_log();
    // The registration got as far as its update: no success line.
    auto lines = registration_lines(5);
    ASSERT_EQ(log.size(), 5u);
    EXPECT_EQ(log[3], lines[0]);
    EXPECT_EQ(log[4], lines[1]);

    // The next cycle carries the request out.
    sales_db().exec("DROP TRIGGER fail_registration");
    close_day();
    EXPECT_FALSE(flag_exists());
    EXPECT_EQ(data::to_text(header(5, "regis")), "R");
    EXPECT_DOUBLE_EQ(number(5, "totimp"), 10.00);
    EXPECT_DOUBLE_EQ(number(5, "totiva"), 2.20);
}

TEST_F(ClosingTest, SeveralMatchingDocumentsOneIsRegisteredPerRequestWaitingOnesFirst) {
    add_header(5, today_);
    add_header(8, today_);
    add_rows(5, {{"22", 10.00, 12.20}});
    add_rows(8, {{"10", 10.00, 11.00}});
    create_flag();

    close_day();

    EXPECT_EQ(data::to_text(header(5, "regis")), "R");
    EXPECT_DOUBLE_EQ(number(5, "totale"), 12.20);
    expect_untouched(8);
    auto log = new_log();
    ASSERT_EQ(log.size(), 7u);
    EXPECT_EQ(log[3], registration_lines(5)[0]);

    // Document 8 (say, opened by a late line after the day was closed) still waits: the
    // next request registers it, not the closed one again.
    sales_db().execute("UPDATE vente SET totale = 99 WHERE numero = 5");
    create_flag();
    close_day();
    EXPECT_EQ(data::to_text(header(8, "regis")), "R");
    EXPECT_DOUBLE_EQ(number(8, "totale"), 11.00);
    EXPECT_DOUBLE_EQ(number(5, "totale"), 99) << "the closed document is left as it is";
}

TEST_F(ClosingTest, TheCloseRegistersTheDocumentOfTodaysYear) {
    // Running since December, closing on 2 January.
    clock_.set({2027, 1, 2, 20, 0, 0});
    today_ = platform::day_serial(2027, 1, 2);
    add_header(1, today_, kRegister, 2027);
    add_rows(1, {{"22", 10.00, 12.20}}, 2027);
    add_header(1, today_, kRegister, 2026);  // a stray document of the old year, same day
    create_flag();

    close_day();

    EXPECT_EQ(data::to_text(header(1, "regis", 2027)), "R");
    EXPECT_DOUBLE_EQ(data::to_double(header(1, "totale", 2027)), 12.20);
    expect_untouched(1);
}

// ---- the registration ----

TEST_F(ClosingTest, DocumentWithoutCountingRowsGetsEmptySlotsAndZeroTotals) {
    add_header(5, today_);
    // Stale values from an earlier registration are overwritten.
    sales_db().execute("UPDATE vente SET imp01 = 9, ims01 = 1, iva01 = '22', totale = 7, totimp = 5, totiva = 2 WHERE numero = 5");
    add_rows(5, {{"22", 10.00, 12.20, "XX"},       // not an article row
                 {"22", 10.00, 12.20, "AR", "A"},  // excluded
                 {"22", 0.00, 0.00},               // no amount
                 {"22", 10.00, 12.20, nullptr},    // no row kind
                 {"22", 10.00, 12.20, "AR", nullptr}});
    sales_db().execute("INSERT INTO venmo (bannoc, bnumer, bns, tipmov, bflag2, iva, totrig, totiva) "
                       "VALUES (?, 5, 99, 'AR', 'V', '22', 10, NULL)", {Value(std::int64_t{kYear})});
    add_header(6, today_, kRegister + 1);  // a document without any row

    register_day(kRegister);
    register_day(kRegister + 1);

    for (int numero : {5, 6}) {
        EXPECT_EQ(data::to_text(header(numero, "regis")), "R");
        expect_free_from(numero, 1);
        EXPECT_EQ(number(numero, "totale"), 0.0);
        EXPECT_EQ(number(numero, "totimp"), 0.0);
        EXPECT_EQ(number(numero, "totiva"), 0.0);
    }
    std::vector<std::string> expected = registration_lines(5);
    for (auto& l : registration_lines(6)) expected.push_back(l);
    EXPECT_EQ(new_log(), expected);
}

TEST_F(ClosingTest, NoDocumentForTheDayLogsAndChangesNothing) {
    add_header(5, today_ - 1);
    add_rows(5, {{"22", 10.00, 12.20}});
    register_day(kRegister);
    EXPECT_TRUE(new_log().empty());
    expect_untouched(5);
}

TEST_F(ClosingTest, MissingCodeAndEighthCode) {
    add_header(5, today_);
    add_rows(5, {{"04", 10.00, 10.40},
                 {"77", 50.00, 50.00},  // not in aliquote: rate 0
                 {"05", 10.00, 10.50},
                 {"10", 10.00, 11.00},
                 {"22", 10.00, 12.20},
                 {"00", 10.00, 10.00},
                 {"31", 10.00, 10.00},
                 {"33", 1000.00, 1000.00},  // an eighth code: nowhere in the slots
                 {"22", 10.00, 12.20}});

    register_day(kRegister);

    expect_slot(5, 1, "04", 10.00f, 0.40f);
    expect_slot(5, 2, "77", 50.00f, 0.00f);
    expect_slot(5, 3, "05", 10.00f, 0.50f);
    expect_slot(5, 4, "10", 10.00f, 1.00f);
    expect_slot(5, 5, "22", 20.00f, 4.40f);
    expect_slot(5, 6, "00", 10.00f, 0.00f);
    expect_slot(5, 7, "31", 10.00f, 0.00f);
    EXPECT_DOUBLE_EQ(number(5, "totimp"), 120.00);
    EXPECT_DOUBLE_EQ(number(5, "totiva"), 6.30);
    // Its gross amount still counts in the document total.
    EXPECT_NEAR(number(5, "totale"), 1126.30, 1e-9);
}

TEST_F(ClosingTest, HalfCentSlotSumsRoundToTheEvenCent) {
    // One document per register, all of today.
    add_header(1, today_, 1);
    add_rows(1, {{"10", 1.125, 1.24}, {"22", 1.00, 1.22}});  // taxable 2.125, VAT 0.3325
    add_header(2, today_, 2);
    add_rows(2, {{"10", 1.375, 1.51}});                      // taxable 1.375, VAT 0.1375
    add_header(3, today_, 3);
    add_rows(3, {{"10", 1.25, 1.38}});                       // VAT 0.125
    add_header(4, today_, 4);
    add_rows(4, {{"10", 1.75, 1.93}});                       // VAT 0.175

    for (int n = 1; n <= 4; ++n) register_day(n);

    EXPECT_DOUBLE_EQ(number(1, "totimp"), 2.12);
    EXPECT_DOUBLE_EQ(number(1, "totiva"), 0.33);
    EXPECT_DOUBLE_EQ(number(2, "totimp"), 1.38);
    EXPECT_DOUBLE_EQ(number(2, "totiva"), 0.14);
    EXPECT_DOUBLE_EQ(number(3, "totimp"), 1.25);
    EXPECT_DOUBLE_EQ(number(3, "totiva"), 0.12);
    EXPECT_DOUBLE_EQ(number(4, "totimp"), 1.75);
    EXPECT_DOUBLE_EQ(number(4, "totiva"), 0.18);
}

TEST_F(ClosingTest, ReturnAndDiscountLinesKeepTheTotalsInAgreement) {
    add_header(5, today_);
    add_rows(5, {{"22", 100.00, 122.00},
                 {"22", -10.00, -12.20},  // a returned article
                 {"10", 8.18, 9.00},
                 {"10", -0.91, -1.00}});  // a discount

    register_day(kRegister);

    expect_slot(5, 1, "22", 90.00f, 19.80f);
    expect_slot(5, 2, "10", 7.27f, 0.727f);
    EXPECT_NEAR(number(5, "totale"), 117.80, 1e-9);
    EXPECT_DOUBLE_EQ(number(5, "totimp"), 97.27);
    EXPECT_DOUBLE_EQ(number(5, "totiva"), 20.53);
    EXPECT_LE(std::fabs(number(5, "totimp") + number(5, "totiva") - number(5, "totale")), 4 * 0.005 + 1e-9);
}

TEST_F(ClosingTest, RegisteringAgainGivesTheSameValues) {
    add_header(5, today_);
    add_rows(5, {{"10", 10.00, 11.00}, {"22", 8.19, 9.99}});
    register_day(kRegister);
    const double totimp = number(5, "totimp"), totiva = number(5, "totiva"), totale = number(5, "totale");
    register_day(kRegister);
    EXPECT_EQ(number(5, "totimp"), totimp);
    EXPECT_EQ(number(5, "totiva"), totiva);
    EXPECT_EQ(number(5, "totale"), totale);
    expect_slot(5, 1, "10", 10.00f, 1.00f);
    expect_slot(5, 2, "22", 8.19f, 1.8018f);
    expect_free_from(5, 3);
}

TEST_F(ClosingTest, RowsOfAnotherYearOrDocumentDoNotCount) {
    add_header(5, today_);
    add_rows(5, {{"22", 10.00, 12.20}});
    add_rows(5, {{"22", 100.00, 122.00}}, kYear - 1);  // same number, last year
    add_rows(6, {{"10", 100.00, 110.00}});
    register_day(kRegister);
    expect_slot(5, 1, "22", 10.00f, 2.20f);
    expect_free_from(5, 2);
    EXPECT_DOUBLE_EQ(number(5, "totale"), 12.20);
}

}  // namespace
}  // namespace cassasync::sales
