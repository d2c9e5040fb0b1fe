// The VAT summary of one sales document and the lookup that fills it. `Riepilogo_Iva`
// has seven slots, one per distinct VAT code of the document in the order the codes
// first occur; `Cerca_Aliquota` finds a code's rate in the main database's `aliquote`
// and adds one row's taxable amount and VAT to the code's slot. The summary belongs to
// the caller (the sale registration), which clears it per document and copies it into
// the document header afterwards; it is valid only in between.
#pragma once

#include <array>
#include <string>
#include <string_view>

#include "data/database.h"

namespace cassasync::sales {

// Two blanks: the code of a free slot.
inline constexpr const char* kFreeSlot = "  ";
// Slots 1..7 are used; the summary is indexed 0..10 as the documents' field numbers are.
inline constexpr int kVatSlots = 7;
// The sales mode: the only mode in which the summary is changed.
inline constexpr const char* kSalesMode = "V";

struct VatSlot {
    std::string code = kFreeSlot;
    float taxable = 0.0f;  // single precision, as the header's imp0k fields
    float vat = 0.0f;      // single precision, as the header's ims0k fields
};

struct Riepilogo_Iva {
    std::array<VatSlot, 11> slots;
    // Slots 1..7 back to free with both amounts 0; the others are left alone.
    void clear();
};

// A VAT code as the lookup takes it (`Codice_Iva`): left-justified, padded with blanks
// and cut to two characters.
std::string codice_iva(std::string_view value);

// Adds one row to `riepilogo` in mode "V" (any other mode changes nothing): the net
// amount to the taxable amount of the slot holding `Codice_Iva` (or of the first free
// slot, which takes the code) and net × rate / 100 to its VAT. When a gross amount is
// passed and is greater than the net amount, the net amount becomes
// gross / (1 + rate / 100) at 4 decimals. With all seven slots taken by other codes the
// row adds nothing. The rate is `aliquote.perce` of the code on the central connection
// (the main database), rounded to a whole number; a missing code has rate 0.
// A missing table or a null rate raises data::DbError.
void Cerca_Aliquota(data::Database& central, Riepilogo_Iva& riepilogo, std::string_view Codice_Iva,
                    std::string_view mode, double gross, double net);

}  // namespace cassasync::sales
