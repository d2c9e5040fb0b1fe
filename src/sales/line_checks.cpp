#include "sales/line_checks.h"

#include "data/value_checks.h"

namespace cassasync::sales {

namespace {

constexpr data::FieldCheck kFields[] = {
    {"bdator", data::FieldKind::day},       {"bora", data::FieldKind::time},
    {"bnumer", data::FieldKind::whole},     {"quantita", data::FieldKind::amount},
    {"prezzo", data::FieldKind::amount},    {"totrig", data::FieldKind::amount},
    {"sconto", data::FieldKind::amount},    {"codrep", data::FieldKind::whole},
    {"tiporecord", data::FieldKind::whole16}, {"operatore", data::FieldKind::whole},
    {"numcassa", data::FieldKind::whole},
};

}  // namespace

long first_receipt_day() { return data::first_accepted_day(); }
long last_receipt_day() { return data::last_accepted_day(); }

std::optional<std::string> refusal_of(const data::RecordSet& rs) { return data::refusal_of(rs, kFields); }

}  // namespace cassasync::sales
