// Receipt import benchmark: lines per second of Travaso_Scontrini for a register with
// many waiting lines against a large catalogue, beside the raw-SQLite limit measured in
// the same run on the same files (the same statements prepared once, one transaction,
// synchronous=OFF), the longest time the register database was held, and peak memory.
//
//   receipt_import_bench [--lines N] [--sizes 10000,200000,1000000] [--mix uniform|popular]
//                        [--runs N] [--dir DIR] [--bad-lines N] [--profile DIR]
//
// The lines sell articles drawn uniformly from the whole catalogue (the worst case: every
// line reads and writes pages no other line touches) or, with "--mix popular", 80% of
// them from 2,000 articles scattered over the catalogue, as a shop's sales concentrate.
// Each line mix also has points lines (5%), price-or-weight barcodes (5%), barcodes not
// in the catalogue (5%) and lines without barcode found by their description (1%).
//
// With "--bad-lines N" each size is measured a second time with one waiting line in N
// spoiled (a quantity that is no number), so the import holds it and goes on: the speed
// it keeps and the register's longest hold are printed beside the clean run's.
//
// Each catalogue size is built by one child process and measured by others, so the
// peak memory reported is that of the import run alone (getrusage ru_maxrss). The sizes
// take turns run by run.
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "data/connections.h"
#include "data/database.h"
#include "data/text_match.h"
#include "data/transfer_ledger.h"
#include "frame/context.h"
#include "frame/startup.h"
#include "platform/clock.h"
#include "platform/path_map.h"
#include "platform/pinger.h"
#include "platform/process_starter.h"
#include "sales/receipt_import.h"
#include "shop/shop_admin.h"
#include "bench_shop.h"

