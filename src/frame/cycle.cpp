#include "frame/cycle.h"

#include <algorithm>
#include <thread>

#include "frame/backups.h"
#include "registers/reachability.h"
#include "registers/register_directory.h"
#include "registers/semaphores.h"

namespace cassasync::frame {

namespace {

constexpr const char* kInizioElaborazione = "- Inizio elaborazione ";
constexpr const char* kNomeDbNonEsiste = "ERRORE :NOME DB NON ESISTE....";
constexpr const char* kControlloCassa = "Controllo cassa Nr.";
constexpr const char* kCassaOk = " ...OK";
constexpr const char* kCassaNonCollegata = " ...NON COLLEGATA";
// A register database replaced since it was opened; it is opened afresh.
constexpr const char* kArchivioSostituito = "Archivio sostituito, riaperto: cassa Nr.";

// "Cassa N (path): " + this: a register's file locked by another program past the busy wait.
constexpr const char* kDatabaseBloccato = "database bloccato da un altro programma";

// Where the cycle's own error lines say a failure happened (a register step's lines
// name the step; see register_steps.h).
constexpr const char* kConsolidamento = "Consolidamento stato clienti";
constexpr const char* kCopiaDiSicurezza = "Copia di sicurezza";
constexpr const char* kSemaforo = "Semaforo";
constexpr const char* kNonRilasciato = "non rilasciato: ";

// Registers 1 to 3 are processed even while their own software holds the semaphore;
// from register 4 on a held register is skipped.
constexpr int kFirstTestedRegister = 4;
// Card records go to registers 1 to 5 only.
constexpr int kLastCardRegister = 5;
// How often a waiting worker looks at the stop flag.
constexpr std::chrono::milliseconds kStopPoll{20};

// Waits one tick interval; false when a stop was requested meanwhile.
bool wait_for_tick(const Context& ctx, std::chrono::milliseconds interval) {
    const auto until = std::chrono::steady_clock::now() + interval;
    while (!ctx.stop_requested.load()) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= until) return true;
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(until - now, kStopPoll));
    }
    return false;
}

}  // namespace

bool ProcessingCycle::tick() {
    if (ctx_.Contatore_Cicli < 2) {
        ++ctx_.Contatore_Cicli;
        return false;
    }
    ctx_.log.write(kInizioElaborazione);
    Elabora_Casse();
    ctx_.Contatore_Cicli = 1;
    return true;
}

void ProcessingCycle::Elabora_Casse() {
    report_ = {};
    locked_ = {};
    health_.cycle_started();  // health
    if (ctx_.settings.Percorso_Dati.empty()) {
        report_.database_named = false;
        ctx_.log.progress(kNomeDbNonEsiste);
        health_.cycle_finished(false);  // health
        return;
    }
    status_pass();
    transfer_pass();
    card_pass();
    // Holding nothing now: the moment a consistent copy of the files can be taken.
    try {
        back_up_if_due(ctx_, false);
    } catch (const std::exception& e) {
        // A copy that fails is logged by the backup itself; this is anything else it met.
        log_error(kCopiaDiSicurezza, e);
    }
    health_.cycle_finished(true);  // health
}

bool ProcessingCycle::stopping() const { return ctx_.stop_requested.load(); }

void ProcessingCycle::status_pass() {
    report_.served = ctx_.served_registers();
    for (int n = 1; n <= report_.served && !stopping(); ++n) {
        const auto i = static_cast<std::size_t>(n);
        ctx_.Casse_Elaborate[i] = false;
        const std::string prefix = kControlloCassa + std::to_string(n);
        const bool answered = registers::Verifica_Cassa(ctx_.pinger, ctx_.Percorsi_Casse[i]);
        health_.checked(n, answered);  // health
        if (answered) {
            ++report_.reachable;
            ctx_.board.set_lamp(n, core::kLampGreen);
            ctx_.log.progress(prefix + kCassaOk);
            // Only a register that answers: a share that does not could keep the check waiting.
            for (const auto& path : registers::forget_replaced_files(ctx_, n)) {
                ctx_.log.progress(kArchivioSostituito + std::to_string(n) + ": " + path);
            }
        } else {
            ctx_.board.set_lamp(n, core::kLampRed);
            ctx_.log.progress(prefix + kCassaNonCollegata);
        }
    }
}

void ProcessingCycle::transfer_pass() {
    for (int n = 1; n <= core::kMaxRegisters; ++n) {
        if (ctx_.served_registers() < n || stopping()) return;
        const auto i = static_cast<std::size_t>(n);
        if (locked_[i]) continue;
        // A register that stopped answering since the status pass is skipped quietly.
        if (!registers::Verifica_Cassa(ctx_.pinger, ctx_.Percorsi_Casse[i])) continue;
        under_semaphore(n, n >= kFirstTestedRegister, [this, n, i] {
            if (!ctx_.Casse_Elaborate[i] && !run_register_steps(ctx_, n, steps_)) health_.step_failed(n);  // health
        });
    }
}

