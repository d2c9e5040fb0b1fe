#include <gtest/gtest.h>

#include "data/database.h"
#include "data/schema.h"
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

TEST(Schema, LookupsOfTheHotPathUseAnIndex) {
    testing::TempDir dir;
    OpenOptions o;
    o.create = true;
    Database db(dir.path() / "main.mdb", o);
    apply_schema(db, DatabaseKind::main);
    for (const char* sql : {"SELECT * FROM codean WHERE eanare = ?", "SELECT * FROM listi01 WHERE codart = ?",
                            "SELECT * FROM clienti WHERE tessera = ?", "SELECT * FROM cartetx WHERE cassa = ?"}) {
        std::string plan;
        Statement& st = db.prepare(std::string("EXPLAIN QUERY PLAN ") + sql, {text("1")});
        while (st.step()) plan += to_text(st.column(3)) + "; ";
        st.reset();
        EXPECT_NE(plan.find("INDEX"), std::string::npos) << sql << " -> " << plan;
    }
}

}  // namespace
}  // namespace cassasync::data
