#include "sales/sale_registration.h"

#include <cmath>
#include <cstdint>
#include <string>

#include "sales/rounding.h"

namespace cassasync::sales {

namespace {

constexpr const char* kRegistering = "Sto registrando la vendita ";
constexpr const char* kPleaseWait = ". Attendere prego ...";
constexpr const char* kTotalling = "Calcolo i totali della vendita ...";
constexpr const char* kSale = "Vendita ";
constexpr const char* kRegistered = " REGISTRATA CON SUCCESSO.";

constexpr const char* kArticleRow = "AR";    // tipmov of an article row
constexpr const char* kExcludedRow = "A";    // bflag2 of a row left out of the totals

// A single-precision amount as currency: ten-thousandths, halves to even.
std::int64_t to_currency(float amount) {
    return std::llround(round_half_even(static_cast<double>(amount), 4) * 10000.0);
}

// Currency (ten-thousandths) rounded to cents, halves to even; exact on the integer.
double to_cents(std::int64_t units) {
    std::int64_t cents = units / 100;
    std::int64_t rest = units % 100;  // same sign as units
    if (rest > 50 || (rest == 50 && cents % 2 != 0)) ++cents;
    if (rest < -50 || (rest == -50 && cents % 2 != 0)) --cents;
    return static_cast<double>(cents) / 100.0;
}

std::string slot_field(const char* prefix, int k) { return prefix + std::string("0") + std::to_string(k); }

// Registered documents ("R") after those still waiting, each group in storage order.
constexpr const char* kWaitingFirst = "coalesce(regis = 'R', 0), rowid";

bool counts(const data::RecordSet& row) {
    if (row.is_null("tipmov") || row.is_null("bflag2") || row.is_null("totiva")) return false;
    return row.text("tipmov") == kArticleRow && row.text("bflag2") != kExcludedRow && row.number("totiva") != 0.0;
}

}  // namespace

data::RecordSet& select_day_documents(data::Channel& channel, data::Database& central, int anno, int n,
                                      long day) {
    // The receipt import dates a document with its first receipt line's `bdator`,
    // which a register may write with the time of day; the whole day is selected so
    // that such a document is found as well as one dated at midnight.
    return channel.select(central, "vente", "anno = ? and agente = ?  and dataor >= ? and dataor < ?",
                          {data::integer(anno), data::integer(n), data::integer(day), data::integer(day + 1)},
                          kWaitingFirst);
}

DocumentTotals Calcola_Totali(data::Database& central, int anno, std::int64_t numero) {
    data::Channel vendite("vendite");
    // Row order decides which code takes which slot: the document's own row order.
    data::RecordSet& rows = vendite.select(central, "venmo", "bnumer= ? and bannoc = ?",
                                           {data::integer(numero), data::integer(anno)}, "bns, rowid");

    DocumentTotals totals;
    totals.riepilogo.clear();
    for (rows.move_first(); !rows.eof(); rows.move_next()) {
        if (!counts(rows)) continue;
        const std::string code = codice_iva(rows.text("iva"));
        // A counting row without a net amount has nothing to add to the summary, and
        // its gross amount stays out of the total as well.
        if (rows.is_null("totrig")) continue;
        const double net = rows.number("totrig");
        totals.totale += rows.number("totiva");
        Cerca_Aliquota(central, totals.riepilogo, code, kSalesMode, 0.0, net);
    }

    std::int64_t taxable_units = 0;
    std::int64_t vat_units = 0;
    for (int k = 1; k <= kVatSlots; ++k) {
        const VatSlot& slot = totals.riepilogo.slots[static_cast<std::size_t>(k)];
        taxable_units += to_currency(slot.taxable);
        vat_units += to_currency(slot.vat);
    }
    totals.totimp = to_cents(taxable_units);
    totals.totiva = to_cents(vat_units);
    return totals;
}

void Registra_Vendita(data::Database& central, core::OperationLog& log, int anno, int n, long day) {
    data::Channel vente("vente");
    data::RecordSet& header = select_day_documents(vente, central, anno, n, day);
    if (header.eof()) return;

    const std::int64_t numero = header.integer("numero");
    log.progress(kRegistering + std::to_string(numero) + kPleaseWait);
    const DocumentTotals totals = Calcola_Totali(central, anno, numero);
    log.progress(kTotalling);

    header.edit();
    for (int k = 1; k <= kVatSlots; ++k) {
        const VatSlot& slot = totals.riepilogo.slots[static_cast<std::size_t>(k)];
        header.set(slot_field("imp", k), data::real(slot.taxable));
        header.set(slot_field("ims", k), data::real(slot.vat));
        header.set(slot_field("iva", k), data::text(slot.code));
    }
    header.set("totale", data::real(totals.totale));
    header.set("totimp", data::real(totals.totimp));
    header.set("totiva", data::real(totals.totiva));
    header.set("regis", data::text(kRegisteredMark));
    header.update();

    log.progress(kSale + std::to_string(numero) + kRegistered);
}

}  // namespace cassasync::sales
