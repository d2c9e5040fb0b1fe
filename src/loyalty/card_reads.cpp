#include "loyalty/card_reads.h"

#include <chrono>
#include <cmath>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/register_vocabulary.h"
#include "base/text.h"
#include "data/key_set.h"
#include "data/record_set.h"
#include "data/transfer_engine.h"
#include "data/transfer_ledger.h"
#include "data/value_checks.h"
#include "loyalty/card_exchange.h"
#include "loyalty/points_update.h"
#include "platform/clock.h"
#include "registers/reachability.h"

namespace cassasync::loyalty {

namespace {

constexpr const char* kCassaNr = "Cassa Nr.";
constexpr const char* kTesseraUguale = "TESSERA = ";
constexpr const char* kLetturaTessera = "Lettura TESSERA ";
constexpr const char* kCassaNrSpaced = " cassa Nr. ";
constexpr const char* kSenzaTessera = ": lettura senza numero di tessera";

constexpr const char* kReadings = "cartetxrx";  // register readings, also the ledger's table name
constexpr const char* kJournal = "cartetxrx";
constexpr const char* kQueue = "cartetx";
constexpr const char* kCustomers = "clienti";
constexpr const char* kStatoRicevuto = "R";
constexpr const char* kStatoLettura = "A";
constexpr std::int64_t kPending = core::kReadingPending;

const std::string kKeyIn = data::in_key_set("id");
const std::string kMarkTaken = "UPDATE cartetxrx SET flag = ?, bdat_lett = ? WHERE " + kKeyIn;
const std::string kDeleteTaken = "DELETE FROM cartetxrx WHERE " + kKeyIn;
const std::string kPendingNotSkipped = "flag = ? AND " + data::not_in_key_set("id");
constexpr const char* kStepHeld = "tessere";  // the held table's name of the card reads
constexpr const char* kHeldName = "tessera ";
constexpr const char* kCardTooLong = "tessera piu' lunga di 13 caratteri: ";

// What a reading must hold before it is journalled: point counts are whole numbers.
constexpr data::FieldCheck kReadingFields[] = {
    {"dcum", data::FieldKind::whole},
    {"dutil", data::FieldKind::whole},
};

// A batch commits its central side at once; the register is then locked only for the
// few milliseconds of deleting the batch's rows.
constexpr std::size_t kBatchReadings = 1000;
constexpr std::chrono::milliseconds kBatchTime{2000};

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

// What one batch took: its log lines, written once the central side has committed.
struct Batch {
    std::vector<std::string> lines;
    Totals totals;
};

// The pending readings of one register, walked by the transfer engine.
class CardReader : public data::RecordSetRows {
public:
    // `readings`: the register's pending readings in the order they were made.
    // `reread` reads them again after the register's software had its turn.
    CardReader(core::StepContext& ctx, int n, data::Database& central, data::Database& reg, data::RecordSet& readings,
               const Reread& reread)
        : RecordSetRows(readings, reread), ctx_(ctx), n_(n), central_(central), reg_(reg) {
        holders_ = &clienti2_.select(central, kCustomers, {}, {}, "rowid", data::Fetch::on_demand);
        journal_ = &punti_.select(central, kJournal, {}, {}, {}, data::Fetch::on_demand);
        queue_ = &carte_tx_.select(central, kQueue, {}, {}, "rowid", data::Fetch::on_demand);
    }

    // Readings whose central side committed before a failure are removed first, without
    // being journalled again; a key that now names another reading (the register's
    // database made anew) is left to be taken as the new reading it is. Must come before
    // the pending readings are read.
    static void settle(data::Database& central, data::Database& reg, int n) {
        data::TransferLedger(central).settle_unchanged(
            reg, n, kReadings, kDeleteTaken,
            [&](data::Channel& channel, const data::Value& keys) -> data::RecordSet& {
                return channel.select(reg, kReadings, kKeyIn, {keys});
            },
            [](const data::RecordSet& row) { return std::pair(row.rowid(), data::row_digest(row.values())); });
    }

    // Takes every pending reading of the register; a reading that cannot be taken is held.
    void take_all() {
        data::TransferPlan plan;
        plan.cassa = n_;
        plan.table = kReadings;
        plan.step = kStepHeld;
        plan.batch_rows = kBatchReadings;
        plan.batch_time = kBatchTime;
        plan.on_failure = data::RowFailure::hold;
        core::use_turns(ctx_, plan);
        plan.now = [this] { return platform::date_time_serial(ctx_.clock.now()); };
        plan.log = [this](const std::string& line) { ctx_.log.progress(line); };
        data::TransferEngine engine(central_, std::move(plan));
        engine.forget_vanished([&](const std::vector<std::int64_t>&) {
            std::vector<std::int64_t> waiting;
            for (rows_.move_first(); !rows_.eof(); rows_.move_next()) waiting.push_back(rows_.rowid());
            return waiting;
        });
        engine.run(*this);
    }

