// The shop a benchmark works on: the back office's files with a catalogue, customers with
// cards and waiting receipt lines at register 1, built with raw SQLite (fast, no journal),
// and the fakes of the outside world a benchmark runs the service with.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <string>

#include "data/text_match.h"
#include "data/value.h"
#include "platform/path_map.h"
#include "platform/pinger.h"
#include "platform/process_starter.h"

namespace cassasync::bench {

constexpr const char* kMain = "C:\\tarvi\\dati.mdb";
constexpr const char* kSales = "C:\\tarvi\\vendite.mdb";
constexpr const char* kRegister = "\\\\127.0.0.1\\cassa\\dati.mdb";
constexpr int kCustomers = 10000;
constexpr int kDepartments = 20;

// ---- the outside world of the service, for a benchmark ----

class LoopbackPinger : public platform::Pinger {
public:
    std::uint32_t echo(std::uint32_t address) override {
        // Every address of 127.0.0.0/8 (first byte lowest) answers.
        return (address & 0xFFu) == 127u ? platform::kEchoSuccess : platform::kEchoFailed;
    }
};

class NoStarter : public platform::ProcessStarter {
public:
    Status start_detached(const std::filesystem::path&) override { return Status::ok(); }
};

// ---- a small raw SQLite helper ----

inline void check(int rc, sqlite3* db, const char* what) {
    if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW) {
        throw std::runtime_error(std::string(what) + ": " + sqlite3_errmsg(db));
    }
}

inline void exec(sqlite3* db, const std::string& sql) {
    char* err = nullptr;
    if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &err) != SQLITE_OK) {
        std::string msg = err ? err : "?";
        sqlite3_free(err);
        throw std::runtime_error(sql.substr(0, 60) + ": " + msg);
    }
}

class Stmt {
public:
    Stmt(sqlite3* db, const char* sql) : db_(db) {
        check(sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &s_, nullptr), db, sql);
    }
    ~Stmt() { sqlite3_finalize(s_); }
    Stmt(const Stmt&) = delete;
    Stmt& operator=(const Stmt&) = delete;
    Stmt& i(int k, std::int64_t v) { sqlite3_bind_int64(s_, k, v); return *this; }
    Stmt& d(int k, double v) { sqlite3_bind_double(s_, k, v); return *this; }
    Stmt& t(int k, const std::string& v) {
        sqlite3_bind_text(s_, k, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
        return *this;
    }
    Stmt& null(int k) { sqlite3_bind_null(s_, k); return *this; }
    // A blank-padded key in the form the service seeks first; the benchmark's keys fill
    // their width, so it is their only form and one seek finds them, as in the service.
    Stmt& key(int k, const std::string& v) { return t(k, data::to_text(data::key_forms(data::text(v)).front())); }
    bool row() {
        int rc = sqlite3_step(s_);
        check(rc, db_, sqlite3_sql(s_));
        return rc == SQLITE_ROW;
    }
    void run() {
        while (row()) {
        }
        reset();
    }
    // Every use binds every parameter again.
    void reset() { sqlite3_reset(s_); }
    // The index of a result column by name (looked up once, when the benchmark sets up).
    int col(const char* name) const {
        for (int c = 0; c < sqlite3_column_count(s_); ++c) {
            if (std::strcmp(sqlite3_column_name(s_, c), name) == 0) return c;
        }
        throw std::runtime_error(std::string("no column ") + name + " in " + sqlite3_sql(s_));
    }
    std::int64_t ci(int c) const { return sqlite3_column_int64(s_, c); }
    double cd(int c) const { return sqlite3_column_double(s_, c); }
    bool cnull(int c) const { return sqlite3_column_type(s_, c) == SQLITE_NULL; }
    std::string ct(int c) const {
        const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(s_, c));
        return std::string(p ? p : "", static_cast<std::size_t>(sqlite3_column_bytes(s_, c)));
    }

private:
    sqlite3* db_;
    sqlite3_stmt* s_ = nullptr;
};

inline sqlite3* open_raw(const std::filesystem::path& file) {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK) {
        throw std::runtime_error("cannot open " + file.string());
    }
    sqlite3_busy_timeout(db, 5000);
    return db;
}

// One number in a fixed-width pattern: the benchmark's barcodes, cards and descriptions.
inline std::string numbered(const char* pattern, int n) {
    char text[48];
    std::snprintf(text, sizeof text, pattern, n);
    return text;
}
inline std::string article_ean(int article) { return numbered("80%011d", article); }
inline std::string second_ean(int article) { return numbered("81%011d", article); }
inline std::string weight_ean(int k) { return numbered("2%06d000000", k); }
inline std::string card_of(int customer) { return numbered("CARD%09d", customer); }
inline std::string description_of(int article) { return numbered("ARTICOLO %07d", article); }

// ---- building a shop ----

// The lines sell articles drawn uniformly from the whole catalogue, or 80% of them from
// 2,000 articles scattered over it.
enum class Mix { uniform, popular };
constexpr int kPopularArticles = 2000;

// The shop's files, a catalogue of `articles` articles (every 20th with a second
// barcode, every 100th a price-or-weight article), departments, customers with cards,
// and `lines` waiting receipt lines at register 1 over two days.
void build_shop(const std::filesystem::path& root, int articles, int lines, Mix mix);

// Makes one waiting line in every `every` a line the import must hold (its quantity a
// text that is no number); gives how many. mend_lines() puts them back as they were.
int spoil_lines(const std::filesystem::path& root, int every);
void mend_lines(const std::filesystem::path& root, int every);

// The main file with the sales, loyalty and register 1 files attached (as vendite, fidel
// and cassa), raw: for the benchmark's own baseline and resets.
sqlite3* open_shop(const platform::PathMap& paths);

// Puts the shop back to the lines waiting and no sales, as before the raw run.
void reset_shop(const std::filesystem::path& root);

}  // namespace cassasync::bench
