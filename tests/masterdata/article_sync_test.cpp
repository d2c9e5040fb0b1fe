#include "masterdata/article_sync.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "core/back_office_paths.h"
#include "data/transfer_ledger.h"
#include "frame/register_steps.h"
#include "masterdata/register_intake.h"
#include "support/shop_fixture.h"

namespace cassasync::masterdata {
namespace {

namespace fs = std::filesystem;
using data::Value;

Value txt(const std::string& s) { return Value(s); }
Value num(std::int64_t v) { return Value(v); }

const std::string kChecking = "-  Controllo se ci sono articoli modificati dalla casse";
std::string reading(const std::string& ean) { return "-  Leggo ARTICOLI  cassa 1 " + ean; }
std::string new_article(std::int64_t code) { return "-  Cassa Nr.1Articolo " + std::to_string(code); }

// 7 December 2026, the fixture's day.
constexpr double kToday = 46363;

class ArticleSyncTest : public testing::ShopTest {
protected:
    void SetUp() override {
        add_register(1);
        ready();
        // The intake alone; the customer import is switched on where a test needs it.
        ctx_->settings.bbb = "1";
    }

    void register_barcode(const std::string& ean, const Value& desart, double przpub, int ivart, int codrep,
                          const std::string& tipart = "0", const std::string& flag = "A") {
        register_db(1).execute(
            "INSERT INTO codean (eanare, desart, przpub, ivart, codrep, tipart, flagagg) VALUES (?,?,?,?,?,?,?)",
            {txt(ean), desart, Value(przpub), num(ivart), num(codrep), txt(tipart), txt(flag)});
    }
    void central_barcode(const std::string& ean, int codare, const Value& aggi, int pezzix = 1) {
        main_db().execute(
            "INSERT INTO codean (eanare, codare, desart, aggi, pezzix, prezzo, prezzox, stato, flagean) "
            "VALUES (?,?,'Centrale',?,?,1,?,'X','N')",
            {txt(ean), num(codare), aggi, num(pezzix), Value(static_cast<double>(pezzix))});
    }
    void central_article(int codart, double przpub = 1, int ivart = 10, int codrep = 1) {
        main_db().execute("INSERT INTO listi01 (codart, desart, przpub, ivart, codrep) VALUES (?,'Centrale',?,?,?)",
                          {num(codart), Value(przpub), num(ivart), num(codrep)});
    }
    fs::path install_loader(const std::string& script = "#!/bin/sh\nexit 0\n") {
        const fs::path p = local(core::kLoaderPath);
        std::ofstream(p) << script;
        fs::permissions(p, fs::perms::owner_all);
        return p;
    }

