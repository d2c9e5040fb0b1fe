// The shop a benchmark works on, and the raw SQLite helpers it is built with.
#include "bench_shop.h"
#include "core/back_office_paths.h"

#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <random>
#include <stdexcept>
#include <vector>

#include "frame/context.h"
#include "platform/clock.h"
#include "shop/shop_admin.h"

namespace cassasync::bench {

void build_shop(const std::filesystem::path& root, int articles, int lines, Mix mix) {
    platform::RootPathMap paths(root);
    if (auto st = shop::init_shop(paths); !st) throw std::runtime_error(st.message());
    if (auto st = shop::add_register(paths, 1, kRegister); !st) throw std::runtime_error(st.message());

    sqlite3* main = open_raw(paths.to_local(kMain));
    exec(main, "PRAGMA synchronous=OFF; PRAGMA journal_mode=OFF; PRAGMA cache_size=-131072; BEGIN");
    {
        Stmt list(main,
                  "INSERT INTO listi01 (codart, desart, umart, przpub, ivart, codrep, cofart, cosmp, cosoff, data1,"
                  " data2, numpro, colore, desrep, codafo, desgru, desfor, codgru, qinv, qacq) VALUES"
                  " (?,?,'PZ',?,?,?,?,?,?,?,?,?,?,'REPARTO','FORN','GRUPPO','FORNITORE',?,100,20)");
        Stmt code(main, "INSERT INTO codean (eanare, codare, desart, pezzix, einv) VALUES (?,?,?,?,100)");
        std::mt19937 rng(7);
        const int vats[] = {22, 10, 4, 22};
        for (int a = 1; a <= articles; ++a) {
            const double price = 0.5 + static_cast<double>(rng() % 2000) / 100.0;
            const bool offer = a % 10 == 0;
            list.i(1, a).t(2, description_of(a)).d(3, price).i(4, vats[a % 4]).i(5, 1 + a % kDepartments)
                .d(6, price * 0.6).d(7, price * 0.6).d(8, price * 0.5);
            if (offer) list.d(9, 46300).d(10, 46400).i(11, 1);
            else list.null(9).null(10).i(11, 0);
            list.i(12, a % 50 == 0 ? 5 : 0).i(13, a % 100);
            list.run();
            const std::string ean = a % 100 == 0 ? weight_ean(a / 100) : article_ean(a);
            code.t(1, ean).i(2, a).t(3, description_of(a)).i(4, a % 30 == 0 ? 6 : 1).run();
            if (a % 20 == 0) code.t(1, second_ean(a)).i(2, a).t(3, description_of(a)).i(4, 1).run();
        }
        Stmt dep(main, "INSERT INTO reparti (reparto, descrizione, iva, fmarg, marg) VALUES (?,?,?,?,?)");
        for (int r = 1; r <= kDepartments + 1; ++r) {
            dep.i(1, r).t(2, "REPARTO " + std::to_string(r)).i(3, r % 2 ? 22 : 10).t(4, r % 3 ? "N" : "S").d(5, 25).run();
        }
        Stmt cli(main, "INSERT INTO clienti (codcliente, dsccliente, tessera, punticum, puntisca) VALUES (?,?,?,0,0)");
        for (int c = 1; c <= kCustomers; ++c) cli.i(1, c).t(2, "CLIENTE " + std::to_string(c)).t(3, card_of(c)).run();
    }
    exec(main, "COMMIT; ANALYZE");
    sqlite3_close(main);

    sqlite3* reg = open_raw(paths.to_local(kRegister));
    exec(reg, "PRAGMA synchronous=OFF; BEGIN");
    {
        Stmt ins(reg,
                 "INSERT INTO movimenti (bflag3, aggiornogiacenza, bdator, bora, bnumer, eanrig, descrizione, quantita,"
                 " prezzo, totrig, sconto, codrep, tiporecord, operatore, numcassa, bflag1, tessera, descli)"
                 " VALUES ('S','N',?,?,?,?,?,?,?,?,0,?,?,1,1,'V',?,'')");
        std::mt19937 rng(11);
        const double today = static_cast<double>(platform::day_serial(2026, 12, 7));
        // The articles most lines sell, scattered over the catalogue.
        std::vector<int> popular;
        for (int k = 0; k < std::min(kPopularArticles, articles); ++k) {
            popular.push_back(1 + static_cast<int>(rng() % static_cast<unsigned>(articles)));
        }
        auto pick = [&] {
            if (mix == Mix::popular && rng() % 10 < 8) return popular[rng() % popular.size()];
            return 1 + static_cast<int>(rng() % static_cast<unsigned>(articles));
        };
        for (int i = 0; i < lines; ++i) {
            const double day = i < lines / 2 ? today - 1 : today;
            const int article = pick();
            std::string ean = article_ean(article);
            std::string description = description_of(article);
            double quantity = 1 + rng() % 3;
            std::int64_t kind = 1;
            std::string card;
            if (i % 20 == 0) {  // points earned on a receipt
                kind = 23;
                ean.clear();
                description = "PUNTI";
                quantity = 1 + rng() % 50;
                card = card_of(1 + static_cast<int>(rng() % kCustomers));
            } else if (i % 20 == 1 && articles >= 100) {  // a barcode carrying the amount
                char text[32];
                std::snprintf(text, sizeof text, "2%06d%06d", 1 + static_cast<int>(rng() % static_cast<unsigned>(articles / 100)),
                              static_cast<int>(rng() % 100000));
                ean = text;
            } else if (i % 20 == 2) {  // not in the catalogue
                char text[32];
                std::snprintf(text, sizeof text, "99%011d", static_cast<int>(rng() % 100000000));
                ean = text;
            } else if (i % 100 == 3) {  // no barcode: found by its description
                ean = std::string(13, '\0');
            }
            const double price = 0.5 + static_cast<double>(rng() % 2000) / 100.0;
            ins.d(1, day).d(2, 0.3 + 0.6 * i / lines).i(3, 1 + i / 4).t(4, ean).t(5, description).d(6, quantity)
                .d(7, kind == 23 ? 0 : price).d(8, kind == 23 ? 0 : price * quantity).i(9, 1 + i % kDepartments)
                .i(10, kind);
            if (card.empty()) ins.null(11);
            else ins.t(11, card);
            ins.run();
        }
    }
    exec(reg, "COMMIT");
    sqlite3_close(reg);
}

sqlite3* open_shop(const platform::PathMap& paths) {
    sqlite3* db = open_raw(paths.to_local(kMain));
    exec(db, "ATTACH DATABASE '" + paths.to_local(kSales).string() + "' AS vendite");
    exec(db, "ATTACH DATABASE '" + paths.to_local(core::kLoyaltyPath).string() + "' AS fidel");
    exec(db, "ATTACH DATABASE '" + paths.to_local(kRegister).string() + "' AS cassa");
    return db;
}

void reset_shop(const std::filesystem::path& root) {
    platform::RootPathMap paths(root);
    sqlite3* db = open_shop(paths);
    exec(db, "BEGIN; DELETE FROM vendite.venmo; DELETE FROM vendite.vente; DELETE FROM fidel.movtessere;"
             " DELETE FROM main.numeri; DELETE FROM main.registro_trasferimenti; DELETE FROM main.righe_trattenute;"
             " UPDATE cassa.movimenti SET aggiornogiacenza='N'; COMMIT");
    sqlite3_close(db);
}

namespace {
constexpr const char* kSpoil =
    "UPDATE cassa.movimenti SET quantita = 'x' || quantita WHERE id % ?1 = ?1 / 2";
constexpr const char* kMend =
    "UPDATE cassa.movimenti SET quantita = substr(quantita, 2) WHERE id % ?1 = ?1 / 2 AND typeof(quantita) = 'text'";

int run_on_lines(const std::filesystem::path& root, const char* sql, int every) {
    platform::RootPathMap paths(root);
    sqlite3* db = open_shop(paths);
    sqlite3_stmt* st = nullptr;
    int changed = -1;
    if (sqlite3_prepare_v2(db, sql, -1, &st, nullptr) == SQLITE_OK) {
        sqlite3_bind_int(st, 1, every);
        if (sqlite3_step(st) == SQLITE_DONE) changed = sqlite3_changes(db);
    }
    sqlite3_finalize(st);
    sqlite3_close(db);
    if (changed < 0) throw std::runtime_error(std::string("cannot change the waiting lines: ") + sql);
    return changed;
}
}  // namespace

int spoil_lines(const std::filesystem::path& root, int every) { return run_on_lines(root, kSpoil, every); }
void mend_lines(const std::filesystem::path& root, int every) { run_on_lines(root, kMend, every); }

}  // namespace cassasync::bench
