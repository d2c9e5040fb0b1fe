#include "invoices/invoice_recovery.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "frame/register_steps.h"
#include "platform/clock.h"
#include "support/shop_fixture.h"

namespace cassasync::invoices {
namespace {

using data::Value;

Value txt(const std::string& s) { return Value(s); }
Value num(std::int64_t v) { return Value(v); }

const std::string kRecovering = "-  Recupero fatture dalle  casse";
const std::string kStart = "- Inizio recupero fatture 1";
const std::string kTransfer = "-   Inizio travaso Fattura";
const std::string kAllDone = "-   Tutti i dati sono stati recuperati .OK ";
const std::string kEnd = "- Fine recupero fatture 1";
std::string invoice_of(const std::string& day) { return "-   Recupero fattura del " + day; }

class InvoiceRecoveryTest : public testing::ShopTest {
protected:
    void SetUp() override {
        add_register(1);
        ready();
    }

    void register_invoice(std::int64_t numero, const Value& codtipdoc, const std::string& fl1ts = "F",
                          double totale = 122) {
        register_db(1).execute(
            "INSERT INTO fatte (codutente, anno, numero, codtipdoc, dataor, ora, cliente, dsccliente, codsede, "
            "fl1ts, regis, commesso, annofa, numfa, datafa, causa, spese, bolli, agente, codpagamento, tipodoc, "
            "oraUs, aspetto, porto, acura, totale, totimp, totiva, imp03, iva03, ims03, imp07, iva07, ims07) "
            "VALUES (9, 2026, ?, ?, ?, 0.5, 31, 'Bianchi srl', 2, ?, 'S', 4, 2026, 77, ?, 'VEN', 1.5, 2, 6, 3, 'FT', "
            "0.75, 'Scatola', 'Franco', 'Mittente', ?, 100, 22, 100, '22', 22, 5, '04', 0.2)",
            {num(numero), codtipdoc, Value(static_cast<double>(platform::day_serial(2026, 12, 5))), txt(fl1ts),
             Value(static_cast<double>(platform::day_serial(2026, 12, 6))), Value(totale)});
    }
    void register_row(std::int64_t numero, const Value& codtipdoc, int bns, std::int64_t articoli,
                      const std::string& eanrig, const Value& unitam, double quantita) {
        register_db(1).execute(
            "INSERT INTO fatmo (codute, bannoc, bnumer, codtipdoc, bns, bdator, articoli, unitam, imballo, costof, "
            "cosmp, quantita, bflag1, bflag2, tipmov, descrizione, iva, prezzo, totrig, totaleivato, eanrig, codafo, "
            "scopro, przpro, sconto, commesso, dsccolore, taglia, desfor, desgru, annobo, numbo, databo, provvi, "
            "codrep) VALUES (9, 2026, ?, ?, ?, 46361, ?, ?, 1, 0.8, 0.7, ?, 'a', 'b', 'V', 'Riga', '22', 2, ?, ?, ?, "
            "'AF1', 1, 1.5, 0.1, 4, 'Rosso', 'XL', 'Forn', 'Gruppo', 2025, 12, 46000, 0.3, 5)",
            {num(numero), codtipdoc, num(bns), num(articoli), unitam, Value(quantita), Value(2 * quantita),
             Value(2.44 * quantita), txt(eanrig)});
    }
    void counter(const std::string& tipo, std::int64_t ultnum) {
        main_db().execute("INSERT INTO numeri (codutente, anno, tipo, ultnum) VALUES (1, 2026, ?, ?)",
                          {txt(tipo), num(ultnum)});
    }
    Value ultnum(const std::string& tipo) {
        return main_db().scalar("SELECT ultnum FROM numeri WHERE codutente = 1 AND anno = 2026 AND tipo = ?",
                                {txt(tipo)});
    }
    Value header(std::int64_t numero, const std::string& tipo, const std::string& field) {
        return main_db().scalar("SELECT " + field + " FROM fatte WHERE numero = ? AND anno = 2026 AND codtipdoc = ?",
                                {num(numero), txt(tipo)});
    }
    Value row(std::int64_t numero, const std::string& tipo, int bns, const std::string& field) {
        return main_db().scalar("SELECT " + field +
                                    " FROM fatmo WHERE bnumer = ? AND bannoc = 2026 AND codtipdoc = ? AND bns = ?",
                                {num(numero), txt(tipo), num(bns)});
    }
    std::int64_t headers() { return testing::count_rows(main_db(), "fatte"); }
    std::int64_t rows() { return testing::count_rows(main_db(), "fatmo"); }
    std::vector<std::string> log_since(std::size_t from) {
        auto log = log_messages();
        return {log.begin() + static_cast<long>(from), log.end()};
    }
};

TEST_F(InvoiceRecoveryTest, UnreachableRegisterWritesOneLine) {
    register_invoice(120, txt("FT"));
    pinger_.set_up("127.0.0.1", false);
    Recupero_Fatture(*ctx_, 1);
    auto log = log_messages();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log[0], kRecovering);
    for (const auto& line : log) EXPECT_NE(line, kStart);
    EXPECT_EQ(headers(), 0);
}

TEST_F(InvoiceRecoveryTest, NoMarkedInvoiceSaysSoWithoutTheClosingLines) {
    register_invoice(120, txt("FT"), "X");
    register_row(120, txt("FT"), 1, 5, "8000000000011", txt("PZ"), 1);
    Recupero_Fatture(*ctx_, 1);
    auto log = log_messages();
    ASSERT_GE(log.size(), 4u);
    EXPECT_EQ(std::vector<std::string>(log.begin(), log.begin() + 4),
              (std::vector<std::string>{kRecovering, kStart, kTransfer,
                                        "-  Non ci sono fatture da recuperare per la cassa 1"}));
    for (const auto& line : log) {
        EXPECT_NE(line, kAllDone);
        EXPECT_NE(line, kEnd);
    }
    EXPECT_EQ(headers(), 0);
    EXPECT_EQ(rows(), 0);
}

TEST_F(InvoiceRecoveryTest, MarkedInvoicesAreCopiedOnceWithTheirRowsAndCounters) {
    main_db().execute("INSERT INTO codean (eanare, codare) VALUES ('8001234567890', 77)");
    counter("FT", 100);
    counter("NC", 130);
    counter("AC", 100);
    // Already central: left as it is, its rows not looked at, its counter not touched.
    main_db().execute("INSERT INTO fatte (codutente, anno, numero, codtipdoc, totale) VALUES (1, 2026, 200, 'AC', 1)");
    register_invoice(200, txt("AC"), "F", 999);
    register_row(200, txt("AC"), 1, 5, "8000000000011", txt("PZ"), 1);

    register_invoice(120, txt("FT"));
    register_row(120, txt("FT"), 1, 0, "8001234567890", txt("   "), 3);  // article through its barcode
    register_row(120, txt("FT"), 2, 55, "8000000000011", txt("KG"), 1.5);
    register_row(120, txt("FT"), 3, 0, "9999999999999", Value(), 2);    // unknown barcode
    register_invoice(120, txt("NC"));
    register_row(120, txt("NC"), 1, 5, "8000000000011", txt("PZ"), 1);
    register_invoice(121, txt("FX"));  // no counter for this type, and no rows
    register_invoice(122, txt("F'T"));
    register_row(122, txt("F'T"), 1, 5, "8000000000011", txt("PZ"), 1);
    register_invoice(123, txt("FT"), "X");  // not marked
    register_row(120, txt("ZZ"), 1, 5, "8000000000011", txt("PZ"), 1);  // another invoice's row

    Recupero_Fatture(*ctx_, 1);

    const std::string day = invoice_of("05/12/2026");
    auto log = log_messages();
    ASSERT_GE(log.size(), 9u);
    EXPECT_EQ(std::vector<std::string>(log.begin(), log.begin() + 9),
              (std::vector<std::string>{kRecovering, kStart, kTransfer, day, day, day, day, kAllDone, kEnd}));

    EXPECT_EQ(headers(), 5);
    EXPECT_DOUBLE_EQ(data::to_double(header(200, "AC", "totale")), 1);
    EXPECT_EQ(testing::count_rows(main_db(), "fatmo", "bnumer = 200"), 0);
    EXPECT_EQ(data::to_int(ultnum("AC")), 100);
    EXPECT_EQ(data::to_int(ultnum("FT")), 120);
    EXPECT_EQ(data::to_int(ultnum("NC")), 130);
    EXPECT_EQ(testing::count_rows(main_db(), "numeri", "tipo = 'FX'"), 0) << "a counter is never created";
    EXPECT_EQ(testing::count_rows(main_db(), "fatte", "numero = 123"), 0);

    // Header map.
    EXPECT_EQ(data::to_int(header(120, "FT", "codutente")), 1);
    EXPECT_DOUBLE_EQ(data::to_double(header(120, "FT", "dataor")), platform::day_serial(2026, 12, 5));
    EXPECT_DOUBLE_EQ(data::to_double(header(120, "FT", "ora")), 0.5);
    EXPECT_EQ(data::to_int(header(120, "FT", "cliente")), 31);
    EXPECT_EQ(data::to_text(header(120, "FT", "dsccliente")), "Bianchi srl");
    EXPECT_EQ(data::to_text(header(120, "FT", "fl1ts")), "F");
    EXPECT_EQ(data::to_text(header(120, "FT", "causa")), "VEN");
    EXPECT_EQ(data::to_int(header(120, "FT", "agente")), 6);
    EXPECT_EQ(data::to_int(header(120, "FT", "codPagamento")), 3);
    EXPECT_DOUBLE_EQ(data::to_double(header(120, "FT", "dataUs")), platform::day_serial(2026, 12, 6));
    EXPECT_EQ(data::to_int(header(120, "FT", "colli")), 0);
    EXPECT_EQ(data::to_text(header(120, "FT", "note")), ".");
    EXPECT_EQ(data::to_text(header(120, "FT", "fatturadascontrino")), "C");
    EXPECT_DOUBLE_EQ(data::to_double(header(120, "FT", "totale")), 122);
    EXPECT_DOUBLE_EQ(data::to_double(header(120, "FT", "imp03")), 100);
    EXPECT_EQ(data::to_text(header(120, "FT", "iva03")), "22");
    EXPECT_DOUBLE_EQ(data::to_double(header(120, "FT", "ims07")), 0.2);
    EXPECT_TRUE(data::is_null(header(120, "FT", "oraUs")));
    EXPECT_TRUE(data::is_null(header(120, "FT", "aspetto")));

    // Row map.
    EXPECT_EQ(testing::count_rows(main_db(), "fatmo", "bnumer = 120 AND codtipdoc = 'FT'"), 3);
    EXPECT_EQ(data::to_int(row(120, "FT", 1, "articoli")), 77) << "resolved through its barcode";
    EXPECT_EQ(data::to_int(row(120, "FT", 2, "articoli")), 55);
    EXPECT_EQ(data::to_int(row(120, "FT", 3, "articoli")), 0) << "unknown barcode keeps 0";
    EXPECT_EQ(data::to_text(row(120, "FT", 1, "unitam")), "PZ") << "blank unit";
    EXPECT_EQ(data::to_text(row(120, "FT", 2, "unitam")), "KG");
    EXPECT_EQ(data::to_text(row(120, "FT", 3, "unitam")), "PZ") << "empty unit";
    EXPECT_DOUBLE_EQ(data::to_double(row(120, "FT", 1, "colli")), 3) << "colli = quantita";
    EXPECT_DOUBLE_EQ(data::to_double(row(120, "FT", 2, "colli")), 1.5);
    EXPECT_EQ(data::to_int(row(120, "FT", 1, "codute")), 1);
    EXPECT_EQ(data::to_text(row(120, "FT", 2, "dscColore")), "Rosso");
    EXPECT_EQ(data::to_text(row(120, "FT", 2, "eanrig")), "8000000000011");
    EXPECT_DOUBLE_EQ(data::to_double(row(120, "FT", 2, "totaleivato")), 2.44 * 1.5);
    EXPECT_EQ(data::to_text(row(120, "FT", 2, "desgru")), "Gruppo");
    EXPECT_EQ(data::to_int(row(120, "FT", 2, "codrep")), 5);
    EXPECT_DOUBLE_EQ(data::to_double(row(120, "FT", 2, "databo")), 46000);
    EXPECT_EQ(testing::count_rows(main_db(), "fatte", "numero = 121 AND codtipdoc = 'FX'"), 1)
        << "an invoice without rows is copied as its header alone";
    EXPECT_EQ(testing::count_rows(main_db(), "fatmo", "bnumer = 121"), 0);
    EXPECT_EQ(testing::count_rows(main_db(), "fatmo", "codtipdoc = 'F''T'"), 1) << "a quote is data";
    EXPECT_EQ(testing::count_rows(main_db(), "fatmo", "codtipdoc = 'ZZ'"), 0);

    // The marks stay at the register, and the next run copies nothing again.
    EXPECT_EQ(testing::count_rows(register_db(1), "fatte", "fl1ts = 'F'"), 5);
    const auto before = log_messages().size();
    Recupero_Fatture(*ctx_, 1);
    EXPECT_EQ(headers(), 5);
    EXPECT_EQ(rows(), 5);
    auto again = log_since(before);
    ASSERT_GE(again.size(), 5u);
    EXPECT_EQ(std::vector<std::string>(again.begin(), again.begin() + 5),
              (std::vector<std::string>{kRecovering, kStart, kTransfer, kAllDone, kEnd}));
}

TEST_F(InvoiceRecoveryTest, AnInvoiceWithoutTypeIsFoundAgainAndNotCopiedTwice) {
    register_invoice(130, Value());
    register_row(130, Value(), 1, 5, "8000000000011", txt("PZ"), 1);
    Recupero_Fatture(*ctx_, 1);
    Recupero_Fatture(*ctx_, 1);
    EXPECT_EQ(headers(), 1);
    EXPECT_EQ(rows(), 1);
}

TEST_F(InvoiceRecoveryTest, AFailureAmongTheRowsLeavesNoHeaderBehind) {
    counter("FT", 100);
    register_invoice(110, txt("FT"));
    register_row(110, txt("FT"), 1, 5, "8000000000011", txt("PZ"), 1);
    register_invoice(120, txt("FT"));
    register_row(120, txt("FT"), 1, 5, "8000000000011", txt("PZ"), 1);
    register_row(120, txt("FT"), 2, 5, "8000000000028", txt("PZ"), 1);
    main_db().exec(
        "CREATE TRIGGER refuse_row BEFORE INSERT ON fatmo WHEN NEW.bnumer = 120 AND NEW.bns = 2 "
        "BEGIN SELECT RAISE(ABORT, 'disk full'); END");
    EXPECT_THROW(Recupero_Fatture(*ctx_, 1), data::DbError);
    EXPECT_EQ(testing::count_rows(main_db(), "fatte", "numero = 110"), 1) << "the invoice before stays";
    EXPECT_EQ(testing::count_rows(main_db(), "fatte", "numero = 120"), 0);
    EXPECT_EQ(testing::count_rows(main_db(), "fatmo", "bnumer = 120"), 0);
    EXPECT_EQ(data::to_int(ultnum("FT")), 110);
    auto log = log_messages();
    EXPECT_NE(log.back(), kAllDone);

    main_db().exec("DROP TRIGGER refuse_row");
    Recupero_Fatture(*ctx_, 1);
    EXPECT_EQ(testing::count_rows(main_db(), "fatte", "numero = 120"), 1);
    EXPECT_EQ(testing::count_rows(main_db(), "fatmo", "bnumer = 120"), 2);
    EXPECT_EQ(testing::count_rows(main_db(), "fatte"), 2);
    EXPECT_EQ(data::to_int(ultnum("FT")), 120);
}

TEST_F(InvoiceRecoveryTest, AYearBeyond16BitsIsAnErrorNamingTheRegister) {
    register_db(1).execute("INSERT INTO fatte (anno, numero, codtipdoc, fl1ts) VALUES (40000, 1, 'FT', 'F')");
    // A receipt line waiting at the same register: the invoice must not hold it up.
    register_db(1).execute(
        "INSERT INTO movimenti (bflag3, aggiornogiacenza, bdator, bora, bnumer, eanrig, descrizione, quantita, prezzo,"
        " totrig, codrep, tiporecord, numcassa) VALUES ('S', 'N', ?, 0.5, 1, '', 'REPARTO', 1, 2, 2, 1, 1, 1)",
        {Value(static_cast<double>(platform::day_serial(2026, 12, 7)))});
    try {
        Recupero_Fatture(*ctx_, 1);
        FAIL() << "no error";
    } catch (const data::DbError& e) {
        EXPECT_NE(std::string(e.what()).find("register 1"), std::string::npos) << e.what();
    }
    EXPECT_EQ(headers(), 0);
    // The register's intake as the cycle runs it: the invoice's error is its step's own
    // line, and the receipts are imported all the same.
    ctx_->settings.aaa = "0";
    ctx_->settings.bbb = "0";
    frame::run_intake(*ctx_, 1, frame::CycleSteps::standard());
    EXPECT_EQ(headers(), 0);
    EXPECT_EQ(testing::count_rows(register_db(1), "movimenti", "aggiornogiacenza = 'S'"), 1)
        << "the receipts were not imported after the invoice's error";
    EXPECT_EQ(testing::count_rows(sales_db(), "venmo"), 1);
}

}  // namespace
}  // namespace cassasync::invoices
