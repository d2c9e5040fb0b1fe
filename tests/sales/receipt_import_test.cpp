// The receipt import on real files: documents per receipt day, continuing the
// register's document, the log lines, points, the row resolution's barcode chain and
// field map, and the exactly-once handover between the central files and the register.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "data/transfer_ledger.h"
#include "sales/receipt_import.h"
#include "support/receipt_fixture.h"
#include "support/shop_fixture.h"

namespace cassasync::sales {
namespace {

using data::Value;
using testing::kToday;
using testing::kYesterday;
using testing::Line;
using testing::count_rows;

const std::string kEan = "8001234567890";

class ReceiptImportTest : public testing::ReceiptTest {
protected:
    // Messages written from now on.
    void mark_log() { log_start_ = log_messages().size(); }
    std::vector<std::string> new_messages(std::size_t count) {
        auto all = log_messages();
        std::vector<std::string> out(all.begin() + static_cast<std::ptrdiff_t>(log_start_), all.end());
        if (out.size() > count) out.resize(count);
        return out;
    }
    void add_header(std::int64_t numero, double dataor, std::int64_t agente = 1, const char* regis = "R") {
        sales_db().execute("INSERT INTO vente (codutente, anno, numero, dataor, agente, tipodoc, regis, totale)"
                           " VALUES (1,2026,?,?,?,'VENDITE',?,99)",
                           {Value(numero), Value(dataor), Value(agente), data::text(regis)});
    }
    void add_rows(std::int64_t numero, std::int64_t from_bns, std::int64_t to_bns) {
        for (auto bns = from_bns; bns <= to_bns; ++bns) {
            sales_db().execute("INSERT INTO venmo (bannoc, bnumer, bns, numsco) VALUES (2026,?,?,-1)",
                               {Value(numero), Value(bns)});
        }
    }
    void set_counter(std::int64_t ultnum) {
        main_db().execute("INSERT INTO numeri (codutente, anno, tipo, descrizione, ultnum) VALUES (1,2026,'VE','Vendite',?)",
                          {Value(ultnum)});
    }
    Value header(std::int64_t numero, const std::string& field, std::int64_t anno = 2026) {
        return sales_db().scalar("SELECT " + field + " FROM vente WHERE anno=? AND numero=?", {Value(anno), Value(numero)});
    }
    // An import whose second batch is committed centrally and then loses the register's
    // mark (the connection drops): those lines are imported and held by the ledger.
    void import_losing_second_mark(ImportTuning tuning) {
        int commits = 0;
        tuning.after_central_commit = [&] {
            if (++commits == 2) throw std::runtime_error("connection to the register lost");
        };
        EXPECT_THROW(Travaso_Scontrini(*ctx_, 1, tuning), std::runtime_error);
    }
    std::size_t log_start_ = 0;
};

TEST_F(ReceiptImportTest, LinesOfTwoDaysGoToTwoNewDocumentsWithTheirOwnRowNumbers) {
    article(1, kEan, 2.50);
    ring({.bdator = kToday, .bora = 0.40, .bnumer = 8, .eanrig = kEan});
    ring({.bdator = kYesterday, .bora = 0.70, .bnumer = 7, .eanrig = kEan});
    ring({.bdator = kYesterday, .bora = 0.71, .bnumer = 7, .eanrig = kEan, .quantita = 2, .totrig = 5});
    mark_log();

    auto figures = Travaso_Scontrini(*ctx_, 1, ImportTuning{});

    EXPECT_EQ(new_messages(10), (std::vector<std::string>{
                                    "-  Controllo se ci sono scontrini da importare dalle casse",
                                    "-  Controllo Scontrini vendita cassa 1. Attendere prego ...",
                                    "- Inizio travaso scontrini 1",
                                    "-   Recupero dati del 06/12/2026",
                                    "-  Cassa-1-Scontrino-7-8001234567890",
                                    "-  Cassa-1-Scontrino-7-8001234567890",
                                    "-   Recupero dati del 07/12/2026",
                                    "-  Cassa-1-Scontrino-8-8001234567890",
                                    "-  Travaso vendite cassa  1  terminata con successo.",
                                    "- Fine travaso scontrini 1",
                                }));
    EXPECT_EQ(figures.lines, 3);
    EXPECT_EQ(count_rows(sales_db(), "vente"), 2);
    EXPECT_EQ(data::to_double(header(1, "dataor")), kYesterday);
    EXPECT_EQ(data::to_double(header(2, "dataor")), kToday);
    EXPECT_EQ(counter(), 2) << "one number per document";
    EXPECT_EQ(data::to_text(main_db().scalar("SELECT descrizione FROM numeri WHERE anno=2026")), "Vendite");
    for (std::int64_t numero : {1, 2}) {
        SCOPED_TRACE("document " + std::to_string(numero));
        EXPECT_EQ(data::to_int(header(numero, "codutente")), 1);
        EXPECT_EQ(data::to_int(header(numero, "agente")), 1);
        EXPECT_EQ(data::to_text(header(numero, "dsccliente")), "Vendita Casse");
        EXPECT_EQ(data::to_text(header(numero, "dscsede")), "desedew");
        EXPECT_EQ(data::to_text(header(numero, "causa")), "Vendita");
        EXPECT_EQ(data::to_text(header(numero, "tipodoc")), "VENDITE");
        EXPECT_EQ(data::to_text(header(numero, "regis")), " ") << "every document that received rows";
    }
    EXPECT_EQ(count_rows(sales_db(), "venmo", "bnumer=1 AND bns IN (1,2)"), 2);
    EXPECT_EQ(count_rows(sales_db(), "venmo", "bnumer=2 AND bns=1"), 1) << "rows restart at 1";
    EXPECT_EQ(count_rows(sales_db(), "venmo", "bflag1='E' AND tipmov='AR' AND articoli=1"), 3);
    EXPECT_EQ(waiting(), 0);
    EXPECT_EQ(count_rows(register_db(1), "movimenti", "aggiornogiacenza='S'"), 3);
    EXPECT_EQ(ledger_entries(), 0);
    EXPECT_DOUBLE_EQ(data::to_double(article_field(1, "qven")), 4);
    EXPECT_DOUBLE_EQ(data::to_double(barcode_field(kEan, "even")), 4);
    EXPECT_DOUBLE_EQ(data::to_double(article_field(1, "dultven")), kToday);
    EXPECT_DOUBLE_EQ(data::to_double(article_field(1, "qultven")), 1) << "the day counter restarted today";
}

TEST_F(ReceiptImportTest, ContinuesTheRegistersDocumentOfTheSameDay) {
    article(1, kEan, 2.50);
    add_header(3, kYesterday);
    add_header(5, kToday + 0.25, 1, " ");
    add_header(9, kToday + 1, 2);  // another register's document
    add_rows(5, 1, 3);
    set_counter(9);
    ring({.bnumer = 40, .eanrig = kEan});
    ring({.bora = 0.6, .bnumer = 41, .eanrig = kEan});
    mark_log();

    Travaso_Scontrini(*ctx_, 1);

    EXPECT_EQ(row_number(40, "bnumer"), 5);
    EXPECT_EQ(row_number(40, "bns"), 4) << "rows continue from the document's last one";
    EXPECT_EQ(row_number(41, "bns"), 5);
    EXPECT_EQ(count_rows(sales_db(), "vente"), 3) << "no new header";
    EXPECT_EQ(counter(), 9) << "no number taken";
    EXPECT_EQ(data::to_text(header(5, "regis")), " ");
    EXPECT_EQ(data::to_text(header(3, "regis")), "R") << "documents without new rows keep their mark";
    for (const auto& m : log_messages()) EXPECT_EQ(m.find("Recupero dati"), std::string::npos) << m;
}

TEST_F(ReceiptImportTest, ALaterDayOrNoHeaderOpensANewDocument) {
    article(1, kEan, 2.50);
    add_header(5, kYesterday);
    set_counter(5);
    ring({.bnumer = 40, .eanrig = kEan});
    Travaso_Scontrini(*ctx_, 1);
    EXPECT_EQ(row_number(40, "bnumer"), 6);
    EXPECT_EQ(row_number(40, "bns"), 1);
    EXPECT_EQ(data::to_text(header(5, "regis")), "R");
    EXPECT_EQ(data::to_text(header(6, "regis")), " ");

    // Register 1 had a header; for a year without any, the first line opens one.
    sales_db().execute("DELETE FROM vente");
    main_db().execute("DELETE FROM numeri");
    ring({.bnumer = 41, .eanrig = kEan});
    Travaso_Scontrini(*ctx_, 1);
    EXPECT_EQ(row_number(41, "bnumer"), 1);
    EXPECT_EQ(row_number(41, "bns"), 1);
    EXPECT_EQ(count_rows(sales_db(), "vente", "numero=1 AND agente=1 AND regis=' '"), 1);
}

TEST_F(ReceiptImportTest, ALineOutOfDateOrderDoesNotSplitTheDaysAfterIt) {
    article(1, kEan, 2.50);
    add_header(5, kToday + 0.25, 1, " ");
    add_rows(5, 1, 3);
    set_counter(5);
    // One receipt rung while the register's clock was set ten years ahead.
    ring({.bdator = kToday + 3650, .bnumer = 40, .eanrig = kEan});
    Travaso_Scontrini(*ctx_, 1);
    EXPECT_EQ(row_number(40, "bnumer"), 1) << "the first document of its own year";
    EXPECT_EQ(row_number(40, "bannoc"), 2036);

    // Back in the present, one line per run: today's document goes on.
    for (int bnumer = 41; bnumer <= 43; ++bnumer) {
        ring({.bora = 0.5 + bnumer / 1000.0, .bnumer = bnumer, .eanrig = kEan});
        Travaso_Scontrini(*ctx_, 1);
        EXPECT_EQ(row_number(bnumer, "bnumer"), 5) << bnumer;
        EXPECT_EQ(row_number(bnumer, "bns"), bnumer - 37) << bnumer;
    }

    // A line without a date comes first in its run; today's line after it still goes on
    // in today's document.
    ring({.bora = 0.8, .bnumer = 44, .eanrig = kEan});
    register_db(1).execute("UPDATE movimenti SET bdator = NULL WHERE bnumer = 44");
    ring({.bora = 0.9, .bnumer = 45, .eanrig = kEan});
    Travaso_Scontrini(*ctx_, 1);
    EXPECT_EQ(row_number(44, "bnumer"), 1) << "the undated line has a document of its own";
    EXPECT_EQ(row_number(44, "bns"), 1);
    EXPECT_EQ(row_number(45, "bnumer"), 5);
    EXPECT_EQ(row_number(45, "bns"), 7);
    EXPECT_EQ(count_rows(sales_db(), "vente"), 3);
    EXPECT_EQ(counter(), 5) << "only the future day and the undated line took a number, each of its own year";
    EXPECT_EQ(counter(2036), 1);
    EXPECT_EQ(counter(1899), 1);
    EXPECT_EQ(count_rows(sales_db(), "venmo", "bnumer = 5"), 7) << "today's sales are in one document";
}

TEST_F(ReceiptImportTest, AFullDocumentContinuesInANewOne) {
    article(1, kEan, 2.50);
    add_header(3, kToday, 1, " ");
    add_rows(3, 32766, 32766);
    set_counter(3);
    ring({.bora = 0.1, .bnumer = 50, .eanrig = kEan});
    ring({.bora = 0.2, .bnumer = 51, .eanrig = kEan});
    mark_log();
    Travaso_Scontrini(*ctx_, 1);
    EXPECT_EQ(row_number(50, "bnumer"), 3);
    EXPECT_EQ(row_number(50, "bns"), 32767) << "the last row a document holds";
    EXPECT_EQ(row_number(51, "bnumer"), 4);
    EXPECT_EQ(row_number(51, "bns"), 1);
    EXPECT_DOUBLE_EQ(data::to_double(header(4, "dataor")), kToday);
    EXPECT_EQ(data::to_text(header(3, "regis")), " ");
    EXPECT_EQ(data::to_text(header(4, "regis")), " ");
    auto messages = new_messages(6);
    EXPECT_EQ(messages.at(3), "-  Cassa-1-Scontrino-50-8001234567890");
    EXPECT_EQ(messages.at(4), "-   Recupero dati del 07/12/2026");
}

TEST_F(ReceiptImportTest, ALateLineNeverChangesARegisteredDocument) {
    article(1, kEan, 2.50);
    add_header(5, kYesterday);  // registered, with its totals
    add_rows(5, 1, 3);
    set_counter(5);
    // A register that was off at closing time: yesterday's line arrives today.
    ring({.bdator = kYesterday, .bora = 0.9, .bnumer = 30, .eanrig = kEan});
    ring({.bora = 0.1, .bnumer = 31, .eanrig = kEan});
    Travaso_Scontrini(*ctx_, 1);

    EXPECT_EQ(data::to_text(header(5, "regis")), "R") << "the closed day stays closed";
    EXPECT_EQ(data::to_double(header(5, "totale")), 99) << "with its totals";
    EXPECT_EQ(count_rows(sales_db(), "venmo", "bnumer = 5"), 3);
    EXPECT_EQ(row_number(30, "bnumer"), 6) << "the late line opens a document of its own day";
    EXPECT_EQ(row_number(30, "bns"), 1);
    EXPECT_DOUBLE_EQ(data::to_double(header(6, "dataor")), kYesterday);
    EXPECT_EQ(data::to_text(header(6, "regis")), " ") << "it waits for registration";
    EXPECT_EQ(row_number(31, "bnumer"), 7);

    // A further late line of that day goes on in the waiting document, not the closed one.
    ring({.bdator = kYesterday, .bora = 0.95, .bnumer = 32, .eanrig = kEan});
    Travaso_Scontrini(*ctx_, 1);
    EXPECT_EQ(row_number(32, "bnumer"), 6);
    EXPECT_EQ(row_number(32, "bns"), 2);
    EXPECT_EQ(counter(), 7);
    EXPECT_EQ(data::to_text(header(5, "regis")), "R");
}

TEST_F(ReceiptImportTest, ADocumentBelongsToTheYearOfItsDay) {
    // The service started in December and still runs on 2 January.
    clock_.set({2027, 1, 2, 9, 0, 0});
    article(1, kEan, 2.50);
    add_header(5, kToday, 1, " ");
    add_rows(5, 1, 2);
    set_counter(5);
    const double new_years_eve = static_cast<double>(platform::day_serial(2026, 12, 31));
    const double new_year = static_cast<double>(platform::day_serial(2027, 1, 1));
    ring({.bdator = new_years_eve, .bora = 0.9, .bnumer = 70, .eanrig = kEan});
    ring({.bdator = new_year, .bora = 0.1, .bnumer = 71, .eanrig = kEan});
    ring({.bdator = new_year, .bora = 0.2, .bnumer = 72, .eanrig = kEan});

    Travaso_Scontrini(*ctx_, 1);

    EXPECT_EQ(row_number(70, "bannoc"), 2026) << "the old year's line stays in the old year";
    EXPECT_EQ(row_number(70, "bnumer"), 6) << "numbered by the old year's counter";
    EXPECT_EQ(counter(), 6);
    EXPECT_EQ(row_number(71, "bannoc"), 2027);
    EXPECT_EQ(row_number(71, "bnumer"), 1) << "the new year numbers from 1";
    EXPECT_EQ(row_number(72, "bnumer"), 1);
    EXPECT_EQ(row_number(72, "bns"), 2);
    EXPECT_EQ(counter(2027), 1) << "the new year's counter is created";
    EXPECT_EQ(data::to_text(main_db().scalar("SELECT descrizione FROM numeri WHERE anno=2027")), "Vendite");
    EXPECT_EQ(data::to_int(header(1, "agente", 2027)), 1);
    EXPECT_DOUBLE_EQ(data::to_double(header(1, "dataor", 2027)), new_year);
    EXPECT_EQ(data::to_text(header(1, "regis", 2027)), " ");
    EXPECT_EQ(data::to_text(header(6, "regis")), " ");

    // A later line of 1 January goes on in the new year's document.
    ring({.bdator = new_year, .bora = 0.3, .bnumer = 73, .eanrig = kEan});
    Travaso_Scontrini(*ctx_, 1);
    EXPECT_EQ(row_number(73, "bnumer"), 1);
    EXPECT_EQ(row_number(73, "bannoc"), 2027);
    EXPECT_EQ(row_number(73, "bns"), 3);
}

TEST_F(ReceiptImportTest, ABacklogIsTakenInTurnsAndTheCloseWaitsForIt) {
    article(1, kEan, 2.50);
    for (int k = 1; k <= 7; ++k) ring({.bora = 0.1 + k / 100.0, .bnumer = k, .eanrig = kEan});
    const auto request = local("\\\\127.0.0.1\\cash\\cisonodati.txt");
    std::filesystem::create_directories(request.parent_path());
    std::ofstream(request) << "1";
    // The register's software has its turn before the first batch and changes a waiting
    // line already read; after the second batch the register's share of the cycle is used up.
    int turns = 0;
    ctx_->turns.between_batches = [&] {
        switch (++turns) {
            case 1:
                register_db(1).execute("UPDATE movimenti SET quantita = 3, totrig = 3 WHERE bnumer = 2");
                return core::BatchTurn::resumed_after_turn;
            case 2:
                return core::BatchTurn::go_on;
            default:
                return core::BatchTurn::wait_next_cycle;
        }
    };
    // One line per batch, three read at a time: the second is in hand when it changes.
    ImportTuning tuning;
    tuning.batch_lines = 3;
    tuning.batch_time = std::chrono::milliseconds(0);
    mark_log();
    const auto figures = import_and_close(1, tuning);

    EXPECT_TRUE(figures.cut_short);
    EXPECT_EQ(figures.lines, 2);
    EXPECT_EQ(waiting(), 5);
    EXPECT_DOUBLE_EQ(row_number(2, "quantita"), 3) << "the lines are read again after the register's turn";
    EXPECT_TRUE(std::filesystem::exists(request)) << "the close waits until the day's lines are in";
    const auto log = log_messages();
    EXPECT_NE(std::find(log.begin(), log.end(), "-  Travaso vendite cassa  1  sospeso: le altre righe al prossimo ciclo."),
              log.end());
    EXPECT_NE(std::find(log.begin(), log.end(), "-  Chiusura della cassa rinviata: righe ancora da importare."),
              log.end());
    EXPECT_EQ(std::count(log.begin(), log.end(), "- Fine travaso scontrini 1"), 1);

    // The next cycle drains the rest and then carries the close out.
    ctx_->turns.between_batches = [] { return core::BatchTurn::go_on; };
    EXPECT_FALSE(import_and_close(1, tuning).cut_short);
    EXPECT_EQ(waiting(), 0);
    EXPECT_EQ(count_rows(sales_db(), "venmo"), 7);
    EXPECT_EQ(data::to_int(sales_db().scalar("SELECT max(bns) FROM venmo")), 7) << "one document, rows in order";
    EXPECT_FALSE(std::filesystem::exists(request));
    EXPECT_EQ(data::to_text(header(1, "regis")), "R");
}

TEST_F(ReceiptImportTest, PointsFollowTheCardOnPointLinesOnly) {
    main_db().execute("INSERT INTO clienti (codcliente, dsccliente, tessera, punticum, puntisca, puntisal)"
                      " VALUES (1, 'ROSSI MARIA', 'CARD1        ', 100, 40, 60)");
    const Value card = data::text("CARD1");
    ring({.bora = 0.1, .bnumer = 60, .descrizione = "PUNTI", .quantita = 10, .totrig = 0, .tiporecord = 23, .tessera = card});
    // A second earning line on the same receipt: a movement with the same key.
    ring({.bora = 0.15, .bnumer = 60, .descrizione = "PUNTI", .quantita = 50, .totrig = 0, .tiporecord = 23, .tessera = card});
    ring({.bora = 0.2, .bnumer = 61, .descrizione = "PUNTI", .quantita = 15, .totrig = 0, .tiporecord = 24, .tessera = card});
    ring({.bora = 0.3, .bnumer = 62, .descrizione = "PUNTI", .quantita = 7, .totrig = 0, .tiporecord = 23});
    ring({.bora = 0.4, .bnumer = 63, .descrizione = "ARTICOLO", .quantita = 3, .tiporecord = 1, .tessera = card});
    // Another program wrote the card in lower case: the same holder.
    ring({.bora = 0.5, .bnumer = 64, .descrizione = "PUNTI", .quantita = 5, .totrig = 0, .tiporecord = 23,
          .tessera = data::text("card1")});

    Travaso_Scontrini(*ctx_, 1);

    auto customer = [&](const char* f) { return data::to_int(main_db().scalar(std::string("SELECT ") + f + " FROM clienti")); };
    EXPECT_EQ(customer("punticum"), 165);
    EXPECT_EQ(customer("puntisca"), 55);
    EXPECT_EQ(customer("puntisal"), 110);
    EXPECT_EQ(data::to_text(main_db().scalar("SELECT flagagg FROM clienti")), "A");
    EXPECT_EQ(count_rows(loyalty_db(), "movtessere"), 3) << "one row per movement key";
    EXPECT_EQ(count_rows(loyalty_db(), "movtessere", "tipo=23 AND punti=5 AND numsco=64 AND tessera='card1        '"), 1);
    EXPECT_EQ(count_rows(loyalty_db(), "movtessere", "tipo=23 AND punti=60 AND numsco=60 AND numcassa=1 AND tessera='CARD1        '"), 1)
        << "the journal holds both movements' points";
    EXPECT_EQ(count_rows(loyalty_db(), "movtessere", "tipo=24 AND punti=15 AND numsco=61"), 1);
    EXPECT_EQ(count_rows(sales_db(), "venmo", "numsco = 60"), 2);
    EXPECT_EQ(row_text(61, "tipmov"), " ") << "a point line is no article row";
    EXPECT_EQ(row_text(61, "taglia"), "24");
    EXPECT_EQ(row_text(63, "tipmov"), "AR");
    EXPECT_EQ(row_text(61, "tessera"), "CARD1");
    EXPECT_TRUE(data::is_null(row(62, "tessera")));
}

TEST_F(ReceiptImportTest, ResolvesEveryKindOfLine) {
    department(1, Value(std::int64_t{22}), data::kNull, data::kNull, "REPARTO UNO");
    department(7, Value(std::int64_t{10}), data::text("S"), Value(30.0), "ORTOFRUTTA");
    // Price-or-weight: the article's barcode ends in zeros, the rung-up one carries the amount.
    article(10, "2123456000008", 10.00);
    // Multipack of six.
    article(11, "8000000000111", 1.00);
    main_db().execute("UPDATE codean SET pezzix = 6 WHERE codare = 11");
    // Sold by value.
    article(12, "8000000000128", 2.99);
    main_db().execute("UPDATE listi01 SET colore = 5 WHERE codart = 12");
    // Found by its description.
    article(13, "8000000000135", 3.00);
    main_db().execute("UPDATE codean SET desart = 'PANE  CASERECCIO' WHERE codare = 13");
    // On offer from three days ago to yesterday.
    article(14, "8000000000142", 4.00);
    main_db().execute("UPDATE listi01 SET cofart = 2.0, cosoff = 1.5, data1 = ?, data2 = ?, numpro = 3 WHERE codart = 14",
                      {Value(kToday - 3), Value(kToday - 1)});
    // A barcode whose article has no price-list row.
    barcode(15, "8000000000159");
    // An EAN-8 barcode another program stored without the blanks that pad it to 13.
    article(18, "12345678", 1.80);
    // VAT code 4.
    article(16, "8000000000166", 10.40, 4);

    const std::string no_barcode(13, '\0');
    ring({.bnumer = 100, .eanrig = "2123456012345", .totrig = 12.35});
    ring({.bnumer = 101, .eanrig = "8000000000111", .quantita = 2, .totrig = 2});
    ring({.bnumer = 102, .eanrig = "8000000000128", .totrig = 4.49});
    ring({.bnumer = 103, .eanrig = "9999999999999", .quantita = 1, .totrig = 11.00, .codrep = 7});
    ring({.bnumer = 104, .eanrig = "9999999999999", .quantita = 2, .totrig = 22.00, .codrep = 7});
    ring({.bnumer = 105, .eanrig = no_barcode, .descrizione = "PANE \"CASERECCIO\"", .quantita = 2, .totrig = 6});
    ring({.bnumer = 106, .eanrig = no_barcode, .descrizione = "NESSUNO \"X", .quantita = 2, .totrig = 6, .codrep = 7});
    ring({.bdator = kToday - 4, .bnumer = 107, .eanrig = "8000000000142", .totrig = 4});
    ring({.bdator = kToday - 3, .bnumer = 108, .eanrig = "8000000000142", .totrig = 4});
    ring({.bdator = kToday - 1, .bnumer = 109, .eanrig = "8000000000142", .totrig = 4});
    ring({.bdator = kToday, .bnumer = 110, .eanrig = "8000000000142", .totrig = 4});
    ring({.bnumer = 111, .eanrig = "8000000000159", .totrig = 11.00, .codrep = 7});
    ring({.bnumer = 112, .eanrig = "8000000000166", .totrig = 10.40});
    ring({.bnumer = 113, .eanrig = kEan, .totrig = 12.20});
    ring({.bnumer = 114, .eanrig = "12345678     ", .quantita = 2, .totrig = 3.60});
    ring({.bnumer = 115, .eanrig = no_barcode, .descrizione = "pane \"casereccio\"", .totrig = 3});
    article(17, kEan, 12.20, 22);

    Travaso_Scontrini(*ctx_, 1);
    EXPECT_EQ(waiting(), 0);

    {
        SCOPED_TRACE("price-or-weight barcode");
        EXPECT_EQ(row_number(100, "articoli"), 10);
        EXPECT_DOUBLE_EQ(row_number(100, "quantita"), 1.235);
        EXPECT_EQ(row_text(100, "eanrig"), "2123456012345");
        EXPECT_DOUBLE_EQ(data::to_double(barcode_field("2123456000008", "dataagg")), kToday) << "stamped through 2123456";
        EXPECT_EQ(data::to_text(barcode_field("2123456000008", "primasecon")), "P");
        EXPECT_DOUBLE_EQ(data::to_double(article_field(10, "qven")), 1.235);
        EXPECT_DOUBLE_EQ(data::to_double(barcode_field("2123456000008", "even")), 0) << "the full barcode is not in codean";
    }
    {
        SCOPED_TRACE("multipack");
        EXPECT_DOUBLE_EQ(row_number(101, "quantita"), 12);
        EXPECT_DOUBLE_EQ(row_number(101, "colli"), 2);
        EXPECT_DOUBLE_EQ(data::to_double(article_field(11, "qven")), 12);
    }
    {
        SCOPED_TRACE("sold by value");
        EXPECT_DOUBLE_EQ(row_number(102, "quantita"), 1.5);
    }
    {
        SCOPED_TRACE("unlisted article priced from its department");
        EXPECT_EQ(row_number(103, "articoli"), 0);
        EXPECT_DOUBLE_EQ(row_number(103, "totrig"), 10.00);
        EXPECT_DOUBLE_EQ(row_number(103, "totiva"), 11.00);
        EXPECT_DOUBLE_EQ(row_number(103, "costof"), 7.00);
        EXPECT_DOUBLE_EQ(row_number(103, "cosmp"), 7.00);
        EXPECT_DOUBLE_EQ(row_number(103, "totcos"), 7.00);
        EXPECT_EQ(row_text(103, "unitam"), "PZ");
        EXPECT_EQ(row_text(103, "iva"), "10");
        EXPECT_EQ(row_number(103, "codrep"), 7);
        EXPECT_EQ(row_text(103, "desrep"), "ORTOFRUTTA");
        EXPECT_EQ(row_text(103, "codafo"), ".");
        EXPECT_EQ(row_text(103, "desfor"), " ");
        EXPECT_DOUBLE_EQ(row_number(104, "costof"), 7.00) << "the cost of one unit of a line of two";
        EXPECT_DOUBLE_EQ(row_number(104, "totcos"), 14.00);
    }
    {
        SCOPED_TRACE("line without barcode");
        EXPECT_EQ(row_number(105, "articoli"), 13);
        EXPECT_DOUBLE_EQ(row_number(105, "quantita"), 2);
        EXPECT_EQ(row_text(105, "descrizione"), "PANE \"CASERECCIO\"");
        EXPECT_DOUBLE_EQ(data::to_double(barcode_field("8000000000135", "dataagg")), kToday);
        EXPECT_EQ(row_number(115, "articoli"), 13) << "a description in lower case";
        EXPECT_EQ(row_number(106, "articoli"), 0) << "a description that matches nothing";
        EXPECT_DOUBLE_EQ(row_number(106, "quantita"), 0);
        EXPECT_EQ(row_number(106, "codrep"), 0);
        EXPECT_EQ(row_text(106, "unitam"), "") << "working values start empty for every line";
        EXPECT_EQ(row_text(106, "codafo"), ".");
    }
    {
        SCOPED_TRACE("offer bounds");
        EXPECT_DOUBLE_EQ(row_number(107, "costof"), 2.0) << "the day before the offer";
        EXPECT_DOUBLE_EQ(row_number(108, "costof"), 1.5) << "its first day";
        EXPECT_DOUBLE_EQ(row_number(109, "costof"), 1.5) << "its last day";
        EXPECT_DOUBLE_EQ(row_number(110, "costof"), 2.0) << "the day after";
        EXPECT_EQ(row_number(110, "scopro"), 1);
        EXPECT_EQ(row_text(110, "codafo"), "FOR1");
        EXPECT_EQ(row_text(110, "desgru"), "GRUPPO");
        EXPECT_EQ(row_text(110, "unitam"), "NR");
    }
    {
        SCOPED_TRACE("barcode without price-list row");
        EXPECT_EQ(row_number(111, "articoli"), 15);
        EXPECT_EQ(row_number(111, "codrep"), 7) << "department from the line";
        EXPECT_DOUBLE_EQ(row_number(111, "costof"), 7.00);
        EXPECT_DOUBLE_EQ(data::to_double(barcode_field("8000000000159", "dataagg")), kToday);
        EXPECT_EQ(data::to_text(barcode_field("8000000000159", "primasecon")), "P");
    }
    {
        SCOPED_TRACE("barcode stored without its trailing blanks");
        EXPECT_EQ(row_number(114, "articoli"), 18);
        EXPECT_EQ(row_text(114, "desfor"), "FORNITORE") << "the article's price-list data";
        EXPECT_DOUBLE_EQ(data::to_double(article_field(18, "qven")), 2) << "its stock moved";
        EXPECT_DOUBLE_EQ(data::to_double(barcode_field("12345678", "even")), 2) << "and its barcode's";
        EXPECT_DOUBLE_EQ(data::to_double(barcode_field("12345678", "dataagg")), kToday);
        EXPECT_EQ(data::to_text(barcode_field("12345678", "primasecon")), "P") << "ranked";
    }
    {
        SCOPED_TRACE("VAT code 4");
        EXPECT_EQ(row_text(112, "iva"), "04");
        EXPECT_DOUBLE_EQ(row_number(112, "totrig"), 10.00);
    }
    {
        SCOPED_TRACE("VAT 22");
        EXPECT_EQ(row_text(113, "iva"), "22");
        EXPECT_DOUBLE_EQ(row_number(113, "totrig"), 10.00);
        EXPECT_DOUBLE_EQ(row_number(113, "totiva"), 12.20);
        EXPECT_EQ(row_text(113, "desrep"), "REPARTO UNO") << "the department's description wins";
        EXPECT_EQ(row_text(113, "desfor"), "FORNITORE");
    }
}

TEST_F(ReceiptImportTest, CopiesTheLineIntoTheRowFieldByField) {
    article(1, kEan, 2.50);
    ring({.bdator = kToday, .bora = 0.75, .bnumer = 70, .eanrig = kEan, .descrizione = std::string(60, 'D'),
          .quantita = 2, .prezzo = 2.5, .totrig = 5, .tessera = data::text("ABCDEFGHIJKLMNOP")});
    Travaso_Scontrini(*ctx_, 1);
    EXPECT_EQ(row_number(70, "codute"), 1);
    EXPECT_EQ(row_number(70, "bannoc"), 2026);
    EXPECT_DOUBLE_EQ(row_number(70, "bdator"), kToday);
    EXPECT_DOUBLE_EQ(row_number(70, "ora"), 0.75);
    EXPECT_DOUBLE_EQ(row_number(70, "prezzo"), 2.5);
    EXPECT_EQ(row_text(70, "descrizione"), std::string(50, 'D'));
    EXPECT_EQ(row_number(70, "commesso"), 3);
    EXPECT_EQ(row_text(70, "dscColore"), "1");
    EXPECT_EQ(row_number(70, "numcas"), 1);
    EXPECT_EQ(row_number(70, "cassa"), 1);
    EXPECT_EQ(row_text(70, "bflag2"), "X");
    EXPECT_EQ(row_text(70, "bflag1"), "E");
    EXPECT_EQ(row_text(70, "tessera"), "ABCDEFGHIJKLM");
    EXPECT_EQ(row_text(70, "descli"), "CLIENTE");
    EXPECT_EQ(row_text(70, "pivacli"), "IT0001");
    EXPECT_EQ(row_text(70, "codfis"), "CF0001");
    EXPECT_EQ(row_text(70, "tipobattuta"), "T");
    EXPECT_DOUBLE_EQ(row_number(70, "totcos"), 2.0) << "2 x the article's cost 1.00";
}

TEST_F(ReceiptImportTest, NullRegisterFieldsAreTakenAsEmptyOrZero) {
    register_db(1).execute("INSERT INTO movimenti (bflag3, aggiornogiacenza, quantita, prezzo, totrig, codrep,"
                           " tiporecord, bnumer) VALUES ('S','N',NULL,NULL,NULL,NULL,NULL,NULL)");
    mark_log();
    Travaso_Scontrini(*ctx_, 1);
    EXPECT_EQ(waiting(), 0);
    EXPECT_EQ(count_rows(sales_db(), "venmo", "quantita=0 AND totrig=0 AND eanrig='' AND descrizione='' AND numsco=0"), 1);
    EXPECT_EQ(new_messages(5).at(4), "-  Cassa-1-Scontrino-0-             ");
}

TEST_F(ReceiptImportTest, ARegisterThatDoesNotAnswerIsLeftAlone) {
    ring({.bnumer = 1, .eanrig = kEan}, 2);
    ctx_->board.set_status_text("Travaso in corso");
    mark_log();
    auto figures = Travaso_Scontrini(*ctx_, 2, ImportTuning{});
    EXPECT_EQ(new_messages(2), (std::vector<std::string>{"-  Controllo se ci sono scontrini da importare dalle casse",
                                                         "-  ******** Cassa non collegata *******"}));
    EXPECT_EQ(figures.lines, 0);
    EXPECT_EQ(waiting(2), 1);
    EXPECT_EQ(count_rows(sales_db(), "venmo"), 0);
    EXPECT_EQ(ctx_->board.snapshot().txt_status, "");
}

TEST_F(ReceiptImportTest, NothingWaitingTouchesNoDocument) {
    add_header(5, kToday);
    ring({.eanrig = kEan, .aggiornogiacenza = "S"});
    ring({.eanrig = kEan, .bflag3 = "N"});
    mark_log();
    Travaso_Scontrini(*ctx_, 1);
    EXPECT_EQ(new_messages(5), (std::vector<std::string>{
                                   "-  Controllo se ci sono scontrini da importare dalle casse",
                                   "-  Controllo Scontrini vendita cassa 1. Attendere prego ...",
                                   "-  Non ci sono scontrini da recuperare ...",
                                   "-  Travaso vendite cassa  1  terminata con successo.",
                                   "- Fine travaso scontrini 1",
                               }));
    EXPECT_EQ(data::to_text(header(5, "regis")), "R");
    EXPECT_EQ(count_rows(sales_db(), "venmo"), 0);
    EXPECT_EQ(count_rows(register_db(1), "movimenti", "bflag3='N' AND aggiornogiacenza='N'"), 1);
}

TEST_F(ReceiptImportTest, BatchesCommitCentrallyThenMarkTheRegister) {
    article(1, kEan, 2.50);
    for (int i = 0; i < 25; ++i) ring({.bora = 0.01 * i, .bnumer = 200 + i, .eanrig = kEan});

    // A failure between a batch's central commit and its register marks (the instant a
    // crash would otherwise import lines twice).
    ImportTuning tuning;
    tuning.batch_lines = 10;
    import_losing_second_mark(tuning);
    EXPECT_EQ(count_rows(sales_db(), "venmo"), 20);
    EXPECT_EQ(waiting(), 15) << "only the first batch was marked";
    EXPECT_EQ(ledger_entries(), 10) << "the second batch is held by the ledger";

    auto figures = Travaso_Scontrini(*ctx_, 1, tuning);
    EXPECT_EQ(figures.settled, 10);
    EXPECT_EQ(figures.lines, 5);
    EXPECT_EQ(figures.batches, 1);
    EXPECT_EQ(count_rows(sales_db(), "venmo"), 25) << "no line imported twice";
    EXPECT_EQ(count_rows(sales_db(), "venmo", "bnumer=1"), 25);
    EXPECT_EQ(data::to_int(sales_db().scalar("SELECT max(bns) FROM venmo")), 25);
    EXPECT_EQ(waiting(), 0);
    EXPECT_EQ(ledger_entries(), 0);
    EXPECT_DOUBLE_EQ(data::to_double(article_field(1, "qven")), 25);
    EXPECT_GT(figures.longest_register_hold.count(), 0);
}

TEST_F(ReceiptImportTest, ALineKeyTheLedgerHoldsThatNowNamesAnotherLineIsImported) {
    article(1, kEan, 2.50);
    for (int i = 0; i < 10; ++i) ring({.bora = 0.01 * i, .bnumer = 300 + i, .eanrig = kEan});
    ImportTuning tuning;
    tuning.batch_lines = 5;
    import_losing_second_mark(tuning);
    ASSERT_EQ(ledger_entries(), 5) << "lines 6 to 10 imported, not marked";

    // The register's database is written anew before the next run: its lines are
    // numbered from 1 again, and keys 6 to 8 now name other sales.
    register_db(1).execute("DELETE FROM movimenti");
    register_db(1).execute("DELETE FROM sqlite_sequence WHERE name = 'movimenti'");
    for (int i = 0; i < 8; ++i) ring({.bora = 0.5 + 0.01 * i, .bnumer = 400 + i, .eanrig = kEan});
    const auto figures = Travaso_Scontrini(*ctx_, 1, tuning);
    EXPECT_EQ(figures.settled, 5);
    EXPECT_EQ(figures.lines, 8) << "every new line imported, those under old keys too";
    EXPECT_EQ(count_rows(sales_db(), "venmo"), 18);
    EXPECT_EQ(count_rows(sales_db(), "venmo", "numsco BETWEEN 400 AND 407"), 8);
    EXPECT_EQ(waiting(), 0);
    EXPECT_EQ(ledger_entries(), 0);
    EXPECT_DOUBLE_EQ(data::to_double(article_field(1, "qven")), 18);
}

}  // namespace
}  // namespace cassasync::sales
