#include "shop/shop_admin.h"

#include <filesystem>
#include <system_error>

#include "base/text.h"
#include "core/back_office_paths.h"
#include "data/database.h"
#include "data/schema.h"

namespace cassasync::shop {

using data::Database;
using data::DatabaseKind;
using data::Value;

namespace {

std::string folder_of(const std::string& windows_path) {
    auto pos = windows_path.find_last_of('\\');
    return pos == std::string::npos ? std::string() : windows_path.substr(0, pos + 1);
}

std::unique_ptr<Database> create_db(const platform::PathMap& paths, const std::string& windows_path,
                                    DatabaseKind kind) {
    auto local = paths.to_local(windows_path);
    std::filesystem::create_directories(local.parent_path());
    data::OpenOptions options;
    options.create = true;
    auto db = std::make_unique<Database>(local, options);
    data::apply_schema(*db, kind);
    return db;
}

bool has_row(Database& db, const std::string& sql, const std::vector<Value>& params) {
    return !data::is_null(db.scalar(sql, params));
}

}  // namespace

Status init_shop(const platform::PathMap& paths, const ShopOptions& options) {
    // The service finds the main database only as dati.mdb in a named folder, and the
    // sales database beside it: a shop made around any other path could never start.
    const auto folder = core::cartella_dati_of(options.main_path);
    if (!folder || folder->empty() || *folder != folder_of(options.main_path)) {
        return Status::error("the main database path '" + options.main_path +
                             "' cannot be used: it must name a file dati.mdb in a folder, such as " +
                             kDefaultMainPath);
    }
    try {
        std::error_code ec;
        std::filesystem::create_directories(paths.to_local("C:\\tarvi\\bkp\\x").parent_path(), ec);
        if (ec) return Status::error("cannot create the log folder: " + ec.message());

        auto company = create_db(paths, kCompanyPath, DatabaseKind::company);
        if (!has_row(*company, "SELECT 1 FROM società WHERE codute = 1", {})) {
            company->execute("INSERT INTO società (codute, database) VALUES (1, ?)", {Value(options.main_path)});
        }

        auto main = create_db(paths, options.main_path, DatabaseKind::main);
        data::Transaction tx(*main);
        if (!has_row(*main, "SELECT 1 FROM automa WHERE codice = 1", {})) {
            // Article intake on, customer import on, card reads on.
            main->execute("INSERT INTO automa (codice, aaa, bbb, escludocaselle) VALUES (1, 1, 0, '0')");
        }
        if (!has_row(*main, "SELECT 1 FROM utenti WHERE codutente = 1", {})) {
            main->execute("INSERT INTO utenti (codutente, nrpos) VALUES (1, 0)");
        }
        if (!has_row(*main, "SELECT 1 FROM pv WHERE proprio = '1'", {})) {
            main->execute("INSERT INTO pv (codice, proprio) VALUES (1, '1')");
        }
        struct Vat { const char* code; double rate; const char* text; };
        const Vat vats[] = {{"04", 4, "IVA 4%"}, {"05", 5, "IVA 5%"}, {"10", 10, "IVA 10%"},
                            {"22", 22, "IVA 22%"}, {"00", 0, "Esente"}};
        for (const auto& v : vats) {
            if (!has_row(*main, "SELECT 1 FROM aliquote WHERE codali = ?", {Value(std::string(v.code))})) {
                main->execute("INSERT INTO aliquote (codali, perce, dscaliquo) VALUES (?,?,?)",
                              {Value(std::string(v.code)), Value(v.rate), Value(std::string(v.text))});
            }
        }
        if (options.year > 0 &&
            !has_row(*main, "SELECT 1 FROM numeri WHERE codutente=1 AND anno=? AND tipo='VE'",
                     {Value(std::int64_t{options.year})})) {
            main->execute("INSERT INTO numeri (codutente, anno, tipo, descrizione, ultnum) VALUES (1,?,'VE','Vendite',0)",
                          {Value(std::int64_t{options.year})});
        }
        tx.commit();

        create_db(paths, folder_of(options.main_path) + "vendite.mdb", DatabaseKind::sales);
        create_db(paths, "C:\\tarvi\\fidel.mdb", DatabaseKind::loyalty);
        return Status::ok();
    } catch (const std::exception& e) {
        return Status::error(std::string("cannot create the shop: ") + e.what());
    }
}

Status find_main_database(const platform::PathMap& paths, std::string& windows_path) {
    const auto company_local = paths.to_local(kCompanyPath);
    if (!std::filesystem::exists(company_local)) {
        return Status::error(std::string("company database ") + kCompanyPath +
                             " does not exist: run 'cassasync-shop init' first");
    }
    Database company(company_local);
    windows_path = base::trim_blanks(data::to_text(company.scalar("SELECT database FROM società WHERE codute = 1")));
    if (windows_path.empty()) {
        return Status::error(std::string("the company database ") + kCompanyPath +
                             " names no main database (società.database of codute 1)");
    }
    if (!std::filesystem::exists(paths.to_local(windows_path))) {
        return Status::error("main database " + windows_path + " does not exist: run 'cassasync-shop init' first");
    }
    return Status::ok();
}

Status add_register(const platform::PathMap& paths, int n, const std::string& path,
                    const std::string& path_int, const std::string& main_path) {
    if (n < 1) return Status::error("register number must be 1 or more");
    try {
        // The main database first: a register added to any other would never be served.
        std::string main_windows = main_path;
        if (main_windows.empty()) {
            if (Status st = find_main_database(paths, main_windows); !st) return st;
        }
        auto local_main = paths.to_local(main_windows);
        if (!std::filesystem::exists(local_main)) {
            return Status::error("main database " + main_windows + " does not exist: run 'cassasync-shop init' first");
        }

        auto reg = create_db(paths, path, DatabaseKind::register_db);
        if (!has_row(*reg, "SELECT 1 FROM Semafori", {})) reg->execute("INSERT INTO Semafori (Flag1) VALUES (0)");

        Database main(local_main);
        data::Transaction tx(main);
        const std::string internal = path_int.empty() ? path : path_int;
        if (has_row(main, "SELECT 1 FROM casse WHERE numero = ?", {Value(std::int64_t{n})})) {
            main.execute("UPDATE casse SET percorso = ?, percorsoint = ? WHERE numero = ?",
                         {Value(path), Value(internal), Value(std::int64_t{n})});
        } else {
            main.execute("INSERT INTO casse (numero, percorso, percorsoint) VALUES (?,?,?)",
                         {Value(std::int64_t{n}), Value(path), Value(internal)});
        }
        main.execute("UPDATE utenti SET nrpos = ? WHERE codutente = 1 AND (nrpos IS NULL OR nrpos < ?)",
                     {Value(std::int64_t{n}), Value(std::int64_t{n})});
        tx.commit();
        return Status::ok();
    } catch (const std::exception& e) {
        return Status::error("cannot add register " + std::to_string(n) + ": " + e.what());
    }
}

}  // namespace cassasync::shop
