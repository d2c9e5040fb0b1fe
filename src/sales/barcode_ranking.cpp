#include "sales/barcode_ranking.h"

#include "data/record_set.h"

namespace cassasync::sales {
namespace {
// A barcode never stamped sorts after every stamped one.
constexpr const char* kOrder = "codare, dataagg DESC NULLS LAST, even DESC";
}  // namespace

void SistemaPrimarioSecondario(data::Database& main, std::int32_t codare) {
    // Its own channel, so that the caller's position on `codean` is not disturbed.
    data::Channel codean2("codean2");
    auto& rs = codean2.select(main, "codean", "codare = ?", {data::Value(std::int64_t{codare})}, kOrder,
                              data::Fetch::all, {"primasecon"});
    rs.move_first();
    if (rs.eof()) return;
    if (rs.is_null("primasecon") || rs.text("primasecon") != kPrimaryBarcode) {
        rs.edit();
        rs.set("primasecon", data::text(kPrimaryBarcode));
        rs.update();
    }
    for (rs.move_next(); !rs.eof(); rs.move_next()) {
        if (!rs.is_null("primasecon") && rs.text("primasecon") == kSecondaryBarcode) continue;  // already so
        rs.edit();
        rs.set("primasecon", data::text(kSecondaryBarcode));
        rs.update();
    }
}

}  // namespace cassasync::sales
