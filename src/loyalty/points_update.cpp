#include "loyalty/points_update.h"

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include "base/text.h"
#include "core/back_office_paths.h"
#include "data/connections.h"
#include "data/record_set.h"
#include "platform/file_system.h"

namespace cassasync::loyalty {
namespace {
constexpr const char* kFlagChanged = "A";

void check_counter(const std::string& tessera, const char* counter, std::int64_t value) {
    if (value < std::numeric_limits<std::int32_t>::min() || value > std::numeric_limits<std::int32_t>::max()) {
        throw data::DbError("card " + base::trim_blanks(tessera) + ": " + counter + " " + std::to_string(value) +
                            " does not fit a 32-bit number");
    }
}
}  // namespace

void Aggiorna_Punti(data::Database& db, const platform::PathMap& paths, const std::string& tessera, std::int16_t tipo,
                    std::int16_t punti, const data::Value& data, const data::Value& ora,
                    std::int16_t numcassa, std::int32_t numsco) {
    // The receipt day as a whole day number (halves to even), as the journal is keyed.
    const double day = std::nearbyint(data::to_double_or(data, 0.0));

    data::Channel clienti("clienti");
    auto& customer = clienti.select(db, "clienti", {}, {}, {}, data::Fetch::on_demand);
    if (!customer.find_first({{"tessera", data::text(tessera), data::Compare::key}})) return;
    const std::string descli =
        base::fixed_width(data::to_text(customer.field("dsccliente")), kJournalNameWidth);

    // Empty counters count as 0, so no movement is lost.
    std::int64_t earned = data::to_int_or(customer.field("punticum"), 0);
    std::int64_t redeemed = data::to_int_or(customer.field("puntisca"), 0);
    // Stored counters are checked first, so the sums below cannot overflow.
    check_counter(tessera, "punticum", earned);
    check_counter(tessera, "puntisca", redeemed);
    if (tipo == kPointsEarned) earned += punti;
    if (tipo == kPointsRedeemed) redeemed += punti;
    // The counters are 32-bit: a value past the limit is refused before anything is written.
    check_counter(tessera, "punticum", earned);
    check_counter(tessera, "puntisca", redeemed);
    check_counter(tessera, "puntisal", earned - redeemed);

    // The journal row of this movement key, when the journal is there; every check comes
    // before the first write.
    data::Channel carte("carte");
    data::RecordSet* journal = nullptr;
    bool known = false;
    std::int64_t journal_points = punti;
    const data::Value kind(std::int64_t{tipo});
    const data::Value till(std::int64_t{numcassa});
    const data::Value receipt(std::int64_t{numsco});
    if (platform::file_exists(paths.to_local(core::kLoyaltyPath)) && db.is_attached(data::kLoyaltySchema)) {
        journal = &carte.select(db, "movtessere", {}, {}, {}, data::Fetch::append);
        // One row per movement key. Every line reaches here once, so a second movement
        // with the same key (two earning lines on one receipt) is a movement of its own:
        // its points join the row's, and the journal sums to the counters.
        known = journal->find_first({{"tessera", data::text(tessera), data::Compare::key},
                                     {"data", data::Value(day)},
                                     {"numsco", receipt},
                                     {"numcassa", till},
                                     {"tipo", kind}});
        if (known) journal_points += data::to_int_or(journal->field("punti"), 0);
        if (journal_points < std::numeric_limits<std::int16_t>::min() ||
            journal_points > std::numeric_limits<std::int16_t>::max()) {
            throw data::DbError("card " + base::trim_blanks(tessera) + ": the journal's points of receipt " +
                                std::to_string(numsco) + " would be " + std::to_string(journal_points) +
                                ", past the 16-bit limit");
        }
    }

    customer.edit();
    if (tipo == kPointsEarned) customer.set("punticum", data::Value(earned));
    if (tipo == kPointsRedeemed) customer.set("puntisca", data::Value(redeemed));
    customer.set("puntisal", data::Value(earned - redeemed));
    customer.set("flagagg", data::text(kFlagChanged));
    customer.update();

    if (!journal) return;
    if (known) {
        journal->edit();
        journal->set("punti", data::Value(journal_points));
        journal->update();
        return;
    }
    journal->add_new();
    journal->set("tipo", kind);
    journal->set("data", data);
    journal->set("ora", ora);
    journal->set("tessera", data::text(tessera));
    journal->set("numcassa", till);
    journal->set("numsco", receipt);
    journal->set("punti", data::Value(journal_points));
    journal->set("descli", data::text(descli));
    journal->update();
}

}  // namespace cassasync::loyalty
