#include "sales/row_resolution.h"

#include <cmath>
#include <limits>

#include "core/register_vocabulary.h"
#include "base/text.h"
#include "data/text_match.h"
#include "data/transfer_ledger.h"
#include "sales/barcode_ranking.h"
#include "sales/line_checks.h"
#include "sales/rounding.h"

namespace cassasync::sales {

using base::fixed_width;
using base::left_chars;
using base::trim_blanks;
namespace {

// The article join: one row per barcode of an article that has a price-list row.
// Searched per line by the barcode, padded and then without its blanks (index
// "keyean"), or by its first twelve characters (the expression index on substr(eanare, 1, 12)); never scanned.
constexpr const char* kVariab =
    "select codean.codare AS articoli, listi01.umart AS unitaM, listi01.cofart AS costof,"
    "listi01.cosoff AS cosoff,"
    " listi01.cosmp AS cosmp, listi01.ivart AS iva, listi01.codafo AS codafo, listi01.desgru AS desgru,"
    " listi01.desfor AS desfor, listi01.desrep as desrep, codean.eanare AS codiceEAN,"
    " listi01.przpub AS prezzo, listi01.colore,"
    " listi01.numpro AS numOfferta ,listi01.data1,listi01.data2,pezzix "
    " from codean inner join listi01 on (codean.codare = listi01.codart)";
const std::string kVariabByBarcode = std::string(kVariab) + " WHERE " + data::same_text("codean.eanare") + " LIMIT 1";
const std::string kVariabByPrefix12 =
    std::string(kVariab) + " WHERE " + data::same_text("substr(codean.eanare, 1, 12)") + " LIMIT 1";

// Stamp and description searches on `codean`, each served by an index of the schema.
const std::string kCodeanByPrefix7 = data::same_text("substr(eanare, 1, 7)");
const std::string kCodeanByDescription = data::same_text("trim(substr(desart, 1, 25))");

constexpr const char* kUnitPieces = "PZ";
constexpr const char* kNoSupplier = ".";
constexpr const char* kBlank = " ";
constexpr const char* kMarginOnCost = "S";
constexpr std::int64_t kDefaultDepartmentVat = 10;
constexpr std::int64_t kColourByAmount = 5;
constexpr std::int64_t kLastArticleRecordType = 10;
constexpr std::size_t kFreeWeightPrefixLength = 7;

constexpr const char* kQuantityPattern = "#########0.000";
constexpr const char* kAmountPattern = "#,###,##0.00";
constexpr const char* kVatCodePattern = "00";

std::int32_t to_int32(const data::Value& v, const char* what) {
    const std::int64_t n = data::to_int_or(v, 0);
    if (n < std::numeric_limits<std::int32_t>::min() || n > std::numeric_limits<std::int32_t>::max()) {
        throw data::DbError(std::string(what) + " " + std::to_string(n) + " does not fit a 32-bit code");
    }
    return static_cast<std::int32_t>(n);
}

double required_number(const data::RecordSet& rs, const char* field, const char* table, std::int64_t article) {
    const data::Value& v = rs.field(field);
    if (data::is_null(v)) {
        throw data::DbError(std::string("field ") + field + " of " + table + " is empty for article " +
                            std::to_string(article));
    }
    return data::to_double(v);
}

bool all_code_zero(const std::string& s) {
    for (char c : s)
        if (c != '\0') return false;
    return !s.empty();
}

double day_of(double serial) { return std::floor(serial); }

std::string text_or(const data::RecordSet& rs, const char* field, const char* fallback) {
    return rs.is_null(field) ? std::string(fallback) : rs.text(field);
}

}  // namespace

ReceiptLine ReceiptLine::from(const data::RecordSet& rs) {
    ReceiptLine l;
    l.id = data::to_int(rs.field("id"));
    l.identity = identity_of(rs);
    if (auto why = refusal_of(rs)) {
        l.refused = std::move(*why);
        // For the log line, when the receipt number is not what was refused. A field
        // checked after the one refused may be no number either: the line is held all the
        // same, shown without its receipt.
        try {
            if (!l.refused.starts_with("bnumer")) l.bnumer = data::to_int_or(rs.field("bnumer"), 0);
        } catch (const data::DbError&) {
            l.bnumer = 0;
        }
        return l;
    }
    l.bdator = data::to_double_or(rs.field("bdator"), 0.0);
    l.bora = data::to_double_or(rs.field("bora"), 0.0);
    l.bnumer = data::to_int_or(rs.field("bnumer"), 0);
    l.eanrig = rs.text("eanrig");
    l.descrizione = rs.text("descrizione");
    l.quantita = data::to_double_or(rs.field("quantita"), 0.0);
    l.prezzo = data::to_double_or(rs.field("prezzo"), 0.0);
    l.totrig = data::to_double_or(rs.field("totrig"), 0.0);
    l.sconto = data::to_double_or(rs.field("sconto"), 0.0);
    l.codrep = data::to_int_or(rs.field("codrep"), 0);
    l.tiporecord = data::to_int_or(rs.field("tiporecord"), 0);
    l.operatore = data::to_int_or(rs.field("operatore"), 0);
    l.numcassa = data::to_int_or(rs.field("numcassa"), 0);
    l.bflag1 = rs.field("bflag1");
    l.tessera = rs.field("tessera");
    l.descli = rs.text("descli");
    l.pivacli = rs.field("pivacli");
    l.codfis = rs.field("codfis");
    l.tipobattuta = rs.field("tipobattuta");
    return l;
}

std::int64_t ReceiptLine::identity_of(const data::RecordSet& rs) {
    return data::row_digest({rs.field("bdator"), rs.field("bora"), rs.field("bnumer"), rs.field("eanrig"),
                             rs.field("quantita"), rs.field("totrig"), rs.field("tiporecord"), rs.field("numcassa"),
                             rs.field("tessera")});
}

RowResolver::RowResolver(data::Database& main, StockTables& articles, const core::Settings& settings, long today)
    : main_(main), articles_(articles), codice_utente_(settings.Codice_Utente),
      today_(static_cast<double>(today)),
      reparti_(main, "reparti", "reparto", {"reparto", "iva", "fmarg", "marg", "descrizione"}) {
    vat_rows_ = &ivadb_.select(main_, "aliquote");
}

bool RowResolver::find_article(const std::string& sql, const data::Value& key) {
    auto& rs = variab_.query(main_, sql, {key});
    rs.move_first();
    return !rs.eof();
}

std::int64_t RowResolver::vat_rate(const std::string& code) {
    if (!vat_rows_->find_first({{"codali", data::text(code)}})) return 0;
    return data::to_int_or(vat_rows_->field("perce"), 0);
}

LineResolution RowResolver::resolve(const ReceiptLine& line) {
    LineResolution r;
    r.Ean_Corrente = fixed_width(line.eanrig, kBarcodeWidth);
    r.descrizione = fixed_width(line.descrizione, kDescriptionWidth);

    bool described = true;
    if (all_code_zero(r.Ean_Corrente)) {
        // No barcode: the line is matched by its description; quotes are no part of it.
        for (char& c : r.descrizione)
            if (c == '"') c = ' ';
        data::Channel by_description("codean");
        auto& found = by_description.select(main_, "codean", kCodeanByDescription,
                                            {data::text(trim_blanks(left_chars(r.descrizione, 25)))});
        found.move_first();
        if (found.eof()) {
            described = false;
        } else {
            r.Ean_Corrente = fixed_width(found.text("eanare"), kBarcodeWidth);
        }
    }

    if (described) {
        // Barcode stamp: the sold barcode becomes the most recent one of its article.
        data::Channel by_prefix("codean");
        data::RecordSet* barcode = nullptr;
        if (!r.Ean_Corrente.empty() && r.Ean_Corrente[0] == '2') {
            barcode = &by_prefix.select(main_, "codean", kCodeanByPrefix7,
                                        {data::text(left_chars(r.Ean_Corrente, kFreeWeightPrefixLength))});
            barcode->move_first();
            if (barcode->eof()) barcode = nullptr;
        } else if (articles_.barcode_row(r.Ean_Corrente)) {
            barcode = &articles_.codean().row();
        }
        bool listed = false;
        if (barcode) {
            r.articolo = to_int32(barcode->field("codare"), "article code");
            SistemaPrimarioSecondario(main_, r.articolo);
            if (barcode->is_null("dataagg") || barcode->number("dataagg") != today_) {
                barcode->edit();
                barcode->set("dataagg", data::Value(today_));
                barcode->update();
            }

            // Department from the article's price-list row.
            if (articles_.price_list_row(r.articolo)) {
                listed = true;
                const auto& list = articles_.listi01().row();
                r.desrep = list.is_null("desrep") ? std::string() : list.text("desrep");
                r.reparto = static_cast<std::int64_t>(required_number(list, "codrep", "listi01", r.articolo));
                if (!list.is_null("codgru")) r.codgru = to_int32(list.field("codgru"), "group code");
            }
        }
        if (!listed) r.reparto = line.codrep;

        // Department data: VAT code and the margin of unlisted articles.
        r.codice_iva = 0;
        r.fmarg.clear();
        r.marg = 0;
        if (reparti_.seek(data::Value(r.reparto))) {
            auto& dep = reparti_.row();
            r.codice_iva = dep.is_null("iva") ? kDefaultDepartmentVat : dep.integer("iva");
            if (!dep.is_null("fmarg")) r.fmarg = dep.text("fmarg");
            if (!dep.is_null("marg")) r.marg = static_cast<float>(dep.number("marg"));
            if (!dep.is_null("descrizione")) r.desrep = dep.text("descrizione");
        }

        bool found = data::find_key(data::text(r.Ean_Corrente),
                                    [this](const data::Value& form) { return find_article(kVariabByBarcode, form); });
        if (found) {
            auto& a = variab_.records();
            // A barcode that stands for no pieces is read as one piece.
            std::int64_t pieces = data::to_int_or(a.field("pezzix"), 1);
            if (pieces == 0) pieces = 1;
            r.quantita = static_cast<double>(pieces) * line.quantita;
        } else {
            // A barcode carrying price or weight: its article's barcode ends in zeros.
            r.Ean_Corrente = left_chars(line.eanrig, kFreeWeightPrefixLength) + "000000";
            found = find_article(kVariabByPrefix12, data::text(left_chars(r.Ean_Corrente, 12)));
            if (found) {
                const double price = data::to_double_or(variab_.records().field("prezzo"), 0.0);
                r.quantita = price != 0.0 ? round_half_even(line.totrig / price, 3) : 0.0;
            }
        }

        if (found) {
            auto& a = variab_.records();
            r.articolo = to_int32(a.field("articoli"), "article code");
            r.unita = text_or(a, "unitaM", kUnitPieces);
            if (!a.is_null("costof")) r.costo = static_cast<float>(a.number("costof"));
            const data::Value& from = a.field("data1");
            const data::Value& to = a.field("data2");
            const double day = day_of(line.bdator);
            if (!a.is_null("cosoff") && !data::is_null(from) && !data::is_null(to) &&
                day_of(data::to_double(from)) <= day && day <= day_of(data::to_double(to))) {
                r.costo = static_cast<float>(a.number("cosoff"));
            }
            const double price = data::to_double_or(a.field("prezzo"), 0.0);
            if (required_number(a, "colore", "listi01", r.articolo) == kColourByAmount && price != 0.0) {
                // Quantity derived from the amount (sold by value).
                r.quantita = round_half_even(line.totrig / price, 2);
            }
            if (!a.is_null("cosmp")) r.costo_medio = static_cast<float>(a.number("cosmp"));
            if (!a.is_null("iva")) r.codice_iva = a.integer("iva");
            r.codafo = text_or(a, "codafo", kBlank);
            r.desgru = text_or(a, "desgru", kBlank);
            r.desfor = text_or(a, "desfor", kBlank);
            r.offerta = !a.is_null("numOfferta") && a.number("numOfferta") > 0 ? 1 : 0;
        } else {
            // Unlisted article: priced from the line amount, net of the department's VAT
            // and, where the department says so, of its margin.
            r.quantita = line.quantita;
            r.unita = kUnitPieces;
            float net = static_cast<float>(line.totrig / (1.0 + static_cast<double>(r.codice_iva) / 100.0));
            if (r.fmarg == kMarginOnCost) net = net * (1.0f - r.marg / 100.0f);
            // The cost of one unit, not of the whole line.
            if (r.quantita != 0.0) net = static_cast<float>(static_cast<double>(net) / r.quantita);
            r.costo = net;
            r.costo_medio = net;
            r.codafo = kBlank;
            r.desgru = kBlank;
            r.desfor = kBlank;
            r.offerta = 0;
        }
    }

    if (trim_blanks(r.codafo).empty()) r.codafo = kNoSupplier;
    return r;
}

void RowResolver::fill(data::RecordSet& venmo, const ReceiptLine& line, const LineResolution& r, int anno,
                       std::int16_t numero, std::int16_t bns) {
    auto num = [](std::int64_t v) { return data::Value(v); };
    auto real = [](double v) { return data::Value(v); };
    const double costo = widen_single(r.costo);
    const std::string iva = format_number(static_cast<double>(r.codice_iva), kVatCodePattern);

    venmo.set("codute", num(codice_utente_));
    venmo.set("bannoc", num(anno));
    venmo.set("bnumer", num(numero));
    venmo.set("bns", num(bns));
    venmo.set("bdator", real(line.bdator));
    venmo.set("articoli", num(r.articolo));
    venmo.set("unitam", data::text(r.unita));
    venmo.set("prezzo", real(line.prezzo));
    venmo.set("costof", real(costo));
    venmo.set("cosmp", real(widen_single(r.costo_medio)));
    venmo.set("quantita", real(pattern_value(r.quantita, kQuantityPattern)));
    venmo.set("bflag1", data::text("V"));
    venmo.set("tipmov", data::text(line.tiporecord <= kLastArticleRecordType ? "AR" : " "));
    venmo.set("descrizione", data::text(left_chars(line.descrizione, kDescriptionWidth)));
    venmo.set("iva", data::text(iva));
    const double rate = static_cast<double>(vat_rate(iva));
    venmo.set("totrig", real(pattern_value(line.totrig * 100.0 / (rate + 100.0), kAmountPattern)));
    venmo.set("totiva", real(line.totrig));
    venmo.set("eanrig", data::text(line.eanrig));
    venmo.set("colli", real(line.quantita));
    venmo.set("codafo", data::text(left_chars(r.codafo, 10)));
    venmo.set("przpro", real(0));
    venmo.set("sconto", real(line.sconto));
    venmo.set("commesso", num(line.operatore));
    venmo.set("dscColore", data::text("1"));
    venmo.set("taglia", data::text(std::to_string(line.tiporecord)));
    venmo.set("desfor", data::text(left_chars(r.desfor, 45)));
    venmo.set("desgru", data::text(left_chars(r.desgru, 35)));
    venmo.set("codgru", num(r.codgru));
    venmo.set("annobo", num(0));
    venmo.set("numbo", num(0));
    venmo.set("provvi", real(0));
    venmo.set("codrep", num(r.reparto));
    venmo.set("desrep", data::text(left_chars(r.desrep, 30)));
    venmo.set("ricarica", real(0));
    venmo.set("totcos", real(round_half_even(r.quantita * costo, 4)));
    venmo.set("numsco", num(line.bnumer));
    venmo.set("ora", real(line.bora));
    venmo.set("numcas", num(line.numcassa));
    venmo.set("cassa", num(line.numcassa));
    venmo.set("bflag2", line.bflag1);
    venmo.set("scopro", num(r.offerta));
    venmo.set("tessera", data::is_null(line.tessera) ? data::kNull
                                                     : data::text(left_chars(data::to_text(line.tessera), core::kCardNumberLength)));
    venmo.set("descli", data::text(left_chars(line.descli, 45)));
    venmo.set("pivacli", line.pivacli);
    venmo.set("codfis", line.codfis);
    venmo.set("tipobattuta", line.tipobattuta);
}

}  // namespace cassasync::sales
