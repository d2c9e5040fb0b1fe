// Test support for the receipt import: a shop with register 1 answering and register 2
// silent, and small builders for the catalogue (articles, barcodes, departments), the
// customers and the register's receipt lines, all written to the real files.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "data/value.h"
#include "platform/clock.h"
#include "support/shop_fixture.h"

namespace cassasync::testing {

inline const double kToday = static_cast<double>(platform::day_serial(2026, 12, 7));
inline const double kYesterday = kToday - 1;

// One receipt line as the register writes it; unset fields keep these values.
struct Line {
    double bdator = kToday;
    double bora = 0.5;
    std::int64_t bnumer = 1;
    std::string eanrig{};
    std::string descrizione = "ARTICOLO";
    double quantita = 1;
    double prezzo = 1;
    double totrig = 1;
    std::int64_t codrep = 1;
    std::int64_t tiporecord = 1;
    data::Value tessera = data::Value{};
    std::string bflag3 = "S";
    std::string aggiornogiacenza = "N";
};

class ReceiptTest : public ShopTest {
protected:
    void SetUp() override {
        add_register(1);
        add_register(2, false);
        ready();
    }

    // An article with one barcode: price `przpub`, VAT code `ivart`, department `codrep`.
    void article(std::int64_t codart, const std::string& ean, double przpub, std::int64_t ivart = 22,
                 std::int64_t codrep = 1) {
        main_db().execute(
            "INSERT INTO listi01 (codart, desart, umart, przpub, ivart, codrep, cofart, cosmp, desrep,"
            " codafo, desgru, desfor) VALUES (?,?,'NR',?,?,?,1.0,1.0,'REPARTO LISTINO','FOR1','GRUPPO','FORNITORE')",
            {data::Value(codart), data::text("ARTICOLO " + std::to_string(codart)), data::Value(przpub),
             data::Value(ivart), data::Value(codrep)});
        barcode(codart, ean);
    }
    void barcode(std::int64_t codart, const std::string& ean, std::int64_t pezzix = 1,
                 const std::string& desart = "ARTICOLO") {
        main_db().execute("INSERT INTO codean (eanare, codare, desart, pezzix) VALUES (?,?,?,?)",
                          {data::text(ean), data::Value(codart), data::text(desart), data::Value(pezzix)});
    }
    void department(std::int64_t reparto, const data::Value& iva, const data::Value& fmarg,
                    const data::Value& marg, const std::string& descrizione) {
        main_db().execute("INSERT INTO reparti (reparto, iva, fmarg, marg, descrizione) VALUES (?,?,?,?,?)",
                          {data::Value(reparto), iva, fmarg, marg, data::text(descrizione)});
    }
    std::int64_t ring(const Line& l, int n = 1) {
        auto& reg = register_db(n);
        reg.execute(
            "INSERT INTO movimenti (bflag3, aggiornogiacenza, bdator, bora, bnumer, eanrig, descrizione,"
            " quantita, prezzo, totrig, sconto, codrep, tiporecord, operatore, numcassa, bflag1, tessera,"
            " descli, pivacli, codfis, tipobattuta) VALUES (?,?,?,?,?,?,?,?,?,?,0,?,?,3,?,'X',?,'CLIENTE',"
            "'IT0001','CF0001','T')",
            {data::text(l.bflag3), data::text(l.aggiornogiacenza), data::Value(l.bdator), data::Value(l.bora),
             data::Value(l.bnumer), data::text(l.eanrig), data::text(l.descrizione), data::Value(l.quantita),
             data::Value(l.prezzo), data::Value(l.totrig), data::Value(l.codrep), data::Value(l.tiporecord),
             data::Value(std::int64_t{n}), l.tessera});
        return reg.last_insert_rowid();
    }
    // A field of the sales row made from receipt `numsco`.
    data::Value row(std::int64_t numsco, const std::string& field) {
        EXPECT_EQ(count_rows(sales_db(), "venmo", "numsco = ?", {data::Value(numsco)}), 1)
            << "one sales row for receipt " << numsco;
        return sales_db().scalar("SELECT " + field + " FROM venmo WHERE numsco = ?", {data::Value(numsco)});
    }
    // The sales counter of a year; -1 when the year has none.
    std::int64_t counter(std::int64_t anno = 2026) {
        return data::to_int_or(main_db().scalar("SELECT ultnum FROM numeri WHERE codutente=1 AND anno=? AND tipo='VE'",
                                                {data::Value(anno)}),
                               -1);
    }
    double row_number(std::int64_t numsco, const std::string& field) { return data::to_double(row(numsco, field)); }
    std::string row_text(std::int64_t numsco, const std::string& field) { return data::to_text(row(numsco, field)); }
    data::Value article_field(std::int64_t codart, const std::string& field) {
        return main_db().scalar("SELECT " + field + " FROM listi01 WHERE codart = ?", {data::Value(codart)});
    }
    data::Value barcode_field(const std::string& ean, const std::string& field) {
        return main_db().scalar("SELECT " + field + " FROM codean WHERE eanare = ?", {data::text(ean)});
    }
    std::int64_t waiting(int n = 1) {
        return count_rows(register_db(n), "movimenti", "aggiornogiacenza = 'N'");
    }
    std::int64_t ledger_entries() { return count_rows(main_db(), "registro_trasferimenti"); }
};

}  // namespace cassasync::testing
