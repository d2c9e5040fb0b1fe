#include "sales/stock_update.h"

#include <cmath>
#include <string>
#include <vector>

#include "sales/rounding.h"

namespace cassasync::sales {
namespace {

constexpr std::array<const char*, 5> kListFields{"", "qinv", "qacq", "qres", "qven"};
constexpr std::array<const char*, 5> kBarcodeFields{"", "einv", "eacq", "eres", "even"};
constexpr const char* kLastSalePattern = "########0.000";

// The fields a receipt line reads or sets in each table; a price-list row has a hundred.
const std::vector<std::string> kListFieldsUsed{"codart", "codrep", "desrep", "codgru", "qinv", "qacq", "qres",
                                               "qven", "qgia", "cofart", "valgia", "cosmp", "dultven", "qultven"};
const std::vector<std::string> kBarcodeFieldsUsed{"eanare", "codare", "dataagg", "einv", "eacq", "eres", "even",
                                                  "egia", "flagean"};

// Applies entries 1 to 4 to the four quantity fields of the row being edited and
// returns the stock they give: inventory + purchases - returns - sales.
double apply_entries(data::RecordSet& row, const std::array<const char*, 5>& fields,
                     const StockMovement& movement) {
    std::array<double, 5> q{};
    for (int e = kInventoryEntry; e <= kSalesEntry; ++e) {
        const auto i = static_cast<std::size_t>(e);
        double value = data::to_double_or(row.field(fields[i]), 0.0);
        const double amount = movement.Quantita_Movimento[i];
        value = movement.Segni_Movimento[i] == '+' ? value + amount : value - amount;
        q[i] = to_currency(value);
        row.set(fields[i], data::Value(q[i]));
    }
    return to_currency(q[kInventoryEntry] + q[kPurchaseEntry] - q[kReturnEntry] - q[kSalesEntry]);
}

double day_of(double serial) { return std::floor(serial); }

}  // namespace

void StockMovement::clear() {
    for (std::size_t e = 1; e < Segni_Movimento.size(); ++e) {
        Segni_Movimento[e] = ' ';
        Quantita_Movimento[e] = 0.0;
    }
}

StockTables::StockTables(data::Database& main)
    : listi01_(main, "listi01", "codart", kListFieldsUsed), codean_(main, "codean", "eanare", kBarcodeFieldsUsed, data::Compare::key) {}

bool StockTables::price_list_row(std::int32_t codart) {
    if (in_line_ && holds_article_ && held_article_ == codart) return true;
    const bool found = listi01_.seek(data::Value(std::int64_t{codart}));
    holds_article_ = in_line_ && found;
    held_article_ = codart;
    return found;
}

bool StockTables::barcode_row(const std::string& ean) {
    if (in_line_ && holds_barcode_ && held_barcode_ == ean) return true;
    const bool found = codean_.seek(data::text(ean));
    holds_barcode_ = in_line_ && found;
    held_barcode_ = ean;
    return found;
}

void StockTables::begin_line() {
    in_line_ = true;
    holds_article_ = false;
    holds_barcode_ = false;
    // A line changes its price-list row twice (stock, last sale) and its barcode row
    // twice (stamp, stock): each row is written once, when the line ends.
    listi01_.row().hold_writes(true);
    codean_.row().hold_writes(true);
}

void StockTables::end_line() {
    in_line_ = false;
    holds_article_ = false;
    holds_barcode_ = false;
    listi01_.row().hold_writes(false);
    codean_.row().hold_writes(false);
}

void StockTables::abandon_line() {
    listi01_.row().drop_held_writes();
    codean_.row().drop_held_writes();
    end_line();
}

double to_currency(double value) { return round_half_even(value, 4); }

void Aggiorna_Giacenza(StockTables& tables, StockMovement& movement) {
    if (movement.Articolo_Corrente != 0) {
        if (tables.price_list_row(movement.Articolo_Corrente)) {
            auto& row = tables.listi01().row();
            row.edit();
            const double qgia = apply_entries(row, kListFields, movement);
            row.set("qgia", data::Value(qgia));
            const data::Value cofart = row.field("cofart");
            if (data::is_null(cofart)) {
                // No purchase cost: the stock has no value and no average cost.
                row.set("valgia", data::kNull);
                if (qgia != 0.0) row.set("cosmp", data::kNull);
            } else {
                const double valgia = to_currency(qgia * data::to_double(cofart));
                row.set("valgia", data::Value(valgia));
                if (qgia != 0.0) row.set("cosmp", data::Value(to_currency(valgia / qgia)));
            }
            row.update();
        }
        if (tables.barcode_row(movement.Ean_Corrente)) {
            auto& row = tables.codean().row();
            row.edit();
            row.set("egia", data::Value(apply_entries(row, kBarcodeFields, movement)));
            row.set("flagean", data::text(" "));
            row.update();
        }
    }
    movement.clear();
}

void Aggiorna_Ultima_Vendita(StockTables& tables, std::int32_t Articolo_Corrente,
                             const data::Value& sale_date, double quantity) {
    if (!tables.price_list_row(Articolo_Corrente)) return;
    auto& row = tables.listi01().row();
    const double sale_day = day_of(data::to_double_or(sale_date, 0.0));
    row.edit();
    double sold_today = data::to_double_or(row.field("qultven"), 0.0);
    const data::Value last_day = row.field("dultven");
    // The day counter restarts on a new day; a sale without a previous date keeps it.
    if (!data::is_null(last_day) && day_of(data::to_double(last_day)) != sale_day) sold_today = 0.0;
    row.set("dultven", data::Value(sale_day));
    row.set("qultven", data::Value(pattern_value(quantity + sold_today, kLastSalePattern)));
    row.update();
}

}  // namespace cassasync::sales
