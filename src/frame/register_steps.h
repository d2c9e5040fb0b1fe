// A register's steps in the order the cycle runs them, and the one place that decides
// what a failing step means for the steps after it. The cycle calls these while it holds
// the register's semaphore; they run on the worker thread only.
#pragma once

#include <functional>
#include <string>

#include "frame/context.h"
#include "sales/receipt_import.h"

namespace cassasync::frame {

// The steps the cycle runs, by default those of the subsystems. Replaced only by tests
// that watch the order in which the cycle calls them; a step left empty is not run.
struct CycleSteps {
    std::function<void(Context&, int)> Invia_Totali_Tessere;
    std::function<void(Context&, int)> Ricevi_Totali_Tessere;
    std::function<void(Context&, int)> Leggi_Tessere_Cassa;
    std::function<void(Context&, int)> Aggiorna_Articoli;
    std::function<void(Context&, int)> Aggiorna_Clienti;
    std::function<void(Context&, int)> Recupero_Fatture;
    // What the import did decides whether the closing check follows it.
    std::function<sales::ImportFigures(Context&, int)> Travaso_Scontrini;
    // The register's close request, for the day the import took as today.
    std::function<void(Context&, int, long day)> Controllo_Chiusura;
    std::function<void(Context&, int)> Trasmetti_Tessere;
    std::function<void(Context&)> Consolida_Stato_Clienti;

    static CycleSteps standard();
};

// Register n's share of the transfer pass: for register 1 the card totals sent first,
// then the totals received, the card reads and the register's intake (see run_intake).
// A step that fails is one log line naming it and the register; the steps after it
// still run; one that failed on a file (a full disk, a write error) is not run again in
// the register's turn. A register file locked by another program is raised to the caller, which
// leaves the register alone for the rest of the cycle. True when every step completed.
bool run_register_steps(Context& ctx, int n, const CycleSteps& steps);

// Register n's card reads followed, unless they stopped on an error, by its intake;
// whether the card reads and the intake completed.
bool run_card_reads(Context& ctx, int n, const CycleSteps& steps);

// Register n's intake: articles, then, when `bbb` reads 0, customers, invoices and
// receipts, each import followed by the register's closing check when the import
// brought in every line it found. Failures as above; true when every step completed.
bool run_intake(Context& ctx, int n, const CycleSteps& steps);

// Register n's receipt import and, right after it, its closing check, when the import
// brought in every line it found (see run_intake). True when the steps that ran completed.
bool run_receipts(Context& ctx, int n, const CycleSteps& steps);

// Register n's queued cards sent to it, at the end of the cycle. Failures as above;
// true when the step completed.
bool run_card_send(Context& ctx, int n, const CycleSteps& steps);

// Where an error line says a failure happened at register n: "<what> cassa Nr. <n>".
std::string register_place(const char* what, int n);

// The card send's name in its error lines.
inline constexpr const char* kStepTrasmissione = "Trasmissione tessere";

// Whether an error is a register file kept locked by another program past the busy wait.
bool is_locked_elsewhere(const std::exception& e);

}  // namespace cassasync::frame
