// The sale registration: a register's sales document of one day gets its VAT summary
// (seven slots of code, taxable amount and VAT), its totals and the registered mark
// "R", computed from the document's rows in `venmo`. Called by the closing check when
// the register asks for its day to be closed. It does not test the mark first, so a
// second call recomputes and rewrites the same values from the rows that exist then.
#pragma once

#include <cstdint>

#include "core/operation_log.h"
#include "data/record_set.h"
#include "sales/vat_lookup.h"

namespace cassasync::sales {

// The mark of a registered document (`vente.regis`); " " means it waits for registration.
inline constexpr const char* kRegisteredMark = "R";

// The register's documents of year `anno` dated `day` (a day serial), on the central
// connection: those still waiting for registration first, each group in storage order.
// The first is the one registered: a document a late line opened after the day was
// closed is registered by the next close request, not the closed one again.
data::RecordSet& select_day_documents(data::Channel& channel, data::Database& central, int anno, int n,
                                      long day);

// What a document's rows add up to, by the registration's rules: the VAT summary, the
// gross total and the taxable and VAT totals in cents. The registration writes these
// into the header; the reconciliation computes them again to see whether the rows of a
// registered document changed since.
struct DocumentTotals {
    Riepilogo_Iva riepilogo;
    double totale = 0.0;
    double totimp = 0.0;
    double totiva = 0.0;
};

// The totals of document `numero` of year `anno` from its rows in `venmo` as they are now,
// on the central connection. Changes nothing.
DocumentTotals Calcola_Totali(data::Database& central, int anno, std::int64_t numero);

// Registers the first document of (anno, register n, day). No document: nothing is
// logged or changed. Traps nothing: a database error leaves the header as it was and
// goes up to the caller. Works on the central connection; its progress goes to `log`.
void Registra_Vendita(data::Database& central, core::OperationLog& log, int anno, int n, long day);

}  // namespace cassasync::sales
