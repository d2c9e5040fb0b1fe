// Loading the central catalogue a register rings up from (catalogue.h).
#include "register_side/catalogue.h"

#include <utility>

#include "core/register_vocabulary.h"
#include "data/database.h"

namespace cassasync::register_side {

using data::Database;
using data::DbError;
using data::to_double_or;
using data::to_int_or;
using data::to_text;
namespace fs = std::filesystem;

void Catalogue::load(const fs::path& main_file) {
    if (!fs::exists(main_file)) {
        throw DbError("the shop's main database " + main_file.string() +
                      " does not exist: build the shop first (cassasync-shop init or demo)");
    }
    Database db(main_file);
    db.exec("PRAGMA query_only = ON");  // the catalogue belongs to the back office

    items_.clear();
    barcodes_.clear();
    by_kind_ = {{ItemKind::normal, {}}, {ItemKind::multipack, {}}, {ItemKind::price_weight, {}}, {ItemKind::by_amount, {}}};
    auto& st = db.prepare(
        "SELECT c.eanare, c.codare, c.pezzix, c.prezzox, l.przpub, l.codrep, l.ivart, l.desart, l.colore "
        "FROM codean c JOIN listi01 l ON l.codart = c.codare ORDER BY c.eanare");
    while (st.step()) {
        Item it;
        it.eanare = to_text(st.column(0));
        barcodes_.insert(it.eanare);
        // Only full-length barcodes: the service matches a barcode on 13 characters.
        if (it.eanare.size() != core::kBarcodeLength || it.eanare.find_first_not_of("0123456789") != std::string::npos) continue;
        it.codare = to_int_or(st.column(1), 0);
        it.pezzix = to_double_or(st.column(2), 1);
        it.prezzox = to_double_or(st.column(3), 0);
        it.przpub = to_double_or(st.column(4), 0);
        it.codrep = to_int_or(st.column(5), 0);
        it.ivart = to_int_or(st.column(6), 0);
        it.desart = to_text(st.column(7));
        const std::int64_t colore = to_int_or(st.column(8), 0);
        if (it.przpub <= 0) continue;
        if (colore == 5) {
            it.kind = ItemKind::by_amount;
        } else if (it.eanare[0] == '2' && it.eanare.compare(7, 5, "00000") == 0) {
            it.kind = ItemKind::price_weight;  // the base row of a price or weight barcode
        } else if (it.pezzix > 1) {
            it.kind = ItemKind::multipack;
        }
        by_kind_[it.kind].push_back(it);
        items_.push_back(std::move(it));
    }
    st.reset();

    holders_.clear();
    cards_.clear();
    customer_codes_.clear();
    auto& cs = db.prepare(
        "SELECT codcliente, tessera, dsccliente, nome, stato, sconto, sel, indirizzo, cap, citta, provincia, "
        "codfis, piva, telefono1, telefono2, fax, note, codLis FROM clienti ORDER BY codcliente");
    while (cs.step()) {
        Holder h;
        h.codcliente = to_int_or(cs.column(0), 0);
        h.tessera = to_text(cs.column(1));
        customer_codes_.insert(h.codcliente);
        if (!h.tessera.empty()) cards_.insert(h.tessera);
        h.dsccliente = to_text(cs.column(2));
        h.nome = to_text(cs.column(3));
        h.stato = to_text(cs.column(4));
        h.sconto = cs.column(5);
        h.sel = cs.column(6);
        h.indirizzo = cs.column(7);
        h.cap = cs.column(8);
        h.citta = cs.column(9);
        h.provincia = cs.column(10);
        h.codfis = cs.column(11);
        h.piva = cs.column(12);
        h.telefono1 = cs.column(13);
        h.telefono2 = cs.column(14);
        h.fax = cs.column(15);
        h.note = cs.column(16);
        h.codLis = cs.column(17);
        // A customer being removed ("C") is left alone; points are booked on a card
        // number of 13 characters, the width the register keeps.
        if (h.codcliente <= 0 || h.stato == "C" || h.tessera.size() != core::kCardNumberLength) continue;
        holders_.push_back(std::move(h));
    }
    cs.reset();

    departments_.clear();
    auto& ds = db.prepare("SELECT reparto FROM reparti ORDER BY reparto");
    while (ds.step()) departments_.push_back(to_int_or(ds.column(0), 0));
    ds.reset();
}

}  // namespace cassasync::register_side
