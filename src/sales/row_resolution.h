// Receipt row resolution: one register receipt line becomes one sales row in `venmo`.
// The rung-up barcode is resolved to an article through a chain of fallbacks (a line
// without barcode by its description, a barcode starting with "2" stamped through its
// first seven characters, the full barcode, then the barcode as one carrying price or
// weight in its last digits); a line that matches nothing is still imported, priced
// from its department. The sold barcode is stamped with the day and the article's
// primary barcode is chosen again. The resolver is made once per import run: it keeps
// the channels and the department cursor open and searches them by index per line.
#pragma once

#include <cstdint>
#include <string>

#include "core/step_context.h"
#include "data/record_set.h"
#include "data/table_cursor.h"
#include "data/value.h"
#include "sales/stock_update.h"

namespace cassasync::sales {

inline constexpr std::size_t kBarcodeWidth = 13;
inline constexpr std::size_t kDescriptionWidth = 50;

// A register receipt line (`movimenti`) as the import reads it. Fields that are
// converted take null as 0 or empty text; texts that are only copied keep a null.
struct ReceiptLine {
    std::int64_t id = 0;  // the register's row key
    double bdator = 0;
    double bora = 0;
    std::int64_t bnumer = 0;
    std::string eanrig;
    std::string descrizione;
    double quantita = 0;
    double prezzo = 0;
    double totrig = 0;
    double sconto = 0;
    std::int64_t codrep = 0;
    std::int64_t tiporecord = 0;
    std::int64_t operatore = 0;
    std::int64_t numcassa = 0;
    data::Value bflag1;
    data::Value tessera;
    std::string descli;
    data::Value pivacli;
    data::Value codfis;
    data::Value tipobattuta;
    std::int64_t identity = 0;  // see identity_of
    // Why the line cannot be taken as it stands (see line_checks.h); empty when it can.
    // A refused line holds only its key, receipt number and identity.
    std::string refused;

    // The current row of a record set on `movimenti`.
    static ReceiptLine from(const data::RecordSet& rs);
    // A digest of what makes a rung line that line (day, time, receipt, barcode, quantity,
    // amount, kind, register, card): fields the register never changes once written. A
    // register database written anew numbers its lines from 1 again, and a key alone
    // would then name another line.
    static std::int64_t identity_of(const data::RecordSet& rs);
};

// The working values of one line; every line starts from these defaults.
struct LineResolution {
    std::string Ean_Corrente;   // 13 characters
    std::string descrizione;    // 50 characters
    std::int32_t articolo = 0;  // 0: no article
    double quantita = 0;
    std::string unita;
    float costo = 0;            // unit cost
    float costo_medio = 0;      // average cost
    std::int64_t codice_iva = 0;
    std::int64_t reparto = 0;
    std::string desrep;
    std::int32_t codgru = 0;
    std::string codafo;
    std::string desgru;
    std::string desfor;
    int offerta = 0;            // 1: the article is on offer
    std::string fmarg;
    float marg = 0;
};

class RowResolver {
public:
    // `main` is the connection holding the articles (the central one during an import);
    // `articles` the price-list and barcode cursors the line's stock update goes on to use;
    // `today` the day serial the sold barcode is stamped with.
    RowResolver(data::Database& main, StockTables& articles, const core::Settings& settings, long today);

    // Resolves the line: the barcode stamp and primary-barcode choice happen here.
    LineResolution resolve(const ReceiptLine& line);
    // Fills the new row `venmo` (after add_new) of document `numero` of year `anno`, row `bns`.
    void fill(data::RecordSet& venmo, const ReceiptLine& line, const LineResolution& r, int anno,
              std::int16_t numero, std::int16_t bns);

private:
    bool find_article(const std::string& sql, const data::Value& key);
    std::int64_t vat_rate(const std::string& code);

    data::Database& main_;
    StockTables& articles_;
    int codice_utente_;
    double today_;
    data::Channel variab_{"variab"};
    data::Channel ivadb_{"ivadb"};
    data::TableCursor reparti_;
    data::RecordSet* vat_rows_ = nullptr;
};

}  // namespace cassasync::sales