    std::int64_t key() const override { return rows_.rowid(); }
    std::string name() const override { return kHeldName + rows_.text("tessera"); }
    void begin_batch() override {
        batch_ = Batch{};
        batch_.totals = totals_;
    }
    void apply() override { take_one(rows_); }
    void forget() override { batch_.lines.resize(lines_before_); batch_.totals = totals_before_; }
    void mark(const std::vector<data::TransferLedger::Entry>& taken) override {
        publish(batch_);
        remove_at_register(taken);
    }

private:
    void take_one(data::RecordSet& reading) {
        lines_before_ = batch_.lines.size();
        totals_before_ = batch_.totals;
        if (auto why = data::refusal_of(reading, kReadingFields)) throw data::RowRefused(*why);
        const data::Value tessera = reading.field("tessera");
        const std::string tessera_text = data::to_text(tessera);
        // A card is a 13-character key: a longer one would never find its holder and would
        // be queued to every register for ever.
        if (base::trim_blanks(tessera_text).size() > kCardWidth) {
            throw data::RowRefused(kCardTooLong + data::shown(tessera));
        }
        const std::string cassa = std::to_string(n_);
        std::vector<std::string> lines;
        // A reading without a card number is taken like any other, but it has no holder
        // to mark and no card to send: queued, it would never leave the queue.
        const bool has_card = !base::trim_blanks(tessera_text).empty();

        const std::string bdat_scr = reading.text("bdat_scr");
        const data::Value day = date_piece(mid_characters(bdat_scr, 1, 10));
        // A text that is no date is kept as written; a date is one of the accepted days.
        if (!std::holds_alternative<std::string>(day)) {
            if (auto why = data::refusal({"bdat_scr", data::FieldKind::day}, day)) throw data::RowRefused(*why);
        }

        if (has_card && holders_->find_first({{"tessera", tessera, data::Compare::key}})) {
            holders_->edit();
            holders_->set("stat_t", data::text(kStatoRicevuto));
            holders_->update();
        }
        lines.push_back(std::string(kCassaNr) + cassa + (has_card ? kTesseraUguale + tessera_text : kSenzaTessera));

        journal_->add_new();
        journal_->set("tessera", tessera);
        journal_->set("dcum", reading.field("dcum"));
        journal_->set("dutil", reading.field("dutil"));
        journal_->set("data", day);
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

        for (auto& l : lines) batch_.lines.push_back(std::move(l));
        batch_.totals.points += points;
        batch_.totals.count += 1;
    }

    void publish(const Batch& batch) {
        for (const auto& line : batch.lines) ctx_.log.progress(line);
        totals_ = batch.totals;
        ctx_.board.set_counters(n_, counter_text(totals_.points), counter_text(static_cast<double>(totals_.count)));
    }

    // The second commit: the batch's readings marked taken and deleted in one short
    // register transaction; the engine then clears their ledger entries.
    void remove_at_register(const std::vector<data::TransferLedger::Entry>& taken) {
        std::vector<std::int64_t> keys;
        keys.reserve(taken.size());
        for (const auto& entry : taken) keys.push_back(entry.key);
        const data::Value taken_at = data::real(platform::date_time_serial(ctx_.clock.now()));
        const data::Value key_set = data::key_set(keys);
        data::Transaction tx(reg_);
        reg_.execute(kMarkTaken, {data::integer(core::kReadingTaken), taken_at, key_set});
        reg_.execute(kDeleteTaken, {key_set});
        tx.commit();
    }

    core::StepContext& ctx_;
    int n_;
    data::Database& central_;
    data::Database& reg_;
    data::Channel clienti2_{"clienti2"}, punti_{"punti"}, carte_tx_{"carteTX"};
    data::RecordSet* holders_ = nullptr;
    data::RecordSet* journal_ = nullptr;
    data::RecordSet* queue_ = nullptr;
    Totals totals_;
    Batch batch_;
    std::size_t lines_before_ = 0;
    Totals totals_before_;
};

// The readings of an answering register taken; nothing happens for one that does not
// answer.
void take_readings(core::StepContext& ctx, int n) {
    const std::string path = card_register_path(ctx, n);
    if (!registers::Verifica_Cassa(ctx.pinger, path)) return;
    data::Database& central = ctx.databases.central();
    data::Database& reg = ctx.databases.open(path, data::FileRole::register_share);
    CardReader::settle(central, reg, n);
    data::Channel caselle("caselle");
    // Readings this run has held are left out of a read after a turn: they wait for the next run.
    const auto pending = [&](const std::vector<std::int64_t>& skip) -> data::RecordSet& {
        return caselle.select(reg, kReadings, kPendingNotSkipped, {data::integer(kPending), data::key_set(skip)},
                              "progressivo");
    };
    CardReader(ctx, n, central, reg, pending({}), [&](const std::vector<std::int64_t>& skip) { pending(skip); })
        .take_all();
    mark_register_done(ctx, n);
}

}  // namespace

void Leggi_Tessere_Cassa(core::StepContext& ctx, int n) {
    // With the card reads off nothing is read. A failure leaves what is still pending
    // to the next cycle.
    if (card_exchange_on(ctx.settings)) take_readings(ctx, n);
}

}  // namespace cassasync::loyalty
