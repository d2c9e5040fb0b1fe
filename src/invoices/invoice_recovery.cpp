#include "invoices/invoice_recovery.h"

#include "core/register_vocabulary.h"
#include "base/text.h"
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "data/record_set.h"
#include "data/text_match.h"
#include "registers/reachability.h"
#include "registers/register_directory.h"

namespace cassasync::invoices {

namespace {

constexpr const char* kLogRecovering = "Recupero fatture dalle  casse";
constexpr const char* kLogStart = "- Inizio recupero fatture ";
constexpr const char* kLogTransfer = " Inizio travaso Fattura";
constexpr const char* kLogNothing = "Non ci sono fatture da recuperare per la cassa ";
constexpr const char* kLogInvoice = " Recupero fattura del ";
constexpr const char* kLogAllDone = " Tutti i dati sono stati recuperati .OK ";
constexpr const char* kLogEnd = "- Fine recupero fatture ";

constexpr const char* kToRecover = core::kInvoiceToHandOver;
constexpr const char* kFromReceipt = "C";       // central fatturadascontrino
constexpr const char* kDefaultUnit = "PZ";
constexpr std::size_t kBarcodeLength = core::kBarcodeLength;  // the barcode field of the sales import

// Header fields copied under the same name, in the order they are written.
constexpr const char* kHeaderCopiedFirst[] = {
    "anno",  "numero",  "codtipdoc", "dataor", "ora",   "cliente", "dsccliente",
    "codsede", "dscsede", "codlis",  "fl1ts",  "regis", "commesso", "annofa",
    "numfa", "datafa",  "causa",     "spese",  "bolli", "agente"};
constexpr const char* kHeaderTotals[] = {"totale", "totimp", "totiva"};

// Row fields copied under the same name, in the order they are written.
constexpr const char* kRowKeyCopied[] = {"bannoc", "bnumer", "codtipdoc", "bns", "bdator"};
constexpr const char* kRowCopiedMiddle[] = {
    "imballo", "costof", "cosmp", "quantita", "bflag1", "bflag2", "tipmov",
    "descrizione", "iva", "prezzo", "totrig", "totaleivato", "eanrig"};
constexpr const char* kRowCopiedAfterColli[] = {"codafo", "scopro", "przpro", "sconto", "commesso"};
constexpr const char* kRowCopiedLast[] = {"taglia", "desfor", "desgru", "annobo",
                                          "numbo",  "databo", "provvi", "codrep"};

// A codtipdoc that is empty must still find its invoice again, or the invoice would
// be copied anew in every cycle: the type is compared with IS, which matches null too.
constexpr const char* kHeaderKey = "numero = ? AND anno = ? AND codtipdoc IS ?";
constexpr const char* kRowsOfInvoice = "bnumer = ? AND bannoc = ? AND codtipdoc IS ?";
constexpr const char* kRowKey = "bnumer = ? AND bannoc = ? AND codtipdoc IS ? AND bns = ?";
const std::string kCounterKey = "codutente = ? AND " + data::same_text("tipo") + " AND anno = ?";

std::int16_t as_int16(const data::RecordSet& rs, const char* field, int n) {
    const std::int64_t v = rs.integer(field);
    if (v < std::numeric_limits<std::int16_t>::min() || v > std::numeric_limits<std::int16_t>::max()) {
        throw data::DbError("register " + std::to_string(n) + ": invoice " + field + " " + std::to_string(v) +
                            " does not fit a 16-bit number");
    }
    return static_cast<std::int16_t>(v);
}

struct Invoice {
    std::int64_t numero = 0;
    std::int16_t anno = 0;
    data::Value codtipdoc;
};

class InvoiceRecovery {
public:
    InvoiceRecovery(core::OperationLog& log, const core::Settings& settings, int n, data::Database& central,
                    data::Database& reg)
        : log_(log), settings_(settings), n_(n), central_(central), reg_(reg),
          barcodes_(data3_.select(central, "codean", {}, {}, "rowid", data::Fetch::on_demand)) {}

    void recover(const data::RecordSet& header) {
        Invoice inv;
        inv.numero = header.integer("numero");
        inv.anno = as_int16(header, "anno", n_);
        inv.codtipdoc = header.field("codtipdoc");
        auto& central_header = fatte_.select(central_, "fatte", kHeaderKey, key_of(inv), "rowid");
        if (!central_header.eof()) return;  // already central; its rows are not looked at

        // Header, rows and counter commit together: a failure leaves no header whose
        // rows would then never be copied.
        data::Transaction tx(central_);
        raise_counter(inv);
        central_header.add_new();
        fill_header(central_header, header);
        log_.progress(kLogInvoice + (header.is_null("dataor")
                                             ? std::string()
                                             : platform::short_date_of_serial(header.number("dataor"))));
        central_header.update();
        // An invoice without rows is copied as its header alone.
        auto& rows = fatmo_cassa_.select(reg_, "fatmo", kRowsOfInvoice, key_of(inv), "rowid");
        for (rows.move_first(); !rows.eof(); rows.move_next()) {
            std::vector<data::Value> key = key_of(inv);
            key.push_back(data::integer(as_int16(rows, "bns", n_)));
            auto& central_row = fatmo_.select(central_, "fatmo", kRowKey, std::move(key), "rowid");
            if (!central_row.eof()) continue;
            central_row.add_new();
            fill_row(central_row, rows);
            central_row.update();
        }
        tx.commit();
    }

private:
    static std::vector<data::Value> key_of(const Invoice& inv) {
        return {data::integer(inv.numero), data::integer(inv.anno), inv.codtipdoc};
    }

