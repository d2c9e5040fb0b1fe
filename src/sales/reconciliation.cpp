#include "sales/reconciliation.h"

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <map>
#include <tuple>

#include "core/register_vocabulary.h"
#include "base/text.h"
#include "data/connections.h"
#include "data/database.h"
#include "data/key_set.h"
#include "data/record_set.h"
#include "loyalty/points_update.h"
#include "platform/clock.h"
#include "platform/file_system.h"
#include "sales/rounding.h"
#include "sales/sale_registration.h"

namespace cassasync::sales {

namespace {

// Lines the import takes (bflag3 "S") rung on the day, imported ("S") or waiting.
constexpr const char* kRegisterLines =
    "SELECT id, bnumer, bora, bdator, totrig, quantita, tiporecord, tessera, aggiornogiacenza FROM movimenti "
    "WHERE bflag3 = ? AND bdator >= ? AND bdator < ?";
constexpr const char* kImported = core::kLineTaken;
// The rows a register's lines became carry its number, the receipt and the line's time.
constexpr const char* kSalesRows = "SELECT numsco, ora, bdator, totiva FROM venmo WHERE cassa = ? AND bdator >= ? AND bdator < ?";
constexpr const char* kJournalPoints =
    "SELECT sum(punti) FROM fidel.movtessere WHERE tessera = ? AND data = ? AND numsco = ? AND numcassa = ? AND tipo = ?";
const std::string kRequeue =
    "UPDATE movimenti SET aggiornogiacenza = ? WHERE aggiornogiacenza = ? AND " + data::in_key_set("id");
constexpr double kCentTolerance = 0.005;

// A line as both sides know it: receipt, line time, line date.
using LineKey = std::tuple<std::int64_t, double, double>;
struct Side {
    std::int64_t count = 0;
    std::int64_t cents = 0;
    std::vector<std::int64_t> ids;  // the register's row keys (register side only)
};
// A journal row's key: card (13 characters), day, receipt, kind.
using PointsKey = std::tuple<std::string, double, std::int64_t, std::int64_t>;

std::int64_t cents_of(double amount) { return std::llround(amount * 100.0); }

std::string money(std::int64_t cents) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%s%lld.%02lld", cents < 0 ? "-" : "", static_cast<long long>(std::llabs(cents) / 100),
                  static_cast<long long>(std::llabs(cents) % 100));
    return buf;
}

std::string money(double amount) { return money(cents_of(amount)); }

LineKey key_of(const data::RecordSet& rs, const char* receipt, const char* time) {
    return {data::to_int_or(rs.field(receipt), 0), data::to_double_or(rs.field(time), 0.0),
            data::to_double_or(rs.field("bdator"), 0.0)};
}

// One more line of `total` at `key`; gives the amount, for the day's sum.
double count_line(std::map<LineKey, Side>& sides, const LineKey& key, const data::Value& total) {
    const double amount = data::to_double_or(total, 0.0);
    Side& side = sides[key];
    ++side.count;
    side.cents += cents_of(amount);
    return amount;
}

std::string line_name(const LineKey& key) {
    return "receipt " + std::to_string(std::get<0>(key)) + " line of " +
           platform::short_date_of_serial(std::get<2>(key)) + " " +
           platform::long_time(platform::from_serial(std::get<1>(key)));
}

class DayCheck {
public:
    DayCheck(data::Database& central, RegisterDayCheck& out) : out_(out), central_(central) {}

    void read_register(data::Database& reg) {
        data::Channel lines("riconciliazione");
        auto& rs = lines.query(reg, kRegisterLines, {data::text(core::kLineActive), data::integer(out_.day), data::integer(out_.day + 1)});
        for (rs.move_first(); !rs.eof(); rs.move_next()) {
            if (rs.is_null("aggiornogiacenza") || rs.text("aggiornogiacenza") != kImported) {
                ++out_.waiting_lines;
                continue;
            }
            const LineKey key = key_of(rs, "bnumer", "bora");
            out_.imported_amount += count_line(register_, key, rs.field("totrig"));
            register_[key].ids.push_back(data::to_int_or(rs.field("id"), 0));
            ++out_.imported_lines;
            add_points(rs, key);
        }
    }

