#include "loyalty/card_reads.h"

#include <chrono>
#include <cmath>
#include <cstdint>
#include <exception>
#include <string>
#include <string_view>
#include <vector>

#include "base/text.h"
#include "data/record_set.h"
#include "data/transfer_ledger.h"
#include "loyalty/card_exchange.h"
#include "platform/clock.h"
#include "registers/reachability.h"

namespace cassasync::loyalty {

namespace {

constexpr const char* kCassaNr = "Cassa Nr.";
constexpr const char* kTesseraUguale = "TESSERA = ";
constexpr const char* kLetturaTessera = "Lettura TESSERA ";
constexpr const char* kCassaNrSpaced = " cassa Nr. ";
constexpr const char* kSenzaTessera = ": lettura senza numero di tessera";
constexpr const char* kStepLettura = "Lettura tessere";

constexpr const char* kReadings = "cartetxrx";  // register readings, also the ledger's table name
constexpr const char* kJournal = "cartetxrx";
constexpr const char* kQueue = "cartetx";
constexpr const char* kCustomers = "clienti";
constexpr const char* kStatoRicevuto = "R";
constexpr const char* kStatoLettura = "A";
constexpr std::int64_t kPending = 1;

constexpr const char* kMarkTaken =
    "UPDATE cartetxrx SET flag = 2, bdat_lett = ? WHERE id IN (SELECT value FROM json_each(?))";
constexpr const char* kDeleteTaken = "DELETE FROM cartetxrx WHERE id IN (SELECT value FROM json_each(?))";
constexpr const char* kKeyIn = "id IN (SELECT value FROM json_each(?))";

// A batch commits its central side at once; the register is then locked only for the
// few milliseconds of deleting the batch's rows.
constexpr std::size_t kBatchReadings = 1000;
constexpr auto kBatchTime = std::chrono::seconds(2);

// "######": rounded to a whole number (halves away from zero), no leading zeros,
// empty for zero.
std::string counter_text(double value) {
    long long whole = std::llround(value);
    return whole == 0 ? std::string() : std::to_string(whole);
}

bool all_digits(std::string_view s) {
    if (s.empty()) return false;
    for (char c : s)
        if (c < '0' || c > '9') return false;
    return true;
}

// Splits "a<sep>b<sep>c" into exactly three digit groups.
bool three_parts(std::string_view s, const std::string& separators, std::string_view out[3]) {
    for (int k = 0; k < 3; ++k) {
        auto end = k < 2 ? s.find_first_of(separators) : std::string_view::npos;
        if (k < 2 && end == std::string_view::npos) return false;
        out[k] = s.substr(0, end);
        if (!all_digits(out[k])) return false;
        if (k < 2) s.remove_prefix(end + 1);
    }
    return true;
}

// The date piece of `bdat_scr` ("dd/mm/yyyy") as the day serial the central `data`
// column holds; a text that is not such a date is kept as it is, an empty one is null.
data::Value date_piece(std::string_view text) {
    std::string_view p[3];
    const std::string t = base::trim_blanks(text);
    if (t.empty()) return data::kNull;
    if (three_parts(t, "/-.", p) && p[2].size() == 4 && p[0].size() <= 2 && p[1].size() <= 2) {
        int d = std::stoi(std::string(p[0])), m = std::stoi(std::string(p[1])), y = std::stoi(std::string(p[2]));
        const std::chrono::year_month_day date{std::chrono::year{y}, std::chrono::month{static_cast<unsigned>(m)},
                                               std::chrono::day{static_cast<unsigned>(d)}};
        if (date.ok()) {
            return data::real(static_cast<double>(platform::day_serial(y, m, d)));
        }
    }
    return data::text(text);
}

// The time piece ("hh:mm:ss" or "hh:mm") as the fraction of a day the central `ora`
// column holds; a text that is not such a time is kept as it is, an empty one is null.
data::Value time_piece(std::string_view text) {
    const std::string t = base::trim_blanks(text);
    if (t.empty()) return data::kNull;
    std::string_view p[3];
    int h = -1, m = -1, s = 0;
    if (three_parts(t, ":", p) && p[0].size() <= 2 && p[1].size() <= 2 && p[2].size() <= 2) {
        h = std::stoi(std::string(p[0]));
        m = std::stoi(std::string(p[1]));
        s = std::stoi(std::string(p[2]));
    } else if (auto colon = t.find(':'); colon != std::string_view::npos && colon <= 2 &&
                                         all_digits(t.substr(0, colon)) &&
                                         all_digits(t.substr(colon + 1)) && t.size() - colon - 1 <= 2) {
        h = std::stoi(std::string(t.substr(0, colon)));
        m = std::stoi(std::string(t.substr(colon + 1)));
    }
    if (h >= 0 && h < 24 && m >= 0 && m < 60 && s >= 0 && s < 60) {
        return data::real(static_cast<double>(h * 3600 + m * 60 + s) / 86400.0);
    }
    return data::text(text);
}

double time_of_day(const platform::LocalTime& t) {
    return static_cast<double>(t.hour * 3600 + t.minute * 60 + t.second) / 86400.0;
}

struct Totals {
    double points = 0;  // sum of `dcum` taken in this call
    long count = 0;     // readings taken in this call
};

// What one batch took: the register rows to delete and its log lines, written once the
// central side has committed.
struct Batch {
    std::vector<std::int64_t> keys;
    std::vector<std::string> lines;
    Totals totals;
};

class CardReader {
public:
    CardReader(core::StepContext& ctx, int n, data::Database& central)
        : ctx_(ctx), n_(n), central_(central), ledger_(central) {
        holders_ = &clienti2_.select(central, kCustomers, {}, {}, "rowid", data::Fetch::on_demand);
        journal_ = &punti_.select(central, kJournal, {}, {}, {}, data::Fetch::on_demand);
        queue_ = &carte_tx_.select(central, kQueue, {}, {}, "rowid", data::Fetch::on_demand);
    }

