// Where each register's database is: the central register table `casse` and the path
// table `Percorsi_Casse` filled from it at start-up. `percorso` (held in the path table)
// decides reachability and is the path of the semaphore and card tables; `percorsoint`
// (read afresh at every transfer step) is the path through which articles, customers,
// card totals, receipts and invoices are exchanged.
#pragma once

#include <string>
#include <vector>

#include "core/step_context.h"

namespace cassasync::registers {

// `percorso` of register n unchanged, or "" when there is no row (or it is null); read
// from the main database the settings name.
std::string Percorso_Cassa(data::Connections& databases, const core::Settings& settings, int n);
// `percorsoint` of register n trimmed of blanks, "" when null or absent; read afresh.
std::string Percorso_Cassa_Int(data::Connections& databases, const core::Settings& settings, int n);
// Drops the connections to register n's files (both paths): after a failure on a share
// the connection may be stale, and the next use opens it afresh.
void forget_register(core::StepContext& ctx, int n);
// Drops the connections to those of register n's files that were replaced since they
// were opened (see Connections::forget_if_replaced), so that this cycle reads the new
// ones; returns the Windows paths dropped.
std::vector<std::string> forget_replaced_files(core::StepContext& ctx, int n);
// Start-up pass: Casse_Elaborate(n) cleared and Percorsi_Casse(n) filled from the
// register table, n = 1..served.
void fill_register_paths(core::RegisterTable& table, data::Connections& databases, const core::Settings& settings);

}  // namespace cassasync::registers
