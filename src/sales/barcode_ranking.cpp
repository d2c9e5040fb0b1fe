#include "sales/barcode_ranking.h"

#include <string>
#include <vector>

namespace cassasync::sales {
namespace {
// A barcode never stamped sorts after every stamped one.
constexpr const char* kSelect =
    "SELECT rowid, primasecon FROM \"codean\" WHERE codare = ?"
    " ORDER BY codare, dataagg DESC NULLS LAST, even DESC";
constexpr const char* kMark = "UPDATE \"codean\" SET primasecon = ? WHERE rowid = ?";

struct Ranked {
    std::int64_t rowid;
    bool primary;    // holds "P" now
    bool secondary;  // holds "S" now
};
}  // namespace

void SistemaPrimarioSecondario(data::Database& main, std::int32_t codare) {
    // Plain statements of its own rather than a record set: this runs for every line sold,
    // and it must neither use nor move the caller's position in `codean`. The rows are all
    // read before any is written.
    std::vector<Ranked> rows;
    {
        data::Statement& select = main.prepare(kSelect, {data::Value(std::int64_t{codare})});
        while (select.step()) {
            const std::string held = data::to_text(select.column(1));  // null gives ""
            rows.push_back({data::to_int(select.column(0)), held == kPrimaryBarcode, held == kSecondaryBarcode});
        }
        select.reset();
    }
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const bool first = i == 0;
        if (first ? rows[i].primary : rows[i].secondary) continue;  // already so: not rewritten
        main.execute(kMark, {data::text(first ? kPrimaryBarcode : kSecondaryBarcode), data::Value(rows[i].rowid)});
    }
}

}  // namespace cassasync::sales
