// Stock and last-sale bookkeeping of the articles sold through the registers. A stock
// movement is described by a StockMovement (the article, the barcode and six signed
// quantity entries) filled by the caller and consumed by one Aggiorna_Giacenza call,
// which applies entries 1 to 4 to the price list `listi01` and to the barcode's row in
// `codean`, recomputes stock, stock value and average cost, and clears the entries.
// Aggiorna_Ultima_Vendita keeps the per-article day counter of the last sale.
//
// The tables are opened once per import run (StockTables) and searched by index per
// movement. A quantity field that is null counts as 0, so no movement is lost.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "data/table_cursor.h"
#include "data/value.h"

namespace cassasync::sales {

// Entries of the movement tables and the quantity pair each one moves.
inline constexpr int kInventoryEntry = 1;  // qinv / einv
inline constexpr int kPurchaseEntry = 2;   // qacq / eacq
inline constexpr int kReturnEntry = 3;     // qres / eres
inline constexpr int kSalesEntry = 4;      // qven / even

struct StockMovement {
    std::int32_t Articolo_Corrente = 0;      // 0: no article, nothing to move
    std::string Ean_Corrente;                // the barcode, 13 characters
    std::array<char, 6> Segni_Movimento{' ', ' ', ' ', ' ', ' ', ' '};  // '+' adds, else subtracts
    std::array<double, 6> Quantita_Movimento{};  // currency: 4 decimals

    void clear();  // entries 1 to 5: sign ' ', quantity 0
};

// The price list and barcode tables searched by their keys ("primary" on codart,
// "keyean" on eanare, a barcode found with or without its trailing blanks); opened
// once per import run. Between begin_line() and end_line()
// the row found for an article or a barcode is kept and used again by the next step of
// the same receipt line that asks for the same key (the row resolution, then the stock,
// then the last sale), so each row is read once per line, and its changes are written
// once, by end_line(). Outside a line every lookup reads afresh and every change is
// written at once. Only the fields the steps use are read.
class StockTables {
public:
    explicit StockTables(data::Database& main);
    data::TableCursor& listi01() { return listi01_; }
    data::TableCursor& codean() { return codean_; }
    // Positions listi01() on the price-list row of `codart`; false when there is none.
    bool price_list_row(std::int32_t codart);
    // Positions codean() on the first row of barcode `ean`; false when there is none.
    bool barcode_row(const std::string& ean);
    void begin_line();
    void end_line();
    // Ends a line whose writes were undone: what it held is dropped, not written.
    void abandon_line();

private:
    bool in_line_ = false;
    data::TableCursor listi01_;
    data::TableCursor codean_;
    bool holds_article_ = false;
    std::int32_t held_article_ = 0;
    bool holds_barcode_ = false;
    std::string held_barcode_;
};

// A quantity as currency: four decimals, halves to even.
double to_currency(double value);

void Aggiorna_Giacenza(StockTables& tables, StockMovement& movement);
// `sale_date` and `quantity` are the sales row's `bdator` and `quantita`.
void Aggiorna_Ultima_Vendita(StockTables& tables, std::int32_t Articolo_Corrente,
                             const data::Value& sale_date, double quantity);

}  // namespace cassasync::sales
