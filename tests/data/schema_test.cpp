#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "data/database.h"
#include "data/schema.h"
#include "data/text_match.h"
#include "support/shop_fixture.h"

namespace cassasync::data {
namespace {

struct KindCase {
    DatabaseKind kind;
    // table -> fields the service reads or writes there (a sample of each map's keys).
    std::vector<std::pair<std::string, std::vector<std::string>>> tables;
};

bool has_column(Database& db, const std::string& table, const std::string& column) {
    return to_int(db.scalar("SELECT count(*) FROM pragma_table_info(?) WHERE name = ? COLLATE NOCASE",
                            {text(table), text(column)})) == 1;
}

TEST(Schema, EveryKindAppliesTwiceAndHoldsTheFieldsTheTransfersUse) {
    const std::vector<KindCase> cases = {
        {DatabaseKind::company, {{"società", {"codute", "database"}}}},
        {DatabaseKind::main,
         {{"automa", {"codice", "aaa", "bbb", "escludocaselle"}},
          {"utenti", {"codutente", "nrpos"}},
          {"pv", {"codice", "proprio"}},
          {"casse", {"numero", "percorso", "percorsoint"}},
          {"clienti", {"codcliente", "tessera", "dsccliente", "stat_t", "stato", "sel", "totcard", "punticum",
                       "puntisca", "puntisal", "flagagg", "fprivacy", "codLis"}},
          {"cartetxrx", {"tessera", "dcum", "dutil", "data", "ora", "cassa", "puntovendita", "stato"}},
          {"cartetx", {"tessera", "cassa", "data", "ora", "progressivo_inviato"}},
          {"codean", {"eanare", "codare", "aggi", "pezzix", "prezzox", "even", "egia", "dataagg", "primasecon"}},
          {"listi01", {"codart", "desart", "descas", "qinv", "qacq", "qres", "qven", "qgia", "cofart", "valgia",
                       "cosmp", "dultven", "qultven", "flag_peso", "umquaco", "colore", "data1", "data2"}},
          {"aliquote", {"codali", "perce"}},
          {"reparti", {"reparto", "iva", "fmarg", "marg", "descrizione"}},
          {"numeri", {"codutente", "anno", "tipo", "descrizione", "ultnum"}},
          {"fatte", {"numero", "anno", "codtipdoc", "codPagamento", "dataUs", "fatturadascontrino", "ims07"}},
          {"fatmo", {"bnumer", "bannoc", "codtipdoc", "bns", "articoli", "unitam", "colli", "dscColore"}},
          {"registro_trasferimenti", {"cassa", "tabella", "chiave"}}}},
        {DatabaseKind::sales,
         {{"vente", {"anno", "agente", "numero", "dataor", "regis", "imp01", "ims07", "iva07", "totale", "totimp",
                     "totiva"}},
          {"venmo", {"bannoc", "bnumer", "bns", "articoli", "tipmov", "bflag2", "iva", "totrig", "totiva", "totcos",
                     "tessera", "descli", "tipobattuta"}}}},
        {DatabaseKind::loyalty, {{"movtessere", {"tipo", "data", "ora", "tessera", "numcassa", "numsco", "punti",
                                                 "descli"}}}},
        {DatabaseKind::register_db,
         {{"Semafori", {"Flag1"}},
          {"cartetxrx", {"id", "progressivo", "tessera", "dcum", "dutil", "bdat_scr", "flag", "bdat_lett"}},
          {"tessere", {"progressivo", "flag", "azione", "sel", "puntiaccum", "puntisal", "codLis"}},
          {"clienti", {"id", "codcliente", "cognome", "flagagg", "totcard", "tessera"}},
          {"codean", {"id", "eanare", "desart", "przpub", "ivart", "codrep", "tipart", "flagagg"}},
          {"movimenti", {"id", "bflag3", "aggiornogiacenza", "bdator", "bora", "eanrig", "tiporecord", "tessera",
                         "tipobattuta"}},
          {"fatte", {"id", "fl1ts", "numero", "anno", "codtipdoc", "codpagamento"}},
          {"fatmo", {"bnumer", "bannoc", "bns", "articoli", "dsccolore"}}}},
    };
    testing::TempDir dir;
    for (const auto& c : cases) {
        std::string kind(schema_name(c.kind));
        OpenOptions o;
        o.create = true;
        Database db(dir.path() / (kind + ".mdb"), o);
        ASSERT_NO_THROW(apply_schema(db, c.kind)) << kind;
        ASSERT_NO_THROW(apply_schema(db, c.kind)) << kind << " applied a second time";
        for (const auto& [table, fields] : c.tables) {
            for (const auto& f : fields) {
                EXPECT_TRUE(has_column(db, table, f)) << kind << "." << table << "." << f;
            }
        }
    }
}

TEST(Schema, NewBackOfficeFilesTakeSmallPagesAndExistingFilesKeepTheirs) {
    testing::TempDir dir;
    OpenOptions o;
    o.create = true;
    auto page_size = [](Database& db) { return to_int(db.scalar("PRAGMA page_size")); };
    for (DatabaseKind kind : {DatabaseKind::main, DatabaseKind::sales, DatabaseKind::loyalty}) {
        Database db(dir.path() / (std::string(schema_name(kind)) + ".mdb"), o);
        apply_schema(db, kind);
        EXPECT_EQ(page_size(db), kCentralPageSize) << schema_name(kind);
    }
    // A register's file and the company file are not the back office's to size.
    Database reg(dir.path() / "register.mdb", o);
    apply_schema(reg, DatabaseKind::register_db);
    EXPECT_EQ(page_size(reg), 4096);

    // A file that already holds data keeps its page size and its rows.
    Database old(dir.path() / "old.mdb", o);
    old.exec("PRAGMA page_size=4096; CREATE TABLE listi01 (codart INTEGER); INSERT INTO listi01 VALUES (7)");
    apply_schema(old, DatabaseKind::main);
    EXPECT_EQ(page_size(old), 4096);
    EXPECT_EQ(to_int(old.scalar("SELECT codart FROM listi01")), 7);
}

struct Lookup {
    std::string sql;
    std::vector<Value> params;
    const char* index;  // the index the plan must name
};

// Every lookup by a text key, as the steps write it, and the index that serves it. A
// key is sought one form at a time: each form is one parameter.
std::vector<Lookup> central_lookups() {
    const Value key = text("8001234567890");
    return {
        {"SELECT * FROM codean WHERE " + same_text("\"eanare\""), {key}, "keyean"},
        {"SELECT * FROM codean INNER JOIN listi01 ON (codean.codare = listi01.codart) WHERE " +
             same_text("codean.eanare") + " LIMIT 1",
         {key}, "keyean"},
        {"SELECT * FROM codean WHERE " + same_text("substr(codean.eanare, 1, 12)"), {text("800123456789")},
         "codean_eanare12"},
        {"SELECT * FROM codean WHERE " + same_text("substr(eanare, 1, 7)"), {text("2123456")}, "codean_eanare7"},
        {"SELECT * FROM codean WHERE " + same_text("trim(substr(desart, 1, 25))"), {text("PANE")}, "codean_desart25"},
        {"SELECT * FROM listi01 WHERE \"codart\" = ?", {integer(1)}, "primary"},
        {"SELECT * FROM clienti WHERE " + same_text("\"tessera\"") + " ORDER BY rowid LIMIT 1", {key},
         "clienti_tessera"},
        {"SELECT * FROM clienti WHERE " + same_text("stat_t"), {text("R")}, "clienti_stat_t"},
        {"SELECT * FROM cartetx WHERE " + same_text("\"tessera\"") + " AND \"cassa\" = ?", {key, integer(1)},
         "cartetx_tessera_cassa"},
        {"SELECT * FROM aliquote WHERE " + same_text("\"codali\""), {text("22")}, "codali"},
        {"SELECT * FROM fidel.movtessere WHERE " + same_text("\"tessera\"") +
             " AND \"data\" = ? AND \"numsco\" = ? AND \"numcassa\" = ? AND \"tipo\" = ?",
         {key, real(46000), integer(1), integer(1), integer(23)}, "movtessere_chiave"},
    };
}

void expect_indexed(Database& db, const std::vector<Lookup>& lookups) {
    for (const auto& l : lookups) {
        const std::string plan = testing::query_plan(db, l.sql, l.params);
        EXPECT_NE(plan.find(std::string("INDEX ") + l.index + " "), std::string::npos) << l.sql << " -> " << plan;
        EXPECT_EQ(plan.find("SCAN"), std::string::npos) << l.sql << " -> " << plan;
    }
}

// A main file with the loyalty file attached, as the service opens them.
struct CentralFiles {
    explicit CentralFiles(const std::filesystem::path& dir) : main(dir / "dati.mdb", created()) {
        apply_schema(main, DatabaseKind::main);
        Database loyalty(dir / "fidel.mdb", created());
        apply_schema(loyalty, DatabaseKind::loyalty);
    }
    static OpenOptions created() {
        OpenOptions o;
        o.create = true;
        return o;
    }
    Database main;
};

std::string stored_index(Database& db, const std::string& schema, const std::string& name) {
    return to_text(db.scalar("SELECT sql FROM " + schema + ".sqlite_schema WHERE type = 'index' AND name = ?", {text(name)}));
}

std::vector<std::string> names_of(const std::vector<IndexUpgrade>& upgrades) {
    std::vector<std::string> names;
    for (const auto& u : upgrades) names.push_back(u.name + (u.error.empty() ? "" : " (kept)"));
    std::sort(names.begin(), names.end());
    return names;
}

TEST(Schema, LookupsByTextKeysUseTheirIndexesAtTheBackOfficeAndAtTheRegister) {
    testing::TempDir dir;
    CentralFiles files(dir.path());
    files.main.attach(dir.path() / "fidel.mdb", "fidel");
    expect_indexed(files.main, central_lookups());
    EXPECT_TRUE(upgrade_indexes(files.main, DatabaseKind::main).empty()) << "a new file has the schema's indexes";
    EXPECT_TRUE(upgrade_indexes(files.main, DatabaseKind::loyalty, "fidel").empty());

    // A register's file keeps its own binary indexes: its lookups compare exactly.
    OpenOptions o = CentralFiles::created();
    o.role = FileRole::register_share;
    Database reg(dir.path() / "cassa.mdb", o);
    apply_schema(reg, DatabaseKind::register_db);
    const FileRole at_register = FileRole::register_share;
    expect_indexed(reg, {{"SELECT * FROM clienti WHERE " + same_text("\"tessera\"", at_register) + " ORDER BY id LIMIT 1",
                          {text("CARD1")}, "clienti_tessera"},
                         {"SELECT 1 FROM tessere WHERE progressivo = ? AND " + same_text("tessera", at_register),
                          {integer(7), text("CARD1")}, "tessere_progressivo"}});
}

TEST(Schema, AFileWithTheFirstReleasesIndexesIsUpgradedOnceAndStaysIndexed) {
    testing::TempDir dir;
    CentralFiles files(dir.path());
    Database& db = files.main;
    testing::use_case_sensitive_indexes(db);
    {
        Database loyalty(dir.path() / "fidel.mdb");
        testing::use_case_sensitive_indexes(loyalty, true);
    }
    // Two queue rows the old unique index let in, and that the new one takes as one card.
    db.execute("INSERT INTO cartetx (tessera, cassa) VALUES ('card1', 1), ('CARD1', 1)");
    db.execute("INSERT INTO codean (eanare, codare) VALUES ('12345678', 1)");
    db.attach(dir.path() / "fidel.mdb", "fidel");

    EXPECT_EQ(names_of(upgrade_indexes(db, DatabaseKind::main)),
              (std::vector<std::string>{"cartetx_tessera_cassa (kept)", "clienti_stat_t", "clienti_tessera", "codali",
                                        "codean_desart25", "codean_eanare12", "codean_eanare7", "keyean"}));
    EXPECT_EQ(names_of(upgrade_indexes(db, DatabaseKind::loyalty, "fidel")),
              (std::vector<std::string>{"movtessere_chiave"}));
    EXPECT_EQ(stored_index(db, "main", "keyean"), "CREATE INDEX keyean ON codean (eanare COLLATE NOCASE)");
    EXPECT_EQ(stored_index(db, "fidel", "movtessere_chiave"),
              "CREATE INDEX movtessere_chiave ON movtessere (tessera COLLATE NOCASE, data, numsco, numcassa, tipo)");
    EXPECT_EQ(stored_index(db, "main", "cartetx_tessera_cassa"),
              "CREATE UNIQUE INDEX cartetx_tessera_cassa ON cartetx (tessera, cassa)")
        << "the rows refused the new definition: the old index stays";
    EXPECT_EQ(to_int(db.scalar("SELECT count(*) FROM cartetx")), 2);
    EXPECT_EQ(to_int(db.scalar("SELECT codare FROM codean WHERE " + same_text("eanare"), {text("12345678")})), 1);

    // Once: only the index the rows still refuse is tried again.
    EXPECT_EQ(names_of(upgrade_indexes(db, DatabaseKind::main)), (std::vector<std::string>{"cartetx_tessera_cassa (kept)"}));
    EXPECT_TRUE(upgrade_indexes(db, DatabaseKind::loyalty, "fidel").empty());
    db.execute("DELETE FROM cartetx WHERE tessera = 'card1'");
    EXPECT_EQ(names_of(upgrade_indexes(db, DatabaseKind::main)), (std::vector<std::string>{"cartetx_tessera_cassa"}));
    EXPECT_TRUE(upgrade_indexes(db, DatabaseKind::main).empty());
    expect_indexed(db, central_lookups());
}

}  // namespace
}  // namespace cassasync::data
