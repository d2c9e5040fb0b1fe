// What the register changes in its own tables for the back office: barcodes, customers
// and invoices (register_side.h).
#include <iterator>
#include <utility>

#include "core/register_vocabulary.h"
#include "register_side/line_values.h"
#include "register_side/register_side.h"

namespace cassasync::register_side {

using data::DbError;
using data::Value;
using data::to_int_or;
using data::to_text;

// Article: a barcode created or changed at the register.

bool Register::article(Tally& tally, Waiter* waiter) {
    const std::string tag = "ART. CASSA " + std::to_string(number_) + " ";
    // A change only ever touches a barcode this register created itself, so that the
    // central catalogue the other registers ring from keeps its prices.
    auto& st = db_->prepare("SELECT id, eanare, desart FROM codean WHERE desart LIKE ? ORDER BY id",
                            {Value(tag + "%")});
    std::vector<std::pair<std::int64_t, std::string>> own;
    while (st.step()) own.emplace_back(to_int_or(st.column(0), 0), to_text(st.column(1)));
    st.reset();

    const double price = round_to(pick_real(0.5, 30.0), 2);
    const bool change = !own.empty() && chance(0.3);
    std::string ean;
    std::int64_t row = 0;
    if (change) {
        const auto& chosen = pick_of(own);
        row = chosen.first;
        ean = chosen.second;
    } else {
        for (int attempt = 0; attempt < 50 && ean.empty(); ++attempt) {
            const std::string twelve =
                "80" + pad_digits(number_ % 10, 1) + pad_digits(pick(0, 999999999), 9);
            const std::string candidate = twelve + ean_check_digit(twelve);
            if (candidate == kUnlistedBarcode || catalogue_.has_barcode(candidate)) continue;
            if (!data::is_null(db_->scalar("SELECT 1 FROM codean WHERE eanare = ?", {Value(candidate)})))
                continue;
            ean = candidate;
        }
        if (ean.empty()) throw DbError("no free barcode found for a new article");
    }
    const std::int64_t ivart = chance(0.5) ? 22 : 10;
    const std::int64_t codrep = department();
    const std::string desart = tag + ean.substr(8, 4);

    auto hold = take(tally, waiter);
    if (!hold) return false;
    data::Transaction tx(*db_);
    if (change) {
        db_->execute("UPDATE codean SET przpub = ?, ivart = ?, codrep = ?, flagagg = ? WHERE id = ?",
                     {Value(price), Value(ivart), Value(codrep), Value(std::string(core::kChangedAtRegister)), Value(row)});
    } else {
        db_->execute(
            "INSERT INTO codean (eanare, codare, desart, przpub, ivart, codrep, tipart, flagagg) "
            "VALUES (?,0,?,?,?,?,'0',?)",
            {Value(ean), Value(desart), Value(price), Value(ivart), Value(codrep), Value(std::string(core::kChangedAtRegister))});
    }
    tx.commit();
    ++tally.barcodes;
    tally.barcode_list.push_back(ean);
    return true;
}

// Customer: a customer created or changed at the register.

bool Register::customer(Tally& tally, Waiter* waiter) {
    static const char* const kSurnames[] = {"ROSSI", "BIANCHI", "VERDI", "ESPOSITO", "COLOMBO", "RICCI", "MARINO", "GRECO"};
    static const char* const kNames[] = {"ANNA", "MARCO", "GIULIA", "LUCA", "SARA", "PAOLO", "ELENA", "DAVIDE"};
    const std::string phone = "0" + pad_digits(pick(10000000, 99999999), 9);
    const bool change = !catalogue_.holders().empty() && chance(0.4);

    // New customers take codes and cards of this register's own range, so that two
    // registers creating customers at the same time never pick the same code.
    const std::int64_t base = static_cast<std::int64_t>(number_) * 1000000;
    Holder fresh;
    const Holder* h = nullptr;
    if (change) {
        h = &pick_of(catalogue_.holders());
    } else {
        std::int64_t next = to_int_or(db_->scalar("SELECT max(codcliente) FROM clienti WHERE codcliente > ? AND codcliente < ?",
                                                  {Value(base), Value(base + 1000000)}),
                                      base) + 1;
        auto card_of = [&](std::int64_t code) {
            const std::string twelve = "04" + pad_digits(number_, 2) + pad_digits(code - base, 8);
            return twelve + ean_check_digit(twelve);
        };
        while (catalogue_.has_customer(next) || catalogue_.has_card(card_of(next))) ++next;
        fresh.codcliente = next;
        fresh.tessera = card_of(next);
        fresh.dsccliente = std::string(kSurnames[pick(0, 7)]) + " " + std::to_string(next - base);
        fresh.nome = kNames[pick(0, 7)];
        fresh.stato = "A";
        fresh.sconto = Value(0.0);
        fresh.sel = Value(std::string("N"));
        fresh.indirizzo = Value("VIA ROMA " + std::to_string(pick(1, 200)));
        fresh.cap = Value(std::string("00100"));
        fresh.citta = Value(std::string("ROMA"));
        fresh.provincia = Value(std::string("RM"));
        fresh.codLis = Value(std::int64_t{1});
        h = &fresh;
    }
    const Value address = Value("VIA " + std::string(kSurnames[pick(0, 7)]) + " " + std::to_string(pick(1, 200)));

    auto hold = take(tally, waiter);
    if (!hold) return false;
    data::Transaction tx(*db_);
    const Value existing = db_->scalar("SELECT id FROM clienti WHERE codcliente = ? ORDER BY id", {Value(h->codcliente)});
    if (change && !data::is_null(existing)) {
        db_->execute("UPDATE clienti SET telefono1 = ?, indirizzo = ?, flagagg = ? WHERE id = ?",
                     {Value(phone), address, Value(std::string(core::kChangedAtRegister)), existing});
    } else {
        db_->execute(
            "INSERT INTO clienti (codcliente, cognome, nome, sconto, sel, indirizzo, cap, citta, provincia, codfis, "
            "piva, telefono1, telefono2, fax, note, stato, tessera, codLis, flagagg) "
            "VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)",
            {Value(h->codcliente), Value(h->dsccliente), Value(h->nome), h->sconto, h->sel,
             change ? address : h->indirizzo, h->cap, h->citta, h->provincia, h->codfis, h->piva, Value(phone),
             h->telefono2, h->fax, h->note, Value(h->stato), Value(h->tessera), h->codLis,
             Value(std::string(core::kChangedAtRegister))});
    }
    tx.commit();
    ++tally.customers;
    tally.customer_list.push_back(h->codcliente);
    return true;
}

// Invoice: an invoice issued at the register.

bool Register::invoice(Tally& tally, Waiter* waiter) {
    const auto& normal = catalogue_.of(ItemKind::normal);
    if (normal.empty() || catalogue_.holders().empty()) throw DbError("the shop has no articles or customers to invoice");
    const Holder& h = pick_of(catalogue_.holders());
    struct Row {
        const Item* item;
        double quantita, prezzo, totrig, ivato;
        bool by_barcode;
    };
    std::vector<Row> rows;
    double imponibile = 0;
    const int count = pick(1, 4);
    for (int i = 0; i < count; ++i) {
        const Item& it = pick_of(normal);
        Row r{&it, static_cast<double>(pick(1, 5)), round_to(it.przpub / 1.22, 2), 0, 0, chance(0.3)};
        r.totrig = round_to(r.prezzo * r.quantita, 2);
        r.ivato = round_to(r.totrig * 1.22, 2);
        imponibile += r.totrig;
        rows.push_back(r);
    }
    imponibile = round_to(imponibile, 2);
    const double imposta = round_to(imponibile * 0.22, 2);

    auto hold = take(tally, waiter);
    if (!hold) return false;
    const Moment m = now_moment();
    const std::int64_t anno = m.local.year;
    // Each register numbers its invoices in a range of its own.
    const std::int64_t base = static_cast<std::int64_t>(number_) * 10000;
    data::Transaction tx(*db_);
    const std::int64_t numero =
        to_int_or(db_->scalar("SELECT max(numero) FROM fatte WHERE anno = ? AND codtipdoc = ? AND numero > ? AND numero < ?",
                              {Value(anno), Value(std::string(core::kInvoiceType)), Value(base), Value(base + 10000)}),
                  base) + 1;
    db_->execute(
        "INSERT INTO fatte (codutente, anno, numero, codtipdoc, dataor, ora, cliente, dsccliente, codlis, fl1ts, regis, "
        "annofa, numfa, datafa, causa, agente, codpagamento, tipodoc, totale, totimp, totiva, imp01, iva01, ims01) "
        "VALUES (1,?,?,?,?,?,?,?,1,?,' ',?,?,?,'Vendita',?,1,'FATTURA',?,?,?,?,'22',?)",
        {Value(anno), Value(numero), Value(std::string(core::kInvoiceType)), Value(m.day), Value(m.time), Value(h.codcliente),
         Value(h.dsccliente), Value(std::string(core::kInvoiceToHandOver)), Value(anno), Value(numero), Value(m.day),
         Value(std::int64_t{number_}), Value(round_to(imponibile + imposta, 2)), Value(imponibile), Value(imposta),
         Value(imponibile), Value(imposta)});
    std::int64_t bns = 0;
    for (const auto& r : rows) {
        db_->execute(
            "INSERT INTO fatmo (codute, bannoc, bnumer, codtipdoc, bns, bdator, articoli, unitam, quantita, tipmov, "
            "descrizione, iva, prezzo, totrig, totaleivato, eanrig, codrep) VALUES (1,?,?,?,?,?,?,'PZ',?,'AR',?,'22',?,?,?,?,?)",
            {Value(anno), Value(numero), Value(std::string(core::kInvoiceType)), Value(++bns), Value(m.day),
             Value(r.by_barcode ? std::int64_t{0} : r.item->codare), Value(r.quantita), Value(r.item->desart),
             Value(r.prezzo), Value(r.totrig), Value(r.ivato), Value(r.item->eanare), Value(r.item->codrep)});
    }
    tx.commit();
    ++tally.invoices;
    tally.invoice_rows += static_cast<int>(rows.size());
    tally.invoice_list.push_back(numero);
    return true;
}

}  // namespace cassasync::register_side