    Value central(const std::string& sql, const std::vector<Value>& params) { return main_db().scalar(sql, params); }
    Value article(std::int64_t codart, const std::string& field) {
        return central("SELECT " + field + " FROM listi01 WHERE codart = ?", {num(codart)});
    }
    Value barcode(const std::string& ean, const std::string& field) {
        return central("SELECT " + field + " FROM codean WHERE eanare = ?", {txt(ean)});
    }
    std::int64_t marked(const std::string& flag) {
        return testing::count_rows(register_db(1), "codean", "flagagg = ?", {txt(flag)});
    }
    std::int64_t ledger_entries() {
        return testing::count_rows(main_db(), "registro_trasferimenti", "cassa = 1 AND tabella = 'codean'");
    }
    bool elaborated() const { return ctx_->Casse_Elaborate[1]; }
    // The register's intake as the cycle runs it: the articles and what follows them.
    void intake() { frame::run_intake(*ctx_, 1, frame::CycleSteps::standard()); }
};

TEST_F(ArticleSyncTest, SwitchOffTouchesNothingAndStillHandsOverToTheCustomerImport) {
    register_barcode("8000000000011", txt("Nuovo"), 2, 22, 1);
    install_loader();
    // No database is opened at all: a register file that has gone gives no error.
    ASSERT_TRUE(fs::remove(local(testing::register_path(1))));
    ctx_->settings.aaa = "0";
    EXPECT_NO_THROW(Aggiorna_Articoli(*ctx_, 1));
    EXPECT_TRUE(log_messages().empty());
    EXPECT_TRUE(starter_.started.empty());
    EXPECT_FALSE(elaborated());

    // The same switch with the customer import on: the import runs and reaches the
    // register, which is missing; its error is its own line, and the invoice recovery
    // still follows.
    ctx_->settings.bbb = "0";
    EXPECT_NO_THROW(intake());
    const auto log = log_messages();
    ASSERT_GE(log.size(), 3u);
    EXPECT_EQ(log[0], "-  Aggiorno Clienti alla casse");
    EXPECT_EQ(log[1].rfind("-  Importazione clienti cassa Nr. 1: ", 0), 0u) << log[1];
    EXPECT_EQ(log[2], "-  Recupero fatture dalle  casse");
}

TEST_F(ArticleSyncTest, SwitchOffWithCustomerImportOnImportsTheRegistersCustomers) {
    register_barcode("8000000000011", txt("Nuovo"), 2, 22, 1);
    register_db(1).execute("INSERT INTO clienti (codcliente, cognome, flagagg) VALUES (5, 'Verdi', 'A')");
    ctx_->settings.aaa = "0";
    ctx_->settings.bbb = "0";
    intake();
    auto log = log_messages();
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log[0], "-  Aggiorno Clienti alla casse");
    EXPECT_EQ(log[1], "-  Cassa 1 Cliente Verdi");
    EXPECT_EQ(marked("A"), 1) << "the barcode is not taken";
    EXPECT_EQ(testing::count_rows(main_db(), "codean"), 0);
    EXPECT_EQ(testing::count_rows(main_db(), "clienti", "codcliente = 5 AND stat_t = 'R'"), 1);
}

TEST_F(ArticleSyncTest, NoMarkedRowWritesOneLineAndSetsTheFlagWithoutLoader) {
    install_loader();
    register_barcode("8000000000011", txt("Preso"), 2, 22, 1, "0", "T");
    register_db(1).execute("INSERT INTO clienti (codcliente, cognome, flagagg) VALUES (5, 'Verdi', 'A')");
    ctx_->settings.bbb = "3";  // customer import off
    Aggiorna_Articoli(*ctx_, 1);
    EXPECT_EQ(log_messages(), std::vector<std::string>{kChecking});
    EXPECT_TRUE(elaborated());
    EXPECT_TRUE(starter_.started.empty());
    EXPECT_EQ(testing::count_rows(register_db(1), "clienti", "flagagg = 'A'"), 1) << "no customer import";
    EXPECT_EQ(testing::count_rows(main_db(), "clienti"), 0);
}

TEST_F(ArticleSyncTest, UnreachableRegisterWritesOnlyTheFirstLine) {
    install_loader();
    register_barcode("8000000000011", txt("Nuovo"), 2, 22, 1);
    pinger_.set_up("127.0.0.1", false);
    Aggiorna_Articoli(*ctx_, 1);
    EXPECT_EQ(log_messages(), std::vector<std::string>{kChecking});
    EXPECT_FALSE(elaborated());
    EXPECT_TRUE(starter_.started.empty());
    EXPECT_EQ(marked("A"), 1);

    ctx_->settings.bbb = "0";
    intake();
    auto log = log_messages();
    ASSERT_GE(log.size(), 3u);
    EXPECT_EQ(log[2], "-  Aggiorno Clienti alla casse") << "the customer import follows all the same";
}

TEST_F(ArticleSyncTest, RegisterNumberOutsideTheTableIsRefusedBeforeAnything) {
    EXPECT_THROW(Aggiorna_Articoli(*ctx_, 11), std::out_of_range);
    EXPECT_TRUE(log_messages().empty());
}

TEST_F(ArticleSyncTest, TwoNewBarcodesBecomeTwoArticlesAndStartTheLoaderOnce) {
    const auto loader = install_loader();
    central_article(7);
    central_article(41);
    register_barcode("8000000000011", txt("Pasta di semola"), 1.25, 4, 3, "P");
    register_barcode("8000000000028", txt("Sugo"), 2.5, 10, 5, "0");
    register_barcode("8000000000035", txt("Gia preso"), 9, 22, 1, "0", "T");
    Aggiorna_Articoli(*ctx_, 1);

    EXPECT_EQ(log_messages(), (std::vector<std::string>{kChecking, reading("8000000000011"), new_article(42),
                                                        reading("8000000000028"), new_article(43)}));
    ASSERT_EQ(starter_.started.size(), 1u);
    EXPECT_EQ(starter_.started[0], loader);
    EXPECT_TRUE(elaborated());
    EXPECT_EQ(marked("A"), 0);
    EXPECT_EQ(marked("T"), 3);
    EXPECT_EQ(ledger_entries(), 0) << "entries are cleared once the register has its marks";

    // The new article (price list), field by field where the value is the intake's own.
    EXPECT_EQ(data::to_text(article(42, "desart")), "Pasta di semola");
    EXPECT_EQ(data::to_text(article(42, "descas")), "Pasta di semola");
    EXPECT_EQ(data::to_text(article(42, "umart")), "PZ");
    EXPECT_DOUBLE_EQ(data::to_double(article(42, "przpub")), 1.25);
    EXPECT_EQ(data::to_int(article(42, "ivart")), 4);
    EXPECT_EQ(data::to_int(article(42, "codrep")), 3);
    EXPECT_EQ(data::to_text(article(42, "flag_peso")), "P");
    EXPECT_EQ(data::to_text(article(42, "tipart")), "1");
    EXPECT_EQ(data::to_int(article(42, "annoco")), 2026);
    EXPECT_DOUBLE_EQ(data::to_double(article(42, "datreg")), kToday);
    EXPECT_DOUBLE_EQ(data::to_double(article(42, "datagg")), kToday);
    EXPECT_EQ(data::to_int(article(42, "imbart")), 1);
    EXPECT_EQ(data::to_int(article(42, "quaco")), 1);
    EXPECT_EQ(data::to_int(article(42, "codgru")), 1);
    EXPECT_EQ(data::to_text(article(42, "dessot")), ".");
    EXPECT_EQ(data::to_text(article(42, "desrep")), ".");
    EXPECT_EQ(data::to_text(article(42, "umquaco")), "PZ");
    EXPECT_EQ(data::to_text(article(42, "stapro")), "");
    EXPECT_FALSE(data::is_null(article(42, "note")));
    EXPECT_TRUE(data::is_null(article(42, "fl2art")));
    EXPECT_TRUE(data::is_null(article(42, "dultven")));
    EXPECT_DOUBLE_EQ(data::to_double(article(43, "przpub")), 2.5);
    EXPECT_EQ(data::to_text(article(43, "flag_peso")), "0");

    // The new barcodes.
    EXPECT_EQ(data::to_int(barcode("8000000000011", "codare")), 42);
    EXPECT_EQ(data::to_int(barcode("8000000000028", "codare")), 43);
    EXPECT_EQ(data::to_text(barcode("8000000000011", "desart")), "Pasta di semola");
    EXPECT_EQ(data::to_text(barcode("8000000000011", "aggi")), "A");
    EXPECT_EQ(data::to_text(barcode("8000000000011", "stato")), "R");
    EXPECT_EQ(data::to_text(barcode("8000000000011", "flagean")), "S");
    EXPECT_EQ(data::to_text(barcode("8000000000011", "neti")), "1");
    EXPECT_EQ(data::to_text(barcode("8000000000011", "codafo")), ".");
    EXPECT_EQ(data::to_text(barcode("8000000000011", "soglia")), "0");
    EXPECT_EQ(data::to_int(barcode("8000000000011", "pezzix")), 1);
    EXPECT_DOUBLE_EQ(data::to_double(barcode("8000000000028", "prezzo")), 2.5);
    EXPECT_DOUBLE_EQ(data::to_double(barcode("8000000000028", "prezzox")), 2.5);
    EXPECT_TRUE(data::is_null(barcode("8000000000011", "codlis")));
    EXPECT_EQ(testing::count_rows(main_db(), "codean", "eanare = '8000000000035'"), 0);

    // A second run finds nothing marked and starts nothing.
    Aggiorna_Articoli(*ctx_, 1);
    EXPECT_EQ(starter_.started.size(), 1u);
    EXPECT_EQ(testing::count_rows(main_db(), "listi01"), 4);
}

TEST_F(ArticleSyncTest, NewArticlesWithoutAnInstalledLoaderStartNothing) {
    central_article(1);
    register_barcode("8000000000011", txt("Nuovo"), 2, 22, 1);
    Aggiorna_Articoli(*ctx_, 1);
    EXPECT_TRUE(starter_.started.empty());
    EXPECT_EQ(data::to_int(barcode("8000000000011", "codare")), 2);
    EXPECT_TRUE(elaborated());
}

TEST_F(ArticleSyncTest, EmptyPriceListGivesTheFirstArticleCode1) {
    register_barcode("8000000000011", txt("Primo"), 2, 22, 1);
    register_barcode("8000000000028", txt("Secondo"), 3, 22, 1);
    Aggiorna_Articoli(*ctx_, 1);
    EXPECT_EQ(data::to_int(barcode("8000000000011", "codare")), 1);
    EXPECT_EQ(data::to_int(barcode("8000000000028", "codare")), 2);
    EXPECT_EQ(data::to_text(article(1, "desart")), "Primo");
}

TEST_F(ArticleSyncTest, KnownBarcodesAreUpdatedOnlyWhenARegisterCreatedThem) {
    install_loader();
    central_article(5, 1, 10, 1);
    central_article(6, 9, 10, 1);
    central_barcode("8000000000011", 5, txt("A"), 6);
    central_barcode("8000000000028", 6, Value());  // the back office's own barcode
    central_barcode("8000000000035", 6, txt("N"));

    register_barcode("8000000000028", txt("Cambiato"), 4, 22, 3);
    register_barcode("8000000000035", txt("Cambiato"), 4, 22, 3);
    Aggiorna_Articoli(*ctx_, 1);
    EXPECT_EQ(log_messages(), (std::vector<std::string>{kChecking, reading("8000000000028"),
                                                        reading("8000000000035")}));
    EXPECT_EQ(marked("T"), 2);
    EXPECT_TRUE(starter_.started.empty()) << "nothing central changed";
    for (const std::string ean : {"8000000000028", "8000000000035"}) {
        SCOPED_TRACE(ean);
        EXPECT_EQ(data::to_text(barcode(ean, "desart")), "Centrale");
        EXPECT_EQ(data::to_text(barcode(ean, "stato")), "X");
        EXPECT_DOUBLE_EQ(data::to_double(barcode(ean, "prezzo")), 1);
    }
    // Their article's price list is not overridden either.
    EXPECT_DOUBLE_EQ(data::to_double(article(6, "przpub")), 9);
    EXPECT_EQ(data::to_int(article(6, "ivart")), 10);
    EXPECT_TRUE(data::is_null(article(6, "datagg")));

    register_barcode("8000000000011", txt("Nuova descrizione"), 2.5, 22, 3);
    Aggiorna_Articoli(*ctx_, 1);
    EXPECT_EQ(data::to_text(barcode("8000000000011", "desart")), "Nuova descrizione");
    EXPECT_DOUBLE_EQ(data::to_double(barcode("8000000000011", "prezzo")), 2.5);
    EXPECT_DOUBLE_EQ(data::to_double(barcode("8000000000011", "prezzox")), 15) << "6 pieces at 2.50";
    EXPECT_EQ(data::to_text(barcode("8000000000011", "stato")), "R");
    EXPECT_EQ(data::to_text(barcode("8000000000011", "flagean")), "S");
    EXPECT_EQ(data::to_int(barcode("8000000000011", "codare")), 5);
    EXPECT_DOUBLE_EQ(data::to_double(article(5, "przpub")), 2.5);
    EXPECT_EQ(data::to_int(article(5, "ivart")), 22);
    EXPECT_EQ(data::to_int(article(5, "codrep")), 3);
    EXPECT_DOUBLE_EQ(data::to_double(article(5, "datagg")), kToday);
    EXPECT_EQ(data::to_text(article(5, "desart")), "Centrale") << "the article's description stays";
    EXPECT_EQ(testing::count_rows(main_db(), "listi01"), 2) << "no new article";
    EXPECT_EQ(starter_.started.size(), 1u);
    EXPECT_EQ(marked("A"), 0);
}

TEST_F(ArticleSyncTest, LongDescriptionsAreCutByCharactersAndQuotesAreData) {
    central_article(1);
    central_barcode("8000000000011", 1, txt("A"));
    // 60 characters; the 20th is a two-byte "è".
    const std::string desart = "L'olio d'oliva buonè extravergine di prima spremitura a fred";
    ASSERT_EQ(desart.size(), 61u) << "60 characters, one of two bytes";
    const std::string quoted_ean = "' OR ''='";
    register_barcode(quoted_ean, txt(desart), 7.9, 4, 2);
    Aggiorna_Articoli(*ctx_, 1);

    EXPECT_EQ(data::to_text(article(2, "desart")), desart.substr(0, 51)) << "first 50 characters";
    EXPECT_EQ(data::to_text(article(2, "descas")), "L'olio d'oliva buonè") << "first 20 characters";
    EXPECT_EQ(data::to_text(barcode(quoted_ean, "desart")), desart) << "the barcode keeps all 60";
    EXPECT_EQ(data::to_int(barcode(quoted_ean, "codare")), 2);
    EXPECT_EQ(data::to_text(barcode("8000000000011", "desart")), "Centrale")
        << "a quote in a barcode cannot widen the search";
    EXPECT_EQ(log_messages()[1], reading(quoted_ean));
}

TEST_F(ArticleSyncTest, ACrashBetweenTheTwoCommitsIsSettledWithoutASecondArticle) {
    central_article(1);
    register_barcode("8000000000011", txt("Nuovo"), 2, 22, 1);
    // The register goes away after the central commit and before its mark.
    register_db(1).exec(
        "CREATE TRIGGER lost_mark BEFORE UPDATE OF flagagg ON codean "
        "BEGIN SELECT RAISE(ABORT, 'register unreachable'); END");
    EXPECT_THROW(Aggiorna_Articoli(*ctx_, 1), data::DbError);
    EXPECT_EQ(testing::count_rows(main_db(), "listi01"), 2);
    EXPECT_EQ(ledger_entries(), 1);
    EXPECT_EQ(marked("A"), 1);
    EXPECT_FALSE(elaborated());
    EXPECT_TRUE(starter_.started.empty());

    register_db(1).exec("DROP TRIGGER lost_mark");
    install_loader();
    const auto lines_before = log_messages().size();
    Aggiorna_Articoli(*ctx_, 1);
    EXPECT_EQ(marked("A"), 0);
    EXPECT_EQ(ledger_entries(), 0);
    EXPECT_EQ(testing::count_rows(main_db(), "listi01"), 2) << "no second article";
    EXPECT_EQ(testing::count_rows(main_db(), "codean"), 1);
    EXPECT_EQ(starter_.started.size(), 1u) << "the run that took the article did not reach the loader";
    auto log = log_messages();
    EXPECT_EQ(std::vector<std::string>(log.begin() + static_cast<long>(lines_before), log.end()),
              std::vector<std::string>{kChecking});

    // The register changes the same barcode again: it is taken again, as an update.
    register_db(1).execute("UPDATE codean SET flagagg = 'A', przpub = 3.5 WHERE eanare = '8000000000011'");
    Aggiorna_Articoli(*ctx_, 1);
    EXPECT_DOUBLE_EQ(data::to_double(barcode("8000000000011", "prezzo")), 3.5);
    EXPECT_DOUBLE_EQ(data::to_double(article(2, "przpub")), 3.5);
    EXPECT_EQ(marked("A"), 0);
    EXPECT_EQ(starter_.started.size(), 2u);
}

TEST_F(ArticleSyncTest, ARowTheRegisterChangesBeforeACrashIsSettledIsTakenAgain) {
    central_article(1);
    register_barcode("8000000000011", txt("Nuovo"), 2, 22, 1);
    register_barcode("8000000000028", txt("Fermo"), 4, 22, 1);
    register_db(1).exec(
        "CREATE TRIGGER lost_mark BEFORE UPDATE OF flagagg ON codean "
        "BEGIN SELECT RAISE(ABORT, 'register unreachable'); END");
    EXPECT_THROW(Aggiorna_Articoli(*ctx_, 1), data::DbError);
    EXPECT_EQ(ledger_entries(), 2);
    register_db(1).exec("DROP TRIGGER lost_mark");

    // Before the next run the register changes the first barcode's price again.
    register_db(1).execute("UPDATE codean SET przpub = 3.5 WHERE eanare = '8000000000011'");
    install_loader();
    Aggiorna_Articoli(*ctx_, 1);
    EXPECT_EQ(marked("A"), 0);
    EXPECT_EQ(ledger_entries(), 0);
    EXPECT_EQ(testing::count_rows(main_db(), "listi01"), 3) << "taken again as an update, not a new article";
    EXPECT_EQ(testing::count_rows(main_db(), "codean"), 2);
    EXPECT_DOUBLE_EQ(data::to_double(barcode("8000000000011", "prezzo")), 3.5) << "the newer price is not lost";
    EXPECT_DOUBLE_EQ(data::to_double(article(2, "przpub")), 3.5);
    EXPECT_DOUBLE_EQ(data::to_double(barcode("8000000000028", "prezzo")), 4);
    auto log = log_messages();
    EXPECT_EQ(std::count(log.begin(), log.end(), reading("8000000000011")), 2);
    EXPECT_EQ(std::count(log.begin(), log.end(), reading("8000000000028")), 1)
        << "the unchanged row is settled, not taken again";
}

TEST_F(ArticleSyncTest, AFailingRowIsHeldAloneTheRowsAfterItFlowAndOnceMendedItIsTakenOnce) {
    install_loader();
    central_article(1);
    register_barcode("8000000000011", txt("Buono"), 2, 22, 1);
    register_barcode("BAD", txt("Rifiutato"), 2, 22, 1);
    register_barcode("8000000000028", txt("Dopo"), 2, 22, 1);
    main_db().exec(
        "CREATE TRIGGER refuse_bad BEFORE INSERT ON codean WHEN NEW.eanare = 'BAD' "
        "BEGIN SELECT RAISE(ABORT, 'refused'); END");
    const auto held = [&] { return testing::count_rows(main_db(), "righe_trattenute", "cassa = 1 AND passo = 'articoli'"); };
    const std::string held_line = "-  Cassa 1, articoli: riga 2 (codice BAD) trattenuta: ";
    const auto names_held = [&](const std::string& l) {
        return l.starts_with(held_line) && l.find("refused") != std::string::npos;
    };
    for (int run = 1; run <= 2; ++run) {
        SCOPED_TRACE("run " + std::to_string(run));
        EXPECT_NO_THROW(Aggiorna_Articoli(*ctx_, 1));
        EXPECT_EQ(marked("T"), 2) << "the rows before and after the failing one are taken";
        EXPECT_EQ(marked("A"), 1);
        EXPECT_EQ(ledger_entries(), 0);
        EXPECT_EQ(held(), 1);
        EXPECT_EQ(testing::count_rows(main_db(), "listi01"), 3) << "the failing row left no article behind";
        EXPECT_EQ(testing::count_rows(main_db(), "codean"), 2);
        EXPECT_EQ(data::to_int(barcode("8000000000011", "codare")), 2);
        EXPECT_EQ(data::to_int(barcode("8000000000028", "codare")), 3);
        EXPECT_TRUE(elaborated());
        const auto log = log_messages();
        EXPECT_EQ(std::count_if(log.begin(), log.end(), names_held), 1) << "named once per day, not once per run";
    }
    EXPECT_EQ(starter_.started.size(), 1u) << "the articles taken go out; the second run took nothing";
    EXPECT_EQ(data::to_int(main_db().scalar("SELECT tentativi FROM righe_trattenute WHERE chiave = 2")), 2);

    main_db().exec("DROP TRIGGER refuse_bad");
    Aggiorna_Articoli(*ctx_, 1);
    EXPECT_EQ(marked("T"), 3);
    EXPECT_EQ(held(), 0) << "taken, it leaves the held table";
    EXPECT_EQ(testing::count_rows(main_db(), "codean", "eanare = 'BAD'"), 1) << "taken exactly once";
    EXPECT_EQ(data::to_int(barcode("BAD", "codare")), 4);
    EXPECT_EQ(starter_.started.size(), 2u);
    const auto log = log_messages();
    EXPECT_EQ(std::count(log.begin(), log.end(), "-  Cassa 1, articoli: riga 2 (codice BAD) presa dopo 3 tentativi"), 1);
}

// Hostile barcodes a register can really create, each between two good ones: each is held
// with a cause naming the field, or taken soundly, and the barcodes after it flow. Nothing
// unsound reaches the price list, where every register's sales would meet it.
TEST_F(ArticleSyncTest, HostileBarcodesAreHeldWithTheirCauseOrTakenSoundly) {
    install_loader();
    central_article(1);
    const std::string long_text(10000, 'd');
    struct Case {
        const char* what;
        Value eanare, desart, przpub, ivart, codrep;
        const char* held;  // a piece of the cause, or nullptr: taken
    };
    const Value ok_price(2.5);
    const std::vector<Case> cases = {
        {"null department", txt("H01"), txt("a"), ok_price, num(22), data::kNull, "codrep vuoto"},
        {"empty department", txt("H02"), txt("a"), ok_price, num(22), txt(""), "codrep vuoto"},
        {"text department", txt("H03"), txt("a"), ok_price, num(22), txt("alimentari"), "codrep non e' un numero"},
        {"department past 32 bits", txt("H04"), txt("a"), ok_price, num(22), num(4294967296), "codrep fuori dal campo"},
        {"null VAT code", txt("H05"), txt("a"), ok_price, data::kNull, num(1), "ivart vuoto"},
        {"text VAT code", txt("H06"), txt("a"), ok_price, txt("ventidue"), num(1), "ivart non e' un numero"},
        {"price past its field", txt("H07"), txt("a"), Value(1e300), num(22), num(1), "przpub fuori dal campo"},
        {"infinite price", txt("H08"), txt("a"), Value(1e300 * 1e300), num(22), num(1), "przpub non e' un numero finito"},
        {"text price", txt("H09"), txt("a"), txt("caro"), num(22), num(1), "przpub non e' un numero"},
        {"SQL in the department", txt("H10"), txt("a"), ok_price, num(22), txt("1; DELETE FROM listi01"),
         "codrep non e' un numero"},
        {"empty barcode", txt(""), txt("vuoto"), ok_price, num(22), num(1), "eanare vuoto"},
        {"10,000-character description", txt("T01"), txt(long_text), ok_price, num(22), num(1), nullptr},
        {"quotes and SQL in the barcode", txt("'; DROP TABLE codean;--"), txt("b"), ok_price, num(22), num(1), nullptr},
        {"bytes that are not UTF-8", txt("T02"), txt("Caf\xe9\xff"), ok_price, num(22), num(1), nullptr},
        {"numbers as text", txt("T03"), txt("c"), txt("3,5"), txt("22"), txt("4"), nullptr},
        {"null price", txt("T04"), txt("c"), data::kNull, num(22), num(1), nullptr},
    };
    int good = 0;
    const auto add_good = [&] { register_barcode("80000000" + std::to_string(10000 + good++), txt("Buono"), 2, 22, 1); };
    add_good();
    std::vector<std::int64_t> keys;
    for (const auto& c : cases) {
        register_db(1).execute(
            "INSERT INTO codean (eanare, desart, przpub, ivart, codrep, tipart, flagagg) VALUES (?,?,?,?,?,'0','A')",
            {c.eanare, c.desart, c.przpub, c.ivart, c.codrep});
        keys.push_back(register_db(1).last_insert_rowid());
        add_good();
    }
    // Every column NULL but the row key and the change mark.
    register_db(1).execute(
        "INSERT INTO codean (eanare, desart, przpub, ivart, codrep, tipart, flagagg) "
        "VALUES (NULL, NULL, NULL, NULL, NULL, NULL, 'A')");
    const std::int64_t all_null = register_db(1).last_insert_rowid();
    add_good();

    EXPECT_NO_THROW(Aggiorna_Articoli(*ctx_, 1));

    const auto cause_of = [&](std::int64_t key) {
        return main_db().scalar(
            "SELECT causa FROM righe_trattenute WHERE cassa = 1 AND passo = 'articoli' AND chiave = ?", {num(key)});
    };
    std::int64_t held_cases = 1;
    EXPECT_NE(data::to_text(cause_of(all_null)).find("eanare vuoto"), std::string::npos);
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const auto& c = cases[i];
        SCOPED_TRACE(c.what);
        const Value cause = cause_of(keys[i]);
        if (c.held) {
            ++held_cases;
            EXPECT_NE(data::to_text(cause).find(c.held), std::string::npos) << data::describe(cause);
            EXPECT_EQ(testing::count_rows(main_db(), "codean", "eanare = ?", {c.eanare}), 0);
        } else {
            EXPECT_TRUE(data::is_null(cause)) << data::describe(cause);
            ASSERT_EQ(testing::count_rows(main_db(), "codean", "eanare = ?", {c.eanare}), 1);
            const auto codart = data::to_int(barcode(data::to_text(c.eanare), "codare"));
            EXPECT_EQ(data::to_text(article(codart, "desart")), data::to_text(c.desart).substr(0, 50));
            EXPECT_TRUE(std::isfinite(data::to_double(data::is_null(c.przpub) ? Value(0.0) : article(codart, "przpub"))));
        }
    }
    for (int g = 0; g < good; ++g) {
        EXPECT_EQ(testing::count_rows(main_db(), "codean", "eanare = ?", {txt("80000000" + std::to_string(10000 + g))}), 1)
            << "good barcode " << g;
    }
    EXPECT_EQ(marked("A"), held_cases) << "held rows wait untouched";
    EXPECT_EQ(testing::count_rows(main_db(), "righe_trattenute"), held_cases);
    EXPECT_EQ(testing::count_rows(main_db(), "listi01", "codrep IS NULL OR ivart IS NULL"), 0);
    EXPECT_EQ(ledger_entries(), 0);
}

