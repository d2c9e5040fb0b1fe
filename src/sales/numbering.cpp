#include "sales/numbering.h"

#include <limits>
#include <string>

#include "data/record_set.h"
#include "data/text_match.h"

namespace cassasync::sales {
namespace {
constexpr const char* kSalesType = "VE";
constexpr const char* kSalesDescription = "Vendite";
const std::string kCounterSelection = "codutente = ? and anno = ? and " + data::same_text("tipo");
}  // namespace

std::int16_t Prossimo_Numero(data::Database& db, const core::Settings& settings, int anno) {
    data::Channel numeri("numeri");
    const auto user = static_cast<std::int64_t>(settings.Codice_Utente);
    auto& rs = numeri.select(db, "numeri", kCounterSelection,
                             {data::Value(user), data::Value(std::int64_t{anno}), data::text(kSalesType)});
    std::int64_t previous = 0;
    if (rs.eof()) {
        rs.add_new();
        rs.set("codutente", data::Value(user));
        rs.set("anno", data::Value(std::int64_t{anno}));
        rs.set("tipo", data::text(kSalesType));
        rs.set("descrizione", data::text(kSalesDescription));
    } else {
        previous = data::to_int(rs.field("ultnum"));
        if (previous < std::numeric_limits<std::int16_t>::min() || previous > kLastDocumentNumber) {
            throw data::DbError("sales counter of year " + std::to_string(anno) + " holds " +
                                std::to_string(previous) + ", not a 16-bit document number");
        }
        if (previous == kLastDocumentNumber) {
            throw data::DbError("overflow: the sales document numbers of year " + std::to_string(anno) +
                                " are exhausted (" + std::to_string(kLastDocumentNumber) +
                                " was the last); the counter in numeri is unchanged");
        }
        rs.edit();
    }
    const auto next = static_cast<std::int16_t>(previous + 1);
    rs.set("ultnum", data::Value(std::int64_t{next}));
    rs.update();
    return next;
}

}  // namespace cassasync::sales
