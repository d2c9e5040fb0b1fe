#include "frame/health_recorder.h"

#include <filesystem>
#include <string>

#include "data/held_rows.h"
#include "registers/register_directory.h"

namespace cassasync::frame {

namespace {

// Waiting lines, as the receipt import selects them, over the register's own index
// (bflag3, aggiornogiacenza, bdator, bora): the count and the oldest in one seek each.
constexpr const char* kWaitingCount =
    "select count(*) from movimenti where bflag3 = ? and aggiornogiacenza = ?";
constexpr const char* kOldestWaiting =
    "select bdator + coalesce(bora, 0) from movimenti where bflag3 = ? and aggiornogiacenza = ? "
    "order by bdator, bora limit 1";
constexpr const char* kLineTaken = "S";
constexpr const char* kLineWaiting = "N";
constexpr const char* kSemaphore = "select Flag1 from Semafori limit 1";

// Today's document of a register and its lines, through the documents' key index.
constexpr const char* kTodayDocument =
    "select numero, coalesce(regis, '') from vendite.vente where anno = ? and agente = ? and dataor >= ? "
    "and dataor < ? order by numero desc limit 1";
constexpr const char* kTodayLines =
    "select count(*), count(distinct m.numsco), coalesce(sum(m.totrig), 0) from vendite.vente v "
    "join vendite.venmo m on m.bannoc = v.anno and m.bnumer = v.numero "
    "where v.anno = ? and v.agente = ? and v.dataor >= ? and v.dataor < ?";
constexpr const char* kEarlierWaiting =
    "select count(*) from vendite.vente where agente = ? and dataor < ? and coalesce(regis, '') <> ?";
constexpr const char* kRegistered = "R";
constexpr const char* kCardsWaiting = "select count(*) from cartetx where cassa = ?";

// Seconds of a day serial with the time as fraction, on the same scale as clock_seconds.
constexpr std::int64_t kSerialOfEpoch = 25569;  // 1 January 1970
std::int64_t seconds_of_serial(double serial) {
    return static_cast<std::int64_t>((serial - kSerialOfEpoch) * 86400.0 + 0.5);
}

// The health reads at a register never wait for a lock: a register file another program
// keeps locked is left uncounted this cycle, and the cycle's own steps report the lock.
class NoWait {
public:
    explicit NoWait(data::Database& db) : db_(db) { db_.set_busy_timeout(0); }
    ~NoWait() { db_.set_busy_timeout(data::kRegisterBusyTimeoutMs); }
    NoWait(const NoWait&) = delete;
    NoWait& operator=(const NoWait&) = delete;

private:
    data::Database& db_;
};

}  // namespace

void HealthRecorder::cycle_started() {
    ++cycle_;
    ran_ = {};
    failed_ = {};
    errors_ = false;
    started_ = std::chrono::steady_clock::now();
}

void HealthRecorder::checked(int n, bool answered) {
    auto& r = regs_.at(static_cast<std::size_t>(n));
    const std::int64_t now = clock_seconds(ctx_.clock.now());
    r.number = n;
    if (answered != r.reached || r.reached_since == 0) r.reached_since = now;
    r.reached = answered;
    if (!answered) return;
    r.last_reached = now;
}

void HealthRecorder::read_register(RegisterHealth& r) {
    const auto i = static_cast<std::size_t>(r.number);
    const std::int64_t now = clock_seconds(ctx_.clock.now());
    try {
        data::Database& sem = ctx_.databases.open(ctx_.Percorsi_Casse[i], data::FileRole::register_share);
        const NoWait no_wait(sem);
        const data::Value flag = sem.scalar(kSemaphore);
        SemaphoreState state = SemaphoreState::free;
        if (!data::is_null(flag)) {
            const auto v = data::to_int_or(flag, 1);
            state = v == 0 ? SemaphoreState::free : v == 2 ? SemaphoreState::service : SemaphoreState::register_software;
        }
        if (state == SemaphoreState::register_software && r.semaphore != state) r.semaphore_register_since = now;
        if (state != SemaphoreState::register_software) r.semaphore_register_since = 0;
        r.semaphore = state;
    } catch (const std::exception&) {
        // Counted as unknown; the register's steps report the failure themselves.
        r.semaphore = SemaphoreState::unknown;
    }
    try {
        const std::string path = registers::Percorso_Cassa_Int(ctx_.databases, ctx_.settings, r.number);
        data::Database& reg = ctx_.databases.open(path, data::FileRole::register_share);
        const NoWait no_wait(reg);
        const std::vector<data::Value> waiting = {data::text(kLineTaken), data::text(kLineWaiting)};
        r.lines_waiting = data::to_int_or(reg.scalar(kWaitingCount, waiting), 0);
        const data::Value oldest = reg.scalar(kOldestWaiting, waiting);
        r.oldest_waiting_age_s = data::is_null(oldest) ? 0 : std::max<std::int64_t>(0, now - seconds_of_serial(data::to_double_or(oldest, 0)));
    } catch (const std::exception&) {
        r.lines_waiting.reset();
        r.oldest_waiting_age_s = 0;
    }
}

void HealthRecorder::steps_ran(int n) { ran_.at(static_cast<std::size_t>(n)) = true; }
void HealthRecorder::step_failed(int n) { failed_.at(static_cast<std::size_t>(n)) = true; }
void HealthRecorder::cycle_error() { errors_ = true; }

void HealthRecorder::read_central(RegisterHealth& r, long today) {
    data::Database& central = ctx_.databases.central();
    const platform::LocalTime now = ctx_.clock.now();
    const std::int64_t n = r.number;
    try {
        const auto held = data::HeldRows(central).list(r.number);
        r.held = static_cast<std::int64_t>(held.size());
        r.held_rows.clear();
        for (const auto& h : held) r.held_rows.push_back({h.passo, h.chiave, h.causa, h.tentativi});
    } catch (const std::exception&) {
    }
    try {
        r.cards_waiting = data::to_int_or(central.scalar(kCardsWaiting, {data::integer(n)}), 0);
    } catch (const std::exception&) {
    }
    try {
        if (!ctx_.databases.attach_if_present(data::kSalesSchema, ctx_.settings.Percorso_Vendite)) return;
        const std::vector<data::Value> day = {data::integer(now.year), data::integer(n), data::integer(today),
                                              data::integer(today + 1)};
        auto& doc = central.prepare(kTodayDocument, day);
        if (doc.step()) {
            r.document_today = data::to_int_or(doc.column(0), 0);
            r.document_today_registered = data::to_text(doc.column(1)) == kRegistered;
        } else {
            r.document_today.reset();
            r.document_today_registered = false;
        }
        doc.reset();
        auto& lines = central.prepare(kTodayLines, day);
        if (lines.step()) {
            r.lines_today = data::to_int_or(lines.column(0), 0);
            r.receipts_today = data::to_int_or(lines.column(1), 0);
            r.takings_today = data::to_double_or(lines.column(2), 0);
        }
        lines.reset();
        r.earlier_documents_waiting = data::to_int_or(
            central.scalar(kEarlierWaiting, {data::integer(n), data::integer(today), data::text(kRegistered)}), 0);
    } catch (const std::exception&) {
    }
}

void HealthRecorder::read_disk(ServiceHealth& s) const {
    std::error_code ec;
    const auto space = std::filesystem::space(ctx_.paths.to_local("C:\\"), ec);
    if (ec) return;
    s.disk_free_bytes = space.available;
    s.disk_total_bytes = space.capacity;
}

void HealthRecorder::cycle_finished(bool database_named) {
    const platform::LocalTime now = ctx_.clock.now();
    const std::int64_t now_s = clock_seconds(now);
    const long today = platform::day_serial(now.year, now.month, now.day);
    HealthSnapshot s;
    s.service.last_cycle = cycle_;
    s.service.last_cycle_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  std::chrono::steady_clock::now() - started_).count();
    s.service.last_cycle_end = now_s;
    s.service.last_cycle_failed = errors_;
    read_disk(s.service);
    s.service.backup_failure = ctx_.backup_failure;
    const int served = ctx_.served_registers();
    for (int n = 1; n <= served; ++n) {
        auto& r = regs_.at(static_cast<std::size_t>(n));
        r.number = n;
        const auto i = static_cast<std::size_t>(n);
        r.failed_last_cycle = failed_[i];
        r.day_checked = ctx_.day_checks.at(i).day;
        r.day_differences = ctx_.day_checks.at(i).differences;
        // Counted after the register's steps, and only where they met no error: a file
        // another program keeps locked is not opened again just to count.
        if (r.reached && !failed_[i]) read_register(r);
        if (r.reached && ran_[i] && !failed_[i]) {
            r.last_complete_cycle = cycle_;
            r.last_complete_at = now_s;
        }
        if (database_named && ctx_.databases.has_central()) read_central(r, today);
        r.state = state_of(r);
        s.registers.push_back(r);
    }
    ctx_.health.publish(std::move(s));
}

}  // namespace cassasync::frame