    // The counter only moves up, and a missing one is not created.
    void raise_counter(const Invoice& inv) {
        auto& counter = numeri_.select(central_, "numeri", kCounterKey,
                                       {data::integer(settings_.Codice_Utente), inv.codtipdoc,
                                        data::integer(inv.anno)},
                                       "rowid");
        if (counter.eof() || counter.is_null("ultnum")) return;
        if (inv.numero <= counter.integer("ultnum")) return;
        counter.edit();
        counter.set("ultnum", data::integer(inv.numero));
        counter.update();
    }

    void fill_header(data::RecordSet& c, const data::RecordSet& r) const {
        c.set("codutente", data::integer(settings_.Codice_Utente));
        for (const char* f : kHeaderCopiedFirst) c.set(f, r.field(f));
        c.set("codPagamento", r.field("codpagamento"));
        c.set("tipodoc", r.field("tipodoc"));
        c.set("dataUs", r.field("datafa"));
        c.set("colli", data::integer(0));
        c.set("peso", data::integer(0));
        c.set("note", data::text("."));
        c.set("omaggio", data::integer(0));
        for (const char* f : kHeaderTotals) c.set(f, r.field(f));
        for (int slot = 1; slot <= 7; ++slot) {
            const std::string suffix = "0" + std::to_string(slot);
            for (const char* base : {"imp", "iva", "ims"}) {
                const std::string f = base + suffix;
                c.set(f, r.field(f));
            }
        }
        c.set("fatturadascontrino", data::text(kFromReceipt));
    }

    void fill_row(data::RecordSet& c, const data::RecordSet& r) {
        c.set("codute", data::integer(settings_.Codice_Utente));
        for (const char* f : kRowKeyCopied) c.set(f, r.field(f));
        c.set("articoli", article_of(r));
        const std::string unit = base::trim_blanks(r.text("unitam"));
        c.set("unitam", unit.empty() ? data::text(kDefaultUnit) : r.field("unitam"));
        for (const char* f : kRowCopiedMiddle) c.set(f, r.field(f));
        c.set("colli", r.field("quantita"));
        for (const char* f : kRowCopiedAfterColli) c.set(f, r.field(f));
        c.set("dscColore", r.field("dsccolore"));
        for (const char* f : kRowCopiedLast) c.set(f, r.field(f));
    }

    // A row without an article code takes the code of its barcode, when known.
    data::Value article_of(const data::RecordSet& r) {
        const data::Value& code = r.field("articoli");
        if (!data::is_null(code) && data::to_double(code) != 0) return code;
        if (barcodes_.find_first(
                {{"eanare", data::text(base::fixed_width(r.text("eanrig"), kBarcodeLength)), data::Compare::key}})) {
            return barcodes_.field("codare");
        }
        return code;
    }

    core::OperationLog& log_;
    const core::Settings& settings_;
    int n_;
    data::Database& central_;
    data::Database& reg_;
    data::Channel numeri_{"numeri"};
    data::Channel data3_{"Data3"};
    data::Channel fatte_{"fatte"};
    data::Channel fatmo_{"fatmo"};
    data::Channel fatmo_cassa_{"fatmoCassa"};
    data::RecordSet& barcodes_;
};

}  // namespace

void Recupero_Fatture(core::StepContext& ctx, int n) {
    const std::string& entry = ctx.register_entry(n);
    const std::string path = registers::Percorso_Cassa_Int(ctx.databases, ctx.settings, n);
    ctx.log.progress(kLogRecovering);
    if (registers::Verifica_Cassa(ctx.pinger, entry)) {
        ctx.log.write(kLogStart + std::to_string(n));
        ctx.log.progress(kLogTransfer);
        data::Database& reg = ctx.databases.open(path, data::FileRole::register_share);
        data::Database& central = ctx.databases.central();
        data::Channel fatte_cassa("fatteCassa");
        auto& marked = fatte_cassa.select(reg, "fatte", "fl1ts = ?", {data::text(kToRecover)}, "id");
        if (marked.eof()) {
            ctx.log.progress(kLogNothing + std::to_string(n));
        } else {
            // Nothing is written at the register: the "F" mark stays, and the central
            // header is what keeps an invoice from being copied twice.
            InvoiceRecovery recovery(ctx.log, ctx.settings, n, central, reg);
            for (marked.move_first(); !marked.eof(); marked.move_next()) recovery.recover(marked);
            ctx.log.progress(kLogAllDone);
            ctx.log.write(kLogEnd + std::to_string(n));
        }
    }
}

}  // namespace cassasync::invoices