namespace {

using namespace cassasync;
using Clock = std::chrono::steady_clock;
using namespace cassasync::bench;

// ---- the raw limit ----

// The import's own statements, with the texts the data layer sends for them (rows of
// one table read with "SELECT rowid AS __rowid, *", updates of the fields a step sets),
// run directly against SQLite: prepared once, one transaction over the central files
// and the register's, synchronous=OFF, no log, no record sets. Rows are read once per
// line and written back as the import does: the price-list row and the sold barcode's
// row once each, a barcode's rank only when it changes.
double raw_lines_per_second(const std::filesystem::path& root) {
    platform::RootPathMap paths(root);
    sqlite3* db = open_shop(paths);
    // The import's page caches: the central file's own, the attached files', and SQLite's
    // default for the register's.
    for (const char* s : {"main", "vendite", "fidel", "cassa"}) exec(db, std::string("PRAGMA ") + s + ".synchronous=OFF");
    exec(db, "PRAGMA main.cache_size=-" + std::to_string(data::kCentralCacheKiB));
    exec(db, "PRAGMA vendite.cache_size=-" + std::to_string(data::kAttachedCacheKiB));
    exec(db, "PRAGMA fidel.cache_size=-" + std::to_string(data::kAttachedCacheKiB));
    const std::string variab =
        "select codean.codare AS articoli, listi01.umart AS unitaM, listi01.cofart AS costof,listi01.cosoff AS cosoff,"
        " listi01.cosmp AS cosmp, listi01.ivart AS iva, listi01.codafo AS codafo, listi01.desgru AS desgru,"
        " listi01.desfor AS desfor, listi01.desrep as desrep, codean.eanare AS codiceEAN, listi01.przpub AS prezzo,"
        " listi01.colore, listi01.numpro AS numOfferta ,listi01.data1,listi01.data2,pezzix "
        " from codean inner join listi01 on (codean.codare = listi01.codart)";
    Stmt lines(db, "select * from cassa.movimenti WHERE bflag3=? and aggiornogiacenza=? and id <= ? "
                   "order by bdator, bora, id LIMIT ?");
    // The service's own comparisons: texts without regard to letter case, keys in both forms.
    Stmt by_ean(db, (variab + " WHERE " + data::same_text("codean.eanare") + " LIMIT 1").c_str());
    Stmt by_12(db, (variab + " WHERE " + data::same_text("substr(codean.eanare, 1, 12)") + " LIMIT 1").c_str());
    Stmt code_eq(db, ("SELECT rowid AS __rowid, \"eanare\",\"codare\",\"dataagg\",\"einv\",\"eacq\",\"eres\",\"even\","
                      "\"egia\",\"flagean\" FROM \"codean\" WHERE " + data::same_text("\"eanare\"") + " LIMIT 1").c_str());
    Stmt code_7(db, ("SELECT rowid AS __rowid, * FROM \"codean\" WHERE " + data::same_text("substr(eanare, 1, 7)")).c_str());
    Stmt code_desc(db, ("SELECT rowid AS __rowid, * FROM \"codean\" WHERE " +
                        data::same_text("trim(substr(desart, 1, 25))")).c_str());
    Stmt rank(db, "SELECT rowid, primasecon FROM \"codean\" WHERE codare = ?"
                  " ORDER BY codare, dataagg DESC NULLS LAST, even DESC");
    Stmt mark_rank(db, "UPDATE \"codean\" SET primasecon = ? WHERE rowid = ?");
    Stmt stamp(db, "UPDATE \"codean\" SET \"dataagg\"=? WHERE rowid=?");
    Stmt list(db, "SELECT rowid AS __rowid, \"codart\",\"codrep\",\"desrep\",\"codgru\",\"qinv\",\"qacq\",\"qres\","
                  "\"qven\",\"qgia\",\"cofart\",\"valgia\",\"cosmp\",\"dultven\",\"qultven\" FROM \"listi01\""
                  " WHERE \"codart\" = ? LIMIT 1");
    Stmt dep(db, "SELECT rowid AS __rowid, \"reparto\",\"iva\",\"fmarg\",\"marg\",\"descrizione\" FROM \"reparti\""
                 " WHERE \"reparto\" = ? LIMIT 1");
    // A line's changes to its price-list row and its barcode row, each written once.
    Stmt list_set(db, "UPDATE \"listi01\" SET \"qinv\"=?,\"qacq\"=?,\"qres\"=?,\"qven\"=?,\"qgia\"=?,\"valgia\"=?,"
                      "\"cosmp\"=?,\"dultven\"=?,\"qultven\"=? WHERE rowid=?");
    Stmt code_set(db, "UPDATE \"codean\" SET \"einv\"=?,\"eacq\"=?,\"eres\"=?,\"even\"=?,\"egia\"=?,\"flagean\"=? WHERE rowid=?");
    Stmt code_set_stamped(db, "UPDATE \"codean\" SET \"dataagg\"=?,\"einv\"=?,\"eacq\"=?,\"eres\"=?,\"even\"=?,\"egia\"=?,"
                              "\"flagean\"=? WHERE rowid=?");
    Stmt cust(db, ("SELECT rowid AS __rowid, * FROM \"clienti\" WHERE " + data::same_text("\"tessera\"") + " LIMIT 1").c_str());
    Stmt cust_set(db, "UPDATE \"clienti\" SET \"punticum\"=?,\"puntisal\"=?,\"flagagg\"=? WHERE rowid=?");
    Stmt journal(db, ("SELECT rowid AS __rowid, * FROM \"movtessere\" WHERE " + data::same_text("\"tessera\"") +
                      " AND \"data\" = ? AND \"numsco\" = ? AND \"numcassa\" = ? AND \"tipo\" = ? LIMIT 1").c_str());
    Stmt journal_add(db, "INSERT INTO \"movtessere\" (\"tipo\",\"data\",\"ora\",\"tessera\",\"numcassa\",\"numsco\",\"punti\",\"descli\") VALUES (?,?,?,?,?,?,?,?)");
    Stmt number(db, ("SELECT rowid AS __rowid, * FROM \"numeri\" WHERE codutente = ? and anno = ? and " +
                     data::same_text("tipo")).c_str());
    Stmt number_set(db, "UPDATE \"numeri\" SET \"ultnum\"=? WHERE rowid=?");
    Stmt number_new(db, "INSERT INTO \"numeri\" (\"codutente\",\"anno\",\"tipo\",\"descrizione\",\"ultnum\") VALUES (?,?,?,?,?)");
    Stmt header(db, "INSERT INTO \"vente\" (\"codutente\",\"anno\",\"numero\",\"dataor\",\"cliente\",\"dsccliente\",\"codsede\","
                    "\"dscsede\",\"commesso\",\"annofa\",\"numfa\",\"causa\",\"spese\",\"bolli\",\"agente\",\"tipodoc\",\"colli\","
                    "\"peso\",\"omaggio\") VALUES (1,2026,?,?,0,'Vendita Casse',0,'desedew',0,0,0,'Vendita',0,0,1,'VENDITE',0,0,0)");
    Stmt regis(db, "UPDATE vente SET regis = ? WHERE rowid = ?");
    Stmt row(db, "INSERT INTO \"venmo\" (\"codute\",\"bannoc\",\"bnumer\",\"bns\",\"bdator\",\"articoli\",\"unitam\",\"prezzo\","
                 "\"costof\",\"cosmp\",\"quantita\",\"bflag1\",\"tipmov\",\"descrizione\",\"iva\",\"totrig\",\"totiva\",\"eanrig\","
                 "\"colli\",\"codafo\",\"przpro\",\"sconto\",\"commesso\",\"dscColore\",\"taglia\",\"desfor\",\"desgru\",\"codgru\","
                 "\"annobo\",\"numbo\",\"provvi\",\"codrep\",\"desrep\",\"ricarica\",\"totcos\",\"numsco\",\"ora\",\"numcas\","
                 "\"cassa\",\"bflag2\",\"scopro\",\"tessera\",\"descli\",\"pivacli\",\"codfis\",\"tipobattuta\") VALUES"
                 " (1,2026,?,?,?,?,?,?,?,?,?,'E','AR',?,'22',?,?,?,?,?,0,?,1,'1','1',?,?,?,0,0,0,?,?,0,?,?,?,1,1,?,?,?,?,?,?,?)");
    Stmt ledger(db, "INSERT OR IGNORE INTO registro_trasferimenti (cassa, tabella, chiave) VALUES (?,?,?)");
    // Marked as the import marks them: a batch's lines in one execution.
    Stmt mark(db, "UPDATE cassa.movimenti SET aggiornogiacenza='S' WHERE id IN (SELECT value FROM json_each(?))");
    std::vector<std::int64_t> to_mark;
    const auto mark_all = [&] {
        if (to_mark.empty()) return;
        mark.t(1, data::to_text(data::key_set(to_mark))).run();
        to_mark.clear();
    };

    // Column positions in the rows the statements return.
    const int l_id = lines.col("id"), l_bdator = lines.col("bdator"), l_bora = lines.col("bora"),
              l_bnumer = lines.col("bnumer"), l_ean = lines.col("eanrig"), l_des = lines.col("descrizione"),
              l_qty = lines.col("quantita"), l_prezzo = lines.col("prezzo"), l_totrig = lines.col("totrig"),
              l_sconto = lines.col("sconto"), l_codrep = lines.col("codrep"), l_tipo = lines.col("tiporecord"),
              l_bflag1 = lines.col("bflag1"), l_tessera = lines.col("tessera"), l_descli = lines.col("descli"),
              l_piva = lines.col("pivacli"), l_codfis = lines.col("codfis"), l_battuta = lines.col("tipobattuta");
    const int c_rowid = code_eq.col("__rowid"), c_codare = code_eq.col("codare"), c_dataagg = code_eq.col("dataagg"),
              c_einv = code_eq.col("einv");
    const int r_rowid = rank.col("rowid"), r_mark = rank.col("primasecon");
    const int d_ean = code_desc.col("eanare");
    const int p_rowid = list.col("__rowid"), p_codrep = list.col("codrep"), p_qinv = list.col("qinv"),
              p_cofart = list.col("cofart"), p_qultven = list.col("qultven");
    const int a_art = by_ean.col("articoli"), a_costof = by_ean.col("costof"), a_prezzo = by_ean.col("prezzo"),
              a_pezzix = by_ean.col("pezzix");
    const int k_rowid = cust.col("__rowid"), k_cum = cust.col("punticum"), k_name = cust.col("dsccliente");
    const int n_rowid = number.col("__rowid"), n_last = number.col("ultnum");
    const double today = static_cast<double>(platform::day_serial(2026, 12, 7));
    const std::string no_barcode(13, '\0');

    const auto started = Clock::now();
    exec(db, "BEGIN IMMEDIATE");
    long day = -1;
    std::int64_t numero = 0, bns = 0, count = 0, header_rowid = 0;
    lines.t(1, "S").t(2, "N").i(3, std::numeric_limits<std::int64_t>::max()).i(4, std::numeric_limits<std::int64_t>::max());
    while (lines.row()) {
        ++count;
        const std::int64_t id = lines.ci(l_id);
        const double bdator = lines.cd(l_bdator);
        const std::string rung = lines.ct(l_ean);
        std::string ean = rung;
        ean.resize(13, ' ');
        const double quantity = lines.cd(l_qty);
        const double totrig = lines.cd(l_totrig);
        if (static_cast<long>(bdator) != day) {
            day = static_cast<long>(bdator);
            number.i(1, 1).i(2, 2026).t(3, "VE");
            if (number.row()) {
                numero = number.ci(n_last) + 1;
                const std::int64_t r = number.ci(n_rowid);
                number.reset();
                number_set.i(1, numero).i(2, r).run();
            } else {
                number.reset();
                numero = 1;
                number_new.i(1, 1).i(2, 2026).t(3, "VE").t(4, "Vendite").i(5, 1).run();
            }
            header.i(1, numero).d(2, bdator).run();
            header_rowid = sqlite3_last_insert_rowid(db);
            bns = 0;
        }
        bool described = true;
        if (ean == no_barcode) {
            code_desc.t(1, lines.ct(l_des).substr(0, 25));
            described = code_desc.row();
            if (described) ean = code_desc.ct(d_ean);
            code_desc.reset();
        }
        std::int64_t article = 0, codrep = lines.ci(l_codrep), barcode_rowid = 0, list_rowid = 0;
        double qty = quantity, cost = 0;
        double code_q[4] = {0, 0, 0, 0}, list_q[4] = {0, 0, 0, 0}, cofart = 0, qultven = 0;
        bool stamp_with_stock = false;
        if (described) {
            const bool weighed = ean[0] == '2';
            Stmt& stamp_find = weighed ? code_7 : code_eq;
            if (weighed) {
                code_7.t(1, ean.substr(0, 7));
            } else {
                code_eq.key(1, ean);
            }
            if (stamp_find.row()) {
                const std::int64_t rowid = stamp_find.ci(c_rowid);
                article = stamp_find.ci(c_codare);
                const bool stamped = !stamp_find.cnull(c_dataagg) && stamp_find.cd(c_dataagg) == today;
                if (!weighed && ean == rung) {
                    barcode_rowid = rowid;
                    for (int k = 0; k < 4; ++k) code_q[k] = stamp_find.cd(c_einv + k);
                }
                stamp_find.reset();
                rank.i(1, article);
                bool first = true;
                std::vector<std::pair<std::int64_t, bool>> marks;
                while (rank.row()) {
                    const std::string rank_mark = rank.cnull(r_mark) ? std::string() : rank.ct(r_mark);
                    if (first && rank_mark != "P") marks.emplace_back(rank.ci(r_rowid), true);
                    if (!first && rank_mark != "S") marks.emplace_back(rank.ci(r_rowid), false);
                    first = false;
                }
                rank.reset();
                for (auto& [r, p] : marks) mark_rank.t(1, p ? "P" : "S").i(2, r).run();
                if (!stamped && barcode_rowid == rowid) stamp_with_stock = true;
                else if (!stamped) stamp.d(1, today).i(2, rowid).run();
                list.i(1, article);
                if (list.row()) {
                    list_rowid = list.ci(p_rowid);
                    codrep = list.ci(p_codrep);
                    for (int k = 0; k < 4; ++k) list_q[k] = list.cd(p_qinv + k);
                    cofart = list.cd(p_cofart);
                    qultven = list.cd(p_qultven);
                }
                list.reset();
            } else {
                stamp_find.reset();
            }
            dep.i(1, codrep);
            dep.row();
            dep.reset();
            by_ean.key(1, ean);
            bool found = by_ean.row();
            Stmt* a = &by_ean;
            if (found) {
                qty = quantity * static_cast<double>(by_ean.cnull(a_pezzix) ? 1 : by_ean.ci(a_pezzix));
            } else {
                by_ean.reset();
                by_12.t(1, ean.substr(0, 7) + "00000");
                found = by_12.row();
                a = &by_12;
                if (found && a->cd(a_prezzo) != 0) qty = std::nearbyint(totrig / a->cd(a_prezzo) * 1000) / 1000;
            }
            if (found) {
                article = a->ci(a_art);
                cost = a->cd(a_costof);
            } else {
                cost = totrig / 1.22;
            }
            a->reset();
        }
        if (list_rowid != 0) {
            list_q[3] += qty;
            const double qgia = list_q[0] + list_q[1] - list_q[2] - list_q[3];
            list_set.d(1, list_q[0]).d(2, list_q[1]).d(3, list_q[2]).d(4, list_q[3]).d(5, qgia)
                .d(6, qgia * cofart).d(7, cofart).d(8, std::floor(bdator)).d(9, qultven + qty).i(10, list_rowid).run();
        }
        if (barcode_rowid == 0 && rung.size() == 13 && rung != no_barcode && rung[0] != '2') {
            // A barcode the stamp did not read (the rung-up one differs from the resolved one).
            code_eq.key(1, rung);
            if (code_eq.row()) {
                barcode_rowid = code_eq.ci(c_rowid);
                for (int k = 0; k < 4; ++k) code_q[k] = code_eq.cd(c_einv + k);
            }
            code_eq.reset();
        }
        if (barcode_rowid != 0) {
            code_q[3] += qty;
            const double egia = code_q[0] + code_q[1] - code_q[2] - code_q[3];
            if (stamp_with_stock) {
                code_set_stamped.d(1, today).d(2, code_q[0]).d(3, code_q[1]).d(4, code_q[2]).d(5, code_q[3])
                    .d(6, egia).t(7, " ").i(8, barcode_rowid).run();
            } else {
                code_set.d(1, code_q[0]).d(2, code_q[1]).d(3, code_q[2]).d(4, code_q[3]).d(5, egia).t(6, " ")
                    .i(7, barcode_rowid).run();
            }
        }
        if (!lines.cnull(l_tessera) && lines.ci(l_tipo) == 23) {
            const std::string card = lines.ct(l_tessera);
            cust.key(1, card);
            if (cust.row()) {
                const std::int64_t r = cust.ci(k_rowid);
                const std::int64_t earned = cust.ci(k_cum) + static_cast<std::int64_t>(qty);
                const std::string name = cust.ct(k_name);
                cust.reset();
                cust_set.i(1, earned).i(2, earned).t(3, "A").i(4, r).run();
                journal.key(1, card).d(2, std::floor(bdator)).i(3, lines.ci(l_bnumer)).i(4, 1).i(5, 23);
                const bool seen = journal.row();
                journal.reset();
                if (!seen) journal_add.i(1, 23).d(2, bdator).d(3, lines.cd(l_bora)).t(4, card).i(5, 1)
                               .i(6, lines.ci(l_bnumer)).i(7, static_cast<std::int64_t>(qty)).t(8, name).run();
            } else {
                cust.reset();
            }
        }
        row.i(1, numero).i(2, ++bns).d(3, bdator).i(4, article).t(5, "PZ").d(6, lines.cd(l_prezzo)).d(7, cost)
            .d(8, cost).d(9, qty).t(10, lines.ct(l_des).substr(0, 50)).d(11, totrig / 1.22).d(12, totrig)
            .t(13, rung).d(14, quantity).t(15, ".").d(16, lines.cd(l_sconto)).t(17, " ").t(18, " ").i(19, 0)
            .i(20, codrep).t(21, "REPARTO").d(22, qty * cost).i(23, lines.ci(l_bnumer)).d(24, lines.cd(l_bora))
            .t(25, lines.ct(l_bflag1)).i(26, 0);
        if (lines.cnull(l_tessera)) row.null(27);
        else row.t(27, lines.ct(l_tessera));
        row.t(28, lines.ct(l_descli)).t(29, lines.ct(l_piva)).t(30, lines.ct(l_codfis)).t(31, lines.ct(l_battuta)).run();
        ledger.i(1, 1).t(2, "movimenti").i(3, id).run();
        if (bns == 1 || count % 1000 == 0) regis.t(1, " ").i(2, header_rowid).run();
        to_mark.push_back(id);
        if (to_mark.size() == 1000) mark_all();
    }
    mark_all();
    lines.reset();
    exec(db, "COMMIT");
    const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    sqlite3_close(db);
    return static_cast<double>(count) / seconds;
}

// ---- the import ----

struct Figures {
    double import_lines_per_second = 0;
    double raw_lines_per_second = 0;
    double longest_register_hold_ms = 0;
    double commit_share = 0;     // of the import's time, in central commits
    double register_share = 0;   // of the import's time, holding the register
    double peak_mb = 0;
    double reads_per_line = 0;   // pages the import read from the back-office files, per line
    long long lines = 0;
    int batches = 0;
    int held = 0;                // lines spoiled for the run, each to be held
    double build_seconds = 0;
    bool ok = false;
};

// Cache misses of the back-office connection (the articles file and the files attached to
// it) so far: each is one page read from a file.
long long pages_read(data::Database& central) {
    int current = 0;
    int highest = 0;
    if (sqlite3_db_status(central.handle(), SQLITE_DBSTATUS_CACHE_MISS, &current, &highest, 0) != SQLITE_OK) return 0;
    return current;
}

sales::ImportFigures run_import(const std::filesystem::path& root, double& seconds, long long& reads) {
    platform::RootPathMap paths(root);
    platform::FixedClock clock(platform::LocalTime{2026, 12, 7, 10, 0, 0});
    LoopbackPinger pinger;
    NoStarter starter;
    frame::Context ctx(paths, clock, pinger, starter);
    // The service's own start-up: settings from the company file, the central files opened.
    if (auto started = frame::run_startup(ctx); started.outcome != frame::StartupOutcome::complete) {
        throw std::runtime_error("start-up failed: " + started.message);
    }
    const long long read_before = pages_read(ctx.databases.central());
    const auto started = Clock::now();
    auto figures = sales::Travaso_Scontrini(ctx, 1, sales::ImportTuning{});
    seconds = std::chrono::duration<double>(Clock::now() - started).count();
    reads = pages_read(ctx.databases.central()) - read_before;
    ctx.databases.close_all();
    return figures;
}

// Runs `work` in a child process and hands back what it wrote.
template <typename F>
Figures in_child(F work) {
    int fds[2];
    if (::pipe(fds) != 0) throw std::runtime_error("pipe");
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        Figures f;
        try {
            f = work();
            f.ok = true;
        } catch (const std::exception& e) {
            std::fprintf(stderr, "benchmark step failed: %s\n", e.what());
        }
        rusage usage{};
        ::getrusage(RUSAGE_SELF, &usage);
        f.peak_mb = static_cast<double>(usage.ru_maxrss) / 1024.0;
        if (::write(fds[1], &f, sizeof f) != static_cast<ssize_t>(sizeof f)) ::_exit(1);
        ::_exit(0);
    }
    ::close(fds[1]);
    Figures f;
    if (::read(fds[0], &f, sizeof f) != static_cast<ssize_t>(sizeof f)) f.ok = false;
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return f;
}


