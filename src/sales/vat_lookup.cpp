#include "sales/vat_lookup.h"

#include "data/table_cursor.h"
#include "sales/rounding.h"

namespace cassasync::sales {

namespace {

constexpr const char* kVatTable = "aliquote";
constexpr const char* kVatKey = "codali";  // the table's index and key field
constexpr const char* kRateField = "perce";

int rate_of(data::RecordSet& row, std::string_view code) {
    double rate = round_half_even(row.number(kRateField), 0);
    if (rate < -32768.0 || rate > 32767.0) {
        throw data::DbError("overflow: the rate of VAT code '" + std::string(code) + "' in " + kVatTable +
                            " does not fit a 16-bit integer");
    }
    return static_cast<int>(rate);
}

}  // namespace

void Riepilogo_Iva::clear() {
    for (int k = 1; k <= kVatSlots; ++k) slots[static_cast<std::size_t>(k)] = VatSlot{};
}

std::string codice_iva(std::string_view value) {
    std::string code(value.substr(0, 2));
    code.resize(2, ' ');
    return code;
}

void Cerca_Aliquota(data::Database& central, Riepilogo_Iva& riepilogo, std::string_view Codice_Iva,
                    std::string_view mode, double gross, double net) {
    const std::string code = codice_iva(Codice_Iva);

    data::TableCursor aliquote(central, kVatTable, kVatKey);
    const int rate = aliquote.seek(data::Value(code)) ? rate_of(aliquote.row(), code) : 0;

    // Only a gross amount actually passed is turned into a net one. Without it (0) a
    // negative net amount (a return or a discount line) would be replaced by 0 and the
    // summary would no longer add up to the document's gross total; it is added as it is.
    if (gross != 0.0 && gross > net) {
        net = round_half_even(gross / (1.0 + rate / 100.0), 4);
    }

    if (mode != kSalesMode) return;

    auto& slots = riepilogo.slots;
    for (int k = 1; k <= kVatSlots; ++k) {
        VatSlot& slot = slots[static_cast<std::size_t>(k)];
        if (slot.code == code) {
            slot.taxable = static_cast<float>(static_cast<double>(slot.taxable) + net);
            slot.vat = static_cast<float>(static_cast<double>(slot.vat) + net * rate / 100.0);
            return;
        }
    }
    for (int k = 1; k <= kVatSlots; ++k) {
        VatSlot& slot = slots[static_cast<std::size_t>(k)];
        if (slot.code == kFreeSlot) {
            slot.code = code;
            slot.taxable = static_cast<float>(net);
            slot.vat = static_cast<float>(static_cast<double>(slot.taxable) * rate / 100.0);
            return;
        }
    }
    // All seven slots hold other codes: the row is not recorded.
}

}  // namespace cassasync::sales