    void compare_sales_rows() {
        data::Channel rows("riconciliazione_vendite");
        auto& rs = rows.query(central_, kSalesRows,
                              {data::integer(out_.n), data::integer(out_.day), data::integer(out_.day + 1)});
        std::map<LineKey, Side> central;
        for (rs.move_first(); !rs.eof(); rs.move_next()) {
            out_.sales_amount += count_line(central, key_of(rs, "numsco", "ora"), rs.field("totiva"));
            ++out_.sales_rows;
        }
        for (const auto& [key, at_register] : register_) {
            const auto found = central.find(key);
            const Side booked = found == central.end() ? Side{} : found->second;
            if (booked.count < at_register.count) {
                // Lines of one key are alike: any of them stands for the ones missing.
                out_.missing_line_keys.insert(out_.missing_line_keys.end(),
                                              at_register.ids.begin() + booked.count, at_register.ids.end());
                differ(line_name(key) + ": imported at the register, missing centrally (" +
                       std::to_string(at_register.count - booked.count) + " of " + std::to_string(at_register.count) +
                       ")");
            } else if (booked.count > at_register.count) {
                differ(line_name(key) + ": booked " + std::to_string(booked.count) + " times centrally for " +
                       std::to_string(at_register.count) + " register line(s)");
            } else if (booked.cents != at_register.cents) {
                differ(line_name(key) + ": amount " + money(at_register.cents) + " at the register, " +
                       money(booked.cents) + " centrally");
            }
        }
        for (const auto& [key, booked] : central) {
            if (!register_.count(key)) {
                differ(line_name(key) + ": " + std::to_string(booked.count) +
                       " sales row(s) without an imported register line");
            }
        }
        if (cents_of(out_.imported_amount) != cents_of(out_.sales_amount) && out_.differences.empty()) {
            differ("day total " + money(out_.imported_amount) + " at the register, " + money(out_.sales_amount) +
                   " centrally");
        }
    }

    void compare_points() {
        if (points_.empty()) return;
        if (!central_.is_attached(data::kLoyaltySchema)) {
            differ("points not compared: the loyalty file is not there");
            return;
        }
        for (const auto& [key, points] : points_) {
            const auto& [card, day, receipt, kind] = key;
            const std::int64_t journal = data::to_int_or(
                central_.scalar(kJournalPoints, {data::text(card), data::real(day), data::integer(receipt),
                                                 data::integer(out_.n), data::integer(kind)}),
                0);
            out_.line_points += points;
            out_.journal_points += journal;
            if (journal != points) {
                differ("card " + base::trim_blanks(card) + ", receipt " + std::to_string(receipt) + ", kind " +
                       std::to_string(kind) + ": " + std::to_string(points) + " points on the register's lines, " +
                       std::to_string(journal) + " in the journal");
            }
        }
    }

    void compare_registered_documents() {
        const int anno = platform::from_serial(static_cast<double>(out_.day)).year;
        data::Channel vente("vente");
        auto& header = select_day_documents(vente, central_, anno, out_.n, out_.day);
        for (header.move_first(); !header.eof(); header.move_next()) {
            if (header.is_null("regis") || header.text("regis") != kRegisteredMark) continue;
            ++out_.registered_documents;
            const std::int64_t numero = header.integer("numero");
            const DocumentTotals now = Calcola_Totali(central_, anno, numero);
            const double totale = data::to_double_or(header.field("totale"), 0.0);
            const double totimp = data::to_double_or(header.field("totimp"), 0.0);
            const double totiva = data::to_double_or(header.field("totiva"), 0.0);
            bool changed = std::fabs(totale - now.totale) >= kCentTolerance ||
                           std::fabs(totimp - now.totimp) >= kCentTolerance ||
                           std::fabs(totiva - now.totiva) >= kCentTolerance;
            for (int k = 1; k <= kVatSlots && !changed; ++k) {
                const VatSlot& slot = now.riepilogo.slots[static_cast<std::size_t>(k)];
                const std::string suffix = "0" + std::to_string(k);
                changed = std::fabs(data::to_double_or(header.field("imp" + suffix), 0.0) - slot.taxable) >=
                              kCentTolerance ||
                          std::fabs(data::to_double_or(header.field("ims" + suffix), 0.0) - slot.vat) >=
                              kCentTolerance;
            }
            if (changed) {
                differ("document " + std::to_string(numero) + " registered with total " + money(totale) +
                       " (taxable " + money(totimp) + ", VAT " + money(totiva) + "); its rows now give " +
                       money(now.totale) + " (taxable " + money(now.totimp) + ", VAT " + money(now.totiva) + ")");
            }
        }
    }

private:
    void differ(std::string what) {
        out_.verdict = Verdict::differs;
        out_.differences.push_back(std::move(what));
    }