std::filesystem::path shop_root(const std::filesystem::path& base, int articles) {
    return base / ("shop-" + std::to_string(articles));
}

// Builds the shop for one catalogue size, in a child process of its own.
Figures build(const std::filesystem::path& base, int articles, int lines, Mix mix) {
    const auto root = shop_root(base, articles);
    std::filesystem::remove_all(root);
    std::filesystem::create_directories(root);
    Figures built = in_child([&] {
        const auto started = Clock::now();
        build_shop(root, articles, lines, mix);
        Figures f;
        f.build_seconds = std::chrono::duration<double>(Clock::now() - started).count();
        return f;
    });
    if (!built.ok) throw std::runtime_error("building the shop failed");
    Figures f;  // the builder's own memory is not the import's
    f.build_seconds = built.build_seconds;
    return f;
}

// Measures the raw limit and the import once on a built shop (put back afterwards) and
// keeps into `best` the best rate of each, since other work on the machine only ever
// slows a run down, and the worst register hold and peak memory.
// With `bad_every` > 0, one line in that many is spoiled before the import (and the raw
// limit is not measured): every line but those must be taken, and those held.
void measure_once(const std::filesystem::path& base, int articles, int lines, Figures& best, int bad_every = 0) {
    const auto root = shop_root(base, articles);
    Figures raw = bad_every > 0 ? Figures{.ok = true} : in_child([&] {
        Figures f;
        f.raw_lines_per_second = raw_lines_per_second(root);
        reset_shop(root);
        return f;
    });
    if (!raw.ok) throw std::runtime_error("the raw run failed");
    ::sync();  // the raw run's unsynced pages are written back before the import, not during it
    Figures imported = in_child([&] {
        double seconds = 0;
        long long reads = 0;
        const int spoiled = bad_every > 0 ? spoil_lines(root, bad_every) : 0;
        auto figures = run_import(root, seconds, reads);
        if (bad_every > 0) mend_lines(root, bad_every);
        reset_shop(root);
        Figures f;
        f.held = spoiled;
        f.lines = figures.lines;
        f.batches = figures.batches;
        f.import_lines_per_second = static_cast<double>(figures.lines) / seconds;
        f.reads_per_line = static_cast<double>(reads) / static_cast<double>(std::max<long long>(figures.lines, 1));
        f.longest_register_hold_ms = static_cast<double>(figures.longest_register_hold.count()) / 1000.0;
        f.commit_share = static_cast<double>(figures.central_commit_time.count()) / 1e6 / seconds;
        f.register_share = static_cast<double>(figures.register_time.count()) / 1e6 / seconds;
        return f;
    });
    if (!imported.ok || imported.lines + imported.held != lines) {
        throw std::runtime_error("the import did not take every line it could");
    }
    best.held = imported.held;
    best.raw_lines_per_second = std::max(best.raw_lines_per_second, raw.raw_lines_per_second);
    if (imported.import_lines_per_second > best.import_lines_per_second) {
        best.import_lines_per_second = imported.import_lines_per_second;
        best.commit_share = imported.commit_share;
        best.reads_per_line = imported.reads_per_line;
        best.register_share = imported.register_share;
        best.batches = imported.batches;
        best.lines = imported.lines;
    }
    best.longest_register_hold_ms = std::max(best.longest_register_hold_ms, imported.longest_register_hold_ms);
    best.peak_mb = std::max(best.peak_mb, imported.peak_mb);
}

}  // namespace

