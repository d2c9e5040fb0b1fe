// Test support for the card steps: a shop fixture with helpers to put card holders,
// register readings, queue rows and register card records in place and to read back
// the rows and counters the steps leave.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "data/database.h"
#include "data/record_set.h"
#include "frame/register_steps.h"
#include "loyalty/card_reads.h"
#include "loyalty/card_totals.h"
#include "loyalty/card_transmission.h"
#include "platform/clock.h"
#include "support/shop_fixture.h"

namespace cassasync::loyalty {

using data::Value;
using testing::Row;
using testing::insert_row;

using data::integer;
using data::text;

class CardTest : public testing::ShopTest {
protected:
    std::int64_t add_holder(const std::string& tessera, const Row& extra = {}) {
        Row row{{"tessera", text(tessera)}, {"codcliente", integer(next_code_++)}};
        for (const auto& f : extra) {
            bool replaced = false;
            for (auto& r : row) {
                if (r.first == f.first) {
                    r.second = f.second;
                    replaced = true;
                }
            }
            if (!replaced) row.push_back(f);
        }
        return insert_row(main_db(), "clienti", row);
    }

    std::int64_t add_reading(int n, std::int64_t progressivo, const std::string& tessera, Value dcum,
                             const std::string& bdat_scr = "07/12/202609:15:30", std::int64_t flag = 1) {
        return insert_row(register_db(n), "cartetxrx",
                      {{"progressivo", integer(progressivo)}, {"tessera", text(tessera)}, {"dcum", std::move(dcum)},
                       {"dutil", integer(progressivo * 100)}, {"bdat_scr", text(bdat_scr)}, {"flag", integer(flag)}});
    }

    std::int64_t queue(const std::string& tessera, int cassa, Value progressivo_inviato = data::kNull) {
        return insert_row(main_db(), "cartetx",
                      {{"tessera", text(tessera)}, {"cassa", integer(cassa)}, {"data", data::real(40000)},
                       {"ora", data::real(0.25)}, {"progressivo_inviato", std::move(progressivo_inviato)}});
    }

    core::RegisterStatus counters(int n) const {
        return ctx_->board.snapshot().registers[static_cast<std::size_t>(n)];
    }

    // The lines this test's steps wrote (start-up lines of ready() are not counted).
    std::vector<std::string> new_log() const {
        auto all = log_messages();
        return std::vector<std::string>(all.begin() + static_cast<std::ptrdiff_t>(log_mark_), all.end());
    }
    // Each card step alone, as the cycle runs it: a failure is the cycle's one log line
    // naming the step and the register, not raised.
    void receive_totals(int n) {
        frame::CycleSteps only;
        only.Ricevi_Totali_Tessere = Ricevi_Totali_Tessere;
        frame::run_register_steps(*ctx_, n, only);
    }
    void send_totals() {  // register 1's step only
        frame::CycleSteps only;
        only.Invia_Totali_Tessere = Invia_Totali_Tessere;
        frame::run_register_steps(*ctx_, 1, only);
    }
    void read_cards_alone(int n) {
        frame::CycleSteps only;
        only.Leggi_Tessere_Cassa = Leggi_Tessere_Cassa;
        frame::run_card_reads(*ctx_, n, only);
    }
    void transmit(int n) { frame::run_card_send(*ctx_, n, frame::CycleSteps::standard()); }

    void mark_log() { log_mark_ = log_messages().size(); }
    // The new lines that start with `prefix`.
    std::vector<std::string> new_lines_starting(const std::string& prefix) const {
        std::vector<std::string> out;
        for (auto& line : new_log())
            if (line.rfind(prefix, 0) == 0) out.push_back(line);
        return out;
    }

    // One field of the first row `where` selects.
    Value field(data::Database& db, const std::string& table, const std::string& column, const std::string& where,
                const std::vector<Value>& params = {}) {
        return db.scalar("SELECT \"" + column + "\" FROM \"" + table + "\" WHERE " + where + " ORDER BY rowid LIMIT 1",
                         params);
    }

    double today() const {
        auto now = clock_.now();
        return static_cast<double>(platform::day_serial(now.year, now.month, now.day));
    }
    double time_now() const {
        auto now = clock_.now();
        return (now.hour * 3600 + now.minute * 60 + now.second) / 86400.0;
    }

private:
    std::int64_t next_code_ = 100;
    std::size_t log_mark_ = 0;
};

}  // namespace cassasync::loyalty
