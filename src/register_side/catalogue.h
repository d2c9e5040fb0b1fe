// The shop's central catalogue as a register sees it: the articles it can ring up, the
// card holders and the departments, read from the shop's main database and never
// written (the back office owns it). Loaded when a Register starts and again now and
// then, so that articles and customers the service took in show up.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "data/value.h"

namespace cassasync::register_side {

// How an article is rung up: one piece, a carton of `pezzix` pieces, a price-or-weight
// barcode printed by the scale, or a quantity keyed in by amount.
enum class ItemKind { normal, multipack, price_weight, by_amount };

struct Item {
    std::string eanare;
    std::int64_t codare = 0;
    double pezzix = 1;
    double prezzox = 0;  // the price of all `pezzix` pieces: a carton's price
    double przpub = 0;
    std::int64_t codrep = 0;
    std::int64_t ivart = 0;
    std::string desart;
    ItemKind kind = ItemKind::normal;
};

// A customer with a loyalty card, with the fields a register copies when it changes one.
struct Holder {
    std::int64_t codcliente = 0;
    std::string tessera;
    std::string dsccliente;
    std::string nome;
    std::string stato;
    data::Value sconto, sel, indirizzo, cap, citta, provincia, codfis, piva, telefono1, telefono2, fax, note, codLis;
};

class Catalogue {
public:
    // Throws data::DbError when the file does not exist.
    void load(const std::filesystem::path& main_file);
    bool empty() const { return items_.empty(); }
    const std::vector<Item>& of(ItemKind k) const { return by_kind_.at(k); }
    const std::vector<Holder>& holders() const { return holders_; }
    const std::vector<std::int64_t>& departments() const { return departments_; }
    bool has_barcode(const std::string& ean) const { return barcodes_.count(ean) > 0; }
    bool has_card(const std::string& card) const { return cards_.count(card) > 0; }
    bool has_customer(std::int64_t code) const { return customer_codes_.count(code) > 0; }

private:
    std::vector<Item> items_;
    std::map<ItemKind, std::vector<Item>> by_kind_;
    std::vector<Holder> holders_;
    std::vector<std::int64_t> departments_;
    std::set<std::string> barcodes_;
    std::set<std::string> cards_;
    std::set<std::int64_t> customer_codes_;
};

}  // namespace cassasync::register_side
