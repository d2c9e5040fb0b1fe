// Taking a register's marked rows into the main database exactly once, without a
// transaction that spans the register's machine. Rows go in small batches: the
// central effects of a batch and a ledger entry per row commit together in one
// central transaction; then one short register transaction marks exactly those rows
// taken; then the ledger entries are cleared. A crash between the two commits leaves
// the entries behind, and the next intake of that register marks those rows first
// (settle) without applying their effects again. Used by the article and customer
// intakes; the register tables they read carry an `id` row key.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "core/step_context.h"
#include "data/database.h"
#include "data/record_set.h"
#include "data/transfer_engine.h"

namespace cassasync::masterdata {

struct IntakeTable {
    std::string_view table;  // the register table, also the ledger's table name
    // Marks rows taken; its one parameter is the key set (see data/transfer_ledger.h).
    std::string mark_sql;
    // The held table's name of the intake. Empty: a row that fails ends the walk (after
    // the rows before it are taken); otherwise it is held and the walk goes on.
    std::string_view step = {};
};

// What a walk takes from its step: the time and the log for holding a row, how the log
// names a row after its key, and the cycle's turns (core::use_turns).
struct IntakeHooks {
    std::function<double()> now;
    std::function<void(const std::string&)> log;
    std::function<std::string(const data::RecordSet&)> name;
    std::function<void(data::TransferPlan&)> use_turns;
};

// Hooks as a register's step has them: the context's clock, log and turns.
IntakeHooks hooks_of(core::StepContext& ctx, std::function<std::string(const data::RecordSet&)> name);

// Marks at the register the rows a crash left taken centrally but unmarked; returns how
// many there were. A row the register changed since it was taken is not marked: it is
// taken again, with its newer values.
int settle_intake(data::Database& central, data::Database& register_db, int n, const IntakeTable& intake);

// Walks `rows` from the first to the last through the transfer engine
// (data/transfer_engine.h), calling `apply` on each inside the central transaction of
// its batch. An error from `apply` undoes that row only. With a step, the row is held
// and the walk goes on; a held row the register no longer has changed leaves the held
// table. Without one, the rows before it are committed and marked, then the error is
// raised to the caller; the failing row and those after it stay unmarked and are taken
// again later. A row the register changed again after it was read is not marked
// either: it is taken again, with its newer values. After the register's software had
// its turn between two batches, `reread` reads the rows again (without it the rest
// waits for the next run).
void take_rows(data::Database& central, data::Database& register_db, int n,
               const IntakeTable& intake, data::RecordSet& rows,
               const std::function<void(data::RecordSet&)>& apply, const IntakeHooks& hooks = {},
               const data::RecordSetRows::Reread& reread = {});

// take_rows over the rows the register marked changed (`flagagg`), in the order of their
// keys, read through `channel`, and read again the same way after each turn.
void take_changed_rows(data::Database& central, data::Database& register_db, int n, const IntakeTable& intake,
                       data::Channel& channel, const std::function<void(data::RecordSet&)>& apply,
                       const IntakeHooks& hooks);

}  // namespace cassasync::masterdata
