// Start-up on real shop files: the path-free rules (main folder, switches, old logs),
// the complete run line by line, and every way it stops.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "base/text.h"
#include "core/back_office_paths.h"
#include "core/operation_log.h"
#include "data/database.h"
#include "data/text_match.h"
#include "frame/startup.h"
#include "platform/pinger.h"
#include "shop/shop_admin.h"
#include "support/shop_fixture.h"

namespace cassasync::frame {
namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

TEST(CartellaDatiOf, TakesThePartsBeforeTheMainFile) {
    struct Case {
        const char* name;
        std::string value;
        std::optional<std::string> folder;
    };
    const Case cases[] = {
        {"full path", "D:\\Negozio\\Dati\\dati.mdb", "D:\\Negozio\\Dati\\"},
        {"upper-case file name", "C:\\tarvi\\DATI.MDB", "C:\\tarvi\\"},
        {"capitalised file name", "C:\\tarvi\\Dati.mdb", "C:\\tarvi\\"},
        {"file name alone: no folder", "dati.mdb", ""},
        {"file name with blanks around", "  DATI.MDB  ", ""},
        {"blanks around the file part are trimmed for the test only", "C:\\ x \\ dati.mdb ", "C:\\ x \\"},
        {"network path", "\\\\server\\share\\dati.mdb", "\\\\server\\share\\"},
        {"file at part 10", "a\\b\\c\\d\\e\\f\\g\\h\\i\\j\\dati.mdb", "a\\b\\c\\d\\e\\f\\g\\h\\i\\j\\"},
        {"more than eleven parts: the first eleven", "a\\b\\c\\d\\e\\f\\g\\h\\i\\j\\k\\l\\dati.mdb",
         "a\\b\\c\\d\\e\\f\\g\\h\\i\\j\\k\\"},
        {"exactly eleven parts, no file", "a\\b\\c\\d\\e\\f\\g\\h\\i\\j\\k", "a\\b\\c\\d\\e\\f\\g\\h\\i\\j\\k\\"},
        {"another file name: unresolvable", "C:\\tarvi\\archivio.mdb", std::nullopt},
        {"other spelling of the name: unresolvable", "C:\\tarvi\\Dati.MDB", std::nullopt},
        {"empty value: unresolvable", "", std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(core::cartella_dati_of(c.value), c.folder) << c.name;
    }
}

TEST(LeadingNumberText, KeepsTheLeadingNumberAsPlainDecimal) {
    const std::pair<const char*, const char*> cases[] = {
        {"007", "7"},   {"x", "0"},    {" 12abc", "12"}, {"", "0"},     {"0", "0"},     {"1", "1"},
        {"000", "0"},   {"  -3", "-3"}, {"+4", "4"},     {"\t5", "5"},  {"1.50", "1.5"}, {"12.0x", "12"},
        {"-0", "0"},    {"  ", "0"},   {"7 8", "7"},
    };
    for (const auto& [in, out] : cases) {
        EXPECT_EQ(base::leading_number_text(in), out) << "'" << in << "'";
    }
}

TEST(IsLastMonthsLog, LooksOnlyAtTheMonthPositions) {
    struct Case {
        const char* name;
        platform::LocalTime today;
        const char* file;
        bool old;
    };
    const platform::LocalTime december{2026, 12, 7, 10, 0, 0};
    const platform::LocalTime january{2027, 1, 10, 10, 0, 0};
    const platform::LocalTime march{2026, 3, 2, 10, 0, 0};
    const Case cases[] = {
        {"last month", december, "logqvo_15112026.txt", true},
        {"last month, other case", december, "LOGQVO_15112026.TXT", true},
        {"last month of another year", december, "logqvo_20112025.txt", true},
        {"today's log", december, "logqvo_07122026.txt", false},
        {"day holds the digits", december, "logqvo_11102026.txt", false},
        {"year holds the digits", december, "logqvo_01122011.txt", false},
        {"too short", december, "logqvo_1511202.txt", false},
        {"other suffix", december, "logqvo_15112026.txt.bak", false},
        {"other prefix", december, "xlogqvo_15112026.txt", false},
        {"not a date", december, "logqvo_ab112026.txt", false},
        {"January: December is not taken", january, "logqvo_15122026.txt", false},
        {"January: month 00", january, "logqvo_10002026.txt", true},
        {"January: today", january, "logqvo_10012027.txt", false},
        {"March: February", march, "logqvo_15022026.txt", true},
        {"March: today, whose day is 02", march, "logqvo_02032026.txt", false},
        {"March: a year ending in 02", march, "logqvo_15032002.txt", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(core::is_last_months_log(c.file, c.today), c.old) << c.name;
    }
}

// The lines of a complete start-up before the register pass.
Lines complete_lines(const std::string& main = "C:\\tarvi\\dati.mdb",
                     const std::string& sales = "C:\\tarvi\\vendite.mdb",
                     const std::string& company = "C:\\vurk\\tarvi.mdb") {
    return {"- Avvio programma",
            "- Apro DB  " + main,
            "- Apro DB  " + sales,
            "-  >>>>> ATTENDERE PREGO...  <<<<<",
            "-  IL PROGRAMMA STA EFFETTUANDO ",
            "-  IL CONTROLLO ",
            "-  CONTROLLO IL DATABASE TARVI",
            "- Apro DB  " + company,
            "-  DB OK  ",
            "-  CONTROLLO DB TARVI OK",
            "-  CONTROLLO COLLEGAMENTO CASSE"};
}

// Lines up to and including the main database check that failed.
Lines lines_to_main_check() {
    Lines l = complete_lines();
    l.resize(8);
    return l;
}

Lines operator+(Lines a, const Lines& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

class StartupTest : public testing::ShopTest {
protected:
    fs::path log_folder() const { return local("C:\\tarvi\\bkp\\x").parent_path(); }
    void touch(const fs::path& file) { std::ofstream(file) << "x\r\n"; }
    void damage(const std::string& windows_path) {
        std::ofstream out(local(windows_path), std::ios::binary | std::ios::trunc);
        out << "not a database: a few words of text where the header should be, long enough to matter";
    }
    StartupResult run(char drive = 'C') { return run_startup(*ctx_, drive); }
    void expect_stopped(const StartupResult& r, StartupOutcome outcome) {
        EXPECT_EQ(r.outcome, outcome);
        EXPECT_EQ(ctx_->settings.Numero_Casse, 0);
        EXPECT_EQ(ctx_->Contatore_Cicli, 0);
        EXPECT_EQ(ctx_->board.snapshot().nrposw, "0");
    }
};

TEST_F(StartupTest, CompleteWithTheRealEchoToLoopback) {
    if (!platform::IcmpPinger::available()) GTEST_SKIP() << "this process may not open an ICMP socket";
    add_register(1);
    platform::IcmpPinger icmp;
    Context ctx(paths_, clock_, icmp, starter_);
    const auto r = run_startup(ctx);
    EXPECT_EQ(r.outcome, StartupOutcome::complete) << r.message;
    EXPECT_EQ(r.message, "");
    EXPECT_EQ(log_messages(), complete_lines() + Lines{"- Cassa 1 OK"});
    EXPECT_EQ(ctx.board.snapshot().registers[1].lamp, core::kLampGreen);
    ctx.databases.close_all();
    ctx.log.close();
}

TEST_F(StartupTest, CompleteLoadsEverySettingAndChecksEachRegister) {
    add_register(1);
    add_register(2, false);
    add_register(3);
    const auto r = run();
    ASSERT_EQ(r.outcome, StartupOutcome::complete) << r.message;
    EXPECT_EQ(log_messages(), complete_lines() + Lines({"- Cassa 1 OK", "-  Controllo cassa Nr.2 ...NON COLLEGATA",
                                                        "- Cassa 3 OK"}));
    const auto& s = ctx_->settings;
    EXPECT_EQ(s.Codice_Utente, 1);
    EXPECT_EQ(s.Lettera_Unita, 'C');
    EXPECT_EQ(s.Percorso_Societa, "C:\\vurk\\tarvi.mdb");
    EXPECT_EQ(s.Cartella_Dati, "C:\\tarvi\\");
    EXPECT_EQ(s.Percorso_Dati, "C:\\TARVI\\DATI.MDB");
    EXPECT_EQ(s.Percorso_Vendite, "C:\\tarvi\\vendite.mdb");
    EXPECT_EQ(s.Numero_Casse, 3);
    EXPECT_EQ(s.aaa, "1");
    EXPECT_EQ(s.bbb, "0");
    EXPECT_EQ(s.escludocaselle, "0");
    EXPECT_EQ(s.Punto_Vendita, 1);
    EXPECT_EQ(ctx_->Contatore_Cicli, 1);
    for (int n = 1; n <= 3; ++n) EXPECT_EQ(ctx_->Percorsi_Casse[static_cast<std::size_t>(n)], testing::register_path(n));
    EXPECT_EQ(ctx_->Percorsi_Casse[4], "");
    for (bool done : ctx_->Casse_Elaborate) EXPECT_FALSE(done);

    const auto board = ctx_->board.snapshot();
    EXPECT_EQ(board.nrposw, "3");
    EXPECT_EQ(board.served, 3);
    EXPECT_EQ(board.registers[1].lamp, core::kLampGreen);
    EXPECT_EQ(board.registers[2].lamp, core::kLampRed);
    EXPECT_EQ(board.registers[3].lamp, core::kLampGreen);
    EXPECT_FALSE(board.registers[4].lamp.has_value());

    ASSERT_TRUE(ctx_->databases.has_central());
    EXPECT_TRUE(ctx_->databases.central().is_attached(data::kSalesSchema));
    EXPECT_TRUE(ctx_->databases.central().is_attached(data::kLoyaltySchema));
    EXPECT_EQ(r.message, "");
}

TEST_F(StartupTest, SwitchesAndDefaultsFollowTheSettingsTables) {
    main_db().execute("UPDATE automa SET aaa = '007', bbb = ' 12abc', escludocaselle = '1'");
    main_db().execute("UPDATE utenti SET nrpos = NULL");
    main_db().execute("UPDATE pv SET codice = 7");
    ASSERT_EQ(run().outcome, StartupOutcome::complete);
    auto& s = ctx_->settings;
    EXPECT_EQ(s.aaa, "7");
    EXPECT_EQ(s.bbb, "12");
    EXPECT_EQ(s.escludocaselle, "1");
    EXPECT_EQ(s.Numero_Casse, 0);
    EXPECT_EQ(s.Punto_Vendita, 7);
    EXPECT_EQ(pinger_.calls(), 0) << "no register is tried";
    EXPECT_EQ(ctx_->board.snapshot().nrposw, "0");
    EXPECT_EQ(log_messages(), complete_lines());
}

TEST_F(StartupTest, MissingSettingRowsLeaveTheDefaults) {
    main_db().execute("UPDATE automa SET aaa = 'x', bbb = NULL, escludocaselle = NULL");
    ASSERT_EQ(run().outcome, StartupOutcome::complete);
    EXPECT_EQ(ctx_->settings.aaa, "0");
    EXPECT_EQ(ctx_->settings.bbb, "0");
    EXPECT_EQ(ctx_->settings.escludocaselle, "");

    main_db().execute("DELETE FROM automa");
    main_db().execute("DELETE FROM utenti");
    main_db().execute("DELETE FROM pv");
    Context again(paths_, clock_, pinger_, starter_);
    again.settings.aaa = again.settings.bbb = "9";
    ASSERT_EQ(run_startup(again).outcome, StartupOutcome::complete);
    EXPECT_EQ(again.settings.aaa, "0");
    EXPECT_EQ(again.settings.bbb, "0");
    EXPECT_EQ(again.settings.escludocaselle, "");
    EXPECT_EQ(again.settings.Numero_Casse, 0);
    EXPECT_EQ(again.settings.Punto_Vendita, 0);
    again.databases.close_all();
    again.log.close();
}

TEST_F(StartupTest, MainDatabaseInItsOwnFolderOnAnotherDrive) {
    shop::ShopOptions options;
    options.main_path = "D:\\Negozio\\Dati\\dati.mdb";
    ASSERT_TRUE(shop::init_shop(paths_, options));
    db("C:\\vurk\\tarvi.mdb").execute("UPDATE società SET database = ?", {data::text(options.main_path)});
    // The register goes to the main database the company record names.
    ASSERT_TRUE(shop::add_register(paths_, 1, testing::register_path(1)));
    EXPECT_EQ(data::to_int(db(shop::kDefaultMainPath).scalar("SELECT count(*) FROM casse")), 0);
    // Without the company record's main database nothing is created, and the message says why.
    fs::rename(paths_.to_local(options.main_path), paths_.to_local(options.main_path).string() + ".away");
    const Status missing = shop::add_register(paths_, 2, testing::register_path(2));
    EXPECT_NE(missing.message().find("D:\\Negozio\\Dati\\dati.mdb does not exist"), std::string::npos)
        << missing.message();
    EXPECT_FALSE(fs::exists(paths_.to_local(testing::register_path(2))));
    fs::rename(paths_.to_local(options.main_path).string() + ".away", paths_.to_local(options.main_path));
    pinger_.set_up("127.0.0.1", true);

    ASSERT_EQ(run().outcome, StartupOutcome::complete);
    const auto& s = ctx_->settings;
    EXPECT_EQ(s.Cartella_Dati, "D:\\Negozio\\Dati\\");
    EXPECT_EQ(s.Percorso_Vendite, "D:\\Negozio\\Dati\\vendite.mdb");
    EXPECT_EQ(s.Percorso_Dati, "D:\\NEGOZIO\\DATI\\DATI.MDB");
    EXPECT_EQ(log_messages(), complete_lines("D:\\Negozio\\Dati\\dati.mdb", "D:\\Negozio\\Dati\\vendite.mdb") +
                                  Lines{"- Cassa 1 OK"});
    EXPECT_TRUE(ctx_->databases.central().is_attached(data::kSalesSchema));
    EXPECT_EQ(s.Numero_Casse, 1) << "read from the D: main database";
}

// A shop is only made with a main database the service can find again: a file named
// dati.mdb in a named folder, the sales database beside it.
TEST(InitShop, RefusesAMainDatabasePathTheServiceCannotUse) {
    const char* const refused[] = {"C:\\shop\\main.db", "C:\\tarvi\\Dati.MDB", "dati.mdb",
                                   "C:\\dati.mdb\\x\\dati.mdb"};
    for (const char* main : refused) {
        testing::TempDir root;
        platform::RootPathMap paths(root.path());
        shop::ShopOptions options;
        options.main_path = main;
        const Status st = shop::init_shop(paths, options);
        EXPECT_FALSE(st) << main;
        EXPECT_NE(st.message().find(main), std::string::npos) << main << ": " << st.message();
        EXPECT_NE(st.message().find("dati.mdb"), std::string::npos) << main << ": " << st.message();
        EXPECT_FALSE(fs::exists(paths.to_local(shop::kCompanyPath))) << main << ": nothing is half made";
    }
    for (const char* main : {"D:\\Negozio\\Dati\\dati.mdb", "\\\\127.0.0.9\\dati\\DATI.MDB"}) {
        testing::TempDir root;
        platform::RootPathMap paths(root.path());
        shop::ShopOptions options;
        options.main_path = main;
        const Status st = shop::init_shop(paths, options);
        EXPECT_TRUE(st) << main << ": " << st.message();
        EXPECT_TRUE(fs::exists(paths.to_local(main))) << main;
    }
}

TEST_F(StartupTest, FileNameAloneGivesTheDriveFolderAndThenNoMainDatabase) {
    db("C:\\vurk\\tarvi.mdb").execute("UPDATE società SET database = 'dati.mdb'");
    const auto r = run();
    EXPECT_EQ(ctx_->settings.Cartella_Dati, "C:\\tarvi\\");
    EXPECT_EQ(ctx_->settings.Percorso_Vendite, "C:\\tarvi\\vendite.mdb");
    // The record's value itself, upper-cased, is the main database: a bare name.
    EXPECT_EQ(ctx_->settings.Percorso_Dati, "DATI.MDB");
    EXPECT_EQ(log_messages(), lines_to_main_check() + Lines{"-  ERRORE : DB NON ESISTE "});
    expect_stopped(r, StartupOutcome::company_checks);
}

TEST_F(StartupTest, MissingCompanyDatabaseLogsOnlyTheStart) {
    fs::remove(local("C:\\vurk\\tarvi.mdb"));
    const auto r = run();
    EXPECT_EQ(r.outcome, StartupOutcome::no_company);
    EXPECT_EQ(r.message, "ERRORE : FILE C:\\vurk\\tarvi.mdb NON ESISTE ");
    EXPECT_EQ(log_messages(), Lines{"- Avvio programma"});
    EXPECT_EQ(ctx_->settings.Percorso_Dati, "");
    EXPECT_EQ(ctx_->Contatore_Cicli, 0);
    EXPECT_EQ(ctx_->board.snapshot().nrposw, "") << "the register count is not set";
}

TEST_F(StartupTest, TheCompanyDatabaseIsLookedForOnTheCurrentDrive) {
    auto r = run('d');
    EXPECT_EQ(r.outcome, StartupOutcome::no_company);
    EXPECT_EQ(r.message, "ERRORE : FILE D:\\vurk\\tarvi.mdb NON ESISTE ");

    fs::create_directories(local("D:\\vurk\\x").parent_path());
    fs::copy_file(local("C:\\vurk\\tarvi.mdb"), local("D:\\vurk\\tarvi.mdb"));
    Context on_d(paths_, clock_, pinger_, starter_);
    r = run_startup(on_d, 'D');
    EXPECT_EQ(r.outcome, StartupOutcome::complete) << r.message;
    EXPECT_EQ(on_d.settings.Lettera_Unita, 'D');
    EXPECT_EQ(on_d.settings.Percorso_Societa, "D:\\vurk\\tarvi.mdb");
    EXPECT_EQ(on_d.settings.Percorso_Dati, "C:\\TARVI\\DATI.MDB");
    on_d.databases.close_all();
    on_d.log.close();
}

TEST_F(StartupTest, MissingCompanyRowStopsWithItsErrorLine) {
    add_register(1);
    db("C:\\vurk\\tarvi.mdb").execute("DELETE FROM società");
    const auto r = run();
    expect_stopped(r, StartupOutcome::no_company);
    EXPECT_EQ(r.message, "ERRORE CODICE UTENTE");
    EXPECT_EQ(log_messages(), (Lines{"- Avvio programma", "1 - ERRORE : SOCIETA CON CODICE 1 NON ESISTE C:\\vurk\\tarvi.mdb"}));
    EXPECT_EQ(ctx_->settings.Percorso_Dati, "");
    EXPECT_EQ(pinger_.calls(), 0);
}

TEST_F(StartupTest, MissingMainDatabaseStopsAtItsCheck) {
    add_register(1);
    fs::remove(local("C:\\tarvi\\dati.mdb"));
    const auto r = run();
    expect_stopped(r, StartupOutcome::company_checks);
    EXPECT_EQ(r.message, "");
    EXPECT_EQ(log_messages(), lines_to_main_check() + Lines{"-  ERRORE : DB NON ESISTE "});
    EXPECT_EQ(ctx_->settings.Percorso_Dati, "C:\\TARVI\\DATI.MDB");
    EXPECT_FALSE(ctx_->databases.has_central());
    EXPECT_FALSE(fs::exists(local("C:\\tarvi\\dati.mdb"))) << "start-up never creates the main database";
    EXPECT_EQ(pinger_.calls(), 0);
}

TEST_F(StartupTest, AStoppedStartUpSaysWhyAndWhatMendsIt) {
    add_register(1);
    EXPECT_EQ(run().reason, "") << "complete";

    fs::rename(local("C:\\tarvi\\dati.mdb"), local("C:\\tarvi\\dati.away"));
    Context no_main(paths_, clock_, pinger_, starter_);
    auto r = run_startup(no_main);
    EXPECT_NE(r.reason.find(local("C:\\TARVI\\DATI.MDB").string()), std::string::npos) << r.reason;
    EXPECT_NE(r.reason.find("società.database"), std::string::npos) << r.reason;
    no_main.log.close();

    damage("C:\\vurk\\tarvi.mdb");
    Context damaged(paths_, clock_, pinger_, starter_);
    r = run_startup(damaged);
    EXPECT_NE(r.reason.find(local("C:\\vurk\\tarvi.mdb").string()), std::string::npos) << r.reason;
    EXPECT_NE(r.reason.find("backup"), std::string::npos) << r.reason;
    damaged.databases.close_all();
    damaged.log.close();
}

TEST_F(StartupTest, DatabaseErrorsAreFailedChecks) {
    // A damaged main database: one error line naming the file after "DB OK".
    add_register(1);
    damage("C:\\tarvi\\dati.mdb");
    auto r = run();
    expect_stopped(r, StartupOutcome::company_checks);
    auto lines = log_messages();
    ASSERT_EQ(lines.size(), lines_to_main_check().size() + 2);
    EXPECT_EQ(Lines(lines.begin(), lines.end() - 1), lines_to_main_check() + Lines{"-  DB OK  "});
    EXPECT_EQ(lines.back().rfind("-  ", 0), 0u) << lines.back();
    EXPECT_NE(lines.back().find("dati.mdb"), std::string::npos) << lines.back();
    EXPECT_EQ(pinger_.calls(), 0);
}

TEST_F(StartupTest, MissingTablesAreFailedChecks) {
    add_register(1);
    main_db().execute("DROP TABLE automa");
    auto r = run();
    expect_stopped(r, StartupOutcome::company_checks);
    auto lines = log_messages();
    ASSERT_EQ(lines.size(), lines_to_main_check().size() + 2);
    EXPECT_EQ(lines[lines.size() - 2], "-  DB OK  ");
    EXPECT_NE(lines.back().find("automa"), std::string::npos) << lines.back();
}

TEST_F(StartupTest, MissingRegisterTableStopsBeforeAnyRegisterIsTried) {
    add_register(1);
    main_db().execute("DROP TABLE casse");
    const auto r = run();
    expect_stopped(r, StartupOutcome::company_checks);
    auto lines = log_messages();
    ASSERT_EQ(lines.size(), complete_lines().size() + 1);
    EXPECT_EQ(Lines(lines.begin(), lines.end() - 1), complete_lines());
    EXPECT_NE(lines.back().find("casse"), std::string::npos) << lines.back();
    EXPECT_EQ(pinger_.calls(), 0);
}

TEST_F(StartupTest, DamagedOrUnusableCompanyRecordIsAFailedCheck) {
    struct Case {
        const char* name;
        data::Value database;
        const char* expected_in_line;
    };
    const Case cases[] = {
        {"null database", data::kNull, "has no database path"},
        {"no dati.mdb in the path", data::text("C:\\tarvi\\archivio.mdb"), "C:\\tarvi\\archivio.mdb"},
    };
    for (const auto& c : cases) {
        db("C:\\vurk\\tarvi.mdb").execute("UPDATE società SET database = ?", {c.database});
        Context ctx(paths_, clock_, pinger_, starter_);
        const auto r = run_startup(ctx);
        EXPECT_EQ(r.outcome, StartupOutcome::no_company) << c.name;
        EXPECT_EQ(ctx.settings.Percorso_Dati, "") << c.name;
        EXPECT_EQ(ctx.board.snapshot().nrposw, "0") << c.name;
        ctx.databases.close_all();
        ctx.log.close();
        auto lines = log_messages();
        ASSERT_GE(lines.size(), 2u) << c.name;
        EXPECT_EQ(lines[lines.size() - 2], "- Avvio programma") << c.name;
        EXPECT_EQ(lines.back().rfind("-  ", 0), 0u) << c.name;
        EXPECT_NE(lines.back().find(c.expected_in_line), std::string::npos) << c.name << ": " << lines.back();
    }

    damage("C:\\vurk\\tarvi.mdb");
    const auto r = run();
    EXPECT_EQ(r.outcome, StartupOutcome::no_company);
    auto lines = log_messages();
    EXPECT_EQ(lines[lines.size() - 2], "- Avvio programma");
    EXPECT_NE(lines.back().find("tarvi.mdb"), std::string::npos) << lines.back();
}

TEST_F(StartupTest, MoreThanTenRegistersServesTheFirstTen) {
    main_db().execute("UPDATE utenti SET nrpos = 12");
    ASSERT_EQ(run().outcome, StartupOutcome::complete);
    Lines expected = complete_lines() + Lines{"-  ATTENZIONE: configurate 12 casse, servite le prime 10"};
    for (int n = 1; n <= 10; ++n) expected.push_back("-  Controllo cassa Nr." + std::to_string(n) + " ...NON COLLEGATA");
    EXPECT_EQ(log_messages(), expected);
    EXPECT_EQ(ctx_->settings.Numero_Casse, 12);
    EXPECT_EQ(ctx_->served_registers(), 10);
    EXPECT_EQ(ctx_->board.snapshot().nrposw, "12");
    EXPECT_EQ(ctx_->board.snapshot().served, 10);
}

TEST_F(StartupTest, SecondStartOfTheDayAppendsToTheSameLog) {
    add_register(1);
    start();
    const auto first = log_lines();
    ctx_->databases.close_all();
    ctx_->log.close();

    clock_.set({2026, 12, 7, 10, 5, 0});
    Context second(paths_, clock_, pinger_, starter_);
    ASSERT_EQ(run_startup(second).outcome, StartupOutcome::complete);
    second.log.close();
    second.databases.close_all();

    const auto lines = log_lines();
    ASSERT_EQ(lines.size(), 2 * first.size());
    EXPECT_EQ(Lines(lines.begin(), lines.begin() + static_cast<long>(first.size())), first);
    EXPECT_EQ(first.front(), "07/12/2026-10:00:00- Avvio programma");
    EXPECT_EQ(lines[first.size()], "07/12/2026-10:05:00- Avvio programma");
    EXPECT_EQ(std::distance(fs::directory_iterator(log_folder()), fs::directory_iterator()), 1);
}

TEST_F(StartupTest, FilesMadeWithTheEarlierIndexesAreUpgradedOnceWithALineEach) {
    add_register(1);
    testing::use_case_sensitive_indexes(main_db());
    testing::use_case_sensitive_indexes(loyalty_db(), true);
    main_db().execute("INSERT INTO codean (eanare, codare) VALUES ('12345678', 1)");
    start();
    const std::string main = ctx_->settings.Percorso_Dati;
    Lines upgraded;
    for (const char* index : {"clienti_tessera", "clienti_stat_t", "cartetx_tessera_cassa", "keyean", "codean_eanare7",
                              "codean_eanare12", "codean_desart25", "codali"}) {
        upgraded.push_back(std::string("-  Indice ") + index + " aggiornato nel database " + main);
    }
    upgraded.push_back("-  Indice movtessere_chiave aggiornato nel database C:\\tarvi\\fidel.mdb");
    Lines expected = complete_lines();
    expected.insert(expected.begin() + 9, upgraded.begin(), upgraded.end());
    EXPECT_EQ(log_messages(), expected + Lines{"- Cassa 1 OK"});

    // The lookups through the upgraded indexes.
    auto& central = ctx_->databases.central();
    const std::string by_key = "SELECT codare FROM codean WHERE " + data::same_text("eanare");
    EXPECT_EQ(data::to_int(central.scalar(by_key, {data::text("12345678")})), 1);
    EXPECT_NE(testing::query_plan(central, by_key, {data::text("12345678")}).find("USING INDEX keyean"),
              std::string::npos);
    ctx_->databases.close_all();
    ctx_->log.close();

    // A second start finds nothing to upgrade.
    Context second(paths_, clock_, pinger_, starter_);
    ASSERT_EQ(run_startup(second).outcome, StartupOutcome::complete);
    second.log.close();
    second.databases.close_all();
    const auto lines = log_messages();
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [](const std::string& l) { return l.find("Indice ") != std::string::npos; }),
              9);
}

TEST_F(StartupTest, OldLogCleanUpTakesOnlyLastMonthsLogs) {
    const char* gone[] = {"logqvo_15112026.txt", "logqvo_30112025.txt"};
    const char* kept[] = {"logqvo_07122026.txt", "logqvo_11102026.txt", "logqvo_01122011.txt", "notes11.txt",
                          "logqvo_1111.txt"};
    for (auto f : gone) touch(log_folder() / f);
    for (auto f : kept) touch(log_folder() / f);
    ASSERT_EQ(run().outcome, StartupOutcome::complete);
    for (auto f : gone) EXPECT_FALSE(fs::exists(log_folder() / f)) << f;
    for (auto f : kept) EXPECT_TRUE(fs::exists(log_folder() / f)) << f;
    // Today's log existed already: it was appended to, not recreated.
    EXPECT_EQ(log_lines().front(), "x");
}

TEST_F(StartupTest, InJanuaryNoDecemberLogIsTaken) {
    clock_.set({2027, 1, 10, 8, 0, 0});
    const char* kept[] = {"logqvo_15122026.txt", "logqvo_01012027.txt", "logqvo_00122000.txt"};
    for (auto f : kept) touch(log_folder() / f);
    touch(log_folder() / "logqvo_10002026.txt");
    ASSERT_EQ(run().outcome, StartupOutcome::complete);
    for (auto f : kept) EXPECT_TRUE(fs::exists(log_folder() / f)) << f;
    EXPECT_FALSE(fs::exists(log_folder() / "logqvo_10002026.txt"));
    EXPECT_TRUE(fs::exists(log_folder() / "logqvo_10012027.txt"));
}

// The service runs for months: the first line after midnight goes into the new day's
// file, and when a month begins last month's logs go as start-up takes them, today's
// log and the day before's staying unless their month is the one that goes.
TEST_F(StartupTest, TheRunningLogMovesOnAtMidnightAndCleansUpWhenAMonthBegins) {
    struct Case {
        const char* name;
        platform::LocalTime before, after;
        Lines gone, kept;
    };
    const Case cases[] = {
        {"New Year: month 00 goes, December stays", {2026, 12, 31, 23, 59, 59}, {2027, 1, 1, 0, 0, 0},
         {"logqvo_10002026.txt"},
         {"logqvo_31122026.txt", "logqvo_15122026.txt", "logqvo_00122000.txt", "logqvo_01012027.txt"}},
        {"into December: November goes, the day before with it", {2026, 11, 30, 23, 59, 59}, {2026, 12, 1, 0, 0, 1},
         {"logqvo_30112026.txt", "logqvo_15112026.txt", "logqvo_30112025.txt"},
         {"logqvo_11102026.txt", "logqvo_01122011.txt", "logqvo_01122026.txt", "notes11.txt"}},
        {"a new day within the month: nothing goes", {2026, 12, 7, 23, 59, 59}, {2026, 12, 8, 0, 0, 0}, {},
         {"logqvo_07122026.txt", "logqvo_15112026.txt", "logqvo_08122026.txt"}},
    };
    for (const auto& c : cases) {
        for (const auto& e : fs::directory_iterator(log_folder())) fs::remove(e.path());
        clock_.set(c.before);
        Context ctx(paths_, clock_, pinger_, starter_);
        ASSERT_EQ(run_startup(ctx).outcome, StartupOutcome::complete) << c.name;
        const fs::path day_before = log_folder() / core::log_file_name(c.before);
        const std::string started = testing::read_text_file(day_before);
        ASSERT_EQ(log_lines().size(), complete_lines().size()) << c.name;
        // Left by earlier days, after start-up's own clean-up.
        for (const Lines* names : {&c.gone, &c.kept}) {
            for (const auto& f : *names) {
                if (f != core::log_file_name(c.before) && f != core::log_file_name(c.after)) touch(log_folder() / f);
            }
        }

        clock_.set(c.after);
        ctx.log.write("- Inizio elaborazione ");
        EXPECT_EQ(log_lines(), Lines{platform::short_date(c.after) + "-" + platform::long_time(c.after) + "- Inizio elaborazione "})
            << c.name;
        if (fs::exists(day_before)) {
            EXPECT_EQ(testing::read_text_file(day_before), started) << c.name << ": the day before keeps its own lines";
        }
        for (const auto& f : c.gone) EXPECT_FALSE(fs::exists(log_folder() / f)) << c.name << ": " << f;
        for (const auto& f : c.kept) EXPECT_TRUE(fs::exists(log_folder() / f)) << c.name << ": " << f;
        ctx.databases.close_all();
        ctx.log.close();
    }
}

TEST_F(StartupTest, ALogThatCannotBeOpenedStopsStartUp) {
    fs::remove_all(log_folder());
    const auto r = run();
    EXPECT_EQ(r.outcome, StartupOutcome::log_unavailable);
    EXPECT_NE(r.message.find("C:\\tarvi\\bkp\\logqvo_07122026.txt"), std::string::npos) << r.message;
    EXPECT_NE(r.message.find("No such file or directory"), std::string::npos) << r.message;
    EXPECT_FALSE(ctx_->log.is_open());
    EXPECT_FALSE(fs::exists(log_folder()));
    EXPECT_EQ(ctx_->settings.Percorso_Dati, "");
}

}  // namespace
}  // namespace cassasync::frame
