// The daily reconciliation of one register: proof that the day's receipt lines reached
// the back office whole and once. It compares, for one register and one day,
//   - the register's imported receipt lines with the sales rows made from them, matched
//     by the numbers the rows carry (register, receipt, line date and time), by count
//     and by amount to the cent;
//   - the points of the lines of kinds 23 and 24 with a card held by a customer with the
//     loyalty journal's rows of the same card, day, receipt, register and kind;
//   - each registered document of the day with its rows summed again by the
//     registration's own rules (Calcola_Totali).
// The register's file is opened read-only for the check and closed after it; the central
// files are read through the context's central connection. Nothing is written anywhere.
// Used by the service after a close and by `cassasync-shop reconcile`.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "data/connections.h"
#include "data/database.h"
#include "platform/path_map.h"

namespace cassasync::sales {

enum class Verdict { agrees, differs, not_checked };

struct RegisterDayCheck {
    int n = 0;
    long day = 0;  // day serial
    Verdict verdict = Verdict::agrees;
    std::int64_t imported_lines = 0;   // at the register, taken by the import
    std::int64_t waiting_lines = 0;    // at the register, not yet taken (no difference)
    std::int64_t sales_rows = 0;       // central rows carrying this register and day
    double imported_amount = 0.0;      // sum of the imported lines' totals
    double sales_amount = 0.0;         // sum of the rows' totals incl. VAT
    std::int64_t line_points = 0;      // points on imported lines of kinds 23/24 of known cards
    std::int64_t journal_points = 0;   // the journal's points at those lines' keys
    int registered_documents = 0;
    // Register row keys of imported lines that have no sales row.
    std::vector<std::int64_t> missing_line_keys;
    // One entry per difference found; when not checked, why.
    std::vector<std::string> differences;
};

// Checks register n's day `day` (a day serial). `register_path` is the Windows path of the
// register's database (its transfer path); a file that is missing or cannot be opened
// gives Verdict::not_checked, never a difference. `central` is the central connection;
// `paths` maps the register's path to the local file.
RegisterDayCheck reconcile_register(const platform::PathMap& paths, data::Database& central, int n,
                                    const std::string& register_path, long day);

// After a restore: sets the imported lines the check found missing centrally back to
// waiting at the register, so the next import takes them (once: the others stay
// imported). Gives the number of lines set back. REQUIRES: the service is stopped.
int requeue_missing(data::Connections& databases, const std::string& register_path, const RegisterDayCheck& check);

// One line: "register 2, 07/12/2026: AGREES (12 lines, 34.50 EUR, 3 points, 1 document)",
// "... DIFFERS (2 differences)" or "... NOT CHECKED: why".
std::string verdict_line(const RegisterDayCheck& check);

}  // namespace cassasync::sales
