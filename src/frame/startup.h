// Start-up: prunes last month's logs, opens today's log, finds the company database on
// the current drive, locates and checks the main and sales databases, loads the
// settings and checks every register once. It never ends the program on a failed
// check: the failure is logged, the rest is skipped and the cycle runs as far as the
// settings allow. Only a log that cannot be opened stops the program.
#pragma once

#include <string>

#include "frame/context.h"
#include "platform/clock.h"

namespace cassasync::frame {

enum class StartupOutcome {
    complete,           // settings loaded, Contatore_Cicli = 1
    no_company,         // stopped at the company file or first company check
    company_checks,     // stopped at the later company checks or the main database check
    log_unavailable,    // the log could not be opened: the program must stop
};

struct StartupResult {
    StartupOutcome outcome = StartupOutcome::complete;
    // The text a message box would show ("ERRORE : FILE ... NON ESISTE ", "ERRORE CODICE
    // UTENTE"), or the reason the log could not be opened; empty when none.
    std::string message;
    // Why start-up stopped, on which file, and what mends it: the program prints it on
    // its console, which is all a person sees of a service. Empty when complete.
    std::string reason;
};

// Runs start-up once. `current_drive` is the drive the service runs from (Lettera_Unita):
// the company database is looked for there.
StartupResult run_startup(Context& ctx, char current_drive = 'C');

}  // namespace cassasync::frame
