#include "frame/register_steps.h"

#include <optional>
#include <string>

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
constexpr const char* kStepTrasmissione = "Trasmissione tessere";
constexpr const char* kStepArticoli = "Aggiornamento articoli";
constexpr const char* kStepClienti = "Importazione clienti";
constexpr const char* kStepFatture = "Recupero fatture";
constexpr const char* kStepScontrini = "Travaso scontrini";
constexpr const char* kStepChiusura = "Controllo chiusura";

constexpr const char* kMsgCloseLater = "Chiusura della cassa rinviata: righe ancora da importare.";

// Runs one step; a failure is its one log line, and the register's files are opened
// afresh by whatever runs next. A file locked by another program is passed on: every
// later step would only wait on the same lock again. False when the step failed.
bool run_step(Context& ctx, int n, const char* name, const std::function<void(Context&, int)>& step) {
    if (!step || ctx.stop_requested.load()) return true;
    try {
        step(ctx, n);
        return true;
    } catch (const std::exception& e) {
        if (is_locked_elsewhere(e)) throw;
        ctx.log.progress(std::string(name) + " cassa Nr. " + std::to_string(n) + ": " + e.what());
        registers::forget_register(ctx, n);
        return false;
    }
}

}  // namespace

// The receipt import, then the closing check. A day is registered only once its lines
// are in: after an import that failed, or whose share of the cycle ran out with lines
// still waiting, the close request stays at the register for a later cycle (the second
// case says so in the log).
bool run_receipts(Context& ctx, int n, const CycleSteps& steps) {
    if (!steps.Travaso_Scontrini) return true;
    std::optional<sales::ImportFigures> imported;
    const bool completed = run_step(ctx, n, kStepScontrini,
                                    [&](Context& c, int r) { imported = steps.Travaso_Scontrini(c, r); });
    if (!completed || !imported) return completed;
    if (imported->cut_short) {
        ctx.log.progress(kMsgCloseLater);
        return completed;
    }
    const long day = imported->day;
    return run_step(ctx, n, kStepChiusura,
                    steps.Controllo_Chiusura ? [&](Context& c, int r) { steps.Controllo_Chiusura(c, r, day); }
                                             : std::function<void(Context&, int)>());
}

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
        sales::Controllo_Chiusura(ctx, n, registers::Percorso_Cassa_Int(ctx, n), day);
    };
    s.Trasmetti_Tessere = loyalty::Trasmetti_Tessere;
    s.Consolida_Stato_Clienti = loyalty::Consolida_Stato_Clienti;
    return s;
}

bool is_locked_elsewhere(const std::exception& e) {
    const auto* db_error = dynamic_cast<const data::DbError*>(&e);
    return db_error && db_error->is_busy();
}

bool run_intake(Context& ctx, int n, const CycleSteps& steps) {
    bool completed = run_step(ctx, n, kStepArticoli, steps.Aggiorna_Articoli);
    // With `bbb` other than 0 the register's intake ends at the articles: customers,
    // invoices and receipts are then left to another program, as they always were.
    if (!core::switch_off(ctx.settings.bbb)) return completed;
    // Each of these reads and marks only its own rows at the register, and a row that
    // needs what an earlier step failed to bring is refused or held on its own. So a
    // failed customer step never keeps the register's invoices, receipts or day closing
    // waiting.
    completed = run_step(ctx, n, kStepClienti, steps.Aggiorna_Clienti) && completed;
    completed = run_step(ctx, n, kStepFatture, steps.Recupero_Fatture) && completed;
    completed = run_receipts(ctx, n, steps) && completed;
    return completed;
}

bool run_card_reads(Context& ctx, int n, const CycleSteps& steps) {
    if (!run_step(ctx, n, kStepLettura, steps.Leggi_Tessere_Cassa)) return false;
    return run_intake(ctx, n, steps);
}

bool run_register_steps(Context& ctx, int n, const CycleSteps& steps) {
    bool completed = n != 1 || run_step(ctx, n, kStepInvioTotali, steps.Invia_Totali_Tessere);
    completed = run_step(ctx, n, kStepRicezioneTotali, steps.Ricevi_Totali_Tessere) && completed;
    if (ctx.stop_requested.load()) return completed;
    // The intake runs twice: once as the card reads' own sequel, unless they stopped on
    // an error, and once more directly. The second run finds what the register marked
    // meanwhile; nothing is taken twice.
    completed = run_card_reads(ctx, n, steps) && completed;
    completed = run_intake(ctx, n, steps) && completed;
    return completed;
}

bool run_card_send(Context& ctx, int n, const CycleSteps& steps) {
    return run_step(ctx, n, kStepTrasmissione, steps.Trasmetti_Tessere);
}

}  // namespace cassasync::frame
