// The processing cycle on real register files with a fake pinger: the tick rule, the
// status pass (lines and lamps), which registers the transfer and card passes serve
// under which semaphore, errors at a register's boundary, and stopping. Most cases
// replace the transfer steps by recorders, so that what is checked is the cycle's own
// order of calls and the semaphore each call ran under, not what the steps do.
#include <sqlite3.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/back_office_paths.h"
#include "core/operation_log.h"
#include "data/database.h"
#include "frame/cycle.h"
#include "frame/startup.h"
#include "support/shop_fixture.h"

namespace cassasync::frame {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Lines = std::vector<std::string>;

std::string ok(int n) { return "-  Controllo cassa Nr." + std::to_string(n) + " ...OK"; }
std::string down(int n) { return "-  Controllo cassa Nr." + std::to_string(n) + " ...NON COLLEGATA"; }
std::string not_initialised(int n) { return "-  Semaforo cassa " + std::to_string(n) + " non inizializzato!"; }
const std::string kStart = "- Inizio elaborazione ";

Lines operator+(Lines a, const Lines& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// True when `part` appears in `all` in this order (other lines may come between).
bool in_order(const Lines& all, const Lines& part) {
    auto it = all.begin();
    for (const auto& p : part) {
        it = std::find(it, all.end(), p);
        if (it == all.end()) return false;
        ++it;
    }
    return true;
}

class CycleTest : public testing::ShopTest {
protected:
    // Registers 1..count at 127.0.0.n, answering.
    void registers(int count) {
        for (int n = 1; n <= count; ++n) add_register(n);
    }
    void set_flag(int n, const data::Value& v) { register_db(n).execute("UPDATE Semafori SET Flag1 = ?", {v}); }
    // Flag1 of register n as the register sees it now; "-" when it has no file.
    std::string flag(int n) {
        if (!fs::exists(local(testing::register_path(n)))) return "-";
        return data::describe(register_db(n).scalar("SELECT Flag1 FROM Semafori ORDER BY rowid LIMIT 1"));
    }
    void damage(int n) {
        std::ofstream out(local(testing::register_path(n)), std::ios::binary | std::ios::trunc);
        out << "no database here: some text in place of the header, long enough to fill a header";
    }

    // Steps that record their call and the register's Flag1 at that moment.
    CycleSteps recorders() {
        auto record = [this](const char* what) {
            return [this, what](Context&, int n) {
                calls_.push_back(std::string(what) + "(" + std::to_string(n) + ") " + flag(n));
                if (auto& hook = hooks_[calls_.back().substr(0, calls_.back().find(' '))]) hook();
            };
        };
        CycleSteps s;
        s.Invia_Totali_Tessere = record("Invia");
        s.Ricevi_Totali_Tessere = record("Ricevi");
        s.Leggi_Tessere_Cassa = [leggi = record("Leggi")](Context& ctx, int n) {
            leggi(ctx, n);
            return true;
        };
        s.Aggiorna_Articoli = record("Aggiorna");
        s.Trasmetti_Tessere = record("Trasmetti");
        s.Consolida_Stato_Clienti = [this](Context&) {
            calls_.push_back("Consolida");
            if (auto& hook = hooks_["Consolida"]) hook();
        };
        return s;
    }

    // One cycle as the timer runs it after a complete start-up: the second tick.
    void one_cycle(ProcessingCycle& cycle) {
        ASSERT_FALSE(cycle.tick());
        ASSERT_TRUE(cycle.tick());
        EXPECT_EQ(ctx_->Contatore_Cicli, 1);
    }

    Lines calls_;
    // Run right after the recorded call named like "Ricevi(2)".
    std::map<std::string, std::function<void()>> hooks_;
};

TEST_F(CycleTest, PassesServeTheRegistersTheirSemaphoresAllow) {
    registers(5);
    // Register 4's path names no host: never reachable.
    main_db().execute("UPDATE casse SET percorso = 'C:\\cassa4\\dati.mdb' WHERE numero = 4");
    set_flag(2, data::integer(1));  // held by its software, processed all the same
    set_flag(3, data::integer(2));  // left over by an earlier run
    set_flag(5, data::integer(1));  // held: skipped in both passes
    ready();

    ProcessingCycle cycle(*ctx_, recorders());
    one_cycle(cycle);

    EXPECT_EQ(log_messages(), (Lines{kStart, ok(1), ok(2), ok(3), down(4), ok(5)}));
    EXPECT_EQ(calls_, (Lines{"Invia(1) 2", "Ricevi(1) 2", "Leggi(1) 2", "Aggiorna(1) 2", "Aggiorna(1) 2",  //
                             "Ricevi(2) 1", "Leggi(2) 1", "Aggiorna(2) 1", "Aggiorna(2) 1",                 //
                             "Ricevi(3) 2", "Leggi(3) 2", "Aggiorna(3) 2", "Aggiorna(3) 2",                 //
                             "Trasmetti(1) 0", "Trasmetti(3) 2", "Consolida"}));
    EXPECT_EQ(flag(1), "0");
    EXPECT_EQ(flag(2), "1");
    EXPECT_EQ(flag(3), "0");
    EXPECT_EQ(flag(4), "0");
    EXPECT_EQ(flag(5), "1");

    const auto board = ctx_->board.snapshot();
    for (int n : {1, 2, 3, 5}) EXPECT_EQ(board.registers[static_cast<std::size_t>(n)].lamp, core::kLampGreen) << n;
    EXPECT_EQ(board.registers[4].lamp, core::kLampRed);
    EXPECT_EQ(cycle.last_report().served, 5);
    EXPECT_EQ(cycle.last_report().reachable, 4);
    for (int n = 1; n <= 5; ++n) EXPECT_FALSE(ctx_->Casse_Elaborate[static_cast<std::size_t>(n)]) << n;
}

TEST_F(CycleTest, ALongTransferGetsItsRegistersShareOfTheCycleAndLetsTheRegisterIn) {
    registers(2);
    ready();
    // Register 1's step drains a backlog batch by batch for as long as the cycle allows.
    int batches = 0;
    Lines flags_between;
    hooks_["Leggi(1)"] = [&] {
        ASSERT_TRUE(ctx_->turns.between_batches);
        do {
            ++batches;
            flags_between.push_back(flag(1));
        } while (ctx_->turns.between_batches() != core::BatchTurn::wait_next_cycle);
    };
    hooks_["Leggi(2)"] = [&] { EXPECT_FALSE(batches == 0) << "register 2 comes after register 1's share"; };
    ProcessingCycle cycle(*ctx_, recorders(), {.hold = 0ms, .pause = 1ms, .budget = 100ms});
    one_cycle(cycle);

    EXPECT_GT(batches, 1);
    for (const auto& f : flags_between) EXPECT_EQ(f, "2") << "taken again after every turn";
    EXPECT_TRUE(in_order(calls_, {"Leggi(1) 2", "Aggiorna(1) 2", "Aggiorna(1) 2", "Leggi(2) 2", "Aggiorna(2) 2"}))
        << "the next register is served in the same cycle";
    EXPECT_FALSE(ctx_->turns.between_batches || ctx_->turns.let_go || ctx_->turns.take_back)
        << "only while a register's semaphore is held";
    EXPECT_EQ(flag(1), "0");
}

TEST_F(CycleTest, CardsGoToTheFirstFiveAndAVanishedRegisterIsSkippedQuietly) {
    registers(7);
    ready();
    // Register 2 stops answering after the status pass, while register 1 is served.
    hooks_["Aggiorna(1)"] = [this] { pinger_.set_up("127.0.0.2", false); };
    ProcessingCycle cycle(*ctx_, recorders());
    one_cycle(cycle);

    EXPECT_EQ(log_messages(), (Lines{kStart, ok(1), ok(2), ok(3), ok(4), ok(5), ok(6), ok(7)}));
    Lines expected = {"Invia(1) 2", "Ricevi(1) 2", "Leggi(1) 2", "Aggiorna(1) 2", "Aggiorna(1) 2"};
    for (int n = 3; n <= 7; ++n) {
        const std::string held = "(" + std::to_string(n) + ") 2";
        expected = expected + Lines{"Ricevi" + held, "Leggi" + held, "Aggiorna" + held, "Aggiorna" + held};
    }
    expected = expected + Lines{"Trasmetti(1) 0", "Trasmetti(3) 2", "Trasmetti(4) 2", "Trasmetti(5) 2", "Consolida"};
    EXPECT_EQ(calls_, expected);
    for (int n = 1; n <= 7; ++n) EXPECT_EQ(flag(n), "0") << n;
}

TEST_F(CycleTest, AnEmptySemaphoreTableIsLoggedAndTheRegisterServed) {
    registers(5);
    register_db(4).execute("DELETE FROM Semafori");
    ready();
    ProcessingCycle cycle(*ctx_, recorders());
    one_cycle(cycle);

    const std::string once = not_initialised(4);
    EXPECT_EQ(log_messages(), (Lines{kStart, ok(1), ok(2), ok(3), ok(4), ok(5), once, once, once, once, once, once}));
    EXPECT_TRUE(in_order(calls_, {"Ricevi(4) NULL", "Aggiorna(4) NULL", "Aggiorna(4) NULL", "Ricevi(5) 2", "Trasmetti(4) NULL",
                                  "Trasmetti(5) 2", "Consolida"}));
    EXPECT_EQ(testing::count_rows(register_db(4), "Semafori"), 0);
    EXPECT_EQ(flag(5), "0");
}

TEST_F(CycleTest, ADamagedRegisterIsOneErrorLineEachCycleAndTheOthersGoOn) {
    registers(7);
    damage(6);
    ready();
    ProcessingCycle cycle(*ctx_, recorders());
    for (int round = 1; round <= 2; ++round) {
        calls_.clear();
        one_cycle(cycle);
        const auto lines = log_messages();
        const Lines status = {kStart, ok(1), ok(2), ok(3), ok(4), ok(5), ok(6), ok(7)};
        ASSERT_EQ(lines.size(), round * (status.size() + 1)) << "round " << round;
        const auto last = Lines(lines.end() - static_cast<long>(status.size() + 1), lines.end());
        EXPECT_EQ(Lines(last.begin(), last.end() - 1), status) << "round " << round;
        EXPECT_EQ(last.back().rfind("-  Semaforo cassa Nr. 6: ", 0), 0u) << "the line names where: " << last.back();
        EXPECT_NE(last.back().find("127.0.0.6"), std::string::npos) << "the line names the file: " << last.back();
        EXPECT_TRUE(in_order(calls_, {"Aggiorna(5) 2", "Aggiorna(5) 2", "Ricevi(7) 2", "Leggi(7) 2", "Aggiorna(7) 2", "Aggiorna(7) 2", "Trasmetti(5) 2",
                                      "Consolida"}))
            << "round " << round;
        EXPECT_EQ(std::count_if(calls_.begin(), calls_.end(),
                                [](const std::string& c) { return c.find("(6)") != std::string::npos; }),
                  0);
    }
    for (int n : {1, 2, 3, 4, 5, 7}) EXPECT_EQ(flag(n), "0") << n;
}

TEST_F(CycleTest, ASemaphoreThatCannotBeGivenBackIsSaidOnce) {
    registers(5);
    ready();
    // Register 4's file fails after its last step, before its semaphore is given back.
    int intakes = 0;
    hooks_["Aggiorna(4)"] = [&] {
        if (++intakes == 2) damage(4);
    };
    ProcessingCycle cycle(*ctx_, recorders());
    one_cycle(cycle);

    const auto lines = log_messages();
    const auto said = std::count_if(lines.begin(), lines.end(), [](const std::string& line) {
        return line.rfind("-  Semaforo cassa Nr. 4: non rilasciato: ", 0) == 0 &&
               line.find("not a database") != std::string::npos;
    });
    EXPECT_EQ(said, 1) << "the steps that ran said nothing of it";
    EXPECT_TRUE(in_order(calls_, {"Aggiorna(4) 2", "Aggiorna(4) 2", "Ricevi(5) 2"})) << "the next register is served";
    for (int n : {1, 2, 3, 5}) EXPECT_EQ(flag(n), "0") << n;
}

TEST_F(CycleTest, ARegisterDatabaseReplacedWhileOpenIsOpenedAfresh) {
    registers(2);
    ready();
    ProcessingCycle cycle(*ctx_, recorders());
    one_cycle(cycle);  // the service now holds register 1's file open

    // The register's database is written anew and renamed over the old one, its
    // semaphore left at 2 by the register's own software.
    const fs::path file = local(testing::register_path(1));
    const fs::path fresh = file.string() + ".new";
    fs::copy_file(file, fresh);
    data::Database(fresh).execute("UPDATE Semafori SET Flag1 = 2");
    fs::rename(fresh, file);
    auto flag_on_disk = [&](int n) {
        data::Database now(local(testing::register_path(n)));
        return data::describe(now.scalar("SELECT Flag1 FROM Semafori ORDER BY rowid LIMIT 1"));
    };
    ASSERT_EQ(flag_on_disk(1), "2");

    const auto before = log_messages().size();
    one_cycle(cycle);
    EXPECT_EQ(flag_on_disk(1), "0") << "the semaphore of the new file was taken and released";
    EXPECT_EQ(flag_on_disk(2), "0");
    const auto lines = log_messages();
    EXPECT_EQ(Lines(lines.begin() + static_cast<long>(before), lines.end()),
              (Lines{kStart, ok(1), "-  Archivio sostituito, riaperto: cassa Nr.1: " + testing::register_path(1),
                     ok(2)}));

    // Unchanged since, it is kept open and named no more.
    const auto kept = log_messages().size();
    one_cycle(cycle);
    const auto again = log_messages();
    EXPECT_EQ(Lines(again.begin() + static_cast<long>(kept), again.end()), (Lines{kStart, ok(1), ok(2)}));
}

TEST_F(CycleTest, AStepErrorIsLoggedAndTheSemaphoreReleased) {
    registers(3);
    ready();
    auto steps = recorders();
    auto record_leggi = steps.Leggi_Tessere_Cassa;
    steps.Leggi_Tessere_Cassa = [record_leggi](Context& ctx, int n) {
        record_leggi(ctx, n);
        if (n == 2) throw data::DbError("cassa 2: cartetxrx cannot be read");
        return true;
    };
    steps.Consolida_Stato_Clienti = [this](Context&) {
        calls_.push_back("Consolida");
        throw data::DbError("clienti is locked\nby another program");
    };
    ProcessingCycle cycle(*ctx_, steps);
    one_cycle(cycle);

    // The failed card reads are one line naming the step and the register; the intake
    // that follows them is left out, the register's second intake still runs.
    EXPECT_EQ(log_messages(), (Lines{kStart, ok(1), ok(2), ok(3),
                                     "-  Lettura tessere cassa Nr. 2: cassa 2: cartetxrx cannot be read",
                                     "-  Consolidamento stato clienti: clienti is locked by another program"}));
    EXPECT_EQ(calls_, (Lines{"Invia(1) 2", "Ricevi(1) 2", "Leggi(1) 2", "Aggiorna(1) 2", "Aggiorna(1) 2",  //
                             "Ricevi(2) 2", "Leggi(2) 2", "Aggiorna(2) 2",                                  //
                             "Ricevi(3) 2", "Leggi(3) 2", "Aggiorna(3) 2", "Aggiorna(3) 2",                 //
                             "Trasmetti(1) 0", "Trasmetti(2) 2", "Trasmetti(3) 2", "Consolida"}));
    for (int n = 1; n <= 3; ++n) EXPECT_EQ(flag(n), "0") << n;
}

TEST_F(CycleTest, ARegistersStepsRunInTheirOrderAndAFailedStepStopsNoLaterOne) {
    registers(2);
    ready();
    auto steps = recorders();
    const auto record = [this](const char* what, const char* failure) {
        return [this, what, failure](Context&, int n) {
            calls_.push_back(std::string(what) + "(" + std::to_string(n) + ") " + flag(n));
            if (failure && n == 1) throw data::DbError(failure);
        };
    };
    steps.Aggiorna_Clienti = record("Clienti", "clienti: codcliente vuoto");
    steps.Recupero_Fatture = record("Fatture", nullptr);
    steps.Travaso_Scontrini = [scontrini = record("Scontrini", nullptr)](Context& ctx, int n) {
        scontrini(ctx, n);
        return sales::ImportFigures{};
    };
    steps.Controllo_Chiusura = [chiusura = record("Chiusura", nullptr)](Context& ctx, int n, long) { chiusura(ctx, n); };
    ctx_->settings.bbb = "0";
    ProcessingCycle cycle(*ctx_, steps);
    one_cycle(cycle);

    const std::string failed = "-  Importazione clienti cassa Nr. 1: clienti: codcliente vuoto";
    EXPECT_EQ(log_messages(), (Lines{kStart, ok(1), ok(2), failed, failed}));
    const Lines intake1 = {"Aggiorna(1) 2", "Clienti(1) 2", "Fatture(1) 2", "Scontrini(1) 2", "Chiusura(1) 2"};
    const Lines intake2 = {"Aggiorna(2) 2", "Clienti(2) 2", "Fatture(2) 2", "Scontrini(2) 2", "Chiusura(2) 2"};
    EXPECT_EQ(calls_, (Lines{"Invia(1) 2", "Ricevi(1) 2", "Leggi(1) 2"} + intake1 + intake1 +
                       Lines{"Ricevi(2) 2", "Leggi(2) 2"} + intake2 + intake2 +
                       Lines{"Trasmetti(1) 0", "Trasmetti(2) 2", "Consolida"}));

    // With the customer switch other than 0 a register's intake ends at the articles.
    ctx_->settings.bbb = "1";
    calls_.clear();
    const auto before = log_messages().size();
    one_cycle(cycle);
    const auto log = log_messages();
    EXPECT_EQ(Lines(log.begin() + static_cast<long>(before), log.end()), (Lines{kStart, ok(1), ok(2)}));
    EXPECT_EQ(calls_, (Lines{"Invia(1) 2", "Ricevi(1) 2", "Leggi(1) 2", "Aggiorna(1) 2", "Aggiorna(1) 2",
                             "Ricevi(2) 2", "Leggi(2) 2", "Aggiorna(2) 2", "Aggiorna(2) 2", "Trasmetti(1) 0",
                             "Trasmetti(2) 2", "Consolida"}));

    // A register file another program keeps locked ends that register's steps at once:
    // every later one would wait on the same lock. The other registers go on.
    ctx_->settings.bbb = "0";
    steps.Aggiorna_Clienti = [this](Context&, int n) {
        calls_.push_back("Clienti(" + std::to_string(n) + ")");
        if (n == 1) throw data::DbError("database is locked", SQLITE_BUSY);
    };
    ProcessingCycle locked(*ctx_, steps);
    calls_.clear();
    one_cycle(locked);
    EXPECT_TRUE(in_order(calls_, {"Aggiorna(1) 2", "Clienti(1)", "Ricevi(2) 2", "Scontrini(2) 2"}))
        << ::testing::PrintToString(calls_);
    EXPECT_EQ(std::count(calls_.begin(), calls_.end(), "Fatture(1) 2"), 0);
    EXPECT_EQ(flag(1), "0") << "the semaphore is released";

    // A step that failed on a file (a full disk) is one line in the register's turn: the
    // turn's second intake passes it by and runs the others.
    steps.Aggiorna_Clienti = record("Clienti", nullptr);
    steps.Recupero_Fatture = [this](Context&, int n) {
        calls_.push_back("Fatture(" + std::to_string(n) + ")");
        if (n == 1) throw data::DbError("COMMIT failed: database or disk is full", SQLITE_FULL);
    };
    ProcessingCycle full(*ctx_, steps);
    calls_.clear();
    const auto before_full = log_messages().size();
    one_cycle(full);
    const auto full_log = log_messages();
    EXPECT_EQ(Lines(full_log.begin() + static_cast<long>(before_full), full_log.end()),
              (Lines{kStart, ok(1), ok(2), "-  Recupero fatture cassa Nr. 1: COMMIT failed: database or disk is full"}));
    EXPECT_EQ(std::count(calls_.begin(), calls_.end(), "Fatture(1)"), 1);
    EXPECT_EQ(std::count(calls_.begin(), calls_.end(), "Scontrini(1) 2"), 2) << "a later step was passed by";
    EXPECT_EQ(std::count(calls_.begin(), calls_.end(), "Fatture(2)"), 2);
}

TEST_F(CycleTest, TheCloseFollowsOnlyAnImportThatBroughtEveryLineIn) {
    registers(1);
    ready();
    ctx_->settings.bbb = "0";
    struct Case {
        const char* name;
        bool fails;
        bool cut_short;
        Lines calls;  // of register 1, once per intake run
        Lines log;    // after the start and the register's check
    };
    const std::string failed = "-  Travaso scontrini cassa Nr. 1: movimenti cannot be read";
    const std::string later = "-  Chiusura della cassa rinviata: righe ancora da importare.";
    const Case cases[] = {
        {"all lines in: the close runs for the import's day", false, false, {"Scontrini", "Chiusura 45000"}, {}},
        {"share used up: the close waits, and says so", false, true, {"Scontrini"}, {later}},
        {"import failed: no close", true, false, {"Scontrini"}, {failed}},
    };
    for (const auto& c : cases) {
        auto steps = recorders();
        steps.Aggiorna_Articoli = nullptr;
        steps.Travaso_Scontrini = [this, &c](Context&, int) {
            calls_.push_back("Scontrini");
            if (c.fails) throw data::DbError("movimenti cannot be read");
            sales::ImportFigures figures;
            figures.cut_short = c.cut_short;
            figures.day = 45000;
            return figures;
        };
        steps.Controllo_Chiusura = [this](Context&, int, long day) {
            calls_.push_back("Chiusura " + std::to_string(day));
        };
        ProcessingCycle cycle(*ctx_, steps);
        const auto before = log_messages().size();
        calls_.clear();
        one_cycle(cycle);
        Lines expected_calls = {"Invia(1) 2", "Ricevi(1) 2", "Leggi(1) 2"};
        Lines expected_log = {kStart, ok(1)};
        for (int run = 0; run < 2; ++run) {
            expected_calls = expected_calls + c.calls;
            expected_log = expected_log + c.log;
        }
        EXPECT_EQ(calls_, (expected_calls + Lines{"Trasmetti(1) 0", "Consolida"})) << c.name;
        const auto log = log_messages();
        EXPECT_EQ(Lines(log.begin() + static_cast<long>(before), log.end()), expected_log) << c.name;
    }
}

TEST_F(CycleTest, WithNoRegistersACycleStillSendsCardsToRegisterOneAndClosesTheCustomers) {
    ready();
    ASSERT_EQ(ctx_->settings.Numero_Casse, 0);
    ProcessingCycle cycle(*ctx_, recorders());
    one_cycle(cycle);
    EXPECT_EQ(log_messages(), Lines{kStart});
    EXPECT_EQ(calls_, (Lines{"Trasmetti(1) -", "Consolida"}));
    EXPECT_EQ(pinger_.calls(), 0);
}

TEST_F(CycleTest, StartUpStoppedBeforeTheMainDatabaseWasNamed) {
    fs::remove(local("C:\\vurk\\tarvi.mdb"));
    start(false);
    ASSERT_EQ(ctx_->Contatore_Cicli, 0);
    ProcessingCycle cycle(*ctx_, recorders());
    EXPECT_FALSE(cycle.tick());
    EXPECT_FALSE(cycle.tick());
    EXPECT_TRUE(cycle.tick()) << "the first cycle comes on the third tick";
    EXPECT_FALSE(cycle.tick());
    EXPECT_TRUE(cycle.tick());
    const std::string no_name = "-  ERRORE :NOME DB NON ESISTE....";
    EXPECT_EQ(log_messages(), (Lines{"- Avvio programma", kStart, no_name, kStart, no_name}));
    EXPECT_TRUE(calls_.empty());
    EXPECT_FALSE(cycle.last_report().database_named);
}

TEST_F(CycleTest, StartUpStoppedAtTheMainDatabaseCheckRunsCyclesWithoutRegisters) {
    registers(2);
    fs::remove(local("C:\\tarvi\\dati.mdb"));
    start(false);
    ProcessingCycle cycle(*ctx_, recorders());
    EXPECT_FALSE(cycle.tick());
    EXPECT_FALSE(cycle.tick());
    EXPECT_TRUE(cycle.tick());
    EXPECT_EQ(calls_, (Lines{"Trasmetti(1) 0", "Consolida"}));
    const auto lines = log_messages();
    EXPECT_EQ(Lines(lines.end() - 2, lines.end()), (Lines{"-  ERRORE : DB NON ESISTE ", kStart}));
    EXPECT_EQ(pinger_.calls(), 0);
}

// Worker-level cases run a second context on the same shop files, with a pinger or
// steps of their own.
class WorkerTest : public CycleTest {
protected:
    std::unique_ptr<Context> twin(platform::Pinger& pinger) {
        auto ctx = std::make_unique<Context>(paths_, clock_, pinger, starter_);
        ctx->settings = ctx_->settings;
        ctx->Percorsi_Casse = ctx_->Percorsi_Casse;
        ctx->Contatore_Cicli = 1;
        EXPECT_TRUE(ctx->log.open(local(std::string(core::kLogFolder) + core::log_file_name(clock_.now()))));
        ctx->databases.open_central(ctx->settings.Percorso_Dati, ctx->settings.Percorso_Vendite, core::kLoyaltyPath);
        return ctx;
    }
    std::string log_text() {
        std::ifstream in(local(std::string(core::kLogFolder) + core::log_file_name(clock_.now())), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
};

TEST_F(WorkerTest, RunsTheAskedCyclesWithTheStandardSteps) {
    registers(3);
    pinger_.set_up("127.0.0.3", false);
    ready();
    WorkerOptions options;
    options.tick = std::chrono::milliseconds(1);
    options.cycles = 0;
    Lines summaries;
    options.on_cycle = [&summaries](const std::string& line) { summaries.push_back(line); };
    run_worker(*ctx_, options);
    EXPECT_TRUE(log_messages().empty()) << "no cycle, no tick";
    EXPECT_EQ(ctx_->Contatore_Cicli, 1);

    options.cycles = 2;
    run_worker(*ctx_, options);
    ASSERT_EQ(summaries.size(), 2u);
    EXPECT_EQ(summaries[0].rfind("ciclo 1: casse collegate 2/3, durata ", 0), 0u) << summaries[0];
    EXPECT_EQ(summaries[1].rfind("ciclo 2: casse collegate 2/3, durata ", 0), 0u) << summaries[1];
    EXPECT_EQ(ctx_->board.snapshot().last_cycle, summaries[1]);
    EXPECT_EQ(summaries[1].find("trattenut"), std::string::npos) << summaries[1];

    const auto lines = log_messages();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), kStart), 2);
    EXPECT_TRUE(in_order(lines, {kStart, ok(1), ok(2), down(3), kStart, ok(1), ok(2), down(3)}));
    for (int n = 1; n <= 3; ++n) EXPECT_EQ(flag(n), "0") << n;

    // A line held at register 2 is counted by its import and named in the cycle's line.
    register_db(2).execute("INSERT INTO movimenti (bflag3, aggiornogiacenza, bdator, bora, bnumer, quantita)"
                           " VALUES ('S', 'N', 46363, 0.5, 1, 'tanti')");
    options.cycles = 1;
    run_worker(*ctx_, options);
    ASSERT_EQ(summaries.size(), 3u);
    EXPECT_NE(summaries[2].find(", 1 riga trattenuta"), std::string::npos) << summaries[2];
}

TEST_F(WorkerTest, AStopDuringAStepLetsItFinishAndReleasesTheSemaphore) {
    registers(3);
    ready();
    WorkerOptions options;
    options.tick = std::chrono::milliseconds(1);
    options.steps = recorders();
    auto record_ricevi = options.steps.Ricevi_Totali_Tessere;
    options.steps.Ricevi_Totali_Tessere = [record_ricevi](Context& ctx, int n) {
        if (n == 2) ctx.stop_requested.store(true);
        record_ricevi(ctx, n);  // the step goes on to its end
    };
    int cycles = 0;
    options.on_cycle = [&cycles](const std::string&) { ++cycles; };
    run_worker(*ctx_, options);  // no cycle limit: only the stop ends it

    EXPECT_EQ(cycles, 1);
    EXPECT_EQ(calls_, (Lines{"Invia(1) 2", "Ricevi(1) 2", "Leggi(1) 2", "Aggiorna(1) 2", "Aggiorna(1) 2", "Ricevi(2) 2"}));
    for (int n = 1; n <= 3; ++n) EXPECT_EQ(flag(n), "0") << n;
    EXPECT_EQ(log_messages(), (Lines{kStart, ok(1), ok(2), ok(3)}));
    const std::string text = log_text();
    EXPECT_EQ(text.substr(text.size() - 2), "\r\n");
}

// Asks for a stop when register 1 is pinged for the third time: the status pass and the
// transfer pass ping it once each, so the third comes from inside its first step.
class StopOnThirdEcho : public platform::Pinger {
public:
    std::uint32_t echo(std::uint32_t address) override {
        if (address == testing::address_of("127.0.0.1") && ++register_one_ == 3 && stop) stop->store(true);
        return (address & 0xFF) == 127 ? platform::kEchoSuccess : platform::kEchoFailed;
    }
    std::atomic<bool>* stop = nullptr;  // the context's flag, once the context exists

private:
    int register_one_ = 0;
};

TEST_F(WorkerTest, AStopAskedByTheOutsideWorldMidCycleLeavesEverySemaphoreFree) {
    registers(3);
    ready();
    StopOnThirdEcho echo;
    auto ctx = twin(echo);
    echo.stop = &ctx->stop_requested;

    WorkerOptions options;
    options.tick = std::chrono::milliseconds(1);
    options.cycles = 3;  // a bound in case the stop never came
    run_worker(*ctx, options);
    ctx->databases.close_all();
    ctx->log.close();

    EXPECT_TRUE(ctx->stop_requested.load()) << "register 1 was not pinged from inside its steps";
    const auto lines = log_messages();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), kStart), 1);
    EXPECT_TRUE(in_order(lines, {kStart, ok(1), ok(2), ok(3)}));
    for (int n = 1; n <= 3; ++n) EXPECT_EQ(flag(n), "0") << n;
    const std::string text = log_text();
    EXPECT_EQ(text.substr(text.size() - 2), "\r\n");
}

}  // namespace
}  // namespace cassasync::frame