    // Points are journalled only for a card a customer holds, under the receipt's whole day.
    void add_points(const data::RecordSet& rs, const LineKey& key) {
        const std::int64_t kind = data::to_int_or(rs.field("tiporecord"), 0);
        if (rs.is_null("tessera") || (kind != loyalty::kPointsEarned && kind != loyalty::kPointsRedeemed)) return;
        const std::string card = base::fixed_width(data::to_text(rs.field("tessera")), loyalty::kCardWidth);
        if (!customer_holds(card)) return;
        const double day = std::nearbyint(std::get<2>(key));
        points_[PointsKey{card, day, std::get<0>(key), kind}] +=
            static_cast<std::int64_t>(round_half_even(data::to_double_or(rs.field("quantita"), 0.0), 0));
    }

    bool customer_holds(const std::string& card) {
        auto& customer = clienti_.select(central_, "clienti", {}, {}, {}, data::Fetch::on_demand);
        return customer.find_first({{"tessera", data::text(card), data::Compare::key}});
    }

    RegisterDayCheck& out_;
    data::Database& central_;
    data::Channel clienti_{"clienti"};
    std::map<LineKey, Side> register_;
    std::map<PointsKey, std::int64_t> points_;
};

}  // namespace

RegisterDayCheck reconcile_register(const platform::PathMap& paths, data::Database& central, int n,
                                    const std::string& register_path, long day) {
    RegisterDayCheck out;
    out.n = n;
    out.day = day;
    const auto local = paths.to_local(register_path);
    if (register_path.empty() || !platform::file_exists(local)) {
        out.verdict = Verdict::not_checked;
        out.differences.push_back("register database " + (register_path.empty() ? std::string("(no path)") : register_path) +
                                  " cannot be reached or is missing");
        return out;
    }
    DayCheck check(central, out);
    try {
        data::OpenOptions options;
        options.read_only = true;
        options.role = data::FileRole::register_share;
        data::Database reg(local, options);
        check.read_register(reg);
    } catch (const data::DbError& e) {
        out = RegisterDayCheck{};
        out.n = n;
        out.day = day;
        out.verdict = Verdict::not_checked;
        out.differences.push_back("register database " + register_path + " cannot be read: " + e.what());
        return out;
    }
    check.compare_sales_rows();
    check.compare_points();
    check.compare_registered_documents();
    return out;
}

int requeue_missing(data::Connections& databases, const std::string& register_path, const RegisterDayCheck& check) {
    if (check.verdict == Verdict::not_checked || check.missing_line_keys.empty()) return 0;
    data::Database& reg = databases.open(register_path, data::FileRole::register_share);
    std::string keys = "[";
    for (std::size_t i = 0; i < check.missing_line_keys.size(); ++i) {
        keys += (i ? "," : "") + std::to_string(check.missing_line_keys[i]);
    }
    data::Transaction tx(reg);
    const int changed = reg.execute(kRequeue, {data::text(core::kLineWaiting), data::text(core::kLineTaken), data::text(keys + "]")});
    tx.commit();
    return changed;
}

std::string verdict_line(const RegisterDayCheck& check) {
    std::string line = "register " + std::to_string(check.n) + ", " +
                       platform::short_date_of_serial(static_cast<double>(check.day)) + ": ";
    switch (check.verdict) {
    case Verdict::not_checked:
        return line + "NOT CHECKED: " + (check.differences.empty() ? std::string() : check.differences.front());
    case Verdict::differs:
        line += "DIFFERS (" + std::to_string(check.differences.size()) + " difference(s); ";
        break;
    case Verdict::agrees:
        line += "AGREES (";
        break;
    }
    line += std::to_string(check.imported_lines) + " lines " + money(check.imported_amount) + " at the register, " +
            std::to_string(check.sales_rows) + " rows " + money(check.sales_amount) + " centrally, " +
            std::to_string(check.line_points) + " points, " + std::to_string(check.registered_documents) +
            " registered document(s)";
    if (check.waiting_lines > 0) line += ", " + std::to_string(check.waiting_lines) + " line(s) still waiting";
    return line + ")";
}

}  // namespace cassasync::sales