void ProcessingCycle::card_pass() {
    const int served = ctx_.served_registers();
    for (int n = 1; n <= served; ++n) ctx_.Casse_Elaborate[static_cast<std::size_t>(n)] = false;
    if (stopping()) return;

    // Register 1 always, without a reachability test or a semaphore: the step checks
    // the register itself.
    if (!locked_[1]) {
        try {
            if (!run_card_send(ctx_, 1, steps_)) health_.step_failed(1);  // health
        } catch (const std::exception& e) {
            health_.step_failed(1);  // health
            if (!note_locked(1, e)) log_error(register_place(kStepTrasmissione, 1), e);
            registers::forget_register(ctx_, 1);
        }
    }

    for (int n = 2; n <= kLastCardRegister; ++n) {
        if (served < n || stopping()) break;
        const auto i = static_cast<std::size_t>(n);
        if (locked_[i]) continue;
        if (!registers::Verifica_Cassa(ctx_.pinger, ctx_.Percorsi_Casse[i])) continue;
        under_semaphore(n, true, [this, n, i] {
            if (!ctx_.Casse_Elaborate[i] && !run_card_send(ctx_, n, steps_)) health_.step_failed(n);  // health
        });
    }
    if (stopping()) return;

    try {
        steps_.Consolida_Stato_Clienti(ctx_);
    } catch (const std::exception& e) {
        log_error(kConsolidamento, e);
    }
}

void ProcessingCycle::under_semaphore(int n, bool test_first, const std::function<void()>& body) {
    bool taking = false;
    bool taken = false;
    bool said = false;  // a failure of this register was logged
    try {
        if (test_first && registers::Leggi_Semaforo(ctx_, n) != 0) return;
        if (stopping()) return;
        taking = true;
        registers::Prendi_Semaforo(ctx_, n);
        taken = true;
        registers::SemaphoreTurns turns(ctx_, n, turn_limits_);
        ctx_.turns = {.between_batches = [&turns] { return turns.between_batches(); },
                      .let_go = [&turns] { return turns.let_go(); },
                      .take_back = [&turns] { return turns.take_back(); },
                      .held_batch_time = turn_limits_.hold / 2};
        body();
        health_.steps_ran(n);  // health
        report_.longest_hold = std::max(report_.longest_hold, turns.longest_hold());
    } catch (const std::exception& e) {
        health_.step_failed(n);  // health
        const bool locked = note_locked(n, e);
        if (!locked) log_error(register_place(kSemaforo, n), e);
        said = true;
        // A take that met another program's lock changed nothing, and a release would
        // only wait for the same lock again.
        if (locked && !taken) taking = false;
        registers::forget_register(ctx_, n);
    }
    ctx_.turns = {};
    if (!taking) return;
    // Left at 2, the register's own software cannot write until the next cycle gives it
    // back: that is news unless the failure that ended the steps was said already.
    if (const std::string cause = registers::Rilascia_Semaforo(ctx_, n); !cause.empty() && !said) {
        log_error(register_place(kSemaforo, n), kNonRilasciato + cause);
    }
}

void ProcessingCycle::log_error(const std::string& where, const std::exception& e) { log_error(where, e.what()); }

void ProcessingCycle::log_error(const std::string& where, const std::string& cause) {
    health_.cycle_error();  // health
    ctx_.log.progress(where + ": " + cause);
}

bool ProcessingCycle::note_locked(int n, const std::exception& e) {
    if (!is_locked_elsewhere(e)) return false;
    const auto i = static_cast<std::size_t>(n);
    locked_[i] = true;
    ctx_.log.progress("Cassa " + std::to_string(n) + " (" + ctx_.Percorsi_Casse[i] + "): " + kDatabaseBloccato);
    return true;
}

namespace {
constexpr const char* kHeldOne = " riga trattenuta";
constexpr const char* kHeldMany = " righe trattenute";
}  // namespace

std::string cycle_summary(int number, const CycleReport& report, std::chrono::milliseconds duration, int held) {
    std::string line = "ciclo " + std::to_string(number) + ": ";
    if (!report.database_named) {
        line += "database principale non configurato";
    } else {
        line += "casse collegate " + std::to_string(report.reachable) + "/" + std::to_string(report.served);
    }
    line += ", durata " + std::to_string(duration.count()) + " ms";
    // Held rows wait for someone to mend them: the line people read says so.
    if (held > 0) line += ", " + std::to_string(held) + (held == 1 ? kHeldOne : kHeldMany);
    return line;
}

void run_worker(Context& ctx, const WorkerOptions& options) {
    if (options.cycles == 0) return;
    ProcessingCycle cycle(ctx, options.steps);
    int done = 0;
    while (wait_for_tick(ctx, options.tick)) {
        const auto started = std::chrono::steady_clock::now();
        try {
            if (!cycle.tick()) continue;
        } catch (const std::exception& e) {
            // The cycle handles its own errors; this only keeps the worker alive.
            ctx.log.progress(e.what());
            ctx.Contatore_Cicli = 1;
            ctx.health.note_failed_cycle();  // health
        }
        ++done;
        const auto elapsed =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
        int held = 0;
        for (const auto& r : ctx.board.snapshot().registers) held += r.held;
        const std::string line = cycle_summary(done, cycle.last_report(), elapsed, held);
        ctx.board.set_last_cycle(line);
        ctx.health.set_summary(line);  // health
        if (options.after_cycle) options.after_cycle(line);  // health: service manager, alerts
        if (options.on_cycle) {
            try {
                options.on_cycle(line);
            } catch (const std::exception&) {
                // A console that cannot be written to must not stop the service.
            }
        }
        if (options.cycles > 0 && done >= options.cycles) return;
    }
}

}  // namespace cassasync::frame
