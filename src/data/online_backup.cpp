#include "data/online_backup.h"

#include <sqlite3.h>

#include <memory>

namespace cassasync::data {

namespace {

std::string quoted(const std::string& name) {
    std::string out = "\"";
    for (char c : name) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + "\"";
}

}  // namespace

Status backup_database(Database& source, const std::string& schema, const std::filesystem::path& target) {
    if (source.in_transaction()) {
        return Status::error("cannot copy " + schema + " of " + source.file().string() + ": a transaction is open");
    }
    try {
        OpenOptions options;
        options.create = true;
        Database copy(target, options);
        // The copy's journal is removed when the copy is complete; without the folder
        // synced after that, a power cut may bring it back and undo the copy.
        copy.exec("PRAGMA synchronous=EXTRA");
        struct Finisher {
            void operator()(sqlite3_backup* b) const { sqlite3_backup_finish(b); }
        };
        std::unique_ptr<sqlite3_backup, Finisher> backup(
            sqlite3_backup_init(copy.handle(), "main", source.handle(), schema.c_str()));
        if (!backup) {
            return Status::error("cannot copy " + schema + " to " + target.string() + ": " +
                                 sqlite3_errmsg(copy.handle()));
        }
        // All pages in one step: the source is read under one shared lock, so the copy is
        // one committed state; a busy source is waited for by its busy timeout.
        const int rc = sqlite3_backup_step(backup.get(), -1);
        const int finished = sqlite3_backup_finish(backup.release());
        if (rc != SQLITE_DONE || finished != SQLITE_OK) {
            return Status::error("cannot copy " + schema + " to " + target.string() + ": " +
                                 sqlite3_errstr(rc != SQLITE_DONE ? rc : finished));
        }
        return Status::ok();
    } catch (const DbError& e) {
        return Status::error("cannot copy " + schema + " to " + target.string() + ": " + e.what());
    }
}

std::string integrity_of(const std::filesystem::path& file) {
    try {
        OpenOptions options;
        options.read_only = true;
        Database db(file, options);
        const std::string first = to_text(db.scalar("PRAGMA integrity_check"));
        return first;
    } catch (const DbError& e) {
        return e.what();
    }
}

std::vector<std::pair<std::string, std::int64_t>> row_counts(const std::filesystem::path& file,
                                                             const std::vector<std::string>& tables) {
    std::vector<std::pair<std::string, std::int64_t>> counts;
    OpenOptions options;
    options.read_only = true;
    Database db(file, options);
    for (const auto& table : tables) {
        if (!db.has_table(table)) continue;
        // A table name from the caller's fixed list; names cannot be bound as parameters.
        counts.emplace_back(table, to_int_or(db.scalar("SELECT count(*) FROM " + quoted(table)), 0));
    }
    return counts;
}

}  // namespace cassasync::data