int main(int argc, char** argv) {
    // --profile DIR: builds one shop in DIR (kept) and runs only the import, in this
    // process, so that a profiler attached to it sees the import alone.
    std::filesystem::path profile_root;
    Mix mix = Mix::uniform;
    int bad_every = 0;  // --bad-lines N: also measured with one line in N held
    int lines = 20000;
    int runs = 5;  // a shared machine only ever slows a run down: the best of several
    std::vector<int> sizes{10000, 200000, 1000000};
    std::filesystem::path dir = std::filesystem::temp_directory_path();
    auto usage = [&] {
        std::fprintf(stderr, "usage: %s [--lines N] [--sizes 10000,200000,1000000] [--mix uniform|popular] [--runs N] [--dir DIR]"
                             " [--bad-lines N] [--profile DIR]\n", argv[0]);
        return 2;
    };
    for (int i = 1; i < argc; i += 2) {
        const std::string option = argv[i];
        if (i + 1 == argc) return usage();  // an option without its value, or --help
        if (option == "--lines") lines = std::atoi(argv[i + 1]);
        else if (option == "--runs") runs = std::max(1, std::atoi(argv[i + 1]));
        else if (option == "--dir") dir = argv[i + 1];
        else if (option == "--profile") profile_root = argv[i + 1];
        else if (option == "--bad-lines") bad_every = std::max(2, std::atoi(argv[i + 1]));
        else if (option == "--mix") mix = std::string(argv[i + 1]) == "popular" ? Mix::popular : Mix::uniform;
        else if (option == "--sizes") {
            sizes.clear();
            std::string list = argv[i + 1];
            for (std::size_t p = 0; p < list.size();) {
                auto comma = list.find(',', p);
                sizes.push_back(std::atoi(list.substr(p, comma - p).c_str()));
                p = comma == std::string::npos ? list.size() : comma + 1;
            }
        } else {
            return usage();
        }
    }
    if (!profile_root.empty()) {
        try {
            if (!std::filesystem::exists(profile_root / "ready")) {
                std::filesystem::remove_all(profile_root);
                std::filesystem::create_directories(profile_root);
                build_shop(profile_root, sizes.front(), lines, mix);
                std::filesystem::copy(profile_root, profile_root.string() + ".orig",
                                      std::filesystem::copy_options::recursive);
                std::ofstream(profile_root / "ready") << "built";
            } else {
                std::filesystem::remove_all(profile_root);
                std::filesystem::copy(profile_root.string() + ".orig", profile_root,
                                      std::filesystem::copy_options::recursive);
                std::ofstream(profile_root / "ready") << "built";
            }
            ::sync();
            double seconds = 0;
            long long reads = 0;
            auto figures = run_import(profile_root, seconds, reads);
            std::printf("%lld lines in %.2f s: %.0f lines/s, %d batches, register held %.2f ms (%.2f s in all),"
                        " central commits %.2f s, %lld pages read\n",
                        static_cast<long long>(figures.lines), seconds, static_cast<double>(figures.lines) / seconds,
                        figures.batches, static_cast<double>(figures.longest_register_hold.count()) / 1000.0,
                        static_cast<double>(figures.register_time.count()) / 1e6,
                        static_cast<double>(figures.central_commit_time.count()) / 1e6, reads);
            return 0;
        } catch (const std::exception& e) {
            std::fprintf(stderr, "profile run failed: %s\n", e.what());
            return 1;
        }
    }
    std::error_code made;
    std::filesystem::create_directories(dir, made);
    char tmpl[4096];
    std::snprintf(tmpl, sizeof tmpl, "%s/receipt-bench-XXXXXX", dir.c_str());
    if (made || !::mkdtemp(tmpl)) {
        std::fprintf(stderr, "cannot make a working directory in %s: %s\n", dir.c_str(),
                     (made ? made.message() : std::string(std::strerror(errno))).c_str());
        return 1;
    }
    const std::filesystem::path base = tmpl;
    const sales::ImportTuning tuning;
    std::printf("receipt import: %d waiting lines (%s), batches of up to %zu lines / %lld ms\n", lines,
                mix == Mix::popular ? "80% of them from 2,000 popular articles" : "articles drawn uniformly",
                tuning.batch_lines, static_cast<long long>(tuning.batch_time.count()));
    std::printf("best of %d runs each; import time in central commits / holding the register in %%;"
                " pages the import read from the back-office files per line\n", runs);
    std::printf("%10s %12s %12s %7s %16s %10s %9s %10s %10s %8s\n", "articles", "import l/s", "raw l/s", "ratio",
                "register held ms", "peak MB", "batches", "commit/reg", "reads/line", "build s");
    std::map<int, Figures> results;
    std::map<int, Figures> with_bad;
    try {
        for (int articles : sizes) results[articles] = build(base, articles, lines, mix);
        // The shops are built without syncs: their pages must be on disk before the first
        // run, not written back behind it.
        ::sync();
        // The sizes take turns run by run, so that a slower spell of a shared machine
        // weighs on every size alike and the comparison between sizes holds.
        for (int run = 1; run <= runs; ++run) {
            std::fprintf(stderr, "run %d of %d\n", run, runs);
            for (int articles : sizes) {
                measure_once(base, articles, lines, results[articles]);
                if (bad_every > 0) measure_once(base, articles, lines, with_bad[articles], bad_every);
            }
        }
        for (int articles : sizes) {
            const Figures& f = results[articles];
            std::printf("%10d %12.0f %12.0f %7.2f %16.2f %10.1f %9d %5.0f/%-4.0f %10.2f %8.1f\n", articles,
                        f.import_lines_per_second, f.raw_lines_per_second,
                        f.import_lines_per_second / f.raw_lines_per_second, f.longest_register_hold_ms, f.peak_mb,
                        f.batches, f.commit_share * 100, f.register_share * 100, f.reads_per_line, f.build_seconds);
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "benchmark failed: %s\n", e.what());
        std::filesystem::remove_all(base);
        return 1;
    }
    std::filesystem::remove_all(base);

    std::printf("\ntargets\n");
    for (auto& [articles, f] : results) {
        const double ratio = f.import_lines_per_second / f.raw_lines_per_second;
        std::printf("  %7d articles: import/raw %.2f (>= 0.50 %s), register held %.2f ms (<= 50 %s), peak %.1f MB (< 100 %s)\n",
                    articles, ratio, ratio >= 0.5 ? "ok" : "MISSED", f.longest_register_hold_ms,
                    f.longest_register_hold_ms <= 50 ? "ok" : "MISSED", f.peak_mb, f.peak_mb < 100 ? "ok" : "MISSED");
    }
    for (auto& [articles, f] : with_bad) {
        const double kept = f.import_lines_per_second / results[articles].import_lines_per_second;
        std::printf("  %7d articles, one bad line in %d (%d held): %.0f l/s against %.0f without, %.0f%% (>= 90%% %s),"
                    " register held %.2f ms (<= 50 %s)\n",
                    articles, bad_every, f.held, f.import_lines_per_second, results[articles].import_lines_per_second,
                    kept * 100, kept >= 0.9 ? "ok" : "MISSED", f.longest_register_hold_ms,
                    f.longest_register_hold_ms <= 50 ? "ok" : "MISSED");
    }
    if (results.count(10000) && results.count(1000000)) {
        const double scale = results[1000000].import_lines_per_second / results[10000].import_lines_per_second;
        // The raw limit's own fall from the small catalogue to the large one, in the same run:
        // what the storage itself loses to the larger files. The import must keep at least
        // that share of its speed.
        const double raw_scale = results[1000000].raw_lines_per_second / results[10000].raw_lines_per_second;
        std::printf("  1,000,000 vs 10,000 articles: the import keeps %.0f%%, the raw limit %.0f%% (import >= raw %s;"
                    " 80%% %s)\n",
                    scale * 100, raw_scale * 100, scale >= raw_scale ? "ok" : "MISSED", scale >= 0.8 ? "reached" : "not reached");
        // The same fall as time added per line: what the larger files cost each side.
        auto micros = [](double lines_per_second) { return 1e6 / lines_per_second; };
        const double import_added = micros(results[1000000].import_lines_per_second) -
                                    micros(results[10000].import_lines_per_second);
        const double raw_added =
            micros(results[1000000].raw_lines_per_second) - micros(results[10000].raw_lines_per_second);
        std::printf("  per line at 1,000,000 articles: the import %.1f us more than at 10,000, the raw limit %.1f us more\n",
                    import_added, raw_added);
    }
    return 0;
}
