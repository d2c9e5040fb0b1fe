#include "masterdata/register_intake.h"

#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <vector>

#include "core/register_vocabulary.h"
#include "data/key_set.h"
#include "data/transfer_engine.h"
#include "data/transfer_ledger.h"
#include "platform/clock.h"

namespace cassasync::masterdata {

namespace {
// A batch commits after this many rows or this much time, whichever comes first, so
// the register is never locked for long and a failure repeats little work.
constexpr std::size_t kBatchRows = 500;
constexpr std::chrono::milliseconds kBatchTime{1000};
constexpr const char* kRowKey = "id";
const std::string kKeyIn = data::in_key_set(kRowKey);
const std::string kChangedNotSkipped = "flagagg = ? AND " + data::not_in_key_set(kRowKey);
}  // namespace

int settle_intake(data::Database& central, data::Database& register_db, int n, const IntakeTable& intake) {
    // An entry without a digest was written before rows had one: marked as before.
    return data::TransferLedger(central).settle_unchanged(
        register_db, n, intake.table, intake.mark_sql,
        [&](data::Channel& channel, const data::Value& keys) -> data::RecordSet& {
            return channel.select(register_db, std::string(intake.table), kKeyIn, {keys});
        },
        [](const data::RecordSet& row) { return std::pair(row.integer(kRowKey), data::row_digest(row.values())); });
}

IntakeHooks hooks_of(core::StepContext& ctx, std::function<std::string(const data::RecordSet&)> name) {
    return {[&ctx] { return platform::date_time_serial(ctx.clock.now()); },
            [&ctx](const std::string& line) { ctx.log.progress(line); }, std::move(name),
            [&ctx](data::TransferPlan& plan) { core::use_turns(ctx, plan); }};
}

namespace {

class IntakeRows : public data::RecordSetRows {
public:
    IntakeRows(data::Database& central, data::Database& register_db, int n, const IntakeTable& intake,
               data::RecordSet& rows, const std::function<void(data::RecordSet&)>& apply,
               const IntakeHooks& hooks, const Reread& reread)
        : RecordSetRows(rows, reread), central_(central), register_db_(register_db), n_(n), intake_(intake),
          apply_(apply), hooks_(hooks) {}

    std::string name() const override { return hooks_.name ? hooks_.name(rows_) : std::string(); }
    void apply() override { apply_(rows_); }
    // The batch's rows are now the ledger's only entries for this table: settling them
    // marks those the register has not changed again since they were read (a row it
    // changed meanwhile is taken again, with its newer values) and clears the entries.
    void mark(const std::vector<data::TransferLedger::Entry>&) override {
        settle_intake(central_, register_db_, n_, intake_);
    }

private:
    data::Database& central_;
    data::Database& register_db_;
    int n_;
    const IntakeTable& intake_;
    const std::function<void(data::RecordSet&)>& apply_;
    const IntakeHooks& hooks_;
};

}  // namespace

void take_rows(data::Database& central, data::Database& register_db, int n,
               const IntakeTable& intake, data::RecordSet& rows,
               const std::function<void(data::RecordSet&)>& apply, const IntakeHooks& hooks,
               const data::RecordSetRows::Reread& reread) {
    data::TransferPlan plan;
    plan.cassa = n;
    plan.table = std::string(intake.table);
    plan.step = std::string(intake.step);
    plan.batch_rows = kBatchRows;
    plan.batch_time = kBatchTime;
    plan.on_failure = intake.step.empty() ? data::RowFailure::fail_batch : data::RowFailure::hold;
    if (hooks.use_turns) hooks.use_turns(plan);
    plan.now = hooks.now;
    plan.log = hooks.log;
    data::TransferEngine engine(central, std::move(plan));
    if (!intake.step.empty()) {
        // The record set holds every changed row, so a held row not among them has gone.
        engine.forget_vanished([&](const std::vector<std::int64_t>&) {
            std::vector<std::int64_t> waiting;
            for (rows.move_first(); !rows.eof(); rows.move_next()) waiting.push_back(rows.integer(kRowKey));
            return waiting;
        });
    }
    IntakeRows walk(central, register_db, n, intake, rows, apply, hooks, reread);
    engine.run(walk);
}

void take_changed_rows(data::Database& central, data::Database& register_db, int n, const IntakeTable& intake,
                       data::Channel& channel, const std::function<void(data::RecordSet&)>& apply,
                       const IntakeHooks& hooks) {
    // Rows this run has held are left out of a read after a turn: they wait for the next run.
    const auto changed = [&](const std::vector<std::int64_t>& skip) -> data::RecordSet& {
        return channel.select(register_db, std::string(intake.table), kChangedNotSkipped,
                              {data::text(core::kChangedAtRegister), data::key_set(skip)}, kRowKey);
    };
    take_rows(central, register_db, n, intake, changed({}), apply, hooks,
              [&](const std::vector<std::int64_t>& skip) { changed(skip); });
}

}  // namespace cassasync::masterdata
