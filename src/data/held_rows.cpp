#include "data/held_rows.h"

#include <sqlite3.h>

#include <cmath>

namespace cassasync::data {

bool caused_by_row(const DbError& e) {
    switch (e.code() & 0xff) {
        case SQLITE_FULL:
        case SQLITE_IOERR:
        case SQLITE_NOMEM:
        case SQLITE_BUSY:
        case SQLITE_LOCKED:
        case SQLITE_CORRUPT:
        case SQLITE_NOTADB:
        case SQLITE_READONLY:
        case SQLITE_CANTOPEN: return false;
        default: return true;
    }
}

namespace {
constexpr const char* kHold =
    "INSERT INTO righe_trattenute (cassa, passo, chiave, impronta, causa, primo, ultimo, tentativi, giorno_log) "
    "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?6, 1, NULL) "
    "ON CONFLICT (cassa, passo, chiave) DO UPDATE SET impronta = excluded.impronta, causa = excluded.causa, "
    "ultimo = excluded.ultimo, tentativi = tentativi + 1";
constexpr const char* kLogDay = "SELECT giorno_log FROM righe_trattenute WHERE cassa = ? AND passo = ? AND chiave = ?";
constexpr const char* kLogged = "UPDATE righe_trattenute SET giorno_log = ? WHERE cassa = ? AND passo = ? AND chiave = ?";
constexpr const char* kTries = "SELECT tentativi FROM righe_trattenute WHERE cassa = ? AND passo = ? AND chiave = ?";
constexpr const char* kRelease = "DELETE FROM righe_trattenute WHERE cassa = ? AND passo = ? AND chiave = ?";
constexpr const char* kKeys = "SELECT chiave FROM righe_trattenute WHERE cassa = ? AND passo = ? ORDER BY chiave";
constexpr const char* kCount = "SELECT count(*) FROM righe_trattenute WHERE cassa = ?";
constexpr const char* kList =
    "SELECT cassa, passo, chiave, causa, primo, ultimo, tentativi FROM righe_trattenute "
    "WHERE ?1 IS NULL OR cassa = ?1 ORDER BY cassa, passo, chiave";
constexpr const char* kRetry = "UPDATE righe_trattenute SET giorno_log = NULL";
}  // namespace

bool HeldRows::hold(int cassa, std::string_view passo, std::int64_t key, std::int64_t digest, const std::string& cause,
                    double now) {
    const Value register_no(std::int64_t{cassa});
    const Value step = text(passo);
    db_.execute(kHold, {register_no, step, Value(key), Value(digest), text(cause), Value(now)});
    const auto day = static_cast<std::int64_t>(std::floor(now));
    const Value logged = db_.scalar(kLogDay, {register_no, step, Value(key)});
    if (!is_null(logged) && to_int(logged) == day) return false;
    db_.execute(kLogged, {Value(day), register_no, step, Value(key)});
    return true;
}

std::optional<std::int64_t> HeldRows::release(int cassa, std::string_view passo, std::int64_t key) {
    const std::vector<Value> where{Value(std::int64_t{cassa}), text(passo), Value(key)};
    const Value tries = db_.scalar(kTries, where);
    if (is_null(tries)) return std::nullopt;
    db_.execute(kRelease, where);
    return to_int(tries);
}

std::vector<std::int64_t> HeldRows::keys(int cassa, std::string_view passo) {
    std::vector<std::int64_t> out;
    Statement& st = db_.prepare(kKeys, {Value(std::int64_t{cassa}), text(passo)});
    while (st.step()) out.push_back(to_int(st.column(0)));
    st.reset();
    return out;
}

std::int64_t HeldRows::count(int cassa) { return to_int(db_.scalar(kCount, {Value(std::int64_t{cassa})})); }

std::vector<HeldRows::Row> HeldRows::list(std::optional<int> cassa) {
    std::vector<Row> out;
    Statement& st = db_.prepare(kList, {cassa ? Value(std::int64_t{*cassa}) : kNull});
    while (st.step()) {
        out.push_back({static_cast<int>(to_int(st.column(0))), to_text(st.column(1)), to_int(st.column(2)),
                       to_text(st.column(3)), to_double(st.column(4)), to_double(st.column(5)),
                       to_int(st.column(6))});
    }
    st.reset();
    return out;
}

int HeldRows::request_retry() { return db_.execute(kRetry); }

}  // namespace cassasync::data
