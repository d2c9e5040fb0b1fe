#include "data/schema.h"

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
    Transaction tx(db);
    db.exec(*text);
    tx.commit();
}

}  // namespace cassasync::data
