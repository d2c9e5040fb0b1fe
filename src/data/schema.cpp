#include "data/schema.h"

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

}  // namespace cassasync::data