TEST_F(ArticleSyncTest, ARowTheRegisterChangesWhileItIsTakenIsTakenAgain) {
    central_article(1);
    register_barcode("8000000000011", txt("Primo"), 2, 22, 1);
    register_barcode("8000000000028", txt("Secondo"), 2, 22, 1);
    // The walk as the intake runs it, with the register changing the first row after the
    // walk has read it, while its batch is applied.
    const IntakeTable barcodes{"codean", "UPDATE codean SET flagagg='T' WHERE id IN (SELECT value FROM json_each(?))"};
    data::Database reg(paths_.to_local(testing::register_path(1)));
    data::Channel walk("codean2");
    auto& rows = walk.select(reg, "codean", "flagagg = 'A'", {}, "id");
    int applied = 0;
    take_rows(main_db(), reg, 1, barcodes, rows, [&](data::RecordSet&) {
        if (++applied == 1) register_db(1).execute("UPDATE codean SET przpub = 3.5 WHERE eanare = '8000000000011'");
    });
    EXPECT_EQ(applied, 2);
    EXPECT_EQ(data::to_text(register_db(1).scalar("SELECT flagagg FROM codean WHERE eanare = '8000000000011'")), "A")
        << "the newer price is still to be taken";
    EXPECT_EQ(data::to_text(register_db(1).scalar("SELECT flagagg FROM codean WHERE eanare = '8000000000028'")), "T");
    EXPECT_EQ(ledger_entries(), 0);

    // The next intake takes the row with its newer price.
    Aggiorna_Articoli(*ctx_, 1);
    EXPECT_EQ(marked("A"), 0);
    EXPECT_DOUBLE_EQ(data::to_double(barcode("8000000000011", "prezzo")), 3.5);
}