    // Takes every pending reading of the register; raises on the first failure, after
    // the readings taken before it are journalled and removed from the register.
    void take_all(data::Database& reg) {
        // Readings whose central side committed before a failure are removed first,
        // without being journalled again; a key that now names another reading (the
        // register's database made anew) is left to be taken as the new reading it is.
        ledger_.settle_unchanged(
            reg, n_, kReadings, kDeleteTaken,
            [&](data::Channel& channel, const data::Value& keys) -> data::RecordSet& {
                return channel.select(reg, kReadings, kKeyIn, {keys});
            },
            [](const data::RecordSet& row) { return std::pair(row.rowid(), data::row_digest(row.values())); });
        auto& readings = caselle_.select(reg, kReadings, "flag = ?", {data::integer(kPending)}, "progressivo");
        while (!readings.eof()) {
            Batch batch = batch_from(readings);
            publish(batch);
            remove_at_register(reg, batch.keys);
            if (failure_) std::rethrow_exception(failure_);
        }
    }

private:
    Batch batch_from(data::RecordSet& readings) {
        Batch batch;
        batch.totals = totals_;
        data::Transaction tx(central_);
        const auto started = std::chrono::steady_clock::now();
        while (!readings.eof() && batch.keys.size() < kBatchReadings &&
               std::chrono::steady_clock::now() - started < kBatchTime) {
            // A failing reading leaves nothing behind; those before it are kept.
            data::Savepoint savepoint(central_, "lettura");
            try {
                take_one(readings, batch);
                savepoint.release();
            } catch (...) {
                // A failure that ended the whole transaction leaves nothing of the batch to keep.
                if (!savepoint.undo()) throw;
                failure_ = std::current_exception();
                break;
            }
            readings.move_next();
        }
        tx.commit();
        return batch;
    }

