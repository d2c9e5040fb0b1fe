// The health model through the real cycle on real files (a register that does not
// answer, a semaphore kept by the register's own software, waiting and held lines, a
// day imported and registered, an earlier day left waiting), and the alerts read from
// it: started, repeated at most hourly, cleared, each with its log line, journal message
// and alert command.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "frame/alerts.h"
#include "frame/cycle.h"
#include "frame/health.h"
#include "sales/sale_registration.h"
#include "support/shop_fixture.h"

namespace cassasync::frame {
namespace {

using data::Value;

const double kToday = static_cast<double>(platform::day_serial(2026, 12, 7));

struct Journalled {
    platform::JournalPriority priority;
    std::string message;
    std::map<std::string, std::string> fields;
};

class HealthTest : public testing::ShopTest {
protected:
    void SetUp() override {
        for (int n = 1; n <= 4; ++n) add_register(n, n != 3);
        ready();
    }
    // A receipt line at register n, rung up at `time` (fraction of the day).
    void line(int n, double day, double time, std::int64_t receipt, const std::string& quantity, double total) {
        register_db(n).execute(
            "INSERT INTO movimenti (bflag3, aggiornogiacenza, bdator, bora, bnumer, eanrig, descrizione, quantita,"
            " prezzo, totrig, codrep, tiporecord, numcassa) VALUES ('S', 'N', ?, ?, ?, '2000000000017', 'VARIE', ?, ?, ?,"
            " 1, 1, ?)",
            {Value(day), Value(time), Value(receipt), data::text(quantity), Value(total), Value(total),
             Value(std::int64_t{n})});
    }
    const RegisterHealth& reg(const HealthSnapshot& s, int n) {
        const auto it = std::find_if(s.registers.begin(), s.registers.end(),
                                     [n](const RegisterHealth& r) { return r.number == n; });
        EXPECT_NE(it, s.registers.end()) << "register " << n;
        return *it;
    }
    std::int64_t now() const { return clock_seconds(clock_.now()); }
    // Register n asks to close its day: the file its software leaves on its own machine.
    void close_request(int n) {
        const auto flag = local("\\\\127.0.0." + std::to_string(n) + "\\cash\\cisonodati.txt");
        std::filesystem::create_directories(flag.parent_path());
        std::ofstream(flag) << "1";
    }
    // Messages of the log that start with `prefix`.
    std::vector<std::string> logged(const std::string& prefix) const {
        std::vector<std::string> out;
        for (const auto& m : log_messages()) {
            if (m.find(prefix) != std::string::npos) out.push_back(m);
        }
        return out;
    }
    std::vector<Journalled> journal_;
    Alerts::JournalSink sink() {
        return [this](platform::JournalPriority p, const std::string& m, const std::map<std::string, std::string>& f) {
            journal_.push_back({p, m, f});
        };
    }
};

TEST_F(HealthTest, TheCycleFillsEachRegistersHealthAndTheAlertsFollowIt) {
    // Register 1: two receipts of today and one of yesterday, imported by the cycle.
    line(1, kToday, 0.40, 7, "1", 5.5);
    line(1, kToday, 0.41, 7, "2", 4.0);
    line(1, kToday, 0.42, 8, "1", 1.25);
    line(1, kToday - 1, 0.70, 3, "1", 9.0);
    // Register 2: a line that cannot be taken is held with its cause.
    line(2, kToday, 0.40, 1, "tanti", 1.0);
    // Register 4: kept by its own software since before the cycle; its lines wait, the
    // oldest rung up an hour before the clock's 10:00.
    register_db(4).execute("UPDATE Semafori SET Flag1 = 1");
    line(4, kToday, 9.0 / 24, 1, "1", 2.0);
    line(4, kToday, 9.5 / 24, 2, "1", 2.0);

    ProcessingCycle cycle(*ctx_);
    const std::int64_t first = now();
    cycle.Elabora_Casse();
    clock_.advance_seconds(10);
    cycle.Elabora_Casse();
    auto s = ctx_->health.snapshot();

    EXPECT_EQ(s.service.last_cycle, 2);
    EXPECT_FALSE(s.service.last_cycle_failed);
    EXPECT_EQ(s.service.cycles_failed, 0);
    EXPECT_EQ(s.service.last_cycle_end, now());
    ASSERT_TRUE(s.service.disk_free_bytes.has_value());
    EXPECT_GT(*s.service.disk_free_bytes, 0u);
    ASSERT_EQ(s.registers.size(), 4u);

    const auto& r1 = reg(s, 1);
    EXPECT_EQ(r1.state, RegisterState::ok);
    EXPECT_TRUE(r1.reached);
    EXPECT_EQ(r1.reached_since, first);
    EXPECT_EQ(r1.last_complete_cycle, 2);
    EXPECT_EQ(r1.lines_waiting, 0) << "all taken";
    EXPECT_EQ(r1.lines_today, 3);
    EXPECT_EQ(r1.receipts_today, 2);
    EXPECT_DOUBLE_EQ(r1.takings_today, 10.75);
    ASSERT_TRUE(r1.document_today.has_value());
    EXPECT_FALSE(r1.document_today_registered);
    EXPECT_EQ(r1.earlier_documents_waiting, 1) << "yesterday's document";
    EXPECT_EQ(r1.semaphore, SemaphoreState::free);

    const auto& r2 = reg(s, 2);
    EXPECT_EQ(r2.state, RegisterState::held);
    EXPECT_EQ(r2.held, 1);
    ASSERT_EQ(r2.held_rows.size(), 1u);
    EXPECT_EQ(r2.held_rows[0].step, "scontrini");
    EXPECT_FALSE(r2.held_rows[0].cause.empty());
    EXPECT_EQ(r2.held_rows[0].tries,
              data::to_int(main_db().scalar("SELECT tentativi FROM righe_trattenute WHERE cassa = 2")));
    EXPECT_GE(r2.held_rows[0].tries, 2);
    EXPECT_EQ(r2.lines_waiting, 1) << "a held line still waits at the register";

    const auto& r3 = reg(s, 3);
    EXPECT_EQ(r3.state, RegisterState::unreached);
    EXPECT_FALSE(r3.reached);
    EXPECT_EQ(r3.reached_since, first);
    EXPECT_EQ(r3.last_reached, 0);
    EXPECT_FALSE(r3.lines_waiting.has_value()) << "not counted where the register cannot be reached";

    const auto& r4 = reg(s, 4);
    EXPECT_EQ(r4.state, RegisterState::busy);
    EXPECT_EQ(r4.semaphore, SemaphoreState::register_software);
    EXPECT_EQ(r4.semaphore_register_since, first);
    EXPECT_EQ(r4.lines_waiting, 2);
    EXPECT_EQ(r4.oldest_waiting_age_s, 3600 + 10);
    EXPECT_EQ(r4.last_complete_cycle, 0) << "its steps never ran";
    EXPECT_EQ(r4.lines_today, 0);

    // Alerts: register 3 unreached (15 minutes), register 4's semaphore (10 minutes),
    // register 2's held row and register 1's earlier day.
    AlertOptions options;
    options.command = "mail-the-shop";
    Alerts alerts(*ctx_, options, sink());
    alerts.evaluate(s);
    EXPECT_EQ(starter_.started_with.size(), 2u) << "held rows and the earlier day at once";
    EXPECT_TRUE(logged("ALLARME: Cassa 3").empty()) << "unreached for seconds only";

    clock_.advance_seconds(16 * 60);
    cycle.Elabora_Casse();
    s = ctx_->health.snapshot();
    alerts.evaluate(s);
    EXPECT_EQ(logged("ALLARME: Cassa 3: non collegata da 16 minuti").size(), 1u);
    EXPECT_EQ(logged("ALLARME: Cassa 4: semaforo tenuto dalla cassa da 16 minuti").size(), 1u);
    EXPECT_EQ(logged("ALLARME: Cassa 2: 1 riga trattenuta").size(), 1u) << "not again within the hour";
    EXPECT_EQ(logged("ALLARME: Cassa 1: 1 documenti di giorni precedenti da registrare").size(), 1u);
    EXPECT_EQ(ctx_->health.snapshot().service.alert, "Cassa 3: non collegata da 16 minuti")
        << "the most serious in force";
    ASSERT_EQ(starter_.started_with.size(), 4u);
    const std::vector<std::string> unreached = {"/bin/sh", "-c", "mail-the-shop", "cassasync-alert", "started",
                                                "error", "unreached:3", "Cassa 3: non collegata da 16 minuti"};
    EXPECT_TRUE(std::find(starter_.started_with.begin(), starter_.started_with.end(), unreached) !=
                starter_.started_with.end());
    const auto& env = starter_.environments.back();
    EXPECT_EQ(env.count("CASSASYNC_ALERT_KEY"), 1u);
    EXPECT_EQ(env.count("CASSASYNC_ALERT_TEXT"), 1u);
    const auto errors = std::count_if(journal_.begin(), journal_.end(), [](const Journalled& j) {
        return j.priority == platform::JournalPriority::error;
    });
    EXPECT_EQ(errors, 1) << "the unreached register; the rest are warnings";
    EXPECT_EQ(journal_.size(), 4u);

    // Register 3 answers again, register 1's day is registered, register 4 lets go:
    // those clear; the held row is told again once the hour is over.
    pinger_.set_up("127.0.0.3", true);
    register_db(4).execute("UPDATE Semafori SET Flag1 = 0");
    sales::Registra_Vendita(ctx_->databases.central(), ctx_->log, 2026, 1, static_cast<long>(kToday) - 1);
    sales::Registra_Vendita(ctx_->databases.central(), ctx_->log, 2026, 1, static_cast<long>(kToday));
    clock_.advance_seconds(40 * 60);
    cycle.Elabora_Casse();
    s = ctx_->health.snapshot();
    EXPECT_EQ(reg(s, 3).state, RegisterState::ok);
    EXPECT_EQ(reg(s, 3).reached_since, now());
    EXPECT_TRUE(reg(s, 1).document_today_registered);
    EXPECT_EQ(reg(s, 1).earlier_documents_waiting, 0);
    EXPECT_EQ(reg(s, 4).semaphore_register_since, 0);
    EXPECT_EQ(reg(s, 4).lines_waiting, 0) << "taken once the register let go";
    alerts.evaluate(s);
    EXPECT_EQ(logged("ALLARME RIENTRATO: Cassa 3").size(), 1u);
    EXPECT_EQ(logged("ALLARME RIENTRATO: Cassa 4").size(), 1u);
    EXPECT_EQ(logged("ALLARME RIENTRATO: Cassa 1").size(), 1u);
    EXPECT_EQ(logged("ALLARME: Cassa 2: 1 riga trattenuta").size(), 1u) << "56 minutes: not yet an hour since";
    EXPECT_EQ(starter_.started_with.back()[4], "cleared");
    EXPECT_EQ(ctx_->health.snapshot().service.alert, "Cassa 2: 1 riga trattenuta");

    clock_.advance_seconds(5 * 60);
    cycle.Elabora_Casse();
    alerts.evaluate(ctx_->health.snapshot());
    EXPECT_EQ(logged("ALLARME: Cassa 2: 1 riga trattenuta").size(), 2u) << "told again after the hour";
    EXPECT_EQ(starter_.started_with.back()[4], "repeated");
}

TEST_F(HealthTest, ACycleWithAnErrorOutsideTheRegistersFailsAndTheDiskAlertFollowsTheLimits) {
    CycleSteps steps = CycleSteps::standard();
    steps.Consolida_Stato_Clienti = [](Context&) { throw data::DbError("disk I/O error"); };
    ProcessingCycle cycle(*ctx_, steps);
    cycle.Elabora_Casse();
    cycle.Elabora_Casse();
    auto s = ctx_->health.snapshot();
    EXPECT_TRUE(s.service.last_cycle_failed);
    EXPECT_EQ(s.service.cycles_failed, 2);
    EXPECT_EQ(reg(s, 1).state, RegisterState::ok) << "its own steps completed";
    ProcessingCycle(*ctx_).Elabora_Casse();
    EXPECT_FALSE(ctx_->health.snapshot().service.last_cycle_failed);
    EXPECT_EQ(ctx_->health.snapshot().service.cycles_failed, 2);
    AlertOptions options;
    auto in_force = alerts_in_force(s, now(), options);
    ASSERT_FALSE(in_force.empty());
    EXPECT_EQ(in_force.front().key, "cycles");
    EXPECT_EQ(in_force.front().level, AlertLevel::error);

    // The disk: under 500 MB or under 5% free, whichever bites first.
    struct Case {
        std::uint64_t free, total;
        bool alert;
    };
    const std::uint64_t mb = 1024 * 1024;
    for (const Case c : {Case{499 * mb, 4000 * mb, true}, Case{600 * mb, 4000 * mb, false},
                         Case{600 * mb, 20000 * mb, true}, Case{2000 * mb, 20000 * mb, false}}) {
        s.service.last_cycle_failed = false;
        s.service.disk_free_bytes = c.free;
        s.service.disk_total_bytes = c.total;
        in_force = alerts_in_force(s, now(), options);
        const bool disk = std::any_of(in_force.begin(), in_force.end(), [](const Alert& a) { return a.key == "disk"; });
        EXPECT_EQ(disk, c.alert) << c.free / mb << " MB free of " << c.total / mb;
    }
}

TEST_F(HealthTest, ADayThatDoesNotAgreeAndAFailedBackupAreAlertsUntilMended) {
    line(1, kToday, 0.40, 7, "1", 5.5);
    line(1, kToday, 0.41, 8, "2", 4.0);
    ProcessingCycle cycle(*ctx_);
    cycle.Elabora_Casse();
    // A sales row deleted by hand; the copies asked for below a plain file, where nobody
    // can create a folder.
    sales_db().execute("DELETE FROM venmo WHERE bns = (SELECT max(bns) FROM venmo)");
    const auto blocker = root_.path() / "not-a-folder";
    std::ofstream(blocker) << "x";
    ctx_->backups.folder = blocker / "copie";
    close_request(1);
    clock_.advance_seconds(10);
    cycle.Elabora_Casse();
    auto s = ctx_->health.snapshot();
    EXPECT_EQ(reg(s, 1).day_checked, static_cast<long>(kToday));
    EXPECT_EQ(reg(s, 1).day_differences, 1);
    EXPECT_EQ(reg(s, 2).day_checked, 0) << "no close asked there";
    EXPECT_EQ(s.service.backup_failure.rfind("cannot create " + (blocker / "copie").string(), 0), 0u)
        << s.service.backup_failure;

    Alerts alerts(*ctx_, AlertOptions{}, sink());
    alerts.evaluate(s);
    EXPECT_EQ(logged("ALLARME: copia di sicurezza non riuscita: cannot create").size(), 1u);
    EXPECT_EQ(logged("ALLARME: Cassa 1: la giornata del 07/12/2026 non torna: 1 differenza").size(), 1u);
    const auto errors = std::count_if(journal_.begin(), journal_.end(), [](const Journalled& j) {
        return j.priority == platform::JournalPriority::error;
    });
    EXPECT_EQ(errors, 2) << "both are errors";

    // Mended: the next day the copy goes where it can, and the register's next close agrees.
    ctx_->backups.folder.clear();
    clock_.advance_seconds(86400);
    line(1, kToday + 1, 0.40, 1, "1", 3.0);
    cycle.Elabora_Casse();
    close_request(1);
    cycle.Elabora_Casse();
    s = ctx_->health.snapshot();
    EXPECT_EQ(reg(s, 1).day_checked, static_cast<long>(kToday) + 1);
    EXPECT_EQ(reg(s, 1).day_differences, 0);
    EXPECT_EQ(s.service.backup_failure, "");
    alerts.evaluate(s);
    EXPECT_EQ(logged("ALLARME RIENTRATO: copia di sicurezza non riuscita").size(), 1u);
    EXPECT_EQ(logged("ALLARME RIENTRATO: Cassa 1: la giornata del 07/12/2026").size(), 1u);
}

}  // namespace
}  // namespace cassasync::frame
