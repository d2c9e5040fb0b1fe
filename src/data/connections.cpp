#include "data/connections.h"

#include <sqlite3.h>

#include <system_error>

#include "data/transfer_ledger.h"

namespace cassasync::data {

namespace {
// The back office's own files are written by this service alone.
constexpr int kCentralBusyTimeoutMs = 5000;
constexpr const char* kIndice = "Indice ";
constexpr const char* kAggiornato = " aggiornato nel database ";
constexpr const char* kNonAggiornato = " non aggiornato nel database ";
}  // namespace

void Connections::upgrade(DatabaseKind kind, const std::string& schema, const std::string& windows_path) {
    if (kind == DatabaseKind::main) upgrade_tables(central(), kind, schema, kServiceTables);
    for (const auto& index : upgrade_indexes(central(), kind, schema)) {
        if (!notice_) continue;
        notice_(index.error.empty() ? kIndice + index.name + kAggiornato + windows_path
                                    : kIndice + index.name + kNonAggiornato + windows_path + ": " + index.error);
    }
}

Database& Connections::open(const std::string& windows_path, FileRole role) {
    if (windows_path.empty()) throw DbError("no database path given", SQLITE_CANTOPEN);
    auto local = paths_.to_local(windows_path);
    auto key = local.string();
    auto it = open_.find(key);
    if (it != open_.end()) return *it->second;
    std::error_code ec;
    if (!std::filesystem::is_regular_file(local, ec)) {
        throw DbError("database " + windows_path + " does not exist (" + key + ")", SQLITE_CANTOPEN);
    }
    OpenOptions options;
    options.role = role;
    options.busy_timeout_ms = role == FileRole::register_share ? kRegisterBusyTimeoutMs : kCentralBusyTimeoutMs;
    auto db = std::make_unique<Database>(local, options);
    opened_files_[key] = platform::file_identity(local);
    return *open_.emplace(key, std::move(db)).first->second;
}

bool Connections::forget_if_replaced(const std::string& windows_path) {
    const auto key = paths_.to_local(windows_path).string();
    const auto it = open_.find(key);
    if (it == open_.end() || central_ == it->second.get()) return false;
    if (platform::file_identity(key) == opened_files_[key]) return false;
    open_.erase(it);
    opened_files_.erase(key);
    return true;
}

void Connections::forget(const std::string& windows_path) {
    auto key = paths_.to_local(windows_path).string();
    auto it = open_.find(key);
    if (it == open_.end()) return;
    if (central_ == it->second.get()) return;  // the central files stay open
    open_.erase(it);
    opened_files_.erase(key);
}

void Connections::close_all() {
    central_ = nullptr;
    open_.clear();
    opened_files_.clear();
}

Database& Connections::open_central(const std::string& main_path, const std::string& sales_path,
                                    const std::string& loyalty_path) {
    Database& db = open(main_path, FileRole::central);
    upgrade_ledger_table(db);
    central_ = &db;
    upgrade(DatabaseKind::main, "main", main_path);
    attach_if_present(kSalesSchema, sales_path);
    attach_if_present(kLoyaltySchema, loyalty_path);
    return db;
}

Database& Connections::central() {
    if (!central_) throw DbError("the main database is not open", SQLITE_CANTOPEN);
    return *central_;
}

bool Connections::attach_if_present(const std::string& schema, const std::string& windows_path) {
    Database& db = central();
    if (db.is_attached(schema)) return true;
    if (windows_path.empty()) return false;
    auto local = paths_.to_local(windows_path);
    std::error_code ec;
    if (!std::filesystem::is_regular_file(local, ec)) return false;
    db.attach(local, schema);
    if (schema == kSalesSchema) upgrade(DatabaseKind::sales, schema, windows_path);
    if (schema == kLoyaltySchema) upgrade(DatabaseKind::loyalty, schema, windows_path);
    return true;
}

}  // namespace cassasync::data
