// How a register's barcode row becomes central article data: a new central barcode
// (`codean`), the edit of a register-created central barcode, a new article with its
// price-list row (`listi01`), and the price-list edit of a known barcode's article.
// Each function sets the fields of a row already put into add or edit mode by the
// caller, who writes it. `reg` is the register `codean` row being taken.
#pragma once

#include <cstdint>

#include "data/record_set.h"

namespace cassasync::masterdata {

// The day the intake runs: "today" as a day serial without time, and its year.
struct IntakeDay {
    double today = 0;
    int year = 0;
};

// A new central barcode of the new article `code`.
void fill_new_barcode(data::RecordSet& barcode, const data::RecordSet& reg, std::int32_t code);
// A central barcode that a register created earlier, updated from the register.
void update_register_barcode(data::RecordSet& barcode, const data::RecordSet& reg);
// The price-list row of a new article `code`.
void fill_new_article(data::RecordSet& article, const data::RecordSet& reg, std::int32_t code,
                      const IntakeDay& day);
// The price-list row of a known barcode's article: price, VAT, department, date.
void update_article_price(data::RecordSet& article, const data::RecordSet& reg, const IntakeDay& day);

}  // namespace cassasync::masterdata
