#include "data/schema.h"

#include <sqlite3.h>

#include <string>

namespace cassasync::data {

std::string_view schema_name(DatabaseKind kind) {
    switch (kind) {
        case DatabaseKind::company: return "company";
        case DatabaseKind::main: return "main";
        case DatabaseKind::sales: return "sales";
        case DatabaseKind::loyalty: return "loyalty";
        case DatabaseKind::register_db: return "register";
    }
    return "";
}

namespace {

struct IndexDefinition {
    std::string name;
    std::string table;
    std::string sql;
};

// The indexes of `kind`'s schema as SQLite stores their definitions: the schema
// applied to an empty database in memory, so that both sides of the comparison are
// SQLite's own text.
std::vector<IndexDefinition> schema_indexes(DatabaseKind kind) {
    OpenOptions options;
    options.create = true;
    Database reference(":memory:", options);
    apply_schema(reference, kind);
    std::vector<IndexDefinition> out;
    Statement& st = reference.prepare("SELECT name, tbl_name, sql FROM sqlite_schema WHERE type = 'index' AND sql IS NOT NULL");
    while (st.step()) out.push_back({to_text(st.column(0)), to_text(st.column(1)), to_text(st.column(2))});
    st.reset();
    return out;
}

// The definition of table `name` in `kind`'s schema, as SQLite stores it; null if none.
Value schema_table(DatabaseKind kind, std::string_view name) {
    OpenOptions options;
    options.create = true;
    Database reference(":memory:", options);
    apply_schema(reference, kind);
    return reference.scalar("SELECT sql FROM sqlite_schema WHERE type = 'table' AND name = ?", {text(name)});
}

// "CREATE [UNIQUE] INDEX name ..." or "CREATE TABLE name ..." made in `schema`. The name
// is left as written: SQLite stores the definition without the schema, and it must then
// read as the reference.
std::string in_schema(const std::string& sql, const std::string& schema, const std::string& word = "INDEX ") {
    const auto at = sql.find(word);
    if (at == std::string::npos) throw DbError("not a definition of the kind expected: " + sql);
    return sql.substr(0, at + word.size()) + quote_identifier(schema) + "." + sql.substr(at + word.size());
}

}  // namespace

void apply_schema(Database& db, DatabaseKind kind) {
    auto text = embedded_schema(schema_name(kind));
    if (!text) throw DbError("no schema for database kind " + std::string(schema_name(kind)));
    if (kind == DatabaseKind::main || kind == DatabaseKind::sales || kind == DatabaseKind::loyalty) {
        // Sales rows touch one price-list and one barcode row each, scattered over the
        // catalogue: small pages mean less to journal and write back per commit. Only a
        // new, empty file takes the size; an existing file keeps its own.
        db.exec("PRAGMA page_size=" + std::to_string(kCentralPageSize));
    }
    Transaction tx(db);
    db.exec(*text);
    tx.commit();
}

void upgrade_tables(Database& db, DatabaseKind kind, const std::string& schema,
                    std::span<const std::string_view> tables) {
    const std::string catalogue = quote_identifier(schema) + ".sqlite_schema";
    std::vector<std::string> missing;
    for (const auto name : tables) {
        const Value present =
            db.scalar("SELECT count(*) FROM " + catalogue + " WHERE type = 'table' AND name = ? COLLATE NOCASE",
                      {text(name)});
        if (to_int(present) != 0) continue;
        const Value sql = schema_table(kind, name);
        if (!is_null(sql)) missing.push_back(in_schema(to_text(sql), schema, "TABLE "));
    }
    if (missing.empty()) return;
    try {
        Transaction tx(db);
        for (const auto& sql : missing) db.exec(sql);
        tx.commit();
    } catch (const DbError& e) {
        const char* file = sqlite3_db_filename(db.handle(), schema.c_str());
        throw DbError(std::string("cannot add the service's tables to ") + (file ? file : schema.c_str()) + " (" +
                          e.what() + "); start the service again when no other program is using the file",
                      e.code());
    }
}

std::vector<IndexUpgrade> upgrade_indexes(Database& db, DatabaseKind kind, const std::string& schema) {
    const std::string catalogue = quote_identifier(schema) + ".sqlite_schema";
    std::vector<IndexDefinition> stale;
    for (auto& wanted : schema_indexes(kind)) {
        const Value tables = db.scalar("SELECT count(*) FROM " + catalogue + " WHERE type = 'table' AND name = ? COLLATE NOCASE",
                                       {text(wanted.table)});
        if (to_int(tables) == 0) continue;  // a file without the table fails where the table is used
        const Value stored = db.scalar("SELECT sql FROM " + catalogue + " WHERE type = 'index' AND name = ? COLLATE NOCASE",
                                       {text(wanted.name)});
        if (!is_null(stored) && to_text(stored) == wanted.sql) continue;
        stale.push_back(std::move(wanted));
    }
    if (stale.empty()) return {};

    std::vector<IndexUpgrade> done;
    try {
        Transaction tx(db);
        for (const auto& index : stale) {
            Savepoint savepoint(db, "indice");
            try {
                db.exec("DROP INDEX IF EXISTS " + quote_identifier(schema) + "." + quote_identifier(index.name));
                db.exec(in_schema(index.sql, schema));
                savepoint.release();
                done.push_back({index.name, {}});
            } catch (const DbError& e) {
                // The rows refuse the new definition: the old index stays, and the lookups
                // keep working through it.
                if (!savepoint.undo()) throw;
                done.push_back({index.name, e.what()});
            }
        }
        tx.commit();
    } catch (const DbError& e) {
        const char* file = sqlite3_db_filename(db.handle(), schema.c_str());
        throw DbError(std::string("cannot rebuild the indexes of ") + (file ? file : schema.c_str()) + " (" + e.what() +
                          "); start the service again when no other program is using the file",
                      e.code());
    }
    return done;
}

}  // namespace cassasync::data