// The real loader: a script that waits for the test's go-ahead, then leaves a mark.
// Had the intake waited for it, the go-ahead would come too late and no mark appear.
class ArticleSyncRealLoaderTest : public ArticleSyncTest {
protected:
    void SetUp() override {
        ctx_ = std::make_unique<frame::Context>(paths_, clock_, pinger_, posix_starter_);
        ArticleSyncTest::SetUp();
    }
    platform::PosixProcessStarter posix_starter_;
};

bool wait_for(const fs::path& p, std::chrono::seconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        if (fs::exists(p)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return fs::exists(p);
}

TEST_F(ArticleSyncRealLoaderTest, StartsTheInstalledLoaderWithoutWaitingForIt) {
    const fs::path go = root_.path() / "go";
    const fs::path ran = root_.path() / "ran";
    install_loader("#!/bin/sh\n"
                   "i=0\n"
                   "while [ ! -e '" + go.string() + "' ]; do\n"
                   "  i=$((i+1)); [ $i -gt 200 ] && exit 1\n"
                   "  sleep 0.05\n"
                   "done\n"
                   "echo ran > '" + ran.string() + "'\n");
    register_barcode("8000000000011", txt("Nuovo"), 2, 22, 1);
    Aggiorna_Articoli(*ctx_, 1);
    EXPECT_FALSE(fs::exists(ran)) << "the loader is still waiting";
    std::ofstream(go) << "go";
    EXPECT_TRUE(wait_for(ran, std::chrono::seconds(20)));
    EXPECT_EQ(data::to_int(barcode("8000000000011", "codare")), 1);
}

}  // namespace
}  // namespace cassasync::masterdata