    void take_one(data::RecordSet& reading, Batch& batch) {
        const data::Value tessera = reading.field("tessera");
        const std::string tessera_text = data::to_text(tessera);
        const std::string cassa = std::to_string(n_);
        std::vector<std::string> lines;
        // A reading without a card number is taken like any other, but it has no holder
        // to mark and no card to send: queued, it would never leave the queue.
        const bool has_card = !base::trim_blanks(tessera_text).empty();

        if (has_card && holders_->find_first({{"tessera", tessera, data::Compare::key}})) {
            holders_->edit();
            holders_->set("stat_t", data::text(kStatoRicevuto));
            holders_->update();
        }
        lines.push_back(std::string(kCassaNr) + cassa + (has_card ? kTesseraUguale + tessera_text : kSenzaTessera));

        const std::string bdat_scr = reading.text("bdat_scr");
        journal_->add_new();
        journal_->set("tessera", tessera);
        journal_->set("dcum", reading.field("dcum"));
        journal_->set("dutil", reading.field("dutil"));
        journal_->set("data", date_piece(mid_characters(bdat_scr, 1, 10)));
        journal_->set("ora", time_piece(mid_characters(bdat_scr, 11, 10)));
        journal_->set("cassa", data::integer(n_));
        journal_->set("puntovendita", data::integer(ctx_.settings.Punto_Vendita));
        journal_->set("stato", data::text(kStatoLettura));
        journal_->update();

        // A missing point count adds nothing rather than losing the reading.
        const data::Value dcum = reading.is_null("dcum") ? data::integer(0) : reading.field("dcum");
        lines.push_back(std::string(kLetturaTessera) + tessera_text + kCassaNrSpaced + cassa + " " + log_number(dcum));
        const double points = data::to_double(dcum);

        // The card goes out again to every register, with the moment of this reading.
        const platform::LocalTime now = ctx_.clock.now();
        const data::Value today = data::real(static_cast<double>(platform::day_serial(now.year, now.month, now.day)));
        const data::Value time_now = data::real(time_of_day(now));
        for (int r = 1; has_card && r <= ctx_.served_registers(); ++r) {
            if (queue_->find_first({{"tessera", tessera, data::Compare::key}, {"cassa", data::integer(r)}})) {
                queue_->edit();
                // A send cut short before this reading is not recognised as done: the
                // card is sent afresh.
                queue_->set("progressivo_inviato", data::kNull);
            } else {
                queue_->add_new();
                queue_->set("tessera", tessera);
                queue_->set("cassa", data::integer(r));
            }
            queue_->set("data", today);
            queue_->set("ora", time_now);
            queue_->update();
        }

        ledger_.record(n_, kReadings, reading.rowid(), data::row_digest(reading.values()));

        batch.keys.push_back(reading.rowid());
        for (auto& l : lines) batch.lines.push_back(std::move(l));
        batch.totals.points += points;
        batch.totals.count += 1;
    }

    void publish(const Batch& batch) {
        for (const auto& line : batch.lines) ctx_.log.progress(line);
        if (batch.keys.empty()) return;
        totals_ = batch.totals;
        ctx_.board.set_counters(n_, counter_text(totals_.points), counter_text(static_cast<double>(totals_.count)));
    }

    // The second commit: the batch's readings marked taken and deleted in one short
    // register transaction, then forgotten by the ledger.
    void remove_at_register(data::Database& reg, const std::vector<std::int64_t>& keys) {
        if (keys.empty()) return;
        const data::Value taken_at = data::real(platform::date_time_serial(ctx_.clock.now()));
        {
            const data::Value taken = data::key_set(keys);
            data::Transaction tx(reg);
            reg.execute(kMarkTaken, {taken_at, taken});
            reg.execute(kDeleteTaken, {taken});
            tx.commit();
        }
        ledger_.clear(n_, kReadings, keys);
    }

    core::StepContext& ctx_;
    int n_;
    data::Database& central_;
    data::TransferLedger ledger_;
    data::Channel clienti2_{"clienti2"}, punti_{"punti"}, carte_tx_{"carteTX"}, caselle_{"caselle"};
    data::RecordSet* holders_ = nullptr;
    data::RecordSet* journal_ = nullptr;
    data::RecordSet* queue_ = nullptr;
    Totals totals_;
    std::exception_ptr failure_;
};

// The readings of an answering register taken; nothing happens for one that does not
// answer.
void take_readings(core::StepContext& ctx, int n) {
    CardReader reader(ctx, n, ctx.databases.central());
    const std::string path = card_register_path(ctx, n);
    if (!registers::Verifica_Cassa(ctx, path, n)) return;
    reader.take_all(ctx.databases.open(path, data::FileRole::register_share));
    mark_register_done(ctx, n);
}

}  // namespace

bool Leggi_Tessere_Cassa(core::StepContext& ctx, int n) {
    // With the card reads off nothing is read, and nothing can fail here.
    if (!card_exchange_on(ctx.settings)) return true;
    try {
        take_readings(ctx, n);
        return true;
    } catch (const std::exception& e) {
        // The next cycle takes what is still pending.
        card_step_failed(ctx, kStepLettura, n, e);
        return false;
    }
}

}  // namespace cassasync::loyalty
