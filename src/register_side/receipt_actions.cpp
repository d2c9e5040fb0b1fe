// What the register rings up: receipts and loyalty-card readings (register_side.h).
#include <algorithm>
#include <cmath>

#include "core/register_vocabulary.h"
#include "register_side/line_values.h"
#include "register_side/register_side.h"

namespace cassasync::register_side {

using data::DbError;
using data::Value;
using data::to_int_or;

namespace {

struct Line {
    std::string eanrig;
    std::string descrizione;
    double quantita = 1;
    double prezzo = 0;
    double totrig = 0;
    std::int64_t codrep = 0;
    std::int64_t tiporecord = core::kArticleLine;
    std::string tipobattuta = core::kLineScanned;
    ItemKind kind = ItemKind::normal;
    bool unlisted = false;
};

}  // namespace

// Ring: one receipt.

bool Register::ring(Tally& tally, int article_lines, CardChoice card, Waiter* waiter) {
    if (article_lines <= 0) article_lines = pick(1, 6);
    std::vector<Line> lines;
    for (int i = 0; i < article_lines; ++i) {
        Line l;
        const int roll = pick(1, 100);
        ItemKind kind = roll <= 62 ? ItemKind::normal
                        : roll <= 74 ? ItemKind::multipack
                        : roll <= 86 ? ItemKind::price_weight
                        : roll <= 92 ? ItemKind::by_amount
                                     : ItemKind::normal;
        const bool unlisted = roll > 92 || catalogue_.empty();
        if (!unlisted && catalogue_.of(kind).empty()) kind = ItemKind::normal;
        if (unlisted || catalogue_.of(kind).empty()) {
            l.unlisted = true;
            l.eanrig = kUnlistedBarcode;
            l.descrizione = "REPARTO VARIO";
            l.prezzo = round_to(pick_real(0.5, 20.0), 2);
            l.quantita = 1;
            l.totrig = l.prezzo;
            l.codrep = department();
            l.tipobattuta = core::kLineKeyed;
        } else {
            const Item& it = pick_of(catalogue_.of(kind));
            l.kind = kind;
            l.descrizione = it.desart;
            l.codrep = it.codrep;
            switch (kind) {
                case ItemKind::normal:
                    l.eanrig = it.eanare;
                    l.quantita = pick(1, 3);
                    l.prezzo = it.przpub;
                    break;
                case ItemKind::multipack:
                    l.eanrig = it.eanare;
                    l.quantita = pick(1, 2);
                    l.prezzo = it.prezzox > 0 ? it.prezzox : round_to(it.przpub * it.pezzix, 2);
                    break;
                case ItemKind::price_weight: {
                    // The scale prints the amount in cents into digits 8 to 12.
                    const double weight = round_to(pick_real(0.150, 2.500), 3);
                    double amount = std::min(round_to(it.przpub * weight, 2), 999.99);
                    if (amount < 0.01) amount = 0.01;
                    const std::string twelve =
                        it.eanare.substr(0, 7) + pad_digits(std::llround(amount * 100), 5);
                    l.eanrig = twelve + ean_check_digit(twelve);
                    l.quantita = 1;
                    l.prezzo = amount;
                    break;
                }
                case ItemKind::by_amount: {
                    const double quantity = round_to(pick_real(0.25, 3.0), 2);
                    l.eanrig = it.eanare;
                    l.quantita = quantity;
                    l.prezzo = it.przpub;
                    break;
                }
            }
            l.totrig = round_to(l.prezzo * l.quantita, 2);
        }
        lines.push_back(std::move(l));
    }

    const Holder* holder = nullptr;
    const bool want_card = card == CardChoice::with_card || (card == CardChoice::by_chance && chance(0.3));
    if (want_card && !catalogue_.holders().empty()) holder = &pick_of(catalogue_.holders());
    if (holder) {
        double total = 0;
        for (const auto& l : lines) total += l.totrig;
        Line earned;
        earned.tiporecord = core::kPointsEarned;
        earned.descrizione = "PUNTI ACCUMULATI";
        earned.quantita = std::max(1.0, std::floor(total));
        earned.codrep = lines.front().codrep;
        earned.tipobattuta = core::kLineKeyed;
        lines.push_back(earned);
        if (chance(0.15)) {
            Line redeemed = earned;
            redeemed.tiporecord = core::kPointsRedeemed;
            redeemed.descrizione = "PUNTI UTILIZZATI";
            redeemed.quantita = pick(5, 20);
            lines.push_back(redeemed);
        }
    }

    auto hold = take(tally, waiter);
    if (!hold) return false;
    const Moment m = now_moment();
    const std::int64_t operatore = pick(1, 3);
    data::Transaction tx(*db_);
    const std::int64_t bnumer =
        to_int_or(db_->scalar("SELECT max(bnumer) FROM movimenti WHERE bdator = ? AND numcassa = ?",
                              {Value(m.day), Value(std::int64_t{number_})}),
                  0) + 1;
    for (const auto& l : lines) {
        db_->execute(
            "INSERT INTO movimenti (bflag3, aggiornogiacenza, bdator, bora, bnumer, eanrig, descrizione, quantita, "
            "prezzo, totrig, sconto, codrep, tiporecord, operatore, numcassa, bflag1, tessera, descli, tipobattuta) "
            "VALUES (?,?,?,?,?,?,?,?,?,?,0,?,?,?,?,?,?,?,?)",
            {Value(std::string(core::kLineActive)), Value(std::string(core::kLineWaiting)), Value(m.day), Value(m.time),
             Value(bnumer), Value(l.eanrig), Value(l.descrizione), Value(l.quantita), Value(l.prezzo),
             Value(l.totrig), Value(l.codrep), Value(l.tiporecord), Value(operatore), Value(std::int64_t{number_}),
             Value(std::string(core::kLineSale)), holder ? Value(holder->tessera) : Value(),
             holder ? Value(holder->dsccliente) : Value(), Value(l.tipobattuta)});
    }
    tx.commit();

    ++tally.receipts;
    for (const auto& l : lines) {
        ++tally.lines;
        if (l.tiporecord != core::kArticleLine) {
            ++tally.points_lines;
        } else if (l.unlisted) {
            ++tally.unlisted_lines;
        } else {
            ++tally.article_lines;
            if (l.kind == ItemKind::multipack) ++tally.multipack_lines;
            if (l.kind == ItemKind::price_weight) ++tally.price_weight_lines;
            if (l.kind == ItemKind::by_amount) ++tally.by_amount_lines;
        }
    }
    return true;
}

// Card: one loyalty-card reading.

bool Register::card(Tally& tally, Waiter* waiter) {
    if (catalogue_.holders().empty()) throw DbError("the shop has no customer with a card to read");
    const Holder& h = pick_of(catalogue_.holders());
    const std::int64_t dcum = pick(0, 30);
    const std::int64_t dutil = chance(0.1) ? pick(1, 10) : 0;

    auto hold = take(tally, waiter);
    if (!hold) return false;
    const Moment m = now_moment();
    const std::string stamp = platform::short_date(m.local) + platform::long_time(m.local);
    data::Transaction tx(*db_);
    std::int64_t next = to_int_or(db_->scalar("SELECT max(progressivo) FROM cartetxrx"), 0) + 1;
    if (next > core::kMaxSequence) next = 1;
    db_->execute("INSERT INTO cartetxrx (progressivo, tessera, dcum, dutil, bdat_scr, flag) VALUES (?,?,?,?,?,?)",
                 {Value(next), Value(h.tessera), Value(dcum), Value(dutil), Value(stamp), Value(core::kReadingPending)});
    tx.commit();
    ++tally.cards_read;
    tally.cards.push_back(h.tessera);
    return true;
}

}  // namespace cassasync::register_side
