#include "frame/register_steps.h"

#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "data/database.h"
#include "invoices/invoice_recovery.h"
#include "loyalty/card_reads.h"
#include "loyalty/card_totals.h"
#include "loyalty/card_transmission.h"
#include "masterdata/article_sync.h"
#include "masterdata/customer_import.h"
#include "registers/register_directory.h"
#include "sales/closing_command.h"
#include "sales/receipt_import.h"

namespace cassasync::frame {

namespace {

// The step names of the error lines: "<step> cassa Nr. <n>: <cause>".
constexpr const char* kStepInvioTotali = "Invio totali tessere";
constexpr const char* kStepRicezioneTotali = "Ricezione totali tessere";
constexpr const char* kStepLettura = "Lettura tessere";
constexpr const char* kStepArticoli = "Aggiornamento articoli";
constexpr const char* kStepClienti = "Importazione clienti";
constexpr const char* kStepFatture = "Recupero fatture";
constexpr const char* kStepScontrini = "Travaso scontrini";
constexpr const char* kStepChiusura = "Controllo chiusura";

constexpr const char* kMsgCloseLater = "Chiusura della cassa rinviata: righe ancora da importare.";

// The steps of one register's turn that failed on a file (a full disk, a write error):
// the turn's second intake would only meet the same failure and log it again.
using FileFailures = std::set<std::string_view>;

bool failed_on_a_file(const std::exception& e) {
    const auto* db_error = dynamic_cast<const data::DbError*>(&e);
    return db_error && db_error->failure() == data::Failure::file;
}

// Runs one step; a failure is its one log line, and the register's files are opened
// afresh by whatever runs next. A file locked by another program is passed on: every
// later step would only wait on the same lock again. False when the step failed.
bool run_step(Context& ctx, int n, const char* name, const std::function<void(Context&, int)>& step,
              FileFailures* file_failures = nullptr) {
    if (!step || ctx.stop_requested.load()) return true;
    if (file_failures && file_failures->count(name) > 0) return false;
    try {
        step(ctx, n);
        return true;
    } catch (const std::exception& e) {
        if (is_locked_elsewhere(e)) throw;
        ctx.log.progress(register_place(name, n) + ": " + e.what());
        if (file_failures && failed_on_a_file(e)) file_failures->insert(name);
        registers::forget_register(ctx, n);
        return false;
    }
}

// The receipt import, then the closing check. A day is registered only once its lines
// are in: after an import that failed, or whose share of the cycle ran out with lines
// still waiting, the close request stays at the register for a later cycle (the second
// case says so in the log).
bool receipts(Context& ctx, int n, const CycleSteps& steps, FileFailures* file_failures) {
    if (!steps.Travaso_Scontrini) return true;
    std::optional<sales::ImportFigures> imported;
    const bool completed = run_step(
        ctx, n, kStepScontrini, [&](Context& c, int r) { imported = steps.Travaso_Scontrini(c, r); }, file_failures);
    if (!completed || !imported) return completed;
    if (imported->cut_short) {
        ctx.log.progress(kMsgCloseLater);
        return completed;
    }
    const long day = imported->day;
    return run_step(ctx, n, kStepChiusura,
                    steps.Controllo_Chiusura ? [&](Context& c, int r) { steps.Controllo_Chiusura(c, r, day); }
                                             : std::function<void(Context&, int)>(),
                    file_failures);
}

bool intake(Context& ctx, int n, const CycleSteps& steps, FileFailures& file_failures) {
    bool completed = run_step(ctx, n, kStepArticoli, steps.Aggiorna_Articoli, &file_failures);
    // With `bbb` other than 0 the register's intake ends at the articles: customers,
    // invoices and receipts are then left to another program, as they always were.
    if (!core::switch_off(ctx.settings.bbb)) return completed;
    // Each of these reads and marks only its own rows at the register, and a row that
    // needs what an earlier step failed to bring is refused or held on its own. So a
    // failed customer step never keeps the register's invoices, receipts or day closing
    // waiting.
    completed = run_step(ctx, n, kStepClienti, steps.Aggiorna_Clienti, &file_failures) && completed;
    completed = run_step(ctx, n, kStepFatture, steps.Recupero_Fatture, &file_failures) && completed;
    completed = receipts(ctx, n, steps, &file_failures) && completed;
    return completed;
}

bool card_reads_then_intake(Context& ctx, int n, const CycleSteps& steps, FileFailures& file_failures) {
    if (!run_step(ctx, n, kStepLettura, steps.Leggi_Tessere_Cassa, &file_failures)) return false;
    return intake(ctx, n, steps, file_failures);
}

}  // namespace

bool run_receipts(Context& ctx, int n, const CycleSteps& steps) { return receipts(ctx, n, steps, nullptr); }

CycleSteps CycleSteps::standard() {
    CycleSteps s;
    s.Invia_Totali_Tessere = loyalty::Invia_Totali_Tessere;
    s.Ricevi_Totali_Tessere = loyalty::Ricevi_Totali_Tessere;
    s.Leggi_Tessere_Cassa = loyalty::Leggi_Tessere_Cassa;
    s.Aggiorna_Articoli = masterdata::Aggiorna_Articoli;
    s.Aggiorna_Clienti = masterdata::Aggiorna_Clienti;
    s.Recupero_Fatture = invoices::Recupero_Fatture;
    s.Travaso_Scontrini = [](Context& ctx, int n) { return sales::Travaso_Scontrini(ctx, n); };
    s.Controllo_Chiusura = [](Context& ctx, int n, long day) {
        sales::Controllo_Chiusura(ctx, n, registers::Percorso_Cassa_Int(ctx.databases, ctx.settings, n), day);
    };
    s.Trasmetti_Tessere = loyalty::Trasmetti_Tessere;
    s.Consolida_Stato_Clienti = loyalty::Consolida_Stato_Clienti;
    return s;
}

std::string register_place(const char* what, int n) { return std::string(what) + " cassa Nr. " + std::to_string(n); }

bool is_locked_elsewhere(const std::exception& e) {
    const auto* db_error = dynamic_cast<const data::DbError*>(&e);
    return db_error && db_error->is_busy();
}

bool run_intake(Context& ctx, int n, const CycleSteps& steps) {
    FileFailures file_failures;
    return intake(ctx, n, steps, file_failures);
}

bool run_card_reads(Context& ctx, int n, const CycleSteps& steps) {
    FileFailures file_failures;
    return card_reads_then_intake(ctx, n, steps, file_failures);
}

bool run_register_steps(Context& ctx, int n, const CycleSteps& steps) {
    bool completed = n != 1 || run_step(ctx, n, kStepInvioTotali, steps.Invia_Totali_Tessere);
    completed = run_step(ctx, n, kStepRicezioneTotali, steps.Ricevi_Totali_Tessere) && completed;
    if (ctx.stop_requested.load()) return completed;
    // The intake runs twice: once as the card reads' own sequel, unless they stopped on
    // an error, and once more directly. The second run finds what the register marked
    // meanwhile; nothing is taken twice. A step that failed on a file in the first run
    // (a full disk) is not run again in the second.
    FileFailures file_failures;
    completed = card_reads_then_intake(ctx, n, steps, file_failures) && completed;
    completed = intake(ctx, n, steps, file_failures) && completed;
    return completed;
}

bool run_card_send(Context& ctx, int n, const CycleSteps& steps) {
    return run_step(ctx, n, kStepTrasmissione, steps.Trasmetti_Tessere);
}

}  // namespace cassasync::frame
