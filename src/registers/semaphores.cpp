#include "registers/semaphores.h"

#include <string>

#include "data/record_set.h"

namespace cassasync::registers {

namespace {

// Take and release change the first row only, and only from a value the service may
// overwrite, in one statement: the register's software works on the same row from
// another machine, and a separate read and write would let a 1 it sets in between be
// overwritten. The outcome is otherwise the same as reading the row and writing it.
constexpr const char* kTake =
    "UPDATE Semafori SET Flag1 = 2 WHERE rowid = (SELECT min(rowid) FROM Semafori) AND Flag1 IN (0, 2)";
constexpr const char* kRelease =
    "UPDATE Semafori SET Flag1 = 0 WHERE rowid = (SELECT min(rowid) FROM Semafori) AND Flag1 IN (0, 2)";
constexpr const char* kAnyRow = "SELECT 1 FROM Semafori LIMIT 1";

data::Database& register_db(frame::Context& ctx, int n) {
    if (n < 1 || n > frame::kMaxRegisters) {
        throw data::DbError("register number " + std::to_string(n) + " is outside 1.." +
                            std::to_string(frame::kMaxRegisters));
    }
    return ctx.databases.open(ctx.Percorsi_Casse[static_cast<std::size_t>(n)], data::FileRole::register_share);
}

// An unattended service cannot wait for someone to dismiss a box: the log says it.
void log_not_initialised(frame::Context& ctx, int n) {
    ctx.log.progress("Semaforo cassa " + std::to_string(n) + " non inizializzato!");
}

// Runs a conditional take or release; logs when the table has no row at all.
void set_first_row(frame::Context& ctx, int n, const char* sql) {
    auto& db = register_db(ctx, n);
    if (db.execute(sql) == 0 && data::is_null(db.scalar(kAnyRow))) log_not_initialised(ctx, n);
}

}  // namespace

int Leggi_Semaforo(frame::Context& ctx, int n) {
    auto& db = register_db(ctx, n);
    data::Channel semafori("Semafori");
    auto& rs = semafori.select(db, "Semafori", {}, {}, "rowid");
    if (rs.eof()) {
        log_not_initialised(ctx, n);
        return 0;
    }
    rs.move_first();
    // A null is neither free nor ours: busy, like any other foreign value.
    const auto flag = data::to_int_or(rs.field("Flag1"), static_cast<int>(Semaforo::Cassa));
    return flag == static_cast<int>(Semaforo::Libero) || flag == static_cast<int>(Semaforo::Servizio) ? 0 : 1;
}

void Prendi_Semaforo(frame::Context& ctx, int n) { set_first_row(ctx, n, kTake); }

void Rilascia_Semaforo(frame::Context& ctx, int n) {
    try {
        set_first_row(ctx, n, kRelease);
    } catch (const std::exception&) {
        // The flag stays as it was; the next take accepts a 2 as the service's own.
    }
}

}  // namespace cassasync::registers
