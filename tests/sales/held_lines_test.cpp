// Held receipt lines on real files: a line that cannot be taken is undone alone, held
// and named in the log, the lines after it flow; it is tried again by every later run,
// written to the log once per day, and taken exactly once when mended. Hostile register
// values are refused where they enter or taken soundly, never imported as garbage.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "core/back_office_paths.h"
#include "data/held_rows.h"
#include "masterdata/article_sync.h"
#include "sales/receipt_import.h"
#include "support/receipt_fixture.h"
#include "support/shop_fixture.h"

namespace cassasync::sales {
namespace {

using data::Value;
using testing::count_rows;
using testing::kToday;
using testing::Line;

const std::string kEan = "8001234567890";
const std::string kNoDepartmentEan = "8000000000029";
const std::string kHostileEan = "8000000000036";

class HeldLinesTest : public testing::ReceiptTest {
protected:
    std::int64_t held_count() { return count_rows(main_db(), "righe_trattenute"); }
    Value held_field(std::int64_t key, const std::string& field) {
        return main_db().scalar("SELECT " + field + " FROM righe_trattenute WHERE cassa = 1 AND passo = 'scontrini'"
                                " AND chiave = ?",
                                {Value(key)});
    }
    bool marked(std::int64_t key) {
        return count_rows(register_db(1), "movimenti", "id = ? AND aggiornogiacenza = 'S'", {Value(key)}) == 1;
    }
    // Log messages that start with `prefix`.
    std::size_t logged(const std::string& prefix) {
        const auto log = log_messages();
        return static_cast<std::size_t>(
            std::count_if(log.begin(), log.end(), [&](const std::string& m) { return m.starts_with(prefix); }));
    }
    std::string held_prefix(std::int64_t key, std::int64_t receipt) {
        return "-  Cassa 1, scontrini: riga " + std::to_string(key) + " (scontrino " + std::to_string(receipt) +
               ") trattenuta: ";
    }
    std::int64_t counter() {
        return data::to_int_or(
            main_db().scalar("SELECT ultnum FROM numeri WHERE codutente=1 AND anno=2026 AND tipo='VE'"), -1);
    }
};

TEST_F(HeldLinesTest, ABadLineIsHeldTheOthersFlowAndOnceMendedItIsTakenExactlyOnce) {
    article(1, kEan, 2.50);
    article(2, kNoDepartmentEan, 1.00);
    main_db().execute("UPDATE listi01 SET codrep = NULL WHERE codart = 2");
    ring({.bora = 0.1, .bnumer = 1, .eanrig = kEan});
    ring({.bora = 0.2, .bnumer = 2, .eanrig = kEan});
    ring({.bora = 0.3, .bnumer = 3, .eanrig = kEan});
    // The next day: the bad line would open that day's document; the line after it must
    // open it instead, with the document number the bad line did not keep.
    const auto bad = ring({.bdator = kToday + 1, .bora = 0.3, .bnumer = 4, .eanrig = kNoDepartmentEan});
    const auto after = ring({.bdator = kToday + 1, .bora = 0.4, .bnumer = 5, .eanrig = kEan});

    // In one batch with the lines around it, then first in a batch of its own.
    ImportTuning tuning;
    tuning.batch_lines = 10;
    Travaso_Scontrini(*ctx_, 1, tuning);
    EXPECT_EQ(count_rows(sales_db(), "venmo"), 4) << "every line but the bad one is imported";
    EXPECT_EQ(waiting(), 1);
    EXPECT_FALSE(marked(bad)) << "a held line stays untouched at the register";
    EXPECT_TRUE(marked(after));
    EXPECT_DOUBLE_EQ(data::to_double(article_field(1, "qven")), 4);
    EXPECT_DOUBLE_EQ(data::to_double(article_field(2, "qven")), 0) << "the held line moved no stock";
    EXPECT_EQ(counter(), 2) << "one document per day; the held line kept no number";
    EXPECT_EQ(count_rows(sales_db(), "vente"), 2);
    EXPECT_EQ(ledger_entries(), 0) << "ledger and held table never hold the same line";
    EXPECT_EQ(held_count(), 1);
    EXPECT_NE(data::to_text(held_field(bad, "causa")).find("codrep"), std::string::npos);
    EXPECT_EQ(data::to_int(held_field(bad, "tentativi")), 1);
    EXPECT_EQ(logged(held_prefix(bad, 4)), 1U);
    EXPECT_EQ(ctx_->board.snapshot().registers[1].held, 1) << "the status board counts it";

    // Retried by the next run, alone in its batch: held again, its failure not logged twice
    // the same day.
    tuning.batch_lines = 2;
    Travaso_Scontrini(*ctx_, 1, tuning);
    EXPECT_EQ(count_rows(sales_db(), "venmo"), 4);
    EXPECT_EQ(data::to_int(held_field(bad, "tentativi")), 2);
    EXPECT_EQ(logged(held_prefix(bad, 4)), 1U) << "once per day, not once per run";
    const double first_seen = data::to_double(held_field(bad, "primo"));

    // The next day its failure is written again.
    clock_.set({2026, 12, 8, 9, 0, 0});
    Travaso_Scontrini(*ctx_, 1, tuning);
    EXPECT_EQ(data::to_int(held_field(bad, "tentativi")), 3);
    EXPECT_DOUBLE_EQ(data::to_double(held_field(bad, "primo")), first_seen);
    EXPECT_GT(data::to_double(held_field(bad, "ultimo")), first_seen);
    EXPECT_EQ(logged(held_prefix(bad, 4)), 1U) << "today's log holds today's line";

    // Mended: taken once, into its own day's waiting document, and out of the held table.
    main_db().execute("UPDATE listi01 SET codrep = 1 WHERE codart = 2");
    Travaso_Scontrini(*ctx_, 1, tuning);
    Travaso_Scontrini(*ctx_, 1, tuning);
    EXPECT_EQ(count_rows(sales_db(), "venmo"), 5);
    EXPECT_EQ(count_rows(sales_db(), "venmo", "numsco = 4"), 1) << "taken exactly once";
    EXPECT_EQ(data::to_int(sales_db().scalar("SELECT bns FROM venmo WHERE numsco = 4")), 2);
    EXPECT_EQ(counter(), 2);
    EXPECT_TRUE(marked(bad));
    EXPECT_EQ(waiting(), 0);
    EXPECT_EQ(held_count(), 0);
    EXPECT_EQ(ctx_->board.snapshot().registers[1].held, 0);
    EXPECT_EQ(ledger_entries(), 0);
    EXPECT_DOUBLE_EQ(data::to_double(article_field(2, "qven")), 1);
    EXPECT_EQ(logged("-  Cassa 1, scontrini: riga " + std::to_string(bad) + " (scontrino 4) presa dopo 4 tentativi"), 1U);
}

TEST_F(HeldLinesTest, ALineTheRegisterChangedIsTriedAsItNowIs) {
    article(1, kEan, 2.50);
    const auto bad = ring({.bnumer = 1, .eanrig = kEan});
    register_db(1).execute("UPDATE movimenti SET quantita = 'tanti' WHERE id = ?", {Value(bad)});
    Travaso_Scontrini(*ctx_, 1);
    EXPECT_NE(data::to_text(held_field(bad, "causa")).find("quantita"), std::string::npos);
    const auto digest = data::to_int(held_field(bad, "impronta"));
    register_db(1).execute("UPDATE movimenti SET quantita = 3 WHERE id = ?", {Value(bad)});
    Travaso_Scontrini(*ctx_, 1);
    EXPECT_EQ(held_count(), 0);
    EXPECT_DOUBLE_EQ(data::to_double(article_field(1, "qven")), 3);
    EXPECT_NE(digest, 0);
}

TEST_F(HeldLinesTest, AHeldLineTheRegisterNoLongerHasLeavesTheHeldTable) {
    article(1, kEan, 2.50);
    const auto gone = ring({.bnumer = 1, .eanrig = kEan});
    const auto kept = ring({.bnumer = 2, .eanrig = kEan});
    register_db(1).execute("UPDATE movimenti SET quantita = 'tanti' WHERE id IN (?, ?)", {Value(gone), Value(kept)});
    Travaso_Scontrini(*ctx_, 1);
    EXPECT_EQ(held_count(), 2);
    register_db(1).execute("DELETE FROM movimenti WHERE id = ?", {Value(gone)});
    Travaso_Scontrini(*ctx_, 1);
    EXPECT_EQ(held_count(), 1);
    EXPECT_FALSE(data::is_null(held_field(kept, "causa"))) << "a line still waiting stays held";
    EXPECT_EQ(ctx_->board.snapshot().registers[1].held, 1);
    EXPECT_EQ(logged("-  Cassa 1, scontrini: riga " + std::to_string(gone) + " non piu' in attesa alla cassa"), 1U);
}

// Lines a full batch of held lines would hide: the reading goes past them in one run.
TEST_F(HeldLinesTest, ABatchOfHeldLinesDoesNotStopTheReading) {
    article(1, kEan, 2.50);
    std::vector<std::int64_t> bad;
    for (int i = 0; i < 5; ++i) {
        bad.push_back(ring({.bora = 0.1, .bnumer = 1, .eanrig = kEan}));
        register_db(1).execute("UPDATE movimenti SET bdator = 'ieri' WHERE id = ?", {Value(bad.back())});
    }
    ring({.bora = 0.2, .bnumer = 2, .eanrig = kEan});
    ImportTuning tuning;
    tuning.batch_lines = 2;
    Travaso_Scontrini(*ctx_, 1, tuning);
    EXPECT_EQ(count_rows(sales_db(), "venmo"), 1);
    EXPECT_EQ(held_count(), 5);
    for (const auto key : bad) EXPECT_EQ(data::to_int(held_field(key, "tentativi")), 1) << "tried once per run";
}

struct Hostile {
    const char* name;
    const char* column;
    Value value;
    bool held;  // refused; otherwise taken soundly
    const char* cause = "";
    const char* second_column = nullptr;  // a second hostile value on the same line
    Value second_value{};
};

TEST_F(HeldLinesTest, HostileValuesAreHeldWithTheirCauseOrTakenSoundly) {
    article(1, kEan, 2.50);
    article(3, kHostileEan, 1.00);
    const double inf = std::numeric_limits<double>::infinity();
    const std::vector<Hostile> cases{
        {"text quantity", "quantita", data::text("tre"), true, "quantita"},
        {"huge quantity", "quantita", Value(1e300), true, "quantita"},
        {"infinite quantity", "quantita", Value(inf), true, "quantita"},
        {"minus infinite price", "prezzo", Value(-inf), true, "prezzo"},
        {"huge amount", "totrig", Value(1e15), true, "totrig"},
        {"far future date", "bdator", Value(1e300), true, "bdator"},
        {"far past date", "bdator", Value(-700000.0), true, "bdator"},
        {"date two centuries ahead", "bdator", Value(kToday + 73000), true, "bdator"},
        {"text date", "bdator", data::text("yesterday"), true, "bdator"},
        {"text time", "bora", data::text("mezzogiorno"), true, "bora"},
        {"text receipt number", "bnumer", data::text("45a"), true, "bnumer"},
        {"text date and text receipt number", "bdator", data::text("yesterday"), true, "bdator", "bnumer",
         data::text("45a")},
        {"huge department", "codrep", Value(1e12), true, "codrep"},
        {"receipt number past 32 bits", "bnumer", Value(std::int64_t{4294967296}), true, "bnumer"},
        {"record type past 16 bits", "tiporecord", Value(std::int64_t{65559}), true, "tiporecord"},
        {"SQL where the quantity belongs", "quantita", data::text("1; DROP TABLE venmo"), true, "quantita"},
        {"10,000 digits where the quantity belongs", "quantita", data::text(std::string(10000, '9')), true,
         "quantita"},
        {"10,000 character description", "descrizione", data::text(std::string(10000, 'x')), false},
        {"quotes and SQL", "descrizione", data::text("'); DROP TABLE venmo; --\""), false},
        {"bytes that are not UTF-8", "descrizione", data::text("\xff\xfe\x80 caffe\xe8"), false},
        {"numeric text quantity", "quantita", data::text("2"), false},
    };
    struct Rung {
        std::int64_t key;
        const Hostile* hostile;
    };
    std::vector<Rung> rung;
    std::int64_t receipt = 1;
    const auto good = [&] { ring({.bora = 0.01 * static_cast<double>(receipt), .bnumer = receipt++, .eanrig = kEan}); };
    for (const auto& c : cases) {
        good();
        const auto key = ring({.bora = 0.01 * static_cast<double>(receipt), .bnumer = receipt++, .eanrig = kHostileEan});
        register_db(1).execute(std::string("UPDATE movimenti SET ") + c.column + " = ? WHERE id = ?", {c.value, Value(key)});
        if (c.second_column) {
            register_db(1).execute(std::string("UPDATE movimenti SET ") + c.second_column + " = ? WHERE id = ?",
                                   {c.second_value, Value(key)});
        }
        rung.push_back({key, &c});
    }
    // Every column the register may leave empty.
    good();
    const auto nulls = ring({.bora = 0.01 * static_cast<double>(receipt), .bnumer = receipt++, .eanrig = kHostileEan});
    register_db(1).execute(
        "UPDATE movimenti SET bdator = NULL, bora = NULL, bnumer = NULL, eanrig = NULL, descrizione = NULL,"
        " quantita = NULL, prezzo = NULL, totrig = NULL, sconto = NULL, codrep = NULL, tiporecord = NULL,"
        " operatore = NULL, numcassa = NULL, bflag1 = NULL, tessera = NULL, descli = NULL, pivacli = NULL,"
        " codfis = NULL, tipobattuta = NULL WHERE id = ?",
        {Value(nulls)});
    good();
    const std::int64_t goods = static_cast<std::int64_t>(cases.size()) + 2;

    ImportTuning tuning;
    tuning.batch_lines = 3;
    Travaso_Scontrini(*ctx_, 1, tuning);

    EXPECT_DOUBLE_EQ(data::to_double(article_field(1, "qven")), static_cast<double>(goods))
        << "every good line flows past the hostile ones";
    for (const auto& r : rung) {
        SCOPED_TRACE(r.hostile->name);
        if (r.hostile->held) {
            EXPECT_FALSE(marked(r.key));
            EXPECT_NE(data::to_text(held_field(r.key, "causa")).find(r.hostile->cause), std::string::npos)
                << data::to_text(held_field(r.key, "causa"));
            EXPECT_EQ(count_rows(register_db(1), "movimenti", "id = ?", {Value(r.key)}), 1);
        } else {
            EXPECT_TRUE(marked(r.key));
            EXPECT_TRUE(data::is_null(held_field(r.key, "causa")));
        }
    }
    EXPECT_TRUE(marked(nulls) != !data::is_null(held_field(nulls, "causa"))) << "NULLs: taken or held, not both";
    EXPECT_TRUE(sales_db().has_table("venmo"));
    const double qven = data::to_double(article_field(3, "qven"));
    EXPECT_TRUE(std::isfinite(qven) && std::fabs(qven) < 100) << qven;
    EXPECT_EQ(count_rows(sales_db(), "venmo", "length(descrizione) > 50"), 0);
    EXPECT_EQ(ledger_entries(), 0);
    // Each hold is one log line, on one line.
    for (const auto& m : log_messages()) {
        if (m.find("trattenuta") != std::string::npos) {
            EXPECT_LT(m.size(), 200U) << m;
        }
    }
}

TEST_F(HeldLinesTest, PointsThatDoNotFitAreHeldNotImported) {
    main_db().execute("INSERT INTO clienti (codcliente, dsccliente, tessera, punticum, puntisca, puntisal)"
                      " VALUES (1, 'CLIENTE', '0000000001', 0, 0, 0)");
    const auto bad = ring({.bora = 0.1, .bnumer = 60, .descrizione = "PUNTI", .quantita = 40000, .totrig = 0,
                           .tiporecord = 23, .tessera = data::text("0000000001")});
    article(1, kEan, 2.50);
    ring({.bora = 0.2, .bnumer = 61, .eanrig = kEan});
    Travaso_Scontrini(*ctx_, 1);
    EXPECT_EQ(held_count(), 1);
    EXPECT_NE(data::to_text(held_field(bad, "causa")).find("points"), std::string::npos);
    EXPECT_EQ(count_rows(sales_db(), "venmo"), 1);
    EXPECT_EQ(data::to_int(main_db().scalar("SELECT punticum FROM clienti WHERE codcliente = 1")), 0);
}

TEST_F(HeldLinesTest, TheHeldTableIsMadeInAMainDatabaseThatPredatesIt) {
    main_db().exec("DROP TABLE righe_trattenute");
    ctx_->databases.close_all();
    ctx_->databases.open_central("C:\\tarvi\\dati.mdb", "C:\\tarvi\\vendite.mdb", core::kLoyaltyPath);
    EXPECT_TRUE(main_db().has_table("righe_trattenute"));
    article(1, kEan, 2.50);
    const auto bad = ring({.bnumer = 1, .eanrig = kEan});
    register_db(1).execute("UPDATE movimenti SET bdator = 'domani' WHERE id = ?", {Value(bad)});
    Travaso_Scontrini(*ctx_, 1);
    EXPECT_EQ(held_count(), 1);
}

// A barcode register 1 created without a department is held at the article intake and
// never reaches the price list; register 2's sale of it is not stalled by it: the line is
// taken as an article the back office does not know, with the line's own department.
// Once the barcode is mended at register 1 it is taken, and later sales find it.
TEST_F(HeldLinesTest, AHeldArticleDoesNotStallTheSalesOfAnotherRegister) {
    const std::string ean = "8009999000017";
    pinger_.set_up("127.0.0.2", true);
    ctx_->settings.aaa = "1";
    ctx_->settings.bbb = "1";
    register_db(1).execute(
        "INSERT INTO codean (eanare, desart, przpub, ivart, codrep, tipart, flagagg) "
        "VALUES (?, 'NUOVO', 2.0, 22, NULL, '0', 'A')",
        {data::text(ean)});
    masterdata::Aggiorna_Articoli(*ctx_, 1);
    EXPECT_EQ(count_rows(main_db(), "righe_trattenute", "cassa = 1 AND passo = 'articoli'"), 1);
    EXPECT_EQ(count_rows(main_db(), "codean", "eanare = ?", {data::text(ean)}), 0) << "nothing unsound in the price list";

    Line sale;
    sale.bnumer = 71;
    sale.eanrig = ean;
    sale.codrep = 7;
    sale.quantita = 2;
    sale.totrig = 4;
    ring(sale, 2);
    Travaso_Scontrini(*ctx_, 2);
    EXPECT_EQ(waiting(2), 0) << "register 2's line is taken";
    EXPECT_EQ(data::to_int(row(71, "codrep")), 7) << "with the line's own department";
    EXPECT_EQ(count_rows(main_db(), "righe_trattenute", "cassa = 2"), 0);

    register_db(1).execute("UPDATE codean SET codrep = 3 WHERE eanare = ?", {data::text(ean)});
    masterdata::Aggiorna_Articoli(*ctx_, 1);
    EXPECT_EQ(count_rows(main_db(), "righe_trattenute"), 0);
    const auto codart = data::to_int(barcode_field(ean, "codare"));
    EXPECT_EQ(data::to_int(article_field(codart, "codrep")), 3);
    sale.bnumer = 72;
    sale.codrep = 7;
    ring(sale, 2);
    Travaso_Scontrini(*ctx_, 2);
    EXPECT_EQ(data::to_int(row(72, "codrep")), 3) << "later sales find the mended article";
    EXPECT_EQ(data::to_int(row(72, "articoli")), codart);
}

}  // namespace
}  // namespace cassasync::sales
